// Session lifecycle: construction and destruction, start and stop requests, and the worker
// thread that connects, watches the video and reconnects.
#include "session/bosch_ip_camera_info.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <climits>
#include <exception>
#include <type_traits>

#include "session/stream_settings.h"

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
// The device wants a moment after a coder list before the video connection.
constexpr int kAfterCoderReplyPauseMs = 100;
constexpr std::uint32_t kCmdAnnounceSession = 0x06050831;
// How long Retire waits for a library callback to this session that is under way.
constexpr int kForgetLimitMs = 2000;

// What an abandoned session reaches instead of its driver: no host objects, no events, no
// log lines.
class DetachedSessionOwner final : public ICameraSessionOwner {
 public:
  CIPCaptureIOBaseHandlerIf& SessionHandler() override { return DetachedHandler(); }
  int GetNetworkTimeout() override { return kDetachedNetworkTimeoutMs; }
  void OnChannelEvent(CBoschIPCameraInfo*, int) override {}
  CCaptureAPIUser* GetCaptureUser() override { return nullptr; }
  CVideoAllocator* GetVideoAllocator() override { return nullptr; }

 private:
  static constexpr int kDetachedNetworkTimeoutMs = 1000;
};
static_assert(std::is_trivially_destructible_v<DetachedSessionOwner>);

}  // namespace

ICameraSessionOwner& CBoschIPCameraInfo::DetachedOwner() {
  // Constant-initialised and trivially destroyed: usable from any thread at any time, also
  // while the process exits, and nothing to free when the library is unloaded.
  static constinit DetachedSessionOwner standIn;
  return standIn;
}

CBoschIPCameraInfo::CBoschIPCameraInfo(std::uint8_t index, ICameraSessionOwner* sessionOwner)
    : channelIndex(index), owner(sessionOwner) {
  decoderModule = platform::Module::Load(kDecoderModuleName);
  if (decoderModule.Loaded()) {
    parseMpegHeader =
        reinterpret_cast<ParseMpegHeaderFunction>(decoderModule.Symbol(kParseMpegHeaderExport));
  }
  // Without its events the thread could not wait; such a session never streams.
  if (!replyEvent.Valid() || !startEvent.Valid() || !stopEvent.Valid())
    return;
  thread.Start([this] { Run(); });
}

CBoschIPCameraInfo::~CBoschIPCameraInfo() {
  Retire();
  streamer.reset();
  // A packet already being processed finishes before the session goes.
  CAutoLock flush(receiveLock);
}

bool CBoschIPCameraInfo::Complete() const {
  return replyEvent.Valid() && startEvent.Valid() && stopEvent.Valid() &&
         thread.Valid();
}

bool CBoschIPCameraInfo::StartStreaming(std::int32_t requestQuality, std::int32_t requestResolution,
                                        std::uint32_t requestFrameInterval,
                                        std::uint16_t requestWidth, std::uint16_t requestHeight) {
  {
    std::lock_guard guard(requestLock);
    latestRequest = StreamRequest{requestQuality, QualityLevelFor(requestQuality),
                                  requestResolution, requestFrameInterval, requestWidth,
                                  requestHeight};
    active = true;
    ++requestGeneration;
  }
  framesDelivered = 0;
  // Nobody would ever serve the request.
  if (!Complete()) return false;
  // Cuts short whatever the running connection waits for: it answers an older request.
  stopEvent.Set();
  startEvent.Set();
  return true;
}

void CBoschIPCameraInfo::StopStreaming() {
  {
    std::lock_guard guard(requestLock);
    active = false;
    ++requestGeneration;
  }
  stopEvent.Set();
}

void CBoschIPCameraInfo::TakeRequest() {
  std::lock_guard guard(requestLock);
  connectionRequest = latestRequest;
  connectionGeneration = requestGeneration.load();
}

int CBoschIPCameraInfo::WaitMs(long long ms) {
  return static_cast<int>(std::clamp<long long>(ms, 0, INT_MAX));
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
      startEvent.Wait(platform::kInfinite);
      continue;
    }
    // A request made from here on cuts this attempt's waits short; any made before is the
    // one this attempt takes.
    stopEvent.Reset();
    TakeRequest();
    // Every attempt starts from scratch.
    if (streamer) Disconnect();
    if (!TryConnect()) {
      // A failure because the host asked for something else is no lost video.
      if (Current()) {
        Disconnect();
        ReportEvent(kChannelEventLost);
        stopEvent.Wait(NetworkTimeout());  // retry pause, cut short by a new request
      }
      continue;
    }
    if (!Current()) continue;
    ReportEvent(kChannelEventVideo);
    SetDeliveredSize(connectionRequest.width, connectionRequest.height);
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
  using Clock = std::chrono::steady_clock;
  const auto limit =
      std::chrono::milliseconds(static_cast<long long>(NetworkTimeout()) + kWatchdogSlackMs);
  // The first picture has the whole limit from the start of the watch.
  const Clock::duration watchStart = Clock::now().time_since_epoch();
  // Sleeps until the deadline the latest sign of life implies; frames only move it. A new
  // start or stop request ends the watch; the next pass tears down and, when the channel is
  // still wanted, connects with the new settings.
  while (Current()) {
    const Clock::duration lastFrame{lastFrameAtNs.load(std::memory_order_acquire)};
    const Clock::duration deadline = std::max(watchStart, lastFrame) + limit;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(
        deadline - Clock::now().time_since_epoch());
    if (left.count() > 0) {
      stopEvent.Wait(WaitMs(left.count()));
      continue;
    }
    // No picture for too long: tear down and let the next pass connect again at once.
    Disconnect();
    if (Current()) ReportEvent(kChannelEventLost);
    if (announcer) announcer->disconnect();
    return;
  }
}

