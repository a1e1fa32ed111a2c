// A device on loopback whose video side the test drives byte by byte: it registers any
// client, answers the video connect and the media open as the wire protocol says (or with a
// scripted error), and then writes to the media connection only what the test sends. Used
// where the simulator cannot make the situation: broken framing, odd packet lengths, many
// packets before a receiver exists.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "rcp_wire.h"

namespace rcpplus::testing {

class ScriptedDevice {
 public:
  ScriptedDevice();
  ~ScriptedDevice();
  ScriptedDevice(const ScriptedDevice&) = delete;
  ScriptedDevice& operator=(const ScriptedDevice&) = delete;

  bool Start();
  std::uint16_t port() const { return port_; }
  std::string Address() const;

  // 0 = answer normally; otherwise answer with this error code.
  void AnswerConnectWith(std::uint8_t errorCode) { connectError_ = errorCode; }
  void AnswerMediaOpenWith(std::uint8_t errorCode) { mediaOpenError_ = errorCode; }
  // The media open gets no answer at all.
  void IgnoreMediaOpen(bool ignore) { ignoreMediaOpen_ = ignore; }

  // The session id the next connect gets.
  std::uint32_t NextSessionId() const { return nextSessionId_.load(); }

  bool WaitForMediaOpen(int timeoutMs = 5000);
  bool WaitForMediaClosed(int timeoutMs = 5000);
  // Waits until the client has read everything sent on the media connection so far (both
  // ends' socket queues are empty), so what follows it is known to arrive later.
  bool WaitForMediaRead(int timeoutMs = 5000);
  // The client's port of the open media connection; 0 when there is none.
  std::uint16_t MediaClientPort() const;
  // Writes bytes to the open media connection; false when there is none.
  bool SendMedia(std::span<const std::uint8_t> bytes);
  bool SendPacket(std::span<const std::uint8_t> packet);
  void CloseMedia();
  // Sends a message on every registered control connection.
  void SendControlMessage(std::uint32_t commandWord, std::uint16_t line,
                          const std::vector<std::uint8_t>& payload);

  // Requests received on control and media connections after registration.
  std::vector<rcpwire::Frame> Requests() const;
  int MediaConnections() const;

 private:
  struct Peer {
    int fd = -1;
    std::mutex sendMutex;
    std::atomic<bool> registered{false};
    std::atomic<bool> media{false};
    std::atomic<bool> closed{false};
    std::thread reader;
  };

  void Accept();
  void Serve(const std::shared_ptr<Peer>& peer);
  void Handle(const std::shared_ptr<Peer>& peer, const rcpwire::Frame& frame);
  static bool Send(Peer& peer, std::span<const std::uint8_t> bytes);
  static void Answer(Peer& peer, const rcpwire::Frame& request, std::uint8_t action,
                     std::vector<std::uint8_t> payload, std::uint32_t sessionId);
  std::shared_ptr<Peer> OpenMedia() const;

  int listenFd_ = -1;
  std::uint16_t port_ = 0;
  std::thread acceptor_;
  std::atomic<bool> stopping_{false};
  std::atomic<std::uint8_t> connectError_{0};
  std::atomic<std::uint8_t> mediaOpenError_{0};
  std::atomic<bool> ignoreMediaOpen_{false};
  std::atomic<std::uint32_t> nextSessionId_{0x5E550001};

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::shared_ptr<Peer>> peers_;
  std::vector<rcpwire::Frame> requests_;
};

}  // namespace rcpplus::testing
