// A bare RCP+ client for the simulator's tests: a TCP socket and the wire codec, nothing of
// the client library, so these tests do not depend on it.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "device_sim.h"
#include "rcp_wire.h"

namespace devicesim::testing {

// Command words, written out as the wire protocol lists them.
constexpr std::uint32_t kCoderList = 0xFF110C30;
constexpr std::uint32_t kFrameIntervalA = 0x06060831;
constexpr std::uint32_t kFrameIntervalB = 0x06040831;
constexpr std::uint32_t kResolution = 0x06080831;
constexpr std::uint32_t kQualityA = 0x060A0831;
constexpr std::uint32_t kQualityB = 0x060B0831;
constexpr std::uint32_t kQualityLevel = 0x06070831;
constexpr std::uint32_t kApply = 0x06000831;
constexpr std::uint32_t kStreamSession = 0x06050831;
constexpr std::uint32_t kInputCount = 0x01DB0830;
constexpr std::uint32_t kOutputCount = 0x01DC0830;
constexpr std::uint32_t kInputState = 0x01C00030;
constexpr std::uint32_t kSetOutput = 0x01C10031;
constexpr std::uint32_t kOutputState = 0x00940030;
constexpr std::uint32_t kOutputModeRead = 0x00930130;

// Long enough for anything that is expected to arrive; only a failing test waits it out.
constexpr int kArrivalMs = 3000;
// How long a test listens to conclude that nothing more comes.
constexpr int kQuietMs = 150;

class RawClient {
 public:
  explicit RawClient(std::uint16_t port);
  ~RawClient();
  RawClient(const RawClient&) = delete;
  RawClient& operator=(const RawClient&) = delete;

  bool connected() const { return fd_ >= 0; }
  std::uint16_t clientId() const { return clientId_; }

  bool SendBytes(std::span<const std::uint8_t> bytes);
  bool Send(const rcpwire::Frame& frame);
  // Sends a request with this client's id in the header.
  bool SendRequest(std::uint32_t commandWord, std::uint16_t line,
                   std::vector<std::uint8_t> payload, std::uint8_t requestId = 1,
                   std::uint32_t sessionId = 0);

  // The next frame, or nothing when none arrives in time, the device closes or sends bytes
  // that are not a frame (protocolError() then tells).
  std::optional<rcpwire::Frame> Read(int timeoutMs = kArrivalMs);
  // True when the device closes the connection within the time; frames before are skipped.
  bool WaitClosed(int timeoutMs = kArrivalMs);
  // True when no byte arrives within the time and the connection stays open.
  bool Quiet(int timeoutMs = kQuietMs);
  // Up to count bytes as received, within the time; every byte received comes out here once,
  // whether or not Read has already decoded it.
  std::vector<std::uint8_t> ReadRaw(std::size_t count, int timeoutMs = kArrivalMs);
  bool protocolError() const { return protocolError_; }

  // Once the connection carries interleaved RTP (after a media open reply has been Read):
  // the next packet, or nothing when none arrives in time, the device closes or sends bytes
  // that are not a packet (protocolError() then tells). Bytes that came with the last frame
  // are not lost.
  std::optional<std::vector<std::uint8_t>> ReadPacket(int timeoutMs = kArrivalMs);
  // True once the device has closed the connection (as seen by a read).
  bool closed() const { return closed_; }

  // Reads the challenge and answers it; returns the device's answer (reply or error).
  std::optional<rcpwire::Frame> Register(const std::string& user = "",
                                         const std::string& password = "");
  // Registers and checks that the device accepted.
  bool RegisterOk(const std::string& user = "", const std::string& password = "");
  // Sends a request and returns the next frame.
  std::optional<rcpwire::Frame> Request(std::uint32_t commandWord, std::uint16_t line,
                                        std::vector<std::uint8_t> payload,
                                        std::uint8_t requestId = 1, std::uint32_t sessionId = 0);

 private:
  // Waits for bytes; 1 = data fed to the decoder, 0 = time-out, -1 = closed.
  int Receive(int timeoutMs);

  int fd_ = -1;
  std::uint16_t clientId_ = 0;
  bool protocolError_ = false;
  bool closed_ = false;
  rcpwire::FrameDecoder decoder_;
  bool media_ = false;
  rcpwire::InterleavedDecoder packets_;
  std::vector<std::uint8_t> raw_;  // bytes not yet fed, for ReadRaw
};

// A started simulator with the given counts and no device-type file.
std::unique_ptr<DeviceSim> StartSim(DeviceSimOptions options = {}, int cameras = 2,
                                    int inputs = 4, int outputs = 2);

// Payload helpers.
std::vector<std::uint8_t> U32(std::uint32_t value);

}  // namespace devicesim::testing
