#include "picture_test_support.h"

#include <algorithm>
#include <fstream>
#include <iterator>
#include <memory>
#include <ostream>

#include "picture_header/parse_mpeg_header.h"

namespace picture_test {

ParseResult Parse(std::span<const std::uint8_t> bytes) {
  auto copy = std::make_unique<unsigned char[]>(bytes.size());
  std::copy(bytes.begin(), bytes.end(), copy.get());
  ParseResult result;
  result.status =
      ParseMpegHeader(copy.get(), static_cast<int>(bytes.size()), &result.width, &result.height);
  return result;
}

void PrintTo(const ParseResult& result, std::ostream* out) {
  *out << "status " << result.status << ", " << result.width << "x" << result.height;
}

std::vector<std::uint8_t> ReadClip(const std::string& name) {
  std::ifstream file(std::string(CLIPS_DIR) + "/" + name, std::ios::binary);
  if (!file) return {};
  return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(file),
                                   std::istreambuf_iterator<char>());
}

namespace {

bool StartsPicture(std::span<const std::uint8_t> stream, std::size_t i) {
  return i + 2 < stream.size() && stream[i] == 0 && stream[i + 1] == 0 &&
         (stream[i + 2] & 0xFC) == 0x80;
}

}  // namespace

std::vector<std::span<const std::uint8_t>> SplitPictures(std::span<const std::uint8_t> stream) {
  std::vector<std::size_t> starts;
  for (std::size_t i = 0; i < stream.size(); ++i) {
    if (StartsPicture(stream, i)) starts.push_back(i);
  }
  std::vector<std::span<const std::uint8_t>> pictures;
  for (std::size_t k = 0; k < starts.size(); ++k) {
    const std::size_t end = k + 1 < starts.size() ? starts[k + 1] : stream.size();
    pictures.push_back(stream.subspan(starts[k], end - starts[k]));
  }
  return pictures;
}

void SetBits(std::vector<std::uint8_t>& bytes, std::size_t first, int count, std::uint32_t value) {
  for (int i = 0; i < count; ++i) {
    const std::size_t bit = first + static_cast<std::size_t>(i);
    const auto mask = static_cast<std::uint8_t>(0x80u >> (bit % 8));
    if ((value >> (count - 1 - i)) & 1u) {
      bytes.at(bit / 8) |= mask;
    } else {
      bytes.at(bit / 8) &= static_cast<std::uint8_t>(~mask);
    }
  }
}

}  // namespace picture_test
