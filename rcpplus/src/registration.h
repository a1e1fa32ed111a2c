// How both kinds of connection reach a device: the socket connect and the registration that
// answers the device's challenge. They share this so that socket options and the handshake
// cannot drift apart between control and media connections.
#pragma once

#include <netinet/in.h>

#include <array>
#include <cstdint>
#include <optional>

#include "rcp_wire.h"

namespace rcpplus::detail {

// The device's host resolved (IPv4) with its port; nullopt when the host does not resolve.
std::optional<sockaddr_in> ResolveDevice(const rcpwire::DeviceAddress& address);
// A new non-blocking socket with the options every connection to a device gets; -1 on failure.
int OpenDeviceSocket();

enum class ConnectStart { kConnected, kUnderWay, kFailed };
// Starts connecting fd to peer; kUnderWay: ConnectError tells once the socket is writable.
ConnectStart BeginConnect(int fd, const sockaddr_in& peer);
// 0 when fd's connect has succeeded, else its error.
int ConnectError(int fd);

// The registration of one connection, fed the frames that arrive until it is done: waits for
// the challenge, makes the request that answers it and reads the device's answer. Frames that
// are not part of it are left to the connection (kNone).
class Registration {
 public:
  enum class Event {
    kNone,
    kChallenged,  // send Request() now
    kRegistered,  // clientId() holds the device's id for this connection
    kRejected,    // the device refused the credentials
    kFailed,      // the device answered with another error
  };

  // address must outlive the registration; its frames carry sessionId and line.
  Registration(const rcpwire::DeviceAddress& address, std::uint32_t sessionId,
               std::uint16_t line)
      : address_(address), sessionId_(sessionId), line_(line) {}

  Event Feed(const rcpwire::Frame& frame);
  // The request answering the challenge, under requestId: the user name and a digest keyed
  // with the password, never the password itself.
  rcpwire::Frame Request(std::uint8_t requestId);
  std::uint16_t clientId() const { return clientId_; }

 private:
  enum class Step { kWaitChallenge, kChallenged, kWaitAnswer, kDone };

  const rcpwire::DeviceAddress& address_;
  const std::uint32_t sessionId_;
  const std::uint16_t line_;
  Step step_ = Step::kWaitChallenge;
  std::array<std::uint8_t, 16> challenge_{};
  std::uint8_t requestId_ = 0;
  std::uint16_t clientId_ = 0;
};

}  // namespace rcpplus::detail
