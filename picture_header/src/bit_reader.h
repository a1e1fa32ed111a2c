// Reads a byte span as a bit stream, most significant bit of each byte first. The failure
// state is sticky: a read that would run past the end, or asks for more than 32 bits,
// returns 0, consumes nothing and leaves the reader failed, and every later read returns 0
// too. Callers read a whole section and check Ok() once before trusting what they read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace picture_header {

class BitReader {
 public:
  explicit BitReader(std::span<const std::uint8_t> data) : data_(data) {}

  // The next count bits (0 to 32) as an unsigned number, the first bit read the highest.
  std::uint32_t ReadBits(int count);
  bool ReadBit() { return ReadBits(1) != 0; }
  void SkipBits(int count) { ReadBits(count); }

  bool Ok() const { return !failed_; }
  std::size_t BitsLeft() const { return failed_ ? 0 : data_.size() * 8 - position_; }

 private:
  std::span<const std::uint8_t> data_;
  std::size_t position_ = 0;  // in bits
  bool failed_ = false;
};

}  // namespace picture_header
