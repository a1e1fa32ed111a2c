// The adapters' slots as a barrier between the driver and the newer host: whatever the
// driver throws ends in the slot's failure result, and a thread cancelled inside a slot
// still unwinds (a handler that swallowed its forced unwind would abort the process).
#include <gtest/gtest.h>
#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>

#include "fake_capture_driver.h"
#include "ipcapture/new_capture_api.h"
#include "ipcapture_test_files.h"
#include "support/fake_host.h"
#include "support/fake_ipcapture_host.h"
#include "support/settings_test_files.h"

namespace {

using corvane::CNewCaptureApi;

// One adapter, initialised against a recording driver.
struct Adapter {
  Adapter()
      : file(UniqueStem("barrier"),
             ipcapturetest::DeviceTypeXml(ipcapturetest::DeviceTypeOptions{})) {
    config.deviceType.type = file.stem();
  }
  bool Initialize() { return api.Initialize(&callback, &allocator, &config); }

  TestSettingsFile file;
  fakes::FakeCaptureDriver driver;
  CNewCaptureApi api{&driver};
  fakes::FakeDriverCallback callback;
  fakes::FakeAllocator allocator;
  fakes::FakeDeviceConfig config;
  fakes::FakeStreamSettings settings{352, 288, 40, 50};
  fakes::FakeResolution cif4{704, 576};
  fakes::FakeChannelCallback channelCallback;
};

struct SlotRow {
  const char* name;
  // Prepares the adapter before the driver misbehaves.
  bool initializeFirst;
  // Calls the slot; true when it answered its failure result.
  std::function<bool(Adapter&)> call;
};

void PrintTo(const SlotRow& row, std::ostream* os) { *os << row.name; }

const SlotRow kSlots[] = {
    {"Initialize", false, [](Adapter& a) { return !a.Initialize(); }},
    {"Uninitialize", true, [](Adapter& a) { a.api.Uninitialize(); return true; }},
    {"GetIOApi", true, [](Adapter& a) { return a.api.GetIOApi() == nullptr; }},
    {"StartVideo", true,
     [](Adapter& a) {
       return !a.api.GetVideoCapture()->StartVideo(0, &a.channelCallback, &a.settings);
     }},
    {"StopVideo", true, [](Adapter& a) { return !a.api.GetVideoCapture()->StopVideo(0); }},
    {"ChangeResolution", true,
     [](Adapter& a) { return !a.api.GetVideoCapture()->ChangeResolution(0, &a.cif4, 40); }},
    {"GetChannelStatus", true,
     [](Adapter& a) {
       int state = 0;
       int event = 0;
       return !a.api.GetVideoCapture()->GetChannelStatus(0, &state, &event, nullptr, 0);
     }},
    {"SetProperty", true,
     [](Adapter& a) { return !a.api.GetVideoCapture()->SetProperty("Compression", "MJPEG", 5); }},
    {"GetProperty", true,
     [](Adapter& a) {
       std::int32_t value = 0;
       return !a.api.GetVideoCapture()->GetProperty("isIPCamera", &value, 4);
     }},
};

class AdapterBarrier : public ::testing::TestWithParam<SlotRow> {};

TEST_P(AdapterBarrier, ExceptionOfAnyKindEndsInTheFailureResult) {
  for (int kind = 0; kind < 2; ++kind) {
    Adapter adapter;
    const SlotRow& row = GetParam();
    if (row.initializeFirst) {
      ASSERT_TRUE(adapter.Initialize());
    }
    int thrown = 0;
    adapter.driver.onCall = [&](const std::string&) {
      ++thrown;
      if (kind == 0) throw std::runtime_error("driver fault");
      throw 42;  // not a std::exception
    };
    bool failed = false;
    EXPECT_NO_THROW(failed = row.call(adapter)) << kind;
    EXPECT_TRUE(failed) << kind;
    EXPECT_GT(thrown, 0) << kind;
  }
}

void* RunSlot(void* slot) {
  (*static_cast<std::function<void()>*>(slot))();
  return nullptr;
}

// Runs the slot on a thread of its own, cancels that thread while the driver call blocks
// at a cancellation point, and says whether the thread ended as cancelled.
bool CancelledInsideTheSlot(const SlotRow& row) {
  Adapter adapter;
  if (row.initializeFirst && !adapter.Initialize()) return false;
  std::atomic<bool> entered{false};
  adapter.driver.onCall = [&](const std::string&) {
    entered = true;
    for (;;) {
      pthread_testcancel();
      usleep(1000);
    }
  };
  std::function<void()> slot = [&] { row.call(adapter); };
  pthread_t thread;
  if (pthread_create(&thread, nullptr, RunSlot, &slot) != 0) return false;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!entered && std::chrono::steady_clock::now() < deadline) sched_yield();
  if (!entered) return false;  // the thread is left behind: the child exits anyway
  pthread_cancel(thread);
  void* result = nullptr;
  pthread_join(thread, &result);
  adapter.driver.onCall = nullptr;
  return result == PTHREAD_CANCELED;
}

TEST_P(AdapterBarrier, ThreadCancelledInsideTheSlotStillUnwinds) {
  // The child runs this test alone in a fresh process: the cancellation needs no other
  // threads around it.
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(std::_Exit(CancelledInsideTheSlot(GetParam()) ? 0 : 1), ::testing::ExitedWithCode(0),
              "");
}

INSTANTIATE_TEST_SUITE_P(Slots, AdapterBarrier, ::testing::ValuesIn(kSlots),
                         [](const ::testing::TestParamInfo<SlotRow>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace
