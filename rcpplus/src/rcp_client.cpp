// RcpClient handles: light handles on a pooled connection owned by the library.
#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "client_impl.h"

namespace rcpplus {

using detail::Connection;
using detail::Library;

namespace detail {

std::uint64_t NextHandleId() {
  static std::atomic<std::uint64_t> next{1};
  return next.fetch_add(1, std::memory_order_relaxed);
}

}  // namespace detail

using detail::kSubmitAttempts;

RcpClient::RcpClient(const char* address, unsigned long sessionId, unsigned short line)
    : line(line), impl_(new Impl(address, sessionId)) {}

RcpClient::~RcpClient() {
  disconnect();
  delete impl_;
}

int RcpClient::Impl::Submit(detail::Request& request, int timeoutMs,
                            const RcpOutputStream& payload) {
  if (timeoutMs > 0) {
    request.deadline = detail::Clock::now() + std::chrono::milliseconds(timeoutMs);
  }
  if (payload.size() > rcpwire::kMaxPayload) {
    detail::ThrowError(kBadParameter, "RcpClient::sendRequest: payload too long");
  }
  request.payload.assign(payload.data(), payload.data() + payload.size());

  std::lock_guard lock(mutex);
  CheckUsableLocked("RcpClient::sendRequest: client already disconnected");
  for (int attempt = 0; attempt < kSubmitAttempts; ++attempt) {
    if (ConnectionLocked()->Submit(request)) return 0;
  }
  detail::ThrowError(kConnectionError, "RcpClient::sendRequest: no connection takes the request");
}

int RcpClient::sendRequest(int timeoutMs, unsigned long commandWord, RcpOutputStream& payload,
                           RcpCallback callback, void* context) {
  detail::Request request;
  request.commandWord = static_cast<std::uint32_t>(commandWord);
  request.line = line;
  request.callback = callback;
  request.context = context;
  request.awaitsAnswer = true;
  return impl_->Submit(request, timeoutMs, payload);
}

int RcpClient::sendRequest(int timeoutMs, unsigned long commandWord, RcpOutputStream& payload,
                           RcpInputStream& /*reply*/) {
  detail::Request request;
  request.commandWord = static_cast<std::uint32_t>(commandWord);
  request.line = line;
  request.awaitsAnswer = false;
  return impl_->Submit(request, timeoutMs, payload);
}

RcpInputStream& RcpClient::noResponse() {
  static RcpInputStream none;
  return none;
}

void RcpClient::subscribeMessageCallback(RcpCallback callback, void* context,
                                         const unsigned long* commandWords, int count) {
  if (count < 0 || (count > 0 && commandWords == nullptr)) {
    detail::ThrowError(kBadParameter,
                       "RcpClient::subscribeMessageCallback: bad command word list");
  }
  std::vector<std::uint32_t> words;
  words.reserve(static_cast<std::size_t>(count));
  for (int i = 0; i < count; ++i) words.push_back(static_cast<std::uint32_t>(commandWords[i]));

  std::lock_guard lock(impl_->mutex);
  impl_->CheckUsableLocked("RcpClient::subscribeMessageCallback: client already disconnected");
  // Subscribing also opens the connection: the device sends messages only to registered ones.
  impl_->SubscribeLocked(Impl::Subscription{callback, context, std::move(words)},
                         "RcpClient::subscribeMessageCallback: no connection takes the "
                         "subscription");
}

void RcpClient::unsubscribeMessageCallback(void* context) {
  std::shared_ptr<Connection> connection;
  std::shared_ptr<detail::StreamerState> video;
  {
    std::lock_guard lock(impl_->mutex);
    std::erase_if(impl_->subscriptions,
                  [&](const Impl::Subscription& s) { return s.context == context; });
    connection = impl_->connection;
    video = impl_->video;
  }
  // Outside the handle's lock: a delivery running now may itself use this handle.
  if (connection) connection->Unsubscribe(context);
  // A streamer's video callbacks to context stop too: the caller may free it next.
  if (video) {
    video->StopMessages(nullptr, context);
    video->StopReceiverTo(context);
  }
}

void RcpClient::unregisterCallback(RcpCallback callback, void* context) {
  unregisterCallback(callback, context, -1);
}

bool RcpClient::unregisterCallback(RcpCallback callback, void* context, int timeoutMs) {
  std::shared_ptr<detail::StreamerState> video;
  {
    std::lock_guard lock(impl_->mutex);
    std::erase_if(impl_->subscriptions, [&](const Impl::Subscription& s) {
      return s.callback == callback && s.context == context;
    });
    video = impl_->video;
  }
  std::optional<detail::Clock::time_point> deadline;
  if (timeoutMs >= 0) deadline = detail::Clock::now() + std::chrono::milliseconds(timeoutMs);
  const bool idle = Library::Instance().ForgetCallback(callback, context, deadline);
  if (video) video->StopMessages(callback, context);
  return idle;
}

void RcpClient::disconnect() {
  std::shared_ptr<Connection> connection;
  std::shared_ptr<detail::StreamerState> video;
  {
    std::lock_guard lock(impl_->mutex);
    if (impl_->released) return;
    impl_->released = true;
    impl_->subscriptions.clear();
    connection = std::move(impl_->connection);
    impl_->connection.reset();
    video = impl_->video;
  }
  // The video goes first, so closing the control connection under it is not reported.
  if (video) video->Shutdown();
  if (connection) connection->ReleaseHandle(impl_->id, true);
}

void RcpClient::setConnectTimeout(int timeoutMs) { Library::SetConnectTimeout(timeoutMs); }

void System::terminate() { Library::Instance().Terminate(); }

}  // namespace rcpplus
