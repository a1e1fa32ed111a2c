// The library's process-wide state: the pool of control connections, the private connections
// of streamers, the media connections, and their threads.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
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
  // Starts a media connection's thread; null when no thread can be started.
  std::shared_ptr<MediaConnection> StartMedia(MediaConnection::Params params);
  // Joins the threads that have ended; never call from a library thread.
  void ReapFinished();
  // Called by an idle connection's thread: drops it from the pool unless a handle took it.
  bool RetireIfIdle(Connection& connection) override;
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

  ~Library();

 private:
  Library() = default;
  std::vector<std::shared_ptr<Connection>> LiveConnections();
  bool AnyRunningLocked(const std::vector<std::uint64_t>& ids) const;
  std::shared_ptr<Connection> StartConnectionLocked(const std::string& address,
                                                    std::uint32_t sessionId, bool isPrivate);

  std::mutex mutex_;
  std::uint64_t nextId_ = 1;
  std::map<std::pair<std::string, std::uint32_t>, std::shared_ptr<Connection>> pool_;
  std::map<std::uint64_t, std::shared_ptr<Connection>> live_;
  std::map<std::uint64_t, std::shared_ptr<MediaConnection>> media_;
  std::map<std::uint64_t, std::thread> threads_;
  std::vector<std::thread> finished_;
  std::condition_variable threadExited_;

  static std::atomic<int> connectTimeoutMs_;
};

}  // namespace rcpplus::detail
