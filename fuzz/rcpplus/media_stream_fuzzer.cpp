// Arbitrary bytes as what a media connection receives: frames up to the media open reply,
// then interleaved RTP, read in pieces the first byte chooses. The bytes that follow the
// open reply inside the same read must reach the packet decoder exactly once: every packet,
// framed again, gives back the stream after the reply, and a complete packet is never held.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "rcp_wire.h"

namespace {

// The open reply: the first answer to the media open request.
bool IsOpenAnswer(const rcpwire::Frame& frame) {
  return (frame.action == rcpwire::kReply || frame.action == rcpwire::kError) &&
         frame.commandWord == rcpwire::kCmdMediaOpen;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::size_t piece = static_cast<std::size_t>(data[0]) * 3 + 1;
  const std::span<const std::uint8_t> bytes(data + 1, size - 1);

  rcpwire::FrameDecoder frames;
  rcpwire::Frame frame;
  rcpwire::InterleavedDecoder packets;
  packets.Reserve(2 * (4 + 0xFFFF) + piece);
  bool streaming = false;
  bool failed = false;
  std::size_t framesEnd = 0;  // where the open reply ends in the stream
  std::vector<std::uint8_t> again;
  std::span<const std::uint8_t> packet;

  for (std::size_t at = 0; at < bytes.size() && !failed; at += piece) {
    const auto chunk = bytes.subspan(at, std::min(piece, bytes.size() - at));
    if (!streaming) {
      frames.Feed(chunk);
      for (;;) {
        const auto status = frames.Next(frame);
        if (status == rcpwire::FrameDecoder::Status::kNeedMore) break;
        if (status == rcpwire::FrameDecoder::Status::kError) return 0;  // the client closes
        framesEnd += rcpwire::kHeaderSize + frame.payload.size();
        if (!IsOpenAnswer(frame)) continue;
        if (frame.action == rcpwire::kError) return 0;
        // What is left of this read already belongs to the packets.
        if (framesEnd + frames.Buffered() != at + chunk.size()) __builtin_trap();
        packets.Feed(frames.Unconsumed());
        streaming = true;
        break;
      }
    } else {
      packets.Feed(chunk);
    }
    while (streaming) {
      const auto status = packets.Next(packet);
      if (status == rcpwire::InterleavedDecoder::Status::kNeedMore) break;
      if (status == rcpwire::InterleavedDecoder::Status::kError) {
        failed = true;
        break;
      }
      rcpwire::EncodeInterleaved(packet, again);
    }
  }
  if (!streaming) return 0;
  const std::span<const std::uint8_t> media = bytes.subspan(framesEnd);
  if (again.size() > media.size() || !std::equal(again.begin(), again.end(), media.begin())) {
    __builtin_trap();
  }
  const std::span<const std::uint8_t> rest = media.subspan(again.size());
  if (!failed && rest.size() >= 4 && rest.size() >= 4 + rcpwire::GetU16(rest.data() + 2)) {
    __builtin_trap();  // a complete packet was left undelivered
  }
  return 0;
}
