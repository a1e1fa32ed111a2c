#include "picture_header/parse_mpeg_header.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "picture_test_support.h"

namespace {

using picture_test::Parse;
using picture_test::ParseResult;
using picture_test::SetBits;

// Each header below ends with the byte that holds the last bit the parser needs; the bits
// after it in that byte belong to the next field.

// sub-QCIF, INTRA, TR 0.
const std::uint8_t kSubQcifIntra[] = {
    0x00,  // PSC 0000 0000
    0x00,  // PSC 0000 0000
    0x80,  // PSC 1000 00 | TR 00
    0x02,  // TR 0000 00 | PTYPE marker 1, H.263 0
    0x04,  // PTYPE split 0, document 0, freeze 0, format 001 (sub-QCIF), INTRA 0, UMV 0
    0x08,  // PTYPE SAC 0, AP 0, PB 0 | PQUANT 01000
};

// 16CIF, INTRA, TR 42.
const std::uint8_t k16CifIntra[] = {
    0x00,  // PSC 0000 0000
    0x00,  // PSC 0000 0000
    0x80,  // PSC 1000 00 | TR 00
    0xAA,  // TR 1010 10 | PTYPE marker 1, H.263 0
    0x14,  // PTYPE split 0, document 0, freeze 0, format 101 (16CIF), INTRA 0, UMV 0
    0x08,  // PTYPE SAC 0, AP 0, PB 0 | PQUANT 01000
};

// CIF, INTER, TR 7.
const std::uint8_t kCifInter[] = {
    0x00,  // PSC 0000 0000
    0x00,  // PSC 0000 0000
    0x80,  // PSC 1000 00 | TR 00
    0x1E,  // TR 0001 11 | PTYPE marker 1, H.263 0
    0x0E,  // PTYPE split 0, document 0, freeze 0, format 011 (CIF), INTER 1, UMV 0
    0x08,  // PTYPE SAC 0, AP 0, PB 0 | PQUANT 01000
};

// Extended PTYPE with the standard format QCIF, I picture.
const std::uint8_t kPlusQcifIntra[] = {
    0x00,  // PSC 0000 0000
    0x00,  // PSC 0000 0000
    0x80,  // PSC 1000 00 | TR 00
    0x02,  // TR 0000 00 | PTYPE marker 1, H.263 0
    0x1C,  // PTYPE split 0, document 0, freeze 0, format 111 (extended) | UFEP 00
    0xA0,  // UFEP 1 | OPPTYPE format 010 (QCIF), PCF 0, UMV 0, SAC 0, AP 0
    0x01,  // OPPTYPE AIC 0, DF 0, SS 0, RPS 0, ISD 0, AIV 0, MQ 0, fixed 1
    0x00,  // OPPTYPE fixed 000 | MPPTYPE type 000 (I), RPR 0, RRU 0
    0x10,  // MPPTYPE RTYPE 0, fixed 001 | CPM 0 | CPFMT absent, PQUANT 000
};

// Extended PTYPE, custom format 704x288, PAR 0010 (12:11), I picture.
const std::uint8_t kCustom704x288[] = {
    0x00,  // PSC 0000 0000
    0x00,  // PSC 0000 0000
    0x80,  // PSC 1000 00 | TR 00
    0x02,  // TR 0000 00 | PTYPE marker 1, H.263 0
    0x1C,  // PTYPE split 0, document 0, freeze 0, format 111 (extended) | UFEP 00
    0xE0,  // UFEP 1 | OPPTYPE format 110 (custom), PCF 0, UMV 0, SAC 0, AP 0
    0x01,  // OPPTYPE AIC 0, DF 0, SS 0, RPS 0, ISD 0, AIV 0, MQ 0, fixed 1
    0x00,  // OPPTYPE fixed 000 | MPPTYPE type 000 (I), RPR 0, RRU 0
    0x11,  // MPPTYPE RTYPE 0, fixed 001 | CPM 0 | CPFMT PAR 001
    0x2B,  // CPFMT PAR 0 | PWI 0101 011
    0xE4,  // CPFMT PWI 11 (175: 704 pixels), marker 1 | PHI 0010 0
    0x80,  // CPFMT PHI 1000 (72: 288 lines) | next field 0000
};

// Extended PTYPE, custom format 640x480, PAR 1111 with EPAR 6:11, I picture.
const std::uint8_t kCustomExtendedPar[] = {
    0x00,  // PSC 0000 0000
    0x00,  // PSC 0000 0000
    0x80,  // PSC 1000 00 | TR 00
    0x02,  // TR 0000 00 | PTYPE marker 1, H.263 0
    0x1C,  // PTYPE split 0, document 0, freeze 0, format 111 (extended) | UFEP 00
    0xE0,  // UFEP 1 | OPPTYPE format 110 (custom), PCF 0, UMV 0, SAC 0, AP 0
    0x01,  // OPPTYPE AIC 0, DF 0, SS 0, RPS 0, ISD 0, AIV 0, MQ 0, fixed 1
    0x00,  // OPPTYPE fixed 000 | MPPTYPE type 000 (I), RPR 0, RRU 0
    0x17,  // MPPTYPE RTYPE 0, fixed 001 | CPM 0 | CPFMT PAR 111
    0xA7,  // CPFMT PAR 1 (extended) | PWI 0100 111
    0xE7,  // CPFMT PWI 11 (159: 640 pixels), marker 1 | PHI 0011 1
    0x80,  // CPFMT PHI 1000 (120: 480 lines) | EPAR width 0000
    0x60,  // EPAR width 0110 (6) | height 0000
    0xB0,  // EPAR height 1011 (11) | next field 0000
};

// Extended PTYPE with CPM 1, so PSBI sits before CPFMT: custom 352x240, PAR 0011.
const std::uint8_t kCustomWithPsbi[] = {
    0x00,  // PSC 0000 0000
    0x00,  // PSC 0000 0000
    0x80,  // PSC 1000 00 | TR 00
    0x02,  // TR 0000 00 | PTYPE marker 1, H.263 0
    0x1C,  // PTYPE split 0, document 0, freeze 0, format 111 (extended) | UFEP 00
    0xE0,  // UFEP 1 | OPPTYPE format 110 (custom), PCF 0, UMV 0, SAC 0, AP 0
    0x01,  // OPPTYPE AIC 0, DF 0, SS 0, RPS 0, ISD 0, AIV 0, MQ 0, fixed 1
    0x00,  // OPPTYPE fixed 000 | MPPTYPE type 000 (I), RPR 0, RRU 0
    0x1C,  // MPPTYPE RTYPE 0, fixed 001 | CPM 1 | PSBI 10 | CPFMT PAR 0
    0x65,  // CPFMT PAR 011 | PWI 0010 1
    0x78,  // CPFMT PWI 0111 (87: 352 pixels), marker 1 | PHI 000
    0xF0,  // CPFMT PHI 1111 00 (60: 240 lines) | next field 00
};

// Bit offsets of fields in the headers above (PSC starts at bit 0).
constexpr std::size_t kPtypeMarkerBit = 30;
constexpr std::size_t kPtypeH263Bit = 31;
constexpr std::size_t kPtypeFormatBit = 35;     // 3 bits
constexpr std::size_t kUfepBit = 38;            // 3 bits
constexpr std::size_t kOpptypeFormatBit = 41;   // 3 bits
constexpr std::size_t kOpptypeFixedBit = 55;    // 4 bits, 1000
constexpr std::size_t kMpptypeTypeBit = 59;     // 3 bits
constexpr std::size_t kMpptypeFixedBit = 65;    // 3 bits, 001
constexpr std::size_t kParBit = 69;             // 4 bits, when CPM is 0
constexpr std::size_t kPwiBit = 73;             // 9 bits
constexpr std::size_t kCpfmtMarkerBit = 82;
constexpr std::size_t kPhiBit = 83;             // 9 bits
constexpr std::size_t kEparWidthBit = 92;       // 8 bits
constexpr std::size_t kEparHeightBit = 100;     // 8 bits

template <std::size_t N>
std::vector<std::uint8_t> Bytes(const std::uint8_t (&header)[N]) {
  return std::vector<std::uint8_t>(header, header + N);
}

ParseResult ParseBytes(const std::vector<std::uint8_t>& bytes) { return Parse(bytes); }

MATCHER_P2(GivesSize, width, height, "") {
  return arg.status > 0 && arg.width == width && arg.height == height;
}

MATCHER(GivesNoSize, "") { return arg.status == 0 && arg.width == -1 && arg.height == -1; }

// --- sizes from well-formed headers ---

TEST(ParseMpegHeader, GivesSubQcifSize) {
  EXPECT_THAT(Parse(kSubQcifIntra), GivesSize(128, 96));
}

TEST(ParseMpegHeader, Gives16CifSize) {
  EXPECT_THAT(Parse(k16CifIntra), GivesSize(1408, 1152));
}

TEST(ParseMpegHeader, GivesEveryStandardSizeFromPtype) {
  const int sizes[][2] = {{128, 96}, {176, 144}, {352, 288}, {704, 576}, {1408, 1152}};
  for (std::uint32_t format = 1; format <= 5; ++format) {
    std::vector<std::uint8_t> header = Bytes(kSubQcifIntra);
    SetBits(header, kPtypeFormatBit, 3, format);
    EXPECT_THAT(ParseBytes(header), GivesSize(sizes[format - 1][0], sizes[format - 1][1]))
        << "format " << format;
  }
}

TEST(ParseMpegHeader, GivesSizeOfAnInterPicture) {
  EXPECT_THAT(Parse(kCifInter), GivesSize(352, 288));
}

TEST(ParseMpegHeader, GivesStandardSizeFromExtendedPtype) {
  EXPECT_THAT(Parse(kPlusQcifIntra), GivesSize(176, 144));
}

TEST(ParseMpegHeader, GivesEveryStandardSizeFromExtendedPtype) {
  const int sizes[][2] = {{128, 96}, {176, 144}, {352, 288}, {704, 576}, {1408, 1152}};
  for (std::uint32_t format = 1; format <= 5; ++format) {
    std::vector<std::uint8_t> header = Bytes(kPlusQcifIntra);
    SetBits(header, kOpptypeFormatBit, 3, format);
    EXPECT_THAT(ParseBytes(header), GivesSize(sizes[format - 1][0], sizes[format - 1][1]))
        << "format " << format;
  }
}

TEST(ParseMpegHeader, GivesCustomSize) {
  EXPECT_THAT(Parse(kCustom704x288), GivesSize(704, 288));
}

TEST(ParseMpegHeader, GivesCustomSizeWithExtendedPar) {
  EXPECT_THAT(Parse(kCustomExtendedPar), GivesSize(640, 480));
}

TEST(ParseMpegHeader, SkipsPsbiBeforeCustomFormat) {
  EXPECT_THAT(Parse(kCustomWithPsbi), GivesSize(352, 240));
}

TEST(ParseMpegHeader, GivesLargestCustomSize) {
  std::vector<std::uint8_t> header = Bytes(kCustom704x288);
  SetBits(header, kPwiBit, 9, 511);
  SetBits(header, kPhiBit, 9, 288);
  EXPECT_THAT(ParseBytes(header), GivesSize(2048, 1152));
}

TEST(ParseMpegHeader, GivesSmallestCustomSize) {
  std::vector<std::uint8_t> header = Bytes(kCustom704x288);
  SetBits(header, kPwiBit, 9, 0);
  SetBits(header, kPhiBit, 9, 1);
  EXPECT_THAT(ParseBytes(header), GivesSize(4, 4));
}

TEST(ParseMpegHeader, AcceptsEveryTablePixelAspectRatio) {
  for (std::uint32_t par = 1; par <= 5; ++par) {
    std::vector<std::uint8_t> header = Bytes(kCustom704x288);
    SetBits(header, kParBit, 4, par);
    EXPECT_THAT(ParseBytes(header), GivesSize(704, 288)) << "PAR " << par;
  }
}

TEST(ParseMpegHeader, AcceptsEveryPictureTypeInMpptype) {
  for (std::uint32_t type = 0; type <= 5; ++type) {
    std::vector<std::uint8_t> header = Bytes(kCustom704x288);
    SetBits(header, kMpptypeTypeBit, 3, type);
    EXPECT_THAT(ParseBytes(header), GivesSize(704, 288)) << "type " << type;
  }
}

TEST(ParseMpegHeader, IgnoresThePictureDataAfterTheHeader) {
  std::vector<std::uint8_t> frame = Bytes(kCustomExtendedPar);
  frame.resize(5000, 0xA5);
  EXPECT_THAT(ParseBytes(frame), GivesSize(640, 480));
}

// --- truncation ---

TEST(ParseMpegHeader, EveryTruncationOfAValidHeaderGivesZero) {
  const std::vector<std::vector<std::uint8_t>> headers = {
      Bytes(kSubQcifIntra),  Bytes(k16CifIntra),        Bytes(kCifInter),
      Bytes(kPlusQcifIntra), Bytes(kCustom704x288),     Bytes(kCustomExtendedPar),
      Bytes(kCustomWithPsbi)};
  for (const std::vector<std::uint8_t>& header : headers) {
    ASSERT_GT(ParseBytes(header).status, 0);
    for (std::size_t length = 0; length < header.size(); ++length) {
      EXPECT_THAT(Parse(std::span(header).first(length)), GivesNoSize())
          << "header of " << header.size() << " bytes cut to " << length;
    }
  }
}

// --- arguments ---

TEST(ParseMpegHeader, NullDataGivesZero) {
  int width = -1;
  int height = -1;
  EXPECT_EQ(ParseMpegHeader(nullptr, 100, &width, &height), 0);
  EXPECT_EQ(width, -1);
  EXPECT_EQ(height, -1);
}

TEST(ParseMpegHeader, NegativeLengthGivesZero) {
  int width = -1;
  int height = -1;
  EXPECT_EQ(ParseMpegHeader(kSubQcifIntra, -1, &width, &height), 0);
  EXPECT_EQ(ParseMpegHeader(kSubQcifIntra, -2147483647 - 1, &width, &height), 0);
  EXPECT_EQ(width, -1);
  EXPECT_EQ(height, -1);
}

TEST(ParseMpegHeader, ZeroLengthGivesZero) {
  int width = -1;
  int height = -1;
  EXPECT_EQ(ParseMpegHeader(kSubQcifIntra, 0, &width, &height), 0);
  EXPECT_EQ(width, -1);
}

TEST(ParseMpegHeader, NullWidthGivesZeroAndLeavesHeightAlone) {
  int height = -1;
  EXPECT_EQ(ParseMpegHeader(kSubQcifIntra, sizeof(kSubQcifIntra), nullptr, &height), 0);
  EXPECT_EQ(height, -1);
}

TEST(ParseMpegHeader, NullHeightGivesZeroAndLeavesWidthAlone) {
  int width = -1;
  EXPECT_EQ(ParseMpegHeader(kSubQcifIntra, sizeof(kSubQcifIntra), &width, nullptr), 0);
  EXPECT_EQ(width, -1);
}

// --- start code ---

TEST(ParseMpegHeader, GroupStartCodeIsNotAPictureStartCode) {
  std::vector<std::uint8_t> header = Bytes(kSubQcifIntra);
  header[2] = 0x84;  // 0000 0000 0000 0000 1 00001: GBSC with group number 1
  EXPECT_THAT(ParseBytes(header), GivesNoSize());
}

TEST(ParseMpegHeader, WrongStartCodeGivesZero) {
  for (const std::size_t bit : {0u, 7u, 15u, 16u, 17u, 21u}) {
    std::vector<std::uint8_t> header = Bytes(kSubQcifIntra);
    header[bit / 8] ^= static_cast<std::uint8_t>(0x80u >> (bit % 8));
    EXPECT_THAT(ParseBytes(header), GivesNoSize()) << "bit " << bit << " flipped";
  }
}

TEST(ParseMpegHeader, StartCodeAfterTheFirstByteGivesZero) {
  std::vector<std::uint8_t> frame = {0x00};
  frame.insert(frame.end(), std::begin(kSubQcifIntra), std::end(kSubQcifIntra));
  EXPECT_THAT(ParseBytes(frame), GivesNoSize());
}

// --- PTYPE ---

TEST(ParseMpegHeader, ForbiddenSourceFormatGivesZero) {
  const std::uint8_t header[] = {
      0x00,  // PSC 0000 0000
      0x00,  // PSC 0000 0000
      0x80,  // PSC 1000 00 | TR 00
      0x02,  // TR 0000 00 | PTYPE marker 1, H.263 0
      0x00,  // PTYPE split 0, document 0, freeze 0, format 000 (forbidden), INTRA 0, UMV 0
      0x08,  // PTYPE SAC 0, AP 0, PB 0 | PQUANT 01000
  };
  EXPECT_THAT(Parse(header), GivesNoSize());
}

TEST(ParseMpegHeader, ReservedSourceFormatInPtypeGivesZero) {
  std::vector<std::uint8_t> header = Bytes(kSubQcifIntra);
  SetBits(header, kPtypeFormatBit, 3, 0b110);
  EXPECT_THAT(ParseBytes(header), GivesNoSize());
}

TEST(ParseMpegHeader, PtypeWithoutItsMarkerBitGivesZero) {
  std::vector<std::uint8_t> header = Bytes(kSubQcifIntra);
  SetBits(header, kPtypeMarkerBit, 1, 0);
  EXPECT_THAT(ParseBytes(header), GivesNoSize());
}

TEST(ParseMpegHeader, PtypeWithH261BitGivesZero) {
  std::vector<std::uint8_t> header = Bytes(kSubQcifIntra);
  SetBits(header, kPtypeH263Bit, 1, 1);
  EXPECT_THAT(ParseBytes(header), GivesNoSize());
}

// --- PLUSPTYPE ---

TEST(ParseMpegHeader, ExtendedPtypeWithReservedSourceFormat0GivesZero) {
  const std::uint8_t header[] = {
      0x00,  // PSC 0000 0000
      0x00,  // PSC 0000 0000
      0x80,  // PSC 1000 00 | TR 00
      0x02,  // TR 0000 00 | PTYPE marker 1, H.263 0
      0x1C,  // PTYPE split 0, document 0, freeze 0, format 111 (extended) | UFEP 00
      0x80,  // UFEP 1 | OPPTYPE format 000 (reserved), PCF 0, UMV 0, SAC 0, AP 0
      0x01,  // OPPTYPE AIC 0, DF 0, SS 0, RPS 0, ISD 0, AIV 0, MQ 0, fixed 1
      0x00,  // OPPTYPE fixed 000 | MPPTYPE type 000 (I), RPR 0, RRU 0
      0x10,  // MPPTYPE RTYPE 0, fixed 001 | CPM 0 | PQUANT 000
  };
  EXPECT_THAT(Parse(header), GivesNoSize());
}

TEST(ParseMpegHeader, ExtendedPtypeWithReservedSourceFormat7GivesZero) {
  const std::uint8_t header[] = {
      0x00,  // PSC 0000 0000
      0x00,  // PSC 0000 0000
      0x80,  // PSC 1000 00 | TR 00
      0x02,  // TR 0000 00 | PTYPE marker 1, H.263 0
      0x1C,  // PTYPE split 0, document 0, freeze 0, format 111 (extended) | UFEP 00
      0xF0,  // UFEP 1 | OPPTYPE format 111 (reserved), PCF 0, UMV 0, SAC 0, AP 0
      0x01,  // OPPTYPE AIC 0, DF 0, SS 0, RPS 0, ISD 0, AIV 0, MQ 0, fixed 1
      0x00,  // OPPTYPE fixed 000 | MPPTYPE type 000 (I), RPR 0, RRU 0
      0x10,  // MPPTYPE RTYPE 0, fixed 001 | CPM 0 | PQUANT 000
  };
  EXPECT_THAT(Parse(header), GivesNoSize());
}

TEST(ParseMpegHeader, ExtendedPtypeWithoutFullUpdateGivesZero) {
  // UFEP 000 leaves OPPTYPE out: the size was given by an earlier picture, not this one.
  const std::uint8_t header[] = {
      0x00,  // PSC 0000 0000
      0x00,  // PSC 0000 0000
      0x80,  // PSC 1000 00 | TR 00
      0x02,  // TR 0000 00 | PTYPE marker 1, H.263 0
      0x1C,  // PTYPE split 0, document 0, freeze 0, format 111 (extended) | UFEP 00
      0x10,  // UFEP 0 | MPPTYPE type 001 (P), RPR 0, RRU 0, RTYPE 0, fixed 0
      0x40,  // MPPTYPE fixed 01 | CPM 0 | PQUANT 00000
  };
  EXPECT_THAT(Parse(header), GivesNoSize());
}

TEST(ParseMpegHeader, ReservedUfepValuesGiveZero) {
  for (std::uint32_t ufep = 2; ufep <= 7; ++ufep) {
    std::vector<std::uint8_t> header = Bytes(kPlusQcifIntra);
    SetBits(header, kUfepBit, 3, ufep);
    EXPECT_THAT(ParseBytes(header), GivesNoSize()) << "UFEP " << ufep;
  }
}

TEST(ParseMpegHeader, WrongFixedBitsInOpptypeGiveZero) {
  for (std::size_t bit = kOpptypeFixedBit; bit < kOpptypeFixedBit + 4; ++bit) {
    std::vector<std::uint8_t> header = Bytes(kPlusQcifIntra);
    header[bit / 8] ^= static_cast<std::uint8_t>(0x80u >> (bit % 8));
    EXPECT_THAT(ParseBytes(header), GivesNoSize()) << "bit " << bit << " flipped";
  }
}

TEST(ParseMpegHeader, WrongFixedBitsInMpptypeGiveZero) {
  for (std::size_t bit = kMpptypeFixedBit; bit < kMpptypeFixedBit + 3; ++bit) {
    std::vector<std::uint8_t> header = Bytes(kPlusQcifIntra);
    header[bit / 8] ^= static_cast<std::uint8_t>(0x80u >> (bit % 8));
    EXPECT_THAT(ParseBytes(header), GivesNoSize()) << "bit " << bit << " flipped";
  }
}

TEST(ParseMpegHeader, ReservedPictureTypesGiveZero) {
  for (std::uint32_t type : {6u, 7u}) {
    std::vector<std::uint8_t> header = Bytes(kPlusQcifIntra);
    SetBits(header, kMpptypeTypeBit, 3, type);
    EXPECT_THAT(ParseBytes(header), GivesNoSize()) << "type " << type;
  }
}

// --- CPFMT and EPAR ---

TEST(ParseMpegHeader, ForbiddenPixelAspectRatioGivesZero) {
  std::vector<std::uint8_t> header = Bytes(kCustom704x288);
  SetBits(header, kParBit, 4, 0);
  EXPECT_THAT(ParseBytes(header), GivesNoSize());
}

TEST(ParseMpegHeader, ReservedPixelAspectRatiosGiveZero) {
  for (std::uint32_t par = 6; par <= 14; ++par) {
    std::vector<std::uint8_t> header = Bytes(kCustom704x288);
    SetBits(header, kParBit, 4, par);
    EXPECT_THAT(ParseBytes(header), GivesNoSize()) << "PAR " << par;
  }
}

TEST(ParseMpegHeader, CustomFormatWithoutItsMarkerBitGivesZero) {
  std::vector<std::uint8_t> header = Bytes(kCustom704x288);
  SetBits(header, kCpfmtMarkerBit, 1, 0);
  EXPECT_THAT(ParseBytes(header), GivesNoSize());
}

TEST(ParseMpegHeader, HeightIndicationZeroGivesZero) {
  std::vector<std::uint8_t> header = Bytes(kCustom704x288);
  SetBits(header, kPhiBit, 9, 0);
  EXPECT_THAT(ParseBytes(header), GivesNoSize());
}

TEST(ParseMpegHeader, HeightIndicationAbove288GivesZero) {
  std::vector<std::uint8_t> header = Bytes(kCustom704x288);
  SetBits(header, kPhiBit, 9, 289);
  EXPECT_THAT(ParseBytes(header), GivesNoSize());
}

TEST(ParseMpegHeader, ZeroExtendedParWidthGivesZero) {
  std::vector<std::uint8_t> header = Bytes(kCustomExtendedPar);
  SetBits(header, kEparWidthBit, 8, 0);
  EXPECT_THAT(ParseBytes(header), GivesNoSize());
}

TEST(ParseMpegHeader, ZeroExtendedParHeightGivesZero) {
  std::vector<std::uint8_t> header = Bytes(kCustomExtendedPar);
  SetBits(header, kEparHeightBit, 8, 0);
  EXPECT_THAT(ParseBytes(header), GivesNoSize());
}

// --- garbage ---

TEST(ParseMpegHeader, TextGivesZero) {
  const std::string text = "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
  EXPECT_THAT(Parse(std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size())),
              GivesNoSize());
}

