// Fakes of the newer host's objects: device configuration (type and connection), stream
// settings (format, rate, resolution), the driver callback and per-channel callbacks.
// The callbacks are thread-safe: driver and library threads call them.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "veltrane/ipcapture.h"

namespace fakes {

class FakeDeviceType final : public corvane::ipcapture::IHostDeviceType {
 public:
  int DeviceTypeOperation01() override { return 0; }
  const char* GetDeviceType() override;

  // Null when nullType is set.
  std::string type;
  bool nullType = false;
  int calls = 0;
};

class FakeConnection final : public corvane::ipcapture::IHostConnection {
 public:
  const char* GetAddress() override { return nullAddress ? nullptr : address.c_str(); }
  std::uint16_t GetPort() override { return port; }
  int ConnectionOperation03() override { return 0; }
  std::int32_t GetCodecSelection() override { return codecSelection; }
  const char* GetUserName() override { return nullUserName ? nullptr : userName.c_str(); }
  const char* GetPassword() override { return nullPassword ? nullptr : password.c_str(); }

  std::string address = "127.0.0.1";
  bool nullAddress = false;
  std::uint16_t port = 1756;
  std::int32_t codecSelection = 2;
  std::string userName = "user";
  bool nullUserName = false;
  std::string password = "secret";
  bool nullPassword = false;
};

class FakeDeviceConfig final : public corvane::ipcapture::IHostDeviceConfig {
 public:
  corvane::ipcapture::IHostDeviceType* GetDeviceType() override;
  corvane::ipcapture::IHostConnection* GetConnection() override;

  FakeDeviceType deviceType;
  FakeConnection connection;
  bool nullDeviceType = false;
  bool nullConnection = false;
  int connectionCalls = 0;
};

class FakeResolution final : public corvane::ipcapture::IHostResolution {
 public:
  FakeResolution(std::uint16_t w, std::uint16_t h) : width(w), height(h) {}
  std::uint16_t GetWidth() override { return width; }
  std::uint16_t GetHeight() override { return height; }

  std::uint16_t width;
  std::uint16_t height;
};

class FakeVideoFormat final : public corvane::ipcapture::IHostVideoFormat {
 public:
  int VideoFormatOperation01() override { return 0; }
  int VideoFormatOperation02() override { return 0; }
  corvane::ipcapture::IHostResolution* GetResolution() override { return &resolution; }

  FakeResolution resolution{352, 288};
};

class FakeVideoRate final : public corvane::ipcapture::IHostVideoRate {
 public:
  std::uint16_t GetFrameInterval() override { return frameInterval; }
  int VideoRateOperation02() override { return 0; }
  std::uint16_t GetQuality() override { return quality; }

  std::uint16_t frameInterval = 40;
  std::uint16_t quality = 70;
};

class FakeStreamSettings final : public corvane::ipcapture::IHostStreamSettings {
 public:
  FakeStreamSettings() = default;
  FakeStreamSettings(std::uint16_t width, std::uint16_t height, std::uint16_t frameInterval,
                     std::uint16_t quality);
  corvane::ipcapture::IHostVideoFormat* GetVideoFormat() override;
  corvane::ipcapture::IHostVideoRate* GetVideoRate() override;

  FakeVideoFormat format;
  FakeVideoRate rate;
  bool nullFormat = false;
  bool nullRate = false;
};

// Records debug lines. A delay keeps each OnDebugInfo call running for a while, so tests
// can catch a call still in flight.
class FakeDriverCallback final : public corvane::ipcapture::IHostDriverCallback {
 public:
  std::int32_t OnDebugInfo(CDebugInfoIf* info) override;

  void SetResult(std::int32_t result) { result_ = result; }
  void SetDelay(std::chrono::milliseconds delay) { delayMs_ = static_cast<int>(delay.count()); }
  std::vector<std::string> Lines() const;
  bool HasLine(const std::string& substring) const;
  int InFlight() const { return inFlight_.load(); }
  int Calls() const { return calls_.load(); }
  CDebugInfoIf* LastRecord() const { return lastRecord_.load(); }

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> lines_;
  std::atomic<std::int32_t> result_{1};
  std::atomic<int> delayMs_{0};
  std::atomic<int> inFlight_{0};
  std::atomic<int> calls_{0};
  std::atomic<CDebugInfoIf*> lastRecord_{nullptr};
};

// Records the frames and lost-video notices of one channel.
class FakeChannelCallback final : public corvane::ipcapture::IHostChannelCallback {
 public:
  struct Frame {
    CVideoMessage* message;
    std::uint32_t length;  // what the driver wrote as data length (0 for foreign messages)
  };

  bool OnVideoFrame(CVideoMessage* message) override;
  int ChannelCallbackOperation02() override { return 0; }
  std::int32_t OnVideoLost() override;

  void SetFrameResult(bool accept) { accept_ = accept; }
  void SetLostResult(std::int32_t result) { lostResult_ = result; }
  void ThrowOnFrame(bool enable) { throw_ = enable; }

  std::size_t FrameCount() const;
  std::vector<Frame> Frames() const;
  int LostCount() const { return lost_.load(); }
  // Wait with a deadline; true when the count was reached in time.
  bool WaitForFrames(std::size_t count, std::chrono::milliseconds limit) const;

 private:
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::vector<Frame> frames_;
  std::atomic<bool> accept_{true};
  std::atomic<bool> throw_{false};
  std::atomic<std::int32_t> lostResult_{1};
  std::atomic<int> lost_{0};
};

}  // namespace fakes
