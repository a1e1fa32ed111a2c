#include "bit_reader.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>

namespace {

using picture_header::BitReader;

TEST(BitReader, ReadsMostSignificantBitFirst) {
  const std::array<std::uint8_t, 1> data = {0b1011'0010};
  BitReader reader(data);
  EXPECT_EQ(reader.ReadBits(1), 1u);
  EXPECT_EQ(reader.ReadBits(3), 0b011u);
  EXPECT_EQ(reader.ReadBits(4), 0b0010u);
  EXPECT_TRUE(reader.Ok());
}

TEST(BitReader, ReadsAcrossByteBoundaries) {
  const std::array<std::uint8_t, 3> data = {0x12, 0x34, 0x56};
  BitReader reader(data);
  reader.SkipBits(4);
  EXPECT_EQ(reader.ReadBits(12), 0x234u);
  EXPECT_EQ(reader.ReadBits(8), 0x56u);
  EXPECT_TRUE(reader.Ok());
  EXPECT_EQ(reader.BitsLeft(), 0u);
}

TEST(BitReader, ReadsThirtyTwoBitsAtOnce) {
  const std::array<std::uint8_t, 5> data = {0xF0, 0xDE, 0xBC, 0x9A, 0x80};
  BitReader reader(data);
  reader.SkipBits(1);
  EXPECT_EQ(reader.ReadBits(32), 0xE1BD7935u);
  EXPECT_TRUE(reader.Ok());
}

TEST(BitReader, CountsTheBitsLeft) {
  const std::array<std::uint8_t, 2> data = {0, 0};
  BitReader reader(data);
  EXPECT_EQ(reader.BitsLeft(), 16u);
  reader.SkipBits(5);
  EXPECT_EQ(reader.BitsLeft(), 11u);
}

TEST(BitReader, ReadUpToTheLastBitSucceeds) {
  const std::array<std::uint8_t, 2> data = {0xFF, 0xFF};
  BitReader reader(data);
  EXPECT_EQ(reader.ReadBits(16), 0xFFFFu);
  EXPECT_EQ(reader.ReadBits(0), 0u);
  EXPECT_TRUE(reader.Ok());
}

TEST(BitReader, ReadPastTheEndGivesZeroAndFails) {
  const std::array<std::uint8_t, 2> data = {0xFF, 0xFF};
  BitReader reader(data);
  reader.SkipBits(9);
  EXPECT_EQ(reader.ReadBits(8), 0u);
  EXPECT_FALSE(reader.Ok());
  EXPECT_EQ(reader.BitsLeft(), 0u);
}

TEST(BitReader, FailureIsSticky) {
  const std::array<std::uint8_t, 2> data = {0xFF, 0xFF};
  BitReader reader(data);
  reader.SkipBits(17);
  ASSERT_FALSE(reader.Ok());
  // These bits exist, but a failed reader hands out nothing more.
  EXPECT_EQ(reader.ReadBits(1), 0u);
  EXPECT_FALSE(reader.ReadBit());
  EXPECT_FALSE(reader.Ok());
}

TEST(BitReader, EmptyDataFailsOnTheFirstBit) {
  BitReader reader(std::span<const std::uint8_t>{});
  EXPECT_FALSE(reader.ReadBit());
  EXPECT_FALSE(reader.Ok());
}

TEST(BitReader, CountsOutsideZeroToThirtyTwoFail) {
  const std::array<std::uint8_t, 8> data = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
  BitReader tooMany(data);
  EXPECT_EQ(tooMany.ReadBits(33), 0u);
  EXPECT_FALSE(tooMany.Ok());
  BitReader negative(data);
  EXPECT_EQ(negative.ReadBits(-1), 0u);
  EXPECT_FALSE(negative.Ok());
}

}  // namespace
