// Arbitrary bytes as a frame: the parser must stay inside them and, when it answers, give a
// size that an H.263 header can state.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "picture_header/parse_mpeg_header.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > 1 << 20) return 0;
  int width = -1;
  int height = -1;
  const int result = ParseMpegHeader(data, static_cast<int>(size), &width, &height);
  if (result < 0 || result > 1) std::abort();
  if (result == 0 && (width != -1 || height != -1)) std::abort();
  if (result == 1 && (width < 4 || width > 2048 || width % 4 != 0 || height < 4 ||
                      height > 1152 || height % 4 != 0)) {
    std::abort();
  }
  ParseMpegHeader(data, static_cast<int>(size), nullptr, &height);
  ParseMpegHeader(data, static_cast<int>(size), &width, nullptr);
  return 0;
}
