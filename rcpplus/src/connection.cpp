#include "connection.h"

#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <exception>

#include "errors.h"

namespace rcpplus::detail {
namespace {

constexpr std::uint8_t kClientErrorAction = kActionClientError;
constexpr std::size_t kReadChunk = 64 * 1024;

void EarliestOf(std::optional<Clock::time_point>& current, Clock::time_point candidate) {
  if (!current || candidate < *current) current = candidate;
}

}  // namespace

Connection::Connection(std::uint64_t id, ConnectionPool& pool, std::string address,
                       std::uint32_t sessionId, int connectTimeoutMs, bool isPrivate,
                       std::optional<Clock::time_point> pausedUntil)
    : id_(id),
      pool_(pool),
      address_(std::move(address)),
      sessionId_(sessionId),
      connectTimeoutMs_(connectTimeoutMs),
      private_(isPrivate),
      standIn_(pausedUntil.has_value()) {
  wakeFd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (wakeFd_ < 0) throw SystemFailure{errno};
  if (standIn_) {
    state_ = State::kPaused;
    pausedUntil_ = *pausedUntil;
    return;
  }
  parsed_ = rcpwire::ParseDeviceAddress(address_);
  if (!parsed_) return;
  socket_ = OpenDeviceSocket();
  if (socket_ < 0) {
    const int error = errno;
    ::close(wakeFd_);
    throw SystemFailure{error};
  }
}

Connection::~Connection() {
  CloseSocket();
  if (wakeFd_ >= 0) ::close(wakeFd_);
}

// ---- Called from any thread

bool Connection::TryAddHandle() {
  std::lock_guard lock(mutex_);
  if (!AcceptingLocked()) return false;
  ++handles_;
  idleSince_.reset();
  return true;
}

void Connection::ReleaseHandle(std::uint64_t handleId, bool waitForDelivery) {
  {
    std::unique_lock lock(mutex_);
    if (handles_ > 0) --handles_;
    std::erase_if(subscriptions_, [&](const Subscription& s) { return s.owner == handleId; });
    std::erase_if(lossWatches_, [&](const LossWatch& w) { return w.owner == handleId; });
    std::erase_if(completions_, [&](const Completion& c) {
      return c.fromSubscription && c.owner == handleId;
    });
    // The handle's owner may free the subscription's context right after this returns.
    if (waitForDelivery && !IsLibraryThread()) {
      dispatchDone_.wait(lock, [&] { return !dispatching_ || dispatchOwner_ != handleId; });
    }
  }
  WakeThread();
}

bool Connection::Accepting() {
  std::lock_guard lock(mutex_);
  return AcceptingLocked();
}

bool Connection::AcceptingLocked() {
  if (accepting_ && standIn_ && Clock::now() >= pausedUntil_) accepting_ = false;
  return accepting_;
}

bool Connection::Submit(Request& request) {
  {
    std::lock_guard lock(mutex_);
    if (!AcceptingLocked()) return false;
    queued_.push_back(std::move(request));
  }
  WakeThread();
  return true;
}

bool Connection::Subscribe(std::uint64_t handleId, RcpCallback callback, void* context,
                           std::vector<std::uint32_t> commandWords, bool everything) {
  {
    std::lock_guard lock(mutex_);
    if (!AcceptingLocked()) return false;
    subscriptions_.push_back(
        Subscription{handleId, callback, context, std::move(commandWords), everything});
  }
  WakeThread();
  return true;
}

bool Connection::WatchLoss(std::uint64_t handleId, RcpCallback callback, void* context,
                           std::uint16_t line) {
  std::lock_guard lock(mutex_);
  if (!AcceptingLocked()) return false;
  lossWatches_.push_back(LossWatch{handleId, callback, context, line});
  return true;
}

void Connection::Unsubscribe(void* context) {
  std::unique_lock lock(mutex_);
  std::erase_if(subscriptions_, [&](const Subscription& s) { return s.context == context; });
  std::erase_if(completions_, [&](const Completion& c) {
    return c.fromSubscription && c.context == context;
  });
  WaitForDispatchLocked(lock, nullptr, context, true);
}

bool Connection::Forget(RcpCallback callback, void* context,
                        std::optional<Clock::time_point> deadline) {
  std::unique_lock lock(mutex_);
  auto matches = [&](RcpCallback cb, void* ctx) { return cb == callback && ctx == context; };
  for (auto& r : queued_) {
    if (matches(r.callback, r.context)) r.callback = nullptr;
  }
  for (auto& [id, r] : inflight_) {
    if (matches(r.callback, r.context)) r.callback = nullptr;
  }
  for (auto& c : completions_) {
    if (matches(c.callback, c.context)) c.callback = nullptr;
  }
  std::erase_if(subscriptions_,
                [&](const Subscription& s) { return matches(s.callback, s.context); });
  std::erase_if(lossWatches_, [&](const LossWatch& w) { return matches(w.callback, w.context); });
  return WaitForDispatchLocked(lock, callback, context, false, deadline);
}

bool Connection::PostClientError(RcpCallback callback, void* context, std::uint32_t commandWord,
                                 std::uint16_t line, std::uint32_t code) {
  {
    std::lock_guard lock(mutex_);
    if (!AcceptingLocked()) return false;
    Request request;
    request.commandWord = commandWord;
    request.line = line;
    request.callback = callback;
    request.context = context;
    CompleteLocked(request, kClientErrorAction, code);
  }
  WakeThread();
  return true;
}

void Connection::RequestStop() {
  {
    std::lock_guard lock(mutex_);
    stopRequested_ = true;
  }
  WakeThread();
}

bool Connection::RetireIfIdle() {
  std::lock_guard lock(mutex_);
  if (!IdleLocked() || !accepting_) return false;
  accepting_ = false;
  state_ = State::kClosed;
  return true;
}

void Connection::EndPause() {
  {
    std::lock_guard lock(mutex_);
    if (!standIn_) return;
    accepting_ = false;
    pausedUntil_ = std::min(pausedUntil_, Clock::now());
  }
  WakeThread();
}

void Connection::WakeThread() {
  const std::uint64_t one = 1;
  // A full counter already wakes the thread; nothing else can go wrong with an eventfd.
  [[maybe_unused]] const auto written = ::write(wakeFd_, &one, sizeof one);
}

// Waits until no callback matching (callback, context) runs on this connection. A null
// callback matches any callback of context. Library threads never wait: they may be the
// thread running it, or be needed by it.
bool Connection::WaitForDispatchLocked(std::unique_lock<std::mutex>& lock, RcpCallback callback,
                                       void* context, bool anyCallback,
                                       std::optional<Clock::time_point> deadline) {
  if (IsLibraryThread()) return true;
  if (callback == nullptr && context == nullptr) return true;
  const auto idle = [&] {
    if (!dispatching_ || dispatchContext_ != context) return true;
    return !anyCallback && dispatchCallback_ != callback;
  };
  if (!deadline) {
    dispatchDone_.wait(lock, idle);
    return true;
  }
  return dispatchDone_.wait_until(lock, *deadline, idle);
}

bool Connection::IdleLocked() const {
  return handles_ == 0 && queued_.empty() && inflight_.empty() && completions_.empty();
}

// ---- The connection's thread

void Connection::Run() {
  MarkLibraryThread();
  // Named so that a look at the process shows which threads are the library's.
  ::pthread_setname_np(::pthread_self(), "rcpplus-conn");
  if (!standIn_) StartConnecting();
  for (;;) {
    ReportRegistration();
    DispatchCompletions();
    std::optional<Clock::time_point> wakeAt;
    bool retire = false;
    {
      std::lock_guard lock(mutex_);
      if (!completions_.empty()) continue;
      if (state_ == State::kClosed) break;
      const auto now = Clock::now();
      wakeAt = ServiceLocked(now);
      if (!completions_.empty() || state_ == State::kClosed) continue;
      if (IdleLocked()) {
        // Nobody else can reuse a private connection, so it goes at once.
        const auto grace = private_ ? Clock::duration::zero() : Clock::duration(kIdleGrace);
        if (!idleSince_) idleSince_ = now;
        retire = now - *idleSince_ >= grace;
        EarliestOf(wakeAt, *idleSince_ + grace);
      } else {
        idleSince_.reset();
      }
    }
    if (retire) {
      if (pool_.RetireIfIdle(*this)) CloseSocket();
      continue;
    }
    WaitForEvents(wakeAt);
  }
  CloseSocket();
}

// The socket was made by the constructor; here it is connected (resolving may take a while).
void Connection::StartConnecting() {
  if (!parsed_) {
    std::lock_guard lock(mutex_);
    state_ = State::kInvalidAddress;
    return;
  }
  const auto deadline = Clock::now() + std::chrono::milliseconds(connectTimeoutMs_);
  registration_.emplace(*parsed_, sessionId_, 0);
  ConnectStart start = ConnectStart::kFailed;
  if (const auto peer = ResolveDevice(*parsed_)) start = BeginConnect(socket_, *peer);
  if (start == ConnectStart::kFailed) CloseSocket();

  std::lock_guard lock(mutex_);
  registrationDeadline_ = deadline;
  if (socket_ < 0) {
    FailAllLocked(kClientErrorAction, kConnectionError, false);
    ReportLossLocked(kConnectionError);
    state_ = State::kClosed;
    return;
  }
  state_ = start == ConnectStart::kConnected ? State::kRegistering : State::kConnecting;
}

// Tells the pool how the registration ended, outside the connection's lock. A refusal fails
// the pending requests only after that, so no handle can take a fresh connection (and make
// another attempt) before the pool has started the back-off.
void Connection::ReportRegistration() {
  Verdict verdict = Verdict::kNone;
  {
    std::lock_guard lock(mutex_);
    std::swap(verdict, verdict_);
  }
  if (verdict == Verdict::kNone) return;
  pool_.OnRegistration(*this, verdict == Verdict::kRefused);
  if (verdict != Verdict::kRefused) return;
  std::lock_guard lock(mutex_);
  // A stop that came meanwhile has already failed everything as a close by the client.
  if (state_ != State::kRefused) return;
  FailAllLocked(kActionError, rcpwire::kErrInvalidAuthorization, false);
  ReportLossLocked(kConnectionError);
  state_ = State::kClosed;
}

void Connection::DispatchCompletions() {
  std::unique_lock lock(mutex_);
  while (!completions_.empty()) {
    Completion c = std::move(completions_.front());
    completions_.pop_front();
    if (c.callback == nullptr || DroppingCallbacks()) continue;
    dispatching_ = true;
    dispatchCallback_ = c.callback;
    dispatchContext_ = c.context;
    dispatchOwner_ = c.owner;
    lock.unlock();
    c.header.connectionAddress = address_.c_str();
    RcpInputStream stream(c.payload.data(), c.payload.size());
    try {
      c.callback(c.context, c.header, stream);
    } catch (Exception*) {
      // The callback's own read failure; the connection goes on.
    } catch (const std::exception&) {
    }
    lock.lock();
    dispatching_ = false;
    dispatchCallback_ = nullptr;
    dispatchContext_ = nullptr;
    dispatchOwner_ = 0;
    dispatchDone_.notify_all();
  }
}

// One pass of the state machine; returns when the thread must look again at the latest.
std::optional<Clock::time_point> Connection::ServiceLocked(Clock::time_point now) {
  if (stopRequested_ && state_ != State::kClosed) {
    const bool registered = state_ == State::kReady;
    FailAllLocked(kClientErrorAction, registered ? kConnectionReset : kConnectionError, false);
    CloseSocket();
    state_ = State::kClosed;
    return std::nullopt;
  }
  ExpireLocked(now);

  std::optional<Clock::time_point> wakeAt;
  switch (state_) {
    case State::kInvalidAddress:
      while (!queued_.empty()) {
        CompleteLocked(queued_.front(), kClientErrorAction, kInvalidAddress);
        queued_.pop_front();
      }
      break;
    case State::kPaused:
      while (!queued_.empty()) {
        CompleteLocked(queued_.front(), kActionError, rcpwire::kErrInvalidAuthorization);
        queued_.pop_front();
      }
      if (now >= pausedUntil_) {
        accepting_ = false;
        state_ = State::kClosed;
        return std::nullopt;
      }
      EarliestOf(wakeAt, pausedUntil_);
      break;
    case State::kRefused:
      // ReportRegistration finishes it on the next pass.
      break;
    case State::kReady:
      SendQueuedLocked();
      break;
    case State::kConnecting:
    case State::kRegistering:
      if (now >= registrationDeadline_) {
        const bool tcpConnected = state_ != State::kConnecting;
        FailAllLocked(kClientErrorAction, tcpConnected ? kRegistrationFailed : kConnectionError,
                      false);
        ReportLossLocked(kConnectionError);
        CloseSocket();
        state_ = State::kClosed;
        return std::nullopt;
      }
      EarliestOf(wakeAt, registrationDeadline_);
      break;
    case State::kClosed:
      return std::nullopt;
  }
  for (const auto& r : queued_) {
    if (r.deadline) EarliestOf(wakeAt, *r.deadline);
  }
  for (const auto& [id, r] : inflight_) {
    if (r.deadline) EarliestOf(wakeAt, *r.deadline);
  }
  return wakeAt;
}

void Connection::ExpireLocked(Clock::time_point now) {
  auto expired = [&](const Request& r) { return r.deadline && *r.deadline <= now; };
  for (auto it = queued_.begin(); it != queued_.end();) {
    if (expired(*it)) {
      CompleteLocked(*it, kClientErrorAction, kResponseTimeout);
      it = queued_.erase(it);
    } else {
      ++it;
    }
  }
  for (auto it = inflight_.begin(); it != inflight_.end();) {
    if (expired(it->second)) {
      CompleteLocked(it->second, kClientErrorAction, kResponseTimeout);
      it = inflight_.erase(it);
    } else {
      ++it;
    }
  }
}

// Sends queued requests in order; one that needs a request id waits (and keeps the ones
// behind it waiting) while all 255 are in use.
void Connection::SendQueuedLocked() {
  while (!queued_.empty()) {
    Request& r = queued_.front();
    if (r.awaitsAnswer) {
      const std::uint8_t requestId = NextRequestIdLocked();
      if (requestId == 0) break;
      r.requestId = requestId;
      EncodeLocked(r.commandWord, rcpwire::kRequest, requestId, r.line, r.payload);
      r.payload.clear();
      r.payload.shrink_to_fit();
      inflight_.emplace(requestId, std::move(r));
    } else {
      EncodeLocked(r.commandWord, rcpwire::kRequest, 0, r.line, r.payload);
    }
    queued_.pop_front();
  }
}

std::uint8_t Connection::NextRequestIdLocked() {
  for (int step = 1; step <= 255; ++step) {
    const auto candidate = static_cast<std::uint8_t>((lastRequestId_ + step - 1) % 255 + 1);
    if (candidate == registrationId_ || inflight_.count(candidate) != 0) continue;
    lastRequestId_ = candidate;
    return candidate;
  }
  return 0;
}

void Connection::EncodeLocked(std::uint32_t commandWord, std::uint8_t action,
                              std::uint8_t requestId, std::uint16_t line,
                              const std::vector<std::uint8_t>& payload) {
  rcpwire::Frame frame;
  frame.commandWord = commandWord;
  frame.action = action;
  frame.requestId = requestId;
  frame.clientId = clientId_;
  frame.sessionId = sessionId_;
  frame.line = line;
  frame.payload = payload;
  rcpwire::Encode(frame, output_);
}

RcpHeader Connection::MakeHeaderLocked(const Request& request, std::uint8_t action,
                                       std::uint32_t code) const {
  RcpHeader header{};
  header.commandWord = request.commandWord;
  header.action = action;
  header.requestId = request.requestId;
  header.clientId = clientId_;
  header.payloadLength = 0;
  header.line = request.line;
  header.sessionId = sessionId_;
  header.errorCode = code;
  header.connectionAddress = nullptr;
  return header;
}

void Connection::CompleteLocked(Request& request, std::uint8_t action, std::uint32_t code) {
  if (request.callback == nullptr) return;
  completions_.push_back(Completion{request.callback, request.context, false, 0,
                                    MakeHeaderLocked(request, action, code), {}});
}

void Connection::FailAllLocked(std::uint8_t action, std::uint32_t code, bool keepAccepting) {
  for (auto& r : queued_) CompleteLocked(r, action, code);
  for (auto& [id, r] : inflight_) CompleteLocked(r, action, code);
  queued_.clear();
  inflight_.clear();
  registrationId_ = 0;
  accepting_ = keepAccepting;
}

void Connection::CloseSocket() {
  if (socket_ >= 0) {
    ::close(socket_);
    socket_ = -1;
  }
  output_.clear();
  outputSent_ = 0;
}

void Connection::WaitForEvents(std::optional<Clock::time_point> wakeAt) {
  int timeoutMs = -1;
  if (wakeAt) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(*wakeAt - Clock::now());
    timeoutMs = static_cast<int>(std::clamp<long long>(left.count(), 0, 60'000));
  }
  pollfd fds[2] = {{wakeFd_, POLLIN, 0}, {socket_, 0, 0}};
  nfds_t count = 1;
  const bool connecting = state_ == State::kConnecting;
  if (socket_ >= 0) {
    fds[1].events = POLLIN;
    if (connecting || outputSent_ < output_.size()) fds[1].events |= POLLOUT;
    count = 2;
  }
  if (::poll(fds, count, timeoutMs) <= 0) return;
  if (fds[0].revents != 0) {
    std::uint64_t value = 0;
    [[maybe_unused]] const auto got = ::read(wakeFd_, &value, sizeof value);
  }
  if (count < 2 || fds[1].revents == 0) return;
  if (connecting) {
    FinishConnect();
    return;
  }
  if (fds[1].revents & (POLLIN | POLLHUP | POLLERR)) ReadSocket();
  if (socket_ >= 0 && (fds[1].revents & POLLOUT)) WriteSocket();
}

void Connection::FinishConnect() {
  const int error = ConnectError(socket_);
  std::lock_guard lock(mutex_);
  if (state_ != State::kConnecting) return;
  if (error != 0) {
    FailAllLocked(kClientErrorAction, kConnectionError, false);
    ReportLossLocked(kConnectionError);
    CloseSocket();
    state_ = State::kClosed;
    return;
  }
  state_ = State::kRegistering;
}

void Connection::ReadSocket() {
  std::uint8_t buffer[kReadChunk];
  bool closed = false;
  for (;;) {
    const ssize_t n = ::recv(socket_, buffer, sizeof buffer, 0);
    if (n > 0) {
      decoder_.Feed(std::span<const std::uint8_t>(buffer, static_cast<std::size_t>(n)));
      if (static_cast<std::size_t>(n) < sizeof buffer) break;
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
    closed = true;
    break;
  }
  std::lock_guard lock(mutex_);
  rcpwire::Frame frame;
  for (;;) {
    const auto status = decoder_.Next(frame);
    if (status == rcpwire::FrameDecoder::Status::kNeedMore) break;
    if (status == rcpwire::FrameDecoder::Status::kError) {
      closed = true;
      break;
    }
    HandleFrameLocked(frame);
    if (socket_ < 0) return;
  }
  if (closed) BreakLocked();
}

void Connection::WriteSocket() {
  while (outputSent_ < output_.size()) {
    const ssize_t n = ::send(socket_, output_.data() + outputSent_, output_.size() - outputSent_,
                             MSG_NOSIGNAL);
    if (n > 0) {
      outputSent_ += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
    std::lock_guard lock(mutex_);
    BreakLocked();
    return;
  }
  output_.clear();
  outputSent_ = 0;
}

// The device closed the connection, or sent bytes that break the framing.
void Connection::BreakLocked() {
  switch (state_) {
    case State::kReady:
      FailAllLocked(kClientErrorAction, kConnectionReset, false);
      ReportLossLocked(kConnectionReset);
      state_ = State::kClosed;
      break;
    case State::kConnecting:
    case State::kRegistering:
      FailAllLocked(kClientErrorAction, kConnectionError, false);
      ReportLossLocked(kConnectionError);
      state_ = State::kClosed;
      break;
    case State::kRefused:
    case State::kPaused:
    case State::kInvalidAddress:
    case State::kClosed:
      break;
  }
  CloseSocket();
}

// Only failures the device or the network caused get here, never a close by the client.
// Subscribers to listed command words hear it too, once per callback and context: a handle
// that only listens would otherwise wait for messages that no longer come. (A streamer's
// video session takes every message; its loss watch reports for it.)
void Connection::ReportLossLocked(std::uint32_t code) {
  const auto report = [&](RcpCallback callback, void* context, std::uint16_t line) {
    RcpHeader header{};
    header.commandWord = rcpwire::kCmdConnectionLost;
    header.action = kClientErrorAction;
    header.clientId = clientId_;
    header.line = line;
    header.sessionId = sessionId_;
    header.errorCode = code;
    completions_.push_back(Completion{callback, context, false, 0, header, {}});
  };
  std::vector<std::pair<RcpCallback, void*>> told;
  for (const auto& w : lossWatches_) {
    report(w.callback, w.context, w.line);
    told.emplace_back(w.callback, w.context);
  }
  for (const auto& s : subscriptions_) {
    if (s.everything) continue;
    const std::pair<RcpCallback, void*> key(s.callback, s.context);
    if (std::find(told.begin(), told.end(), key) != told.end()) continue;
    report(s.callback, s.context, 0);
    told.push_back(key);
  }
  lossWatches_.clear();
}

void Connection::HandleFrameLocked(const rcpwire::Frame& frame) {
  switch (state_) {
    case State::kRegistering:
      HandleRegistrationLocked(frame);
      return;
    case State::kReady:
      break;
    default:
      return;
  }

  if (frame.action == rcpwire::kReply || frame.action == rcpwire::kError) {
    if (frame.requestId == 0) return;
    const auto it = inflight_.find(frame.requestId);
    if (it == inflight_.end()) return;  // unknown or timed out: dropped
    Request request = std::move(it->second);
    inflight_.erase(it);
    if (request.callback == nullptr) return;
    RcpHeader header{};
    header.commandWord = frame.commandWord;
    header.action = frame.action;
    header.requestId = frame.requestId;
    header.clientId = frame.clientId;
    header.payloadLength = static_cast<std::uint16_t>(frame.payload.size());
    header.line = frame.line;
    header.sessionId = frame.sessionId;
    header.errorCode = frame.action == rcpwire::kError ? frame.ErrorCode() : 0;
    completions_.push_back(Completion{request.callback, request.context, false, 0, header,
                                      frame.payload});
    return;
  }
  if (frame.action != rcpwire::kMessage) return;
  for (const auto& s : subscriptions_) {
    if (!s.everything && std::find(s.commandWords.begin(), s.commandWords.end(),
                                   frame.commandWord) == s.commandWords.end()) {
      continue;
    }
    RcpHeader header{};
    header.commandWord = frame.commandWord;
    header.action = frame.action;
    header.requestId = frame.requestId;
    header.clientId = frame.clientId;
    header.payloadLength = static_cast<std::uint16_t>(frame.payload.size());
    header.line = frame.line;
    header.sessionId = frame.sessionId;
    header.errorCode = 0;
    completions_.push_back(Completion{s.callback, s.context, true, s.owner, header,
                                      frame.payload});
  }
}

void Connection::HandleRegistrationLocked(const rcpwire::Frame& frame) {
  switch (registration_->Feed(frame)) {
    case Registration::Event::kNone:
      return;
    case Registration::Event::kChallenged:
      registrationId_ = NextRequestIdLocked();
      rcpwire::Encode(registration_->Request(registrationId_), output_);
      return;
    case Registration::Event::kRegistered:
      clientId_ = registration_->clientId();
      registrationId_ = 0;
      state_ = State::kReady;
      verdict_ = Verdict::kRegistered;
      return;
    case Registration::Event::kRejected:
      // ReportRegistration tells the pool, then fails what is pending and takes no more
      // work. Until then a request still joins this connection and fails with the rest, so
      // no other attempt can start before the pool knows.
      registrationId_ = 0;
      CloseSocket();
      state_ = State::kRefused;
      verdict_ = Verdict::kRefused;
      return;
    case Registration::Event::kFailed:
      FailAllLocked(kClientErrorAction, kRegistrationFailed, false);
      ReportLossLocked(kConnectionError);
      CloseSocket();
      state_ = State::kClosed;
      return;
  }
}

}  // namespace rcpplus::detail
