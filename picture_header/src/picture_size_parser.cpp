#include "picture_size_parser.h"

#include "bit_reader.h"

namespace picture_header {
namespace {

constexpr std::uint32_t kPictureStartCode = 0x20;  // 0000 0000 0000 0000 1000 00

// Source format codes, shared by PTYPE and OPPTYPE where they overlap.
constexpr std::uint32_t kCustomFormat = 6;    // OPPTYPE only
constexpr std::uint32_t kExtendedPtype = 7;   // PTYPE only

constexpr std::uint32_t kUfepFull = 1;
constexpr std::uint32_t kLastPictureType = 5;  // EP; 110 and 111 are reserved
constexpr std::uint32_t kExtendedPar = 15;
constexpr std::uint32_t kLastTablePar = 5;
constexpr std::uint32_t kMaxHeightIndication = 288;

std::optional<PictureSize> StandardSize(std::uint32_t format) {
  switch (format) {
    case 1: return PictureSize{128, 96};     // sub-QCIF
    case 2: return PictureSize{176, 144};    // QCIF
    case 3: return PictureSize{352, 288};    // CIF
    case 4: return PictureSize{704, 576};    // 4CIF
    case 5: return PictureSize{1408, 1152};  // 16CIF
    default: return std::nullopt;
  }
}

//   0                   1                   2                   3
//   0 1 2 3 4 5 6 7 8 9 0 1 2 3 4 5 6 7 8 9 0 1 2 3 4 5 6 7 8 9
//  +-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+
//  |0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 1 0 0 0 0 0|      TR       |
//  +-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+
// PSC is byte aligned; the frame has to begin with it. TR plays no part in the size.
bool ReadStartCodeAndTemporalReference(BitReader& reader) {
  const bool startCode = reader.ReadBits(22) == kPictureStartCode;
  reader.SkipBits(8);
  return reader.Ok() && startCode;
}

// PTYPE, 13 bits, or 8 when the source format is 111:
//    1   2   3   4   5    6-8     9   10  11  12  13
//  +---+---+---+---+---+--------+---+---+---+---+---+
//  | 1 | 0 |SSI|DCI|FPR| format |I/P|UMV|SAC|AP |PB |
//  +---+---+---+---+---+--------+---+---+---+---+---+
// format: 000 forbidden, 001 sub-QCIF, 010 QCIF, 011 CIF, 100 4CIF, 101 16CIF,
// 110 reserved, 111 extended PTYPE (PLUSPTYPE follows instead of bits 9-13).
std::optional<std::uint32_t> ReadPtype(BitReader& reader) {
  const bool marker = reader.ReadBit();
  const bool h261 = reader.ReadBit();
  reader.SkipBits(3);
  const std::uint32_t format = reader.ReadBits(3);
  if (format != kExtendedPtype) reader.SkipBits(5);
  if (!reader.Ok() || !marker || h261) return std::nullopt;
  if (format != kExtendedPtype && !StandardSize(format)) return std::nullopt;
  return format;
}

// OPPTYPE, 18 bits, present when UFEP is 001:
//    1-3    4   5   6   7   8   9  10  11  12  13  14  15  16  17  18
//  +------+---+---+---+---+---+---+---+---+---+---+---+---+---+---+---+
//  |format|PCF|UMV|SAC|AP |AIC|DF |SS |RPS|ISD|AIV|MQ | 1 | 0 | 0 | 0 |
//  +------+---+---+---+---+---+---+---+---+---+---+---+---+---+---+---+
// format: 000 reserved, 001 to 101 as in PTYPE, 110 custom (CPFMT follows), 111 reserved.
std::optional<std::uint32_t> ReadOpptype(BitReader& reader) {
  const std::uint32_t format = reader.ReadBits(3);
  reader.SkipBits(11);
  const std::uint32_t fixed = reader.ReadBits(4);
  if (!reader.Ok() || fixed != 0b1000) return std::nullopt;
  if (format != kCustomFormat && !StandardSize(format)) return std::nullopt;
  return format;
}

// MPPTYPE, 9 bits:
//    1-3   4   5    6    7   8   9
//  +------+---+---+-----+---+---+---+
//  | type |RPR|RRU|RTYPE| 0 | 0 | 1 |
//  +------+---+---+-----+---+---+---+
// type: 000 I, 001 P, 010 improved PB, 011 B, 100 EI, 101 EP, 110 and 111 reserved.
bool ReadMpptype(BitReader& reader) {
  const std::uint32_t type = reader.ReadBits(3);
  reader.SkipBits(3);
  const std::uint32_t fixed = reader.ReadBits(3);
  return reader.Ok() && type <= kLastPictureType && fixed == 0b001;
}

//  +-----+------------------+
//  | CPM | PSBI (2, if CPM) |
//  +-----+------------------+
void SkipCpmAndPsbi(BitReader& reader) {
  if (reader.ReadBit()) reader.SkipBits(2);
}

// EPAR, 16 bits, present when CPFMT's PAR is 1111:
//  +-----------------+------------------+
//  | PAR width (8)   | PAR height (8)   |   neither may be 0
//  +-----------------+------------------+
bool ReadExtendedPar(BitReader& reader) {
  const std::uint32_t parWidth = reader.ReadBits(8);
  const std::uint32_t parHeight = reader.ReadBits(8);
  return reader.Ok() && parWidth != 0 && parHeight != 0;
}

// CPFMT, 23 bits, present when OPPTYPE gives the custom format:
//    1-4     5-13     14    15-23
//  +-----+----------+---+----------+
//  | PAR |   PWI    | 1 |   PHI    |
//  +-----+----------+---+----------+
// width = (PWI + 1) * 4; height = PHI * 4, PHI from 1 to 288.
// PAR: 0000 forbidden, 0001 to 0101 table values, 0110 to 1110 reserved, 1111 extended.
std::optional<PictureSize> ReadCustomFormat(BitReader& reader) {
  const std::uint32_t par = reader.ReadBits(4);
  const std::uint32_t pwi = reader.ReadBits(9);
  const bool marker = reader.ReadBit();
  const std::uint32_t phi = reader.ReadBits(9);
  if (!reader.Ok() || !marker || phi == 0 || phi > kMaxHeightIndication) return std::nullopt;
  if (par == 0 || (par > kLastTablePar && par != kExtendedPar)) return std::nullopt;
  if (par == kExtendedPar && !ReadExtendedPar(reader)) return std::nullopt;
  return PictureSize{static_cast<int>(pwi + 1) * 4, static_cast<int>(phi) * 4};
}

// PLUSPTYPE and what follows it up to the size:
//  +----------+---------------------+-------------+-----+------+-----------+-----------+
//  | UFEP (3) | OPPTYPE (18, if 001)| MPPTYPE (9) | CPM | PSBI | CPFMT (23)| EPAR (16) |
//  +----------+---------------------+-------------+-----+------+-----------+-----------+
// UFEP 000 leaves out OPPTYPE, so such a header does not carry the size; the others
// above 001 are reserved.
std::optional<PictureSize> ReadPlusPtype(BitReader& reader) {
  if (reader.ReadBits(3) != kUfepFull) return std::nullopt;
  const std::optional<std::uint32_t> format = ReadOpptype(reader);
  if (!format || !ReadMpptype(reader)) return std::nullopt;
  SkipCpmAndPsbi(reader);
  if (*format == kCustomFormat) return ReadCustomFormat(reader);
  return StandardSize(*format);
}

}  // namespace

std::optional<PictureSize> ParsePictureSize(std::span<const std::uint8_t> data) {
  BitReader reader(data);
  if (!ReadStartCodeAndTemporalReference(reader)) return std::nullopt;
  const std::optional<std::uint32_t> format = ReadPtype(reader);
  if (!format) return std::nullopt;
  const std::optional<PictureSize> size =
      *format == kExtendedPtype ? ReadPlusPtype(reader) : StandardSize(*format);
  if (!reader.Ok()) return std::nullopt;
  return size;
}

}  // namespace picture_header
