// Video end to end: the simulated device streams its H.263 clips over RTP on loopback, the
// driver receives, assembles and delivers them, and the host fake compares every frame with
// the clip's pictures.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstddef>
#include <filesystem>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "device_sim.h"
#include "driver/veltrane.h"
#include "e2e_support.h"
#include "h263_clip.h"
#include "platform/eventually.h"
#include "platform/platform.h"
#include "session/bosch_ip_camera_info.h"
#include "support/fake_host.h"
#include "support/settings_test_files.h"

namespace e2e {
namespace {

using std::chrono::milliseconds;
using testutil::Eventually;
using testutil::HoldsFor;
using Frame = fakes::FakeCaptureUser::Frame;

constexpr int kTimeoutMs = 400;
constexpr int kWatchdogLimitMs = kTimeoutMs + 3000;
constexpr int kFrameIntervalMs = 40;
// Frames to compare from the first intra picture of the clip on.
constexpr std::size_t kFramesCompared = 30;
constexpr milliseconds kStreamDeadline{20000};

constexpr std::uint32_t kDivx = 0x58564944;
constexpr std::uint32_t kDivd = 0x44564944;
constexpr std::uint32_t kDivi = 0x49564944;
constexpr std::uint32_t kDivp = 0x50564944;


std::string ClipFolder() { return platform::ExecutableFolder() + "clips/"; }

struct LoadedClip {
  std::vector<std::vector<std::uint8_t>> pictures;
  std::vector<bool> intra;
};

// The clip's pictures, and which are intra as the simulator's own header parser reads them.
LoadedClip LoadClip(const std::string& path) {
  LoadedClip loaded;
  devicesim::H263Clip clip;
  std::string error;
  EXPECT_TRUE(clip.Load(path, error)) << error;
  devicesim::H263StreamOptions options;
  for (std::size_t i = 0; i < clip.pictureCount(); ++i) {
    const auto picture = clip.Picture(i);
    loaded.pictures.emplace_back(picture.begin(), picture.end());
    const auto header = devicesim::ParseH263PictureHeader(picture, options);
    loaded.intra.push_back(header && header->intra);
  }
  return loaded;
}

std::optional<std::size_t> IndexOf(const LoadedClip& clip, const std::vector<std::uint8_t>& data) {
  for (std::size_t i = 0; i < clip.pictures.size(); ++i)
    if (clip.pictures[i] == data) return i;
  return std::nullopt;
}

// A folder of clips in which the CIF slot plays the QCIF clip: the driver starts CIF at the
// least, so this is how QCIF pictures reach it. Removed on destruction.
class QcifAsCifClips {
 public:
  QcifAsCifClips() : folder_(platform::ExecutableFolder() + UniqueStem("clips_qcif") + "/") {
    namespace fs = std::filesystem;
    fs::create_directories(folder_);
    for (const char* name : devicesim::kClipFiles)
      fs::copy_file(ClipFolder() + name, folder_ + name, fs::copy_options::overwrite_existing);
    fs::copy_file(ClipFolder() + "qcif.263", folder_ + "cif.263",
                  fs::copy_options::overwrite_existing);
  }
  ~QcifAsCifClips() {
    std::error_code ignored;
    std::filesystem::remove_all(folder_, ignored);
  }
  const std::string& folder() const { return folder_; }

 private:
  std::string folder_;
};

// One simulated camera and a driver opened on it, with the host's fakes.
class VideoOnDevice {
 public:
  explicit VideoOnDevice(const devicesim::DeviceSimOptions& deviceOptions)
      : device_(deviceOptions),
        file_(UniqueStem("video"), VideoDeviceTypeXml(kTimeoutMs)) {
    EXPECT_TRUE(device_.Start()) << device_.LastError();
    AttachDriver(driver_, user_, allocator_, file_.stem(), device_.port());
  }
  ~VideoOnDevice() { driver_.Close(); }

  static devicesim::DeviceSimOptions Options() { return OneCameraOptions(); }

  bool Start(int resolutionCode) {
    return driver_.Open(nullptr) == 1 &&
           driver_.StartChannel(0, kFrameIntervalMs, resolutionCode, 50) == 1;
  }
  int Poll(int* event) {
    int state = -1;
    *event = -1;
    EXPECT_EQ(driver_.GetChannelStatus(0, &state, event, nullptr, 0), 1);
    return state;
  }
  std::size_t FrameCount() const { return user_.Frames().size(); }

  devicesim::DeviceSim& device() { return device_; }
  corvane::CVeltrane& driver() { return driver_; }
  fakes::FakeCaptureUser& user() { return user_; }

