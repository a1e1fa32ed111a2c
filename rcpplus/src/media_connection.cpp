#include "media_connection.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "errors.h"
#include "library_thread.h"
#include "registration.h"

namespace rcpplus::detail {
namespace {

constexpr std::size_t kReadChunk = 64 * 1024;
// The decoder's largest possible buffer with reads of kReadChunk (see Reserve): reserved once,
// so the per-packet path never allocates.
constexpr std::size_t kDecoderRoom = 2 * (4 + 0xFFFF) + kReadChunk;
constexpr std::uint8_t kRegisterRequestId = 1;
constexpr std::uint8_t kOpenRequestId = 2;

int PollTimeout(std::optional<std::chrono::steady_clock::time_point> deadline) {
  if (!deadline) return -1;
  const auto left =
      std::chrono::ceil<std::chrono::milliseconds>(*deadline - std::chrono::steady_clock::now());
  return static_cast<int>(std::clamp<long long>(left.count(), 0, 60'000));
}

}  // namespace

MediaDescriptors MediaDescriptors::Make() {
  MediaDescriptors made;
  made.wake = UniqueFd(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
  if (!made.wake.valid()) throw SystemFailure{errno};
  made.socket = UniqueFd(OpenDeviceSocket());
  if (!made.socket.valid()) throw SystemFailure{errno};
  return made;
}

MediaConnection::MediaConnection(std::uint64_t id, Params params, MediaDescriptors descriptors)
    : id_(id),
      params_(std::move(params)),
      readBuffer_(kReadChunk) {
  decoder_.Reserve(kDecoderRoom);
  wakeFd_ = descriptors.wake.release();
  unused_ = std::move(descriptors.socket);
}

MediaConnection::~MediaConnection() {
  CloseSocket();
  if (wakeFd_ >= 0) ::close(wakeFd_);
}

void MediaConnection::RequestStop() {
  stop_.store(true, std::memory_order_release);
  Wake();
  // Ends a blocking read at once.
  std::lock_guard lock(socketMutex_);
  if (socket_ >= 0) ::shutdown(socket_, SHUT_RDWR);
}

void MediaConnection::Wake() {
  const std::uint64_t one = 1;
  // A full counter already wakes the thread; nothing else can go wrong with an eventfd.
  [[maybe_unused]] const auto written = ::write(wakeFd_, &one, sizeof one);
}

void MediaConnection::DrainWake() {
  std::uint64_t value = 0;
  [[maybe_unused]] const auto got = ::read(wakeFd_, &value, sizeof value);
}

void MediaConnection::MarkExited() {
  {
    std::lock_guard lock(exitMutex_);
    exited_ = true;
  }
  exitChanged_.notify_all();
}

void MediaConnection::WaitExited() {
  std::unique_lock lock(exitMutex_);
  exitChanged_.wait(lock, [&] { return exited_; });
}

void MediaConnection::CloseSocket() {
  std::lock_guard lock(socketMutex_);
  if (socket_ >= 0) {
    ::close(socket_);
    socket_ = -1;
  }
}

void MediaConnection::Run() {
  MarkLibraryThread();
  ::pthread_setname_np(::pthread_self(), "rcpplus-media");
  MediaSink& sink = *params_.sink;
  if (!Open()) {
    if (!StopRequested()) sink.MediaLost(params_.attempt, kConnectionError);
  } else {
    Stream();
    if (!StopRequested()) sink.MediaLost(params_.attempt, kConnectionReset);
  }
  CloseSocket();
  Linger();
}

bool MediaConnection::Open() {
  const auto address = rcpwire::ParseDeviceAddress(params_.address);
  if (!address || !Connect(*address)) return false;
  if (!Handshake(*address)) return false;
  // From here on the socket is read in blocking batches; RequestStop shuts it down.
  const int flags = ::fcntl(socket_, F_GETFL);
  return flags >= 0 && ::fcntl(socket_, F_SETFL, flags & ~O_NONBLOCK) == 0;
}

bool MediaConnection::Connect(const rcpwire::DeviceAddress& address) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(params_.connectTimeoutMs);
  const auto peer = ResolveDevice(address);
  if (!peer) return false;
  const int fd = unused_.release();
  if (fd < 0) return false;
  {
    std::lock_guard lock(socketMutex_);
    socket_ = fd;
  }
  // A stop that came before the socket was there has nothing to shut down: look again.
  if (StopRequested()) return false;
  switch (BeginConnect(fd, *peer)) {
    case ConnectStart::kConnected:
      return true;
    case ConnectStart::kUnderWay:
      return WaitSocket(POLLOUT, deadline) && ConnectError(fd) == 0;
    case ConnectStart::kFailed:
      break;
  }
  return false;
}

// Registration and media open, each answer awaited in turn. Bytes that follow the open reply
// already belong to the interleaved stream.
bool MediaConnection::Handshake(const rcpwire::DeviceAddress& address) {
  Registration registration(address, params_.sessionId, params_.line);
  bool opening = false;
  std::optional<Clock::time_point> deadline =
      Clock::now() + std::chrono::milliseconds(params_.connectTimeoutMs);
  rcpwire::FrameDecoder frames;
  rcpwire::Frame frame;
  for (;;) {
    if (!WaitSocket(POLLIN, deadline)) return false;
    const ssize_t n = ::recv(socket_, readBuffer_.data(), readBuffer_.size(), 0);
    if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
    if (n <= 0) return false;
    frames.Feed(std::span<const std::uint8_t>(readBuffer_.data(), static_cast<std::size_t>(n)));
    for (;;) {
      const auto status = frames.Next(frame);
      if (status == rcpwire::FrameDecoder::Status::kNeedMore) break;
      if (status == rcpwire::FrameDecoder::Status::kError) return false;
      if (!opening) {
        switch (registration.Feed(frame)) {
          case Registration::Event::kNone:
            continue;
          case Registration::Event::kChallenged:
            if (!SendFrame(registration.Request(kRegisterRequestId))) return false;
            continue;
          case Registration::Event::kRejected:
          case Registration::Event::kFailed:
            return false;
          case Registration::Event::kRegistered:
            break;
        }
        clientId_ = registration.clientId();
        if (!SendFrame(OpenRequest())) return false;
        opening = true;
        deadline.reset();
        if (params_.openTimeoutMs > 0) {
          deadline = Clock::now() + std::chrono::milliseconds(params_.openTimeoutMs);
        }
        continue;
      }
      const bool answer = frame.action == rcpwire::kReply || frame.action == rcpwire::kError;
      if (!answer || frame.requestId != kOpenRequestId) continue;
      if (frame.action == rcpwire::kError) {
        RcpHeader header{};
        header.commandWord = frame.commandWord;
        header.action = kActionError;
        header.requestId = frame.requestId;
        header.clientId = frame.clientId;
        header.line = frame.line;
        header.sessionId = frame.sessionId;
        header.errorCode = frame.ErrorCode();
        params_.sink->MediaOpenRefused(params_.attempt, header);
        return false;
      }
      decoder_.Feed(frames.Unconsumed());
      return true;
    }
  }
}

rcpwire::Frame MediaConnection::OpenRequest() const {
  rcpwire::Frame frame;
  frame.commandWord = rcpwire::kCmdMediaOpen;
  frame.action = rcpwire::kRequest;
  frame.requestId = kOpenRequestId;
  frame.clientId = clientId_;
  frame.sessionId = params_.sessionId;
  frame.line = params_.line;
  rcpwire::PutU32(frame.payload, params_.sessionId);
  return frame;
}

bool MediaConnection::SendFrame(const rcpwire::Frame& frame) {
  std::vector<std::uint8_t> bytes;
  rcpwire::Encode(frame, bytes);
  const auto deadline = Clock::now() + std::chrono::milliseconds(params_.connectTimeoutMs);
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    const ssize_t n = ::send(socket_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n > 0) {
      sent += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && WaitSocket(POLLOUT, deadline)) {
      continue;
    }
    return false;
  }
  return true;
}

bool MediaConnection::WaitSocket(short events, std::optional<Clock::time_point> deadline) {
  for (;;) {
    if (StopRequested()) return false;
    if (deadline && Clock::now() >= *deadline) return false;
    pollfd fds[2] = {{socket_, events, 0}, {wakeFd_, POLLIN, 0}};
    const int ready = ::poll(fds, 2, PollTimeout(deadline));
    if (ready < 0 && errno != EINTR) return false;
    if (ready <= 0) continue;
    if (fds[1].revents != 0) DrainWake();
    if (fds[0].revents != 0) return !StopRequested();
  }
}

// Reads batches and hands their packets over. Until the first receiver is registered the
// thread also waits on its wake-up, so held packets go out as soon as there is a receiver;
// after that, one blocking read per batch is the only system call.
void MediaConnection::Stream() {
  MediaSink& sink = *params_.sink;
  sink.TakePackets(packets_);
  if (packets_.broken()) return;
  for (;;) {
    if (StopRequested()) return;
    if (sink.AwaitingReceiver(packets_)) {
      pollfd fds[2] = {{socket_, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
      const int ready = ::poll(fds, 2, -1);
      if (ready < 0 && errno != EINTR) return;
      if (ready <= 0) continue;
      if (fds[1].revents != 0) DrainWake();
      if (fds[0].revents == 0) continue;
    }
    const ssize_t n = ::recv(socket_, readBuffer_.data(), readBuffer_.size(), 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    decoder_.Feed(std::span<const std::uint8_t>(readBuffer_.data(), static_cast<std::size_t>(n)));
    sink.TakePackets(packets_);
    if (packets_.broken()) return;  // broken framing: the receiver closes
  }
}

// Packets held for a receiver that is not registered yet are still handed over when it is,
// after the connection itself has gone.
void MediaConnection::Linger() {
  MediaSink& sink = *params_.sink;
  while (!StopRequested() && sink.HoldsPackets(packets_)) {
    pollfd wake{wakeFd_, POLLIN, 0};
    if (::poll(&wake, 1, -1) > 0) DrainWake();
  }
}

}  // namespace rcpplus::detail
