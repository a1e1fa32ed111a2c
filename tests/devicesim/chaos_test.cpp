// Chaos mode: random faults of every kind, reproducible from the seed, each undone in time,
// and nothing left broken or running once it stops.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "chaos.h"
#include "support/process_stats.h"
#include "video_client.h"

namespace devicesim::testing {
namespace {

using Clock = std::chrono::steady_clock;
using testutil::ThreadCount;

// Fast chaos: faults follow each other within milliseconds.
ChaosOptions FastChaos(std::uint32_t seed) {
  ChaosOptions options;
  options.seed = seed;
  options.meanIntervalMs = 3;
  options.minFaultMs = 1;
  options.maxFaultMs = 10;
  options.maxReplyDelayMs = 20;
  options.log = nullptr;
  return options;
}

bool WaitUntil(const std::function<bool()>& done, int timeoutMs = 5000) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!done()) {
    if (Clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

bool EveryKindApplied(const Chaos& chaos) {
  for (int count : chaos.CountsByKind()) {
    if (count == 0) return false;
  }
  return true;
}

// A fresh client registers, opens the camera's video and receives a whole picture.
bool ServesVideo(const DeviceSim& sim, int camera) {
  VideoClient client(sim);
  if (!client.registered() || !client.OpenVideo(static_cast<std::uint8_t>(camera))) return false;
  const auto picture = client.NextPicture();
  return picture.has_value() && !picture->bytes.empty();
}

std::vector<std::string> Descriptions(const std::vector<ChaosEvent>& events) {
  std::vector<std::string> out;
  for (const auto& e : events) {
    out.push_back(std::string(e.start ? "start " : "end ") + ChaosFaultName(e.kind) + " " +
                  e.detail);
  }
  return out;
}

TEST(DeviceSimChaos, AppliesFaultsOfEveryKind) {
  auto sim = StartSim();
  Chaos chaos(*sim, FastChaos(7));
  ASSERT_TRUE(chaos.Start());
  EXPECT_TRUE(WaitUntil([&] { return EveryKindApplied(chaos); }));
  chaos.Stop();
  const auto counts = chaos.CountsByKind();
  for (int k = 0; k < kChaosFaultKinds; ++k) {
    EXPECT_GT(counts[static_cast<std::size_t>(k)], 0)
        << ChaosFaultName(static_cast<ChaosFault>(k));
  }
}

TEST(DeviceSimChaos, EveryFaultThatStartsAlsoEnds) {
  auto sim = StartSim();
  Chaos chaos(*sim, FastChaos(11));
  ASSERT_TRUE(chaos.Start());
  ASSERT_TRUE(WaitUntil([&] { return chaos.Events().size() >= 40; }));
  chaos.Stop();
  const auto events = chaos.Events();
  ASSERT_EQ(events.size() % 2, 0u);
  for (std::size_t i = 0; i < events.size(); i += 2) {
    EXPECT_TRUE(events[i].start);
    EXPECT_FALSE(events[i + 1].start);
    EXPECT_EQ(events[i].kind, events[i + 1].kind);
    EXPECT_LE(events[i].monotonicMs, events[i + 1].monotonicMs);
  }
}

TEST(DeviceSimChaos, DeviceServesRegistrationAndVideoAfterStop) {
  auto sim = StartSim();
  Chaos chaos(*sim, FastChaos(3));
  ASSERT_TRUE(chaos.Start());
  // Clients come and go while faults hit them.
  const auto deadline = Clock::now() + std::chrono::seconds(10);
  while (!EveryKindApplied(chaos) && Clock::now() < deadline) {
    VideoClient client(*sim);
    if (client.registered() && client.OpenVideo(1)) client.NextPicture(50);
  }
  chaos.Stop();
  EXPECT_TRUE(EveryKindApplied(chaos));
  RawClient control(sim->port());
  EXPECT_TRUE(control.RegisterOk());
  const auto answer = control.Request(kInputCount, 0, {0});
  ASSERT_TRUE(answer.has_value());
  EXPECT_EQ(answer->action, rcpwire::kReply);
  EXPECT_TRUE(ServesVideo(*sim, 1));
  EXPECT_TRUE(ServesVideo(*sim, 2));
}

TEST(DeviceSimChaos, StopEndsTheFaultInForce) {
  auto sim = StartSim();
  ChaosOptions options = FastChaos(5);
  options.kinds = {ChaosFault::kStallVideo};
  options.minFaultMs = 600000;
  options.maxFaultMs = 600000;
  Chaos chaos(*sim, options);
  ASSERT_TRUE(chaos.Start());
  ASSERT_TRUE(WaitUntil([&] { return !chaos.Events().empty(); }));
  chaos.Stop();
  const auto events = chaos.Events();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_FALSE(events.back().start);
  EXPECT_TRUE(ServesVideo(*sim, 1));
  EXPECT_TRUE(ServesVideo(*sim, 2));
}

TEST(DeviceSimChaos, CredentialResetDropsConnectionsAndEndsRejecting) {
  auto sim = StartSim();
  ChaosOptions options = FastChaos(9);
  options.kinds = {ChaosFault::kCredentialReset};
  options.meanIntervalMs = 20;
  RawClient before(sim->port());
  ASSERT_TRUE(before.RegisterOk());
  Chaos chaos(*sim, options);
  ASSERT_TRUE(chaos.Start());
  EXPECT_TRUE(before.WaitClosed());
  // Both variants: with and without rejecting registrations for a while.
  EXPECT_TRUE(WaitUntil([&] {
    bool rejecting = false;
    bool plain = false;
    for (const auto& e : chaos.Events()) {
      if (e.start && e.detail.find("rejecting") != std::string::npos) rejecting = true;
      if (e.start && e.detail.empty()) plain = true;
    }
    return rejecting && plain;
  }));
  chaos.Stop();
  RawClient after(sim->port());
  EXPECT_TRUE(after.RegisterOk());
}

TEST(DeviceSimChaos, SameSeedGivesSameFaults) {
  auto first = [](std::uint32_t seed) {
    auto sim = StartSim();
    Chaos chaos(*sim, FastChaos(seed));
    EXPECT_TRUE(chaos.Start());
    EXPECT_TRUE(WaitUntil([&] { return chaos.Events().size() >= 30; }));
    chaos.Stop();
    auto text = Descriptions(chaos.Events());
    text.resize(30);
    return text;
  };
  const auto a = first(42);
  const auto b = first(42);
  const auto c = first(43);
  EXPECT_EQ(a, b);
  EXPECT_NE(a, c);
}

TEST(DeviceSimChaos, LogsEachStartAndEndWithTimestamp) {
  auto sim = StartSim();
  ChaosOptions options = FastChaos(13);
  std::FILE* log = std::tmpfile();
  ASSERT_NE(log, nullptr);
  options.log = log;
  Chaos chaos(*sim, options);
  ASSERT_TRUE(chaos.Start());
  ASSERT_TRUE(WaitUntil([&] { return chaos.Events().size() >= 10; }));
  chaos.Stop();
  const auto events = chaos.Events();
  std::rewind(log);
  std::vector<std::string> lines;
  char buffer[512];
  while (std::fgets(buffer, sizeof buffer, log)) lines.emplace_back(buffer);
  std::fclose(log);
  ASSERT_EQ(lines.size(), events.size());
  for (std::size_t i = 0; i < lines.size(); ++i) {
    // "chaos T_MS start|end KIND[ DETAIL]\n"
    std::istringstream fields(lines[i]);
    std::string word;
    std::string phase;
    std::string kind;
    long long ms = -1;
    ASSERT_TRUE(fields >> word >> ms >> phase >> kind) << lines[i];
    EXPECT_EQ(word, "chaos");
    EXPECT_EQ(ms, events[i].monotonicMs);
    EXPECT_EQ(phase, events[i].start ? "start" : "end");
    EXPECT_EQ(kind, ChaosFaultName(events[i].kind));
    EXPECT_EQ(lines[i].back(), '\n');
  }
}

TEST(DeviceSimChaos, StopLeavesNoThreadBehind) {
  auto sim = StartSim();
  const int baseline = ThreadCount();
  {
    Chaos chaos(*sim, FastChaos(17));
    ASSERT_TRUE(chaos.Start());
    EXPECT_GT(ThreadCount(), baseline);
    ASSERT_TRUE(WaitUntil([&] { return chaos.Events().size() >= 20; }));
    chaos.Stop();
    EXPECT_FALSE(chaos.running());
    EXPECT_TRUE(WaitUntil([&] { return ThreadCount() == baseline; }));
  }
  EXPECT_EQ(ThreadCount(), baseline);
}

TEST(DeviceSimChaos, StartsAgainAfterStop) {
  auto sim = StartSim();
  Chaos chaos(*sim, FastChaos(19));
  ASSERT_TRUE(chaos.Start());
  EXPECT_FALSE(chaos.Start());
  ASSERT_TRUE(WaitUntil([&] { return !chaos.Events().empty(); }));
  chaos.Stop();
  const auto before = chaos.Events().size();
  ASSERT_TRUE(chaos.Start());
  EXPECT_TRUE(WaitUntil([&] { return chaos.Events().size() > before + 2; }));
  chaos.Stop();
}

}  // namespace
}  // namespace devicesim::testing
