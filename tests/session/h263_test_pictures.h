// H.263 picture headers and RFC 2190 payloads for the receive path's tests.
#pragma once

#include <cstddef>
#include <vector>

namespace support {

using Bytes = std::vector<unsigned char>;

// Picture headers that the picture-size parser reads (H.263 5.1), then filler.
//   PSC 0000 0000 0000 0000 1000 00, TR 0, PTYPE 1 0 0 0 0 SRC I 0 0 0 0, PQUANT 10,
//   CPM 0, PEI 0.
inline Bytes Picture(unsigned char sourceFormat, bool intra, std::size_t size = 32) {
  Bytes picture{0x00, 0x00, 0x80,                                   // PSC, TR 7-6
                0x02,                                               // TR 5-0, PTYPE 1-2 = 1 0
                static_cast<unsigned char>(sourceFormat << 2 | (intra ? 0 : 0x02)),  // S D F SRC I U
                0x0A,                                               // S A PB PQUANT
                0x00};                                              // CPM PEI, macroblocks
  for (std::size_t i = picture.size(); i < size; ++i) picture.push_back(static_cast<unsigned char>(0x10 + i));
  return picture;
}
constexpr unsigned char kQcif = 2;  // 176 x 144
constexpr unsigned char kCif4 = 4;  // 704 x 576

// H.263 bytes behind a mode-A payload header (F=0 P=0 SBIT=0 EBIT=0, SRC=2).
inline Bytes ModeA(const Bytes& h263) {
  Bytes payload{0x00, 0x40, 0x00, 0x00};
  payload.insert(payload.end(), h263.begin(), h263.end());
  return payload;
}

// A plain RTP header (version 2, payload type 34, the marker as given) before a payload.
inline Bytes RtpPacket(const Bytes& payload, bool marker) {
  Bytes packet{0x80, static_cast<unsigned char>(marker ? 0xA2 : 0x22), 0, 1, 0, 0, 0, 0,
               0,    0,    0,    1};
  packet.insert(packet.end(), payload.begin(), payload.end());
  return packet;
}

}  // namespace support