TEST(ParseMpegHeader, AllZeroBytesGiveZero) {
  EXPECT_THAT(ParseBytes(std::vector<std::uint8_t>(64, 0x00)), GivesNoSize());
}

TEST(ParseMpegHeader, AllOneBytesGiveZero) {
  EXPECT_THAT(ParseBytes(std::vector<std::uint8_t>(64, 0xFF)), GivesNoSize());
}

TEST(ParseMpegHeader, RandomBytesAfterAStartCodeNeverGiveAnImpossibleSize) {
  // Past the start code anything may follow; what comes back must still be a size a
  // header can state, and a picture can only be that large.
  std::mt19937 random(263);
  std::uniform_int_distribution<int> byte(0, 255);
  std::uniform_int_distribution<int> length(3, 24);
  int accepted = 0;
  for (int round = 0; round < 20000; ++round) {
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(length(random)));
    for (std::uint8_t& b : bytes) b = static_cast<std::uint8_t>(byte(random));
    bytes[0] = 0x00;
    bytes[1] = 0x00;
    bytes[2] = static_cast<std::uint8_t>(0x80 | (bytes[2] & 0x03));
    const ParseResult result = ParseBytes(bytes);
    if (result.status == 0) {
      EXPECT_THAT(result, GivesNoSize());
      continue;
    }
    ++accepted;
    EXPECT_EQ(result.status, 1);
    EXPECT_TRUE(result.width >= 4 && result.width <= 2048 && result.width % 4 == 0)
        << result.width;
    EXPECT_TRUE(result.height >= 4 && result.height <= 1152 && result.height % 4 == 0)
        << result.height;
  }
  // Random PTYPEs name a standard format often enough that this run must have seen some.
  EXPECT_GT(accepted, 0);
}

}  // namespace
