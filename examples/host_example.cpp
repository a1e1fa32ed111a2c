// A minimal recorder host of the older capture interface: it opens one device, starts its
// first camera in CIF and counts the frames that arrive, then stops and closes.
//
//   host_example ADDRESS PORT TYPE [USER [FRAMES [SECONDS]]]
//
// The password comes from VELTRANE_PASSWORD, never from the command line. TYPE names a
// device-type file <TYPE>.xml, which the driver reads from the folder of this executable.
// Build against an installed driver:
//   c++ -std=c++20 host_example.cpp $(pkg-config --cflags --libs veltrane) -o host_example
// Exit codes: 0 the frames arrived, 1 they did not in time, 2 bad usage, 3 no device.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>

#include "veltrane/veltrane.h"

namespace {

// A frame buffer of the size the driver asks for.
class Message final : public CVideoMessage {
 public:
  explicit Message(std::size_t size) : buffer_(std::make_unique<unsigned char[]>(size)) {}
  int MessageOperation01() override { return 0; }
  unsigned char* GetBuffer() override { return buffer_.get(); }
  int MessageOperation03() override { return 0; }
  void SetDataLength(std::uint32_t bytes) override { length = bytes; }
  void Finish() override {}
  int MessageOperation06() override { return 0; }
  int MessageOperation07() override { return 0; }
  int MessageOperation08() override { return 0; }
  int MessageOperation09() override { return 0; }
  void SetFourCC(std::uint32_t) override {}
  int MessageOperation11() override { return 0; }
  void SetHeight(std::int32_t h) override { height = h; }
  int MessageOperation13() override { return 0; }
  void SetWidth(std::int32_t w) override { width = w; }
  int MessageOperation15() override { return 0; }
  void SetSizeClass(std::int32_t) override {}

  std::uint32_t length = 0;
  std::int32_t width = 0;
  std::int32_t height = 0;

 private:
  std::unique_ptr<unsigned char[]> buffer_;
};

// The driver owns a message from AllocVideoMsg until it hands it back to ReleaseVideoMsg.
class Allocator final : public CVideoAllocator {
 public:
  int AllocatorOperation01() override { return 0; }
  CVideoMessage* AllocVideoMsg(std::uint32_t, std::int32_t bufferSize, const char*) override {
    if (bufferSize <= 0) return nullptr;
    return new Message(static_cast<std::size_t>(bufferSize));
  }
  int AllocatorOperation03() override { return 0; }
  int AllocatorOperation04() override { return 0; }
  int AllocatorOperation05() override { return 0; }
  void ReleaseVideoMsg(CVideoMessage* message) override { delete message; }
};

// Called on the driver's threads: it only counts, and wakes main when enough arrived.
class CaptureUser final : public CCaptureAPIUser {
 public:
  explicit CaptureUser(int wanted) : wanted_(wanted) {}

  std::int32_t OnVideoFrame(std::uint32_t, CVideoMessage* message,
                            CVideoMessage* extendedMessage) override {
    auto* m = static_cast<Message*>(extendedMessage ? extendedMessage : message);
    if (!m) return 0;
    std::lock_guard<std::mutex> lock(mutex_);
    ++frames_;
    bytes_ += m->length;
    width_ = m->width;
    height_ = m->height;
    if (frames_ >= wanted_) enough_.notify_all();
    return 1;
  }
  std::int32_t OnChannelLost(std::int32_t channel) override {
    std::fprintf(stderr, "video of channel %d lost\n", channel + 1);
    return 0;
  }
  void UserOperation3(std::int32_t) override {}
  std::int32_t OnDebugInfo(CDebugInfoIf* info) override {
    if (info && info->GetLevel() == 1) std::fprintf(stderr, "driver: %s\n", info->GetText());
    return 0;
  }

  bool WaitForFrames(std::chrono::seconds limit) {
    std::unique_lock<std::mutex> lock(mutex_);
    return enough_.wait_for(lock, limit, [this] { return frames_ >= wanted_; });
  }
  void Print() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::printf("received %d frames, %llu bytes, %dx%d\n", frames_,
                static_cast<unsigned long long>(bytes_), width_, height_);
  }

 private:
  const int wanted_;
  std::mutex mutex_;
  std::condition_variable enough_;
  int frames_ = 0;
  std::uint64_t bytes_ = 0;
  std::int32_t width_ = 0;
  std::int32_t height_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4 || argc > 7) {
    std::fprintf(stderr, "usage: host_example ADDRESS PORT TYPE [USER [FRAMES [SECONDS]]]\n");
    return 2;
  }
  const char* address = argv[1];
  const long port = std::strtol(argv[2], nullptr, 10);
  const char* type = argv[3];
  const char* user = argc > 4 ? argv[4] : "";
  const int frames = argc > 5 ? std::atoi(argv[5]) : 25;
  const int seconds = argc > 6 ? std::atoi(argv[6]) : 10;
  if (port <= 0 || port > 65535 || frames <= 0 || seconds <= 0) {
    std::fprintf(stderr, "host_example: bad port, frame count or time limit\n");
    return 2;
  }
  const char* password = std::getenv("VELTRANE_PASSWORD");

  Allocator allocator;
  CaptureUser captureUser(frames);
  CCaptureAPI* driver = CreateCapture(0);
  if (!driver) return 3;
  driver->SetCaptureUser(&captureUser);
  driver->SetVideoAllocator(&allocator);
  driver->SetProperty("IPSERVERADDRESS", address, 0);
  driver->SetProperty("IPSERVERTYPE", type, 0);
  // The port travels in the value argument itself.
  driver->SetProperty("IPSERVERPORT", reinterpret_cast<const void*>(std::uintptr_t(port)), 0);
  driver->SetProperty("IPSERVERUSERNAME", user, 0);
  driver->SetProperty("IPSERVERPASSWORD", password ? password : "", 0);

  int result = 3;
  if (driver->Open(nullptr)) {
    result = 1;
    if (driver->StartChannel(0, 40, 2, 50)) {  // first camera, 40 ms, CIF, quality 50
      if (captureUser.WaitForFrames(std::chrono::seconds(seconds))) result = 0;
      driver->StopChannel(0);
    }
    driver->Close();
  }
  DeleteCapture(&driver);
  captureUser.Print();
  return result;
}
