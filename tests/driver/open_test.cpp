#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "driver/veltrane.h"
#include "support/fake_host.h"
#include "support/settings_test_files.h"

namespace corvane {
namespace {

// A device-type file with the given elements under the root "bosch".
std::string DeviceType(const std::string& body) {
  return "<?xml version=\"1.0\"?>\n<bosch>\n" + body + "</bosch>\n";
}

std::string Element(const std::string& path, const std::string& value) {
  // "a/b" -> <a><b value="..."/></a>
  std::string open;
  std::string close;
  std::size_t start = 0;
  std::vector<std::string> names;
  for (std::size_t slash; (slash = path.find('/', start)) != std::string::npos; start = slash + 1)
    names.push_back(path.substr(start, slash - start));
  for (const std::string& n : names) open += "<" + n + ">";
  for (auto it = names.rbegin(); it != names.rend(); ++it) close += "</" + *it + ">";
  return open + "<" + path.substr(start) + " value=\"" + value + "\"/>" + close + "\n";
}

std::vector<int> Enumerate(CVeltrane& driver, bool resolutions) {
  std::vector<int> values;
  int value = 0;
  int more = resolutions ? driver.GetFirstResolution(&value) : driver.GetFirstFrameInterval(&value);
  while (more) {
    values.push_back(value);
    more = resolutions ? driver.GetNextResolution(&value) : driver.GetNextFrameInterval(&value);
  }
  return values;
}

class DriverOpen : public ::testing::Test {
 protected:
  void SetUp() override {
    driver_.SetCaptureUser(&user_);
    driver_.SetProperty("IPSERVERADDRESS", "127.0.0.1", 0);
  }

  // Writes a device type and points the driver at it.
  void UseDeviceType(const std::string& body) {
    file_ = std::make_unique<TestSettingsFile>(UniqueStem("open" + std::to_string(++files_)),
                                               DeviceType(body));
    driver_.SetProperty("IPSERVERTYPE", file_->stem().c_str(), 0);
  }

