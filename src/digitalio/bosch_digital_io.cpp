#include "digitalio/bosch_digital_io.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <thread>
#include <utility>

#include "foundation/rcp_message_text.h"

namespace corvane {
namespace {

// Configuration reads and writes, in the order the device gets them.
constexpr unsigned long kCmdInputCount = 0x01DB0830;
constexpr unsigned long kCmdOutputCount = 0x01DC0830;
constexpr unsigned long kCmdInputSetup1 = 0x008D0131;
constexpr unsigned long kCmdInputSetup2 = 0x008C0131;
constexpr unsigned long kCmdInputSetup3 = 0x00350031;
constexpr unsigned long kCmdOutputSetup1 = 0x00480131;
constexpr unsigned long kCmdOutputSetup2 = 0x00930131;
constexpr unsigned long kCmdOutputSetup3 = 0x00930130;
// Input state: a request's reply, the subscribed message and the keep-alive poll.
constexpr unsigned long kCmdInputState = 0x01C00030;
constexpr unsigned long kCmdSetOutput = 0x01C10031;
constexpr unsigned long kCmdOutputState = 0x00940030;
// Library messages.
constexpr std::uint32_t kCmdConnectionFailed = 0x00120020;
constexpr std::uint32_t kCmdYield = 0xFF0D0031;
constexpr std::uint32_t kCmdSessionId = 0xFFCC0C31;

constexpr std::int32_t kStateUnknown = 0;
constexpr std::int32_t kStateInactive = 1;
constexpr std::int32_t kStateActive = 2;

// Lines are 16 bits on the wire; counts beyond that cannot be addressed.
constexpr int kMaxLine = 0xFFFF;

// The device's answer to a registration it refuses, and the library's to every request made
// on a connection whose registration was refused.
constexpr std::uint32_t kInvalidAuthorization = 0xA0;

const unsigned long kSubscribedCommands[] = {kCmdInputState};

// A refused registration counts as a loss too: the connection serves nothing until the
// object connects afresh.
bool IsConnectionLoss(std::uint32_t code) {
  return code == rcpplus::kResponseTimeout || code == rcpplus::kConnectionError ||
         code == rcpplus::kConnectionReset || code == kInvalidAuthorization;
}

// The object whose worker thread this is, if any.
thread_local const void* tlsWorkerOf = nullptr;

int ClampMs(long long ms) { return static_cast<int>(std::clamp<long long>(ms, 0, INT_MAX)); }

}  // namespace

CBoschDigitalIO::CBoschDigitalIO(CIPCaptureIOBaseHandlerIf* handler, int timeout,
                                 int pollPeriodMs)
    : handler(handler), timeout(timeout), pollPeriodMs(pollPeriodMs > 0 ? pollPeriodMs : 30000) {
  if (handler != nullptr) {
    if (const DeviceConfig* config = handler->GetDeviceConfig(); config != nullptr) {
      inputCount.store(config->inputCount);
      outputCount.store(config->outputCount);
    }
  }
  for (auto& state : inputStates) state.store(kStateUnknown);
  const bool eventsReady = replyEvent.Valid() && errorEvent.Valid() && stopEvent.Valid() &&
                           enableEvent.Valid() && disableEvent.Valid() && idleEvent.Valid() &&
                           sinkEvent.Valid();
  // Without its events or its driver the thread could only spin or crash: it is not started.
  if (handler != nullptr && eventsReady && threadHandle.Start([this] { ThreadEntry(this); })) {
    threadId = threadHandle.id();
  }
}

CBoschDigitalIO::~CBoschDigitalIO() {
  Retire();
  Disconnect();
}

bool CBoschDigitalIO::SetEventSink(ICaptureIOEventSink* newSink) {
  sink.store(newSink);
  sinkEvent.Set();
  return true;
}

bool CBoschDigitalIO::Enable() {
  enabled.store(true);
  if (!enableEvent.Valid()) return false;
  enableEvent.Set();
  return true;
}

bool CBoschDigitalIO::Disable() {
  enabled.store(false);
  WakeWaiters();
  if (!disableEvent.Valid()) return false;
  disableEvent.Set();
  return true;
}

bool CBoschDigitalIO::WaitUntilIdle(int timeoutMs) {
  if (!threadHandle.Valid()) return true;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!idle.load()) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    // A signal left from an earlier idle spell only makes the loop look again.
    idleEvent.Wait(static_cast<int>(left.count()));
  }
  return true;
}

int CBoschDigitalIO::GetInputCount() { return inputCount.load(); }

