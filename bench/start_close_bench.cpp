// Start and Close of the driver as a host sees them: libveltrane.so loaded from beside this
// program and driven through its C exports, a counting host, and the simulated 64-camera
// video server in-process on 127.0.0.1.
//
// Prints the time Close takes with 64 started channels (several runs: median and maximum)
// and the time from StartChannel to the first frame at the host (20 starts: median and 90th
// percentile), each with its ratio to the target.
//
//   start_close_bench [--close-runs N] [--starts N] [--type NAME]
#include <dlfcn.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "device_sim.h"
#include "platform/platform.h"
#include "support/fake_host.h"
#include "support/process_stats.h"
#include "veltrane/veltrane.h"

namespace {

using Clock = std::chrono::steady_clock;
using testutil::ThreadCount;

constexpr int kChannels = 64;
constexpr int kResolutionCif = 2;
constexpr int kFrameIntervalMs = 40;
constexpr int kQuality = 50;
constexpr double kCloseTargetMs = 1000;
constexpr double kStartTargetMs = 150;
// From the first of 64 StartChannel calls to the last channel's first frame.
constexpr double kAllStartedTargetMs = 1000;
// Long enough for any sound start; a start that takes longer counts as failed.
constexpr auto kFrameDeadline = std::chrono::seconds(30);

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

// The host's callback object: counts frames per channel and notes when each channel's first
// frame arrived. Driver error lines go to standard error.
class CountingUser final : public CCaptureAPIUser {
 public:
  std::int32_t OnVideoFrame(std::uint32_t channel, CVideoMessage*, CVideoMessage*) override {
    if (channel >= kChannels) return 0;
    const auto now = Clock::now().time_since_epoch().count();
    std::int64_t none = 0;
    first_[channel].compare_exchange_strong(none, now);
    frames_[channel].fetch_add(1);
    return 1;
  }
  std::int32_t OnChannelLost(std::int32_t) override {
    lost_.fetch_add(1);
    return 0;
  }
  void UserOperation3(std::int32_t) override {}
  std::int32_t OnDebugInfo(CDebugInfoIf* info) override {
    if (info && info->GetLevel() == 1 && info->GetText())
      std::fprintf(stderr, "driver: %s\n", info->GetText());
    return 0;
  }

  void Reset() {
    for (int c = 0; c < kChannels; ++c) {
      frames_[c] = 0;
      first_[c] = 0;
    }
  }
  std::uint64_t Frames(int channel) const { return frames_[channel].load(); }
  // When the channel's first frame arrived; the epoch when none has.
  Clock::time_point FirstFrame(int channel) const {
    return Clock::time_point(Clock::duration(first_[channel].load()));
  }
  int Lost() const { return lost_.load(); }

 private:
  std::array<std::atomic<std::uint64_t>, kChannels> frames_{};
  std::array<std::atomic<std::int64_t>, kChannels> first_{};
  std::atomic<int> lost_{0};
};

struct Exports {
  void* library = nullptr;
  decltype(&CreateCapture) create = nullptr;
  decltype(&DeleteCapture) destroy = nullptr;

  bool Load(const std::string& folder) {
    library = ::dlopen((folder + "libveltrane.so").c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!library) {
      std::fprintf(stderr, "start_close_bench: %s\n", ::dlerror());
      return false;
    }
    create = reinterpret_cast<decltype(create)>(::dlsym(library, "CreateCapture"));
    destroy = reinterpret_cast<decltype(destroy)>(::dlsym(library, "DeleteCapture"));
    return create && destroy;
  }
};

// One driver made through CreateCapture and opened on the simulated device.
class Driver {
 public:
  Driver(const Exports& exports, CountingUser& user, CVideoAllocator& allocator,
         const std::string& type, std::uint16_t port)
      : exports_(exports), api_(exports.create(0)) {
    if (!api_) return;
    api_->SetCaptureUser(&user);
    api_->SetVideoAllocator(&allocator);
    api_->SetProperty("IPSERVERADDRESS", "127.0.0.1", 9);
    api_->SetProperty("IPSERVERTYPE", type.c_str(), static_cast<int>(type.size()));
    // The port travels in the value argument itself.
    api_->SetProperty("IPSERVERPORT", reinterpret_cast<const void*>(static_cast<std::uintptr_t>(port)),
                      4);
    opened_ = api_->Open(nullptr) == 1;
  }
  ~Driver() {
    if (!api_) return;
    api_->Close();
    exports_.destroy(&api_);
  }
  Driver(const Driver&) = delete;
  Driver& operator=(const Driver&) = delete;

  bool opened() const { return opened_; }
  CCaptureAPI& api() { return *api_; }

