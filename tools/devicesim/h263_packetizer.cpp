#include "h263_packetizer.h"

#include <algorithm>

namespace devicesim {
namespace {

constexpr std::uint32_t kPictureStartCode = 0x20;  // 0000 0000 0000 0000 1000 00
constexpr int kPictureStartCodeBits = 22;
constexpr std::uint32_t kGobStartCode = 0x1;  // 0000 0000 0000 0000 1
constexpr int kGobStartCodeBits = 17;
constexpr std::uint8_t kMaxGobNumber = 17;
constexpr std::uint8_t kExtendedFormat = 7;
constexpr std::uint8_t kCustomFormat = 6;
constexpr std::size_t kModeAHeaderSize = 4;
constexpr std::size_t kModeBHeaderSize = 8;

// Reads bits most significant first. Reading past the end sets a sticky failure and yields
// zeros; the caller checks ok() once after a group of reads.
class BitReader {
 public:
  explicit BitReader(std::span<const std::uint8_t> data, std::size_t bit = 0)
      : data_(data), bit_(bit) {}

  std::uint32_t Read(int count) {
    if (!ok_ || count < 0 || count > 32 ||
        bit_ + static_cast<std::size_t>(count) > data_.size() * 8) {
      ok_ = false;
      return 0;
    }
    std::uint32_t value = 0;
    for (int i = 0; i < count; ++i, ++bit_) {
      const std::uint8_t byte = data_[bit_ / 8];
      value = value << 1 | ((byte >> (7 - bit_ % 8)) & 1u);
    }
    return value;
  }
  bool Flag() { return Read(1) != 0; }
  void Skip(int count) { Read(count); }
  bool ok() const { return ok_; }