int CBoschDigitalIO::GetOutputCount() { return outputCount.load(); }

bool CBoschDigitalIO::SetOutput(int output, int state) {
  if (output < 0 || output >= kMaxLine) return false;
  const auto line = static_cast<std::uint16_t>(output + 1);
  const unsigned char value = state == kStateActive ? 0x01 : 0x00;
  try {
    // The line is set again before the second request: the worker thread may have moved it
    // while this thread waited.
    for (const auto slot : {kSlotSetOutput, kSlotOutputState}) {
      const AnswerMark mark = MarkAnswers(slot);
      {
        CAutoLock guard(lock);
        if (!client) return false;
        Send(slot == kSlotSetOutput ? kCmdSetOutput : kCmdOutputState, value, true, true, line);
      }
      if (!WaitForReply(mark)) return false;
    }
    return true;
  } catch (rcpplus::Exception* error) {
    if (handler != nullptr && ShouldLogError(errorCount)) {
      handler->Log(kLogError, "CBoschDigitalIO: SetOutput: Error catched %s !",
                   error != nullptr ? error->what() : "");
    }
    return false;
  }
}

// ---- Worker thread

std::uint32_t CBoschDigitalIO::ThreadEntry(CBoschDigitalIO* self) {
  if (self == nullptr) return kNoObjectExitCode;
  return self->Run();
}

std::uint32_t CBoschDigitalIO::Run() {
  tlsWorkerOf = this;
  while (!stopping.load()) {
    // What a library thread queued while this thread was busy (a loss reported during the
    // pass that just ended, say) is heard before anything else happens.
    DeliverSinkCalls();
    if (!enabled.load()) {
      Disconnect();
      idle.store(true);
      idleEvent.Set();
      const platform::WaitRef events[] = {stopEvent, enableEvent};
      platform::WaitAny(events, platform::kInfinite);
      idle.store(false);
      // A Disable made while idle is already in `enabled`; its leftover signal would
      // otherwise cut the next pass's waits short.
      disableEvent.Reset();
      continue;
    }
    if (sink.load() == nullptr) {
      WaitForSink();
      continue;
    }
    try {
      RunPass();
    } catch (rcpplus::Exception* error) {
      // A library failure ends this pass only; the device is tried again.
      if (ShouldLogError(errorCount)) {
        handler->Log(kLogError, "CBoschDigitalIO: Run: Error catched %s !",
                     error != nullptr ? error->what() : "");
      }
      GoOffline();
      Disconnect();
      PauseAfterFailedPass();
    }
  }
  Disconnect();
  return 0;
}

void CBoschDigitalIO::RunPass() {
  Disconnect();
  Connect();
  if (stopping.load() || !enabled.load()) return;
  const std::uint32_t mark = clientErrors.load();
  if (!ConfigureDevice()) {
    // Silence has already cost a full wait; a connection that fails at once must not make
    // the thread spin.
    if (clientErrors.load() != mark) PauseAfterFailedPass();
    return;
  }
  if (sink.load() != nullptr) {
    online.store(true);
    RequestInputStates();
  }
  {
    CAutoLock guard(lock);
    if (streamer) streamer->subscribeMessageCallback(OnRcpReply, this, kSubscribedCommands, 1);
  }
  Watch();
}

void CBoschDigitalIO::Watch() {
  using Clock = std::chrono::steady_clock;
  auto nextPoll = Clock::now() + std::chrono::milliseconds(pollPeriodMs);
  while (online.load()) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(nextPoll - Clock::now()).count();
    const platform::WaitRef events[] = {stopEvent, disableEvent, sinkEvent};
    const int woke = platform::WaitAny(events, ClampMs(left));
    if (woke == 2) {
      DeliverSinkCalls();
      continue;
    }
    if (woke >= 0) {
      if (stopping.load() || !enabled.load()) GoOffline();
      continue;
    }
    const AnswerMark mark = MarkAnswers(kSlotInputState);
    // On whatever line the last request used.
    Send(kCmdInputState, 0x00, true, false, 0);
    if (stopping.load() || !enabled.load() || !WaitForReply(mark)) GoOffline();
    nextPoll = Clock::now() + std::chrono::milliseconds(pollPeriodMs);
  }
}

void CBoschDigitalIO::WaitForSink() {
  // Without a sink nobody hears the inputs: configuring the device over and over would only
  // flood it, so the thread stays disconnected until a sink, Disable or stop.
  Disconnect();
  while (!stopping.load() && enabled.load() && sink.load() == nullptr) {
    const platform::WaitRef events[] = {stopEvent, disableEvent, sinkEvent};
    platform::WaitAny(events, platform::kInfinite);
    DeliverSinkCalls();
  }
}

