#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "driver/veltrane.h"
#include "support/fake_host.h"

namespace corvane {
namespace {

const void* PortValue(std::uintptr_t port) { return reinterpret_cast<const void*>(port); }

TEST(DriverConstruction, StartsWithDefaults) {
  CVeltrane driver;
  EXPECT_EQ(driver.GetChannelCount(), 1);
  EXPECT_EQ(driver.networkTimeout(), 5000);
  EXPECT_EQ(driver.compression(), 0u);
  EXPECT_FALSE(driver.opened());
  EXPECT_EQ(driver.GetCaptureUser(), nullptr);
  EXPECT_EQ(driver.GetVideoAllocator(), nullptr);
  for (int r = 0; r < 4; ++r) EXPECT_EQ(driver.maxFrameRateOf(r), -1);
  int code = 0;
  EXPECT_EQ(driver.GetFirstResolution(&code), 0);
  EXPECT_EQ(driver.GetFirstFrameInterval(&code), 0);
  EXPECT_STREQ(driver.GetModuleName(), "Veltrane");
}

TEST(DriverConstruction, StoresHostObjects) {
  CVeltrane driver;
  fakes::FakeCaptureUser user;
  fakes::FakeAllocator allocator;
  driver.SetCaptureUser(&user);
  driver.SetVideoAllocator(&allocator);
  EXPECT_EQ(driver.GetCaptureUser(), &user);
  EXPECT_EQ(driver.GetVideoAllocator(), &allocator);
}

TEST(SetProperty, StoresConnectionTextsForTheHandlerInterface) {
  CVeltrane driver;
  EXPECT_EQ(driver.SetProperty("IPSERVERTYPE", "nvs400", 0), 1);
  EXPECT_EQ(driver.SetProperty("IPSERVERUSERNAME", "service", 0), 1);
  EXPECT_EQ(driver.SetProperty("IPSERVERPASSWORD", "s3cret", 0), 1);
  EXPECT_EQ(driver.serverType(), "nvs400");
  CIPCaptureIOBaseHandlerIf& handler = driver;
  EXPECT_EQ(handler.GetServerUserName(), "service");
  EXPECT_EQ(handler.GetServerPassword(), "s3cret");
  EXPECT_EQ(handler.GetDeviceConfig()->cameraCount, 1);
}

TEST(SetProperty, PortTravelsInTheValueAndKeepsItsLow16Bits) {
  CVeltrane driver;
  EXPECT_EQ(driver.SetProperty("IPSERVERPORT", PortValue(8080), 12345), 1);
  EXPECT_EQ(driver.GetServerPort(), 8080);
  EXPECT_EQ(driver.SetProperty("IPSERVERPORT", PortValue(0x10000 + 554), 0), 1);
  EXPECT_EQ(driver.GetServerPort(), 554);
}

TEST(SetProperty, DottedAddressIsStoredWithoutLookup) {
  CVeltrane driver;
  driver.SetProperty("IPSERVERADDRESS", "10.1.2.3", 0);
  EXPECT_EQ(driver.GetServerAddress(), "10.1.2.3");
  driver.SetProperty("IPSERVERADDRESS", "", 0);
  EXPECT_EQ(driver.GetServerAddress(), "");
}

TEST(SetProperty, NameIsReplacedByItsFirstIPv4Address) {
  CVeltrane driver;
  driver.SetProperty("IPSERVERADDRESS", "localhost", 0);
  EXPECT_EQ(driver.GetServerAddress(), "127.0.0.1");
}

TEST(SetProperty, NameThatDoesNotResolveIsStoredUnchanged) {
  CVeltrane driver;
  driver.SetProperty("IPSERVERADDRESS", "no-such-host.invalid", 0);
  EXPECT_EQ(driver.GetServerAddress(), "no-such-host.invalid");
}

TEST(SetProperty, UnknownOrNullArgumentsChangeNothingAndAnswerOne) {
  CVeltrane driver;
  driver.SetProperty("IPSERVERTYPE", "nvs400", 0);
  EXPECT_EQ(driver.SetProperty("Compression", "DIVX", 4), 1);
  EXPECT_EQ(driver.SetProperty("ipserverType", "other", 0), 1);  // names are case-sensitive
  EXPECT_EQ(driver.SetProperty(nullptr, "other", 0), 1);
  EXPECT_EQ(driver.SetProperty("IPSERVERTYPE", nullptr, 0), 1);
  EXPECT_EQ(driver.serverType(), "nvs400");
  EXPECT_EQ(driver.compression(), 0u);
}

TEST(GetProperty, AddressNeedsRoomForItsTerminator) {
  CVeltrane driver;
  driver.SetProperty("IPSERVERADDRESS", "10.0.0.7", 0);  // 8 characters
  char buffer[16];
  std::memset(buffer, 'x', sizeof buffer);
  EXPECT_EQ(driver.GetProperty("ipAddress", buffer, 8), 0);
  EXPECT_EQ(buffer[0], 'x');
  EXPECT_EQ(driver.GetProperty("ipAddress", buffer, 9), 1);
  EXPECT_STREQ(buffer, "10.0.0.7");
}

TEST(GetProperty, AddressRefusesNullBufferNonPositiveSizeAndEmptyAddress) {
  CVeltrane driver;
  char buffer[16] = "untouched";
  EXPECT_EQ(driver.GetProperty("ipAddress", buffer, sizeof buffer), 0);  // no address yet
  EXPECT_STREQ(buffer, "untouched");
  driver.SetProperty("IPSERVERADDRESS", "10.0.0.7", 0);
  EXPECT_EQ(driver.GetProperty("ipAddress", nullptr, 64), 0);
  EXPECT_EQ(driver.GetProperty("ipAddress", buffer, 0), 0);
  EXPECT_EQ(driver.GetProperty("ipAddress", buffer, -5), 0);
  EXPECT_STREQ(buffer, "untouched");
}

TEST(GetProperty, Int32FlagsCheckTheirBufferSize) {
  CVeltrane driver;
  std::int32_t value = -7;
  EXPECT_EQ(driver.GetProperty("isIPCamera", &value, 3), 0);
  EXPECT_EQ(value, -7);
  EXPECT_EQ(driver.GetProperty("isIPCamera", &value, 4), 1);
  EXPECT_EQ(value, 1);
  std::int64_t wide = 0;
  EXPECT_EQ(driver.GetProperty("isIPCamera", &wide, 8), 1);  // "at least" four bytes

  value = -7;
  EXPECT_EQ(driver.GetProperty("CCaptureApiEx", &wide, 8), 0);  // "exactly" four bytes
  EXPECT_EQ(driver.GetProperty("CCaptureApiEx", &value, 4), 1);
  EXPECT_EQ(value, 1);

  value = -7;
  EXPECT_EQ(driver.GetProperty("CanChangeFrInAlm", &value, 4), 1);
  EXPECT_EQ(value, 0);
  value = -7;
  EXPECT_EQ(driver.GetProperty("CanChangeResInAlm", &value, 4), 1);
  EXPECT_EQ(value, 0);
  EXPECT_EQ(driver.GetProperty("CanChangeResInAlm", nullptr, 4), 0);
}

TEST(GetProperty, MaxFrameRateIsRefusedWhileUnconfigured) {
  CVeltrane driver;
  std::int32_t value = -7;
  for (const char* name : {"MAXFPS_RES0", "MAXFPS_RES1", "MAXFPS_RES2", "MAXFPS_RES3"})
    EXPECT_EQ(driver.GetProperty(name, &value, 4), 0) << name;
  EXPECT_EQ(value, -7);
}

TEST(GetProperty, DigitalIOIsRefusedWithoutTheObject) {
  CVeltrane driver;
  void* api = &driver;
  EXPECT_EQ(driver.GetProperty("ICaptureIOApi", &api, sizeof api), 0);
  EXPECT_EQ(api, &driver);
}

TEST(GetProperty, UnknownEmptyOrNearlyMatchingNamesAreRefused) {
  CVeltrane driver;
  std::int32_t value = -7;
  for (const char* name : {"", "isipcamera", "isIPCamera2", "MAXFPS_RES4", "MAXFPS_RES0x",
                           "MAXFPS_RES", "ipAddr", "Compression"})
    EXPECT_EQ(driver.GetProperty(name, &value, 4), 0) << name;
  EXPECT_EQ(driver.GetProperty(nullptr, &value, 4), 0);
  EXPECT_EQ(value, -7);
}

TEST(Compression, OnlyDivxIsAccepted) {
  CVeltrane driver;
  std::uint32_t fourcc = 0;
  EXPECT_EQ(driver.GetFirstCompression(&fourcc), 1);
  EXPECT_EQ(std::memcmp(&fourcc, "DIVX", 4), 0);
  EXPECT_EQ(driver.GetNextCompression(&fourcc), 0);

  EXPECT_EQ(driver.SetCompression(kFourCCDivx), 1);
  EXPECT_EQ(driver.compression(), kFourCCDivx);
  std::uint32_t h264;
  std::memcpy(&h264, "H264", 4);
  EXPECT_EQ(driver.SetCompression(h264), 0);
  EXPECT_EQ(driver.compression(), 0u);  // a refused choice also clears the earlier one
  EXPECT_EQ(driver.SetCompression(0), 0);
}

TEST(ResolutionSize, QcifIsAnsweredEvenWhenNotOffered) {
  CVeltrane driver;
  int width = -1;
  int height = -1;
  EXPECT_EQ(driver.GetResolutionSize(1, &width, &height), 1);
  EXPECT_EQ(width, 0);
  EXPECT_EQ(height, 0);
}

TEST(ResolutionSize, OtherCodesNeedTheirFlag) {
  CVeltrane driver;
  int width = -1;
  int height = -1;
  for (int code : {0, 2, 3, 4, 5, -1}) EXPECT_EQ(driver.GetResolutionSize(code, &width, &height), 0);
  EXPECT_EQ(width, -1);
  EXPECT_EQ(driver.GetResolutionSize(1, nullptr, &height), 0);
}

TEST(ChannelQueries, AcceptChannelsUpToAndIncludingTheCameraCount) {
  CVeltrane driver;  // camera count 1
  int rate = -1;
  EXPECT_EQ(driver.GetMaxFrameRate(0, &rate), 1);
  EXPECT_EQ(rate, 0);
  EXPECT_EQ(driver.GetMaxFrameRate(1, &rate), 1);
  EXPECT_EQ(driver.GetMaxFrameRate(2, &rate), 0);
  EXPECT_EQ(driver.GetMaxFrameRate(0, nullptr), 0);

  char name[4] = "abc";
  EXPECT_EQ(driver.GetChannelName(1, name, sizeof name), 1);
  EXPECT_STREQ(name, "");
  std::strcpy(name, "abc");
  EXPECT_EQ(driver.GetChannelName(2, name, sizeof name), 0);
  EXPECT_EQ(driver.GetChannelName(0, name, 0), 0);
  EXPECT_EQ(driver.GetChannelName(0, nullptr, 4), 0);
  EXPECT_STREQ(name, "abc");
}

TEST(Enumerations, NextBeforeFirstAndOnEmptyListsAnswersZero) {
  CVeltrane driver;
  int value = 0;
  EXPECT_EQ(driver.GetNextResolution(&value), 0);
  EXPECT_EQ(driver.GetNextFrameInterval(&value), 0);
  EXPECT_EQ(driver.GetFirstResolution(&value), 0);
  EXPECT_EQ(driver.GetNextResolution(&value), 0);
  EXPECT_EQ(driver.GetNextResolution(&value), 0);
}

TEST(Enumerations, SetVideoModeEmptiesTheFrameIntervals) {
  CVeltrane driver;
  EXPECT_EQ(driver.SetVideoMode(1), 1);
  EXPECT_EQ(driver.videoMode(), 1);
  int value = 0;
  EXPECT_EQ(driver.GetFirstFrameInterval(&value), 0);
}

TEST(ConstantSlots, AnswerTheirFixedValues) {
  CVeltrane driver;
  CCaptureAPIEx& api = driver;
  EXPECT_EQ(api.HostOperation01(), 1);
  EXPECT_EQ(api.HostOperation07(5), 0);
  EXPECT_EQ(api.HostOperation12(), 1);
  EXPECT_EQ(api.HostOperation17(), 0);
  EXPECT_EQ(api.HostOperation23(), 0);
  EXPECT_EQ(api.HostOperation24(), 1);
  EXPECT_EQ(api.HostOperation25(), 0);
  EXPECT_EQ(api.HostOperation26(1, 2, 3, 4, 5, 6, 7, 8, 9), 0);
  EXPECT_EQ(api.HostOperation27(), 0);
  EXPECT_EQ(api.HostOperation28(3), 0);
  int first = 5;
  int second = 6;
  EXPECT_EQ(api.HostOperation32(&first, &second), 0);
  EXPECT_EQ(first, 0);
  EXPECT_EQ(second, 0);
  EXPECT_EQ(api.HostOperation32(nullptr, nullptr), 0);
  EXPECT_EQ(api.HostOperation33(1, 2), 0);
  EXPECT_EQ(api.HostOperation35(1), 0);
  EXPECT_EQ(api.HostOperation36(1, 2), 0);
  EXPECT_EQ(api.HostOperation37(1, 2), 0);
}

TEST(ChannelSlots, RefuseChannelsOutsideTheTableAndUnopenedDrivers) {
  CVeltrane driver;
  driver.SetProperty("IPSERVERADDRESS", "127.0.0.1", 0);
  int state = -1;
  int event = -1;
  char text[8] = "abc";
  for (int channel : {-1, 0, 64}) {
    EXPECT_EQ(driver.StartChannel(channel, 40, 2, 50), 0) << channel;
    EXPECT_FALSE(driver.channelStarted(channel));
    EXPECT_EQ(driver.GetChannelStatus(channel, &state, &event, text, sizeof text), 0);
  }
  EXPECT_EQ(driver.StopChannel(64), 0);
  EXPECT_EQ(driver.StopChannel(-1), 0);
  EXPECT_EQ(driver.Close(), 1);  // closing a closed driver
}

}  // namespace
}  // namespace corvane
