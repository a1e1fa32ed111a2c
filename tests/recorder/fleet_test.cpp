// Several devices recorded by one veltrane-rec process from a configuration file: a device
// that cannot be reached leaves the others recording, and the metrics endpoint, scraped with
// curl, follows them all.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "device_sim.h"
#include "recorder_process.h"
#include "support/settings_test_files.h"

namespace {

using rectest::ChannelSummary;
using rectest::RecorderProcess;
using rectest::TempFolder;
using Clock = std::chrono::steady_clock;

constexpr int kRunTimeoutMs = 30000;
constexpr const char* kUser = "operator";
constexpr const char* kPassword = "Vx9-never-print-me";

void WriteText(const std::string& path, const std::string& text) {
  std::FILE* file = std::fopen(path.c_str(), "w");
  ASSERT_NE(file, nullptr) << path;
  std::fputs(text.c_str(), file);
  std::fclose(file);
}

// Two simulated nvs400 on 127.0.0.1: "north" open to anyone, "south" with a password that
// the recorder reads from a file.
class RecorderFleet : public ::testing::Test {
 protected:
  void SetUp() override {
    devicesim::DeviceSimOptions options;
    options.deviceType = "nvs400";
    north_ = std::make_unique<devicesim::DeviceSim>(options);
    options.user = kUser;
    options.password = kPassword;
    south_ = std::make_unique<devicesim::DeviceSim>(options);
    for (auto* device : {north_.get(), south_.get()}) {
      ASSERT_TRUE(device->Start()) << device->LastError();
    }
    WriteText(out_ / "south.password", std::string(kPassword) + "\n");
  }

  // The file's [recording] table, then both simulated devices, then more.
  std::string Config(const std::string& recording, const std::string& more = "") const {
    return "[recording]\nout = \"" + out_ / "rec" + "\"\n" + recording +
           "\n[[devices]]\nname = \"north\"\naddress = \"127.0.0.1\"\nport = " +
           std::to_string(north_->port()) + "\nchannels = [1, 3]\n" +
           "\n[[devices]]\nname = \"south\"\naddress = \"127.0.0.1\"\nport = " +
           std::to_string(south_->port()) + "\nuser = \"" + kUser + "\"\npassword_file = \"" +
           out_ / "south.password" + "\"\napi = \"old\"\n\n[[devices.channels]]\ncamera = 2\n" +
           more;
  }

  std::string WriteConfig(const std::string& text) const {
    const std::string path = out_ / "recorder.toml";
    WriteText(path, text);
    return path;
  }

  void StopDevices() {
    north_->Stop();
    south_->Stop();
  }

  // Every file the two simulated devices' channels were recorded to, in their folders,
  // decodes with as many frames as the summary counts.
  void ExpectBothDevicesRecorded() const {
    const auto channels =
        rectest::ReadChannelSummaries(rectest::ReadFile(out_ / "rec/summary.json"));
    // north cameras 1 and 3 as device 0, south camera 2 as device 1.
    const struct {
      int number;
      const char* folder;
    } expected[] = {{1, "north"}, {3, "north"}, {66, "south"}};
    ASSERT_GE(channels.size(), 3u);
    for (std::size_t i = 0; i < 3; ++i) {
      const ChannelSummary& c = channels[i];
      EXPECT_EQ(c.channel, expected[i].number);
      EXPECT_GT(c.frames, 0) << "channel " << c.channel;
      // Named from the summary's folder, the device's folder included.
      EXPECT_EQ(c.file.rfind(std::string(expected[i].folder) + "/ch", 0), 0u) << c.file;
      const std::string path = out_ / "rec/" + c.file;
      std::string errors;
      EXPECT_EQ(rectest::FramesDecoded(path, &errors), c.frames) << path << ": " << errors;
    }
  }

  void ExpectPasswordNowhere(const RecorderProcess& rec) const {
    EXPECT_EQ(rec.out().find(kPassword), std::string::npos);
    EXPECT_EQ(rec.err().find(kPassword), std::string::npos);
    EXPECT_EQ(rectest::ReadFile(out_ / "rec/summary.json").find(kPassword), std::string::npos);
  }