bool CBoschDigitalIO::OnWorkerThread() const { return tlsWorkerOf == this; }

void CBoschDigitalIO::QueueSinkCall(SinkCall call, std::atomic<std::int32_t>* cachedState) {
  bool queued = false;
  bool overflow = false;
  {
    // Caching and queueing are one step, so that concurrent reports of an input reach the
    // sink in the order in which they were cached.
    std::lock_guard guard(reportMutex);
    if (cachedState != nullptr) cachedState->store(call.state);
    // A disabled object reports no input: after Close the host may have destroyed its sink.
    const bool wanted = sink.load() != nullptr &&
                        (call.input == kLostCall || (enabled.load() && !stopping.load()));
    if (wanted && sinkCalls.size() < kMaxQueuedSinkCalls) {
      sinkCalls.push_back(call);
      queued = true;
    } else if (wanted) {
      overflow = !std::exchange(sinkCallsOverflowed, true);
    }
  }
  if (queued) sinkEvent.Set();
  if (overflow && handler != nullptr) {
    handler->Log(kLogError,
                 "CBoschDigitalIO: The event sink does not keep up, input reports dropped.");
  }
}

void CBoschDigitalIO::DeliverSinkCalls() {
  for (;;) {
    SinkCall call{};
    {
      std::lock_guard guard(reportMutex);
      if (sinkCalls.empty()) {
        sinkCallsOverflowed = false;
        return;
      }
      call = sinkCalls.front();
      sinkCalls.pop_front();
    }
    ICaptureIOEventSink* current = sink.load();
    if (current == nullptr) continue;
    if (call.input == kLostCall) {
      blockingSteps.fetch_add(1, std::memory_order_release);
      current->OnConnectionLost();
    } else if (enabled.load() && !stopping.load()) {
      blockingSteps.fetch_add(1, std::memory_order_release);
      current->OnInputChanged(call.input, call.state);
    }
  }
}

void CBoschDigitalIO::PauseAfterFailedPass() {
  if (stopping.load() || !enabled.load()) return;
  const platform::WaitRef events[] = {disableEvent, stopEvent};
  platform::WaitAny(events, timeout > 0 ? timeout : 500);
}

bool CBoschDigitalIO::Retire() {
  stopping.store(true);
  Disable();
  stopEvent.Set();
  if (!threadHandle.Valid()) return true;
  // A time-out of 0 or below means no request time-out; the thread still gets a moment.
  const int waitMs = timeout > 0 ? ClampMs(2LL * timeout) : 1000;
  if (threadHandle.Join(waitMs)) {
    threadHandle = platform::Thread();
    return true;
  }
  if (handler != nullptr) {
    handler->Log(kLogError, "CBoschDigitalIO: IO thread did not stop, terminating it.");
  }
  threadHandle.Abandon();
  // The driver and the host's sink may be gone by the time the thread runs on.
  blockingSteps.load(std::memory_order_acquire);
  sink.store(nullptr);
  handler.Detach(&DetachedHandler());
  return false;
}

// ---- Connection

std::string CBoschDigitalIO::BuildDeviceAddress() {
  std::string address = "http://";
  address += handler->GetServerUserName();
  address += ':';
  address += handler->GetServerPassword();
  address += '@';
  address += handler->GetServerAddress();
  address += ':';
  address += std::to_string(static_cast<int>(handler->GetServerPort()));
  return address;
}

void CBoschDigitalIO::Connect() {
  auto newStreamer = std::make_unique<rcpplus::RtpStreamer>(BuildDeviceAddress().c_str(), 0);
  const std::string address = BuildDeviceAddress();
  CAutoLock guard(lock);
  client = std::make_unique<rcpplus::RcpClient>(address.c_str(), sessionId, 0);
  streamer = std::move(newStreamer);
}

