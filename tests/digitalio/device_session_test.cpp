// The object against a simulated device on loopback: configuration, input reports, outputs,
// losses and reconnection, and the worker thread's end.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <atomic>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <tuple>
#include <vector>

#include "device_sim.h"
#include "digital_io_fakes.h"
#include "foundation/abandoned.h"
#include "platform/platform.h"
#include "support/descriptor_exhaustion.h"

namespace digitalio_testing {
namespace {

using corvane::CBoschDigitalIO;
using corvane::CBoschDigitalIOTestPeer;
using devicesim::DeviceSim;
using devicesim::ReceivedRequest;
using Clock = std::chrono::steady_clock;

constexpr int kTimeoutMs = 400;
constexpr int kDeadlineMs = 5000;
constexpr int kDeviceInputs = 4;
constexpr int kDeviceOutputs = 2;

constexpr std::uint32_t kInputCount = 0x01DB0830;
constexpr std::uint32_t kOutputCount = 0x01DC0830;
constexpr std::uint32_t kInputState = 0x01C00030;
constexpr std::uint32_t kSetOutput = 0x01C10031;
constexpr std::uint32_t kOutputState = 0x00940030;

using Wire = std::tuple<std::uint32_t, std::uint16_t, std::vector<std::uint8_t>>;

Wire ToWire(const ReceivedRequest& r) { return {r.commandWord, r.line, r.payload}; }

std::vector<Wire> WithCommand(const std::vector<ReceivedRequest>& requests,
                              std::uint32_t commandWord) {
  std::vector<Wire> result;
  for (const auto& r : requests) {
    if (r.commandWord == commandWord) result.push_back(ToWire(r));
  }
  return result;
}

// Switches output n on from the first report of input n being active (n = 0, 1), as a host
// that ties a relay to an alarm input does, and keeps every report in arrival order.
class RelaySink final : public corvane::ICaptureIOEventSink {
 public:
  struct Switch {
    std::atomic<bool> tried{false};
    std::atomic<bool> ok{false};
    std::atomic<long long> ms{-1};
  };

  void OnInputChanged(int input, int state) override {
    {
      std::lock_guard lock(mutex_);
      states_.push_back({input, state});
    }
    if (input > 1 || state != 2 || switches[input].tried.exchange(true)) return;
    const auto start = Clock::now();
    switches[input].ok.store(io->SetOutput(input, 2));
    switches[input].ms.store(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
  }
  void OnConnectionLost() override { losses.fetch_add(1); }

  // The states reported for one input, in order.
  std::vector<int> StatesOf(int input) const {
    std::lock_guard lock(mutex_);
    std::vector<int> states;
    for (const auto& [i, state] : states_) {
      if (i == input) states.push_back(state);
    }
    return states;
  }

  CBoschDigitalIO* io = nullptr;
  Switch switches[2];
  std::atomic<int> losses{0};

 private:
  mutable std::mutex mutex_;
  std::vector<std::pair<int, int>> states_;
};

class DigitalIODeviceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    devicesim::DeviceSimOptions options;
    options.cameraCount = 1;
    options.inputCount = kDeviceInputs;
    options.outputCount = kDeviceOutputs;
    options.user = "operator";
    options.password = "s3cret";
    sim_ = std::make_unique<DeviceSim>(options);
    ASSERT_TRUE(sim_->Start()) << sim_->LastError();
  }

  void TearDown() override {
    io_.reset();
    // As the driver's Close does: no library thread outlives the test (one still
    // registering at process exit would race OpenSSL's own clean-up).
    rcpplus::System::terminate();
    sim_.reset();
  }

  // configuredInputs/Outputs: what the device-type file would say.
  CBoschDigitalIO& MakeIO(int pollPeriodMs = 30000, int configuredInputs = kDeviceInputs,
                          int configuredOutputs = kDeviceOutputs) {
    handler_ = std::make_unique<FakeHandler>(sim_->port(), "operator", "s3cret",
                                             configuredInputs, configuredOutputs);
    io_ = std::make_unique<CBoschDigitalIO>(handler_.get(), kTimeoutMs, pollPeriodMs);
    return *io_;
  }

