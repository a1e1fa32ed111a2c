// A raw H.263 elementary stream cut into pictures, and the clip set the device streams: one
// clip per resolution value, loaded from a folder.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "h263_packetizer.h"

namespace devicesim {

// Picture start offsets in an elementary stream: a picture start code is byte-aligned,
// 0x00 0x00 then 0x80..0x83 (group start codes carry a non-zero group number there).
std::vector<std::size_t> FindH263PictureStarts(std::span<const std::uint8_t> stream);

class H263Clip {
 public:
  // Reads the file and cuts it at picture start codes (bytes before the first are dropped).
  // False, with a reason in error, when it cannot be read, holds no picture, or does not
  // begin with an intra picture (a looping stream must restart on one).
  bool Load(const std::string& path, std::string& error);
  // The same from bytes in memory; name is used in the error.
  bool Assign(std::vector<std::uint8_t> bytes, const std::string& name, std::string& error);

  std::size_t pictureCount() const { return starts_.size(); }
  std::span<const std::uint8_t> Picture(std::size_t index) const;
  const std::vector<std::uint8_t>& bytes() const { return bytes_; }

 private:
  std::vector<std::uint8_t> bytes_;
  std::vector<std::size_t> starts_;
};

// A clip cut into RTP payloads once, so that every session only adds its RTP header.
struct PacketizedClip {
  // payloads[picture][packet]: RFC 2190 header plus H.263 bytes.
  std::vector<std::vector<std::vector<std::uint8_t>>> payloads;
  std::size_t pictureCount() const { return payloads.size(); }
};

PacketizedClip PacketizeClip(const H263Clip& clip, const H263PacketizerOptions& options);

// Resolution values of 0x06080831: 0 QCIF, 1 CIF, 2 2CIF, 3 4CIF; anything else plays CIF.
inline constexpr std::array<const char*, 4> kClipFiles = {"qcif.263", "cif.263", "2cif.263",
                                                          "4cif.263"};
constexpr std::size_t kDefaultClip = 1;
inline std::size_t ClipForResolution(std::uint32_t resolution) {
  return resolution < kClipFiles.size() ? resolution : kDefaultClip;
}

}  // namespace devicesim