void CBoschDigitalIO::Disconnect() {
  blockingSteps.fetch_add(1, std::memory_order_release);
  std::unique_ptr<rcpplus::RtpStreamer> oldStreamer;
  std::unique_ptr<rcpplus::RcpClient> oldClient;
  {
    // SetOutput sees no client from here on; the teardown below waits for running callbacks,
    // which must not need the lock.
    CAutoLock guard(lock);
    oldStreamer = std::move(streamer);
    oldClient = std::move(client);
  }
  if (oldStreamer) {
    online.store(false);
    try {
      oldStreamer->registerReceiverCallback(true, nullptr, nullptr);
      oldStreamer->unsubscribeMessageCallback(this);
      oldStreamer->unregisterCallback(OnRcpMessage, this);
      oldStreamer->disconnect();
    } catch (rcpplus::Exception*) {
      // The handle goes anyway.
    }
    oldStreamer.reset();
  }
  if (oldClient) {
    try {
      oldClient->unsubscribeMessageCallback(this);
      // Requests still pending would otherwise call back into an object that may be gone.
      oldClient->unregisterCallback(OnRcpReply, this);
      oldClient->disconnect();
    } catch (rcpplus::Exception*) {
    }
    oldClient.reset();
  }
}

void CBoschDigitalIO::Send(unsigned long commandWord, unsigned char value, bool reply,
                           bool setLine, std::uint16_t line) {
  rcpplus::RcpOutputStream payload;
  payload.writeOctet(value);
  CAutoLock guard(lock);
  if (!client) return;
  if (setLine) client->line = line;
  if (reply) {
    client->sendRequest(timeout, commandWord, payload, OnRcpReply, this);
  } else {
    client->sendRequest(timeout, commandWord, payload, rcpplus::RcpClient::noResponse());
  }
}

int CBoschDigitalIO::ReplyWaitMs() const { return ClampMs(static_cast<long long>(timeout) + 500); }

CBoschDigitalIO::AnswerMark CBoschDigitalIO::MarkAnswers(AnswerSlot slot) {
  std::lock_guard guard(answerMutex);
  return AnswerMark{slot, answered[slot], failed[slot]};
}

bool CBoschDigitalIO::WaitForReply(const AnswerMark& mark) {
  if (stopping.load() || !enabled.load()) return false;
  const auto slot = static_cast<std::size_t>(mark.slot);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ReplyWaitMs());
  std::unique_lock guard(answerMutex);
  const bool woke = answerChanged.wait_until(guard, deadline, [&] {
    return answered[slot] != mark.answered || stopping.load() || !enabled.load();
  });
  return woke && answered[slot] != mark.answered && failed[slot] == mark.failed &&
         !stopping.load() && enabled.load();
}

void CBoschDigitalIO::RecordAnswer(std::uint32_t commandWord, bool failure) {
  int slot = -1;
  switch (commandWord) {
    case kCmdInputCount: slot = kSlotInputCount; break;
    case kCmdOutputCount: slot = kSlotOutputCount; break;
    case kCmdInputState: slot = kSlotInputState; break;
    case kCmdSetOutput: slot = kSlotSetOutput; break;
    case kCmdOutputState: slot = kSlotOutputState; break;
    default: break;
  }
  if (failure) clientErrors.fetch_add(1);
  if (slot < 0) return;
  {
    std::lock_guard guard(answerMutex);
    ++answered[static_cast<std::size_t>(slot)];
    if (failure) ++failed[static_cast<std::size_t>(slot)];
  }
  answerChanged.notify_all();
}

void CBoschDigitalIO::WakeWaiters() {
  // Taking the mutex orders the flag change before any waiter's next look at it.
  { std::lock_guard guard(answerMutex); }
  answerChanged.notify_all();
}

bool CBoschDigitalIO::ConfigureDevice() {
  AnswerMark mark = MarkAnswers(kSlotInputCount);
  Send(kCmdInputCount, 0x00, true, true, 0);
  if (!WaitForReply(mark)) return false;
  mark = MarkAnswers(kSlotOutputCount);
  // Line 0 again: a SetOutput may have moved it during the wait.
  Send(kCmdOutputCount, 0x00, true, true, 0);
  if (!WaitForReply(mark)) return false;

  for (int i = 0; i < inputCount.load() && i < kMaxLine; ++i) {
    CAutoLock guard(lock);
    Send(kCmdInputSetup1, 0x01, false, true, static_cast<std::uint16_t>(i + 1));
    Send(kCmdInputSetup2, 0x01, false, false, 0);
    Send(kCmdInputSetup3, 0x01, false, false, 0);
  }
  for (int o = 0; o < outputCount.load() && o < kMaxLine; ++o) {
    CAutoLock guard(lock);
    Send(kCmdOutputSetup1, 0x00, false, true, static_cast<std::uint16_t>(o + 1));
    Send(kCmdOutputSetup2, 0x01, false, false, 0);
    Send(kCmdOutputSetup3, 0x00, false, false, 0);
  }
  return true;
}

