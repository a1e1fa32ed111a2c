// The module's only export. Everything else in the library is hidden (exports.map).
#include "picture_header/parse_mpeg_header.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "picture_size_parser.h"

extern "C" int ParseMpegHeader(const unsigned char* data, int length, int* width, int* height) {
  if (data == nullptr || length <= 0 || width == nullptr || height == nullptr) return 0;
  const std::span<const std::uint8_t> frame(data, static_cast<std::size_t>(length));
  const std::optional<picture_header::PictureSize> size = picture_header::ParsePictureSize(frame);
  if (!size) return 0;
  *width = size->width;
  *height = size->height;
  return 1;
}