  std::unique_ptr<devicesim::DeviceSim> north_;
  std::unique_ptr<devicesim::DeviceSim> south_;
  TempFolder out_;
};

TEST_F(RecorderFleet, RecordsEveryDeviceIntoAFolderOfItsOwn) {
  // Every driver debug line is printed: none may show the second device's password.
  RecorderProcess rec({"--config", WriteConfig(Config("duration = 2\nlog_level = 2"))});
  ASSERT_EQ(rec.Wait(kRunTimeoutMs), 0) << rec.out() << rec.err();
  StopDevices();
  EXPECT_NE(rec.out().find("Recording 3 channel(s)"), std::string::npos) << rec.out();
  ExpectBothDevicesRecorded();
  // The password reached the device (it gave video) and nothing else.
  ExpectPasswordNowhere(rec);
  // Only the chosen cameras streamed.
  EXPECT_EQ(north_->PicturesSent(2), 0u);
  EXPECT_EQ(south_->PicturesSent(1), 0u);
}

// A third device that cannot be reached in one of two ways; the run takes a little longer
// than the device's connect limit, so that it is given up while the others record.
struct Unreachable {
  const char* name;
  bool missingType;  // true: Open fails; false: nothing listens on its port
  int durationSeconds;
};

class RecorderFleetUnreachable : public RecorderFleet,
                                 public ::testing::WithParamInterface<Unreachable> {};

TEST_P(RecorderFleetUnreachable, DoesNotHoldTheOtherDevicesBack) {
  const Unreachable& param = GetParam();
  TestSettingsFile type(UniqueStem("fleet"), rectest::ShortTimeoutDeviceType());
  const std::string typeName = param.missingType ? UniqueStem("missing") : type.stem();
  const std::string gone = "\n[[devices]]\nname = \"gone\"\naddress = \"127.0.0.1\"\nport = " +
                           std::to_string(rectest::ClosedPort()) + "\ntype = \"" + typeName +
                           "\"\n";
  const std::string config =
      WriteConfig(Config("duration = " + std::to_string(param.durationSeconds), gone));
  RecorderProcess rec({"--config", config});
  // 1: a device gave no video; 3 would mean none did.
  EXPECT_EQ(rec.Wait(kRunTimeoutMs), 1) << rec.out() << rec.err();
  StopDevices();
  EXPECT_NE(rec.err().find("device gone could not be opened"), std::string::npos) << rec.err();
  for (const char* fine : {"device north", "device south"}) {
    EXPECT_EQ(rec.err().find(fine), std::string::npos) << rec.err();
  }
  ExpectBothDevicesRecorded();
  ExpectPasswordNowhere(rec);
}

INSTANTIATE_TEST_SUITE_P(Ways, RecorderFleetUnreachable,
                         ::testing::Values(Unreachable{"OpenFails", true, 2},
                                           Unreachable{"NoVideo", false, 6}),
                         [](const ::testing::TestParamInfo<Unreachable>& info) {
                           return std::string(info.param.name);
                         });

TEST(RecorderFleetAlone, NoDeviceReachableExitsWithThree) {
  TempFolder out;
  const std::string path = out / "recorder.toml";
  WriteText(path, "[recording]\nout = \"" + out / "rec" + "\"\n[[devices]]\nname = \"gone\"\n" +
                      "address = \"127.0.0.1\"\nport = " + std::to_string(rectest::ClosedPort()) +
                      "\ntype = \"" + UniqueStem("missing") + "\"\n");
  RecorderProcess rec({"--config", path});
  EXPECT_EQ(rec.Wait(kRunTimeoutMs), 3) << rec.out() << rec.err();
  EXPECT_NE(rec.err().find("device gone could not be opened"), std::string::npos) << rec.err();
}

// Bad configuration is bad usage: exit code 2, the reason and the usage line, no recording.
TEST(RecorderFleetAlone, BadConfigurationIsBadUsage) {
  TempFolder out;
  const std::string path = out / "recorder.toml";
  WriteText(path, "[recording]\nout = \"" + out / "rec" +
                      "\"\n[[devices]]\nname = \"a\"\naddress = \"127.0.0.1\"\nport = 1\n"
                      "quality = 300\n");
  const std::vector<std::vector<std::string>> cases = {
      {"--config", path},
      {"--config", out / "missing.toml"},
      // The file names the devices; the command line's device options do not go with it.
      {"--config", path, "--address", "127.0.0.1", "--port", "1", "--type", "nvs400",
       "--user", "u"},
  };
  const char* reasons[] = {":7: quality must be", "missing.toml", "--config names the devices"};
  for (std::size_t i = 0; i < cases.size(); ++i) {
    RecorderProcess rec(cases[i]);
    EXPECT_EQ(rec.Wait(kRunTimeoutMs), 2) << rec.out() << rec.err();
    EXPECT_NE(rec.err().find(reasons[i]), std::string::npos) << rec.err();
    EXPECT_NE(rec.err().find("usage: veltrane-rec"), std::string::npos) << rec.err();
  }
  EXPECT_EQ(out.Files(), std::vector<std::string>{"recorder.toml"});
}

// One scrape of the endpoint: the body, and the content type in *type.
std::string Scrape(int port, std::string* type) {
  std::string body;
  std::string errors;
  EXPECT_TRUE(rectest::ScrapeMetrics(port, &body, type, &errors)) << errors;
  return body;
}

// The value of the sample that begins with prefix (name and labels), or -1.
double Sample(const std::string& body, const std::string& prefix) {
  const std::size_t at = body.find("\n" + prefix + " ");
  if (at == std::string::npos) return -1;
  return std::atof(body.c_str() + at + prefix.size() + 2);
}

std::string FramesOf(const char* device, int channel) {
  return std::string("veltrane_rec_frames_total{device=\"") + device + "\",channel=\"" +
         std::to_string(channel) + "\"}";
}

// Scrapes until every channel's frame count exceeds the floor, or the deadline passes;
// the last body.
std::string ScrapeUntilFramesPass(int port, const std::vector<double>& floor,
                                  Clock::time_point deadline) {
  std::string body;
  std::string type;
  for (;;) {
    body = Scrape(port, &type);
    const double counts[] = {Sample(body, FramesOf("north", 1)), Sample(body, FramesOf("north", 3)),
                             Sample(body, FramesOf("south", 2))};
    bool passed = true;
    for (std::size_t i = 0; i < 3; ++i) passed &= counts[i] > floor[i];
    if (passed || Clock::now() >= deadline) return body;
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
}

TEST_F(RecorderFleet, MetricsFollowBothDevicesWhileTheyRecord) {
  // A third device that cannot be opened shows as down.
  const std::string gone = "\n[[devices]]\nname = \"gone\"\naddress = \"127.0.0.1\"\nport = " +
                           std::to_string(rectest::ClosedPort()) + "\ntype = \"" +
                           UniqueStem("missing") + "\"\n";
  RecorderProcess rec(
      {"--config", WriteConfig(Config("duration = 0\nmetrics = \"127.0.0.1:0\"", gone))});
  const std::string announce = "Metrics on http://127.0.0.1:";
  ASSERT_TRUE(rec.WaitForOutput(announce, 15000)) << rec.out() << rec.err();
  const int port = std::atoi(rec.out().c_str() + rec.out().find(announce) + announce.size());
  ASSERT_GT(port, 0) << rec.out();

  const auto deadline = Clock::now() + std::chrono::seconds(15);
  const std::string first = ScrapeUntilFramesPass(port, {0, 0, 0}, deadline);
  const std::vector<double> counts = {Sample(first, FramesOf("north", 1)),
                                      Sample(first, FramesOf("north", 3)),
                                      Sample(first, FramesOf("south", 2))};
  for (double c : counts) ASSERT_GT(c, 0) << first;
  const std::string second = ScrapeUntilFramesPass(port, counts, deadline);
  EXPECT_GT(Sample(second, FramesOf("north", 1)), counts[0]) << second;
  EXPECT_GT(Sample(second, FramesOf("north", 3)), counts[1]) << second;
  EXPECT_GT(Sample(second, FramesOf("south", 2)), counts[2]) << second;

  // An alarm input of the second device shows as it changes.
  south_->SetInput(2, true);
  const std::string input = "veltrane_rec_alarm_input_active{device=\"south\",input=\"2\"}";
  std::string body;
  std::string type;
  while (Sample(body, input) != 1 && Clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    body = Scrape(port, &type);
  }
  EXPECT_EQ(Sample(body, input), 1) << body;
  EXPECT_EQ(type, "text/plain; version=0.0.4; charset=utf-8");
  // Both devices show up once the driver has reported video on them.
  const std::string up = "veltrane_rec_device_up{device=";
  while ((Sample(body, up + "\"north\"}") != 1 || Sample(body, up + "\"south\"}") != 1) &&
         Clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    body = Scrape(port, &type);
  }
  EXPECT_EQ(Sample(body, up + "\"north\"}"), 1) << body;
  EXPECT_EQ(Sample(body, up + "\"south\"}"), 1) << body;
  EXPECT_EQ(Sample(body, up + "\"gone\"}"), 0) << body;
  EXPECT_EQ(body.find("{device=\"gone\",channel="), std::string::npos) << body;
  EXPECT_GT(Sample(body, "veltrane_rec_process_open_fds"), 0) << body;
  EXPECT_GT(Sample(body, "veltrane_rec_process_resident_memory_bytes"), 0) << body;
  EXPECT_GT(Sample(body, "veltrane_rec_bytes_total{device=\"south\",channel=\"2\"}"), 0) << body;
  EXPECT_EQ(body.find(kPassword), std::string::npos);

  rec.Signal(SIGTERM);
  // 1: the third device gave no video.
  ASSERT_EQ(rec.Wait(kRunTimeoutMs), 1) << rec.out() << rec.err();
  ExpectPasswordNowhere(rec);
  // Once the recorder has stopped, nothing answers on the port.
  std::string out;
  std::string errors;
  EXPECT_NE(rectest::RunCapture({"curl", "-s", "http://127.0.0.1:" + std::to_string(port) +
                                                 "/metrics"},
                                &out, &errors),
            0);
}

}  // namespace