 private:
  std::span<const std::uint8_t> data_;
  std::size_t bit_;
  bool ok_ = true;
};

//  PTYPE bits 9-13 and what follows up to PSBI (H.263 5.1.3):
//  | I/P | UMV | SAC | AP | PB | PQUANT (5) | CPM | PSBI (2, with CPM) |
bool ParseBaselineType(BitReader& r, H263PictureHeader& h) {
  h.intra = !r.Flag();
  h.unrestrictedMv = r.Flag();
  h.arithmeticCoding = r.Flag();
  h.advancedPrediction = r.Flag();
  r.Skip(1);  // PB-frames: the clips have none, so mode C is never needed
  const auto quant = static_cast<std::uint8_t>(r.Read(5));
  h.continuousPresence = r.Flag();
  if (!r.ok()) return false;
  h.quant = quant;
  return true;
}

//  OPPTYPE (18 bits, only when UFEP is 001):
//  | format (3) | PCF | UMV | SAC | AP | AIC | DF | SS | RPS | ISD | AIV | MQ | 1 0 0 0 |
bool ParseOptionalType(BitReader& r, H263StreamOptions& options) {
  H263StreamOptions o;
  o.sourceFormat = static_cast<std::uint8_t>(r.Read(3));
  o.customPcf = r.Flag();
  o.unrestrictedMv = r.Flag();
  o.arithmeticCoding = r.Flag();
  o.advancedPrediction = r.Flag();
  r.Skip(2);  // AIC, DF
  o.sliceStructured = r.Flag();
  o.referencePictureSelection = r.Flag();
  r.Skip(3);  // ISD, AIV, MQ
  if (r.Read(4) != 0x8 || !r.ok()) return false;
  o.valid = true;
  options = o;
  return true;
}

//  PLUSPTYPE: UFEP (3) | OPPTYPE (18, UFEP 001) | MPPTYPE (9): type (3) | RPR | RRU | RTYPE | 0 0 1
//  then CPM | PSBI | CPFMT (23) | EPAR (16) | CPCFC (8) | ETR (2) | UUI | SSS (2) | ... | PQUANT
bool ParseExtendedType(BitReader& r, H263PictureHeader& h, H263StreamOptions& options) {
  const std::uint32_t ufep = r.Read(3);
  if (ufep == 1) {
    if (!ParseOptionalType(r, options)) return false;
  } else if (ufep != 0) {
    return false;
  }
  const std::uint32_t type = r.Read(3);
  const bool rpr = r.Flag();
  r.Skip(2);  // RRU, RTYPE
  if (r.Read(3) != 0x1) return false;
  h.intra = type == 0;
  h.continuousPresence = r.Flag();
  if (h.continuousPresence) r.Skip(2);  // PSBI
  if (!r.ok()) return false;
  h.unrestrictedMv = options.unrestrictedMv;
  h.arithmeticCoding = options.arithmeticCoding;
  h.advancedPrediction = options.advancedPrediction;
  if (!options.valid) return true;  // options never sent: the fields before PQUANT are unknown

  const bool update = ufep == 1;
  if (update && options.sourceFormat == kCustomFormat) {
    const std::uint32_t par = r.Read(4);
    r.Skip(9);                   // PWI
    r.Skip(1);                   // always 1
    r.Skip(9);                   // PHI
    if (par == 0xF) r.Skip(16);  // EPAR
  }
  if (update && options.customPcf) r.Skip(8);                    // CPCFC
  if (options.customPcf) r.Skip(2);                              // ETR
  if (update && options.unrestrictedMv && !r.Flag()) r.Skip(1);  // UUI: "1" or "01"
  if (options.sliceStructured) r.Skip(2);                        // SSS
  // Scalability layers, reference picture selection and resampling add fields we do not walk.
  const bool scalable = type >= 3 && type <= 5;
  if (scalable || rpr || options.referencePictureSelection) return true;
  const auto quant = static_cast<std::uint8_t>(r.Read(5));
  if (r.ok()) h.quant = quant;
  return true;
}

//  0                   1                   2                   3
//  0 1 2 3 4 5 6 7 8 9 0 1 2 3 4 5 6 7 8 9 0 1 2 3 4 5 6 7 8 9 0 1
// +-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+
// |F|P|SBIT |EBIT | SRC |I|U|S|A|R      |DBQ| TRB |    TR         |
// +-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+
void WriteModeA(std::vector<std::uint8_t>& out, int sbit, int ebit, const H263PictureHeader& h) {
  out.push_back(static_cast<std::uint8_t>(sbit << 3 | ebit));
  out.push_back(static_cast<std::uint8_t>(
      (h.sourceFormat & 7) << 5 | (h.intra ? 0 : 1) << 4 | (h.unrestrictedMv ? 1 : 0) << 3 |
      (h.arithmeticCoding ? 1 : 0) << 2 | (h.advancedPrediction ? 1 : 0) << 1));
  out.push_back(0);  // R, DBQ, TRB: no PB-frames
  out.push_back(h.temporalReference);
}

//  0                   1                   2                   3
//  0 1 2 3 4 5 6 7 8 9 0 1 2 3 4 5 6 7 8 9 0 1 2 3 4 5 6 7 8 9 0 1
// +-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+
// |F|P|SBIT |EBIT | SRC | QUANT   |  GOBN   |   MBA           |R  |
// +-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+
// |I|U|S|A| HMV1        | VMV1        | HMV2        | VMV2        |
// +-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+
// MBA and the motion vector predictors would take a macroblock-layer parse; they stay 0
// (the receivers we serve do not read them). QUANT is the GOB's or picture's quantiser,
// which a macroblock's DQUANT may have changed by the packet's first macroblock.
void WriteModeB(std::vector<std::uint8_t>& out, int sbit, int ebit, const H263PictureHeader& h,
                std::uint8_t gobNumber, std::uint8_t quant) {
  out.push_back(static_cast<std::uint8_t>(0x80 | sbit << 3 | ebit));
  out.push_back(static_cast<std::uint8_t>((h.sourceFormat & 7) << 5 | (quant & 0x1F)));
  out.push_back(static_cast<std::uint8_t>((gobNumber & 0x1F) << 3));
  out.push_back(0);
  out.push_back(static_cast<std::uint8_t>((h.intra ? 0 : 1) << 7 | (h.unrestrictedMv ? 1 : 0) << 6 |
                                          (h.arithmeticCoding ? 1 : 0) << 5 |
                                          (h.advancedPrediction ? 1 : 0) << 4));
  out.insert(out.end(), 3, 0);
}

}  // namespace

std::optional<H263PictureHeader> ParseH263PictureHeader(std::span<const std::uint8_t> picture,
                                                        H263StreamOptions& options) {
  BitReader r(picture);
  if (r.Read(kPictureStartCodeBits) != kPictureStartCode) return std::nullopt;
  H263PictureHeader h;
  h.temporalReference = static_cast<std::uint8_t>(r.Read(8));
  if (r.Read(2) != 0x2) return std::nullopt;  // PTYPE starts "1 0"
  r.Skip(3);  // split screen, document camera, freeze picture release
  h.sourceFormat = static_cast<std::uint8_t>(r.Read(3));
  if (!r.ok()) return std::nullopt;
  const bool parsed = h.sourceFormat == kExtendedFormat ? ParseExtendedType(r, h, options)
                                                        : ParseBaselineType(r, h);
  if (!parsed) return std::nullopt;
  return h;
}

std::vector<H263GobStart> FindH263GobStarts(std::span<const std::uint8_t> picture,
                                            bool continuousPresence) {
  std::vector<H263GobStart> gobs;
  std::size_t nextFree = 0;  // start codes do not overlap
  // Sixteen zero bits starting at bit p always cover the whole byte j = ceil(p / 8), so
  // only p in (8j - 8, 8j] around a zero byte j can start one.
  for (std::size_t j = 0; j < picture.size(); ++j) {
    if (picture[j] != 0) continue;
    const std::size_t first = j == 0 ? 0 : 8 * j - 7;
    for (std::size_t p = std::max(first, nextFree); p <= 8 * j; ++p) {
      BitReader r(picture, p);
      if (r.Read(kGobStartCodeBits) != kGobStartCode) continue;
      const auto number = static_cast<std::uint8_t>(r.Read(5));
      if (!r.ok()) break;
      nextFree = p + kGobStartCodeBits;
      if (number == 0 || number > kMaxGobNumber) break;
      H263GobStart gob{p, number, std::nullopt};
      if (continuousPresence) r.Skip(2);  // GSBI
      r.Skip(2);                          // GFID
      const auto quant = static_cast<std::uint8_t>(r.Read(5));
      if (r.ok()) gob.quant = quant;
      gobs.push_back(gob);
      break;
    }
  }
  return gobs;
}

H263Packetizer::H263Packetizer(H263PacketizerOptions options)
    : options_(options), random_(options.seed) {
  options_.maxPayload = std::clamp(options_.maxPayload, H263PacketizerOptions::kMinPayload,
                                   H263PacketizerOptions::kMaxPayload);
}

std::vector<std::vector<std::uint8_t>> H263Packetizer::Packetize(
    std::span<const std::uint8_t> picture) {
  std::vector<std::vector<std::uint8_t>> packets;
  if (picture.empty()) return packets;
  const H263PictureHeader header =
      ParseH263PictureHeader(picture, stream_).value_or(H263PictureHeader{});
  const std::vector<H263GobStart> gobs = FindH263GobStarts(picture, header.continuousPresence);

  const std::size_t endBit = picture.size() * 8;
  std::size_t start = 0;
  auto gob = gobs.cbegin();               // first GOB header after the current packet's start
  const H263GobStart* current = nullptr;  // GOB the packet starts in; null = GOB 0
  while (start < endBit) {
    while (gob != gobs.cend() && gob->bit <= start) current = &*gob++;
    const bool modeA = start == 0 || (current != nullptr && current->bit == start);
    const std::size_t headerSize = modeA ? kModeAHeaderSize : kModeBHeaderSize;
    const std::size_t end = NextEnd(start, endBit, options_.maxPayload - headerSize, gobs);
    const int sbit = static_cast<int>(start % 8);
    const int ebit = static_cast<int>((8 - end % 8) % 8);

    std::vector<std::uint8_t> packet;
    const std::size_t firstByte = start / 8;
    const std::size_t lastByte = (end + 7) / 8;  // one past
    packet.reserve(headerSize + lastByte - firstByte);
    if (modeA) {
      WriteModeA(packet, sbit, ebit, header);
    } else {
      const std::uint8_t gobNumber = current != nullptr ? current->number : 0;
      const auto quant = current != nullptr ? current->quant : header.quant;
      WriteModeB(packet, sbit, ebit, header, gobNumber, quant.value_or(0));
    }
    packet.insert(packet.end(), picture.begin() + static_cast<std::ptrdiff_t>(firstByte),
                  picture.begin() + static_cast<std::ptrdiff_t>(lastByte));
    packets.push_back(std::move(packet));
    start = end;
  }
  return packets;
}

// Where the packet that starts at bit start ends (one past its last bit).
std::size_t H263Packetizer::NextEnd(std::size_t start, std::size_t endBit, std::size_t maxData,
                                    const std::vector<H263GobStart>& gobs) {
  const std::size_t firstByte = start / 8;
  const std::size_t limit = std::min(endBit, (firstByte + maxData) * 8);
  if (limit == endBit) return endBit;
  // End where a GOB starts, so that the next packet begins in mode A. A byte must not be
  // shared with both neighbours: receivers hold back only one partial byte at a time.
  for (auto it = gobs.rbegin(); it != gobs.rend(); ++it) {
    const std::size_t bit = it->bit;
    if (bit <= start) break;
    if (bit > limit) continue;
    const bool aligned = bit % 8 == 0;
    if (aligned || (options_.splitAtBits && (start % 8 == 0 || bit / 8 > firstByte))) return bit;
  }
  if (!options_.splitAtBits) return limit;
  // Leave 1 to 7 bits of the last byte to the next packet.
  std::uniform_int_distribution<int> bits(1, 7);
  return limit - static_cast<std::size_t>(bits(random_));
}

}  // namespace devicesim
