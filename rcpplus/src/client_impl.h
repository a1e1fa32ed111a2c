// The state behind an RcpClient handle, shared by the client's and the streamer's operations.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "connection.h"
#include "errors.h"
#include "library.h"
#include "rcpplus/rcpplus.h"
#include "streamer_state.h"

namespace rcpplus {

namespace detail {

// Submitting fails only when the connection closed between lookup and submit; a fresh one
// takes the work. A few rounds cover any such race.
constexpr int kSubmitAttempts = 8;

std::uint64_t NextHandleId();

}  // namespace detail

struct RcpClient::Impl {
  struct Subscription {
    RcpCallback callback;
    void* context;
    std::vector<std::uint32_t> commandWords;
    bool everything = false;
  };

  Impl(const char* address, unsigned long sessionId)
      : address(address != nullptr ? address : ""),
        sessionId(static_cast<std::uint32_t>(sessionId)),
        id(detail::NextHandleId()) {}

  // The connection this handle uses, replacing one that no longer takes work. Subscriptions
  // of the handle move to the new connection.
  std::shared_ptr<detail::Connection> ConnectionLocked() {
    if (connection && connection->Accepting()) return connection;
    DropConnectionLocked();
    connection = ownConnection ? detail::Library::Instance().AcquireOwn(address, sessionId)
                               : detail::Library::Instance().Acquire(address, sessionId);
    for (const auto& s : subscriptions) {
      connection->Subscribe(id, s.callback, s.context, s.commandWords, s.everything);
    }
    return connection;
  }

  void DropConnectionLocked() {
    if (!connection) return;
    // The old connection has closed; nothing of this handle can still be delivered there
    // except what was already owed, so there is nothing to wait for.
    auto old = std::move(connection);
    connection.reset();
    old->ReleaseHandle(id, false);
  }

  // Adds a subscription on the current connection (opening it) and remembers it for the
  // next one.
  void SubscribeLocked(Subscription subscription, const char* failure) {
    for (int attempt = 0; attempt < detail::kSubmitAttempts; ++attempt) {
      if (ConnectionLocked()->Subscribe(id, subscription.callback, subscription.context,
                                        subscription.commandWords, subscription.everything)) {
        subscriptions.push_back(std::move(subscription));
        return;
      }
    }
    detail::ThrowError(kConnectionError, failure);
  }

  // Queues request on this handle's connection (a new one when the pooled one is closing).
  int Submit(detail::Request& request, int timeoutMs, const RcpOutputStream& payload);

  void CheckUsableLocked(const char* operation) const {
    if (released) detail::ThrowError(kBadParameter, operation);
  }

  const std::string address;
  const std::uint32_t sessionId;
  const std::uint64_t id;
  std::mutex mutex;
  // A streamer's control connection is its own: the device ties a video session to it and
  // all of its messages go to the streamer. Set before the handle is used.
  bool ownConnection = false;
  std::shared_ptr<detail::Connection> connection;
  std::vector<Subscription> subscriptions;
  bool released = false;
  // Set for a streamer: what its video shares with the library's threads.
  std::shared_ptr<detail::StreamerState> video;
};

}  // namespace rcpplus
