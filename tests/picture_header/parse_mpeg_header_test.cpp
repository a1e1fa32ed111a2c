#include "picture_header/parse_mpeg_header.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <limits>
#include <ostream>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "picture_test_support.h"

namespace {

using picture_test::Parse;
using picture_test::ParseResult;
using picture_test::SetBits;
using testing::ValuesIn;

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

// PTYPE with the forbidden source format 000.
const std::uint8_t kForbiddenSourceFormat[] = {
    0x00,  // PSC 0000 0000
    0x00,  // PSC 0000 0000
    0x80,  // PSC 1000 00 | TR 00
    0x02,  // TR 0000 00 | PTYPE marker 1, H.263 0
    0x00,  // PTYPE split 0, document 0, freeze 0, format 000 (forbidden), INTRA 0, UMV 0
    0x08,  // PTYPE SAC 0, AP 0, PB 0 | PQUANT 01000
};

// Extended PTYPE naming the reserved source format 000.
const std::uint8_t kPlusReservedFormat0[] = {
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

// Extended PTYPE naming the reserved source format 111.
const std::uint8_t kPlusReservedFormat7[] = {
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

// Extended PTYPE with UFEP 000, which leaves OPPTYPE out: the size was given by an earlier
// picture, not this one.
const std::uint8_t kPlusWithoutFullUpdate[] = {
    0x00,  // PSC 0000 0000
    0x00,  // PSC 0000 0000
    0x80,  // PSC 1000 00 | TR 00
    0x02,  // TR 0000 00 | PTYPE marker 1, H.263 0
    0x1C,  // PTYPE split 0, document 0, freeze 0, format 111 (extended) | UFEP 00
    0x10,  // UFEP 0 | MPPTYPE type 001 (P), RPR 0, RRU 0, RTYPE 0, fixed 0
    0x40,  // MPPTYPE fixed 01 | CPM 0 | PQUANT 00000
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

// A value written over one field of a header.
struct Field {
  std::size_t first;
  int count;
  std::uint32_t value;
};

template <std::size_t N>
std::vector<std::uint8_t> With(const std::uint8_t (&header)[N], std::initializer_list<Field> fields) {
  std::vector<std::uint8_t> bytes = Bytes(header);
  for (const Field& field : fields) SetBits(bytes, field.first, field.count, field.value);
  return bytes;
}

template <std::size_t N>
std::vector<std::uint8_t> WithBitFlipped(const std::uint8_t (&header)[N], std::size_t bit) {
  std::vector<std::uint8_t> bytes = Bytes(header);
  bytes[bit / 8] ^= static_cast<std::uint8_t>(0x80u >> (bit % 8));
  return bytes;
}

template <std::size_t N>
std::vector<std::uint8_t> WithPictureData(const std::uint8_t (&header)[N], std::size_t frameSize) {
  std::vector<std::uint8_t> frame = Bytes(header);
  frame.resize(frameSize, 0xA5);
  return frame;
}

std::vector<std::uint8_t> TextBytes(const std::string& text) {
  return std::vector<std::uint8_t>(text.begin(), text.end());
}

MATCHER_P2(GivesSize, width, height, "") {
  return arg.status > 0 && arg.width == width && arg.height == height;
}

MATCHER(GivesNoSize, "") { return arg.status == 0 && arg.width == -1 && arg.height == -1; }

// One row of a table: the behaviour it names and the bytes handed to the parser.
struct HeaderRow {
  const char* name;
  std::vector<std::uint8_t> bytes;
};

struct SizeRow {
  const char* name;
  std::vector<std::uint8_t> bytes;
  int width;
  int height;
};

void PrintTo(const HeaderRow& row, std::ostream* out) {
  *out << row.name << " (" << row.bytes.size() << " bytes)";
}
void PrintTo(const SizeRow& row, std::ostream* out) {
  *out << row.name << " (" << row.bytes.size() << " bytes, " << row.width << "x" << row.height << ")";
}

template <typename Row>
std::string RowName(const testing::TestParamInfo<Row>& info) {
  return info.param.name;
}

// --- sizes from well-formed headers ---

class ParseMpegHeaderSize : public testing::TestWithParam<SizeRow> {};

TEST_P(ParseMpegHeaderSize, GivesTheSizeTheHeaderStates) {
  EXPECT_THAT(Parse(GetParam().bytes), GivesSize(GetParam().width, GetParam().height));
}

const SizeRow kPtypeSizes[] = {
    {"SubQcifIntraPicture", Bytes(kSubQcifIntra), 128, 96},
    {"SixteenCifIntraPicture", Bytes(k16CifIntra), 1408, 1152},
    {"CifInterPicture", Bytes(kCifInter), 352, 288},
    {"Format1SubQcif", With(kSubQcifIntra, {{kPtypeFormatBit, 3, 1}}), 128, 96},
    {"Format2Qcif", With(kSubQcifIntra, {{kPtypeFormatBit, 3, 2}}), 176, 144},
    {"Format3Cif", With(kSubQcifIntra, {{kPtypeFormatBit, 3, 3}}), 352, 288},
    {"Format4FourCif", With(kSubQcifIntra, {{kPtypeFormatBit, 3, 4}}), 704, 576},
    {"Format5SixteenCif", With(kSubQcifIntra, {{kPtypeFormatBit, 3, 5}}), 1408, 1152},
};
INSTANTIATE_TEST_SUITE_P(Ptype, ParseMpegHeaderSize, ValuesIn(kPtypeSizes), RowName<SizeRow>);

const SizeRow kExtendedPtypeSizes[] = {
    {"QcifIntraPicture", Bytes(kPlusQcifIntra), 176, 144},
    {"Format1SubQcif", With(kPlusQcifIntra, {{kOpptypeFormatBit, 3, 1}}), 128, 96},
    {"Format2Qcif", With(kPlusQcifIntra, {{kOpptypeFormatBit, 3, 2}}), 176, 144},
    {"Format3Cif", With(kPlusQcifIntra, {{kOpptypeFormatBit, 3, 3}}), 352, 288},
    {"Format4FourCif", With(kPlusQcifIntra, {{kOpptypeFormatBit, 3, 4}}), 704, 576},
    {"Format5SixteenCif", With(kPlusQcifIntra, {{kOpptypeFormatBit, 3, 5}}), 1408, 1152},
};
INSTANTIATE_TEST_SUITE_P(ExtendedPtype, ParseMpegHeaderSize, ValuesIn(kExtendedPtypeSizes),
                         RowName<SizeRow>);

const SizeRow kCustomSizes[] = {
    {"Custom704x288", Bytes(kCustom704x288), 704, 288},
    {"ExtendedPixelAspectRatio", Bytes(kCustomExtendedPar), 640, 480},
    {"PsbiSkippedBeforeCustomFormat", Bytes(kCustomWithPsbi), 352, 240},
    {"LargestCustomSize", With(kCustom704x288, {{kPwiBit, 9, 511}, {kPhiBit, 9, 288}}), 2048, 1152},
    {"SmallestCustomSize", With(kCustom704x288, {{kPwiBit, 9, 0}, {kPhiBit, 9, 1}}), 4, 4},
    {"TablePixelAspectRatio1", With(kCustom704x288, {{kParBit, 4, 1}}), 704, 288},
    {"TablePixelAspectRatio2", With(kCustom704x288, {{kParBit, 4, 2}}), 704, 288},
    {"TablePixelAspectRatio3", With(kCustom704x288, {{kParBit, 4, 3}}), 704, 288},
    {"TablePixelAspectRatio4", With(kCustom704x288, {{kParBit, 4, 4}}), 704, 288},
    {"TablePixelAspectRatio5", With(kCustom704x288, {{kParBit, 4, 5}}), 704, 288},
    {"MpptypeIPicture", With(kCustom704x288, {{kMpptypeTypeBit, 3, 0}}), 704, 288},
    {"MpptypePPicture", With(kCustom704x288, {{kMpptypeTypeBit, 3, 1}}), 704, 288},
    {"MpptypeImprovedPbFrame", With(kCustom704x288, {{kMpptypeTypeBit, 3, 2}}), 704, 288},
    {"MpptypeBPicture", With(kCustom704x288, {{kMpptypeTypeBit, 3, 3}}), 704, 288},
    {"MpptypeEiPicture", With(kCustom704x288, {{kMpptypeTypeBit, 3, 4}}), 704, 288},
    {"MpptypeEpPicture", With(kCustom704x288, {{kMpptypeTypeBit, 3, 5}}), 704, 288},
    {"PictureDataAfterTheHeaderIgnored", WithPictureData(kCustomExtendedPar, 5000), 640, 480},
};
INSTANTIATE_TEST_SUITE_P(CustomFormat, ParseMpegHeaderSize, ValuesIn(kCustomSizes),
                         RowName<SizeRow>);

// --- truncation ---

class ParseMpegHeaderTruncation : public testing::TestWithParam<HeaderRow> {};

TEST_P(ParseMpegHeaderTruncation, EveryCutOfTheHeaderGivesZero) {
  const std::vector<std::uint8_t>& header = GetParam().bytes;
  ASSERT_GT(Parse(header).status, 0);
  for (std::size_t length = 0; length < header.size(); ++length) {
    EXPECT_THAT(Parse(std::span(header).first(length)), GivesNoSize())
        << "header of " << header.size() << " bytes cut to " << length;
  }
}

const HeaderRow kValidHeaders[] = {
    {"SubQcifIntra", Bytes(kSubQcifIntra)},
    {"SixteenCifIntra", Bytes(k16CifIntra)},
    {"CifInter", Bytes(kCifInter)},
    {"ExtendedQcifIntra", Bytes(kPlusQcifIntra)},
    {"Custom704x288", Bytes(kCustom704x288)},
    {"CustomExtendedPar", Bytes(kCustomExtendedPar)},
    {"CustomWithPsbi", Bytes(kCustomWithPsbi)},
};
INSTANTIATE_TEST_SUITE_P(ValidHeaders, ParseMpegHeaderTruncation, ValuesIn(kValidHeaders),
                         RowName<HeaderRow>);

// --- arguments ---

struct ArgumentRow {
  const char* name;
  const std::uint8_t* data;
  int length;
  bool passWidth;
  bool passHeight;
};

void PrintTo(const ArgumentRow& row, std::ostream* out) { *out << row.name; }

class ParseMpegHeaderArguments : public testing::TestWithParam<ArgumentRow> {};

TEST_P(ParseMpegHeaderArguments, GiveZeroAndLeaveTheOutputsAlone) {
  const ArgumentRow& row = GetParam();
  int width = -1;
  int height = -1;
  EXPECT_EQ(ParseMpegHeader(row.data, row.length, row.passWidth ? &width : nullptr,
                            row.passHeight ? &height : nullptr),
            0);
  EXPECT_EQ(width, -1);
  EXPECT_EQ(height, -1);
}

const ArgumentRow kRefusedArguments[] = {
    {"NullData", nullptr, 100, true, true},
    {"MinusOneLength", kSubQcifIntra, -1, true, true},
    {"MostNegativeLength", kSubQcifIntra, std::numeric_limits<int>::min(), true, true},
    {"ZeroLength", kSubQcifIntra, 0, true, true},
    {"NullWidth", kSubQcifIntra, sizeof(kSubQcifIntra), false, true},
    {"NullHeight", kSubQcifIntra, sizeof(kSubQcifIntra), true, false},
};
INSTANTIATE_TEST_SUITE_P(Refused, ParseMpegHeaderArguments, ValuesIn(kRefusedArguments),
                         RowName<ArgumentRow>);

// --- headers that state no size ---

class ParseMpegHeaderRejects : public testing::TestWithParam<HeaderRow> {};

TEST_P(ParseMpegHeaderRejects, GivesZero) { EXPECT_THAT(Parse(GetParam().bytes), GivesNoSize()); }

std::vector<std::uint8_t> GroupStartCode() {
  std::vector<std::uint8_t> header = Bytes(kSubQcifIntra);
  header[2] = 0x84;  // 0000 0000 0000 0000 1 00001: GBSC with group number 1
  return header;
}

std::vector<std::uint8_t> StartCodeAfterTheFirstByte() {
  std::vector<std::uint8_t> frame = {0x00};
  frame.insert(frame.end(), std::begin(kSubQcifIntra), std::end(kSubQcifIntra));
  return frame;
}

const HeaderRow kBadStartCodes[] = {
    {"GroupStartCodeIsNotAPictureStartCode", GroupStartCode()},
    {"StartCodeBit0Flipped", WithBitFlipped(kSubQcifIntra, 0)},
    {"StartCodeBit7Flipped", WithBitFlipped(kSubQcifIntra, 7)},
    {"StartCodeBit15Flipped", WithBitFlipped(kSubQcifIntra, 15)},
    {"StartCodeBit16Flipped", WithBitFlipped(kSubQcifIntra, 16)},
    {"StartCodeBit17Flipped", WithBitFlipped(kSubQcifIntra, 17)},
    {"StartCodeBit21Flipped", WithBitFlipped(kSubQcifIntra, 21)},
    {"StartCodeAfterTheFirstByte", StartCodeAfterTheFirstByte()},
};
INSTANTIATE_TEST_SUITE_P(StartCode, ParseMpegHeaderRejects, ValuesIn(kBadStartCodes),
                         RowName<HeaderRow>);

const HeaderRow kBadPtypes[] = {
    {"ForbiddenSourceFormat", Bytes(kForbiddenSourceFormat)},
    {"ReservedSourceFormat", With(kSubQcifIntra, {{kPtypeFormatBit, 3, 0b110}})},
    {"PtypeWithoutItsMarkerBit", With(kSubQcifIntra, {{kPtypeMarkerBit, 1, 0}})},
    {"PtypeWithH261Bit", With(kSubQcifIntra, {{kPtypeH263Bit, 1, 1}})},
};
INSTANTIATE_TEST_SUITE_P(Ptype, ParseMpegHeaderRejects, ValuesIn(kBadPtypes), RowName<HeaderRow>);

const HeaderRow kBadExtendedPtypes[] = {
    {"ReservedSourceFormat0", Bytes(kPlusReservedFormat0)},
    {"ReservedSourceFormat7", Bytes(kPlusReservedFormat7)},
    {"WithoutFullUpdate", Bytes(kPlusWithoutFullUpdate)},
    {"ReservedUfep2", With(kPlusQcifIntra, {{kUfepBit, 3, 2}})},
    {"ReservedUfep3", With(kPlusQcifIntra, {{kUfepBit, 3, 3}})},
    {"ReservedUfep4", With(kPlusQcifIntra, {{kUfepBit, 3, 4}})},
    {"ReservedUfep5", With(kPlusQcifIntra, {{kUfepBit, 3, 5}})},
    {"ReservedUfep6", With(kPlusQcifIntra, {{kUfepBit, 3, 6}})},
    {"ReservedUfep7", With(kPlusQcifIntra, {{kUfepBit, 3, 7}})},
    {"OpptypeFixedBit1Flipped", WithBitFlipped(kPlusQcifIntra, kOpptypeFixedBit + 0)},
    {"OpptypeFixedBit2Flipped", WithBitFlipped(kPlusQcifIntra, kOpptypeFixedBit + 1)},
    {"OpptypeFixedBit3Flipped", WithBitFlipped(kPlusQcifIntra, kOpptypeFixedBit + 2)},
    {"OpptypeFixedBit4Flipped", WithBitFlipped(kPlusQcifIntra, kOpptypeFixedBit + 3)},
    {"MpptypeFixedBit1Flipped", WithBitFlipped(kPlusQcifIntra, kMpptypeFixedBit + 0)},
    {"MpptypeFixedBit2Flipped", WithBitFlipped(kPlusQcifIntra, kMpptypeFixedBit + 1)},
    {"MpptypeFixedBit3Flipped", WithBitFlipped(kPlusQcifIntra, kMpptypeFixedBit + 2)},
    {"ReservedPictureType6", With(kPlusQcifIntra, {{kMpptypeTypeBit, 3, 6}})},
    {"ReservedPictureType7", With(kPlusQcifIntra, {{kMpptypeTypeBit, 3, 7}})},
};
INSTANTIATE_TEST_SUITE_P(ExtendedPtype, ParseMpegHeaderRejects, ValuesIn(kBadExtendedPtypes),
                         RowName<HeaderRow>);

const HeaderRow kBadCustomFormats[] = {
    {"ForbiddenPixelAspectRatio0", With(kCustom704x288, {{kParBit, 4, 0}})},
    {"ReservedPixelAspectRatio6", With(kCustom704x288, {{kParBit, 4, 6}})},
    {"ReservedPixelAspectRatio7", With(kCustom704x288, {{kParBit, 4, 7}})},
    {"ReservedPixelAspectRatio8", With(kCustom704x288, {{kParBit, 4, 8}})},
    {"ReservedPixelAspectRatio9", With(kCustom704x288, {{kParBit, 4, 9}})},
    {"ReservedPixelAspectRatio10", With(kCustom704x288, {{kParBit, 4, 10}})},
    {"ReservedPixelAspectRatio11", With(kCustom704x288, {{kParBit, 4, 11}})},
    {"ReservedPixelAspectRatio12", With(kCustom704x288, {{kParBit, 4, 12}})},
    {"ReservedPixelAspectRatio13", With(kCustom704x288, {{kParBit, 4, 13}})},
    {"ReservedPixelAspectRatio14", With(kCustom704x288, {{kParBit, 4, 14}})},
    {"CustomFormatWithoutItsMarkerBit", With(kCustom704x288, {{kCpfmtMarkerBit, 1, 0}})},
    {"HeightIndicationZero", With(kCustom704x288, {{kPhiBit, 9, 0}})},
    {"HeightIndicationAbove288", With(kCustom704x288, {{kPhiBit, 9, 289}})},
    {"ZeroExtendedParWidth", With(kCustomExtendedPar, {{kEparWidthBit, 8, 0}})},
    {"ZeroExtendedParHeight", With(kCustomExtendedPar, {{kEparHeightBit, 8, 0}})},
};
INSTANTIATE_TEST_SUITE_P(CustomFormat, ParseMpegHeaderRejects, ValuesIn(kBadCustomFormats),
                         RowName<HeaderRow>);

const HeaderRow kGarbage[] = {
    {"HttpRequestText", TextBytes("GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")},
    {"AllZeroBytes", std::vector<std::uint8_t>(64, 0x00)},
    {"AllOneBytes", std::vector<std::uint8_t>(64, 0xFF)},
};
INSTANTIATE_TEST_SUITE_P(Garbage, ParseMpegHeaderRejects, ValuesIn(kGarbage), RowName<HeaderRow>);

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
    const ParseResult result = Parse(bytes);
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
