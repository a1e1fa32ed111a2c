// The driver adapter against a recording driver: initialisation sequence, close and the
// interfaces it hands out.
#include "ipcapture/new_capture_api.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "fake_capture_driver.h"
#include "ipcapture/new_ip_video_capture.h"
#include "ipcapture/old_capture_api_user.h"
#include "ipcapture_test_files.h"
#include "support/fake_host.h"
#include "support/fake_ipcapture_host.h"
#include "support/settings_test_files.h"

namespace {

using corvane::CNewCaptureApi;
using fakes::FakeConnection;
using ipcapturetest::DeviceTypeOptions;

template <typename Row>
std::string RowName(const ::testing::TestParamInfo<Row>& info) {
  return info.param.name;
}

class NewCaptureApi : public ::testing::Test {
 protected:
  // Writes the device-type file and points the host's configuration at it.
  void UseDeviceType(const DeviceTypeOptions& options = {}) {
    file_ = std::make_unique<TestSettingsFile>(UniqueStem("ipcap"),
                                               ipcapturetest::DeviceTypeXml(options));
    config_.deviceType.type = file_->stem();
  }
  bool Initialize() { return api_.Initialize(&callback_, &allocator_, &config_); }
  std::vector<std::string> ConnectionProperties() const {
    std::vector<std::string> result;
    for (const std::string& p : driver_.properties)
      if (p.rfind("IPSERVER", 0) == 0) result.push_back(p);
    return result;
  }
  bool HasCompression() const {
    for (const std::string& p : driver_.properties)
      if (p.rfind("Compression=", 0) == 0) return true;
    return false;
  }

