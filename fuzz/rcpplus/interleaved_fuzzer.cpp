// Arbitrary bytes into the interleaved RTP decoder of a media connection, fed in pieces the
// first byte chooses. Every packet it returns, framed again, must give back exactly the bytes
// it consumed, and it must never sit on a complete packet.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "rcp_wire.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::size_t piece = static_cast<std::size_t>(data[0]) * 7 + 1;
  const std::span<const std::uint8_t> bytes(data + 1, size - 1);

  rcpwire::InterleavedDecoder decoder;
  std::vector<std::uint8_t> again;
  std::span<const std::uint8_t> packet;
  bool failed = false;
  for (std::size_t at = 0; at < bytes.size() && !failed; at += piece) {
    decoder.Feed(bytes.subspan(at, std::min(piece, bytes.size() - at)));
    for (;;) {
      const auto status = decoder.Next(packet);
      if (status == rcpwire::InterleavedDecoder::Status::kNeedMore) break;
      if (status == rcpwire::InterleavedDecoder::Status::kError) {
        failed = true;
        break;
      }
      rcpwire::EncodeInterleaved(packet, again);
    }
  }
  if (again.size() > bytes.size() || !std::equal(again.begin(), again.end(), bytes.begin())) {
    __builtin_trap();
  }
  const std::span<const std::uint8_t> rest = bytes.subspan(again.size());
  if (failed) {
    // Refused only for a wrong magic byte or channel at the next packet's start.
    if (rest.empty() || (rest[0] == 0x24 && (rest.size() < 2 || rest[1] == 0x00))) {
      __builtin_trap();
    }
  } else if (rest.size() >= 4 && rest.size() >= 4 + rcpwire::GetU16(rest.data() + 2)) {
    __builtin_trap();  // a complete packet was left undelivered
  }
  return 0;
}