 private:
  const Exports& exports_;
  CCaptureAPI* api_;
  bool opened_ = false;
};

bool WaitUntil(const std::function<bool()>& condition, Clock::duration limit) {
  const auto deadline = Clock::now() + limit;
  while (!condition()) {
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

double Percentile(std::vector<double> values, double fraction) {
  if (values.empty()) return NAN;
  std::sort(values.begin(), values.end());
  const auto rank = static_cast<std::size_t>(std::ceil(fraction * static_cast<double>(values.size())));
  return values[std::clamp<std::size_t>(rank, 1, values.size()) - 1];
}

// Close of a driver whose every channel is started and delivering video.
// lastFirstFrames gets, per run, the time from the first start to the last channel's first
// frame.
std::vector<double> MeasureClose(const Exports& exports, const std::string& type,
                                 devicesim::DeviceSim& device, int runs,
                                 std::vector<double>& lastFirstFrames) {
  std::vector<double> times;
  for (int run = 0; run < runs; ++run) {
    CountingUser user;
    fakes::FakeAllocator allocator;
    const int threadsBefore = ThreadCount();
    Driver driver(exports, user, allocator, type, device.port());
    if (!driver.opened()) {
      std::fprintf(stderr, "start_close_bench: Open failed\n");
      return times;
    }
    const int channels = std::min(driver.api().GetChannelCount(), kChannels);
    const auto startAll = Clock::now();
    for (int c = 0; c < channels; ++c) {
      if (driver.api().StartChannel(c, kFrameIntervalMs, kResolutionCif, kQuality) != 1)
        std::fprintf(stderr, "start_close_bench: channel %d not started\n", c + 1);
    }
    const bool allVideo = WaitUntil(
        [&] {
          for (int c = 0; c < channels; ++c) {
            if (user.Frames(c) == 0) return false;
          }
          return true;
        },
        kFrameDeadline);
    if (!allVideo) std::fprintf(stderr, "start_close_bench: not every channel has video\n");
    Clock::time_point lastFirst = startAll;
    for (int c = 0; c < channels; ++c) lastFirst = std::max(lastFirst, user.FirstFrame(c));
    // Let the streams settle into their steady state before the stop.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const auto begin = Clock::now();
    driver.api().Close();
    const double ms = Ms(Clock::now() - begin);
    times.push_back(ms);
    if (allVideo) lastFirstFrames.push_back(Ms(lastFirst - startAll));
    std::printf("  close run %d: %d channels streaming (the last one's first frame %.0f ms after "
                "the first start), Close %.1f ms, threads %d before Open, %d after Close\n",
                run + 1, channels, Ms(lastFirst - startAll), ms, threadsBefore, ThreadCount());
    std::fflush(stdout);
  }
  return times;
}

// StartChannel to the first frame, each start on a fresh (idle) channel; the channel is
// stopped again and the device's video session allowed to end before the next start.
std::vector<double> MeasureStarts(const Exports& exports, const std::string& type,
                                  devicesim::DeviceSim& device, int starts) {
  std::vector<double> times;
  CountingUser user;
  fakes::FakeAllocator allocator;
  Driver driver(exports, user, allocator, type, device.port());
  if (!driver.opened()) {
    std::fprintf(stderr, "start_close_bench: Open failed\n");
    return times;
  }
  const int channels = std::min(driver.api().GetChannelCount(), kChannels);
  for (int i = 0; i < starts && channels > 0; ++i) {
    const int channel = i % channels;
    if (i >= channels) user.Reset();
    const auto begin = Clock::now();
    if (driver.api().StartChannel(channel, kFrameIntervalMs, kResolutionCif, kQuality) != 1) {
      std::fprintf(stderr, "start_close_bench: channel %d not started\n", channel + 1);
      continue;
    }
    if (!WaitUntil([&] { return user.Frames(channel) > 0; }, kFrameDeadline)) {
      std::fprintf(stderr, "start_close_bench: no frame on channel %d\n", channel + 1);
    } else {
      times.push_back(Ms(user.FirstFrame(channel) - begin));
    }
    driver.api().StopChannel(channel);
    WaitUntil([&] { return device.ActiveVideoSessions() == 0; }, std::chrono::seconds(10));
  }
  return times;
}

void Report(const char* what, const std::vector<double>& values, const char* secondName,
            double secondFraction, double targetMs) {
  if (values.empty()) {
    std::printf("%s: no measurement\n", what);
    return;
  }
  const double median = Percentile(values, 0.5);
  const double second = Percentile(values, secondFraction);
  std::printf("%s: %zu runs, median %.1f ms, %s %.1f ms; target %.0f ms: median %.2fx, %s "
              "%.2fx of target (%s)\n",
              what, values.size(), median, secondName, second, targetMs, median / targetMs,
              secondName, second / targetMs, median < targetMs ? "met" : "MISSED");
}

}  // namespace

int main(int argc, char** argv) {
  int closeRuns = 5;
  int starts = 20;
  std::string type = "nvs6400";
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string flag = argv[i];
    if (flag == "--close-runs") closeRuns = std::max(1, std::atoi(argv[i + 1]));
    else if (flag == "--starts") starts = std::max(1, std::atoi(argv[i + 1]));
    else if (flag == "--type") type = argv[i + 1];
  }
  const std::string folder = platform::ExecutableFolder();
  Exports exports;
  if (!exports.Load(folder)) return 1;

  devicesim::DeviceSimOptions options;
  options.deviceType = type;
  devicesim::DeviceSim device(options);
  if (!device.Start()) {
    std::fprintf(stderr, "start_close_bench: %s\n", device.LastError().c_str());
    return 1;
  }
  std::printf("simulated %s: %d cameras on 127.0.0.1:%u, CIF at %d ms\n", type.c_str(),
              device.cameraCount(), static_cast<unsigned>(device.port()), kFrameIntervalMs);

  const std::vector<double> startTimes = MeasureStarts(exports, type, device, starts);
  std::vector<double> lastFirstFrames;
  const std::vector<double> closeTimes =
      MeasureClose(exports, type, device, closeRuns, lastFirstFrames);
  device.Stop();

  Report("start to first frame", startTimes, "p90", 0.9, kStartTargetMs);
  Report("64 channels started at once, last channel's first frame", lastFirstFrames, "max", 1.0,
         kAllStartedTargetMs);
  Report("Close with 64 started channels", closeTimes, "max", 1.0, kCloseTargetMs);
  const bool met = !startTimes.empty() && !closeTimes.empty() && !lastFirstFrames.empty() &&
                   Percentile(startTimes, 0.5) < kStartTargetMs &&
                   Percentile(lastFirstFrames, 0.5) < kAllStartedTargetMs &&
                   Percentile(closeTimes, 0.5) < kCloseTargetMs;
  return met ? 0 : 3;
}
