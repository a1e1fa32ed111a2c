// Turns the RTP packets of one H.263 video stream (RFC 3550 with the RFC 2190 payload
// format) into frames: strips the RTP and payload headers, joins the byte that two packets
// share when a picture is split inside a byte, collects the pieces up to the RTP marker bit
// and says whether the frame begins with an intra picture.
//
// Packets in, frames out: no thread, lock or host call. One thread at a time uses it (the
// caller serialises every call, Reset and StartFrame included).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace corvane {

class H263FrameAssembler {
 public:
  // No H.263 picture comes near this (16CIF intra pictures stay well below 1 MiB); a frame
  // that grows past it comes from a device that never ends its frames.
  static constexpr std::size_t kMaxFrameBytes = 8 * 1024 * 1024;

  struct Frame {
    std::span<const unsigned char> data;
    // The frame begins with an intra picture.
    bool keyFrame = false;
    // The frame grew past kMaxFrameBytes and was dropped: data is empty, its storage has been
    // given back, and the rest of the packet that went past the limit was dropped with it.
    // The data that follows is assembled as a new frame.
    bool oversized = false;
  };

  // Takes one whole RTP packet. Packets that are not version 2 H.263 (payload type 34) or
  // are too short for the headers they announce are dropped. When the packet's marker bit
  // ends a frame, returns it; its bytes stay valid until the next call that adds data.
  std::optional<Frame> AddPacket(std::span<const unsigned char> packet);
  // Takes one RFC 2190 payload (payload header included), as AddPacket does after the RTP
  // header.
  std::optional<Frame> AddPayload(std::span<const unsigned char> payload, bool marker);

  // The next data begins a new frame.
  void StartFrame() { frameStart = true; }
  // Forgets the frame under assembly and the byte held for the next packet, and gives back
  // storage above the keep limit: what comes next is assembled as on a new stream.
  void Reset();

  // The bytes collected so far for the frame that has not ended yet.
  std::span<const unsigned char> pending() const;
  // The storage kept for frames; it is kept between frames and given back only above 2 MiB.
  // It never grows past kMaxFrameBytes.
  std::size_t capacity() const { return frameBuffer.capacity(); }

 private:
  void AppendFrameData(std::span<const unsigned char> piece);
  // Empties the frame buffer, giving its storage back when it grew large.
  void ClearFrameBuffer();
  // Drops the frame that has grown too large and gives its storage back.
  void DropOversizedFrame();
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
  bool frameStart = true;
  // Set by AppendFrameData when the frame went past kMaxFrameBytes; AddPayload reports it.
  bool oversized = false;
};

}  // namespace corvane
