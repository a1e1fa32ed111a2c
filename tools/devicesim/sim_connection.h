// One TCP connection accepted by the simulated device. The connection's own thread reads and
// handles its frames; any thread may send on it. Close() only shuts the socket down (which
// ends the reader's recv); the descriptor is closed by the destructor, once nobody can still
// be writing to it, so a closed connection's number is never reused under a writer.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <span>
#include <thread>
#include <vector>

namespace devicesim {

class SimConnection {
 public:
  // What the connection carries. Every connection starts as a control connection; a media
  // open turns it into a media connection, which carries only interleaved RTP.
  enum class Kind { kControl, kMedia };

  SimConnection(int fd, int closeAfterFrames);
  ~SimConnection();
  SimConnection(const SimConnection&) = delete;
  SimConnection& operator=(const SimConnection&) = delete;

  // Sends all of bytes, in order with other sends. False when the connection is closed or the
  // send fails or stalls for too long; the connection is then closed.
  bool Send(std::span<const std::uint8_t> bytes);
  // Sends what the socket takes now and keeps the rest in a backlog that later sends write
  // first, so one client that reads slowly cannot hold up the thread that streams to every
  // client. A backlog beyond maxBacklog bytes means the client has stopped reading: the
  // connection is closed and the call returns false.
  bool SendWithoutWaiting(std::span<const std::uint8_t> bytes, std::size_t maxBacklog);
  // Bytes accepted by SendWithoutWaiting but not yet written to the socket.
  std::size_t Backlog() const;
  // Shuts the socket down in both directions. Idempotent, callable from any thread.
  void Close();
  bool IsOpen() const { return open_.load(); }
  int fd() const { return fd_; }

  // Counts one received frame; true when it is the one after which the connection closes.
  bool CountFrame() { return closeAfterFrames_ > 0 && ++framesReceived_ >= closeAfterFrames_; }

  std::array<std::uint8_t, 16> challenge{};
  std::atomic<bool> registered{false};
  std::atomic<std::uint16_t> clientId{0};
  // Last non-zero session id the client put into a frame; input messages carry it.
  std::atomic<std::uint32_t> lastSessionId{0};
  std::atomic<Kind> kind{Kind::kControl};
  // The reader thread, started and joined by the device; finished is set as it ends.
  std::thread reader;
  std::atomic<bool> finished{false};

 private:
  const int fd_;
  const int closeAfterFrames_;
  // Writes the backlog; with wait false it stops where the socket would block. Caller holds
  // sendMutex_. False when the connection failed (it is then closed).
  bool WriteBacklog(bool wait);

  int framesReceived_ = 0;  // reader thread only
  std::atomic<bool> open_{true};
  mutable std::mutex sendMutex_;
  std::vector<std::uint8_t> backlog_;  // guarded by sendMutex_
  std::size_t backlogOffset_ = 0;
};

}  // namespace devicesim
