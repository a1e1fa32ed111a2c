// The recorder's configuration: TOML files read into devices and settings, bad files told
// apart by line, and the command line's devices in the same shape.
#include "config.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace recorder {
namespace {

RecorderConfig Parse(const std::string& text, const Options& defaults = {}) {
  std::string error;
  auto config = ParseConfig(text, "test.toml", defaults, &error);
  EXPECT_TRUE(config.has_value()) << error;
  return config.value_or(RecorderConfig{});
}

TEST(RecorderConfigFile, ShippedExampleReadsAsItsCommentsSay) {
  std::string error;
  const auto config =
      LoadConfig(std::string(VELTRANE_SOURCE_DIR) + "/examples/recorder.toml", {}, &error);
  ASSERT_TRUE(config.has_value()) << error;
  EXPECT_TRUE(config->fromFile);
  const RecordingConfig& r = config->recording;
  EXPECT_EQ(r.outputFolder, Options{}.outputFolder);  // left to the command line
  EXPECT_EQ(r.format, Format::kMkv);
  EXPECT_EQ(r.segmentSeconds, 600);
  EXPECT_EQ(r.keepDays, 14);
  EXPECT_EQ(r.metricsAddress, "127.0.0.1:9464");
  EXPECT_EQ(r.durationSeconds, 0);
  ASSERT_EQ(config->devices.size(), 2u);

  const DeviceConfig& gate = config->devices[0];
  EXPECT_EQ(gate.name, "gate");
  EXPECT_EQ(gate.address, "192.0.2.10");
  EXPECT_EQ(gate.port, 1756);
  EXPECT_EQ(gate.user, "operator");
  // No source of its own: the command line's.
  EXPECT_EQ(gate.passwordFile, "");
  EXPECT_EQ(gate.passwordEnv, "VELTRANE_PASSWORD");
  EXPECT_EQ(gate.api, Api::kNew);
  ASSERT_EQ(gate.channels.size(), 2u);
  // A channel table overrides only what it names; the rest is the device's.
  EXPECT_EQ(gate.channels[0].camera, 1);
  EXPECT_STREQ(gate.channels[0].resolution.name, "4cif");
  EXPECT_EQ(gate.channels[0].resolution.code, 4);
  EXPECT_EQ(gate.channels[0].frameIntervalMs, 40);
  EXPECT_EQ(gate.channels[1].camera, 3);
  EXPECT_STREQ(gate.channels[1].resolution.name, "cif");
  EXPECT_EQ(gate.channels[1].frameIntervalMs, 1000);
  EXPECT_EQ(gate.relays, (std::vector<std::pair<int, bool>>{{2, true}}));

  const DeviceConfig& yard = config->devices[1];
  EXPECT_EQ(yard.name, "yard");
  EXPECT_EQ(yard.api, Api::kOld);
  EXPECT_EQ(yard.passwordFile, "/run/credentials/veltrane-rec.service/yard");
  EXPECT_EQ(yard.passwordEnv, "");
  ASSERT_EQ(yard.channels.size(), 2u);
  EXPECT_EQ(yard.channels[1].camera, 2);
  EXPECT_EQ(yard.channels[1].quality, 50);
  EXPECT_TRUE(yard.relays.empty());
}

TEST(RecorderConfigFile, KeysLeftOutTakeTheCommandLinesValues) {
  Options o;
  o.outputFolder = "/srv/video";
  o.durationSeconds = 7;
  o.format = Format::kH263;
  o.deviceType = "nvs6400";
  o.quality = 80;
  o.passwordFile = "/run/credentials/veltrane-rec/password";
  const RecorderConfig config = Parse(
      "[recording]\nduration = 3\n"
      "[[devices]]\nname = \"a\"\naddress = \"10.0.0.1\"\nport = 1756\n"
      "[[devices]]\nname = \"b\"\naddress = \"10.0.0.2\"\nport = 1757\n"
      "password_env = \"B_PASSWORD\"\nquality = 20\n",
      o);
  EXPECT_EQ(config.recording.outputFolder, "/srv/video");
  EXPECT_EQ(config.recording.durationSeconds, 3);
  EXPECT_EQ(config.recording.format, Format::kH263);
  ASSERT_EQ(config.devices.size(), 2u);
  EXPECT_EQ(config.devices[0].deviceType, "nvs6400");
  EXPECT_EQ(config.devices[0].defaults.quality, 80);
  EXPECT_EQ(config.devices[0].passwordFile, o.passwordFile);
  EXPECT_TRUE(config.devices[0].channels.empty());
  // The device's own password source replaces the command line's.
  EXPECT_EQ(config.devices[1].passwordFile, "");
  EXPECT_EQ(config.devices[1].passwordEnv, "B_PASSWORD");
  EXPECT_EQ(config.devices[1].defaults.quality, 20);
}

TEST(RecorderConfigFile, RecordingOptionsGivenOnTheCommandLineWin) {
  std::vector<std::string> args{"veltrane-rec", "--duration", "7", "--config", "x.toml"};
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  std::string error;
  std::optional<Options> parsed =
      recorder::ParseOptions(static_cast<int>(argv.size()), argv.data(), &error);
  ASSERT_TRUE(parsed) << error;
  Options o = *parsed;
  o.outputFolder = "/srv/video";  // a default, not given
  const RecorderConfig config = Parse(
      "[recording]\nduration = 3\nout = \"/tmp/rec\"\n"
      "[[devices]]\nname = \"a\"\naddress = \"10.0.0.1\"\nport = 1756\n",
      o);
  EXPECT_EQ(config.recording.durationSeconds, 7);
  EXPECT_EQ(config.recording.outputFolder, "/tmp/rec");
}

struct BadFile {
  const char* what;
  std::string text;
  int line;
  const char* message;
};

class RecorderConfigBadFile : public ::testing::TestWithParam<BadFile> {};

TEST_P(RecorderConfigBadFile, IsRefusedWithItsLineAndReason) {
  const BadFile& bad = GetParam();
  std::string error;
  const auto config = ParseConfig(bad.text, "bad.toml", {}, &error);
  EXPECT_FALSE(config.has_value()) << bad.what;
  EXPECT_EQ(error.rfind("bad.toml:" + std::to_string(bad.line) + ": ", 0), 0u)
      << bad.what << ": " << error;
  EXPECT_NE(error.find(bad.message), std::string::npos) << bad.what << ": " << error;
}

const std::string kDevice = "[[devices]]\nname = \"a\"\naddress = \"h\"\nport = 1\n";

INSTANTIATE_TEST_SUITE_P(
    Files, RecorderConfigBadFile,
    ::testing::Values(
        BadFile{"syntax", "[recording]\nout = \"x\"\nduration = = 3\n", 3, ""},
        BadFile{"no device", "[recording]\nduration = 3\n", 1, "names no device"},
        BadFile{"unknown key", kDevice + "colour = \"red\"\n", 5, "unknown key 'colour'"},
        BadFile{"password", kDevice + "password = \"s3cret\"\n", 5, "no password in the file"},
        BadFile{"both sources", kDevice + "password_file = \"f\"\npassword_env = \"E\"\n", 6,
                "not both"},
        BadFile{"no name", "[[devices]]\naddress = \"h\"\nport = 1\n", 1, "needs a name"},
        BadFile{"name not a folder", "[[devices]]\nname = \"../up\"\n", 2, "may hold only"},
        BadFile{"twice", kDevice + kDevice, 6, "'a' is used twice"},
        BadFile{"no address", "[[devices]]\nname = \"a\"\nport = 1\n", 1, "needs an address"},
        BadFile{"port range", "[[devices]]\nname = \"a\"\naddress = \"h\"\nport = 70000\n", 4,
                "port must be a whole number from 1 to 65535"},
        BadFile{"port text", "[[devices]]\nname = \"a\"\naddress = \"h\"\nport = \"1\"\n", 4,
                "port must be"},
        BadFile{"api", kDevice + "api = \"newest\"\n", 5, "api must be one of new, old"},
        BadFile{"resolution", kDevice + "resolution = \"8cif\"\n", 5, "not '8cif'"},
        BadFile{"camera range", kDevice + "channels = [1, 65]\n", 5, "from 1 to 64"},
        BadFile{"channels text", kDevice + "channels = \"some\"\n", 5, "channels must be"},
        BadFile{"channels empty", kDevice + "channels = []\n", 5, "channels must be"},
        BadFile{"camera twice", kDevice + "channels = [2, 2]\n", 5, "camera 2 is listed twice"},
        BadFile{"channel without camera", kDevice + "[[devices.channels]]\nquality = 3\n", 5,
                "needs its camera"},
        BadFile{"channel quality", kDevice + "[[devices.channels]]\ncamera = 1\nquality = 101\n",
                7, "quality must be"},
        BadFile{"relay state", kDevice + "relays = { 2 = \"maybe\" }\n", 5, "\"on\" or \"off\""},
        BadFile{"relay number", kDevice + "relays = { x = \"on\" }\n", 5, "relay output 'x'"},
        BadFile{"format", "[recording]\nformat = \"avi\"\n" + kDevice, 2, "mkv, h263"},
        BadFile{"metrics", "[recording]\nmetrics = \"9464\"\n" + kDevice, 2, "ADDRESS:PORT"},
        BadFile{"max_gib", "[recording]\nmax_gib = -1\n" + kDevice, 2, "max_gib"},
        BadFile{"recording key", "[recording]\nsegment = 3\n" + kDevice, 2,
                "unknown key 'segment' in [recording]"}),
    [](const ::testing::TestParamInfo<BadFile>& info) {
      std::string name;
      for (const char c : std::string(info.param.what)) name += std::isalnum(c) ? c : '_';
      return name;
    });

TEST(RecorderConfigFile, AllChannelsTakeTheDevicesDefaults) {
  for (const char* channels : {"channels = \"all\"\n", ""}) {
    const RecorderConfig config = Parse("[[devices]]\nname = \"a\"\naddress = \"h\"\nport = 1\n"
                                        "resolution = \"2cif\"\ninterval_ms = 200\n" +
                                        std::string(channels));
    ASSERT_EQ(config.devices.size(), 1u) << channels;
    EXPECT_TRUE(config.devices[0].channels.empty()) << channels;
    EXPECT_EQ(config.devices[0].defaults.resolution.code, 3) << channels;
    EXPECT_EQ(config.devices[0].defaults.frameIntervalMs, 200) << channels;
  }
}

TEST(RecorderConfigFile, RelaysTakeOnOffOrBooleans) {
  const RecorderConfig config =
      Parse("[[devices]]\nname = \"a\"\naddress = \"h\"\nport = 1\n"
            "relays = { 1 = true, 2 = \"off\", 4 = \"on\", 5 = false }\n");
  ASSERT_EQ(config.devices.size(), 1u);
  EXPECT_EQ(config.devices[0].relays,
            (std::vector<std::pair<int, bool>>{{1, true}, {2, false}, {4, true}, {5, false}}));
}

TEST(RecorderConfigFile, MissingFileIsNamed) {
  std::string error;
  EXPECT_FALSE(LoadConfig("/nonexistent/recorder.toml", {}, &error).has_value());
  EXPECT_NE(error.find("/nonexistent/recorder.toml"), std::string::npos) << error;
}

TEST(RecorderConfigCommandLine, PortListMakesADeviceEachWithRelaysOnTheFirst) {
  Options o;
  o.address = "10.1.1.1";
  o.ports = {4001, 4002};
  o.user = "operator";
  o.channels = {1, 3};
  o.resolution = {"2cif", 3};
  o.outputs = {{2, true}};
  const RecorderConfig config = ConfigFromOptions(o);
  EXPECT_FALSE(config.fromFile);
  ASSERT_EQ(config.devices.size(), 2u);
  for (std::size_t d = 0; d < 2; ++d) {
    const DeviceConfig& device = config.devices[d];
    EXPECT_EQ(device.address, "10.1.1.1");
    EXPECT_EQ(device.port, o.ports[d]);
    EXPECT_EQ(device.name, "10.1.1.1:" + std::to_string(o.ports[d]));
    EXPECT_EQ(device.passwordEnv, "VELTRANE_PASSWORD");
    ASSERT_EQ(device.channels.size(), 2u);
    EXPECT_EQ(device.channels[1].camera, 3);
    EXPECT_EQ(device.channels[1].resolution.code, 3);
  }
  EXPECT_EQ(config.devices[0].relays, o.outputs);
  EXPECT_TRUE(config.devices[1].relays.empty());
}

TEST(RecorderConfigCommandLine, WithoutAddressTheOneDeviceIsTheSimulator) {
  Options o;
  o.passwordFile = "pw";
  const RecorderConfig config = ConfigFromOptions(o);
  ASSERT_EQ(config.devices.size(), 1u);
  EXPECT_TRUE(config.devices[0].address.empty());
  EXPECT_TRUE(config.devices[0].channels.empty());
  EXPECT_EQ(config.devices[0].passwordFile, "pw");
  EXPECT_EQ(config.devices[0].passwordEnv, "");
}

}  // namespace
}  // namespace recorder
