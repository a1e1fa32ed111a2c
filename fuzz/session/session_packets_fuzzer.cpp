// Arbitrary packet sequences through the frame assembler: each packet is a 16-bit big-endian
// length and that many bytes (cut at the end of the input), handed over as an exact heap copy
// so that a read past it is caught.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "session/h263_frame_assembler.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  corvane::H263FrameAssembler assembler;
  for (std::size_t at = 0; at + 2 <= size;) {
    const std::size_t length =
        std::min<std::size_t>(static_cast<std::size_t>(data[at]) << 8 | data[at + 1], size - at - 2);
    at += 2;
    auto packet = std::make_unique<std::uint8_t[]>(length);
    std::copy(data + at, data + at + length, packet.get());
    at += length;
    assembler.AddPacket({packet.get(), length});
  }
  return 0;
}
