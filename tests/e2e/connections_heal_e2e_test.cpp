// Connections as a real installation breaks them: credentials refused for a while, and a
// process that runs under the common limit of 1,024 open files.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "e2e_support.h"
#include "platform/eventually.h"
#include "session/bosch_ip_camera_info.h"
#include "support/descriptor_exhaustion.h"
#include "support/process_stats.h"
#include "veltrane/capture_io.h"

namespace e2e {
namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;
using testutil::Eventually;
using testutil::MsSince;

constexpr int kCif = 2;

int OpenDescriptors() { return testutil::OpenDescriptors::Now().count; }

// The soft limit on open files lowered for the test's time (the hard one stays).
class SoftDescriptorLimit {
 public:
  explicit SoftDescriptorLimit(rlim_t soft) {
    getrlimit(RLIMIT_NOFILE, &saved_);
    rlimit lowered = saved_;
    lowered.rlim_cur = soft;
    active_ = setrlimit(RLIMIT_NOFILE, &lowered) == 0;
  }
  ~SoftDescriptorLimit() { setrlimit(RLIMIT_NOFILE, &saved_); }
  bool active() const { return active_; }

 private:
  rlimit saved_{};
  bool active_ = false;
};

// Counts the sink's calls.
class CountingSink final : public corvane::ICaptureIOEventSink {
 public:
  void OnInputChanged(int, int) override { reports.fetch_add(1); }
  void OnConnectionLost() override { losses.fetch_add(1); }
  std::atomic<int> reports{0};
  std::atomic<int> losses{0};
};

// The password changed on the device and changed back: video and alarm inputs come back once
// the device accepts again, and the refused connection is not retried in a tight loop.
TEST(ConnectionsHeal, RefusedCredentialsHealVideoAndInputs) {
  constexpr int kTimeoutMs = 1500;
  CountingSink sink;  // outlives the driver
  DriverOnDevice fixture("heal_auth", 1, kTimeoutMs, true, 2);
  ASSERT_TRUE(fixture.Open());
  ASSERT_EQ(fixture.driver().StartChannel(0, 40, kCif, 50), 1);
  corvane::ICaptureIOApi* io = nullptr;
  ASSERT_TRUE(fixture.driver().GetProperty("ICaptureIOApi", &io, sizeof io));
  ASSERT_TRUE(io->SetEventSink(&sink));
  ASSERT_TRUE(io->Enable());
  ASSERT_TRUE(Eventually([&] { return sink.reports.load() >= 2; }, milliseconds(10000)));
  ASSERT_TRUE(fixture.user().WaitForFrames(3, 10000));

  fixture.device().RejectCredentials(true);
  fixture.device().ClearRequests();
  fixture.device().DropAllConnections();
  const auto refused = steady_clock::now();
  ASSERT_TRUE(Eventually([&] { return sink.losses.load() == 1; }, milliseconds(10000)));
  std::this_thread::sleep_for(milliseconds(3000) - (steady_clock::now() - refused));
  // Handles that reconnect at the same moment may each try once; after the first refusal the
  // device sees at most one attempt per pause (1 s, then doubling).
  const auto times = fixture.device().RegistrationTimes();
  ASSERT_FALSE(times.empty());
  std::vector<steady_clock::time_point> later;
  for (const auto t : times) {
    if (t - times.front() > milliseconds(200)) later.push_back(t);
  }
  EXPECT_LE(later.size(), 3u);
  for (std::size_t i = 1; i < later.size(); ++i) {
    EXPECT_GE(later[i] - later[i - 1], milliseconds(900)) << "attempt " << i;
  }

  const std::size_t framesBefore = fixture.user().Frames().size();
  const int reportsBefore = sink.reports.load();
  fixture.device().RejectCredentials(false);
  const auto accepted = steady_clock::now();
  // Network time-out + 3 s (lost video) + the digital I/O object's pause + 5 s.
  const milliseconds budget(kTimeoutMs + 3000 + kTimeoutMs + 5000);
  EXPECT_TRUE(fixture.user().WaitForFrames(framesBefore + 3, static_cast<int>(budget.count())))
      << "no video " << MsSince(accepted) << " ms after the device accepted again";
  EXPECT_TRUE(Eventually([&] { return sink.reports.load() >= reportsBefore + 2; },
                         budget - milliseconds(MsSince(accepted))))
      << "no input report " << MsSince(accepted) << " ms after the device accepted again";
  fixture.device().SetInput(1, true);
  EXPECT_TRUE(Eventually([&] { return sink.reports.load() >= reportsBefore + 3; }));
  EXPECT_EQ(sink.losses.load(), 1);
}

// A simulated device in a process of its own, so that the descriptors and threads of this
// process are the driver's alone. Made before the test starts any thread.
class DeviceProcess {
 public:
  explicit DeviceProcess(const devicesim::DeviceSimOptions& options) {
    int toParent[2];
    int toChild[2];
    if (pipe2(toParent, O_CLOEXEC) != 0) return;
    if (pipe2(toChild, O_CLOEXEC) != 0) {
      close(toParent[0]);
      close(toParent[1]);
      return;
    }
    pid_ = fork();
    if (pid_ == 0) {
      close(toParent[0]);
      close(toChild[1]);
      devicesim::DeviceSim sim(options);
      const std::uint16_t port = sim.Start() ? sim.port() : 0;
      (void)!write(toParent[1], &port, sizeof port);
      char byte = 0;
      // Serves until the test closes its end.
      while (read(toChild[0], &byte, 1) > 0) {
      }
      sim.Stop();
      _exit(0);
    }
    close(toParent[1]);
    close(toChild[0]);
    control_ = toChild[1];
    if (pid_ > 0 && read(toParent[0], &port_, sizeof port_) != sizeof port_) port_ = 0;
    close(toParent[0]);
  }
  ~DeviceProcess() {
    if (control_ >= 0) close(control_);
    if (pid_ > 0) waitpid(pid_, nullptr, 0);
  }
  std::uint16_t port() const { return port_; }

