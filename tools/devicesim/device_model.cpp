#include "device_model.h"

#include <algorithm>

#include "rcp_wire.h"

namespace devicesim {
namespace {

DeviceModel::Answer Reply(std::vector<std::uint8_t> payload = {}) {
  return DeviceModel::Answer{std::nullopt, std::move(payload)};
}

DeviceModel::Answer Error(std::uint8_t code) { return DeviceModel::Answer{code, {}}; }

bool Contains(std::span<const std::uint32_t> words, std::uint32_t word) {
  return std::find(words.begin(), words.end(), word) != words.end();
}

}  // namespace

DeviceModel::DeviceModel(int cameras, int inputs, int outputs, bool unusableCoderFirst)
    : cameras_(std::clamp(cameras, 0, kMaxCameras)),
      inputs_(std::clamp(inputs, 0, kMaxIoLines)),
      outputs_(std::clamp(outputs, 0, kMaxIoLines)),
      unusableCoderFirst_(unusableCoderFirst),
      cameraState_(static_cast<std::size_t>(cameras_)),
      inputState_(static_cast<std::size_t>(inputs_), false),
      outputState_(static_cast<std::size_t>(outputs_), false),
      outputMode_(static_cast<std::size_t>(outputs_), 0) {
  // A camera streams CIF at the full base rate until its first apply.
  const std::size_t rate = *SettingIndex(kCmdFrameIntervalA);
  const std::size_t resolution = *SettingIndex(kCmdResolution);
  for (Camera& camera : cameraState_) {
    camera.applied[rate] = 1;
    camera.applied[resolution] = 1;
    camera.pending = camera.applied;
  }
}

std::optional<std::size_t> DeviceModel::SettingIndex(std::uint32_t commandWord) {
  for (std::size_t i = 0; i < kSettingCommands.size(); ++i) {
    if (kSettingCommands[i] == commandWord) return i;
  }
  return std::nullopt;
}

DeviceModel::Answer DeviceModel::Handle(std::uint32_t commandWord, std::uint16_t line,
                                        std::span<const std::uint8_t> payload) {
  if (auto index = SettingIndex(commandWord)) return WriteSetting(*index, line, payload);
  if (Contains(kInputConfigCommands, commandWord) || Contains(kOutputConfigCommands, commandWord)) {
    return WriteConfig(commandWord, line, payload);
  }
  std::vector<std::uint8_t> out;
  switch (commandWord) {
    case kCmdCoderList:
      return CoderList(line);
    case kCmdApplySettings:
      return Apply(payload);
    case kCmdStreamSession:
      // Only recorded (by the request log).
      return Reply();
    case kCmdInputCount:
      rcpwire::PutU32(out, static_cast<std::uint32_t>(inputs_));
      return Reply(std::move(out));
    case kCmdOutputCount:
      rcpwire::PutU32(out, static_cast<std::uint32_t>(outputs_));
      return Reply(std::move(out));
    case kCmdInputState:
      return Reply({static_cast<std::uint8_t>(Input(line) ? 1 : 0)});
    case kCmdSetOutput:
      return SetOutput(line, payload);
    case kCmdOutputState:
      return Reply({static_cast<std::uint8_t>(Output(line) ? 1 : 0)});
    default:
      return Error(rcpwire::kErrInvalidCmd);
  }
}

// Each entry: 2 bytes coder number, 2 bytes flags, 12 bytes zero.
DeviceModel::Answer DeviceModel::CoderList(std::uint16_t camera) const {
  std::vector<std::uint8_t> out;
  if (!HasCamera(camera)) return Reply();
  auto entry = [&out](std::uint16_t coder, std::uint16_t flags) {
    rcpwire::PutU16(out, coder);
    rcpwire::PutU16(out, flags);
    out.insert(out.end(), 12, 0);
  };
  if (unusableCoderFirst_) {
    // A video coder that is not for this client: only a driver that checks both bits skips it.
    entry(static_cast<std::uint16_t>(kUnusableCoderBase + camera),
          kCoderFlagVideo | kCoderFlagNotForClient);
  }
  entry(camera, kCoderFlagVideo);
  return Reply(std::move(out));
}

DeviceModel::Answer DeviceModel::WriteSetting(std::size_t index, std::uint16_t camera,
                                              std::span<const std::uint8_t> payload) {
  if (payload.size() != 4) return Error(rcpwire::kErrInvalidPayload);
  if (!HasCamera(camera)) return Error(rcpwire::kErrUnknown);
  std::lock_guard lock(mutex_);
  cameraState_[camera - 1u].pending[index] = rcpwire::GetU32(payload.data());
  return Reply();
}

// The payload names the camera; the line (a coder number) is not used.
DeviceModel::Answer DeviceModel::Apply(std::span<const std::uint8_t> payload) {
  if (payload.size() != 4) return Error(rcpwire::kErrInvalidPayload);
  const std::uint32_t camera = rcpwire::GetU32(payload.data());
  if (camera < 1 || camera > static_cast<std::uint32_t>(cameras_)) {
    return Error(rcpwire::kErrUnknown);
  }
  std::lock_guard lock(mutex_);
  Camera& state = cameraState_[camera - 1];
  state.applied = state.pending;
  ++state.applyCount;
  return Reply();
}

DeviceModel::Answer DeviceModel::SetOutput(std::uint16_t output,
                                           std::span<const std::uint8_t> payload) {
  if (payload.empty()) return Error(rcpwire::kErrInvalidPayload);
  if (output < 1 || output > outputs_) return Error(rcpwire::kErrUnknown);
  std::lock_guard lock(mutex_);
  outputState_[output - 1u] = payload[0] != 0;
  return Reply();
}

DeviceModel::Answer DeviceModel::WriteConfig(std::uint32_t commandWord, std::uint16_t line,
                                             std::span<const std::uint8_t> payload) {
  constexpr std::uint32_t kOutputModeWrite = kOutputConfigCommands[1];
  constexpr std::uint32_t kOutputModeRead = kOutputConfigCommands[2];
  const bool isOutput = line >= 1 && line <= outputs_;
  std::lock_guard lock(mutex_);
  if (commandWord == kOutputModeWrite && isOutput && !payload.empty()) {
    outputMode_[line - 1u] = payload[0];
  }
  if (commandWord == kOutputModeRead) {
    return Reply({isOutput ? outputMode_[line - 1u] : std::uint8_t{0}});
  }
  return Reply();
}

bool DeviceModel::SetInput(int input, bool active) {
  if (input < 1 || input > inputs_) return false;
  std::lock_guard lock(mutex_);
  if (inputState_[input - 1u] == active) return false;
  inputState_[input - 1u] = active;
  return true;
}

bool DeviceModel::ToggleInput(int input, bool& active) {
  if (input < 1 || input > inputs_) return false;
  std::lock_guard lock(mutex_);
  active = !inputState_[input - 1u];
  inputState_[input - 1u] = active;
  return true;
}

bool DeviceModel::Input(int input) const {
  if (input < 1 || input > inputs_) return false;
  std::lock_guard lock(mutex_);
  return inputState_[input - 1u];
}

bool DeviceModel::Output(int output) const {
  if (output < 1 || output > outputs_) return false;
  std::lock_guard lock(mutex_);
  return outputState_[output - 1u];
}

std::uint32_t DeviceModel::PendingSetting(int camera, std::uint32_t commandWord) const {
  auto index = SettingIndex(commandWord);
  if (!index || !HasCamera(camera)) return 0;
  std::lock_guard lock(mutex_);
  return cameraState_[camera - 1u].pending[*index];
}

std::uint32_t DeviceModel::AppliedSetting(int camera, std::uint32_t commandWord) const {
  auto index = SettingIndex(commandWord);
  if (!index || !HasCamera(camera)) return 0;
  std::lock_guard lock(mutex_);
  return cameraState_[camera - 1u].applied[*index];
}

}  // namespace devicesim

namespace devicesim {

DeviceModel::VideoSettings DeviceModel::Video(int camera) const {
  VideoSettings video;
  if (!HasCamera(camera)) return video;
  std::lock_guard lock(mutex_);
  const Camera& state = cameraState_[camera - 1u];
  video.resolution = state.applied[*SettingIndex(kCmdResolution)];
  video.rateDivider = std::max<std::uint32_t>(state.applied[*SettingIndex(kCmdFrameIntervalA)], 1);
  video.applyCount = state.applyCount;
  return video;
}

}  // namespace devicesim
