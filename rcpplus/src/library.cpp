#include "library.h"

#include <algorithm>
#include <chrono>
#include <exception>

#include "errors.h"

namespace rcpplus::detail {
namespace {

std::atomic<Library*> g_instance{nullptr};

// Ends the library's threads when the process exits or the library is unloaded, so no thread
// runs code that is going away. Callbacks owed then are dropped: their targets may be gone.
struct ShutdownAtExit {
  ~ShutdownAtExit() {
    Library* library = g_instance.load(std::memory_order_acquire);
    if (library == nullptr) return;
    DropCallbacks();
    library->Terminate();
  }
} g_shutdownAtExit;

// A callback that keeps sending while the library is being terminated could keep it busy;
// after this many rounds terminate() gives up on such stragglers.
constexpr int kMaxTerminateRounds = 16;
// How long terminate() waits for the library's threads, in all rounds together.
constexpr std::chrono::milliseconds kTerminateLimit{3000};

}  // namespace

std::atomic<int> Library::connectTimeoutMs_{kDefaultConnectTimeoutMs};

Library& Library::Instance() {
  // Never destroyed: threads that end during process exit may still reach it.
  static Library* const instance = [] {
    auto* library = new Library;
    g_instance.store(library, std::memory_order_release);
    return library;
  }();
  return *instance;
}

Library::~Library() = default;

void Library::SetConnectTimeout(int timeoutMs) {
  connectTimeoutMs_.store(timeoutMs > 0 ? timeoutMs : kDefaultConnectTimeoutMs,
                          std::memory_order_relaxed);
}

int Library::ConnectTimeoutMs() { return connectTimeoutMs_.load(std::memory_order_relaxed); }

// Makes a connection with the caller's handle counted and starts its thread; null when that
// fails (what it made is closed again).
std::shared_ptr<Connection> Library::StartConnectionLocked(const std::string& address,
                                                           std::uint32_t sessionId,
                                                           bool isPrivate, std::string& failure) {
  const Key key(address, sessionId);
  const auto pausedUntil = PauseLocked(key, Clock::now());
  try {
    auto connection = std::make_shared<Connection>(nextId_++, *this, address, sessionId,
                                                   ConnectTimeoutMs(), isPrivate, pausedUntil);
    connection->TryAddHandle();
    std::thread thread([connection] {
      connection->Run();
      Library::Instance().OnThreadExit(connection->id());
    });
    threads_.emplace(connection->id(), std::move(thread));
    live_.emplace(connection->id(), connection);
    if (const auto b = backoff_.find(key); b != backoff_.end()) {
      if (pausedUntil) {
        std::erase_if(b->second.standIns, [](const auto& weak) { return weak.expired(); });
        b->second.standIns.push_back(connection);
      } else {
        b->second.attempt = connection->id();
      }
    }
    return connection;
  } catch (...) {
    failure = CannotStartText();
    return nullptr;
  }
}

std::optional<Clock::time_point> Library::PauseLocked(const Key& key,
                                                      Clock::time_point now) const {
  const auto b = backoff_.find(key);
  if (b == backoff_.end()) return std::nullopt;
  // The attempt's answer ends this stand-in early; the connect time-out bounds the attempt.
  if (b->second.attempt != 0) return now + std::chrono::milliseconds(ConnectTimeoutMs());
  if (now < b->second.until) return b->second.until;
  return std::nullopt;
}

void Library::NoteRefusalLocked(const Key& key, std::uint64_t connectionId) {
  const auto [it, first] = backoff_.try_emplace(key);
  Backoff& b = it->second;
  if (b.attempt == connectionId) b.attempt = 0;
  // Connections made before the last refusal was noted belong to that step: their refusals
  // neither lengthen nor restart the pause.
  if (first || connectionId >= b.stepStart) {
    const Clock::duration cap = std::chrono::milliseconds(ConnectTimeoutMs());
    b.pause = std::min(first ? Clock::duration(kFirstRefusalPause) : b.pause * 2, cap);
    b.until = Clock::now() + b.pause;
    b.stepStart = nextId_;
  }
  EndStandInsLocked(b);
}

void Library::EndStandInsLocked(Backoff& backoff) {
  for (const auto& weak : backoff.standIns) {
    if (const auto standIn = weak.lock()) standIn->EndPause();
  }
  backoff.standIns.clear();
}

void Library::OnRegistration(Connection& connection, bool refused) {
  std::lock_guard lock(mutex_);
  const Key key(connection.address(), connection.sessionId());
  if (refused) {
    // The refused connection takes no new work: the next handle gets the pause's stand-in.
    const auto p = pool_.find(key);
    if (p != pool_.end() && p->second.get() == &connection) pool_.erase(p);
    NoteRefusalLocked(key, connection.id());
    return;
  }
  if (const auto b = backoff_.find(key); b != backoff_.end()) {
    EndStandInsLocked(b->second);
    backoff_.erase(b);
  }
}

std::shared_ptr<Connection> Library::Acquire(const std::string& address,
                                             std::uint32_t sessionId) {
  std::vector<std::thread> done;
  std::shared_ptr<Connection> result;
  std::string failure;
  {
    std::lock_guard lock(mutex_);
    done.swap(finished_);
    auto key = std::make_pair(address, sessionId);
    const auto it = pool_.find(key);
    if (it != pool_.end() && it->second->TryAddHandle()) {
      result = it->second;
    } else {
      result = StartConnectionLocked(address, sessionId, false, failure);
      if (result) pool_[std::move(key)] = result;
    }
  }
  for (auto& thread : done) thread.join();
  if (!result) ThrowError(kConnectionError, failure.c_str());
  return result;
}

std::shared_ptr<Connection> Library::AcquireOwn(const std::string& address,
                                                std::uint32_t sessionId) {
  std::vector<std::thread> done;
  std::shared_ptr<Connection> result;
  std::string failure;
  {
    std::lock_guard lock(mutex_);
    done.swap(finished_);
    result = StartConnectionLocked(address, sessionId, true, failure);
  }
  for (auto& thread : done) thread.join();
  if (!result) ThrowError(kConnectionError, failure.c_str());
  return result;
}

std::shared_ptr<MediaConnection> Library::StartMedia(MediaConnection::Params params,
                                                    MediaDescriptors descriptors) {
  std::lock_guard lock(mutex_);
  try {
    auto media =
        std::make_shared<MediaConnection>(nextId_++, std::move(params), std::move(descriptors));
    std::thread thread([media] {
      media->Run();
      Library::Instance().OnThreadExit(media->id());
      media->MarkExited();
    });
    threads_.emplace(media->id(), std::move(thread));
    media_.emplace(media->id(), media);
    return media;
  } catch (const std::exception&) {
    return nullptr;
  }
}

void Library::ReapFinished() {
  std::vector<std::thread> done;
  {
    std::lock_guard lock(mutex_);
    done.swap(finished_);
  }
  for (auto& thread : done) thread.join();
}

bool Library::RetireIfIdle(Connection& connection) {
  std::lock_guard lock(mutex_);
  if (!connection.RetireIfIdle()) return false;
  const auto it = pool_.find(std::make_pair(connection.address(), connection.sessionId()));
  if (it != pool_.end() && it->second.get() == &connection) pool_.erase(it);
  return true;
}

void Library::OnThreadExit(std::uint64_t connectionId) {
  std::shared_ptr<Connection> connection;
  std::shared_ptr<MediaConnection> media;
  {
    std::lock_guard lock(mutex_);
    if (const auto t = threads_.find(connectionId); t != threads_.end()) {
      finished_.push_back(std::move(t->second));
      threads_.erase(t);
    }
    if (const auto c = live_.find(connectionId); c != live_.end()) {
      connection = std::move(c->second);
      live_.erase(c);
      const Key key(connection->address(), connection->sessionId());
      const auto p = pool_.find(key);
      if (p != pool_.end() && p->second == connection) pool_.erase(p);
      // The attempt after a pause ended without an answer: the next request tries again.
      const auto b = backoff_.find(key);
      if (b != backoff_.end() && b->second.attempt == connectionId) {
        b->second.attempt = 0;
        EndStandInsLocked(b->second);
      }
    }
    if (const auto m = media_.find(connectionId); m != media_.end()) {
      media = std::move(m->second);
      media_.erase(m);
    }
  }
  threadExited_.notify_all();
  // connection is released here, outside the lock; the thread's own copy goes last.
}

std::vector<std::shared_ptr<Connection>> Library::LiveConnections() {
  std::lock_guard lock(mutex_);
  std::vector<std::shared_ptr<Connection>> result;
  result.reserve(live_.size());
  for (const auto& [id, connection] : live_) result.push_back(connection);
  return result;
}

bool Library::ForgetCallback(RcpCallback callback, void* context,
                             std::optional<Clock::time_point> deadline) {
  bool idle = true;
  for (const auto& connection : LiveConnections()) {
    if (!connection->Forget(callback, context, deadline)) idle = false;
  }
  return idle;
}

bool Library::AnyRunningLocked(const std::vector<std::uint64_t>& ids) const {
  for (const std::uint64_t id : ids) {
    if (threads_.count(id) != 0) return true;
  }
  return false;
}

void Library::Terminate() {
  const auto self = std::this_thread::get_id();
  const auto deadline = std::chrono::steady_clock::now() + kTerminateLimit;
  for (int round = 0; round < kMaxTerminateRounds; ++round) {
    std::vector<std::shared_ptr<Connection>> connections;
    std::vector<std::shared_ptr<MediaConnection>> media;
    std::vector<std::uint64_t> stopping;
    {
      std::lock_guard lock(mutex_);
      // New handles and requests from now on get fresh connections, without a back-off.
      pool_.clear();
      backoff_.clear();
      for (const auto& [id, connection] : live_) connections.push_back(connection);
      for (const auto& [id, m] : media_) media.push_back(m);
      for (const auto& [id, thread] : threads_) {
        // terminate() called from a callback: this thread ends after it returns.
        if (thread.get_id() != self) stopping.push_back(id);
      }
    }
    for (const auto& connection : connections) connection->RequestStop();
    for (const auto& m : media) m->RequestStop();

    std::vector<std::thread> done;
    bool gaveUp = false;
    {
      std::unique_lock lock(mutex_);
      threadExited_.wait_until(lock, deadline, [&] { return !AnyRunningLocked(stopping); });
      done.swap(finished_);
      // A thread still running now is stuck in a callback that does not return (a stalled
      // host). It is left to end by itself; what it uses stays alive through its own
      // references, and it is no longer waited for.
      for (const std::uint64_t id : stopping) {
        const auto it = threads_.find(id);
        if (it == threads_.end()) continue;
        it->second.detach();
        threads_.erase(it);
        gaveUp = true;
      }
    }
    for (auto& thread : done) thread.join();
    if (gaveUp || (stopping.empty() && done.empty())) break;
  }
}

}  // namespace rcpplus::detail
