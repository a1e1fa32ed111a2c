// No exception leaves the driver through a slot: not the host's own, thrown from a callback
// the driver makes, and not one of the driver's.
#include "driver/slot_barrier.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <stdexcept>
#include <string>

#include "driver/veltrane.h"
#include "support/fake_host.h"
#include "support/settings_test_files.h"

namespace corvane {
namespace {

TEST(SlotBarrier, AnswersTheResultOrTheFailureAndReportsTheException) {
  std::string reported = "none";
  const auto report = [&](const char* what) { reported = what; };
  EXPECT_EQ(SlotBarrier(0, [] { return 7; }, report), 7);
  EXPECT_EQ(reported, "none");
  EXPECT_EQ(SlotBarrier(0, []() -> int { throw std::runtime_error("broken"); }, report), 0);
  EXPECT_EQ(reported, "broken");
  EXPECT_EQ(SlotBarrier(-1, []() -> int { throw 3; }, report), -1);
  EXPECT_EQ(reported, kUnknownException);
  // A report that throws itself is dropped too.
  EXPECT_EQ(SlotBarrier(0, []() -> int { throw 3; }, [](const char*) { throw 4; }), 0);
  bool ran = false;
  SlotBarrier([&] {
    ran = true;
    throw std::logic_error("void slot");
  });
  EXPECT_TRUE(ran);
}

// What the host's debug callback throws.
struct ThrowRow {
  const char* name;
  std::function<void()> raise;
};

void PrintTo(const ThrowRow& row, std::ostream* os) { *os << row.name; }

class HostCallbackThrows : public ::testing::TestWithParam<ThrowRow> {
 protected:
  void SetUp() override {
    user_.SetDebugInfoHook(GetParam().raise);
    driver_.SetCaptureUser(&user_);
  }
  // An opened driver without CIF: starting a channel at CIF is refused with a log line.
  void OpenWithoutCif() {
    file_ = std::make_unique<TestSettingsFile>(
        UniqueStem("barrier"), "<?xml version=\"1.0\"?>\n<bosch><cameraCount value=\"1\"/>"
                               "<framerate><max value=\"25\"/></framerate></bosch>\n");
    driver_.SetProperty("IPSERVERADDRESS", "127.0.0.1", 0);
    driver_.SetProperty("IPSERVERTYPE", file_->stem().c_str(), 0);
    ASSERT_EQ(driver_.Open(nullptr), 1);
    ASSERT_EQ(user_.Lines().size(), 0u);
  }

  fakes::FakeCaptureUser user_;
  CVeltrane driver_;
  std::unique_ptr<TestSettingsFile> file_;
};

TEST_P(HostCallbackThrows, LogKeepsItToItself) {
  CIPCaptureIOBaseHandlerIf& handler = driver_;
  EXPECT_NO_THROW(handler.Log(kLogError, "line %d", 1));
  EXPECT_TRUE(user_.HasLine("line 1"));
  // The driver lock was given back on the way out.
  EXPECT_EQ(driver_.driverLock().state().lockCount.load(), 0);
  EXPECT_NO_THROW(handler.Log(kLogInfo, "line %d", 2));
  EXPECT_TRUE(user_.HasLine("line 2"));
}

TEST_P(HostCallbackThrows, OpenThatLogsGoesOn) {
  // No address: logged, and Open carries on to the next check.
  EXPECT_NO_THROW(EXPECT_EQ(driver_.Open(nullptr), 0));
  EXPECT_TRUE(user_.HasLine("CVeltrane::Open() -> IPaddress hasn't been set"));
  EXPECT_TRUE(user_.HasLine("CVeltrane::Open() -> IP Server Type hasn't been set"));
}

TEST_P(HostCallbackThrows, StartChannelThatLogsRefusesTheStart) {
  user_.SetDebugInfoHook(nullptr);
  OpenWithoutCif();
  user_.SetDebugInfoHook(GetParam().raise);
  int started = -1;
  EXPECT_NO_THROW(started = driver_.StartChannel(0, 1000, kResolutionCif, 50));
  EXPECT_EQ(started, 0);
  EXPECT_TRUE(user_.HasLine(
      "Veltrane::StartChannel CIF resolution not supported, channel not started."));
  EXPECT_FALSE(driver_.channelStarted(0));
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, HostCallbackThrows,
    ::testing::Values(ThrowRow{"StdException", [] { throw std::runtime_error("host fault"); }},
                      ThrowRow{"OtherException", [] { throw 42; }}),
    [](const ::testing::TestParamInfo<ThrowRow>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace corvane
