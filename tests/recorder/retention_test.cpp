// Segment names and the choice of the recordings that retention deletes, without a recorder.
#include "retention.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

using recorder::ChooseExpired;
using recorder::RetentionLimits;
using recorder::SegmentFile;

// 2026-12-09 06:15:00 UTC.
constexpr std::time_t kNine = 1796796900;
constexpr std::time_t kDay = 24 * 60 * 60;

TEST(SegmentName, CarriesStemAndUtcStartAndReadsBack) {
  EXPECT_EQ(recorder::SegmentName("ch01", kNine, "mkv"), "ch01-20261209T061500Z.mkv");
  EXPECT_EQ(recorder::SegmentName("ch130", kNine + 59, "263"), "ch130-20261209T061559Z.263");
  EXPECT_EQ(recorder::SegmentStart("ch01-20261209T061500Z.mkv"), kNine);
  EXPECT_EQ(recorder::SegmentStart(recorder::SegmentName("ch07", kNine - 3 * kDay, "263")),
            kNine - 3 * kDay);
}

// Only complete segments count: temporary files, summaries and names that merely look
// similar are never deleted.
TEST(SegmentName, OtherNamesAreNoSegments) {
  for (const char* name : {".ch01-20261209T061500Z.mkv.part", "summary.json",
                           "ch01-20261209T061500Z.mkv.part", "ch01-20261209T061500Z.avi",
                           "ch01-20261209T061500.mkv", "ch01-2026120XT061500Z.mkv",
                           "ch1-20261209T061500Z.mkv", "cam01-20261209T061500Z.mkv",
                           "ch01-20261309T061500Z.mkv", "ch01-20261209T251500Z.mkv", "ch01.263",
                           "chXY-20261209T061500Z.mkv"}) {
    EXPECT_FALSE(recorder::SegmentStart(name).has_value()) << name;
  }
}

std::vector<std::string> Paths(const std::vector<SegmentFile>& files) {
  std::vector<std::string> paths;
  for (const SegmentFile& f : files) paths.push_back(f.path);
  return paths;
}

struct RetentionCase {
  const char* name;
  RetentionLimits limits;
  std::uint64_t freeAtLeast;
  std::vector<std::string> expected;
};

class RetentionChoice : public ::testing::TestWithParam<RetentionCase> {};

// Four days of segments, listed out of order: a (4 days old, 100 bytes), b (2 days, 200),
// c (1 day, 300), d (now, 400); 1,000 bytes in all.
TEST_P(RetentionChoice, DeletesTheOldestFirstAndOnlyWhatTheLimitsSay) {
  const RetentionCase& c = GetParam();
  const std::vector<SegmentFile> files = {{"c", kNine - 1 * kDay, 300},
                                          {"a", kNine - 4 * kDay, 100},
                                          {"d", kNine, 400},
                                          {"b", kNine - 2 * kDay, 200}};
  EXPECT_EQ(Paths(ChooseExpired(files, kNine + 60, c.limits, c.freeAtLeast)), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Limits, RetentionChoice,
    ::testing::Values(
        RetentionCase{"NoLimitsKeepEverything", {0, 0}, 0, {}},
        RetentionCase{"OlderThanThreeDays", {3, 0}, 0, {"a"}},
        RetentionCase{"OlderThanOneDay", {1, 0}, 0, {"a", "b", "c"}},
        RetentionCase{"SizeLimitAboveTotal", {0, 1000}, 0, {}},
        RetentionCase{"SizeLimitOneByteBelowTotal", {0, 999}, 0, {"a"}},
        RetentionCase{"SizeLimitLeavesTheNewest", {0, 450}, 0, {"a", "b", "c"}},
        RetentionCase{"AgeThenSize", {3, 750}, 0, {"a", "b"}},
        RetentionCase{"FullDiskWithinTheLimits", {0, 5000}, 1, {"a"}},
        RetentionCase{"FullDiskNeedsMoreThanOne", {0, 5000}, 250, {"a", "b"}},
        RetentionCase{"FullDiskAfterAgeLimit", {3, 0}, 1, {"a"}}),
    [](const ::testing::TestParamInfo<RetentionCase>& info) {
      return std::string(info.param.name);
    });

}  // namespace
