// The library's process-wide state: the pool of control connections, the private connections
// of streamers, the media connections, their threads, and the back-off after refused
// registrations.
//
// Back-off: once the device refuses a registration for (address, session id), no connection
// to it registers again before a pause of 1 s, doubled after each further refusal up to the
// connect time-out (SetConnectTimeout; a shorter connect time-out is the pause from the
// start). A successful registration ends the back-off; System::terminate() forgets it. During
// the pause every Acquire and AcquireOwn of that key gets a stand-in connection that answers
// each request at once with action 3 / 0xA0. The first connection made after the pause is the
// key's single attempt: pooled handles share it, and any other one asked for meanwhile (a
// streamer's own) is a stand-in until the device has answered it. An attempt that ends without
// an answer (connection error, time-out) leaves the pause as it was, so the next request tries
// again at once, as without a refusal.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "connection.h"
#include "media_connection.h"

namespace rcpplus::detail {

constexpr int kDefaultConnectTimeoutMs = 5000;

class Library final : public ConnectionPool {
 public:
  static Library& Instance();

  // The pooled connection for (address, session id), made and started when there is none that
  // still takes work; the caller's handle is counted on it.
  std::shared_ptr<Connection> Acquire(const std::string& address, std::uint32_t sessionId);
  // A new connection of the caller's own, never shared through the pool.
  std::shared_ptr<Connection> AcquireOwn(const std::string& address, std::uint32_t sessionId);
  // Starts a media connection's thread on descriptors made ahead; null when no thread can be
  // started.
  std::shared_ptr<MediaConnection> StartMedia(MediaConnection::Params params,
                                              MediaDescriptors descriptors);
  // Joins the threads that have ended; never call from a library thread.
  void ReapFinished();
  // Called by an idle connection's thread: drops it from the pool unless a handle took it.
  bool RetireIfIdle(Connection& connection) override;
  // Called by a connection's thread when the device answered its registration.
  void OnRegistration(Connection& connection, bool refused) override;
  // Called by a connection's thread as its last step.
  void OnThreadExit(std::uint64_t connectionId);

  // False when a call to callback+context still ran on some connection at the deadline.
  bool ForgetCallback(RcpCallback callback, void* context,
                      std::optional<Clock::time_point> deadline = std::nullopt);
  // Stops every connection and waits, for a bounded time, until their threads have ended; a
  // thread held up in a callback beyond that is left behind, detached.
  void Terminate();

  static void SetConnectTimeout(int timeoutMs);
  static int ConnectTimeoutMs();

  // The first pause after a refusal (before the connect time-out caps it).
  static constexpr std::chrono::milliseconds kFirstRefusalPause{1000};

  ~Library();

 private:
  Library() = default;
  using Key = std::pair<std::string, std::uint32_t>;

  // The back-off of one key after a refusal.
  struct Backoff {
    Clock::duration pause{};
    Clock::time_point until{};        // no registration attempt before
    std::uint64_t stepStart = 0;      // first connection id made after the last refusal
    std::uint64_t attempt = 0;        // the connection registering since the pause, 0 = none
    std::vector<std::weak_ptr<Connection>> standIns;
  };

  std::vector<std::shared_ptr<Connection>> LiveConnections();
  bool AnyRunningLocked(const std::vector<std::uint64_t>& ids) const;
  // Null with the reason in failure when it cannot be made.
  std::shared_ptr<Connection> StartConnectionLocked(const std::string& address,
                                                    std::uint32_t sessionId, bool isPrivate,
                                                    std::string& failure);
  // When a new connection of key must be a stand-in: the end of its pause.
  std::optional<Clock::time_point> PauseLocked(const Key& key, Clock::time_point now) const;
  void NoteRefusalLocked(const Key& key, std::uint64_t connectionId);
  static void EndStandInsLocked(Backoff& backoff);

  std::mutex mutex_;
  std::uint64_t nextId_ = 1;
  std::map<Key, std::shared_ptr<Connection>> pool_;
  std::map<Key, Backoff> backoff_;
  std::map<std::uint64_t, std::shared_ptr<Connection>> live_;
  std::map<std::uint64_t, std::shared_ptr<MediaConnection>> media_;
  std::map<std::uint64_t, std::thread> threads_;
  std::vector<std::thread> finished_;
  std::condition_variable threadExited_;

  static std::atomic<int> connectTimeoutMs_;
};

}  // namespace rcpplus::detail
