#include <gtest/gtest.h>

#include <string>

#include "session/stream_settings.h"

namespace corvane {
namespace {

// Each row of the frame-rate table starts at its lower bound; an interval just below a bound
// belongs to the next row.
TEST(FrameRateTable, ValuesForIntervals) {
  const struct {
    const char* what;
    std::uint32_t interval;
    std::uint32_t a;
    std::uint32_t b;
  } rows[] = {
      {"lower bound", 980, 24, 1}, {"lower bound", 480, 12, 1}, {"lower bound", 320, 8, 2},
      {"lower bound", 240, 4, 3},  {"lower bound", 200, 5, 4},  {"lower bound", 160, 4, 6},
      {"lower bound", 120, 3, 8},  {"lower bound", 65, 2, 11},  {"lower bound", 40, 1, 24},
      {"just below 980", 979, 12, 1}, {"just below 240", 239, 5, 4},
      {"just below 65", 64, 1, 24},   {"one second", 1000, 24, 1},
      {"quarter second", 250, 4, 3},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(std::string(row.what) + ", " + std::to_string(row.interval) + " ms");
    FrameRateValues values{0xDEAD, 0xBEEF};
    ASSERT_TRUE(FrameRateValuesFor(row.interval, values));
    EXPECT_EQ(values.a, row.a);
    EXPECT_EQ(values.b, row.b);
  }
}

TEST(FrameRateTable, RefusesIntervalsBelow40) {
  FrameRateValues values;
  EXPECT_FALSE(FrameRateValuesFor(39, values));
  EXPECT_FALSE(FrameRateValuesFor(0, values));
}

TEST(ResolutionTable, MapsCodesZeroToFour) {
  const std::uint32_t expected[] = {1, 0, 1, 2, 3};
  for (int code = 0; code <= 4; ++code) {
    std::uint32_t value = 99;
    ASSERT_TRUE(ResolutionValueFor(code, value)) << code;
    EXPECT_EQ(value, expected[code]) << code;
  }
}

TEST(ResolutionTable, RefusesCodesAboveFourAndNegativeCodes) {
  std::uint32_t value = 0;
  EXPECT_FALSE(ResolutionValueFor(5, value));
  EXPECT_FALSE(ResolutionValueFor(-1, value));
}

TEST(QualityTable, LevelsChangeAtMultiplesOf20) {
  EXPECT_EQ(QualityLevelFor(-5), 1);
  EXPECT_EQ(QualityLevelFor(19), 1);
  EXPECT_EQ(QualityLevelFor(20), 2);
  EXPECT_EQ(QualityLevelFor(40), 3);
  EXPECT_EQ(QualityLevelFor(50), 3);
  EXPECT_EQ(QualityLevelFor(60), 4);
  EXPECT_EQ(QualityLevelFor(79), 4);
  EXPECT_EQ(QualityLevelFor(80), 5);
  EXPECT_EQ(QualityLevelFor(100), 5);
}

TEST(QualityTable, ValuesPerLevelAndMediumForUnknownLevels) {
  EXPECT_EQ(QualityValueFor(1), 26u);
  EXPECT_EQ(QualityValueFor(2), 18u);
  EXPECT_EQ(QualityValueFor(3), 0u);
  EXPECT_EQ(QualityValueFor(4), 9u);
  EXPECT_EQ(QualityValueFor(5), 6u);
  EXPECT_EQ(QualityValueFor(0), 0u);
  EXPECT_EQ(QualityValueFor(6), 0u);
}

TEST(QualityTable, ConfiguredNumberComesFromTheLevelsKey) {
  DeviceConfig config;
  config.qualityMin = "11";
  config.qualityLow = "12";
  config.qualityMedium = "13";
  config.qualityHigh = "14";
  config.qualityMax = "15";
  EXPECT_EQ(QualityNumberFor(config, 1), 11);
  EXPECT_EQ(QualityNumberFor(config, 2), 12);
  EXPECT_EQ(QualityNumberFor(config, 3), 13);
  EXPECT_EQ(QualityNumberFor(config, 4), 14);
  EXPECT_EQ(QualityNumberFor(config, 5), 15);
  EXPECT_EQ(QualityNumberFor(config, 9), 13);
}

TEST(QualityTable, ConfiguredNumberIsReadLikeAtoi) {
  DeviceConfig config;
  config.qualityMax = "  -7x";
  config.qualityMin = "none";
  EXPECT_EQ(QualityNumberFor(config, 5), -7);
  EXPECT_EQ(QualityNumberFor(config, 1), 0);
}

}  // namespace
}  // namespace corvane
