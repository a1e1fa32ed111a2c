// Video for the simulator's tests: a strict RTP reader, an RFC 2190 reassembler that works
// bit by bit (independent of how the simulator cuts pictures), the clips cut into pictures
// by the test itself, and a client that opens a video session over two raw connections.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "raw_client.h"

namespace devicesim::testing {

constexpr std::uint32_t kConnectVideo = 0xFF0C0C31;
constexpr std::uint32_t kSessionIdMessage = 0xFFCC0C31;
constexpr std::uint32_t kMediaOpen = 0xFF0E0C31;

struct RtpPacket {
  std::uint8_t version = 0;
  bool padding = false;
  bool extension = false;
  std::uint8_t csrcCount = 0;
  bool marker = false;
  std::uint8_t payloadType = 0;
  std::uint16_t sequence = 0;
  std::uint32_t timestamp = 0;
  std::uint32_t ssrc = 0;
  std::uint16_t extensionWords = 0;
  std::uint8_t paddingBytes = 0;
  std::vector<std::uint8_t> payload;  // after CSRCs and extension, without padding
};

// Nothing unless the bytes are a well-formed RTP packet (any version is read as it is).
std::optional<RtpPacket> ParseRtp(std::span<const std::uint8_t> bytes);

// RFC 2190 payload header fields.
struct PayloadHeader {
  int mode = 0;  // 'A', 'B' or 'C'
  int sbit = 0;
  int ebit = 0;
  int src = 0;
  bool inter = false;  // the I bit
  int quant = 0;       // modes B and C
  int gobn = 0;        // modes B and C
  int tr = 0;          // mode A
  std::size_t size = 0;
};
PayloadHeader ReadPayloadHeader(std::span<const std::uint8_t> payload);

// Joins the H.263 bits of the payloads: from bit SBIT of the first data byte to EBIT bits
// before the end. Nothing when a payload is not longer than its header or the bits do not
// make whole bytes.
std::optional<std::vector<std::uint8_t>> Reassemble(
    const std::vector<std::vector<std::uint8_t>>& payloads);

// The pictures of a raw H.263 stream, cut at byte-aligned picture start codes.
std::vector<std::vector<std::uint8_t>> SplitPictures(std::span<const std::uint8_t> stream);
std::vector<std::uint8_t> ReadFile(const std::string& path);
// The clips beside the test binary; tests run from the binary folder.
std::vector<std::vector<std::uint8_t>> ClipPictures(const std::string& file);

// Bits of a picture header the tests check, read directly.
int PictureTemporalReference(std::span<const std::uint8_t> picture);
int PictureSourceFormat(std::span<const std::uint8_t> picture);

struct ReceivedPicture {
  std::vector<RtpPacket> packets;
  std::vector<std::uint8_t> bytes;  // empty when it could not be reassembled
};

class VideoClient {
 public:
  explicit VideoClient(const DeviceSim& sim);

  // The control connection; only until CloseControl.
  RawClient& control() { return *control_; }
  // Closes the control connection (the media connection stays).
  void CloseControl() { control_.reset(); }
  RawClient& media() { return *media_; }
  bool registered() const { return registered_; }

  // Sends a connect for coder and returns the answer.
  std::optional<rcpwire::Frame> Connect(std::uint8_t coder, std::uint16_t line = 1,
                                        std::vector<std::uint8_t> payload = {});
  // Connects and reads the session id message; the session id, or 0 on any failure.
  std::uint32_t ConnectOk(std::uint8_t coder, std::uint16_t line = 1);
  // Opens a media connection, registers and sends the media open; the answer.
  std::optional<rcpwire::Frame> OpenMedia(std::uint32_t sessionId);
  // ConnectOk and an accepted OpenMedia.
  bool OpenVideo(std::uint8_t coder);
  std::uint32_t sessionId() const { return sessionId_; }

  // Packets of the media connection.
  std::optional<std::vector<std::uint8_t>> NextRaw(int timeoutMs = kArrivalMs);
  std::optional<RtpPacket> NextPacket(int timeoutMs = kArrivalMs);
  // Packets up to and including the next marker; nothing on time-out or a bad packet.
  std::optional<ReceivedPicture> NextPicture(int timeoutMs = kArrivalMs);
  // True when no packet arrives within the time and the media connection stays open.
  bool MediaQuiet(int timeoutMs = kQuietMs);

 private:
  const DeviceSim& sim_;
  std::unique_ptr<RawClient> control_;
  std::unique_ptr<RawClient> media_;
  bool registered_ = false;
  std::uint32_t sessionId_ = 0;
};

// Applies resolution and frame-interval value A to camera through a fresh control connection.
bool ApplyVideoSettings(const DeviceSim& sim, int camera, std::uint32_t resolution,
                        std::uint32_t rateDivider);

}  // namespace devicesim::testing