  // Enabled with the sink, and every input reported once.
  void StartWatching(CBoschDigitalIO& io) {
    io.SetEventSink(&sink_);
    ASSERT_TRUE(io.Enable());
    ASSERT_TRUE(sink_.WaitUntil(
        [](const std::vector<FakeSink::Event>& e) {
          return static_cast<int>(e.size()) >= kDeviceInputs;
        },
        kDeadlineMs));
    // The subscription follows the state requests; a message proves it is up.
    ASSERT_TRUE(sim_->WaitForRequests(kInputState, kDeviceInputs, kDeadlineMs));
  }

  bool WaitForReportsAfterLoss(int losses, int reports) {
    return Eventually([&] { return sink_.ReportsAfterLoss(losses) >= reports; }, kDeadlineMs);
  }

  // A sink of a test's own, alive until the object is gone.
  template <typename Sink>
  Sink& Keep(std::unique_ptr<Sink> sink) {
    Sink& kept = *sink;
    extraSinks_.push_back(std::move(sink));
    return kept;
  }

  std::unique_ptr<DeviceSim> sim_;
  std::unique_ptr<FakeHandler> handler_;
  FakeSink sink_;
  std::vector<std::unique_ptr<corvane::ICaptureIOEventSink>> extraSinks_;
  std::unique_ptr<CBoschDigitalIO> io_;
};

TEST_F(DigitalIODeviceTest, ConfiguresEveryLineInOrderThenRequestsStates) {
  // The file says 1 input and 1 output; the device's own counts win.
  auto& io = MakeIO(30000, 1, 1);
  EXPECT_EQ(io.GetInputCount(), 1);
  StartWatching(io);

  std::vector<Wire> expected;
  expected.push_back({kInputCount, 0, {0x00}});
  expected.push_back({kOutputCount, 0, {0x00}});
  for (std::uint16_t line = 1; line <= kDeviceInputs; ++line) {
    expected.push_back({0x008D0131, line, {0x01}});
    expected.push_back({0x008C0131, line, {0x01}});
    expected.push_back({0x00350031, line, {0x01}});
  }
  for (std::uint16_t line = 1; line <= kDeviceOutputs; ++line) {
    expected.push_back({0x00480131, line, {0x00}});
    expected.push_back({0x00930131, line, {0x01}});
    expected.push_back({0x00930130, line, {0x00}});
  }
  for (std::uint16_t line = 1; line <= kDeviceInputs; ++line) {
    expected.push_back({kInputState, line, {0x00}});
  }
  std::vector<Wire> actual;
  for (const auto& r : sim_->Requests()) actual.push_back(ToWire(r));
  EXPECT_EQ(actual, expected);
  EXPECT_EQ(io.GetInputCount(), kDeviceInputs);
  EXPECT_EQ(io.GetOutputCount(), kDeviceOutputs);
  EXPECT_EQ(handler_->CountLines("CBoschDigitalIO: Total number of supported inputs is: 4"), 1);
  EXPECT_EQ(handler_->CountLines("CBoschDigitalIO: Total number of supported outputs is: 2"), 1);
}

TEST_F(DigitalIODeviceTest, InputMessageReachesSinkAfterSubscription) {
  auto& io = MakeIO();
  StartWatching(io);
  EXPECT_EQ(sink_.CountReports(1, 2), 0);
  // The subscription is made right after the state requests; give it a moment to land.
  ASSERT_TRUE(Eventually(
      [&] {
        sim_->SetInput(2, true);
        if (sink_.CountReports(1, 2) > 0) return true;
        sim_->SetInput(2, false);
        return false;
      },
      kDeadlineMs));
}

TEST_F(DigitalIODeviceTest, StateRequestsReportEachInputOnce) {
  sim_->SetInput(2, true);
  auto& io = MakeIO();
  StartWatching(io);
  EXPECT_EQ(sink_.CountReports(0, 1), 1);
  EXPECT_EQ(sink_.CountReports(1, 2), 1);
  EXPECT_EQ(sink_.CountReports(2, 1), 1);
  EXPECT_EQ(sink_.CountReports(3, 1), 1);
}

TEST_F(DigitalIODeviceTest, PollsReportTheLastLinesStateEveryTime) {
  sim_->SetInput(4, true);
  auto& io = MakeIO(100);
  StartWatching(io);
  // The poll asks for the highest input's line, and each answer reaches the sink.
  ASSERT_TRUE(Eventually([&] { return sink_.CountReports(3, 2) >= 3; }, kDeadlineMs));
  EXPECT_GE(WithCommand(sim_->Requests(), kInputState).size(), 6u);
  EXPECT_EQ(sink_.LostCount(), 0);
}

TEST_F(DigitalIODeviceTest, SetOutputOnSendsSwitchThenStateOnItsLine) {
  auto& io = MakeIO();
  StartWatching(io);
  sim_->ClearRequests();
  ASSERT_TRUE(io.SetOutput(0, 2));
  std::vector<Wire> actual;
  for (const auto& r : sim_->Requests()) actual.push_back(ToWire(r));
  const std::vector<Wire> expected{{kSetOutput, 1, {0x01}}, {kOutputState, 1, {0x01}}};
  EXPECT_EQ(actual, expected);
  EXPECT_TRUE(sim_->Output(1));
  EXPECT_FALSE(sim_->Output(2));
}

TEST_F(DigitalIODeviceTest, SetOutputWithOtherStatesSwitchesOff) {
  auto& io = MakeIO();
  StartWatching(io);
  ASSERT_TRUE(io.SetOutput(1, 2));
  ASSERT_TRUE(sim_->Output(2));
  sim_->ClearRequests();
  ASSERT_TRUE(io.SetOutput(1, 1));
  EXPECT_FALSE(sim_->Output(2));
  ASSERT_TRUE(io.SetOutput(1, 0));
  for (const auto& r : sim_->Requests()) {
    EXPECT_EQ(r.line, 2);
    EXPECT_EQ(r.payload, std::vector<std::uint8_t>{0x00});
  }
  EXPECT_EQ(WithCommand(sim_->Requests(), kSetOutput).size(), 2u);
}

TEST_F(DigitalIODeviceTest, SetOutputWithoutConnectionFailsAtOnce) {
  auto& io = MakeIO();
  const auto start = Clock::now();
  EXPECT_FALSE(io.SetOutput(0, 2));
  EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(kTimeoutMs));
  EXPECT_TRUE(sim_->Requests().empty());
}