  fakes::FakeCaptureDriver driver_;
  CNewCaptureApi api_{&driver_};
  fakes::FakeDriverCallback callback_;
  fakes::FakeAllocator allocator_;
  fakes::FakeDeviceConfig config_;
  std::unique_ptr<TestSettingsFile> file_;
};

TEST_F(NewCaptureApi, NullHostCallbackIsRefusedAndNothingStored) {
  UseDeviceType();
  EXPECT_FALSE(api_.Initialize(nullptr, &allocator_, &config_));
  EXPECT_EQ(api_.videoAllocator(), nullptr);
  EXPECT_TRUE(driver_.calls.empty());
  EXPECT_EQ(config_.deviceType.calls, 0);
}

TEST_F(NewCaptureApi, NullAllocatorIsRefusedAndNothingStored) {
  UseDeviceType();
  EXPECT_FALSE(api_.Initialize(&callback_, nullptr, &config_));
  EXPECT_EQ(api_.hostCallback(), nullptr);
  EXPECT_TRUE(driver_.calls.empty());
}

TEST_F(NewCaptureApi, NullConfigurationIsRefused) {
  EXPECT_FALSE(api_.Initialize(&callback_, &allocator_, nullptr));
  EXPECT_TRUE(driver_.calls.empty());
}

TEST_F(NewCaptureApi, NullDeviceTypeIsRefusedBeforeAnythingIsSet) {
  config_.deviceType.nullType = true;
  EXPECT_FALSE(Initialize());
  EXPECT_EQ(api_.hostCallback(), nullptr);
  EXPECT_TRUE(driver_.calls.empty());
  config_.nullDeviceType = true;
  config_.deviceType.nullType = false;
  EXPECT_FALSE(Initialize());
  EXPECT_EQ(api_.hostCallback(), nullptr);
}

TEST_F(NewCaptureApi, DeviceTypeOf255CharactersIsRefusedBeforeAnythingIsSet) {
  config_.deviceType.type = std::string(255, 'a');
  EXPECT_FALSE(Initialize());
  EXPECT_EQ(api_.hostCallback(), nullptr);
  EXPECT_STREQ(api_.deviceType(), "");
  EXPECT_TRUE(driver_.calls.empty());
}

TEST_F(NewCaptureApi, DeviceTypeOf254CharactersFitsTheBuffer) {
  config_.deviceType.type = std::string(254, 'b');
  EXPECT_FALSE(Initialize());  // no such file
  EXPECT_EQ(api_.deviceType(), config_.deviceType.type);
  EXPECT_EQ(api_.hostCallback(), &callback_);
}

TEST_F(NewCaptureApi, MissingDeviceTypeFileFailsWithoutSettingAnyProperty) {
  config_.deviceType.type = UniqueStem("absent");
  EXPECT_FALSE(Initialize());
  EXPECT_TRUE(driver_.properties.empty());
  EXPECT_TRUE(driver_.calls.empty());
  EXPECT_FALSE(api_.opened());
}

struct SingleCodecRow {
  const char* name;
  const char* mode;
};

void PrintTo(const SingleCodecRow& row, std::ostream* out) { *out << row.name; }

class NewCaptureApiSingleCodec : public NewCaptureApi,
                                 public ::testing::WithParamInterface<SingleCodecRow> {};

TEST_P(NewCaptureApiSingleCodec, GetsNoCompression) {
  UseDeviceType({.mode = GetParam().mode});
  ASSERT_TRUE(Initialize());
  EXPECT_FALSE(HasCompression());
}

INSTANTIATE_TEST_SUITE_P(NewCaptureApi, NewCaptureApiSingleCodec,
                         ::testing::Values(SingleCodecRow{"MpegOnlyDevice", "mpeg4"},
                                           SingleCodecRow{"JpegOnlyDevice", "jpeg"}),
                         RowName<SingleCodecRow>);

struct CodecSelectionRow {
  const char* name;
  int codecSelection;
  const char* property;
};

void PrintTo(const CodecSelectionRow& row, std::ostream* out) { *out << row.name; }

class NewCaptureApiBothCodecs : public NewCaptureApi,
                                public ::testing::WithParamInterface<CodecSelectionRow> {};

TEST_P(NewCaptureApiBothCodecs, SelectionChoosesTheCompression) {
  UseDeviceType({.mode = "mpeg4,jpeg"});
  config_.connection.codecSelection = GetParam().codecSelection;
  ASSERT_TRUE(Initialize());
  ASSERT_FALSE(driver_.properties.empty());
  EXPECT_EQ(driver_.properties.front(), GetParam().property);
  EXPECT_EQ(driver_.propertyLengths.front(), 5);
}

INSTANTIATE_TEST_SUITE_P(
    NewCaptureApi, NewCaptureApiBothCodecs,
    ::testing::Values(CodecSelectionRow{"Selection2ChoosesMpeg4", 2, "Compression=MPEG4"},
                      CodecSelectionRow{"Selection1ChoosesMjpeg", 1, "Compression=MJPEG"}),
    RowName<CodecSelectionRow>);

TEST_F(NewCaptureApi, SetsTheConnectionPropertiesInOrderThenOpens) {
  UseDeviceType();
  config_.connection.address = "10.1.2.3";
  config_.connection.port = 8080;
  config_.connection.userName = "operator";
  config_.connection.password = "pw";
  ASSERT_TRUE(Initialize());
  const std::vector<std::string> expected = {
      "IPSERVERADDRESS=10.1.2.3", "IPSERVERTYPE=" + file_->stem(), "IPSERVERPORT=8080",
      "IPSERVERUSERNAME=operator", "IPSERVERPASSWORD=pw"};
  EXPECT_EQ(ConnectionProperties(), expected);
  const std::vector<int> lengths = {8, static_cast<int>(file_->stem().size()), 4, 8, 2};
  EXPECT_EQ(driver_.propertyLengths, lengths);
  const std::vector<std::string> tail = {"HostOperation01", "SetVideoAllocator", "Open"};
  ASSERT_GE(driver_.calls.size(), tail.size());
  EXPECT_EQ(std::vector<std::string>(driver_.calls.end() - 3, driver_.calls.end()), tail);
  EXPECT_EQ(driver_.videoAllocator, &allocator_);
  EXPECT_EQ(driver_.openArgument, file_->stem());
  EXPECT_TRUE(api_.opened());
}

TEST_F(NewCaptureApi, AsksForTheConnectionBeforeEachUse) {
  UseDeviceType({.mode = "mpeg4,jpeg"});
  ASSERT_TRUE(Initialize());
  // compression, address, port, user name, password
  EXPECT_EQ(config_.connectionCalls, 5);
}

TEST_F(NewCaptureApi, NullAddressFailsAfterTheCapabilityRead) {
  UseDeviceType({.cameraCount = 3});
  config_.connection.nullAddress = true;
  EXPECT_FALSE(Initialize());
  EXPECT_EQ(api_.capabilities().cameraCount, 3);
  EXPECT_TRUE(ConnectionProperties().empty());
  EXPECT_FALSE(driver_.Called("Open"));
}

TEST_F(NewCaptureApi, RefusedPropertyStopsTheSequence) {
  UseDeviceType();
  driver_.refuseProperty["IPSERVERTYPE"] = true;
  EXPECT_FALSE(Initialize());
  EXPECT_EQ(ConnectionProperties().size(), 2u);  // address, then the refused type
  EXPECT_FALSE(driver_.Called("HostOperation01"));
  EXPECT_FALSE(driver_.Called("Open"));
}

struct NullCredentialRow {
  const char* name;
  bool FakeConnection::*nullFlag;
  std::size_t propertiesSet;  // address, type and port come before the user name
};

void PrintTo(const NullCredentialRow& row, std::ostream* out) { *out << row.name; }

class NewCaptureApiNullCredential : public NewCaptureApi,
                                    public ::testing::WithParamInterface<NullCredentialRow> {};

TEST_P(NewCaptureApiNullCredential, FailsBeforeOpen) {
  UseDeviceType();
  config_.connection.*GetParam().nullFlag = true;
  EXPECT_FALSE(Initialize());
  EXPECT_EQ(ConnectionProperties().size(), GetParam().propertiesSet);
  EXPECT_FALSE(driver_.Called("Open"));
}

const NullCredentialRow kNullCredentialRows[] = {
    {"NullUserNameSetsNoPassword", &FakeConnection::nullUserName, 3},
    {"NullPassword", &FakeConnection::nullPassword, 4},
};
INSTANTIATE_TEST_SUITE_P(NewCaptureApi, NewCaptureApiNullCredential,
                         ::testing::ValuesIn(kNullCredentialRows), RowName<NullCredentialRow>);

TEST_F(NewCaptureApi, ZeroHostOperation01FailsBeforeTheAllocatorIsHandedOver) {
  UseDeviceType();
  driver_.hostOperation01Result = 0;
  EXPECT_FALSE(Initialize());
  EXPECT_EQ(driver_.videoAllocator, nullptr);
  EXPECT_FALSE(driver_.Called("Open"));
}

TEST_F(NewCaptureApi, FailedOpenLeavesTheAdapterClosed) {
  UseDeviceType();
  driver_.openResult = 0;
  EXPECT_FALSE(Initialize());
  EXPECT_FALSE(api_.opened());
  api_.Uninitialize();
  EXPECT_FALSE(driver_.Called("Close"));
}

TEST_F(NewCaptureApi, UninitializeWithoutInitializeDoesNotClose) {
  api_.Uninitialize();
  api_.Uninitialize();
  EXPECT_FALSE(driver_.Called("Close"));
}

TEST_F(NewCaptureApi, UninitializeClosesAnOpenDriverOnce) {
  UseDeviceType();
  ASSERT_TRUE(Initialize());
  api_.Uninitialize();
  api_.Uninitialize();
  EXPECT_EQ(std::count(driver_.calls.begin(), driver_.calls.end(), "Close"), 1);
  EXPECT_FALSE(api_.opened());
}

TEST(NewCaptureApiLifetime, DestructionClosesAnOpenDriver) {
  fakes::FakeCaptureDriver driver;
  fakes::FakeDriverCallback callback;
  fakes::FakeAllocator allocator;
  fakes::FakeDeviceConfig config;
  TestSettingsFile file(UniqueStem("ipcap"), ipcapturetest::DeviceTypeXml({}));
  config.deviceType.type = file.stem();
  {
    CNewCaptureApi api(&driver);
    ASSERT_TRUE(api.Initialize(&callback, &allocator, &config));
    api.GetVideoCapture();
  }
  EXPECT_TRUE(driver.Called("Close"));
  ASSERT_FALSE(driver.captureUsers.empty());
  EXPECT_EQ(driver.captureUsers.back(), nullptr);
}

TEST_F(NewCaptureApi, VideoCaptureIsTheSameObjectOnEveryCall) {
  corvane::ipcapture::IIPVideoCapture* first = api_.GetVideoCapture();
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(api_.GetVideoCapture(), first);
  EXPECT_EQ(driver_.captureUsers.size(), 1u);
}

TEST_F(NewCaptureApi, VideoCaptureIsNewAfterUninitialize) {
  fakes::FakeStreamSettings settings(352, 288, 40, 90);
  fakes::FakeChannelCallback channel;
  corvane::ipcapture::IIPVideoCapture* first = api_.GetVideoCapture();
  ASSERT_TRUE(first->StartVideo(0, &channel, &settings));
  api_.Uninitialize();
  auto* second = dynamic_cast<corvane::CNewIPVideoCapture*>(api_.GetVideoCapture());
  ASSERT_NE(second, nullptr);
  // A fresh object: its own bridge registered anew, nothing remembered from the first.
  ASSERT_EQ(driver_.captureUsers.size(), 3u);
  EXPECT_EQ(driver_.captureUsers[1], nullptr);
  EXPECT_EQ(driver_.captureUsers[2], static_cast<CCaptureAPIUser*>(second->bridge()));
  EXPECT_EQ(second->quality(), corvane::CNewIPVideoCapture::kDefaultQuality);
}

TEST_F(NewCaptureApi, UninitializeDetachesTheBridgeFromTheDriver) {
  api_.GetVideoCapture();
  ASSERT_NE(driver_.captureUser, nullptr);
  api_.Uninitialize();
  EXPECT_EQ(driver_.captureUser, nullptr);
}

class FakeIOApi final : public corvane::ICaptureIOApi {
 public:
  bool SetEventSink(corvane::ICaptureIOEventSink*) override { return true; }
  bool Enable() override { return true; }
  bool Disable() override { return true; }
  int GetInputCount() override { return 2; }
  int GetOutputCount() override { return 1; }
  bool SetOutput(int, int) override { return true; }
};

TEST_F(NewCaptureApi, IOApiIsTheDriversDigitalIO) {
  FakeIOApi io;
  driver_.ioApi = &io;
  EXPECT_EQ(api_.GetIOApi(), &io);
  ASSERT_EQ(driver_.getPropertySizes.size(), 1u);
  EXPECT_EQ(driver_.getPropertySizes[0], static_cast<int>(sizeof(void*)));
  EXPECT_TRUE(driver_.Called("GetProperty(ICaptureIOApi)"));
}

TEST_F(NewCaptureApi, IOApiIsNullWithoutDigitalIO) {
  EXPECT_EQ(api_.GetIOApi(), nullptr);
  EXPECT_TRUE(driver_.Called("GetProperty(ICaptureIOApi)"));
}

TEST(NewCaptureApiWithoutDriver, HandsOutNoInterfaces) {
  CNewCaptureApi api(nullptr);
  EXPECT_EQ(api.GetIOApi(), nullptr);
  EXPECT_EQ(api.GetVideoCapture(), nullptr);
}

}  // namespace
