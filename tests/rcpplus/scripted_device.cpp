#include "scripted_device.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

namespace rcpplus::testing {

ScriptedDevice::ScriptedDevice() = default;

ScriptedDevice::~ScriptedDevice() {
  stopping_ = true;
  if (listenFd_ >= 0) ::shutdown(listenFd_, SHUT_RDWR);
  if (acceptor_.joinable()) acceptor_.join();
  std::vector<std::shared_ptr<Peer>> peers;
  {
    std::lock_guard lock(mutex_);
    peers = peers_;
  }
  for (const auto& peer : peers) ::shutdown(peer->fd, SHUT_RDWR);
  for (const auto& peer : peers) {
    if (peer->reader.joinable()) peer->reader.join();
    ::close(peer->fd);
  }
  if (listenFd_ >= 0) ::close(listenFd_);
}

bool ScriptedDevice::Start() {
  listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listenFd_ < 0) return false;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (::bind(listenFd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(listenFd_, 16) != 0 ||
      ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    return false;
  }
  port_ = ntohs(address.sin_port);
  acceptor_ = std::thread([this] { Accept(); });
  return true;
}

std::string ScriptedDevice::Address() const {
  return "http://:@127.0.0.1:" + std::to_string(port_);
}

void ScriptedDevice::Accept() {
  while (!stopping_) {
    const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EINTR || errno == ECONNABORTED) continue;
      return;
    }
    auto peer = std::make_shared<Peer>();
    peer->fd = fd;
    std::lock_guard lock(mutex_);
    if (stopping_) {
      ::close(fd);
      return;
    }
    peers_.push_back(peer);
    peer->reader = std::thread([this, peer] { Serve(peer); });
  }
}

bool ScriptedDevice::Send(Peer& peer, std::span<const std::uint8_t> bytes) {
  std::lock_guard lock(peer.sendMutex);
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    const ssize_t n = ::send(peer.fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    sent += static_cast<std::size_t>(n);
  }
  return true;
}

void ScriptedDevice::Answer(Peer& peer, const rcpwire::Frame& request, std::uint8_t action,
                            std::vector<std::uint8_t> payload, std::uint32_t sessionId) {
  rcpwire::Frame answer = request;
  answer.action = action;
  answer.sessionId = sessionId;
  answer.payload = std::move(payload);
  std::vector<std::uint8_t> bytes;
  rcpwire::Encode(answer, bytes);
  Send(peer, bytes);
}

void ScriptedDevice::Serve(const std::shared_ptr<Peer>& peer) {
  rcpwire::Frame challenge;
  challenge.commandWord = rcpwire::kCmdChallenge;
  challenge.action = rcpwire::kMessage;
  challenge.payload.assign(16, 0x5A);
  std::vector<std::uint8_t> bytes;
  rcpwire::Encode(challenge, bytes);
  Send(*peer, bytes);

  rcpwire::FrameDecoder decoder;
  std::vector<std::uint8_t> buffer(16 * 1024);
  rcpwire::Frame frame;
  for (;;) {
    const ssize_t n = ::recv(peer->fd, buffer.data(), buffer.size(), 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    if (peer->media) continue;  // whatever a media client sends is ignored
    decoder.Feed(std::span<const std::uint8_t>(buffer.data(), static_cast<std::size_t>(n)));
    rcpwire::FrameDecoder::Status status;
    while ((status = decoder.Next(frame)) == rcpwire::FrameDecoder::Status::kFrame) {
      Handle(peer, frame);
    }
    if (status == rcpwire::FrameDecoder::Status::kError) break;
  }
  ::shutdown(peer->fd, SHUT_RDWR);
  peer->closed = true;
  changed_.notify_all();
}

void ScriptedDevice::Handle(const std::shared_ptr<Peer>& peer, const rcpwire::Frame& frame) {
  if (frame.action != rcpwire::kRequest) return;
  if (frame.commandWord == rcpwire::kCmdRegister) {
    Answer(*peer, frame, rcpwire::kReply, {0x00, 0x42}, 0);
    peer->registered = true;
    return;
  }
  {
    std::lock_guard lock(mutex_);
    requests_.push_back(frame);
  }
  if (frame.commandWord == rcpwire::kCmdConnectVideo) {
    if (const std::uint8_t error = connectError_) {
      Answer(*peer, frame, rcpwire::kError, {error}, frame.sessionId);
      return;
    }
    const std::uint32_t session = nextSessionId_++;
    std::vector<std::uint8_t> reply;
    rcpwire::PutU32(reply, session);
    Answer(*peer, frame, rcpwire::kReply, reply, frame.sessionId);
    rcpwire::Frame message;
    message.commandWord = rcpwire::kCmdSessionId;
    message.action = rcpwire::kMessage;
    message.sessionId = session;
    message.line = frame.line;
    std::vector<std::uint8_t> bytes;
    rcpwire::Encode(message, bytes);
    Send(*peer, bytes);
  } else if (frame.commandWord == rcpwire::kCmdMediaOpen) {
    if (ignoreMediaOpen_) return;
    if (const std::uint8_t error = mediaOpenError_) {
      Answer(*peer, frame, rcpwire::kError, {error}, frame.sessionId);
      return;
    }
    Answer(*peer, frame, rcpwire::kReply, {}, frame.sessionId);
    peer->media = true;
    changed_.notify_all();
  } else {
    Answer(*peer, frame, rcpwire::kError, {rcpwire::kErrInvalidCmd}, frame.sessionId);
  }
}

std::shared_ptr<ScriptedDevice::Peer> ScriptedDevice::OpenMedia() const {
  std::lock_guard lock(mutex_);
  for (auto it = peers_.rbegin(); it != peers_.rend(); ++it) {
    if ((*it)->media && !(*it)->closed) return *it;
  }
  return nullptr;
}

bool ScriptedDevice::WaitForMediaOpen(int timeoutMs) {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
    for (const auto& peer : peers_) {
      if (peer->media && !peer->closed) return true;
    }
    return false;
  });
}

