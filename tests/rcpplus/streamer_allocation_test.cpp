// The media thread's per-packet path allocates nothing once its buffers have grown: every
// allocation made on that thread is counted while packets stream.
#include <gtest/gtest.h>

#include <atomic>

#include "scripted_device.h"
#include "video_fixture.h"

// From allocation_counter.cpp: allocations made on threads that turned counting on.
void CountAllocationsOnThisThread();
long CountedAllocations();
void ResetCountedAllocations();

namespace rcpplus::testing {
namespace {

struct CountingReceiver {
  std::atomic<long> packets{0};

  static void Callback(void* context, RtpPayloadType, const unsigned char*, int) {
    CountAllocationsOnThisThread();
    static_cast<CountingReceiver*>(context)->packets.fetch_add(1, std::memory_order_relaxed);
  }
};

// Bursts of packets of varying sizes, as a camera's pictures would come.
std::vector<std::uint8_t> Burst(int count) {
  std::vector<std::uint8_t> bytes;
  for (int i = 0; i < count; ++i) {
    rcpwire::EncodeInterleaved(std::vector<std::uint8_t>(40 + (i * 37) % 1460, 0x5A), bytes);
  }
  return bytes;
}

TEST(StreamerAllocation, DeliversPacketsWithoutAllocatingOnceWarm) {
  ScriptedDevice device;
  ASSERT_TRUE(device.Start());
  Recorder messages;
  CountingReceiver receiver;
  {
    RtpStreamer streamer(device.Address().c_str(), 0);
    streamer.registerReceiverCallback(true, CountingReceiver::Callback, &receiver);
    streamer.connectVideo(5000, 10, 1, 0, 1, Recorder::Callback, &messages);
    ASSERT_TRUE(device.WaitForMediaOpen());
    const auto burst = Burst(4000);
    for (int round = 0; round < 3; ++round) ASSERT_TRUE(device.SendMedia(burst));
    ASSERT_TRUE(WaitUntil([&] { return receiver.packets.load() == 12000; }));
    ResetCountedAllocations();
    for (int round = 0; round < 3; ++round) ASSERT_TRUE(device.SendMedia(burst));
    ASSERT_TRUE(WaitUntil([&] { return receiver.packets.load() == 24000; }));
    EXPECT_EQ(CountedAllocations(), 0);
  }
  System::terminate();
}

}  // namespace
}  // namespace rcpplus::testing
