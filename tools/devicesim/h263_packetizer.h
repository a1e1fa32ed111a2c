// Splits H.263 pictures into RTP payloads with the RFC 2190 payload header: mode A (4 bytes)
// for a packet that starts at the picture or at a GOB start, mode B (8 bytes) for one that
// starts inside a GOB. The picture and GOB headers give SRC, I, U, S, A, TR and QUANT.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <random>
#include <span>
#include <vector>

namespace devicesim {

// What the payload header needs from a picture header. Options that H.263+ carries in
// OPPTYPE (UMV, SAC, AP, custom PCF, slices) hold from the last picture whose UFEP was 1.
struct H263PictureHeader {
  std::uint8_t temporalReference = 0;
  std::uint8_t sourceFormat = 0;  // PTYPE bits 6-8; 7 = extended (PLUSPTYPE)
  bool intra = false;
  bool unrestrictedMv = false;      // U
  bool arithmeticCoding = false;    // S
  bool advancedPrediction = false;  // A
  bool continuousPresence = false;  // CPM: GOB headers then carry GSBI
  // PQUANT; nothing when the header uses options whose fields we do not walk.
  std::optional<std::uint8_t> quant;
};

// H.263+ options that persist between pictures (sent only when UFEP is 1).
struct H263StreamOptions {
  bool valid = false;
  std::uint8_t sourceFormat = 0;
  bool customPcf = false;
  bool unrestrictedMv = false;
  bool arithmeticCoding = false;
  bool advancedPrediction = false;
  bool sliceStructured = false;
  bool referencePictureSelection = false;
};

// Parses the header of a picture that starts with a byte-aligned picture start code.
// Nothing when the bytes do not start with one or end inside the header's fixed part.
std::optional<H263PictureHeader> ParseH263PictureHeader(std::span<const std::uint8_t> picture,
                                                        H263StreamOptions& options);

struct H263GobStart {
  std::size_t bit = 0;                // position of the GBSC's first bit in the picture
  std::uint8_t number = 0;            // GN, 1..17
  std::optional<std::uint8_t> quant;  // GQUANT, when the header is complete
};

// Group-of-blocks starts in a picture, at any bit position, in stream order. A GBSC is
// 16 zeros and a one followed by a GN; GN 0 is a picture start and GN 18..31 are not GOBs
// (31 is end of sequence), so only GN 1..17 count.
std::vector<H263GobStart> FindH263GobStarts(std::span<const std::uint8_t> picture,
                                            bool continuousPresence);

struct H263PacketizerOptions {
  // Largest RTP payload: RFC 2190 header plus H.263 bytes (12 bytes of RTP header make the
  // whole packet 1,412 bytes, under 1,500). Values below kMinPayload are raised to it.
  std::size_t maxPayload = 1400;
  // Split where the size limit falls at a bit position inside a byte (and at GOB starts
  // that are not byte-aligned), so consecutive packets share a byte (SBIT + EBIT = 8).
  bool splitAtBits = false;
  // Chooses the bit positions; the same seed gives the same packets.
  std::uint32_t seed = 1;

  static constexpr std::size_t kMinPayload = 16;
  // Leaves room for an RTP header with CSRCs, extension and padding in a 16-bit length.
  static constexpr std::size_t kMaxPayload = 65000;
};

class H263Packetizer {
 public:
  explicit H263Packetizer(H263PacketizerOptions options = {});

  // The RTP payloads of one picture (the bytes from its picture start code up to the next
  // picture's), in order; the last one carries the end of the picture (the RTP marker).
  // Call it for the pictures of a stream in order: H.263+ options carry over. Empty for an
  // empty picture; a picture whose header cannot be read is still sent, with SRC, I, TR and
  // QUANT left 0.
  std::vector<std::vector<std::uint8_t>> Packetize(std::span<const std::uint8_t> picture);

  const H263PacketizerOptions& options() const { return options_; }

 private:
  std::size_t NextEnd(std::size_t start, std::size_t endBit, std::size_t maxData,
                      const std::vector<H263GobStart>& gobs);

  H263PacketizerOptions options_;
  H263StreamOptions stream_;
  std::mt19937 random_;
};

}  // namespace devicesim
