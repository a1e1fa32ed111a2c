// Hosts call through fixed table positions. Slot 0 (the destructor) takes two table
// entries, so slot n sits at entry n + 1.
#include <gtest/gtest.h>

#include "fake_capture_driver.h"
#include "ipcapture/new_capture_api.h"
#include "ipcapture/old_capture_api_user.h"
#include "support/fake_ipcapture_host.h"

namespace {

template <typename Function>
Function Entry(void* object, int slot) {
  void** table = *reinterpret_cast<void***>(object);
  return reinterpret_cast<Function>(table[slot + 1]);
}

TEST(SlotLayout, DriverInterfaceSlots) {
  fakes::FakeCaptureDriver driver;
  corvane::CNewCaptureApi api(&driver);
  corvane::ipcapture::IIPCaptureDriver* host = &api;
  using GetVideo = corvane::ipcapture::IIPVideoCapture* (*)(void*);
  using GetIO = corvane::ICaptureIOApi* (*)(void*);
  using Uninit = void (*)(void*);
  corvane::ipcapture::IIPVideoCapture* video = Entry<GetVideo>(host, 3)(host);
  EXPECT_EQ(video, api.GetVideoCapture());
  EXPECT_EQ(Entry<GetIO>(host, 4)(host), nullptr);
  EXPECT_TRUE(driver.Called("GetProperty(ICaptureIOApi)"));
  Entry<Uninit>(host, 2)(host);
  EXPECT_EQ(driver.captureUser, nullptr);
}

TEST(SlotLayout, VideoCaptureSlots) {
  fakes::FakeCaptureDriver driver;
  corvane::CNewCaptureApi api(&driver);
  api.capabilities().cameraCount = 5;
  corvane::ipcapture::IIPVideoCapture* video = api.GetVideoCapture();
  using Count = std::int32_t (*)(void*);
  using Stop = bool (*)(void*, std::uint32_t);
  using Reserved = bool (*)(void*);
  EXPECT_EQ(Entry<Count>(video, 1)(video), 5);
  EXPECT_TRUE(Entry<Stop>(video, 3)(video, 6));
  EXPECT_TRUE(driver.Called("StopChannel(6)"));
  EXPECT_FALSE(Entry<Reserved>(video, 5)(video));
}

TEST(SlotLayout, BridgeSlots) {
  fakes::FakeDriverCallback host;
  corvane::COldCaptureApiUser bridge(&host);
  fakes::FakeChannelCallback channel;
  channel.SetLostResult(3);
  bridge.SetChannelCallback(1, &channel);
  CCaptureAPIUser* user = &bridge;
  using Lost = std::int32_t (*)(void*, std::int32_t);
  EXPECT_EQ(Entry<Lost>(user, 2)(user, 1), 3);
}

}  // namespace
