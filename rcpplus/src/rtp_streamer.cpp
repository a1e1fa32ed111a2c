// RtpStreamer: a client handle on a control connection of its own, plus the video session
// that the device ties to it and the media connection that carries the session's packets.
#include <algorithm>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>

#include "client_impl.h"

namespace rcpplus {

using detail::StreamerState;

namespace {

// A non-zero port replaces the address's own, for the control and the media connection.
std::string AddressWithPort(const char* address, unsigned short port) {
  std::string text = address != nullptr ? address : "";
  if (port == 0 || !rcpwire::ParseDeviceAddress(text)) return text;
  const std::size_t at = text.rfind('@');
  const std::size_t colon = text.find(':', at + 1);
  return text.substr(0, colon) + ":" + std::to_string(port);
}

}  // namespace

struct RtpStreamer::VideoImpl {
  std::shared_ptr<StreamerState> state;
};

RtpStreamer::RtpStreamer(const char* address, unsigned short port)
    : RcpClient(AddressWithPort(address, port).c_str(), 0, 0), video_(nullptr) {
  auto video = std::make_unique<VideoImpl>();
  video->state = StreamerState::Create(impl_->address);
  std::lock_guard lock(impl_->mutex);
  impl_->ownConnection = true;
  impl_->video = video->state;
  video_ = video.release();
}

// Also the way out for a streamer abandoned without any disconnect call: everything of it
// stops here, and nothing calls back afterwards.
RtpStreamer::~RtpStreamer() {
  video_->state->Shutdown();
  {
    std::lock_guard lock(impl_->mutex);
    impl_->video.reset();
  }
  delete video_;
  // ~RcpClient lets the control connection go.
}

void RtpStreamer::setVideoTimeout(int timeoutMs) { video_->state->SetVideoTimeout(timeoutMs); }

void RtpStreamer::connectVideo(int timeoutMs, unsigned short type, unsigned char coder,
                               unsigned long a, unsigned long b, RcpCallback messageCallback,
                               void* context) {
  detail::Request request;
  request.commandWord = rcpwire::kCmdConnectVideo;
  request.line = line;
  request.callback = StreamerState::OnConnectAnswer;
  request.awaitsAnswer = true;
  if (timeoutMs > 0) {
    request.deadline = detail::Clock::now() + std::chrono::milliseconds(timeoutMs);
  }
  rcpwire::PutU16(request.payload, type);
  request.payload.push_back(coder);
  rcpwire::PutU32(request.payload, static_cast<std::uint32_t>(a));
  rcpwire::PutU32(request.payload, static_cast<std::uint32_t>(b));

  const auto& state = video_->state;
  {
    std::lock_guard lock(impl_->mutex);
    impl_->CheckUsableLocked("RtpStreamer::connectVideo: streamer already disconnected");
  }
  // An earlier session ends first, outside the handle's lock: closing it waits for its media
  // thread, whose callbacks may use this handle.
  state->EndVideo();

  // The media connection's descriptors are made here, so that a descriptor limit is thrown
  // to the caller with its reason.
  detail::MediaDescriptors descriptors;
  try {
    descriptors = detail::MediaDescriptors::Make();
  } catch (...) {
    const std::string text = detail::CannotStartText();
    detail::ThrowError(kConnectionError, text.c_str());
  }

  std::lock_guard lock(impl_->mutex);
  impl_->CheckUsableLocked("RtpStreamer::connectVideo: streamer already disconnected");
  void* attempt = state->BeginVideo(messageCallback, context, line, std::move(descriptors));
  if (attempt == nullptr) {
    detail::ThrowError(kBadParameter, "RtpStreamer::connectVideo: streamer already shut down");
  }
  request.context = attempt;
  const bool subscribed =
      std::any_of(impl_->subscriptions.begin(), impl_->subscriptions.end(),
                  [](const Impl::Subscription& s) { return s.everything; });
  try {
    if (!subscribed) {
      impl_->SubscribeLocked(
          Impl::Subscription{StreamerState::OnControlMessage, state->messageToken(), {}, true},
          "RtpStreamer::connectVideo: no control connection");
    }
    for (int round = 0; round < detail::kSubmitAttempts; ++round) {
      const auto connection = impl_->ConnectionLocked();
      if (!connection->WatchLoss(impl_->id, StreamerState::OnControlLost, attempt, line)) {
        continue;
      }
      if (connection->Submit(request)) return;
    }
  } catch (Exception*) {
    // No media connection follows an attempt that could not be sent.
    state->DropMediaDescriptors();
    throw;
  }
  state->DropMediaDescriptors();
  detail::ThrowError(kConnectionError, "RtpStreamer::connectVideo: no control connection");
}

void RtpStreamer::registerReceiverCallback(bool enable, RtpReceiverCallback callback,
                                           void* context) {
  video_->state->SetReceiver(enable, callback, context);
}

void RtpStreamer::disconnectVideo() { video_->state->EndVideo(); }

}  // namespace rcpplus
