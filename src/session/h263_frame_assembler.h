// Turns the RTP packets of one H.263 video stream (RFC 3550 with the RFC 2190 payload
// format) into frames: strips the RTP and payload headers, joins the byte that two packets
// share when a picture is split inside a byte, collects the pieces up to the RTP marker bit
// and says whether the frame begins with an intra picture.
//
// Packets in, frames out: no thread, lock or host call. One thread feeds it at a time (the
// caller serialises); only StartFrame may be called from another thread meanwhile.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace corvane {

class H263FrameAssembler {
 public:
  struct Frame {
    std::span<const unsigned char> data;
    // The frame begins with an intra picture.
    bool keyFrame = false;
  };

  // Takes one whole RTP packet. Packets that are not version 2 H.263 (payload type 34) or
  // are too short for the headers they announce are dropped. When the packet's marker bit
  // ends a frame, returns it; its bytes stay valid until the next call that adds data.
  std::optional<Frame> AddPacket(std::span<const unsigned char> packet);
  // Takes one RFC 2190 payload (payload header included), as AddPacket does after the RTP
  // header.
  std::optional<Frame> AddPayload(std::span<const unsigned char> payload, bool marker);

  // The next data begins a new frame.
  void StartFrame() { frameStart.store(true, std::memory_order_relaxed); }

  // The bytes collected so far for the frame that has not ended yet.
  std::span<const unsigned char> pending() const;
  // The storage kept for frames; it is kept between frames and given back only above 2 MiB.
  std::size_t capacity() const { return frameBuffer.capacity(); }

 private:
  void AppendFrameData(std::span<const unsigned char> piece);
  // The frame returned last is done with: empty the buffer and start the next one.
  void FinishReturnedFrame();

  // The frame being assembled; keeps its storage between frames.
  std::vector<unsigned char> frameBuffer;
  // Bit-merge state between payload packets: the end bits of the previous packet's last
  // byte, and that byte.
  std::uint8_t carryEbit = 0;
  std::uint8_t carryByte = 0;
  bool keyFrame = false;
  // Set between a returned frame and the next call, which empties the buffer first.
  bool frameReturned = false;
  std::atomic<bool> frameStart{true};
};

}  // namespace corvane
