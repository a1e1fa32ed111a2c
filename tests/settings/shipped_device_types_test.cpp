// The device types shipped beside the driver: each one must load and offer what its model
// is sold as.
#include <cstdlib>
#include <ostream>
#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "settings/camera_capabilities.h"
#include "settings/xml_settings_api.h"

namespace {

using ::testing::ElementsAre;

class ShippedDeviceType {
 public:
  explicit ShippedDeviceType(const std::string& type) : loadResult_(store_.Load((type + ".xml").c_str())) {}
  std::int32_t loadResult() const { return loadResult_; }
  std::string Text(const char* key) { return store_.GetValue("%s/%s", "bosch", key); }
  int Number(const char* key) { return std::atoi(Text(key).c_str()); }

 private:
  CXMLSettingsAPI store_;
  std::int32_t loadResult_;
};

CCameraCapabilities Capabilities(const char* type) {
  CCameraCapabilities caps;
  std::string rootName;
  EXPECT_TRUE(ReadCapabilities(type, caps, rootName)) << type;
  EXPECT_EQ(rootName, "bosch");
  return caps;
}

class EveryShippedDeviceType : public ::testing::TestWithParam<const char*> {};

TEST_P(EveryShippedDeviceType, Loads) {
  ShippedDeviceType type(GetParam());
  EXPECT_EQ(type.loadResult(), 0);
}

TEST_P(EveryShippedDeviceType, CarriesDescriptionTexts) {
  ShippedDeviceType type(GetParam());
  for (const char* key : {"camera", "path", "target", "settingspath", "settingstarget", "framerate/string",
                          "quality/string", "size/string", "mpeg4/protocol"}) {
    EXPECT_NE(type.Text(key), "") << key;
  }
}

TEST_P(EveryShippedDeviceType, CarriesPositiveQualityNumbers) {
  ShippedDeviceType type(GetParam());
  for (const char* key : {"quality/min", "quality/low", "quality/medium", "quality/high", "quality/max"}) {
    EXPECT_GT(type.Number(key), 0) << key;
  }
}

TEST_P(EveryShippedDeviceType, MaximumFrameRateIs25) {
  ShippedDeviceType type(GetParam());
  EXPECT_EQ(type.Number("framerate/max"), 25);
}

TEST_P(EveryShippedDeviceType, AlarmFlagsAreSpelledAsFlags) {
  ShippedDeviceType type(GetParam());
  for (const char* key : {"resolutions/ccria", "framerate/ccfia"}) {
    const std::string value = type.Text(key);
    EXPECT_TRUE(value == "true" || value == "false") << key << " = " << value;
  }
}

TEST_P(EveryShippedDeviceType, LeavesNetworkTimeoutToTheDriver) {
  ShippedDeviceType type(GetParam());
  ASSERT_EQ(type.loadResult(), 0);
  EXPECT_EQ(type.Text("networktimeout"), "");
}

TEST_P(EveryShippedDeviceType, HasIoPathExactlyWhenItHasInputsOrOutputs) {
  ShippedDeviceType type(GetParam());
  const bool hasIo = type.Number("io/input") != 0 || type.Number("io/output") != 0;
  EXPECT_EQ(type.Text("io/path") != "", hasIo);
}

INSTANTIATE_TEST_SUITE_P(Shipped, EveryShippedDeviceType,
                         ::testing::Values("nvc100", "nvs400", "nvs1600", "nvs6400", "nvc200m"));

TEST(ShippedDeviceTypes, Nvc100IsOneCameraWithQcifAndCif) {
  ShippedDeviceType type("nvc100");
  ASSERT_EQ(type.loadResult(), 0);
  EXPECT_EQ(type.Number("cameraCount"), 1);
  EXPECT_EQ(type.Text("resolutions/qcif"), "true");
  EXPECT_EQ(type.Number("resolutions/qcifx"), 176);
  EXPECT_EQ(type.Number("resolutions/qcify"), 144);
  EXPECT_EQ(type.Text("resolutions/cif"), "true");
  EXPECT_EQ(type.Number("resolutions/cifx"), 352);
  EXPECT_EQ(type.Number("resolutions/cify"), 288);
  EXPECT_NE(type.Text("resolutions/cif2"), "true");
  EXPECT_NE(type.Text("resolutions/cif4"), "true");
}

TEST(ShippedDeviceTypes, Nvs400OffersCif2CifAnd4Cif) {
  ShippedDeviceType type("nvs400");
  ASSERT_EQ(type.loadResult(), 0);
  EXPECT_EQ(type.Number("cameraCount"), 4);
  EXPECT_NE(type.Text("resolutions/qcif"), "true");
  EXPECT_EQ(type.Text("resolutions/cif"), "true");
  EXPECT_EQ(type.Text("resolutions/cif2"), "true");
  EXPECT_EQ(type.Text("resolutions/cif4"), "true");
  EXPECT_EQ(type.Number("resolutions/cifx"), 352);
  EXPECT_EQ(type.Number("resolutions/cify"), 288);
  EXPECT_EQ(type.Number("resolutions/cif2x"), 704);
  EXPECT_EQ(type.Number("resolutions/cif2y"), 288);
  EXPECT_EQ(type.Number("resolutions/cif4x"), 704);
  EXPECT_EQ(type.Number("resolutions/cif4y"), 576);
}

TEST(ShippedDeviceTypes, Nvs1600ServesSixteenCameras) {
  ShippedDeviceType type("nvs1600");
  ASSERT_EQ(type.loadResult(), 0);
  EXPECT_EQ(type.Number("cameraCount"), 16);
  EXPECT_EQ(type.Text("resolutions/cif"), "true");
  EXPECT_EQ(type.Text("resolutions/cif2"), "true");
  EXPECT_EQ(type.Text("resolutions/cif4"), "true");
}

TEST(ShippedDeviceTypes, Nvs400CapabilitiesMapSizesToCodes) {
  CCameraCapabilities caps = Capabilities("nvs400");
  EXPECT_EQ(caps.cameraCount, 4);
  EXPECT_EQ(FindResolutionCode(caps, 352, 288), kResolutionCif);
  EXPECT_EQ(FindResolutionCode(caps, 704, 288), kResolution2Cif);
  EXPECT_EQ(FindResolutionCode(caps, 704, 576), kResolution4Cif);
}

TEST(ShippedDeviceTypes, Nvc100CapabilitiesOfferCifOnly) {
  CCameraCapabilities caps = Capabilities("nvc100");
  EXPECT_EQ(caps.cameraCount, 1);
  EXPECT_EQ(FindResolutionCode(caps, 352, 288), kResolutionCif);
  EXPECT_EQ(FindResolutionCode(caps, 176, 144), 0);
}

template <typename Row>
std::string RowName(const ::testing::TestParamInfo<Row>& info) {
  return info.param.name;
}

struct DigitalIoRow {
  const char* name;
  const char* type;
  int inputs;
  int outputs;
};

void PrintTo(const DigitalIoRow& row, std::ostream* out) { *out << row.type; }

class ShippedDigitalIo : public ::testing::TestWithParam<DigitalIoRow> {};

TEST_P(ShippedDigitalIo, CountsInputsAndOutputs) {
  ShippedDeviceType type(GetParam().type);
  ASSERT_EQ(type.loadResult(), 0);
  EXPECT_EQ(type.Number("io/input"), GetParam().inputs);
  EXPECT_EQ(type.Number("io/output"), GetParam().outputs);
}

INSTANTIATE_TEST_SUITE_P(ShippedDeviceTypes, ShippedDigitalIo,
                         ::testing::Values(DigitalIoRow{"Nvc100HasNoInputsOrOutputs", "nvc100", 0, 0},
                                           DigitalIoRow{"Nvs400HasFourInputsAndTwoOutputs", "nvs400", 4, 2}),
                         RowName<DigitalIoRow>);

struct CameraCountRow {
  const char* name;
  const char* type;
  std::int32_t cameraCount;
};

void PrintTo(const CameraCountRow& row, std::ostream* out) { *out << row.type; }

class ShippedCameraCount : public ::testing::TestWithParam<CameraCountRow> {};

TEST_P(ShippedCameraCount, ComesFromTheCapabilities) {
  EXPECT_EQ(Capabilities(GetParam().type).cameraCount, GetParam().cameraCount);
}

INSTANTIATE_TEST_SUITE_P(
    ShippedDeviceTypes, ShippedCameraCount,
    ::testing::Values(CameraCountRow{"Nvs1600CountsSixteenCameras", "nvs1600", 16},
                      // The largest device a driver serves: every channel slot in use.
                      CameraCountRow{"Nvs6400CountsSixtyFourCameras", "nvs6400", 64}),
    RowName<CameraCountRow>);

TEST(ShippedDeviceTypes, Nvc200mOffersBothCodings) {
  CCameraCapabilities caps = Capabilities("nvc200m");
  EXPECT_THAT(caps.codecList, ElementsAre(kCodecMpeg4, kCodecJpeg));
  EXPECT_NE(caps.FirstCodec(), 0);
  EXPECT_NE(caps.NextCodec(), 0);
}

TEST(ShippedDeviceTypes, SingleCodingTypesChooseNoCompression) {
  for (const char* type : {"nvc100", "nvs400", "nvs1600", "nvs6400"}) {
    CCameraCapabilities caps = Capabilities(type);
    caps.FirstCodec();
    EXPECT_EQ(caps.NextCodec(), 0) << type;
  }
}

}  // namespace