bool ScriptedDevice::WaitForMediaClosed(int timeoutMs) {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
    for (const auto& peer : peers_) {
      if (peer->media && !peer->closed) return false;
    }
    return true;
  });
}

namespace {

// Send and receive queue lengths of the loopback TCP socket from localPort to remotePort, as
// /proc/net/tcp shows them; false when there is no such socket.
bool SocketQueues(std::uint16_t localPort, std::uint16_t remotePort, unsigned long& sendQueue,
                  unsigned long& receiveQueue) {
  std::ifstream table("/proc/net/tcp");
  std::string line;
  std::getline(table, line);  // column titles
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    std::string slot, local, remote, state, queues;
    fields >> slot >> local >> remote >> state >> queues;
    const auto portOf = [](const std::string& address) {
      const auto colon = address.find(':');
      return colon == std::string::npos ? 0ul : std::stoul(address.substr(colon + 1), nullptr, 16);
    };
    if (portOf(local) != localPort || portOf(remote) != remotePort) continue;
    const auto colon = queues.find(':');
    if (colon == std::string::npos) return false;
    sendQueue = std::stoul(queues.substr(0, colon), nullptr, 16);
    receiveQueue = std::stoul(queues.substr(colon + 1), nullptr, 16);
    return true;
  }
  return false;
}

}  // namespace

std::uint16_t ScriptedDevice::MediaClientPort() const {
  const auto peer = OpenMedia();
  if (!peer) return 0;
  sockaddr_in address{};
  socklen_t length = sizeof address;
  if (::getpeername(peer->fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) return 0;
  return ntohs(address.sin_port);
}

bool ScriptedDevice::WaitForMediaRead(int timeoutMs) {
  const std::uint16_t clientPort = MediaClientPort();
  if (clientPort == 0) return false;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (std::chrono::steady_clock::now() < deadline) {
    unsigned long deviceSend = 1, deviceReceive = 0, clientSend = 0, clientReceive = 1;
    if (SocketQueues(port_, clientPort, deviceSend, deviceReceive) &&
        SocketQueues(clientPort, port_, clientSend, clientReceive) && deviceSend == 0 &&
        clientReceive == 0) {
      return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return false;
}

bool ScriptedDevice::SendMedia(std::span<const std::uint8_t> bytes) {
  const auto peer = OpenMedia();
  return peer && Send(*peer, bytes);
}

bool ScriptedDevice::SendPacket(std::span<const std::uint8_t> packet) {
  std::vector<std::uint8_t> bytes;
  rcpwire::EncodeInterleaved(packet, bytes);
  return SendMedia(bytes);
}

void ScriptedDevice::CloseMedia() {
  if (const auto peer = OpenMedia()) ::shutdown(peer->fd, SHUT_RDWR);
}

void ScriptedDevice::SendControlMessage(std::uint32_t commandWord, std::uint16_t line,
                                        const std::vector<std::uint8_t>& payload) {
  rcpwire::Frame message;
  message.commandWord = commandWord;
  message.action = rcpwire::kMessage;
  message.line = line;
  message.payload = payload;
  std::vector<std::uint8_t> bytes;
  rcpwire::Encode(message, bytes);
  std::vector<std::shared_ptr<Peer>> peers;
  {
    std::lock_guard lock(mutex_);
    peers = peers_;
  }
  for (const auto& peer : peers) {
    if (peer->registered && !peer->media && !peer->closed) Send(*peer, bytes);
  }
}

std::vector<rcpwire::Frame> ScriptedDevice::Requests() const {
  std::lock_guard lock(mutex_);
  return requests_;
}

int ScriptedDevice::MediaConnections() const {
  std::lock_guard lock(mutex_);
  int count = 0;
  for (const auto& peer : peers_) count += peer->media ? 1 : 0;
  return count;
}

}  // namespace rcpplus::testing
