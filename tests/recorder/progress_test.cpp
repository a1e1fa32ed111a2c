// veltrane-rec --progress: one line per channel and second, on the clock the simulator's
// chaos log uses, so that a script can tell when each channel stopped and resumed.
#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "chaos.h"
#include "recorder_process.h"

namespace {

using rectest::RecorderProcess;
using rectest::TempFolder;

constexpr int kRunTimeoutMs = 30000;

struct ProgressLine {
  std::int64_t ms = 0;
  int channel = 0;
  std::uint64_t frames = 0;
  std::string state;
};

// The lines after the header; a line that does not have the four fields fails the test.
std::vector<ProgressLine> ReadProgress(const std::string& text) {
  std::vector<ProgressLine> lines;
  std::istringstream in(text);
  std::string line;
  bool header = true;
  while (std::getline(in, line)) {
    if (header) {
      EXPECT_EQ(line, "# t_ms channel frames state");
      header = false;
      continue;
    }
    std::istringstream fields(line);
    ProgressLine p;
    std::string rest;
    EXPECT_TRUE(fields >> p.ms >> p.channel >> p.frames >> p.state) << line;
    EXPECT_FALSE(fields >> rest) << line;
    lines.push_back(p);
  }
  return lines;
}

TEST(RecorderProgress, WritesEachChannelsFramesAndStateOnTheMonotonicClock) {
  TempFolder out;
  const std::int64_t before = devicesim::MonotonicMs();
  RecorderProcess rec({"--duration", "3", "--channels", "1,3", "--out", out.path(), "--progress",
                       out / "progress.txt"});
  ASSERT_EQ(rec.Wait(kRunTimeoutMs), 0) << rec.out() << rec.err();
  const std::int64_t after = devicesim::MonotonicMs();
  const auto lines = ReadProgress(rectest::ReadFile(out / "progress.txt"));
  std::map<int, std::vector<ProgressLine>> byChannel;
  for (const auto& p : lines) {
    EXPECT_GE(p.ms, before);
    EXPECT_LE(p.ms, after);
    byChannel[p.channel].push_back(p);
  }
  ASSERT_EQ(byChannel.size(), 2u);
  for (int channel : {1, 3}) {
    const auto& series = byChannel[channel];
    // A line a second over three seconds, plus one at the end.
    ASSERT_GE(series.size(), 3u) << channel;
    for (std::size_t i = 1; i < series.size(); ++i) {
      EXPECT_GE(series[i].ms, series[i - 1].ms);
      EXPECT_GE(series[i].frames, series[i - 1].frames);
    }
    EXPECT_GT(series.back().frames, series.front().frames) << channel;
    EXPECT_EQ(series.back().state, "video") << channel;
  }
}

TEST(RecorderProgress, UnwritableProgressFileIsBadUsage) {
  TempFolder out;
  RecorderProcess rec({"--duration", "1", "--channels", "1", "--out", out.path(), "--progress",
                       out / "missing-folder/progress.txt"});
  EXPECT_EQ(rec.Wait(kRunTimeoutMs), 2) << rec.out() << rec.err();
  EXPECT_NE(rec.err().find("progress.txt"), std::string::npos) << rec.err();
}

}  // namespace
