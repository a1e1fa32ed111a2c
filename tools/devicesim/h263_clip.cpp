#include "h263_clip.h"

#include <fstream>
#include <iterator>

namespace devicesim {

std::vector<std::size_t> FindH263PictureStarts(std::span<const std::uint8_t> stream) {
  std::vector<std::size_t> starts;
  for (std::size_t i = 0; i + 2 < stream.size(); ++i) {
    if (stream[i] == 0 && stream[i + 1] == 0 && (stream[i + 2] & 0xFC) == 0x80) {
      starts.push_back(i);
      i += 2;
    }
  }
  return starts;
}

bool H263Clip::Load(const std::string& path, std::string& error) {
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    error = "cannot open clip " + path;
    return false;
  }
  std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(file)),
                                  std::istreambuf_iterator<char>());
  if (file.bad()) {
    error = "cannot read clip " + path;
    return false;
  }
  return Assign(std::move(bytes), path, error);
}

bool H263Clip::Assign(std::vector<std::uint8_t> bytes, const std::string& name,
                      std::string& error) {
  std::vector<std::size_t> starts = FindH263PictureStarts(bytes);
  if (starts.empty()) {
    error = "no H.263 picture in clip " + name;
    return false;
  }
  if (starts.front() != 0) {
    bytes.erase(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(starts.front()));
    const std::size_t shift = starts.front();
    for (auto& start : starts) start -= shift;
  }
  bytes_ = std::move(bytes);
  starts_ = std::move(starts);
  H263StreamOptions options;
  const auto first = ParseH263PictureHeader(Picture(0), options);
  if (!first || !first->intra) {
    error = "clip " + name + " does not begin with an intra picture";
    bytes_.clear();
    starts_.clear();
    return false;
  }
  return true;
}

std::span<const std::uint8_t> H263Clip::Picture(std::size_t index) const {
  if (index >= starts_.size()) return {};
  const std::size_t end = index + 1 < starts_.size() ? starts_[index + 1] : bytes_.size();
  return std::span<const std::uint8_t>(bytes_).subspan(starts_[index], end - starts_[index]);
}

PacketizedClip PacketizeClip(const H263Clip& clip, const H263PacketizerOptions& options) {
  PacketizedClip out;
  H263Packetizer packetizer(options);
  out.payloads.reserve(clip.pictureCount());
  for (std::size_t i = 0; i < clip.pictureCount(); ++i) {
    out.payloads.push_back(packetizer.Packetize(clip.Picture(i)));
  }
  return out;
}

}  // namespace devicesim
