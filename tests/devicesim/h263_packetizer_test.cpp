// The RFC 2190 packetizer: picture and GOB headers, where packets start and what their
// payload headers say, and round trips through an independent bit-level reassembler.
#include "h263_packetizer.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <ostream>
#include <random>
#include <string>

#include "h263_clip.h"
#include "video_client.h"

namespace devicesim::testing {
namespace {

using Payloads = std::vector<std::vector<std::uint8_t>>;

// Writes bits most significant first; the tests build pictures with it.
class BitWriter {
 public:
  void Put(std::uint32_t value, int bits) {
    for (int i = bits - 1; i >= 0; --i) {
      if (bit_ % 8 == 0) bytes_.push_back(0);
      if ((value >> i) & 1u) bytes_.back() |= static_cast<std::uint8_t>(0x80 >> (bit_ % 8));
      ++bit_;
    }
  }
  // Filler without sixteen zero bits in a row, so it cannot look like a start code.
  void Filler(int bytes) {
    for (int i = 0; i < bytes; ++i) Put(0x5A, 8);
  }
  void ZerosToByte() {
    while (bit_ % 8 != 0) Put(0, 1);
  }
  std::size_t bit() const { return bit_; }
  const std::vector<std::uint8_t>& bytes() const { return bytes_; }

