// The video capture adapter against a recording driver: channel start, stop and resize,
// the pass-throughs and the camera count.
#include "ipcapture/new_ip_video_capture.h"

#include <gtest/gtest.h>

#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "fake_capture_driver.h"
#include "ipcapture/new_capture_api.h"
#include "ipcapture/old_capture_api_user.h"
#include "ipcapture_test_files.h"
#include "support/fake_host.h"
#include "support/fake_ipcapture_host.h"
#include "support/settings_test_files.h"

namespace {

using corvane::CNewIPVideoCapture;
using fakes::FakeCaptureDriver;
using fakes::FakeChannelCallback;
using fakes::FakeResolution;
using fakes::FakeStreamSettings;

template <typename Row>
std::string RowName(const ::testing::TestParamInfo<Row>& info) {
  return info.param.name;
}

class NewIPVideoCapture : public ::testing::Test {
 protected:
  NewIPVideoCapture() {
    // CIF and 4CIF, as a capability read would list them.
    api_.capabilities().resolutionTable = {{2, 352, 288}, {4, 704, 576}};
    video_ = dynamic_cast<CNewIPVideoCapture*>(api_.GetVideoCapture());
  }

  bool Start(std::uint32_t channel, FakeStreamSettings settings) {
    settings_.push_back(std::make_unique<FakeStreamSettings>(settings));
    return video_->StartVideo(channel, &callback_, settings_.back().get());
  }

