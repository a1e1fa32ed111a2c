// One control connection to a device: its socket, registration, request ids, time-outs and
// the thread that receives frames and runs every callback of the connection.
//
// A connection whose registration the device refuses takes no new work from that moment: the
// library hears of the refusal first (so it can start the back-off and drop the connection
// from the pool), then every request still pending fails once with action 3 / 0xA0 and the
// loss watches hear 0x101. Handles that still hold it find it no longer accepting and take a
// fresh one on their next request.
//
// During the back-off the library hands out a stand-in instead of a connection to the device:
// it never touches the network, answers every request at once with action 3 / 0xA0 and stops
// taking work when the pause ends (or when the library ends it early), so the next request
// after the pause makes the one registration attempt of that step.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "library_thread.h"
#include "rcp_wire.h"
#include "registration.h"
#include "rcpplus/rcpplus.h"

namespace rcpplus::detail {

using Clock = std::chrono::steady_clock;

// How long an unused connection stays open for the next handle on the same address.
constexpr std::chrono::milliseconds kIdleGrace{500};

struct Request {
  std::uint32_t commandWord = 0;
  std::uint16_t line = 0;
  std::vector<std::uint8_t> payload;
  RcpCallback callback = nullptr;
  void* context = nullptr;
  bool awaitsAnswer = true;
  std::optional<Clock::time_point> deadline;
  std::uint8_t requestId = 0;
};

class Connection;

// Whoever keeps connections for reuse. An idle connection asks it before it closes, so that
// a handle taking it from the pool at that moment does not get a closed one.
class ConnectionPool {
 public:
  // Drops connection from the pool unless a handle took it meanwhile; true when it may close.
  virtual bool RetireIfIdle(Connection& connection) = 0;
  // The device answered connection's registration: refused (0xA0) or registered. Called on
  // the connection's thread without its lock, before a refusal fails any request.
  virtual void OnRegistration(Connection& connection, bool refused) = 0;

 protected:
  ~ConnectionPool() = default;
};

class Connection : public std::enable_shared_from_this<Connection> {
 public:
  // A private connection serves one handle only (a streamer's): it is never pooled and
  // closes as soon as nothing uses it. With pausedUntil the connection is the back-off's
  // stand-in described above, until that time. What can fail on a system limit (the wake
  // descriptor, the socket) is made here, in the caller's thread: SystemFailure.
  Connection(std::uint64_t id, ConnectionPool& pool, std::string address,
             std::uint32_t sessionId, int connectTimeoutMs, bool isPrivate = false,
             std::optional<Clock::time_point> pausedUntil = std::nullopt);
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  std::uint64_t id() const { return id_; }
  const std::string& address() const { return address_; }
  std::uint32_t sessionId() const { return sessionId_; }
  bool isPrivate() const { return private_; }
  bool isStandIn() const { return standIn_; }

  // The connection's thread body; returns when the connection has closed and every callback
  // it owed has been made.
  void Run();

  // Handle bookkeeping. TryAddHandle fails once the connection no longer takes new work.
  bool TryAddHandle();
  // waitForDelivery: return only when no message for the handle's subscriptions runs.
  void ReleaseHandle(std::uint64_t handleId, bool waitForDelivery);
  bool Accepting();

  // Queues a request; false (request untouched) when the connection no longer takes work.
  bool Submit(Request& request);
  // everything: every message of the connection, whatever its command word.
  bool Subscribe(std::uint64_t handleId, RcpCallback callback, void* context,
                 std::vector<std::uint32_t> commandWords, bool everything = false);
  // callback hears once, with command word 0x00120020 and action 255, when the connection
  // cannot be made (0x101) or the device breaks it after registration (0x107); never when
  // the client closes it. Removed with the handle, or by Forget.
  bool WatchLoss(std::uint64_t handleId, RcpCallback callback, void* context, std::uint16_t line);
  // Stops message delivery to context; waits for a running delivery to it unless called on a
  // library thread.
  void Unsubscribe(void* context);
  // Requests naming callback+context complete without calling it; waits as above, up to
  // deadline when one is given. False when a call to it was still running at the deadline.
  bool Forget(RcpCallback callback, void* context,
              std::optional<Clock::time_point> deadline = std::nullopt);
  // Makes a client error for callback on this connection's thread (used where the library
  // cannot serve a call but owes a callback).
  bool PostClientError(RcpCallback callback, void* context, std::uint32_t commandWord,
                       std::uint16_t line, std::uint32_t code);
  // Closes the connection on the client's behalf; pending requests fail once.
  void RequestStop();
  // Called by the library with its own lock held: retires the connection if nothing uses it.
  bool RetireIfIdle();
  // Ends a stand-in's pause now: it takes no more work and closes once it has answered.
  void EndPause();

