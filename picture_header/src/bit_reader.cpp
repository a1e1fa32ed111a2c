#include "bit_reader.h"

namespace picture_header {

std::uint32_t BitReader::ReadBits(int count) {
  if (failed_ || count < 0 || count > 32 || static_cast<std::size_t>(count) > BitsLeft()) {
    failed_ = true;
    return 0;
  }
  std::uint32_t value = 0;
  for (int i = 0; i < count; ++i, ++position_) {
    const std::uint8_t byte = data_[position_ / 8];
    value = (value << 1) | ((byte >> (7 - position_ % 8)) & 1u);
  }
  return value;
}

}  // namespace picture_header
