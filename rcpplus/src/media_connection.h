// The media connection of one video session: its socket, registration, the media open and
// the thread that reads interleaved RTP and hands the packets to its sink.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "media_sink.h"
#include "rcp_wire.h"
#include "unique_fd.h"

namespace rcpplus::detail {

// A media connection's descriptors, made ahead in the thread that asks for the video, so that
// a descriptor limit shows there with its reason rather than later as a lost connection.
struct MediaDescriptors {
  UniqueFd wake;
  UniqueFd socket;
  // Throws SystemFailure.
  static MediaDescriptors Make();
};

class MediaConnection {
 public:
  struct Params {
    std::shared_ptr<MediaSink> sink;
    std::uint64_t attempt = 0;  // handed back with every call to the sink
    std::string address;
    std::uint32_t sessionId = 0;
    std::uint16_t line = 0;
    int connectTimeoutMs = 0;  // connect and registration
    int openTimeoutMs = 0;     // answer to the media open; 0 or below: no limit
  };

  // descriptors: both valid, made by MediaDescriptors::Make.
  MediaConnection(std::uint64_t id, Params params, MediaDescriptors descriptors);
  ~MediaConnection();
  MediaConnection(const MediaConnection&) = delete;
  MediaConnection& operator=(const MediaConnection&) = delete;

  std::uint64_t id() const { return id_; }

  // The thread body; returns when the connection has closed and nothing is left to hand over.
  void Run();

  // Closes the connection on the client's behalf: nothing is reported, no packet of it is
  // delivered any more. Callable from any thread, any number of times.
  void RequestStop();
  bool StopRequested() const { return stop_.load(std::memory_order_acquire); }
  // Makes the thread look at its sink again (a receiver was registered).
  void Wake();

  // Set by the thread's last step; WaitExited returns after it.
  void MarkExited();
  void WaitExited();

 private:
  using Clock = std::chrono::steady_clock;

  bool Open();
  bool Connect(const rcpwire::DeviceAddress& address);
  bool Handshake(const rcpwire::DeviceAddress& address);
  rcpwire::Frame OpenRequest() const;
  bool SendFrame(const rcpwire::Frame& frame);
  // Waits until the socket is ready for events, the deadline passes (false) or a stop.
  bool WaitSocket(short events, std::optional<Clock::time_point> deadline);
  void Stream();
  void Linger();
  void DrainWake();
  void CloseSocket();

  const std::uint64_t id_;
  const Params params_;
  std::atomic<bool> stop_{false};
  int wakeFd_ = -1;

  // socket_ changes only on the connection's thread, under socketMutex_, so that RequestStop
  // can shut it down without racing its close. The socket waits in unused_ until Connect.
  std::mutex socketMutex_;
  int socket_ = -1;
  UniqueFd unused_;
  std::uint16_t clientId_ = 0;
  std::vector<std::uint8_t> readBuffer_;
  rcpwire::InterleavedDecoder decoder_;
  MediaPackets packets_{decoder_, stop_};

  std::mutex exitMutex_;
  std::condition_variable exitChanged_;
  bool exited_ = false;
};

}  // namespace rcpplus::detail