 private:
  fakes::FakeCaptureUser user_;
  fakes::FakeAllocator allocator_;
  devicesim::DeviceSim device_;
  TestSettingsFile file_;
  corvane::CVeltrane driver_;
};

struct ClipCase {
  const char* name;
  int resolutionCode;      // what the host starts
  const char* clipFile;    // what the device then streams
  int width;
  int height;
  bool qcifAsCif;
  bool splitAtBits;
};

void PrintTo(const ClipCase& c, std::ostream* out) { *out << c.name; }

class ClipStreaming : public ::testing::TestWithParam<ClipCase> {};

// Until the device applies the requested resolution it streams its CIF clip; a settings
// apply also restarts the clip at its first picture. So the frames are: pictures of the
// start-up clip, then from an intra picture of the requested clip on, each the next picture
// of that clip or its first one again.
TEST_P(ClipStreaming, HostReceivesTheClipsPicturesExactlyFromTheFirstIntraPictureOn) {
  const ClipCase& c = GetParam();
  std::optional<QcifAsCifClips> qcifClips;
  devicesim::DeviceSimOptions options = VideoOnDevice::Options();
  if (c.qcifAsCif) {
    qcifClips.emplace();
    options.clipFolder = qcifClips->folder();
  }
  options.splitAtBits = c.splitAtBits;
  options.splitSeed = 7;
  const std::string folder = options.clipFolder.empty() ? ClipFolder() : options.clipFolder;
  const LoadedClip clip = LoadClip(folder + c.clipFile);
  const LoadedClip startup = LoadClip(folder + "cif.263");
  ASSERT_FALSE(clip.pictures.empty());

  VideoOnDevice fixture(options);
  ASSERT_TRUE(fixture.Start(c.resolutionCode));

  constexpr std::size_t kNone = SIZE_MAX;
  std::vector<Frame> frames;
  std::size_t start = kNone;
  const bool enough = Eventually(
      [&] {
        frames = fixture.user().Frames();
        start = kNone;
        for (std::size_t i = 0; i < frames.size() && start == kNone; ++i) {
          const auto index = IndexOf(clip, frames[i].data);
          if (index && clip.intra[*index]) start = i;
        }
        return start != kNone && frames.size() - start >= kFramesCompared;
      },
      kStreamDeadline);
  ASSERT_TRUE(enough) << frames.size() << " frames, none from an intra picture of " << c.clipFile;

  for (std::size_t i = 0; i < start; ++i)
    EXPECT_TRUE(IndexOf(startup, frames[i].data)) << "frame " << i << " is no start-up picture";
  std::size_t expected = IndexOf(clip, frames[start].data).value_or(0);
  for (std::size_t i = start; i < frames.size(); ++i) {
    const Frame& frame = frames[i];
    if (i > start) {
      const std::size_t next = (expected + 1) % clip.pictures.size();
      expected = frame.data == clip.pictures[0] ? 0 : next;
    }
    ASSERT_TRUE(frame.data == clip.pictures[expected])
        << "frame " << i << " (" << frame.data.size() << " bytes) is not picture " << expected;
    const bool wide = c.width > 380;
    const std::uint32_t code = clip.intra[expected] ? (wide ? kDivd : kDivx) : (wide ? kDivp : kDivi);
    EXPECT_EQ(frame.fourcc, code) << "frame " << i;
    EXPECT_EQ(frame.width, c.width) << "frame " << i;
    EXPECT_EQ(frame.height, c.height) << "frame " << i;
    EXPECT_EQ(frame.sizeClass, wide ? 4 : 2) << "frame " << i;
    EXPECT_EQ(frame.channel, 0u);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Clips, ClipStreaming,
    ::testing::Values(ClipCase{"Qcif", 2, "cif.263", 176, 144, true, false},
                      ClipCase{"Cif", 2, "cif.263", 352, 288, false, false},
                      ClipCase{"Cif2", 3, "2cif.263", 704, 288, false, false},
                      ClipCase{"Cif4", 4, "4cif.263", 704, 576, false, false},
                      ClipCase{"Cif4SplitAtBits", 4, "4cif.263", 704, 576, false, true}),
    [](const ::testing::TestParamInfo<ClipCase>& info) { return std::string(info.param.name); });

TEST(VideoEndToEnd, StatusPollCountsTheDeliveredFrames) {
  VideoOnDevice fixture(VideoOnDevice::Options());
  ASSERT_TRUE(fixture.Start(2));
  ASSERT_TRUE(Eventually([&] { return fixture.FrameCount() >= 5; }, kStreamDeadline));
  fixture.device().StallVideo(1, true);
  // Quiet now: whatever was on its way has arrived.
  std::size_t seen = fixture.FrameCount();
  ASSERT_TRUE(Eventually(
      [&] {
        const bool settled =
            HoldsFor([&] { return fixture.FrameCount() == seen; }, milliseconds(300));
        seen = fixture.FrameCount();
        return settled;
      },
      milliseconds(3000)));
  const corvane::CBoschIPCameraInfo* session = fixture.driver().cameraSession(0);
  ASSERT_NE(session, nullptr);
  EXPECT_EQ(session->framesDelivered.load(), seen);
  int event = -1;
  EXPECT_EQ(fixture.Poll(&event), ChannelVideo);
  EXPECT_EQ(event, 0);
  EXPECT_EQ(session->framesDelivered.load(), 0u);
  EXPECT_EQ(fixture.Poll(&event), ChannelNoVideo);
  EXPECT_EQ(event, 4);
}

TEST(VideoEndToEnd, WatchdogStaysQuietWhileVideoFlowsAndFiresWhenItStalls) {
  VideoOnDevice fixture(VideoOnDevice::Options());
  ASSERT_TRUE(fixture.Start(2));
  ASSERT_TRUE(Eventually([&] { return fixture.FrameCount() >= 1; }, kStreamDeadline));
  // Longer than the watchdog's limit: only the frames keep it from firing.
  EXPECT_TRUE(HoldsFor(
      [&] {
        return fixture.user().LostChannels().empty() &&
               fixture.device().VideoSessions().size() == 1;
      },
      milliseconds(kWatchdogLimitMs + 500)));
  const std::size_t before = fixture.FrameCount();
  EXPECT_GT(before, 40u);
  fixture.device().StallVideo(1, true);
  EXPECT_TRUE(fixture.user().WaitForLost(1, kWatchdogLimitMs + 3000));
  EXPECT_EQ(fixture.user().LostChannels(), std::vector<std::int32_t>{0});
}

}  // namespace
}  // namespace e2e