TEST_F(DigitalIODeviceTest, SetOutputFailsWhenDeviceDoesNotAnswer) {
  auto& io = MakeIO();
  StartWatching(io);
  sim_->DropReplies(kSetOutput, true);
  EXPECT_FALSE(io.SetOutput(0, 2));
}

TEST_F(DigitalIODeviceTest, DisableWhileWatchingReportsLossOnceAndWaitsForEnable) {
  auto& io = MakeIO(100);
  StartWatching(io);
  ASSERT_TRUE(io.Disable());
  ASSERT_TRUE(Eventually([&] { return sink_.LostCount() == 1; }, kDeadlineMs));
  ASSERT_TRUE(Eventually([&] { return sim_->ConnectionCount() == 0; }, kDeadlineMs));
  sim_->ClearRequests();
  // Watching would poll every 100 ms.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_TRUE(sim_->Requests().empty());
  EXPECT_FALSE(io.SetOutput(0, 2));

  ASSERT_TRUE(io.Enable());
  EXPECT_TRUE(WaitForReportsAfterLoss(1, kDeviceInputs));
  EXPECT_EQ(sink_.LostCount(), 1);
}

TEST_F(DigitalIODeviceTest, DisableWhileIdleDoesNotCutNextConfigurationShort) {
  // The file knows no outputs: only the device's answer brings the output writes.
  auto& io = MakeIO(30000, 1, 0);
  io.SetEventSink(&sink_);
  ASSERT_TRUE(io.Disable());
  ASSERT_TRUE(io.Enable());
  ASSERT_TRUE(sim_->WaitForRequests(kInputState, kDeviceInputs, kDeadlineMs));
  const auto requests = sim_->Requests();
  EXPECT_EQ(WithCommand(requests, 0x008D0131).size(), 4u);
  EXPECT_EQ(WithCommand(requests, 0x00480131).size(), 2u);
}

TEST_F(DigitalIODeviceTest, DroppedDeviceReportsLossOnceThenReconnects) {
  auto& io = MakeIO(100);
  StartWatching(io);
  sim_->RefuseConnections(true);
  sim_->DropAllConnections();
  ASSERT_TRUE(Eventually([&] { return sink_.LostCount() == 1; }, kDeadlineMs));
  // Further passes fail while the device is away; none of them is another loss.
  ASSERT_TRUE(handler_->WaitForLineContaining("Reason: ConnectionError", 3, kDeadlineMs));
  EXPECT_EQ(sink_.LostCount(), 1);
  sim_->RefuseConnections(false);
  EXPECT_TRUE(WaitForReportsAfterLoss(1, kDeviceInputs));
  EXPECT_EQ(sink_.LostCount(), 1);
}