 private:
  std::vector<std::uint8_t> bytes_;
  std::size_t bit_ = 0;
};

struct BaselineHeader {
  int tr = 0x2A;
  int format = 3;  // CIF
  bool inter = true;
  bool umv = true;
  bool sac = false;
  bool ap = true;
  int quant = 10;
  bool cpm = false;
};

void PutBaselineHeader(BitWriter& w, const BaselineHeader& h) {
  w.Put(0x20, 22);  // PSC
  w.Put(static_cast<std::uint32_t>(h.tr), 8);
  w.Put(0x2, 2);  // PTYPE "1 0"
  w.Put(0, 3);    // split screen, document camera, freeze release
  w.Put(static_cast<std::uint32_t>(h.format), 3);
  w.Put(h.inter, 1);
  w.Put(h.umv, 1);
  w.Put(h.sac, 1);
  w.Put(h.ap, 1);
  w.Put(0, 1);  // PB
  w.Put(static_cast<std::uint32_t>(h.quant), 5);
  w.Put(h.cpm, 1);
  if (h.cpm) w.Put(0, 2);  // PSBI
  w.Put(0, 1);             // PEI
}

void PutGobHeader(BitWriter& w, int number, int quant, bool cpm = false) {
  w.Put(0x1, 17);  // GBSC
  w.Put(static_cast<std::uint32_t>(number), 5);
  if (cpm) w.Put(0, 2);  // GSBI
  w.Put(0, 2);           // GFID
  w.Put(static_cast<std::uint32_t>(quant), 5);
}

// A CIF picture with a GOB header at an unaligned bit (GN 3, GQUANT 7) and one at a byte
// boundary (GN 4, GQUANT 20), filler between them.
struct GobPicture {
  std::vector<std::uint8_t> bytes;
  std::size_t unalignedGob = 0;
  std::size_t alignedGob = 0;
};

GobPicture MakeGobPicture(int fillerBytes = 300) {
  BitWriter w;
  PutBaselineHeader(w, {});
  w.Filler(fillerBytes);
  GobPicture picture;
  picture.unalignedGob = w.bit();
  PutGobHeader(w, 3, 7);
  w.Filler(fillerBytes);
  w.ZerosToByte();
  picture.alignedGob = w.bit();
  PutGobHeader(w, 4, 20);
  w.Filler(fillerBytes);
  w.ZerosToByte();
  picture.bytes = w.bytes();
  return picture;
}

std::vector<std::size_t> PacketStartBits(const Payloads& payloads) {
  std::vector<std::size_t> starts;
  std::size_t bit = 0;
  for (const auto& payload : payloads) {
    const PayloadHeader h = ReadPayloadHeader(payload);
    const std::size_t firstByte = bit / 8;
    starts.push_back(bit);
    bit = (firstByte + payload.size() - h.size) * 8 - static_cast<std::size_t>(h.ebit);
  }
  return starts;
}

H263PacketizerOptions Options(std::size_t maxPayload, bool bits, std::uint32_t seed = 7) {
  H263PacketizerOptions options;
  options.maxPayload = maxPayload;
  options.splitAtBits = bits;
  options.seed = seed;
  return options;
}

// The intra rule receivers use: PTYPE bit 9, or the picture type code of PLUSPTYPE.
bool IsIntra(std::span<const std::uint8_t> p) {
  if ((p[4] & 0x1C) == 0x1C) return (p[5] & 0x80) != 0 ? (p[7] & 0x1C) == 0 : (p[5] & 0x70) == 0;
  return (p[4] & 0x02) == 0;
}

const std::vector<std::string>& ClipFiles() {
  static const std::vector<std::string> files = {"qcif.263", "cif.263", "2cif.263", "4cif.263"};
  return files;
}

// Rows of the tables below print and name themselves by the behaviour they check.
template <typename Row>
std::string RowName(const ::testing::TestParamInfo<Row>& info) {
  return info.param.name;
}

struct BytesRow {
  const char* name;
  std::vector<std::uint8_t> bytes;
};

void PrintTo(const BytesRow& row, std::ostream* out) {
  *out << row.name << " (" << row.bytes.size() << " bytes)";
}

// ---- Picture and GOB headers ---------------------------------------------------------------

TEST(H263PictureHeader, ReadsBaselineFields) {
  BitWriter w;
  BaselineHeader written;
  written.tr = 0x91;
  written.format = 2;
  written.quant = 17;
  written.sac = true;
  PutBaselineHeader(w, written);
  w.ZerosToByte();
  H263StreamOptions options;
  const auto h = ParseH263PictureHeader(w.bytes(), options);
  ASSERT_TRUE(h.has_value());
  EXPECT_EQ(h->temporalReference, 0x91);
  EXPECT_EQ(h->sourceFormat, 2);
  EXPECT_FALSE(h->intra);
  EXPECT_TRUE(h->unrestrictedMv);
  EXPECT_TRUE(h->arithmeticCoding);
  EXPECT_TRUE(h->advancedPrediction);
  EXPECT_EQ(h->quant, std::optional<std::uint8_t>(17));
}

class H263PictureHeaderRejects : public ::testing::TestWithParam<BytesRow> {};

TEST_P(H263PictureHeaderRejects, BytesWithoutAWholePictureHeader) {
  H263StreamOptions options;
  EXPECT_FALSE(ParseH263PictureHeader(GetParam().bytes, options).has_value());
}

std::vector<std::uint8_t> BaselineHeaderCutInsidePtype() {
  BitWriter w;
  PutBaselineHeader(w, {});
  w.ZerosToByte();
  return std::vector<std::uint8_t>(w.bytes().begin(), w.bytes().begin() + 4);
}

INSTANTIATE_TEST_SUITE_P(H263PictureHeader, H263PictureHeaderRejects,
                         ::testing::Values(BytesRow{"GobStartCodeInsteadOfPictureStartCode",
                                                    {0x00, 0x00, 0x84, 0x00, 0x10, 0x00}},
                                           BytesRow{"NoBytesAtAll", {}},
                                           BytesRow{"HeaderCutInsidePtype",
                                                    BaselineHeaderCutInsidePtype()}),
                         RowName<BytesRow>);

// PLUSPTYPE with UFEP 1: custom format with an extended pixel aspect ratio, UMV (so UUI),
// then a second picture with UFEP 0 that relies on the options of the first.
TEST(H263PictureHeader, ReadsExtendedHeaderAndCarriesOptionsToNextPicture) {
  BitWriter first;
  first.Put(0x20, 22);
  first.Put(5, 8);
  first.Put(0x2, 2);
  first.Put(0, 3);
  first.Put(7, 3);    // PLUSPTYPE follows
  first.Put(1, 3);    // UFEP 001
  first.Put(6, 3);    // OPPTYPE: custom source format
  first.Put(0, 1);    // custom PCF
  first.Put(1, 1);    // UMV
  first.Put(0, 1);    // SAC
  first.Put(1, 1);    // AP
  first.Put(0, 7);    // AIC DF SS RPS ISD AIV MQ
  first.Put(0x8, 4);  // 1 0 0 0
  first.Put(1, 3);    // MPPTYPE: P picture
  first.Put(0, 3);    // RPR RRU RTYPE
  first.Put(0x1, 3);  // 0 0 1
  first.Put(0, 1);    // CPM
  first.Put(0xF, 4);  // CPFMT: PAR extended
  first.Put(175, 9);  // PWI
  first.Put(1, 1);
  first.Put(72, 9);       // PHI
  first.Put(0x060B, 16);  // EPAR
  first.Put(1, 1);        // UUI "1"
  first.Put(13, 5);       // PQUANT
  first.ZerosToByte();

  H263StreamOptions options;
  const auto h1 = ParseH263PictureHeader(first.bytes(), options);
  ASSERT_TRUE(h1.has_value());
  EXPECT_EQ(h1->sourceFormat, 7);
  EXPECT_FALSE(h1->intra);
  EXPECT_TRUE(h1->unrestrictedMv);
  EXPECT_FALSE(h1->arithmeticCoding);
  EXPECT_TRUE(h1->advancedPrediction);
  EXPECT_EQ(h1->quant, std::optional<std::uint8_t>(13));

  BitWriter second;
  second.Put(0x20, 22);
  second.Put(6, 8);
  second.Put(0x2, 2);
  second.Put(0, 3);
  second.Put(7, 3);
  second.Put(0, 3);  // UFEP 000: no OPPTYPE, no CPFMT, no UUI
  second.Put(0, 3);  // MPPTYPE: I picture
  second.Put(0, 3);
  second.Put(0x1, 3);
  second.Put(0, 1);  // CPM
  second.Put(9, 5);  // PQUANT
  second.ZerosToByte();
  const auto h2 = ParseH263PictureHeader(second.bytes(), options);
  ASSERT_TRUE(h2.has_value());
  EXPECT_TRUE(h2->intra);
  EXPECT_TRUE(h2->unrestrictedMv);
  EXPECT_EQ(h2->quant, std::optional<std::uint8_t>(9));
}

TEST(H263PictureHeader, LeavesQuantUnknownWhenExtendedOptionsWereNeverSent) {
  BitWriter w;
  w.Put(0x20, 22);
  w.Put(0, 8);
  w.Put(0x2, 2);
  w.Put(0, 3);
  w.Put(7, 3);
  w.Put(0, 3);  // UFEP 000 on the first picture
  w.Put(1, 3);
  w.Put(0, 3);
  w.Put(0x1, 3);
  w.Put(0, 1);
  w.Put(9, 5);
  w.ZerosToByte();
  H263StreamOptions options;
  const auto h = ParseH263PictureHeader(w.bytes(), options);
  ASSERT_TRUE(h.has_value());
  EXPECT_FALSE(h->quant.has_value());
}

TEST(H263PictureHeader, FirstPictureOfEveryClipIsIntra) {
  for (const auto& file : ClipFiles()) {
    const auto pictures = ClipPictures(file);
    ASSERT_FALSE(pictures.empty()) << file;
    H263StreamOptions options;
    const auto h = ParseH263PictureHeader(pictures[0], options);
    ASSERT_TRUE(h.has_value()) << file;
    EXPECT_TRUE(h->intra) << file;
    EXPECT_EQ(h->sourceFormat, PictureSourceFormat(pictures[0])) << file;
    EXPECT_TRUE(h->quant.has_value()) << file;
  }
}

TEST(H263GobStarts, FindsGobStartsAtAnyBitPosition) {
  const GobPicture picture = MakeGobPicture();
  ASSERT_NE(picture.unalignedGob % 8, 0u);
  const auto gobs = FindH263GobStarts(picture.bytes, false);
  ASSERT_EQ(gobs.size(), 2u);
  EXPECT_EQ(gobs[0].bit, picture.unalignedGob);
  EXPECT_EQ(gobs[0].number, 3);
  EXPECT_EQ(gobs[0].quant, std::optional<std::uint8_t>(7));
  EXPECT_EQ(gobs[1].bit, picture.alignedGob);
  EXPECT_EQ(gobs[1].number, 4);
  EXPECT_EQ(gobs[1].quant, std::optional<std::uint8_t>(20));
}

TEST(H263GobStarts, ReadsGquantAfterGsbiUnderContinuousPresence) {
  BitWriter w;
  BaselineHeader header;
  header.cpm = true;
  PutBaselineHeader(w, header);
  w.Filler(10);
  PutGobHeader(w, 5, 0x11, true);
  w.Filler(10);
  w.ZerosToByte();
  const auto gobs = FindH263GobStarts(w.bytes(), true);
  ASSERT_EQ(gobs.size(), 1u);
  EXPECT_EQ(gobs[0].number, 5);
  EXPECT_EQ(gobs[0].quant, std::optional<std::uint8_t>(0x11));
}

TEST(H263GobStarts, IgnoresPictureStartAndEndOfSequenceCodes) {
  BitWriter w;
  PutBaselineHeader(w, {});
  w.Filler(10);
  w.Put(0x1, 17);
  w.Put(31, 5);  // EOS
  w.Filler(3);
  w.Put(0x1, 17);
  w.Put(0, 5);  // another picture start
  w.Filler(3);
  w.ZerosToByte();
  EXPECT_TRUE(FindH263GobStarts(w.bytes(), false).empty());
}

TEST(H263GobStarts, GobHeaderCutAtEndHasNoQuant) {
  BitWriter w;
  PutBaselineHeader(w, {});
  w.Filler(4);
  w.Put(0x1, 17);
  w.Put(2, 5);
  w.ZerosToByte();
  const auto gobs = FindH263GobStarts(w.bytes(), false);
  ASSERT_EQ(gobs.size(), 1u);
  EXPECT_EQ(gobs[0].number, 2);
  EXPECT_FALSE(gobs[0].quant.has_value());
}

// ---- Where packets start and what their headers say ----------------------------------------

TEST(H263Packetizer, EmptyPictureGivesNoPackets) {
  H263Packetizer packetizer;
  EXPECT_TRUE(packetizer.Packetize({}).empty());
}

TEST(H263Packetizer, FirstPacketIsModeAAtPictureStart) {
  const auto pictures = ClipPictures("cif.263");
  ASSERT_GE(pictures.size(), 2u);
  H263Packetizer packetizer;
  for (std::size_t i = 0; i < 2; ++i) {
    const Payloads payloads = packetizer.Packetize(pictures[i]);
    ASSERT_FALSE(payloads.empty());
    const PayloadHeader h = ReadPayloadHeader(payloads.front());
    EXPECT_EQ(h.mode, 'A');
    EXPECT_EQ(h.sbit, 0);
    EXPECT_EQ(PictureSourceFormat(std::span(payloads.front()).subspan(4)), h.src);
  }
}

TEST(H263Packetizer, PayloadHeadersCarryPictureFields) {
  for (const auto& file : ClipFiles()) {
    H263Packetizer packetizer;
    for (const auto& picture : ClipPictures(file)) {
      const Payloads payloads = packetizer.Packetize(picture);
      for (const auto& payload : payloads) {
        const PayloadHeader h = ReadPayloadHeader(payload);
        ASSERT_GE(payload.size(), h.size);
        EXPECT_EQ(h.src, PictureSourceFormat(picture)) << file;
        EXPECT_EQ(h.inter, !IsIntra(picture)) << file;
        if (h.mode == 'A') {
          EXPECT_EQ(h.tr, PictureTemporalReference(picture)) << file;
        }
      }
    }
  }
}

TEST(H263Packetizer, PacketsInsideFirstGobUseModeBWithPictureQuant) {
  BitWriter w;
  BaselineHeader header;
  header.quant = 23;
  PutBaselineHeader(w, header);
  w.Filler(200);
  w.ZerosToByte();
  H263Packetizer packetizer(Options(64, false));
  const Payloads payloads = packetizer.Packetize(w.bytes());
  ASSERT_GT(payloads.size(), 2u);
  for (std::size_t i = 1; i < payloads.size(); ++i) {
    const PayloadHeader h = ReadPayloadHeader(payloads[i]);
    EXPECT_EQ(h.mode, 'B');
    EXPECT_EQ(h.gobn, 0);
    EXPECT_EQ(h.quant, 23);
    EXPECT_TRUE(h.inter);
    EXPECT_EQ(h.src, 3);
  }
}

TEST(H263Packetizer, ModeBNamesGobAndQuantOfGobItStartsIn) {
  const GobPicture picture = MakeGobPicture();
  H263Packetizer packetizer(Options(100, false));
  const Payloads payloads = packetizer.Packetize(picture.bytes);
  const auto starts = PacketStartBits(payloads);
  for (std::size_t i = 0; i < payloads.size(); ++i) {
    const PayloadHeader h = ReadPayloadHeader(payloads[i]);
    if (h.mode != 'B') continue;
    if (starts[i] < picture.unalignedGob) {
      EXPECT_EQ(h.gobn, 0);
      EXPECT_EQ(h.quant, 10);
    } else if (starts[i] < picture.alignedGob) {
      EXPECT_EQ(h.gobn, 3);
      EXPECT_EQ(h.quant, 7);
    } else {
      EXPECT_EQ(h.gobn, 4);
      EXPECT_EQ(h.quant, 20);
    }
  }
}

TEST(H263Packetizer, StartsPacketAtAlignedGobStartInModeA) {
  const GobPicture picture = MakeGobPicture(1000);
  H263Packetizer packetizer(Options(1400, false));
  const Payloads payloads = packetizer.Packetize(picture.bytes);
  const auto starts = PacketStartBits(payloads);
  const auto at = std::find(starts.begin(), starts.end(), picture.alignedGob);
  ASSERT_NE(at, starts.end());
  const PayloadHeader h =
      ReadPayloadHeader(payloads[static_cast<std::size_t>(at - starts.begin())]);
  EXPECT_EQ(h.mode, 'A');
  EXPECT_EQ(h.sbit, 0);
  EXPECT_EQ(std::count(starts.begin(), starts.end(), picture.unalignedGob), 0);
}

TEST(H263Packetizer, ByteSplitsNeverStartAtUnalignedGob) {
  const GobPicture picture = MakeGobPicture();
  H263Packetizer packetizer(Options(100, false));
  const Payloads payloads = packetizer.Packetize(picture.bytes);
  for (const auto start : PacketStartBits(payloads)) EXPECT_EQ(start % 8, 0u);
  for (const auto& payload : payloads) {
    const PayloadHeader h = ReadPayloadHeader(payload);
    EXPECT_EQ(h.sbit, 0);
    EXPECT_EQ(h.ebit, 0);
  }
}

// The first packet's room reaches past the unaligned GOB start but not the aligned one.
TEST(H263Packetizer, BitSplitsStartModeAPacketAtUnalignedGob) {
  const GobPicture picture = MakeGobPicture(1000);
  H263Packetizer packetizer(Options(1400, true));
  const Payloads payloads = packetizer.Packetize(picture.bytes);
  const auto starts = PacketStartBits(payloads);
  ASSERT_THAT(starts, ::testing::ElementsAre(0u, picture.unalignedGob, picture.alignedGob));
  const PayloadHeader h = ReadPayloadHeader(payloads[1]);
  EXPECT_EQ(h.mode, 'A');
  EXPECT_EQ(h.sbit, static_cast<int>(picture.unalignedGob % 8));
  EXPECT_EQ(ReadPayloadHeader(payloads[0]).ebit, 8 - h.sbit);
  EXPECT_EQ(ReadPayloadHeader(payloads[2]).mode, 'A');
}

TEST(H263Packetizer, KeepsPayloadsWithinMaximum) {
  const auto pictures = ClipPictures("4cif.263");
  ASSERT_FALSE(pictures.empty());
  for (const std::size_t max : {std::size_t{1400}, std::size_t{200}, std::size_t{16}}) {
    for (const bool bits : {false, true}) {
      H263Packetizer packetizer(Options(max, bits));
      for (const auto& payload : packetizer.Packetize(pictures[0])) {
        EXPECT_LE(payload.size(), max);
        EXPECT_GT(payload.size(), ReadPayloadHeader(payload).size);
      }
    }
  }
}

TEST(H263Packetizer, RaisesMaximumBelowMinimum) {
  const GobPicture picture = MakeGobPicture(20);
  H263Packetizer packetizer(Options(3, true));
  EXPECT_EQ(packetizer.options().maxPayload, H263PacketizerOptions::kMinPayload);
  const Payloads payloads = packetizer.Packetize(picture.bytes);
  for (const auto& payload : payloads)
    EXPECT_LE(payload.size(), H263PacketizerOptions::kMinPayload);
  EXPECT_EQ(Reassemble(payloads), std::optional(picture.bytes));
}

TEST(H263Packetizer, BitSplitsShareOneByteBetweenNeighbours) {
  const auto pictures = ClipPictures("cif.263");
  H263Packetizer packetizer(Options(1400, true));
  int shared = 0;
  for (const auto& picture : pictures) {
    const Payloads payloads = packetizer.Packetize(picture);
    for (std::size_t i = 0; i + 1 < payloads.size(); ++i) {
      const PayloadHeader before = ReadPayloadHeader(payloads[i]);
      const PayloadHeader after = ReadPayloadHeader(payloads[i + 1]);
      if (before.ebit == 0) {
        EXPECT_EQ(after.sbit, 0);
        continue;
      }
      ++shared;
      EXPECT_EQ(before.ebit + after.sbit, 8);
      // The shared byte travels whole in both packets.
      EXPECT_EQ(payloads[i].back(), payloads[i + 1][after.size]);
    }
    EXPECT_EQ(ReadPayloadHeader(payloads.back()).ebit, 0);
  }
  EXPECT_GT(shared, 0);
}

TEST(H263Packetizer, SameSeedGivesSamePackets) {
  const auto pictures = ClipPictures("cif.263");
  ASSERT_FALSE(pictures.empty());
  H263Packetizer first(Options(300, true, 99));
  H263Packetizer second(Options(300, true, 99));
  EXPECT_EQ(first.Packetize(pictures[0]), second.Packetize(pictures[0]));
}

// ---- Round trips ---------------------------------------------------------------------------

void ExpectRoundTrip(const H263PacketizerOptions& options) {
  for (const auto& file : ClipFiles()) {
    const auto pictures = ClipPictures(file);
    ASSERT_FALSE(pictures.empty()) << file;
    H263Packetizer packetizer(options);
    for (std::size_t i = 0; i < pictures.size(); ++i) {
      const Payloads payloads = packetizer.Packetize(pictures[i]);
      const auto bytes = Reassemble(payloads);
      ASSERT_TRUE(bytes.has_value()) << file << " picture " << i;
      ASSERT_EQ(*bytes, pictures[i]) << file << " picture " << i;
    }
  }
}

struct RoundTripRow {
  const char* name;
  H263PacketizerOptions options;
};

void PrintTo(const RoundTripRow& row, std::ostream* out) {
  *out << row.name << " (at most " << row.options.maxPayload << " bytes, "
       << (row.options.splitAtBits ? "bit" : "byte") << " splits, seed " << row.options.seed << ")";
}

class H263PacketizerClipRoundTrip : public ::testing::TestWithParam<RoundTripRow> {};

TEST_P(H263PacketizerClipRoundTrip, ReproducesEveryClipPicture) {
  ExpectRoundTrip(GetParam().options);
}

INSTANTIATE_TEST_SUITE_P(H263PacketizerRoundTrip, H263PacketizerClipRoundTrip,
                         ::testing::Values(RoundTripRow{"WithByteSplits", Options(1400, false)},
                                           RoundTripRow{"WithBitSplits", Options(1400, true)},
                                           RoundTripRow{"WithSmallBitSplitPackets",
                                                        Options(97, true, 3)}),
                         RowName<RoundTripRow>);

TEST(H263PacketizerRoundTrip, ReproducesPictureWithGobsWithBitSplits) {
  const GobPicture picture = MakeGobPicture();
  for (const std::size_t max : {std::size_t{16}, std::size_t{40}, std::size_t{333}}) {
    H263Packetizer packetizer(Options(max, true, static_cast<std::uint32_t>(max)));
    EXPECT_EQ(Reassemble(packetizer.Packetize(picture.bytes)), std::optional(picture.bytes));
  }
}

TEST(H263PacketizerRoundTrip, SendsBytesWithoutPictureHeaderAsData) {
  std::mt19937 random(5);
  std::vector<std::uint8_t> junk(3000);
  for (auto& byte : junk) byte = static_cast<std::uint8_t>(random());
  junk[0] = 0xFF;  // no picture start code
  H263Packetizer packetizer(Options(500, true));
  const Payloads payloads = packetizer.Packetize(junk);
  EXPECT_EQ(Reassemble(payloads), std::optional(junk));
  EXPECT_EQ(ReadPayloadHeader(payloads.front()).src, 0);
}

// ---- Clips ---------------------------------------------------------------------------------

TEST(H263Clip, CutsStreamIntoPicturesThatRebuildIt) {
  const auto stream = ReadFile("clips/qcif.263");
  ASSERT_FALSE(stream.empty());
  H263Clip clip;
  std::string error;
  ASSERT_TRUE(clip.Load("clips/qcif.263", error)) << error;
  EXPECT_EQ(clip.pictureCount(), SplitPictures(stream).size());
  std::vector<std::uint8_t> joined;
  for (std::size_t i = 0; i < clip.pictureCount(); ++i) {
    const auto picture = clip.Picture(i);
    ASSERT_GE(picture.size(), 3u);
    EXPECT_EQ(picture[0], 0);
    EXPECT_EQ(picture[1], 0);
    EXPECT_EQ(picture[2] & 0xFC, 0x80);
    joined.insert(joined.end(), picture.begin(), picture.end());
  }
  EXPECT_EQ(joined, stream);
  EXPECT_TRUE(clip.Picture(clip.pictureCount()).empty());
}

TEST(H263Clip, DropsBytesBeforeFirstPicture) {
  BitWriter w;
  BaselineHeader header;
  header.inter = false;
  PutBaselineHeader(w, header);
  w.Filler(5);
  w.ZerosToByte();
  std::vector<std::uint8_t> stream = {0x12, 0x00, 0x34};
  stream.insert(stream.end(), w.bytes().begin(), w.bytes().end());
  H263Clip clip;
  std::string error;
  ASSERT_TRUE(clip.Assign(stream, "test", error)) << error;
  ASSERT_EQ(clip.pictureCount(), 1u);
  EXPECT_THAT(clip.Picture(0), ::testing::ElementsAreArray(w.bytes()));
}

TEST(H263Clip, IgnoresGobStartCodesWhenCutting) {
  const GobPicture gobs = MakeGobPicture(10);
  std::vector<std::uint8_t> stream;
  BitWriter intra;
  BaselineHeader header;
  header.inter = false;
  PutBaselineHeader(intra, header);
  intra.ZerosToByte();
  stream = intra.bytes();
  stream.insert(stream.end(), gobs.bytes.begin(), gobs.bytes.end());
  EXPECT_THAT(FindH263PictureStarts(stream), ::testing::ElementsAre(0u, intra.bytes().size()));
}

struct RefusedStreamRow {
  const char* name;
  std::vector<std::uint8_t> stream;
  const char* file;
};

void PrintTo(const RefusedStreamRow& row, std::ostream* out) { *out << row.name; }

class H263ClipRefuses : public ::testing::TestWithParam<RefusedStreamRow> {};

TEST_P(H263ClipRefuses, StreamAndNamesItsFile) {
  H263Clip clip;
  std::string error;
  EXPECT_FALSE(clip.Assign(GetParam().stream, GetParam().file, error));
  EXPECT_NE(error.find(GetParam().file), std::string::npos) << error;
  EXPECT_EQ(clip.pictureCount(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    H263Clip, H263ClipRefuses,
    ::testing::Values(RefusedStreamRow{"StreamThatDoesNotBeginWithIntraPicture",
                                       MakeGobPicture(10).bytes, "inter.263"},
                      RefusedStreamRow{"StreamWithoutPicture", {1, 2, 3, 4, 5}, "none.263"}),
    RowName<RefusedStreamRow>);

TEST(H263Clip, LoadNamesMissingFile) {
  H263Clip clip;
  std::string error;
  EXPECT_FALSE(clip.Load("clips/no-such-clip.263", error));
  EXPECT_NE(error.find("no-such-clip.263"), std::string::npos);
}

}  // namespace
}  // namespace devicesim::testing