 private:
  // kRegistering: the socket is connected, the registration is under way. kRefused: the
  // device refused it and the pool has not been told yet. kPaused: a back-off stand-in.
  enum class State {
    kConnecting,
    kRegistering,
    kReady,
    kRefused,
    kPaused,
    kInvalidAddress,
    kClosed
  };
  // A registration answer the pool still has to hear.
  enum class Verdict { kNone, kRegistered, kRefused };

  struct Subscription {
    std::uint64_t owner;
    RcpCallback callback;
    void* context;
    std::vector<std::uint32_t> commandWords;
    bool everything;
  };

  struct LossWatch {
    std::uint64_t owner;
    RcpCallback callback;
    void* context;
    std::uint16_t line;
  };

  struct Completion {
    RcpCallback callback;
    void* context;
    bool fromSubscription;
    std::uint64_t owner;  // handle of a subscription, 0 for requests
    RcpHeader header;
    std::vector<std::uint8_t> payload;
  };

  // Thread steps.
  void StartConnecting();
  void ReportRegistration();
  void DispatchCompletions();
  std::optional<Clock::time_point> ServiceLocked(Clock::time_point now);
  void ExpireLocked(Clock::time_point now);
  void SendQueuedLocked();
  void FailAllLocked(std::uint8_t action, std::uint32_t code, bool keepAccepting);
  void CloseSocket();
  void WaitForEvents(std::optional<Clock::time_point> wakeAt);
  void FinishConnect();
  void ReadSocket();
  void WriteSocket();
  void HandleFrameLocked(const rcpwire::Frame& frame);
  void HandleRegistrationLocked(const rcpwire::Frame& frame);
  void BreakLocked();
  void ReportLossLocked(std::uint32_t code);
  void WakeThread();
  // False when deadline passed first.
  bool WaitForDispatchLocked(std::unique_lock<std::mutex>& lock, RcpCallback callback,
                             void* context, bool anyCallback,
                             std::optional<Clock::time_point> deadline = std::nullopt);

  bool IdleLocked() const;
  // accepting_, with a stand-in's pause ending on time even before its thread wakes.
  bool AcceptingLocked();
  std::uint8_t NextRequestIdLocked();
  void EncodeLocked(std::uint32_t commandWord, std::uint8_t action, std::uint8_t requestId,
                    std::uint16_t line, const std::vector<std::uint8_t>& payload);
  RcpHeader MakeHeaderLocked(const Request& request, std::uint8_t action, std::uint32_t code) const;
  void CompleteLocked(Request& request, std::uint8_t action, std::uint32_t code);

  const std::uint64_t id_;
  ConnectionPool& pool_;
  const std::string address_;
  const std::uint32_t sessionId_;
  const int connectTimeoutMs_;
  const bool private_;
  const bool standIn_;
  int wakeFd_ = -1;

  std::mutex mutex_;
  std::condition_variable dispatchDone_;
  State state_ = State::kConnecting;
  Verdict verdict_ = Verdict::kNone;
  Clock::time_point pausedUntil_{};
  bool accepting_ = true;
  bool stopRequested_ = false;
  int handles_ = 0;
  std::deque<Request> queued_;
  std::map<std::uint8_t, Request> inflight_;
  std::deque<Completion> completions_;
  std::vector<Subscription> subscriptions_;
  std::vector<LossWatch> lossWatches_;
  std::uint16_t clientId_ = 0;
  std::uint8_t lastRequestId_ = 0;
  std::uint8_t registrationId_ = 0;
  Clock::time_point registrationDeadline_{};
  std::optional<Clock::time_point> idleSince_;
  bool dispatching_ = false;
  RcpCallback dispatchCallback_ = nullptr;
  void* dispatchContext_ = nullptr;
  std::uint64_t dispatchOwner_ = 0;

  // Owned by the connection's thread (made by the constructor before the thread starts).
  int socket_ = -1;
  rcpwire::FrameDecoder decoder_;
  std::vector<std::uint8_t> output_;
  std::size_t outputSent_ = 0;
  std::optional<rcpwire::DeviceAddress> parsed_;
  std::optional<Registration> registration_;  // refers to *parsed_
};

}  // namespace rcpplus::detail