  fakes::FakeCaptureUser user_;
  CVeltrane driver_;
  std::unique_ptr<TestSettingsFile> file_;
  int files_ = 0;
};

TEST_F(DriverOpen, ShippedVideoServerGivesItsListsAndSizes) {
  driver_.SetProperty("IPSERVERTYPE", "nvs400", 0);
  ASSERT_EQ(driver_.Open(nullptr), 1);
  EXPECT_TRUE(driver_.opened());
  EXPECT_EQ(driver_.GetChannelCount(), 4);
  EXPECT_EQ(Enumerate(driver_, true), (std::vector<int>{2, 3, 4}));
  EXPECT_EQ(Enumerate(driver_, false),
            (std::vector<int>{40, 83, 120, 160, 200, 240, 320, 480, 1000}));
  EXPECT_EQ(driver_.networkTimeout(), 20000);
  int width = 0;
  int height = 0;
  ASSERT_EQ(driver_.GetResolutionSize(3, &width, &height), 1);
  EXPECT_EQ(width, 704);
  EXPECT_EQ(height, 288);
  EXPECT_EQ(driver_.GetDeviceConfig()->inputCount, 4);
  EXPECT_EQ(driver_.GetDeviceConfig()->outputCount, 2);
}

TEST_F(DriverOpen, MissingAddressIsLoggedButDoesNotStopOpen) {
  CVeltrane driver;
  driver.SetCaptureUser(&user_);
  driver.SetProperty("IPSERVERTYPE", "nvc100", 0);
  EXPECT_EQ(driver.Open(nullptr), 1);
  EXPECT_TRUE(user_.HasLine("CVeltrane::Open() -> IPaddress hasn't been set"));
}

TEST_F(DriverOpen, MissingServerTypeFails) {
  EXPECT_EQ(driver_.Open(nullptr), 0);
  EXPECT_TRUE(user_.HasLine("CVeltrane::Open() -> IP Server Type hasn't been set"));
  EXPECT_FALSE(driver_.opened());
}

TEST_F(DriverOpen, MissingFileFailsWithTheFileName) {
  driver_.SetProperty("IPSERVERTYPE", "no-such-device", 0);
  EXPECT_EQ(driver_.Open(nullptr), 0);
  EXPECT_TRUE(user_.HasLine("CVeltrane::Open() -> Cannot read configuration from file no-such-device.xml"));
}

TEST_F(DriverOpen, ServerTypeOf257CharactersIsRefused) {
  const std::string type(257, 'n');
  driver_.SetProperty("IPSERVERTYPE", type.c_str(), 0);
  EXPECT_EQ(driver_.Open(nullptr), 0);
  EXPECT_TRUE(user_.HasLine("CVeltrane::Open() -> Cannot read configuration from file " + type + ".xml"));
}

TEST_F(DriverOpen, ServerTypeThatIsAPathIsRefused) {
  driver_.SetProperty("IPSERVERTYPE", "../bin/nvs400", 0);
  EXPECT_EQ(driver_.Open(nullptr), 0);
  EXPECT_TRUE(user_.HasLine("CVeltrane::Open() -> Cannot read configuration from file ../bin/nvs400.xml"));
}

TEST_F(DriverOpen, MalformedFileFails) {
  file_ = std::make_unique<TestSettingsFile>(UniqueStem("open"), "<bosch><framerate>");
  driver_.SetProperty("IPSERVERTYPE", file_->stem().c_str(), 0);
  EXPECT_EQ(driver_.Open(nullptr), 0);
  EXPECT_TRUE(user_.HasLine("CVeltrane::Open() -> Cannot read configuration from file " +
                            file_->fileName()));
}

TEST_F(DriverOpen, MissingMaximumFrameRateFailsWithoutALogLine) {
  UseDeviceType(Element("cameraCount", "2"));
  EXPECT_EQ(driver_.Open(nullptr), 0);
  EXPECT_TRUE(user_.Lines().empty());
  EXPECT_FALSE(driver_.opened());
}

TEST_F(DriverOpen, MissingCameraCountOpensWithNoChannels) {
  UseDeviceType(Element("framerate/max", "25"));
  EXPECT_EQ(driver_.Open(nullptr), 1);
  EXPECT_EQ(driver_.GetChannelCount(), 0);
}

TEST_F(DriverOpen, CameraCountAbove64IsReportedAsGiven) {
  UseDeviceType(Element("cameraCount", "100") + Element("framerate/max", "25"));
  EXPECT_EQ(driver_.Open(nullptr), 1);
  EXPECT_EQ(driver_.GetChannelCount(), 100);
}

TEST_F(DriverOpen, FlagsAreTrueOnlyForTrueInAnyCase) {
  UseDeviceType(Element("framerate/max", "25") + Element("resolutions/qcif", "TRUE") +
                Element("resolutions/cif", "True") + Element("resolutions/cif2", "yes") +
                Element("resolutions/cif4", "1") + Element("resolutions/ccria", " true") +
                Element("framerate/ccfia", "tRuE"));
  ASSERT_EQ(driver_.Open(nullptr), 1);
  EXPECT_EQ(Enumerate(driver_, true), (std::vector<int>{1, 2}));
  std::int32_t value = -1;
  EXPECT_EQ(driver_.GetProperty("CanChangeResInAlm", &value, 4), 1);
  EXPECT_EQ(value, 0);
  EXPECT_EQ(driver_.GetProperty("CanChangeFrInAlm", &value, 4), 1);
  EXPECT_EQ(value, 1);
}

TEST_F(DriverOpen, ResolutionListFollowsTheFlags) {
  UseDeviceType(Element("framerate/max", "25") + Element("resolutions/cif", "true") +
                Element("resolutions/cif4", "true") + Element("resolutions/cif4x", "704") +
                Element("resolutions/cif4y", "576"));
  ASSERT_EQ(driver_.Open(nullptr), 1);
  EXPECT_EQ(Enumerate(driver_, true), (std::vector<int>{2, 4}));
  int width = 0;
  int height = 0;
  EXPECT_EQ(driver_.GetResolutionSize(3, &width, &height), 0);
  EXPECT_EQ(driver_.GetResolutionSize(4, &width, &height), 1);
  EXPECT_EQ(width, 704);
  EXPECT_EQ(height, 576);
  // The enumeration stays finished until it is started again.
  EXPECT_EQ(driver_.GetNextResolution(&width), 0);
}

TEST_F(DriverOpen, FrameIntervalsOf25FpsFamily) {
  UseDeviceType(Element("framerate/max", "12"));
  ASSERT_EQ(driver_.Open(nullptr), 1);
  EXPECT_EQ(Enumerate(driver_, false), (std::vector<int>{83, 120, 160, 200, 240, 320, 480, 1000}));
}

TEST_F(DriverOpen, FrameIntervalsOf30FpsFamily) {
  UseDeviceType(Element("framerate/max", "25"));
  driver_.SetVideoMode(1);
  ASSERT_EQ(driver_.Open(nullptr), 1);
  EXPECT_EQ(Enumerate(driver_, false), (std::vector<int>{50, 66, 99, 133, 166, 200, 250, 500, 1000}));
}

TEST_F(DriverOpen, FrameIntervalsAt30Fps) {
  UseDeviceType(Element("framerate/max", "30"));
  driver_.SetVideoMode(1);
  ASSERT_EQ(driver_.Open(nullptr), 1);
  EXPECT_EQ(Enumerate(driver_, false),
            (std::vector<int>{33, 50, 66, 99, 133, 166, 200, 250, 500, 1000}));
}

TEST_F(DriverOpen, NegativeMaximumFrameRateOpensWithNoIntervals) {
  UseDeviceType(Element("framerate/max", "-5"));
  ASSERT_EQ(driver_.Open(nullptr), 1);
  EXPECT_TRUE(Enumerate(driver_, false).empty());
}

TEST_F(DriverOpen, PerResolutionRatesKeepTheirLow8BitsSigned) {
  UseDeviceType(Element("framerate/max", "25") + Element("framerate/res0", "15") +
                Element("framerate/res1", "200") + Element("framerate/res2", "300"));
  ASSERT_EQ(driver_.Open(nullptr), 1);
  std::int32_t value = 0;
  EXPECT_EQ(driver_.GetProperty("MAXFPS_RES0", &value, 4), 1);
  EXPECT_EQ(value, 15);
  EXPECT_EQ(driver_.GetProperty("MAXFPS_RES1", &value, 4), 0);  // 200 is -56 in 8 bits
  EXPECT_EQ(driver_.maxFrameRateOf(1), -56);
  EXPECT_EQ(driver_.GetProperty("MAXFPS_RES2", &value, 4), 1);  // 300 is 44 in 8 bits
  EXPECT_EQ(value, 44);
  EXPECT_EQ(driver_.GetProperty("MAXFPS_RES3", &value, 4), 0);  // not in the file
}

TEST_F(DriverOpen, IoPathIsReadOnlyWithInputsOrOutputs) {
  UseDeviceType(Element("framerate/max", "25") + Element("io/output", "0") +
                Element("io/path", "/io") + Element("io/output/target", "relay"));
  ASSERT_EQ(driver_.Open(nullptr), 1);
  const DeviceConfig& c = *driver_.GetDeviceConfig();
  EXPECT_EQ(c.outputCount, 0);
  EXPECT_EQ(c.ioPath, "");
  EXPECT_EQ(c.outputTarget, "");
}

TEST_F(DriverOpen, InputsBringTheirTextsAndTheIoPath) {
  UseDeviceType(Element("framerate/max", "25") + Element("io/input", "4") +
                Element("io/path", "/io") + Element("io/input/target", "alarm") +
                Element("io/input/check", "c") + Element("io/input/monitor", "m"));
  ASSERT_EQ(driver_.Open(nullptr), 1);
  const DeviceConfig& c = *driver_.GetDeviceConfig();
  EXPECT_EQ(c.inputCount, 4);
  EXPECT_EQ(c.ioPath, "/io");
  EXPECT_EQ(c.inputTarget, "alarm");
  EXPECT_EQ(c.inputCheck, "c");
  EXPECT_EQ(c.inputMonitor, "m");
}

TEST_F(DriverOpen, NumbersFollowAtoi) {
  UseDeviceType(Element("framerate/max", " 25fps") + Element("cameraCount", "+3x") +
                Element("resolutions/cifx", "abc") + Element("quality/min", "7"));
  ASSERT_EQ(driver_.Open(nullptr), 1);
  const DeviceConfig& c = *driver_.GetDeviceConfig();
  EXPECT_EQ(c.maxFrameRate, 25);
  EXPECT_EQ(c.cameraCount, 3);
  EXPECT_EQ(c.cifWidth, 0);
  EXPECT_EQ(c.qualityMin, "7");
}

TEST_F(DriverOpen, SecondOpenReadsNothing) {
  UseDeviceType(Element("framerate/max", "25") + Element("cameraCount", "2"));
  ASSERT_EQ(driver_.Open(nullptr), 1);
  file_.reset();  // the file is gone
  EXPECT_EQ(driver_.Open(nullptr), 1);
  EXPECT_EQ(driver_.GetChannelCount(), 2);
}

TEST_F(DriverOpen, ReopenKeepsFlagsAndNumbersTheFileNoLongerGives) {
  UseDeviceType(Element("framerate/max", "25") + Element("cameraCount", "2") +
                Element("resolutions/cif", "true") + Element("resolutions/cifx", "352") +
                Element("camera", "first"));
  ASSERT_EQ(driver_.Open(nullptr), 1);
  ASSERT_EQ(driver_.Close(), 1);
  UseDeviceType(Element("framerate/max", "10") + Element("resolutions/cif4", "true"));
  ASSERT_EQ(driver_.Open(nullptr), 1);
  const DeviceConfig& c = *driver_.GetDeviceConfig();
  EXPECT_EQ(c.cifEnabled, 1);
  EXPECT_EQ(c.cif4Enabled, 1);
  EXPECT_EQ(c.cifWidth, 352);
  EXPECT_EQ(c.cameraCount, 0);   // read without a default every time
  EXPECT_EQ(c.camera, "");       // texts are overwritten
  EXPECT_EQ(Enumerate(driver_, true), (std::vector<int>{2}));  // the list is kept
  EXPECT_EQ(Enumerate(driver_, false), (std::vector<int>{83, 120, 160, 200, 240, 320, 480, 1000}));
}

TEST_F(DriverOpen, SetVideoModeEmptiesIntervalsUntilTheNextOpen) {
  UseDeviceType(Element("framerate/max", "25"));
  ASSERT_EQ(driver_.Open(nullptr), 1);
  driver_.SetVideoMode(1);
  int value = 0;
  EXPECT_EQ(driver_.GetFirstFrameInterval(&value), 0);
  EXPECT_EQ(driver_.Open(nullptr), 1);  // already open: nothing is rebuilt
  EXPECT_EQ(driver_.GetFirstFrameInterval(&value), 0);
  driver_.Close();
  ASSERT_EQ(driver_.Open(nullptr), 1);
  EXPECT_EQ(Enumerate(driver_, false), (std::vector<int>{50, 66, 99, 133, 166, 200, 250, 500, 1000}));
}

TEST_F(DriverOpen, FileNetworkTimeoutReplacesTheDefaultWhenPositive) {
  UseDeviceType(Element("framerate/max", "25") + Element("networktimeout", "750"));
  ASSERT_EQ(driver_.Open(nullptr), 1);
  EXPECT_EQ(driver_.networkTimeout(), 750);

  CVeltrane other;
  other.SetProperty("IPSERVERADDRESS", "127.0.0.1", 0);
  TestSettingsFile zero(UniqueStem("zero"),
                        DeviceType(Element("framerate/max", "25") + Element("networktimeout", "0")));
  other.SetProperty("IPSERVERTYPE", zero.stem().c_str(), 0);
  ASSERT_EQ(other.Open(nullptr), 1);
  EXPECT_EQ(other.networkTimeout(), 20000);
}

TEST_F(DriverOpen, FileNetworkTimeoutIsBoundedToTenMinutes) {
  // Sessions and the digital I/O object wait for several times the time-out.
  const struct {
    const char* value;
    int expectedMs;
  } rows[] = {
      {"1", 1},
      {"600000", 600000},
      {"600001", 600000},
      {"2147483647", 600000},
      {"4294968296", 600000},  // 2^32 + 1000: must not wrap to 1000
      {"99999999999999999999", 600000},
      {"-1", 20000},
      {"-2147483648", 20000},
  };
  for (const auto& row : rows) {
    CVeltrane driver;
    driver.SetProperty("IPSERVERADDRESS", "127.0.0.1", 0);
    TestSettingsFile file(UniqueStem("timeout"), DeviceType(Element("framerate/max", "25") +
                                                            Element("networktimeout", row.value)));
    driver.SetProperty("IPSERVERTYPE", file.stem().c_str(), 0);
    ASSERT_EQ(driver.Open(nullptr), 1) << row.value;
    EXPECT_EQ(driver.networkTimeout(), row.expectedMs) << row.value;
    driver.Close();
  }
}

}  // namespace
}  // namespace corvane