TEST_F(DigitalIODeviceTest, SilentPollTakesObjectOfflineAndReconnects) {
  auto& io = MakeIO(100);
  StartWatching(io);
  sim_->ClearRequests();
  sim_->DropReplies(kInputState, true);
  ASSERT_TRUE(Eventually([&] { return sink_.LostCount() >= 1; }, kDeadlineMs));
  sim_->DropReplies(kInputState, false);
  EXPECT_TRUE(sim_->WaitForRequests(kInputCount, 1, kDeadlineMs));
  EXPECT_TRUE(WaitForReportsAfterLoss(sink_.LostCount(), kDeviceInputs));
}

TEST_F(DigitalIODeviceTest, DestroyingWatchingObjectEndsThreadInTime) {
  auto& io = MakeIO();
  StartWatching(io);
  const auto start = Clock::now();
  io_.reset();
  EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(2 * kTimeoutMs));
  EXPECT_EQ(sink_.LostCount(), 1);
  EXPECT_EQ(handler_->CountLinesContaining("did not stop"), 0);
}

// Holds the thread that reports a loss until released.
class StuckSink final : public corvane::ICaptureIOEventSink {
 public:
  void OnInputChanged(int, int) override { reports.fetch_add(1); }
  void OnConnectionLost() override {
    entered.store(true);
    while (!released.load()) platform::SleepMs(5);
  }
  std::atomic<int> reports{0};
  std::atomic<bool> entered{false};
  std::atomic<bool> released{false};
};

// A sink that never returns holds the worker thread: it is given up on, not cancelled, and
// the object stays alive for it, cut off from its driver and sink.
TEST_F(DigitalIODeviceTest, ThreadThatDoesNotStopIsAbandonedWithLogLine) {
  auto& io = MakeIO();
  StuckSink stuck;
  io.SetEventSink(&stuck);
  ASSERT_TRUE(io.Enable());
  ASSERT_TRUE(Eventually([&] { return stuck.reports.load() >= kDeviceInputs; }, kDeadlineMs));
  // The worker thread tells the sink about the loss on its way out, and stays there.
  EXPECT_FALSE(io.Retire());
  EXPECT_TRUE(stuck.entered.load());
  EXPECT_EQ(handler_->CountLines("CBoschDigitalIO: IO thread did not stop, terminating it."), 1);
  corvane::KeepForever(std::move(io_));
  const std::size_t lines = handler_->Lines().size();
  const int reports = stuck.reports.load();
  sim_->SetInput(1, true);
  stuck.released.store(true);
  // The thread runs on to its end without a word to the driver or the sink.
  EXPECT_FALSE(Eventually(
      [&] { return handler_->Lines().size() != lines || stuck.reports.load() != reports; },
      3 * kTimeoutMs));
}

// Nobody hears the inputs, so the device is left alone (it was configured over and over, some
// thousand requests a second); a sink, set at first or again after a loss, starts a pass.
TEST_F(DigitalIODeviceTest, WithoutSinkTheDeviceIsLeftAloneUntilOneIsSet) {
  auto& io = MakeIO(100);
  ASSERT_TRUE(io.Enable());
  std::this_thread::sleep_for(std::chrono::seconds(3));
  EXPECT_LT(sim_->Requests().size(), 20u);
  StartWatching(io);

  io.SetEventSink(nullptr);
  sim_->DropReplies(kInputState, true);
  ASSERT_TRUE(Eventually([&] { return !CBoschDigitalIOTestPeer::Online(io); }, kDeadlineMs));
  sim_->DropReplies(kInputState, false);
  ASSERT_TRUE(Eventually([&] { return sim_->ConnectionCount() == 0; }, kDeadlineMs));
  sim_->ClearRequests();
  std::this_thread::sleep_for(std::chrono::seconds(1));
  EXPECT_LT(sim_->Requests().size(), 20u);
  EXPECT_EQ(sim_->ConnectionCount(), 0);
  const int reports = sink_.ReportsAfterLoss(0);
  io.SetEventSink(&sink_);
  EXPECT_TRUE(Eventually([&] { return sink_.ReportsAfterLoss(0) >= reports + kDeviceInputs; },
                         kDeadlineMs));
}

