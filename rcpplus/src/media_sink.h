// What a media connection hands over, and the interface of whoever takes it. The connection
// knows its sink only through this, so it stays free of the streamer that owns the session.
#pragma once

#include <atomic>
#include <cstdint>
#include <span>

#include "rcp_wire.h"
#include "rcpplus/rcpplus.h"

namespace rcpplus::detail {

// The complete packets a media connection has read so far, oldest first. Once the client has
// closed the connection it yields none: what is left is read past and dropped.
class MediaPackets {
 public:
  MediaPackets(rcpwire::InterleavedDecoder& decoder, const std::atomic<bool>& stop)
      : decoder_(decoder), stop_(stop) {}
  MediaPackets(const MediaPackets&) = delete;
  MediaPackets& operator=(const MediaPackets&) = delete;

  // The next packet, viewed until the next call; false when no complete packet is left or the
  // framing broke.
  bool Next(std::span<const std::uint8_t>& packet) {
    for (;;) {
      const auto status = decoder_.Next(packet);
      if (status == rcpwire::InterleavedDecoder::Status::kNeedMore) return false;
      if (status == rcpwire::InterleavedDecoder::Status::kError) {
        broken_ = true;
        return false;
      }
      if (!closedByClient()) return true;
    }
  }
  // The bytes broke the interleaved framing: the connection closes.
  bool broken() const { return broken_; }
  // Read at each use: the client may close the connection from any thread at any time.
  bool closedByClient() const { return stop_.load(std::memory_order_acquire); }

 private:
  rcpwire::InterleavedDecoder& decoder_;
  const std::atomic<bool>& stop_;
  bool broken_ = false;
};

// Takes what a media connection delivers. Called on the connection's thread only. attempt is
// the value the connection was started with, handed back so that the sink can tell the calls
// of a connection it no longer wants.
class MediaSink {
 public:
  virtual ~MediaSink() = default;

  // The connection could not be made (kConnectionError) or broke (kConnectionReset); never
  // called once the client has closed it.
  virtual void MediaLost(std::uint64_t attempt, std::uint32_t code) = 0;
  // The device answered the media open with an error (header as received).
  virtual void MediaOpenRefused(std::uint64_t attempt, RcpHeader& header) = 0;
  // Takes every packet packets yields, in order, one at a time.
  virtual void TakePackets(MediaPackets& packets) = 0;
  // Hands over held packets if a receiver is there; true while none was ever registered, so
  // that the connection also watches for a receiver being registered.
  virtual bool AwaitingReceiver(const MediaPackets& packets) = 0;
  // As above; true while held packets still wait for the first receiver.
  virtual bool HoldsPackets(const MediaPackets& packets) = 0;
};

}  // namespace rcpplus::detail