void CBoschIPCameraInfo::SetDeliveredSize(std::uint16_t deliveredWidth,
                                          std::uint16_t deliveredHeight) {
  CAutoLock lock(receiveLock);
  frameWidth = deliveredWidth;
  frameHeight = deliveredHeight;
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

  if (!stopping) DiscoverCoder();
  if (!Current()) return false;

  // The id that counts is the one the device gives this connection.
  {
    CAutoLock lock(sessionIdLock);
    sessionId = 0;
  }
  videoFailed_ = false;
  streamer->connectVideo(NetworkTimeout(), kVideoType, videoCoder.load(), 0, 1, OnRcpMessage, this);
  if (!WaitForSessionId()) {
    if (!Current()) return false;
    if (videoFailed_) return false;
    // A device that sends no session id still gets its settings.
  }
  if (!SetStreamParameters()) return false;
  connected = true;
  return true;
}

void CBoschIPCameraInfo::DiscoverCoder() {
  for (int attempt = 0; attempt < kDiscoveryAttempts; ++attempt) {
    // A new request cuts the pause short; the check below then ends the attempt.
    if (attempt > 0) stopEvent.Wait(kDiscoveryPauseMs);
    if (!Current()) return;
    const AnswerMark mark = MarkAnswers(kAnswerCoderList);
    ReadCoders();
    if (WaitForAnswer(mark, NetworkTimeout())) {
      if (Current()) videoCoder = static_cast<std::uint8_t>(coderNumber.load());
      // Here, not in the reply: the library thread that brought it serves other sessions
      // too. A new request cuts the pause short; Connect then ends the attempt.
      stopEvent.Wait(kAfterCoderReplyPauseMs);
      return;
    }
  }
}

bool CBoschIPCameraInfo::WaitForSessionId() {
  // The id, a failure and a new request each wake the wait; the steps only count the budget.
  using Clock = std::chrono::steady_clock;
  const auto deadline =
      Clock::now() + std::chrono::milliseconds(kSessionIdBudgetFactor *
                                               static_cast<long long>(NetworkTimeout()));
  const std::array<platform::WaitRef, 2> events{replyEvent, stopEvent};
  for (;;) {
    {
      CAutoLock lock(sessionIdLock);
      if (sessionId != 0) return true;
    }
    if (videoFailed_) return false;
    if (!Current()) return false;
    if (Clock::now() >= deadline) return false;
    platform::WaitAny(events, kSessionIdStepMs);
  }
}

void CBoschIPCameraInfo::Disconnect() {
  BeforeBlockingStep();
  if (streamer) {
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
  // A picture cut off with the connection must not run into the next connection's first.
  ResetReception();
}

void CBoschIPCameraInfo::RequestStop() {
  stopping = true;
  active = false;
  stopEvent.Set();
  startEvent.Set();
}

bool CBoschIPCameraInfo::Retire() {
  RequestStop();
  if (thread.Valid()) {
    std::uint32_t frameInterval = 0;
    {
      std::lock_guard guard(requestLock);
      frameInterval = latestRequest.frameInterval;
    }
    const int limit = WaitMs(std::max(2LL * NetworkTimeout(), 5LL * frameInterval));
    if (!thread.Join(limit)) {
      Handler().Log(kLogError, "CVeltrane: Capture thread did not stop, terminating it.");
      thread.Abandon();
      return CutOff();
    }
    thread = platform::Thread();
  }
  // Requests sent for this session (coder lists, settings) may still be answered, and a
  // message may be on its way: the library forgets them. A call that the host holds up (a
  // log line it does not return from) keeps the session.
  return ForgetCallbacks() || CutOff();
}

bool CBoschIPCameraInfo::ForgetCallbacks() {
  try {
    rcpplus::RcpClient forget("", 0, 0);
    bool idle = true;
    for (const rcpplus::RcpCallback callback : {ReadCodersReply, SettingsReply, OnRcpMessage})
      idle = forget.unregisterCallback(callback, this, kForgetLimitMs) && idle;
    return idle;
  } catch (rcpplus::Exception*) {
    return true;  // nothing of this session is known to the library then
  }
}

bool CBoschIPCameraInfo::CutOff() {
  // The driver (and the host behind it) may be gone by the time the session's threads run on.
  blockingSteps_.load(std::memory_order_acquire);
  owner.Detach(&DetachedOwner());
  return false;
}

}  // namespace corvane
