// The simulator's 4CIF clip as the RTP packets a device sends: the devicesim packetizer at
// 1,400-byte payloads behind a 12-byte RTP header (version 2, payload type 34, marker on the
// last packet of each picture, 90 kHz timestamps at 25 pictures/s). Shared by the benchmarks
// and the pcap writer so that both see the same bytes.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "h263_clip.h"

namespace bench {

struct ClipPackets {
  std::vector<std::vector<unsigned char>> packets;  // whole RTP packets
  std::vector<std::size_t> dataBytes;               // H.263 bytes per packet, no headers
  std::size_t payloadBytes = 0;                     // RFC 2190 header + H.263, all packets
  std::size_t largestPicture = 0;
};

constexpr std::size_t kRtpHeaderBytes = 12;
constexpr std::uint8_t kH263PayloadType = 34;
constexpr std::uint32_t kTicksPerPicture = 90000 / 25;

// RFC 2190 header length from its first byte: mode A 4, mode B 8, mode C 12.
inline std::size_t H263HeaderBytes(unsigned char first) {
  return (first & 0x80) == 0 ? 4 : (first & 0x40) ? 12 : 8;
}

// The packets of one pass over the clip. Sequence numbers and timestamps start where the
// caller's counters stand, so passes can be chained into one stream. False, with a reason,
// when the clip cannot be loaded.
inline bool PacketizeClipFile(const std::string& path, std::size_t maxPayload, ClipPackets& out,
                              std::uint16_t& sequence, std::uint32_t& timestamp,
                              std::string& error) {
  devicesim::H263Clip clip;
  if (!clip.Load(path, error)) return false;
  devicesim::H263PacketizerOptions options;
  options.maxPayload = maxPayload;
  const devicesim::PacketizedClip packetized = devicesim::PacketizeClip(clip, options);
  for (std::size_t p = 0; p < packetized.pictureCount(); ++p) {
    out.largestPicture = std::max(out.largestPicture, clip.Picture(p).size());
    const auto& payloads = packetized.payloads[p];
    for (std::size_t i = 0; i < payloads.size(); ++i) {
      const bool marker = i + 1 == payloads.size();
      std::vector<unsigned char> packet = {
          0x80,
          static_cast<unsigned char>((marker ? 0x80 : 0) | kH263PayloadType),
          static_cast<unsigned char>(sequence >> 8),
          static_cast<unsigned char>(sequence & 0xFF),
          static_cast<unsigned char>(timestamp >> 24),
          static_cast<unsigned char>(timestamp >> 16),
          static_cast<unsigned char>(timestamp >> 8),
          static_cast<unsigned char>(timestamp & 0xFF),
          0x12, 0x34, 0x56, 0x78};
      ++sequence;
      packet.insert(packet.end(), payloads[i].begin(), payloads[i].end());
      out.payloadBytes += payloads[i].size();
      out.dataBytes.push_back(payloads[i].size() - H263HeaderBytes(payloads[i][0]));
      out.packets.push_back(std::move(packet));
    }
    timestamp += kTicksPerPicture;
  }
  return true;
}

}  // namespace bench
