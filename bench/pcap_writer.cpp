// Writes the simulator's 4CIF clip, packetized as a device sends it, to a pcap file: each RTP
// packet in a UDP datagram from 127.0.0.1 to 127.0.0.1 on an ethernet link, the clip repeated
// until the requested packet count. GStreamer's pcapparse and our receive-path benchmark both
// read this file, so they are timed on the same bytes.
//
//   h263_pcap_writer OUTPUT [PACKETS] [CLIP]
//     PACKETS  packets to write (default 300000); CLIP  default clips/4cif.263 beside us.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "clip_rtp_packets.h"
#include "platform/platform.h"

namespace {

constexpr std::uint16_t kSourcePort = 50000;
constexpr std::uint16_t kDestinationPort = 50002;
constexpr std::uint32_t kLoopback = 0x7F000001;
constexpr std::uint32_t kLinkTypeEthernet = 1;
constexpr std::size_t kEthernetBytes = 14;
constexpr std::size_t kIpv4Bytes = 20;
constexpr std::size_t kUdpBytes = 8;

void PutU16(std::vector<unsigned char>& out, std::uint16_t v) {
  out.push_back(static_cast<unsigned char>(v >> 8));
  out.push_back(static_cast<unsigned char>(v & 0xFF));
}
void PutU32(std::vector<unsigned char>& out, std::uint32_t v) {
  PutU16(out, static_cast<std::uint16_t>(v >> 16));
  PutU16(out, static_cast<std::uint16_t>(v & 0xFFFF));
}
// pcap's own headers are in the writer's byte order; readers tell it by the magic number.
template <class T>
void PutNative(std::vector<unsigned char>& out, T v) {
  unsigned char bytes[sizeof v];
  std::memcpy(bytes, &v, sizeof v);
  out.insert(out.end(), bytes, bytes + sizeof v);
}

std::uint16_t Ipv4Checksum(const unsigned char* header, std::size_t length) {
  std::uint32_t sum = 0;
  for (std::size_t i = 0; i + 1 < length; i += 2) sum += static_cast<std::uint32_t>(header[i] << 8 | header[i + 1]);
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<std::uint16_t>(~sum);
}

void AppendFrame(std::vector<unsigned char>& out, const std::vector<unsigned char>& rtp,
                 std::uint16_t ipId, std::uint64_t index) {
  const std::size_t frameBytes = kEthernetBytes + kIpv4Bytes + kUdpBytes + rtp.size();
  // Record header: one packet per microsecond, so every record has its own time.
  PutNative<std::uint32_t>(out, static_cast<std::uint32_t>(index / 1000000));
  PutNative<std::uint32_t>(out, static_cast<std::uint32_t>(index % 1000000));
  PutNative<std::uint32_t>(out, static_cast<std::uint32_t>(frameBytes));
  PutNative<std::uint32_t>(out, static_cast<std::uint32_t>(frameBytes));
  // Ethernet: locally administered addresses, IPv4.
  const unsigned char macs[12] = {0x02, 0, 0, 0, 0, 2, 0x02, 0, 0, 0, 0, 1};
  out.insert(out.end(), macs, macs + sizeof macs);
  PutU16(out, 0x0800);
  // IPv4, no options, don't fragment.
  const std::size_t ipStart = out.size();
  out.push_back(0x45);
  out.push_back(0);
  PutU16(out, static_cast<std::uint16_t>(kIpv4Bytes + kUdpBytes + rtp.size()));
  PutU16(out, ipId);
  PutU16(out, 0x4000);
  out.push_back(64);  // TTL
  out.push_back(17);  // UDP
  PutU16(out, 0);     // checksum, filled in below
  PutU32(out, kLoopback);
  PutU32(out, kLoopback);
  const std::uint16_t checksum = Ipv4Checksum(out.data() + ipStart, kIpv4Bytes);
  out[ipStart + 10] = static_cast<unsigned char>(checksum >> 8);
  out[ipStart + 11] = static_cast<unsigned char>(checksum & 0xFF);
  // UDP; a zero checksum means none over IPv4.
  PutU16(out, kSourcePort);
  PutU16(out, kDestinationPort);
  PutU16(out, static_cast<std::uint16_t>(kUdpBytes + rtp.size()));
  PutU16(out, 0);
  out.insert(out.end(), rtp.begin(), rtp.end());
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || argc > 4) {
    std::fprintf(stderr, "usage: %s OUTPUT [PACKETS] [CLIP]\n", argv[0]);
    return 2;
  }
  const char* output = argv[1];
  char* end = nullptr;
  const unsigned long long wanted = argc > 2 ? std::strtoull(argv[2], &end, 10) : 300000;
  if (wanted == 0 || (argc > 2 && *end != '\0')) {
    std::fprintf(stderr, "packet count must be a positive number\n");
    return 2;
  }
  const std::string clip = argc > 3 ? argv[3] : platform::ExecutableFolder() + "clips/4cif.263";

  // Whole passes over the clip, so the stream starts each pass on an intra picture.
  bench::ClipPackets packets;
  std::uint16_t sequence = 0;
  std::uint32_t timestamp = 0;
  std::string error;
  if (!bench::PacketizeClipFile(clip, 1400, packets, sequence, timestamp, error)) {
    std::fprintf(stderr, "cannot load %s: %s\n", clip.c_str(), error.c_str());
    return 1;
  }
  const std::size_t perPass = packets.packets.size();

  std::FILE* file = std::fopen(output, "wb");
  if (!file) {
    std::fprintf(stderr, "cannot create %s: %s\n", output, std::strerror(errno));
    return 1;
  }
  std::vector<unsigned char> out;
  PutNative<std::uint32_t>(out, 0xA1B2C3D4);  // microsecond time stamps
  PutNative<std::uint16_t>(out, 2);
  PutNative<std::uint16_t>(out, 4);
  PutNative<std::int32_t>(out, 0);
  PutNative<std::uint32_t>(out, 0);
  PutNative<std::uint32_t>(out, 65535);
  PutNative<std::uint32_t>(out, kLinkTypeEthernet);

  // Later passes carry sequence numbers and time stamps on from where the last one ended.
  const std::uint32_t ticksPerPass = timestamp;
  bool ok = true;
  std::vector<unsigned char> rtp;
  for (unsigned long long i = 0; i < wanted && ok; ++i) {
    rtp = packets.packets[i % perPass];
    const auto seq = static_cast<std::uint16_t>(i);
    rtp[2] = static_cast<unsigned char>(seq >> 8);
    rtp[3] = static_cast<unsigned char>(seq & 0xFF);
    std::uint32_t ts = static_cast<std::uint32_t>(rtp[4] << 24 | rtp[5] << 16 | rtp[6] << 8 | rtp[7]);
    ts += static_cast<std::uint32_t>(i / perPass) * ticksPerPass;
    for (int b = 0; b < 4; ++b) rtp[4 + b] = static_cast<unsigned char>(ts >> (24 - 8 * b));
    AppendFrame(out, rtp, seq, i);
    if (out.size() > (1u << 20)) {
      ok = std::fwrite(out.data(), 1, out.size(), file) == out.size();
      out.clear();
    }
  }
  if (ok && !out.empty()) ok = std::fwrite(out.data(), 1, out.size(), file) == out.size();
  if (std::fclose(file) != 0) ok = false;
  if (!ok) {
    std::fprintf(stderr, "cannot write %s\n", output);
    return 1;
  }
  std::printf("wrote %llu RTP packets (%zu per pass over the clip) to %s\n", wanted, perPass, output);
  return 0;
}