// Input 1 is on when the object connects: its first report is the answer to a state request,
// which comes on the connection that SetOutput's own requests need; input 2 goes on later, in
// a message of the subscription.
TEST_F(DigitalIODeviceTest, SetOutputFromTheSinkSwitchesTheRelay) {
  sim_->SetInput(1, true);
  auto& io = MakeIO();
  RelaySink& relay = Keep(std::make_unique<RelaySink>());
  relay.io = &io;
  io.SetEventSink(&relay);
  ASSERT_TRUE(io.Enable());
  ASSERT_TRUE(Eventually([&] { return relay.switches[0].ms.load() >= 0; }, kDeadlineMs));
  EXPECT_TRUE(relay.switches[0].ok.load());
  EXPECT_LT(relay.switches[0].ms.load(), 2000);
  EXPECT_TRUE(sim_->Output(1));

  // The subscription follows the priming; toggle until a message gets through, then a few more
  // changes: every one is reported, in order.
  ASSERT_TRUE(Eventually(
      [&] {
        sim_->SetInput(2, true);
        if (relay.switches[1].tried.load()) return true;
        sim_->SetInput(2, false);
        return false;
      },
      kDeadlineMs));
  for (int i = 0; i < 6; ++i) sim_->SetInput(3, i % 2 == 0);
  ASSERT_TRUE(Eventually([&] { return relay.switches[1].ms.load() >= 0; }, kDeadlineMs));
  EXPECT_TRUE(relay.switches[1].ok.load());
  EXPECT_LT(relay.switches[1].ms.load(), 2000);
  EXPECT_TRUE(sim_->Output(2));
  ASSERT_TRUE(Eventually([&] { return relay.StatesOf(2).size() >= 7; }, kDeadlineMs));
  // The primed state, then on, off, on, off, on, off.
  EXPECT_EQ(relay.StatesOf(2), (std::vector<int>{1, 2, 1, 2, 1, 2, 1}));
  EXPECT_EQ(relay.losses.load(), 0);
}

// The password changed on the device, then changed back: the refusal is a lost connection,
// and the object gets back once the device accepts it again.
TEST_F(DigitalIODeviceTest, RefusedRegistrationIsALossAndHealsWhenAccepted) {
  auto& io = MakeIO(100);
  StartWatching(io);
  sim_->RejectCredentials(true);
  sim_->DropAllConnections();
  ASSERT_TRUE(Eventually([&] { return sink_.LostCount() == 1; }, kDeadlineMs));
  ASSERT_TRUE(handler_->WaitForLineContaining("InvalidAuthorizationLevel", 1, kDeadlineMs));
  EXPECT_FALSE(CBoschDigitalIOTestPeer::Online(io));
  sim_->RejectCredentials(false);
  EXPECT_TRUE(WaitForReportsAfterLoss(1, kDeviceInputs));
  EXPECT_EQ(sink_.LostCount(), 1);
}

// The sanitizers check an object's dynamic type the first time a code path meets it, and need
// descriptors for that; the types on the library's failure path are met here first.
void WarmUpFailurePath() {
  const std::system_error warmUp(EMFILE, std::generic_category(), "warm-up");
  EXPECT_NE(warmUp.what(), nullptr);
  testutil::CheckExceptionTypeOnce();
}

TEST_F(DigitalIODeviceTest, LibraryErrorOnWorkerThreadIsAFailedPass) {
  auto& io = MakeIO();
  // One full pass first, so that afterwards only the new connection needs a descriptor (the
  // sanitizers' own checks need some too, the first time a code path runs).
  StartWatching(io);
  ASSERT_TRUE(io.Disable());
  ASSERT_TRUE(Eventually([&] { return sim_->ConnectionCount() == 0; }, kDeadlineMs));
  ASSERT_EQ(sink_.LostCount(), 1);

  WarmUpFailurePath();
  testutil::DescriptorExhaustion exhaustion;
  ASSERT_TRUE(io.Enable());
  const bool caught = handler_->WaitForLineContaining("CBoschDigitalIO: Run: Error catched", 1,
                                                      kDeadlineMs);
  exhaustion.Release();
  ASSERT_TRUE(caught);
  // The next pass, after the pause, gets through.
  EXPECT_TRUE(WaitForReportsAfterLoss(1, kDeviceInputs));
  EXPECT_EQ(sink_.LostCount(), 1);
}

}  // namespace
}  // namespace digitalio_testing