 private:
  pid_t pid_ = -1;
  int control_ = -1;
  std::uint16_t port_ = 0;
};

// Debian's default soft limit, and that of most service managers.
constexpr rlim_t kCommonLimit = 1024;

TEST(DescriptorBudget, OneDriverStreamsAll64ChannelsUnderTheCommonLimit) {
  ASSERT_EQ(testutil::ThreadCount(), 1) << testutil::ThreadNames();
  devicesim::DeviceSimOptions options;
  options.cameraCount = 64;
  options.inputCount = 0;
  options.outputCount = 0;
  DeviceProcess device(options);
  ASSERT_GT(device.port(), 0);
  SoftDescriptorLimit limit(kCommonLimit);
  ASSERT_TRUE(limit.active());

  fakes::FakeCaptureUser user;
  fakes::FakeAllocator allocator;
  TestSettingsFile file(UniqueStem("budget64"), DeviceTypeXml(64, 3000));
  const int descriptorsBefore = OpenDescriptors();
  const int threadsBefore = testutil::ThreadCount();
  {
    corvane::CVeltrane driver;
    AttachDriver(driver, user, allocator, file.stem(), device.port());
    ASSERT_EQ(driver.Open(nullptr), 1);
    const int descriptorsOpened = OpenDescriptors() - descriptorsBefore;
    for (int channel = 0; channel < 64; ++channel) {
      ASSERT_EQ(driver.StartChannel(channel, 200, kCif, 50), 1) << "channel " << channel;
    }
    const auto streaming = [&] {
      for (int channel = 0; channel < 64; ++channel) {
        const corvane::CBoschIPCameraInfo* session = driver.cameraSession(channel);
        if (session == nullptr || !session->videoReported.load()) return false;
      }
      return true;
    };
    EXPECT_TRUE(Eventually(streaming, milliseconds(60000)));
    const int descriptors = OpenDescriptors() - descriptorsBefore;
    const int threads = testutil::ThreadCount() - threadsBefore;
    std::printf("64 channels: %d descriptors opened, %d streaming (%.1f per channel), %d threads\n",
                descriptorsOpened, descriptors, descriptors / 64.0, threads);
    // A streaming channel holds three connections of the RCP+ library (the streamer's control
    // and media connections, and the session's announcement), each a socket and the wake-up of
    // its thread; nothing else of the driver takes a descriptor. A few more serve the device's
    // shared control connection.
    EXPECT_LE(descriptors, 6 * 64 + 16);
    EXPECT_TRUE(user.LostChannels().empty());
    EXPECT_EQ(driver.Close(), 1);
  }
  EXPECT_TRUE(Eventually([&] { return OpenDescriptors() <= descriptorsBefore; }))
      << OpenDescriptors() - descriptorsBefore << " descriptors left after Close";
}

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
// The address-sanitizer build checks undefined behaviour too.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kTypeChecks = true;
#else
constexpr bool kTypeChecks = false;
#endif

// A connection that the system's limit does not let the driver make says so, and the channel
// streams once descriptors are free again.
TEST(DescriptorBudget, AConnectionRefusedByTheLimitSaysWhy) {
  // The type checks read /proc the first time they meet a polymorphic type and report an
  // invalid object when no descriptor is left for that; the library's own suite covers the
  // reason under them, with every type of its failure path met beforehand.
  if (kTypeChecks) GTEST_SKIP() << "the type checks need descriptors of their own";
  DriverOnDevice fixture("budget_short", 1, 800);
  ASSERT_TRUE(fixture.Open());
  // One stream first: the sanitizers need descriptors to check a type the first time a code
  // path meets it, and the stream's code paths are met here.
  ASSERT_EQ(fixture.driver().StartChannel(0, 40, kCif, 50), 1);
  ASSERT_TRUE(fixture.user().WaitForFrames(3, 15000));
  ASSERT_EQ(fixture.driver().StopChannel(0), 1);
  ASSERT_TRUE(Eventually([&] { return fixture.device().ActiveVideoSessions() == 0; }));
  testutil::CheckExceptionTypeOnce();
  const std::size_t frames = fixture.user().Frames().size();
  {
    testutil::DescriptorExhaustion shortage;
    ASSERT_TRUE(shortage.full());
    ASSERT_EQ(fixture.driver().StartChannel(0, 40, kCif, 50), 1);
    const bool said = fixture.user().WaitForLine("Too many open files", 10000);
    shortage.Release();
    ASSERT_TRUE(said);
  }
  EXPECT_TRUE(fixture.user().WaitForFrames(frames + 3, 15000));
}

long long VirtualMemoryBytes() {
  std::ifstream status("/proc/self/status");
  std::string key;
  while (status >> key) {
    long long kb = 0;
    if (key == "VmSize:" && status >> kb) return kb * 1024;
  }
  return -1;
}

// Opens a 64-camera driver with room in the address space for the heap and a few thread
// stacks, not for 64; 0 when Open named the sessions left without a worker thread and starting
// one of them was refused with its line.
int OpenWithLittleAddressSpace() {
  DriverOnDevice fixture("budget_threads", 64, 800);
  const rlimit room{static_cast<rlim_t>(VirtualMemoryBytes() + (48 << 20)), RLIM_INFINITY};
  setrlimit(RLIMIT_AS, &room);
  const bool opened = fixture.Open();
  const rlimit unlimited{RLIM_INFINITY, RLIM_INFINITY};
  setrlimit(RLIMIT_AS, &unlimited);
  int incomplete = -1;
  for (int channel = 63; channel >= 0 && incomplete < 0; --channel) {
    const corvane::CBoschIPCameraInfo* session = fixture.driver().cameraSession(channel);
    if (session != nullptr && !session->Complete()) incomplete = channel;
  }
  const bool named = fixture.user().WaitForLine("camera sessions have no worker thread", 0);
  const bool refused =
      incomplete >= 0 && fixture.driver().StartChannel(incomplete, 200, kCif, 50) == 0 &&
      fixture.user().WaitForLine("has no worker thread, channel not started", 0);
  std::fprintf(stderr, "opened %d, incomplete session %d, named %d, refused %d\n", opened,
               incomplete, named, refused);
  return opened && named && refused ? 0 : 1;
}

// Sessions whose worker thread could not be started are named by Open, and starting one is
// refused with a line, never reported started.
TEST(DescriptorBudget, SessionsWithoutAWorkerThreadAreNamedAndRefused) {
  if (kSanitized) GTEST_SKIP() << "the sanitizers' own mappings need the address space";
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(std::exit(OpenWithLittleAddressSpace()), ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace e2e
