#include "raw_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>

#include <gtest/gtest.h>

#include "support/deadline.h"

namespace devicesim::testing {
namespace {

using Clock = std::chrono::steady_clock;
using testutil::RemainingMs;

}  // namespace

RawClient::RawClient(std::uint16_t port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    ::close(fd);
    return;
  }
  fd_ = fd;
}

RawClient::~RawClient() {
  if (fd_ >= 0) ::close(fd_);
}

bool RawClient::SendBytes(std::span<const std::uint8_t> bytes) {
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    const ssize_t n = ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    sent += static_cast<std::size_t>(n);
  }
  return true;
}

bool RawClient::Send(const rcpwire::Frame& frame) {
  std::vector<std::uint8_t> bytes;
  rcpwire::Encode(frame, bytes);
  return SendBytes(bytes);
}

bool RawClient::SendRequest(std::uint32_t commandWord, std::uint16_t line,
                            std::vector<std::uint8_t> payload, std::uint8_t requestId,
                            std::uint32_t sessionId) {
  rcpwire::Frame frame;
  frame.commandWord = commandWord;
  frame.action = rcpwire::kRequest;
  frame.requestId = requestId;
  frame.clientId = clientId_;
  frame.sessionId = sessionId;
  frame.line = line;
  frame.payload = std::move(payload);
  return Send(frame);
}

int RawClient::Receive(int timeoutMs) {
  if (fd_ < 0) return -1;
  pollfd p{fd_, POLLIN, 0};
  const int ready = ::poll(&p, 1, timeoutMs);
  if (ready == 0) return 0;
  if (ready < 0) return errno == EINTR ? 0 : -1;
  std::uint8_t buffer[16384];
  const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
  if (n <= 0) {
    closed_ = true;
    return -1;
  }
  const std::span bytes(buffer, static_cast<std::size_t>(n));
  if (media_) {
    packets_.Feed(bytes);
  } else {
    decoder_.Feed(bytes);
  }
  raw_.insert(raw_.end(), buffer, buffer + n);
  return 1;
}

std::optional<std::vector<std::uint8_t>> RawClient::ReadPacket(int timeoutMs) {
  if (!media_) {
    // What the frame decoder holds beyond the last frame is the start of the RTP stream.
    media_ = true;
    const std::size_t pending = std::min(decoder_.Buffered(), raw_.size());
    packets_.Feed(std::span(raw_).subspan(raw_.size() - pending));
  }
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    std::span<const std::uint8_t> packet;
    const auto status = packets_.Next(packet);
    if (status == rcpwire::InterleavedDecoder::Status::kPacket) {
      return std::vector<std::uint8_t>(packet.begin(), packet.end());
    }
    if (status == rcpwire::InterleavedDecoder::Status::kError) {
      protocolError_ = true;
      return std::nullopt;
    }
    if (Receive(RemainingMs(deadline)) <= 0) return std::nullopt;
  }
}

std::optional<rcpwire::Frame> RawClient::Read(int timeoutMs) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    rcpwire::Frame frame;
    const auto status = decoder_.Next(frame);
    if (status == rcpwire::FrameDecoder::Status::kFrame) return frame;
    if (status == rcpwire::FrameDecoder::Status::kError) {
      protocolError_ = true;
      return std::nullopt;
    }
    if (Receive(RemainingMs(deadline)) <= 0) return std::nullopt;
  }
}

bool RawClient::WaitClosed(int timeoutMs) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    const int got = Receive(RemainingMs(deadline));
    if (got < 0) return true;
    if (got == 0) return false;
  }
}

bool RawClient::Quiet(int timeoutMs) {
  if (decoder_.Buffered() != 0) return false;
  return Receive(timeoutMs) == 0;
}

std::vector<std::uint8_t> RawClient::ReadRaw(std::size_t count, int timeoutMs) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (raw_.size() < count && Receive(RemainingMs(deadline)) > 0) {
  }
  const auto take = static_cast<std::ptrdiff_t>(std::min(count, raw_.size()));
  std::vector<std::uint8_t> out(raw_.begin(), raw_.begin() + take);
  raw_.erase(raw_.begin(), raw_.begin() + static_cast<std::ptrdiff_t>(out.size()));
  return out;
}

std::optional<rcpwire::Frame> RawClient::Register(const std::string& user,
                                                  const std::string& password) {
  auto challenge = Read();
  if (!challenge || challenge->commandWord != rcpwire::kCmdChallenge ||
      challenge->payload.size() != 16) {
    return std::nullopt;
  }
  std::array<std::uint8_t, 16> bytes{};
  std::copy(challenge->payload.begin(), challenge->payload.end(), bytes.begin());
  const auto digest = rcpwire::RegistrationDigest(password, bytes);
  auto answer = Request(rcpwire::kCmdRegister, 0, rcpwire::EncodeRegistration(user, digest));
  if (answer && answer->action == rcpwire::kReply) clientId_ = answer->clientId;
  return answer;
}

bool RawClient::RegisterOk(const std::string& user, const std::string& password) {
  auto answer = Register(user, password);
  return answer && answer->action == rcpwire::kReply && answer->payload.size() == 2 &&
         clientId_ != 0;
}

std::optional<rcpwire::Frame> RawClient::Request(std::uint32_t commandWord, std::uint16_t line,
                                                 std::vector<std::uint8_t> payload,
                                                 std::uint8_t requestId,
                                                 std::uint32_t sessionId) {
  if (!SendRequest(commandWord, line, std::move(payload), requestId, sessionId)) {
    return std::nullopt;
  }
  return Read();
}

std::unique_ptr<DeviceSim> StartSim(DeviceSimOptions options, int cameras, int inputs,
                                    int outputs) {
  if (options.cameraCount < 0) options.cameraCount = cameras;
  if (options.inputCount < 0) options.inputCount = inputs;
  if (options.outputCount < 0) options.outputCount = outputs;
  auto sim = std::make_unique<DeviceSim>(options);
  EXPECT_TRUE(sim->Start()) << sim->LastError();
  return sim;
}

std::vector<std::uint8_t> U32(std::uint32_t value) {
  std::vector<std::uint8_t> out;
  rcpwire::PutU32(out, value);
  return out;
}

}  // namespace devicesim::testing
