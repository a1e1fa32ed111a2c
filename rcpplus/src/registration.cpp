#include "registration.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <span>

namespace rcpplus::detail {

std::optional<sockaddr_in> ResolveDevice(const rcpwire::DeviceAddress& address) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (::getaddrinfo(address.host.c_str(), nullptr, &hints, &found) != 0 || found == nullptr) {
    if (found != nullptr) ::freeaddrinfo(found);
    return std::nullopt;
  }
  sockaddr_in peer{};
  std::copy_n(reinterpret_cast<const unsigned char*>(found->ai_addr),
              std::min<std::size_t>(sizeof peer, found->ai_addrlen),
              reinterpret_cast<unsigned char*>(&peer));
  ::freeaddrinfo(found);
  peer.sin_port = htons(address.port);
  return peer;
}

int OpenDeviceSocket() {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  // Requests, answers and the media open are small writes that must not wait for the ack of
  // the one before.
  const int on = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  return fd;
}

ConnectStart BeginConnect(int fd, const sockaddr_in& peer) {
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&peer), sizeof peer) == 0) {
    return ConnectStart::kConnected;
  }
  return errno == EINPROGRESS ? ConnectStart::kUnderWay : ConnectStart::kFailed;
}

int ConnectError(int fd) {
  int error = 0;
  socklen_t length = sizeof error;
  if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) error = errno;
  return error;
}

Registration::Event Registration::Feed(const rcpwire::Frame& frame) {
  switch (step_) {
    case Step::kWaitChallenge:
      // A challenge we cannot answer is ignored: the connect time-out decides.
      if (frame.action != rcpwire::kMessage || frame.commandWord != rcpwire::kCmdChallenge ||
          frame.payload.size() != challenge_.size()) {
        return Event::kNone;
      }
      std::copy(frame.payload.begin(), frame.payload.end(), challenge_.begin());
      step_ = Step::kChallenged;
      return Event::kChallenged;
    case Step::kWaitAnswer:
      if ((frame.action != rcpwire::kReply && frame.action != rcpwire::kError) ||
          frame.requestId != requestId_) {
        return Event::kNone;
      }
      step_ = Step::kDone;
      if (frame.action == rcpwire::kError) {
        return frame.ErrorCode() == rcpwire::kErrInvalidAuthorization ? Event::kRejected
                                                                       : Event::kFailed;
      }
      clientId_ = frame.payload.size() == 2 ? rcpwire::GetU16(frame.payload.data()) : 0;
      if (clientId_ == 0) clientId_ = frame.clientId;
      return Event::kRegistered;
    case Step::kChallenged:
    case Step::kDone:
      return Event::kNone;
  }
  return Event::kNone;
}

rcpwire::Frame Registration::Request(std::uint8_t requestId) {
  const auto digest =
      rcpwire::RegistrationDigest(address_.password, std::span<const std::uint8_t, 16>(challenge_));
  requestId_ = requestId;
  step_ = Step::kWaitAnswer;
  rcpwire::Frame frame;
  frame.commandWord = rcpwire::kCmdRegister;
  frame.action = rcpwire::kRequest;
  frame.requestId = requestId;
  frame.sessionId = sessionId_;
  frame.line = line_;
  frame.payload = rcpwire::EncodeRegistration(address_.user, digest);
  return frame;
}

}  // namespace rcpplus::detail
