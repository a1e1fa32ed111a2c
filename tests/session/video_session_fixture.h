// A streaming session whose worker thread has been parked, on an owner that hands out the
// host's fake capture user and allocator: for feeding packets straight into the receive path.
#pragma once

#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "session/bosch_ip_camera_info.h"
#include "support/fake_host.h"

namespace videotest {

using Bytes = std::vector<unsigned char>;

class VideoOwner final : public corvane::ICameraSessionOwner,
                         public corvane::CIPCaptureIOBaseHandlerIf {
 public:
  // CIPCaptureIOBaseHandlerIf
  const char* GetModuleName() override { return "Fake"; }
  std::uint16_t GetServerPort() override { return 1; }
  const std::string& GetServerAddress() override { return address_; }
  const std::string& GetServerUserName() override { return empty_; }
  const std::string& GetServerPassword() override { return empty_; }
  corvane::DeviceConfig* GetDeviceConfig() override { return &config_; }
  void Log(int level, const char* format, ...) override __attribute__((format(printf, 3, 4))) {
    char line[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    std::lock_guard lock(mutex_);
    lines_.push_back(std::to_string(level) + " " + line);
  }

  // ICameraSessionOwner
  corvane::CIPCaptureIOBaseHandlerIf& SessionHandler() override { return *this; }
  int GetNetworkTimeout() override { return 300; }
  void OnChannelEvent(corvane::CBoschIPCameraInfo*, int) override {}
  CCaptureAPIUser* GetCaptureUser() override { return withUser ? &user : nullptr; }
  CVideoAllocator* GetVideoAllocator() override { return withAllocator ? &allocator : nullptr; }

  // Log lines as "<level> <text>".
  std::vector<std::string> Lines() const {
    std::lock_guard lock(mutex_);
    return lines_;
  }

  fakes::FakeCaptureUser user;
  fakes::FakeAllocator allocator;
  bool withUser = true;
  bool withAllocator = true;

 private:
  std::string address_ = "127.0.0.1";
  std::string empty_;
  corvane::DeviceConfig config_{};
  mutable std::mutex mutex_;
  std::vector<std::string> lines_;
};

class VideoSession : public ::testing::Test {
 protected:
  static constexpr std::uint8_t kChannel = 5;

  void SetUp() override {
    session_ = std::make_unique<corvane::CBoschIPCameraInfo>(kChannel, &owner_);
    // Nobody but the test may wait on the session's events.
    session_->stopping = true;
    session_->frameEvent.Set();
    ASSERT_TRUE(session_->thread.Join(2000));
    session_->frameEvent.Reset();
    // As StartStreaming leaves it.
    session_->active = true;
    session_->frameStart = true;
  }
  void TearDown() override { session_.reset(); }

  // One RTP packet as the library hands it over.
  void Packet(const Bytes& packet) {
    corvane::CBoschIPCameraInfo::OnRtpPacket(session_.get(), rcpplus::kRtpPayloadRawPacket,
                                             packet.data(), static_cast<int>(packet.size()));
  }
  // An RFC 2190 payload (payload header included) in a plain RTP packet.
  void Payload(const Bytes& payload, bool marker) {
    Bytes packet{0x80, static_cast<unsigned char>(marker ? 0xA2 : 0x22), 0, 1, 0, 0, 0, 0,
                 0,    0,    0,    1};
    packet.insert(packet.end(), payload.begin(), payload.end());
    Packet(packet);
  }
  // H.263 bytes in one mode-A packet.
  void Frame(const Bytes& h263, bool marker = true) {
    Bytes payload{0x00, 0x40, 0x00, 0x00};
    payload.insert(payload.end(), h263.begin(), h263.end());
    Payload(payload, marker);
  }
  bool FrameEventSet() {
    return session_->frameEvent.Wait(0) == platform::WaitResult::kSignalled;
  }
  Bytes Assembled() const { return session_->frameBuffer; }

  VideoOwner owner_;
  std::unique_ptr<corvane::CBoschIPCameraInfo> session_;
};

// Picture headers that the picture-size parser reads (H.263 5.1), then filler.
//   PSC 0000 0000 0000 0000 1000 00, TR 0, PTYPE 1 0 0 0 0 SRC I 0 0 0 0, PQUANT 10,
//   CPM 0, PEI 0.
inline Bytes Picture(unsigned char sourceFormat, bool intra, std::size_t size = 32) {
  Bytes picture{0x00, 0x00, 0x80,                                   // PSC, TR 7-6
                0x02,                                               // TR 5-0, PTYPE 1-2 = 1 0
                static_cast<unsigned char>(sourceFormat << 2 | (intra ? 0 : 0x02)),  // S D F SRC I U
                0x0A,                                               // S A PB PQUANT
                0x00};                                              // CPM PEI, macroblocks
  for (std::size_t i = picture.size(); i < size; ++i) picture.push_back(static_cast<unsigned char>(0x10 + i));
  return picture;
}
constexpr unsigned char kQcif = 2;  // 176 x 144
constexpr unsigned char kCif4 = 4;  // 704 x 576

}  // namespace videotest
