// The size and type an H.263 picture header gives (H.263 5.1.3, standard source formats),
// read straight from a delivered frame, for checking what the driver labelled it with. Free
// of GoogleTest.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace support {

struct H263PictureInfo {
  int width = 0;
  int height = 0;
  bool intra = false;
};

//   PSC 0000 0000 0000 0000 1000 00, TR (8 bits), PTYPE 1 0 S D F SRC(3) I ...
// Nothing unless the bytes begin with a picture start code and a standard source format
// (sub-QCIF to 16CIF); an extended PTYPE is not read.
inline std::optional<H263PictureInfo> ReadH263PictureInfo(std::span<const std::uint8_t> frame) {
  if (frame.size() < 5 || frame[0] != 0 || frame[1] != 0 || (frame[2] & 0xFC) != 0x80)
    return std::nullopt;
  static constexpr int kSizes[][2] = {{128, 96}, {176, 144}, {352, 288}, {704, 576}, {1408, 1152}};
  const int sourceFormat = (frame[4] >> 2) & 0x07;
  if (sourceFormat < 1 || sourceFormat > 5) return std::nullopt;
  return H263PictureInfo{kSizes[sourceFormat - 1][0], kSizes[sourceFormat - 1][1],
                         (frame[4] & 0x02) == 0};
}

// What is wrong with the labels a frame was delivered with, measured against its own picture
// header: size, FourCC (DIVX/DIVD intra, DIVI/DIVP other, by width up to 380 or above) and
// size class (2 or 4). Empty when nothing is.
inline std::string FrameLabelProblem(std::span<const std::uint8_t> frame, int width, int height,
                                     std::uint32_t fourcc, int sizeClass) {
  const auto picture = ReadH263PictureInfo(frame);
  if (!picture) return std::to_string(frame.size()) + " bytes without a picture header";
  const bool wide = picture->width > 380;
  const char* expected = picture->intra ? (wide ? "DIVD" : "DIVX") : (wide ? "DIVP" : "DIVI");
  const std::uint32_t expectedCode = static_cast<std::uint32_t>(expected[0]) |
                                     static_cast<std::uint32_t>(expected[1]) << 8 |
                                     static_cast<std::uint32_t>(expected[2]) << 16 |
                                     static_cast<std::uint32_t>(expected[3]) << 24;
  std::string problem;
  if (width != picture->width || height != picture->height)
    problem += "labelled " + std::to_string(width) + "x" + std::to_string(height) + ", picture is " +
               std::to_string(picture->width) + "x" + std::to_string(picture->height) + "; ";
  if (fourcc != expectedCode) problem += std::string("FourCC is not ") + expected + "; ";
  if (sizeClass != (wide ? 4 : 2)) problem += "size class " + std::to_string(sizeClass) + "; ";
  return problem;
}

}  // namespace support
