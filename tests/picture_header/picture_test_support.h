// Helpers shared by the picture-size parser suites: calling the parser on an exact-size
// copy of some bytes, and reading the simulator's H.263 clips picture by picture.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <span>
#include <string>
#include <vector>

namespace picture_test {

struct ParseResult {
  int status = 0;
  int width = -1;   // -1: not written
  int height = -1;
};

// So that a failed expectation shows what the parser answered.
void PrintTo(const ParseResult& result, std::ostream* out);

// Calls ParseMpegHeader on a heap copy of exactly bytes.size() bytes, so that a read past the
// end shows up under AddressSanitizer.
ParseResult Parse(std::span<const std::uint8_t> bytes);

// The whole content of a clip in the source tree's clip folder; empty when it cannot be read.
std::vector<std::uint8_t> ReadClip(const std::string& name);

// Splits an H.263 elementary stream into pictures: each piece starts at a byte-aligned
// picture start code (00 00 followed by a byte 0x80 to 0x83) and runs to the next one.
// Bytes before the first start code are dropped.
std::vector<std::span<const std::uint8_t>> SplitPictures(std::span<const std::uint8_t> stream);

// Overwrites count bits (most significant first) at bit offset first with value.
void SetBits(std::vector<std::uint8_t>& bytes, std::size_t first, int count, std::uint32_t value);

}  // namespace picture_test