void CBoschDigitalIO::RequestInputStates() {
  for (int i = 0; i < inputCount.load() && i < kMaxLine; ++i) {
    if (i < kMaxCachedInputs) inputStates[static_cast<std::size_t>(i)].store(kStateUnknown);
    Send(kCmdInputState, 0x00, true, true, static_cast<std::uint16_t>(i + 1));
  }
}

void CBoschDigitalIO::GoOffline() {
  // Library threads and the worker thread may both see the loss; the sink hears it once, after
  // every report queued before it.
  if (!online.exchange(false)) return;
  QueueSinkCall(SinkCall{kLostCall, 0}, nullptr);
  if (OnWorkerThread()) DeliverSinkCalls();
}

// ---- Callbacks

void CBoschDigitalIO::OnRcpReply(void* context, rcpplus::RcpHeader& header,
                                 rcpplus::RcpInputStream& payload) {
  if (context == nullptr) return;
  static_cast<CBoschDigitalIO*>(context)->HandleReply(header, payload);
}

void CBoschDigitalIO::OnRcpMessage(void* context, rcpplus::RcpHeader& header,
                                   rcpplus::RcpInputStream& payload) {
  if (context == nullptr) return;
  static_cast<CBoschDigitalIO*>(context)->HandleMessage(header, payload);
}

void CBoschDigitalIO::HandleReply(rcpplus::RcpHeader& header, rcpplus::RcpInputStream& payload) {
  callbackThreads.RegisterCurrentThread();
  if (header.errorCode != 0) {
    // A refused registration answers nothing the request asked for.
    RecordAnswer(header.commandWord, header.action == rcpplus::kActionClientError ||
                                         header.errorCode == kInvalidAuthorization);
    errorEvent.Set();
    HandleMessage(header, payload);
    return;
  }
  try {
    switch (header.commandWord) {
      case kCmdInputState: {
        // Line 0 wraps to a large index and is dropped with the lines above 16.
        const std::uint32_t index = static_cast<std::uint32_t>(header.line) - 1u;
        if (payload.available() < 1 || index >= static_cast<std::uint32_t>(kMaxCachedInputs)) {
          break;
        }
        const std::int32_t state = payload.readOctet() != 0 ? kStateActive : kStateInactive;
        if (index < static_cast<std::uint32_t>(inputCount.load())) {
          QueueSinkCall(SinkCall{static_cast<int>(index), state}, &inputStates[index]);
        }
        break;
      }
      case kCmdInputCount:
      case kCmdOutputCount: {
        if (payload.available() != 4) break;
        // Big-endian; only the least significant byte counts.
        payload.readOctet();
        payload.readOctet();
        payload.readOctet();
        const int count = payload.readOctet();
        const bool inputs = header.commandWord == kCmdInputCount;
        (inputs ? inputCount : outputCount).store(count);
        if (handler != nullptr) {
          handler->Log(kLogInfo,
                       inputs ? "CBoschDigitalIO: Total number of supported inputs is: %d"
                              : "CBoschDigitalIO: Total number of supported outputs is: %d",
                       count);
        }
        break;
      }
      case kCmdOutputState:
      case kCmdOutputSetup3:
        if (payload.available() == 1) payload.readOctet();
        break;
      default:
        break;
    }
  } catch (rcpplus::Exception*) {
    // Reads are guarded by the byte counts above; a failing one leaves the reply unused.
  }
  // After the decoding: a waiter that wakes finds the counts and states already stored.
  RecordAnswer(header.commandWord, false);
  replyEvent.Set();
}

void CBoschDigitalIO::HandleMessage(rcpplus::RcpHeader& header,
                                    rcpplus::RcpInputStream& payload) {
  const int payloadLength = payload.available();
  std::string text;
  switch (header.commandWord) {
    case kCmdConnectionFailed:
      text = "CBoschIPCameraInfo: Connection failed";
      break;
    case kCmdYield:
      std::this_thread::yield();
      break;
    case kCmdSessionId:
      SetSessionId(header.sessionId);
      return;
    default:
      break;
  }
  text += RcpActionText(header.action, payloadLength);
  text += RcpErrorReasonText(header.errorCode);
  if (IsConnectionLoss(header.errorCode)) GoOffline();
  if (text.empty()) return;
  if (ShouldLogError(errorCount) && handler != nullptr) {
    handler->Log(kLogError, "%s", text.c_str());
  }
}

void CBoschDigitalIO::SetSessionId(std::uint32_t value) {
  CAutoLock guard(lock);
  sessionId = value;
}

}  // namespace corvane
