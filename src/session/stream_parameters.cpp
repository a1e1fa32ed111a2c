// Stream settings: frame rate, resolution and quality written to the device one at a time,
// each confirmed by its reply and then applied.
#include <array>
#include <cstdlib>
#include <iterator>
#include <string>

#include "session/bosch_ip_camera_info.h"
#include "session/stream_settings.h"

namespace corvane {

namespace {

constexpr int kReplySlackMs = 500;

struct FrameRateRow {
  std::uint32_t minIntervalMs;
  FrameRateValues values;
};

// First row whose minimum the interval reaches wins.
constexpr FrameRateRow kFrameRateRows[] = {
    {980, {24, 1}}, {480, {12, 1}}, {320, {8, 2}},  {240, {4, 3}},  {200, {5, 4}},
    {160, {4, 6}},  {120, {3, 8}},  {65, {2, 11}}, {40, {1, 24}},
};

constexpr std::uint32_t kResolutionValues[] = {1, 0, 1, 2, 3};

}  // namespace

bool FrameRateValuesFor(std::uint32_t frameIntervalMs, FrameRateValues& values) {
  for (const FrameRateRow& row : kFrameRateRows) {
    if (frameIntervalMs >= row.minIntervalMs) {
      values = row.values;
      return true;
    }
  }
  return false;
}

bool ResolutionValueFor(std::int32_t resolutionCode, std::uint32_t& value) {
  const auto code = static_cast<std::uint32_t>(resolutionCode);
  if (code >= std::size(kResolutionValues)) return false;
  value = kResolutionValues[code];
  return true;
}

std::int32_t QualityLevelFor(std::int32_t quality) {
  if (quality < 20) return 1;
  if (quality < 40) return 2;
  if (quality < 60) return 3;
  if (quality < 80) return 4;
  return 5;
}

std::uint32_t QualityValueFor(std::int32_t qualityLevel) {
  switch (qualityLevel) {
    case 1: return 26;
    case 2: return 18;
    case 4: return 9;
    case 5: return 6;
    default: return 0;
  }
}

CBoschIPCameraInfo::AnswerSlot CBoschIPCameraInfo::SettingSlot(std::uint32_t commandWord) {
  switch (commandWord) {
    case kCmdFrameRateA: return kAnswerFrameRateA;
    case kCmdFrameRateB: return kAnswerFrameRateB;
    case kCmdResolution: return kAnswerResolution;
    case kCmdQuality: return kAnswerQuality;
    case kCmdQualityRepeat: return kAnswerQualityRepeat;
    case kCmdQualityNumber: return kAnswerQualityNumber;
    default: return kAnswerSlotCount;
  }
}

std::int32_t QualityNumberFor(const DeviceConfig& config, std::int32_t qualityLevel) {
  const std::string* text = &config.qualityMedium;
  switch (qualityLevel) {
    case 1: text = &config.qualityMin; break;
    case 2: text = &config.qualityLow; break;
    case 4: text = &config.qualityHigh; break;
    case 5: text = &config.qualityMax; break;
    default: break;
  }
  // atoi without its undefined behaviour on overflow.
  return static_cast<std::int32_t>(std::strtol(text->c_str(), nullptr, 10));
}

bool CBoschIPCameraInfo::SetStreamParameters() {
  const StreamRequest& request = connectionRequest;
  const std::int32_t code = request.resolution;
  std::uint32_t resolutionValue = 0;
  if (!ResolutionValueFor(code, resolutionValue)) {
    Handler().Log(kLogError, "CBoschIPCameraInfo::SetStreamParameters(), Unknown resolution: %d",
                  code);
    return false;
  }
  const std::uint32_t interval = request.frameInterval;
  FrameRateValues rate;
  if (!FrameRateValuesFor(interval, rate)) {
    Handler().Log(kLogError, "CBoschIPCameraInfo::SetStreamParameters(), framerate %d not supported!",
                  static_cast<int>(interval));
    return false;
  }
  const std::string address = BuildDeviceAddress();
  rcpplus::RcpClient client(address.c_str(), sessionId.load(), line.load());

  struct Setting {
    std::uint32_t commandWord;
    AnswerSlot slot;
    std::uint32_t value;
  };
  Setting settings[] = {
      {kCmdFrameRateA, kAnswerFrameRateA, rate.a},
      {kCmdFrameRateB, kAnswerFrameRateB, rate.b},
      {kCmdResolution, kAnswerResolution, resolutionValue},
      {kCmdQuality, kAnswerQuality, 0},
      {kCmdQualityRepeat, kAnswerQualityRepeat, 0},
      {kCmdQualityNumber, kAnswerQualityNumber, 0},
  };
  for (std::size_t i = 0; i < std::size(settings); ++i) {
    if (settings[i].commandWord == kCmdQuality) {
      // The level's configured number is read just before the quality goes out.
      const std::int32_t level = request.qualityLevel;
      const std::uint32_t value = QualityValueFor(level);
      settings[i].value = value;
      settings[i + 1].value = value;
      settings[i + 2].value =
          static_cast<std::uint32_t>(QualityNumberFor(*Handler().GetDeviceConfig(), level));
    }
    rcpplus::RcpOutputStream payload;
    payload.writeULong(settings[i].value);
    const AnswerMark mark = MarkAnswers(settings[i].slot);
    client.sendRequest(NetworkTimeout(), settings[i].commandWord, payload, SettingsReply, this);
    if (!WaitForReply(mark)) return false;
  }
  client.unsubscribeMessageCallback(this);
  client.disconnect();
  return true;
}

bool CBoschIPCameraInfo::WaitForReply(const AnswerMark& mark) {
  if (!Current()) return false;
  if (!WaitForAnswer(mark, WaitMs(static_cast<long long>(NetworkTimeout()) + kReplySlackMs)))
    return false;
  return Current();
}

void CBoschIPCameraInfo::SettingsReply(void* context, rcpplus::RcpHeader& header,
                                       rcpplus::RcpInputStream& /*reply*/) {
  if (!context) return;
  auto* session = static_cast<CBoschIPCameraInfo*>(context);
  SetAndApplySettings(header, session);
  // Also after an error reply: the sequence goes on, only without an apply. The answer
  // counts for its own command only.
  session->RecordAnswer(SettingSlot(header.commandWord));
}

void CBoschIPCameraInfo::SetAndApplySettings(rcpplus::RcpHeader& header,
                                             CBoschIPCameraInfo* session) {
  session->callbackThreads.RegisterCurrentThread();
  if (header.errorCode != 0) return;
  try {
    rcpplus::RcpClient client(header.connectionAddress ? header.connectionAddress : "",
                              session->sessionId.load(),
                              static_cast<unsigned short>(session->coderNumber.load() & 0xFFFF));
    rcpplus::RcpOutputStream payload;
    payload.writeULong(session->line.load());
    client.sendRequest(0, kCmdApplySettings, payload, rcpplus::RcpClient::noResponse());
  } catch (rcpplus::Exception* error) {
    if (ShouldLogError(session->errorCount))
      session->Handler().Log(kLogError, "CBoschIPCameraInfo: SetAndApplySettings: Error catched %s !\n",
                             error ? error->what() : "");
  }
}

}  // namespace corvane
