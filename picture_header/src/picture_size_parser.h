// The picture size carried by an H.263 picture header (ITU-T H.263, picture layer).
#pragma once

#include <cstdint>
#include <optional>
#include <span>

namespace picture_header {

struct PictureSize {
  int width = 0;
  int height = 0;
};

// The size given by the picture header at the start of data, or nothing when the data does
// not begin with a complete, well-formed header that carries a size (see ParseMpegHeader).
std::optional<PictureSize> ParsePictureSize(std::span<const std::uint8_t> data);

}  // namespace picture_header
