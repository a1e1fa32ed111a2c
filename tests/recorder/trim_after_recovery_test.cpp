// When the recorder trims its heap: once each time every channel streams again, never while a
// channel is still out, never twice for one recovery.
#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "recording.h"

namespace {

struct Case {
  const char* name;
  // Whether all channels stream, one entry per status period.
  std::vector<bool> allStreaming;
  // Whether each update asks for a trim.
  std::vector<bool> trims;
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

class TrimAfterRecoveryTest : public ::testing::TestWithParam<Case> {};

TEST_P(TrimAfterRecoveryTest, TrimsOnceWhenEveryChannelStreamsAgain) {
  const Case& c = GetParam();
  ASSERT_EQ(c.allStreaming.size(), c.trims.size());
  recorder::TrimAfterRecovery trim;
  for (std::size_t i = 0; i < c.allStreaming.size(); ++i) {
    EXPECT_EQ(trim.Update(c.allStreaming[i]), c.trims[i]) << "update " << i;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Periods, TrimAfterRecoveryTest,
    ::testing::Values(
        Case{"FirstStartCountsAsRecovery", {false, false, true, true}, {false, false, true, false}},
        Case{"StreamingFromTheFirstPeriodTrimsOnce", {true, true, true}, {true, false, false}},
        Case{"EachReconnectTrimsOnce",
             {true, false, false, true, true, false, true},
             {true, false, false, true, false, false, true}},
        Case{"NothingWhileChannelsStayOut", {true, false, false, false}, {true, false, false, false}}),
    [](const ::testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

}  // namespace
