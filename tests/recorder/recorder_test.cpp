// veltrane-rec run as a user runs it: the real binary from bin/, with the driver it loads,
// against the simulator it starts itself or one started here on 127.0.0.1.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "device_sim.h"
#include "recorder_process.h"
#include "support/settings_test_files.h"

namespace {

using rectest::ChannelSummary;
using rectest::RecorderProcess;
using rectest::TempFolder;

constexpr int kRunTimeoutMs = 30000;
constexpr const char* kUsage = "usage: veltrane-rec";

// Every file the recorder wrote for a channel plays, holds as many frames and bytes as the
// summary says, and they add up to the channel's figures; no temporary file is left behind.
std::vector<ChannelSummary> ExpectDecodableRecording(const TempFolder& out,
                                                      std::size_t expectedChannels) {
  const std::string json = rectest::ReadFile(out / "summary.json");
  const std::vector<ChannelSummary> channels = rectest::ReadChannelSummaries(json);
  EXPECT_EQ(channels.size(), expectedChannels) << json;
  for (const ChannelSummary& c : channels) {
    EXPECT_GT(c.frames, 0) << "channel " << c.channel;
    EXPECT_GT(c.keyFrames, 0) << "channel " << c.channel;
    EXPECT_FALSE(c.segments.empty()) << json;
    if (!c.segments.empty()) {
      EXPECT_EQ(c.file, c.segments.front().file);
    }
    long frames = 0;
    long long bytes = 0;
    for (const rectest::SegmentSummary& segment : c.segments) {
      char prefix[8];
      std::snprintf(prefix, sizeof prefix, "ch%02d-", c.channel);
      EXPECT_EQ(segment.file.rfind(prefix, 0), 0u) << segment.file;
      const rectest::Probe probe = rectest::ProbeFile(out / segment.file);
      EXPECT_TRUE(probe.ok) << segment.file << ": " << probe.errors;
      EXPECT_EQ(probe.frames, segment.frames) << segment.file;
      EXPECT_EQ(static_cast<long long>(rectest::ReadFile(out / segment.file).size()),
                segment.bytes)
          << segment.file;
      frames += segment.frames;
      bytes += segment.bytes;
    }
    EXPECT_EQ(frames, c.frames) << "channel " << c.channel;
    EXPECT_EQ(bytes, c.bytes) << "channel " << c.channel;
  }
  for (const std::string& name : out.Files(true)) EXPECT_NE(name[0], '.') << name;
  return channels;
}

TEST(RecorderDemo, DefaultRunRecordsEveryCameraToDecodableFiles) {
  TempFolder out;
  RecorderProcess rec({"--duration", "3", "--out", out.path()});
  ASSERT_EQ(rec.Wait(kRunTimeoutMs), 0) << rec.out() << rec.err();
  // Live status (plain lines when not on a terminal) and the summary.
  EXPECT_NE(rec.out().find("ch01  video"), std::string::npos) << rec.out();
  EXPECT_NE(rec.out().find("Summary:"), std::string::npos) << rec.out();
  EXPECT_NE(rectest::ReadFile(out / "summary.json").find("\"api\": \"new\""), std::string::npos);
  const auto channels = ExpectDecodableRecording(out, 4);
  for (int c = 0; c < static_cast<int>(channels.size()); ++c) {
    EXPECT_EQ(channels[static_cast<std::size_t>(c)].channel, c + 1);
  }
}

TEST(RecorderInterfaces, OlderInterfaceRecordsToo) {
  TempFolder out;
  RecorderProcess rec(
      {"--api", "old", "--duration", "2", "--channels", "2,4", "--out", out.path()});
  ASSERT_EQ(rec.Wait(kRunTimeoutMs), 0) << rec.out() << rec.err();
  EXPECT_NE(rectest::ReadFile(out / "summary.json").find("\"api\": \"old\""), std::string::npos);
  const auto channels = ExpectDecodableRecording(out, 2);
  ASSERT_EQ(channels.size(), 2u);
  EXPECT_EQ(channels[0].channel, 2);
  EXPECT_EQ(channels[1].channel, 4);
}

class RecorderBadUsage : public ::testing::TestWithParam<std::vector<std::string>> {};

TEST_P(RecorderBadUsage, ExitsWithTwoAndTheUsageLine) {
  TempFolder out;
  std::vector<std::string> args = GetParam();
  args.insert(args.end(), {"--out", out.path(), "--duration", "1"});
  RecorderProcess rec(args);
  EXPECT_EQ(rec.Wait(kRunTimeoutMs), 2) << rec.out() << rec.err();
  EXPECT_NE(rec.err().find(kUsage), std::string::npos) << rec.err();
  EXPECT_NE(rec.err().find("veltrane-rec: "), std::string::npos) << rec.err();
  EXPECT_EQ(out.Files().size(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Options, RecorderBadUsage,
    ::testing::Values(std::vector<std::string>{"--bogus", "1"},
                      std::vector<std::string>{"--resolution", "8cif"},
                      std::vector<std::string>{"--api", "newest"},
                      std::vector<std::string>{"--quality", "101"},
                      std::vector<std::string>{"--interval", "fast"},
                      std::vector<std::string>{"--channels", "0"},
                      std::vector<std::string>{"--output", "1=maybe"},
                      std::vector<std::string>{"--password", "secret"},
                      std::vector<std::string>{"--address", "127.0.0.1", "--type", "nvs400"},
                      std::vector<std::string>{"--duration"},
                      // Several devices need an address; a list of ports is one per device.
                      std::vector<std::string>{"--port", "4001,4002"},
                      std::vector<std::string>{"--address", "127.0.0.1", "--port", "4001,,4002",
                                               "--type", "nvs400", "--user", "operator"},
                      std::vector<std::string>{"--address", "127.0.0.1", "--port", "4001,",
                                               "--type", "nvs400", "--user", "operator"},
                      std::vector<std::string>{"--address", "127.0.0.1", "--port", "4001,4001",
                                               "--type", "nvs400", "--user", "operator"},
                      std::vector<std::string>{"--address", "127.0.0.1", "--port", "4001,65536",
                                               "--type", "nvs400", "--user", "operator"},
                      // The simulated nvs400 has four cameras.
                      std::vector<std::string>{"--api", "old", "--channels", "5"}));

TEST(RecorderDevice, UnreachableDeviceExitsWithThreeInBoundedTime) {
  TestSettingsFile type(UniqueStem("rec"), rectest::ShortTimeoutDeviceType());
  const int port = rectest::ClosedPort();
  ASSERT_GT(port, 0);
  TempFolder out;
  RecorderProcess rec({"--address", "127.0.0.1", "--port", std::to_string(port), "--type",
                       type.stem(), "--user", "operator", "--duration", "0", "--out", out.path()});
  EXPECT_EQ(rec.Wait(kRunTimeoutMs), 3) << rec.out() << rec.err();
  EXPECT_NE(rec.err().find("could not be opened"), std::string::npos) << rec.err();
}

TEST(RecorderDevice, MissingDeviceTypeExitsWithThree) {
  TempFolder out;
  RecorderProcess rec({"--address", "127.0.0.1", "--port", std::to_string(rectest::ClosedPort()),
                       "--type", UniqueStem("missing"), "--user", "operator", "--out",
                       out.path()});
  EXPECT_EQ(rec.Wait(kRunTimeoutMs), 3) << rec.out() << rec.err();
  EXPECT_NE(rec.err().find("could not be opened"), std::string::npos) << rec.err();
}

TEST(RecorderDevice, ChannelWithoutVideoGivesExitCodeOne) {
  devicesim::DeviceSimOptions options;
  options.deviceType = "nvs400";
  devicesim::DeviceSim device(options);
  ASSERT_TRUE(device.Start()) << device.LastError();
  device.StallVideo(2, true);
  TempFolder out;
  RecorderProcess rec({"--api", "old", "--address", "127.0.0.1", "--port",
                       std::to_string(device.port()), "--type", "nvs400", "--user", "operator",
                       "--channels", "1,2", "--duration", "2", "--out", out.path()});
  EXPECT_EQ(rec.Wait(kRunTimeoutMs), 1) << rec.out() << rec.err();
  EXPECT_NE(rec.err().find("channel 2 delivered no frame"), std::string::npos) << rec.err();
  EXPECT_EQ(rec.err().find("channel 1 delivered no frame"), std::string::npos) << rec.err();
}

// The soft limit of Debian and of most service managers is 1,024 open files: too few for 64
// channels and what the rest of the process holds, unless the recorder raises it.
TEST(RecorderDevice, RecordsAll64ChannelsUnderTheCommonSoftDescriptorLimit) {
  rlimit saved{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
  if (saved.rlim_max != RLIM_INFINITY && saved.rlim_max <= 1024) {
    GTEST_SKIP() << "the hard limit leaves nothing to raise";
  }
  rlimit low = saved;
  low.rlim_cur = 1024;
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &low), 0);
  TempFolder out;
  // The child inherits the limit at its start.
  // Ten seconds: the last of 64 channels sees its first frame some seconds after the start.
  RecorderProcess rec({"--type", "nvs6400", "--interval", "200", "--duration", "10", "--discard",
                       "--log-level", "2", "--out", out.path()});
  ::setrlimit(RLIMIT_NOFILE, &saved);
  ASSERT_EQ(rec.Wait(2 * kRunTimeoutMs), 0) << rec.err();
  EXPECT_NE(rec.err().find("veltrane-rec: open file limit raised from 1024 to "),
            std::string::npos)
      << rec.err();
  const auto channels = rectest::ReadChannelSummaries(rectest::ReadFile(out / "summary.json"));
  ASSERT_EQ(channels.size(), 64u);
  for (const ChannelSummary& c : channels) EXPECT_GT(c.frames, 0) << "channel " << c.channel;
}

class RecorderStopSignal : public ::testing::TestWithParam<int> {};

TEST_P(RecorderStopSignal, StopsCleanlyWithCompleteFiles) {
  TempFolder out;
  RecorderProcess rec({"--duration", "0", "--channels", "1,3", "--out", out.path()});
  // Plain status lines come every two seconds; the first shows video once it flows.
  ASSERT_TRUE(rec.WaitForOutput("ch01  video", 15000)) << rec.out() << rec.err();
  rec.Signal(GetParam());
  ASSERT_EQ(rec.Wait(kRunTimeoutMs), 0) << rec.out() << rec.err();
  EXPECT_NE(rectest::ReadFile(out / "summary.json").find("\"interrupted\": true"),
            std::string::npos);
  ExpectDecodableRecording(out, 2);
}

INSTANTIATE_TEST_SUITE_P(Signals, RecorderStopSignal, ::testing::Values(SIGINT, SIGTERM),
                         [](const ::testing::TestParamInfo<int>& info) {
                           return std::string(info.param == SIGINT ? "Interrupt" : "Terminate");
                         });

// A device that requires credentials, and the password it must never see printed.
class RecorderCredentials : public ::testing::Test {
 protected:
  static constexpr const char* kUser = "operator";
  static constexpr const char* kPassword = "Zq7-unlikely-Pa55w0rd";

  void SetUp() override {
    devicesim::DeviceSimOptions options;
    options.deviceType = "nvs400";
    options.user = kUser;
    options.password = kPassword;
    device_ = std::make_unique<devicesim::DeviceSim>(options);
    ASSERT_TRUE(device_->Start()) << device_->LastError();
  }

  std::vector<std::string> Args() const {
    return {"--address", "127.0.0.1", "--port", std::to_string(device_->port()), "--type",
            "nvs400", "--user", kUser, "--channels", "1", "--duration", "2",
            "--log-level", "2", "--out", out_.path()};
  }

  void ExpectPasswordNowhere(const RecorderProcess& rec) const {
    EXPECT_EQ(rec.out().find(kPassword), std::string::npos);
    EXPECT_EQ(rec.err().find(kPassword), std::string::npos);
    for (const std::string& name : out_.Files()) {
      if (name == "password") continue;
      EXPECT_EQ(rectest::ReadFile(out_ / name).find(kPassword), std::string::npos) << name;
    }
  }

  std::unique_ptr<devicesim::DeviceSim> device_;
  TempFolder out_;
};

TEST_F(RecorderCredentials, PasswordFromEnvironmentReachesDeviceAndIsNeverShown) {
  RecorderProcess rec(Args(), {{"VELTRANE_PASSWORD", kPassword}});
  // Exit 0 means the device accepted the credentials and delivered video.
  ASSERT_EQ(rec.Wait(kRunTimeoutMs), 0) << rec.out() << rec.err();
  ExpectDecodableRecording(out_, 1);
  ExpectPasswordNowhere(rec);
}

TEST_F(RecorderCredentials, PasswordFromFileReachesDeviceAndIsNeverShown) {
  {
    std::FILE* file = std::fopen((out_ / "password").c_str(), "w");
    ASSERT_NE(file, nullptr);
    std::fprintf(file, "%s\n", kPassword);
    std::fclose(file);
  }
  std::vector<std::string> args = Args();
  args.insert(args.end(), {"--password-file", out_ / "password"});
  RecorderProcess rec(args);
  ASSERT_EQ(rec.Wait(kRunTimeoutMs), 0) << rec.out() << rec.err();
  ExpectDecodableRecording(out_, 1);
  ExpectPasswordNowhere(rec);
}

TEST(RecorderDigitalIO, SwitchesRelayAndReportsAlarmInputsAsTheyChange) {
  devicesim::DeviceSimOptions options;
  options.deviceType = "nvs400";
  devicesim::DeviceSim device(options);
  ASSERT_TRUE(device.Start()) << device.LastError();
  ASSERT_FALSE(device.Output(2));
  TempFolder out;
  RecorderProcess rec({"--address", "127.0.0.1", "--port", std::to_string(device.port()),
                       "--type", "nvs400", "--user", "operator", "--channels", "1",
                       "--duration", "0", "--output", "2=on", "--out", out.path()});
  // The first reading of input 3 shows it inactive; then it changes on the device, again
  // and again, so that a change made before the driver's subscription is up is not the
  // only one.
  ASSERT_TRUE(rec.WaitForOutput("alarm input 3 inactive", 15000)) << rec.out() << rec.err();
  device.ToggleInputEvery(3, 200);
  EXPECT_TRUE(rec.WaitForOutput("alarm input 3 active", 10000)) << rec.out();
  EXPECT_TRUE(rec.WaitForOutput("relay output 2 switched on", 10000)) << rec.out();
  EXPECT_TRUE(device.Output(2));
  // Stopped before its first frame, the channel would make the run a failure.
  EXPECT_TRUE(rec.WaitForOutput("ch01  video", 15000)) << rec.out();
  rec.Signal(SIGINT);
  ASSERT_EQ(rec.Wait(kRunTimeoutMs), 0) << rec.out() << rec.err();
  const std::string json = rectest::ReadFile(out / "summary.json");
  const nlohmann::json events = nlohmann::json::parse(json, nullptr, false)["alarm_input_events"];
  EXPECT_TRUE(std::any_of(events.begin(), events.end(), [](const nlohmann::json& e) {
    return e.value("input", 0) == 3 && e.value("state", std::string()) == "active";
  })) << json;
}

// The frames counted without files must be the device's pictures: every one of them, except
// those still on their way when the stop came.
TEST(RecorderDiscard, CountsEveryPictureTheDeviceSentAndWritesOnlyTheSummary) {
  devicesim::DeviceSimOptions options;
  options.deviceType = "nvs400";
  devicesim::DeviceSim device(options);
  ASSERT_TRUE(device.Start()) << device.LastError();
  TempFolder out;
  RecorderProcess rec({"--address", "127.0.0.1", "--port", std::to_string(device.port()),
                       "--type", "nvs400", "--user", "operator", "--channels", "1,3",
                       "--duration", "2", "--discard", "--out", out.path()});
  ASSERT_EQ(rec.Wait(kRunTimeoutMs), 0) << rec.out() << rec.err();
  device.Stop();  // the counts hold still from here on

  EXPECT_EQ(out.Files(), std::vector<std::string>{"summary.json"});
  const std::string json = rectest::ReadFile(out / "summary.json");
  EXPECT_NE(json.find("\"files_written\": false"), std::string::npos) << json;
  const auto stopAt = json.find("\"stop_ms\": ");
  ASSERT_NE(stopAt, std::string::npos) << json;
  const double stopMs = std::atof(json.c_str() + stopAt + 11);
  // A picture per interval of the stop, one on its way, one being taken apart.
  const long inFlight = static_cast<long>(stopMs / 40) + 3;
  const std::vector<ChannelSummary> channels = rectest::ReadChannelSummaries(json);
  ASSERT_EQ(channels.size(), 2u) << json;
  for (const ChannelSummary& c : channels) {
    const auto sent = static_cast<long>(device.PicturesSent(c.channel));
    EXPECT_GT(c.frames, 0) << "channel " << c.channel;
    EXPECT_LE(c.frames, sent) << "channel " << c.channel;
    EXPECT_LE(sent - c.frames, inFlight) << "channel " << c.channel << ", stop " << stopMs << " ms";
  }
  EXPECT_EQ(device.PicturesSent(2), 0u);
}

// Two simulated devices recorded by one recorder: a driver each, channels numbered
// device-major (device d, camera c is channel d * 64 + c).
class RecorderTwoDevices : public ::testing::Test {
 protected:
  void SetUp() override {
    for (auto& device : devices_) {
      devicesim::DeviceSimOptions options;
      options.deviceType = "nvs400";
      device = std::make_unique<devicesim::DeviceSim>(options);
      ASSERT_TRUE(device->Start()) << device->LastError();
    }
  }

  std::vector<std::string> Args(std::vector<std::string> more) const {
    std::vector<std::string> args = {
        "--address", "127.0.0.1", "--port",
        std::to_string(devices_[0]->port()) + "," + std::to_string(devices_[1]->port()),
        "--type", "nvs400", "--user", "operator", "--channels", "1,3", "--duration", "2",
        "--out", out_.path()};
    args.insert(args.end(), more.begin(), more.end());
    return args;
  }

  void StopDevices() {
    for (auto& device : devices_) device->Stop();
  }

  std::unique_ptr<devicesim::DeviceSim> devices_[2];
  TempFolder out_;
};

TEST_F(RecorderTwoDevices, RecordsEachDevicesCamerasUnderDeviceMajorNumbers) {
  const std::string progress = out_ / "progress";
  RecorderProcess rec(Args({"--progress", progress}));
  ASSERT_EQ(rec.Wait(kRunTimeoutMs), 0) << rec.out() << rec.err();
  StopDevices();  // the counts hold still from here on
  EXPECT_NE(rec.out().find("Recording 4 channel(s)"), std::string::npos) << rec.out();
  const std::vector<ChannelSummary> channels = ExpectDecodableRecording(out_, 4);
  ASSERT_EQ(channels.size(), 4u);
  const int expected[] = {1, 3, 65, 67};
  for (std::size_t i = 0; i < channels.size(); ++i) {
    const ChannelSummary& c = channels[i];
    EXPECT_EQ(c.channel, expected[i]);
    // Every frame of a channel is a picture its own device's camera sent.
    const devicesim::DeviceSim& device = *devices_[c.channel > 64 ? 1 : 0];
    EXPECT_LE(c.frames, static_cast<long>(device.PicturesSent((c.channel - 1) % 64 + 1)))
        << "channel " << c.channel;
  }
  for (const auto& device : devices_) EXPECT_EQ(device->PicturesSent(2), 0u);
  // Progress lines carry the same numbers.
  const std::string lines = rectest::ReadFile(progress);
  for (const char* channel : {" 1 ", " 3 ", " 65 ", " 67 "}) {
    EXPECT_NE(lines.find(channel), std::string::npos) << channel << " in\n" << lines;
  }
}

TEST_F(RecorderTwoDevices, SilentCameraOfTheSecondDeviceIsReportedUnderItsOwnNumber) {
  devices_[1]->StallVideo(3, true);
  RecorderProcess rec(Args({"--discard"}));
  EXPECT_EQ(rec.Wait(kRunTimeoutMs), 1) << rec.out() << rec.err();
  StopDevices();
  EXPECT_NE(rec.err().find("channel 67 delivered no frame"), std::string::npos) << rec.err();
  for (const char* fine : {"channel 1 ", "channel 3 ", "channel 65 "}) {
    EXPECT_EQ(rec.err().find(fine), std::string::npos) << fine << " in " << rec.err();
  }
  const auto channels = rectest::ReadChannelSummaries(rectest::ReadFile(out_ / "summary.json"));
  ASSERT_EQ(channels.size(), 4u);
  for (const ChannelSummary& c : channels) {
    if (c.channel == 67) {
      EXPECT_EQ(c.frames, 0);
    } else {
      EXPECT_GT(c.frames, 0) << "channel " << c.channel;
    }
  }
  EXPECT_GT(devices_[0]->PicturesSent(3), 0u);
}

}  // namespace