  FakeCaptureDriver driver_;
  corvane::CNewCaptureApi api_{&driver_};
  CNewIPVideoCapture* video_ = nullptr;
  FakeChannelCallback callback_;
  std::vector<std::unique_ptr<FakeStreamSettings>> settings_;
};

TEST_F(NewIPVideoCapture, RegistersItsBridgeWithTheDriver) {
  ASSERT_NE(video_, nullptr);
  EXPECT_EQ(driver_.captureUser, static_cast<CCaptureAPIUser*>(video_->bridge()));
}

TEST_F(NewIPVideoCapture, StartsChannel63WithTheSettings) {
  ASSERT_TRUE(Start(63, FakeStreamSettings(352, 288, 83, 64)));
  ASSERT_EQ(driver_.starts.size(), 1u);
  EXPECT_EQ(driver_.starts[0].channel, 63);
  EXPECT_EQ(driver_.starts[0].frameIntervalMs, 83);
  EXPECT_EQ(driver_.starts[0].resolutionCode, 2);
  EXPECT_EQ(driver_.starts[0].quality, 64);
  EXPECT_EQ(video_->bridge()->ChannelCallback(63), &callback_);
}

TEST_F(NewIPVideoCapture, RefusesChannel64WithoutCallingTheDriver) {
  EXPECT_FALSE(Start(64, FakeStreamSettings(352, 288, 40, 50)));
  EXPECT_TRUE(driver_.calls.empty());
  for (std::uint32_t channel = 0; channel < 64; ++channel)
    EXPECT_EQ(video_->bridge()->ChannelCallback(channel), nullptr);
}

struct StartSizeRow {
  const char* name;
  std::uint32_t channel;
  int width;
  int height;
  int resolutionCode;
};

void PrintTo(const StartSizeRow& row, std::ostream* out) {
  *out << row.name << " (" << row.width << "x" << row.height << ")";
}

class NewIPVideoCaptureStartSize : public NewIPVideoCapture,
                                   public ::testing::WithParamInterface<StartSizeRow> {};

TEST_P(NewIPVideoCaptureStartSize, PicksTheResolutionCode) {
  const StartSizeRow& row = GetParam();
  ASSERT_TRUE(Start(row.channel, FakeStreamSettings(row.width, row.height, 40, 50)));
  ASSERT_EQ(driver_.starts.size(), 1u);
  EXPECT_EQ(driver_.starts[0].resolutionCode, row.resolutionCode);
}

const StartSizeRow kStartSizeRows[] = {
    {"UnknownSizeStartsAtCif", 0, 640, 480, 2},
    {"KnownSizeStartsWithItsCode", 1, 704, 576, 4},
};
INSTANTIATE_TEST_SUITE_P(NewIPVideoCapture, NewIPVideoCaptureStartSize,
                         ::testing::ValuesIn(kStartSizeRows), RowName<StartSizeRow>);

TEST_F(NewIPVideoCapture, StartReportsTheDriversRefusal) {
  driver_.startResult = 0;
  EXPECT_FALSE(Start(0, FakeStreamSettings(352, 288, 40, 50)));
}

TEST_F(NewIPVideoCapture, StartWithoutSettingsIsRefused) {
  EXPECT_FALSE(video_->StartVideo(0, &callback_, nullptr));
  FakeStreamSettings noRate;
  noRate.nullRate = true;
  EXPECT_FALSE(video_->StartVideo(0, &callback_, &noRate));
  FakeStreamSettings noFormat;
  noFormat.nullFormat = true;
  EXPECT_FALSE(video_->StartVideo(0, &callback_, &noFormat));
  EXPECT_TRUE(driver_.calls.empty());
  EXPECT_EQ(video_->bridge()->ChannelCallback(0), nullptr);
}

TEST_F(NewIPVideoCapture, LaterStartReplacesTheChannelCallback) {
  ASSERT_TRUE(Start(5, FakeStreamSettings(352, 288, 40, 50)));
  FakeChannelCallback other;
  FakeStreamSettings settings(352, 288, 40, 50);
  ASSERT_TRUE(video_->StartVideo(5, &other, &settings));
  EXPECT_EQ(video_->bridge()->ChannelCallback(5), &other);
}

TEST_F(NewIPVideoCapture, StopPassesTheChannelAndItsResult) {
  EXPECT_TRUE(video_->StopVideo(7));
  driver_.stopResult = 0;
  EXPECT_FALSE(video_->StopVideo(7));
  EXPECT_EQ(driver_.calls, (std::vector<std::string>{"StopChannel(7)", "StopChannel(7)"}));
}

TEST_F(NewIPVideoCapture, StopRefusesChannel64WithoutCallingTheDriver) {
  EXPECT_FALSE(video_->StopVideo(64));
  EXPECT_FALSE(video_->StopVideo(0xFFFFFFFFu));
  EXPECT_TRUE(driver_.calls.empty());
}

TEST_F(NewIPVideoCapture, CallbackStaysRegisteredAfterStop) {
  ASSERT_TRUE(Start(2, FakeStreamSettings(352, 288, 40, 50)));
  ASSERT_TRUE(video_->StopVideo(2));
  EXPECT_EQ(video_->bridge()->ChannelCallback(2), &callback_);
}

TEST_F(NewIPVideoCapture, ChangeTo4CifRestartsWithCode4TheNewIntervalAndStoredQuality) {
  ASSERT_TRUE(Start(3, FakeStreamSettings(352, 288, 40, 77)));
  driver_.calls.clear();
  FakeResolution cif4(704, 576);
  ASSERT_TRUE(video_->ChangeResolution(3, &cif4, 120));
  EXPECT_EQ(driver_.calls, (std::vector<std::string>{"StopChannel(3)", "StartChannel(3)"}));
  ASSERT_EQ(driver_.starts.size(), 2u);
  EXPECT_EQ(driver_.starts[1].channel, 3);
  EXPECT_EQ(driver_.starts[1].frameIntervalMs, 120);
  EXPECT_EQ(driver_.starts[1].resolutionCode, 4);
  EXPECT_EQ(driver_.starts[1].quality, 77);
}

TEST_F(NewIPVideoCapture, ChangeUsesTheQualityOfTheLastStartOnAnyChannel) {
  ASSERT_TRUE(Start(0, FakeStreamSettings(352, 288, 40, 20)));
  ASSERT_TRUE(Start(1, FakeStreamSettings(352, 288, 40, 90)));
  FakeResolution cif(352, 288);
  ASSERT_TRUE(video_->ChangeResolution(0, &cif, 40));
  EXPECT_EQ(driver_.starts.back().quality, 90);
}

TEST_F(NewIPVideoCapture, ChangeBeforeAnyStartUsesQuality50) {
  FakeResolution cif4(704, 576);
  ASSERT_TRUE(video_->ChangeResolution(0, &cif4, 40));
  ASSERT_EQ(driver_.starts.size(), 1u);
  EXPECT_EQ(driver_.starts[0].quality, 50);
}

TEST_F(NewIPVideoCapture, ChangeToUnknownSizeIsRefusedAndLeavesTheChannelRunning) {
  FakeResolution vga(640, 480);
  EXPECT_FALSE(video_->ChangeResolution(0, &vga, 40));
  EXPECT_TRUE(driver_.calls.empty());
}

TEST_F(NewIPVideoCapture, ChangeAfterRefusedStopDoesNotStart) {
  driver_.stopResult = 0;
  FakeResolution cif4(704, 576);
  EXPECT_FALSE(video_->ChangeResolution(0, &cif4, 40));
  EXPECT_EQ(driver_.calls, std::vector<std::string>{"StopChannel(0)"});
  EXPECT_TRUE(driver_.starts.empty());
}

TEST_F(NewIPVideoCapture, ChangeReportsARefusedStart) {
  driver_.startResult = 0;
  FakeResolution cif4(704, 576);
  EXPECT_FALSE(video_->ChangeResolution(0, &cif4, 40));
  EXPECT_EQ(driver_.starts.size(), 1u);
}

TEST_F(NewIPVideoCapture, ChangeRefusesChannel64AndNullResolutionWithoutCallingTheDriver) {
  FakeResolution cif4(704, 576);
  EXPECT_FALSE(video_->ChangeResolution(64, &cif4, 40));
  EXPECT_FALSE(video_->ChangeResolution(0, nullptr, 40));
  EXPECT_TRUE(driver_.calls.empty());
}

TEST_F(NewIPVideoCapture, ChannelStatusPassesThrough) {
  int state = -1;
  int event = -1;
  char text[4] = "abc";
  ASSERT_TRUE(video_->GetChannelStatus(9, &state, &event, text, sizeof text));
  EXPECT_EQ(driver_.statusArguments, std::make_pair(9, 4u));
  EXPECT_EQ(state, ChannelVideo);
  EXPECT_EQ(event, 9);
  EXPECT_EQ(text[0], '\0');
  driver_.statusResult = 0;
  EXPECT_FALSE(video_->GetChannelStatus(9, &state, &event, nullptr, 0));
}

TEST_F(NewIPVideoCapture, PropertiesPassThrough) {
  EXPECT_TRUE(video_->SetProperty("IPSERVERUSERNAME", "viewer", 6));
  EXPECT_EQ(driver_.properties, std::vector<std::string>{"IPSERVERUSERNAME=viewer"});
  EXPECT_EQ(driver_.propertyLengths, std::vector<int>{6});
  driver_.refuseProperty["X"] = true;
  EXPECT_FALSE(video_->SetProperty("X", "1", 1));

  std::int32_t value = 0;
  EXPECT_TRUE(video_->GetProperty("isIPCamera", &value, 4));
  EXPECT_EQ(value, 1);
  EXPECT_FALSE(video_->GetProperty("unknown", &value, 4));
}

TEST_F(NewIPVideoCapture, Reserved5AnswersFalse) {
  EXPECT_FALSE(video_->Reserved5());
  EXPECT_TRUE(driver_.calls.empty());
}

TEST_F(NewIPVideoCapture, CameraCountIsZeroBeforeAnyRead) { EXPECT_EQ(video_->GetCameraCount(), 0); }

struct CameraCountRow {
  const char* name;
  int cameraCountKey;  // negative: the file has no such key
  std::int32_t cameraCount;
};

void PrintTo(const CameraCountRow& row, std::ostream* out) { *out << row.name; }

class NewIPVideoCaptureCameras : public ::testing::TestWithParam<CameraCountRow> {};

TEST_P(NewIPVideoCaptureCameras, CameraCountAfterReadingTheFile) {
  FakeCaptureDriver driver;
  corvane::CNewCaptureApi api(&driver);
  TestSettingsFile file(UniqueStem("ipcap"),
                        ipcapturetest::DeviceTypeXml({.cameraCount = GetParam().cameraCountKey}));
  fakes::FakeDriverCallback callback;
  fakes::FakeAllocator allocator;
  fakes::FakeDeviceConfig config;
  config.deviceType.type = file.stem();
  ASSERT_TRUE(api.Initialize(&callback, &allocator, &config));
  EXPECT_EQ(api.GetVideoCapture()->GetCameraCount(), GetParam().cameraCount);
}

INSTANTIATE_TEST_SUITE_P(NewIPVideoCapture, NewIPVideoCaptureCameras,
                         ::testing::Values(CameraCountRow{"IsOneWithoutTheKey", -1, 1},
                                           CameraCountRow{"ComesFromTheFile", 6, 6}),
                         RowName<CameraCountRow>);

}  // namespace
