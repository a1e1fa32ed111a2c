// Session lifecycle: construction and destruction, start and stop requests, and the worker
// thread that connects, watches the video and reconnects.
#include "session/bosch_ip_camera_info.h"

#include <algorithm>
#include <array>
#include <climits>
#include <exception>

namespace corvane {

namespace {

constexpr const char* kDecoderModuleName = "VozeDaroruvavuror.dll";
constexpr const char* kParseMpegHeaderExport = "_ParseMpegHeader@16";
constexpr int kConnectTimeoutMs = 6000;
constexpr unsigned short kVideoType = 10;
constexpr int kWatchdogSlackMs = 3000;
constexpr int kSessionIdStepMs = 100;
constexpr int kSessionIdBudgetFactor = 5;
constexpr int kDiscoveryAttempts = 5;
constexpr int kDiscoveryPauseMs = 300;
constexpr std::uint32_t kCmdAnnounceSession = 0x06050831;

// Index of the event that ended the wait, -1 on time-out. The worker thread runs only when
// every event was created, so an invalid one here is a bug, and the wait aborts.
int WaitForEither(const platform::Event& first, const platform::Event& second, int timeoutMs) {
  const std::array<int, 2> fds{first.fd(), second.fd()};
  return platform::WaitAny(fds, timeoutMs);
}

}  // namespace

CBoschIPCameraInfo::CBoschIPCameraInfo(std::uint8_t index, ICameraSessionOwner* sessionOwner)
    : channelIndex(index), owner(sessionOwner) {
  decoderModule = platform::Module::Load(kDecoderModuleName);
  if (decoderModule.Loaded()) {
    parseMpegHeader =
        reinterpret_cast<ParseMpegHeaderFunction>(decoderModule.Symbol(kParseMpegHeaderExport));
  }
  // Without its events the thread could not wait; such a session never streams.
  if (!replyEvent.Valid() || !frameEvent.Valid() || !startEvent.Valid() || !stopEvent.Valid())
    return;
  thread.Start([this] { Run(); });
}

CBoschIPCameraInfo::~CBoschIPCameraInfo() {
  Shutdown();
  // Left only when the thread had to be terminated.
  streamer.reset();
  // Requests sent for this session (coder lists, settings) may still be answered, and a
  // message may be on its way: make the library forget them and wait for any that runs.
  try {
    rcpplus::RcpClient forget("", 0, 0);
    forget.unregisterCallback(ReadCodersReply, this);
    forget.unregisterCallback(SettingsReply, this);
    forget.unregisterCallback(OnRcpMessage, this);
  } catch (rcpplus::Exception*) {
    // Nothing of this session is known to the library then.
  }
  // A packet already being processed finishes before the session goes.
  CAutoLock flush(receiveLock);
}

bool CBoschIPCameraInfo::StartStreaming(std::int32_t requestQuality, std::int32_t requestResolution,
                                        std::uint32_t requestFrameInterval,
                                        std::uint16_t requestWidth, std::uint16_t requestHeight) {
  resolution = requestResolution;
  frameInterval = requestFrameInterval;
  width = requestWidth;
  height = requestHeight;
  quality = requestQuality;
  qualityLevel = requestQuality < 20   ? 1
                 : requestQuality < 40 ? 2
                 : requestQuality < 60 ? 3
                 : requestQuality < 80 ? 4
                                       : 5;
  framesDelivered = 0;
  active = true;
  assembler.StartFrame();
  if (!startEvent.Valid()) return false;
  startEvent.Set();
  return true;
}

void CBoschIPCameraInfo::StopStreaming() {
  active = false;
  stopEvent.Set();
}

std::string CBoschIPCameraInfo::BuildDeviceAddress() const {
  CIPCaptureIOBaseHandlerIf& handler = Handler();
  return "http://" + handler.GetServerUserName() + ":" + handler.GetServerPassword() + "@" +
         handler.GetServerAddress() + ":" + std::to_string(handler.GetServerPort());
}

void CBoschIPCameraInfo::LogLibraryError(const char* where, rcpplus::Exception* error) {
  if (ShouldLogError(errorCount))
    Handler().Log(kLogError, "CBoschIPCameraInfo::%s: Error catched %s !\n", where,
                  error ? error->what() : "");
}

// ---- Worker thread ---------------------------------------------------------------------

void CBoschIPCameraInfo::Run() {
  while (!stopping) {
    if (!active) {
      if (streamer) Disconnect();
      WaitForEither(frameEvent, startEvent, platform::kInfinite);
      continue;
    }
    // Every attempt starts from scratch.
    if (streamer) Disconnect();
    if (!TryConnect()) {
      if (!stopping && active) {
        Disconnect();
        ReportEvent(kChannelEventLost);
        stopEvent.Wait(NetworkTimeout());  // retry pause
      }
      continue;
    }
    if (stopping || !active) continue;
    ReportEvent(kChannelEventVideo);
    std::unique_ptr<rcpplus::RcpClient> announcer;
    try {
      streamer->registerReceiverCallback(true, OnRtpPacket, this);
      announcer = AnnounceSession();
    } catch (rcpplus::Exception* error) {
      // The watchdog finds out whether video flows all the same.
      LogLibraryError("Run", error);
    }
    Watchdog(announcer.get());
  }
  Disconnect();
}

std::unique_ptr<rcpplus::RcpClient> CBoschIPCameraInfo::AnnounceSession() {
  const std::string address = BuildDeviceAddress();
  auto client = std::make_unique<rcpplus::RcpClient>(address.c_str(), sessionId.load(), line.load());
  rcpplus::RcpOutputStream payload;
  payload.writeULong(sessionId.load());
  client->sendRequest(0, kCmdAnnounceSession, payload, rcpplus::RcpClient::noResponse());
  return client;
}

void CBoschIPCameraInfo::Watchdog(rcpplus::RcpClient* announcer) {
  const int limit = NetworkTimeout() + kWatchdogSlackMs;
  while (active) {
    if (WaitForEither(frameEvent, stopEvent, limit) >= 0) continue;
    // No picture for too long: tear down and let the next pass connect again at once.
    Disconnect();
    if (active) ReportEvent(kChannelEventLost);
    if (announcer) announcer->disconnect();
    return;
  }
}

bool CBoschIPCameraInfo::TryConnect() {
  try {
    return Connect();
  } catch (rcpplus::Exception* error) {
    LogLibraryError("Connect", error);
  } catch (const std::exception& error) {
    if (ShouldLogError(errorCount))
      Handler().Log(kLogError, "CBoschIPCameraInfo::Connect: Error catched %s !\n", error.what());
  }
  return false;
}

bool CBoschIPCameraInfo::Connect() {
  if (connected) return true;
  if (!streamer) {
    const std::string address = BuildDeviceAddress();
    streamer = std::make_unique<rcpplus::RtpStreamer>(address.c_str(), 0);
  }
  rcpplus::RcpClient::setConnectTimeout(kConnectTimeoutMs);
  streamer->setVideoTimeout(NetworkTimeout());
  videoCoder = 0;
  line = static_cast<std::uint16_t>(channelIndex + 1);
  // A stop signal left over from a stop while idle would cut this attempt's first wait
  // short; every wait below checks active and stopping, so no real stop is lost.
  stopEvent.Reset();

  if (!stopping) DiscoverCoder();
  if (stopping || !active) return false;

  // The id that counts is the one the device gives this connection.
  {
    CAutoLock lock(sessionIdLock);
    sessionId = 0;
  }
  videoFailed_ = false;
  streamer->connectVideo(NetworkTimeout(), kVideoType, videoCoder.load(), 0, 1, OnRcpMessage, this);
  if (!WaitForSessionId()) {
    if (stopping || !active) return false;
    if (videoFailed_) return false;
    // A device that sends no session id still gets its settings.
  }
  if (!SetStreamParameters()) return false;
  connected = true;
  return true;
}

void CBoschIPCameraInfo::DiscoverCoder() {
  int attempts = 0;
  while (active) {
    ReadCoders();
    const int woken = WaitForEither(replyEvent, stopEvent, NetworkTimeout());
    if (woken == 0) {
      if (active && !stopping) videoCoder = static_cast<std::uint8_t>(coderNumber.load());
      return;
    }
    if (woken == 1) {
      if (stopping || !active) return;
      // Stopped and started again meanwhile: the answer is still to come, so ask anew
      // rather than connect with a coder nobody has named.
      continue;
    }
    if (attempts >= kDiscoveryAttempts - 1 || stopping || !active) return;
    ++attempts;
    stopEvent.Wait(kDiscoveryPauseMs);
    if (stopping) return;
  }
}

bool CBoschIPCameraInfo::WaitForSessionId() {
  // Waits on stopEvent, so a stop does not have to sit out the whole budget.
  int budget = kSessionIdBudgetFactor * NetworkTimeout();
  do {
    {
      CAutoLock lock(sessionIdLock);
      if (sessionId != 0) return true;
    }
    if (videoFailed_) return false;
    stopEvent.Wait(kSessionIdStepMs);
    if (stopping || !active) return false;
    budget -= kSessionIdStepMs;
  } while (budget >= 0);
  return false;
}

void CBoschIPCameraInfo::Disconnect() {
  if (!streamer) return;
  connected = false;
  try {
    streamer->registerReceiverCallback(true, nullptr, nullptr);
    streamer->disconnectVideo();
    streamer->unsubscribeMessageCallback(this);
    streamer->unregisterCallback(OnRcpMessage, this);
    streamer->disconnect();
  } catch (rcpplus::Exception* error) {
    LogLibraryError("Disconnect", error);
  }
  streamer.reset();
}

void CBoschIPCameraInfo::RequestStop() {
  stopping = true;
  active = false;
  stopEvent.Set();
  frameEvent.Set();
}

void CBoschIPCameraInfo::Shutdown() {
  RequestStop();
  if (!thread.Valid()) return;
  const long long wait =
      std::max<long long>(2LL * NetworkTimeout(), 5LL * frameInterval.load());
  if (!thread.Join(static_cast<int>(std::min<long long>(wait, INT_MAX)))) {
    Handler().Log(kLogError, "CVeltrane: Capture thread did not stop, terminating it.");
    thread.Terminate();
  }
  thread = platform::Thread();
}

}  // namespace corvane
