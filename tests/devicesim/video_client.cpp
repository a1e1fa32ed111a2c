#include "video_client.h"

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <iterator>

#include "support/deadline.h"

namespace devicesim::testing {
namespace {

using Clock = std::chrono::steady_clock;
using testutil::RemainingMs;

}  // namespace

std::optional<RtpPacket> ParseRtp(std::span<const std::uint8_t> bytes) {
  if (bytes.size() < 12) return std::nullopt;
  RtpPacket p;
  p.version = bytes[0] >> 6;
  p.padding = (bytes[0] & 0x20) != 0;
  p.extension = (bytes[0] & 0x10) != 0;
  p.csrcCount = bytes[0] & 0x0F;
  p.marker = (bytes[1] & 0x80) != 0;
  p.payloadType = bytes[1] & 0x7F;
  p.sequence = rcpwire::GetU16(&bytes[2]);
  p.timestamp = rcpwire::GetU32(&bytes[4]);
  p.ssrc = rcpwire::GetU32(&bytes[8]);
  std::size_t offset = 12 + 4u * p.csrcCount;
  if (offset > bytes.size()) return std::nullopt;
  if (p.extension) {
    if (offset + 4 > bytes.size()) return std::nullopt;
    p.extensionWords = rcpwire::GetU16(&bytes[offset + 2]);
    offset += 4 + 4u * p.extensionWords;
    if (offset > bytes.size()) return std::nullopt;
  }
  std::size_t end = bytes.size();
  if (p.padding) {
    if (end == offset) return std::nullopt;
    p.paddingBytes = bytes[end - 1];
    if (p.paddingBytes == 0 || p.paddingBytes > end - offset) return std::nullopt;
    end -= p.paddingBytes;
  }
  p.payload.assign(bytes.begin() + static_cast<std::ptrdiff_t>(offset),
                   bytes.begin() + static_cast<std::ptrdiff_t>(end));
  return p;
}

PayloadHeader ReadPayloadHeader(std::span<const std::uint8_t> payload) {
  PayloadHeader h;
  if (payload.empty()) return h;
  const bool f = (payload[0] & 0x80) != 0;
  const bool p = (payload[0] & 0x40) != 0;
  h.mode = !f ? 'A' : !p ? 'B' : 'C';
  h.size = !f ? 4 : !p ? 8 : 12;
  h.sbit = (payload[0] >> 3) & 7;
  h.ebit = payload[0] & 7;
  if (payload.size() < h.size) return h;
  h.src = payload[1] >> 5;
  if (!f) {
    h.inter = (payload[1] & 0x10) != 0;
    h.tr = payload[3];
  } else {
    h.quant = payload[1] & 0x1F;
    h.gobn = payload[2] >> 3;
    h.inter = (payload[4] & 0x80) != 0;
  }
  return h;
}

std::optional<std::vector<std::uint8_t>> Reassemble(
    const std::vector<std::vector<std::uint8_t>>& payloads) {
  std::vector<std::uint8_t> out;
  unsigned byte = 0;
  int bits = 0;
  for (const auto& payload : payloads) {
    const PayloadHeader h = ReadPayloadHeader(payload);
    if (h.mode == 0 || payload.size() <= h.size) return std::nullopt;
    const std::size_t dataBits = (payload.size() - h.size) * 8;
    const auto sbit = static_cast<std::size_t>(h.sbit);
    const auto ebit = static_cast<std::size_t>(h.ebit);
    if (sbit + ebit >= dataBits) return std::nullopt;
    for (std::size_t bit = sbit; bit < dataBits - ebit; ++bit) {
      const std::uint8_t source = payload[h.size + bit / 8];
      byte = byte << 1 | ((source >> (7 - bit % 8)) & 1u);
      if (++bits == 8) {
        out.push_back(static_cast<std::uint8_t>(byte));
        byte = 0;
        bits = 0;
      }
    }
  }
  if (bits != 0) return std::nullopt;
  return out;
}

std::vector<std::vector<std::uint8_t>> SplitPictures(std::span<const std::uint8_t> stream) {
  std::vector<std::size_t> starts;
  for (std::size_t i = 0; i + 2 < stream.size(); ++i) {
    if (stream[i] == 0 && stream[i + 1] == 0 && (stream[i + 2] >> 2) == 0x20) starts.push_back(i);
  }
  std::vector<std::vector<std::uint8_t>> pictures;
  for (std::size_t k = 0; k < starts.size(); ++k) {
    const std::size_t end = k + 1 < starts.size() ? starts[k + 1] : stream.size();
    pictures.emplace_back(stream.begin() + static_cast<std::ptrdiff_t>(starts[k]),
                          stream.begin() + static_cast<std::ptrdiff_t>(end));
  }
  return pictures;
}

std::vector<std::uint8_t> ReadFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return std::vector<std::uint8_t>((std::istreambuf_iterator<char>(file)),
                                   std::istreambuf_iterator<char>());
}

std::vector<std::vector<std::uint8_t>> ClipPictures(const std::string& file) {
  return SplitPictures(ReadFile("clips/" + file));
}

int PictureTemporalReference(std::span<const std::uint8_t> picture) {
  if (picture.size() < 4) return -1;
  return (picture[2] & 0x03) << 6 | picture[3] >> 2;
}

int PictureSourceFormat(std::span<const std::uint8_t> picture) {
  if (picture.size() < 5) return -1;
  return (picture[4] >> 2) & 0x07;
}

VideoClient::VideoClient(const DeviceSim& sim)
    : sim_(sim), control_(std::make_unique<RawClient>(sim.port())) {
  registered_ = control_->RegisterOk();
}

std::optional<rcpwire::Frame> VideoClient::Connect(std::uint8_t coder, std::uint16_t line,
                                                   std::vector<std::uint8_t> payload) {
  if (!control_) return std::nullopt;
  if (payload.empty()) payload = {0x00, 0x01, coder, 0, 0, 0, 0, 0, 0, 0, 0};
  return control_->Request(kConnectVideo, line, std::move(payload), 1);
}

std::uint32_t VideoClient::ConnectOk(std::uint8_t coder, std::uint16_t line) {
  auto reply = Connect(coder, line);
  if (!reply || reply->action != rcpwire::kReply || reply->payload.size() != 4) return 0;
  const std::uint32_t id = rcpwire::GetU32(reply->payload.data());
  auto message = control_->Read();
  if (!message || message->commandWord != kSessionIdMessage || message->sessionId != id) return 0;
  sessionId_ = id;
  return id;
}

std::optional<rcpwire::Frame> VideoClient::OpenMedia(std::uint32_t sessionId) {
  media_ = std::make_unique<RawClient>(sim_.port());
  if (!media_->RegisterOk()) return std::nullopt;
  return media_->Request(kMediaOpen, 0, U32(sessionId), 1);
}

bool VideoClient::OpenVideo(std::uint8_t coder) {
  const std::uint32_t id = ConnectOk(coder);
  if (id == 0) return false;
  auto answer = OpenMedia(id);
  return answer && answer->action == rcpwire::kReply && answer->payload.empty();
}

std::optional<std::vector<std::uint8_t>> VideoClient::NextRaw(int timeoutMs) {
  if (!media_) return std::nullopt;
  return media_->ReadPacket(timeoutMs);
}

std::optional<RtpPacket> VideoClient::NextPacket(int timeoutMs) {
  auto raw = NextRaw(timeoutMs);
  if (!raw) return std::nullopt;
  return ParseRtp(*raw);
}

std::optional<ReceivedPicture> VideoClient::NextPicture(int timeoutMs) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  ReceivedPicture picture;
  for (;;) {
    auto packet = NextPacket(RemainingMs(deadline));
    if (!packet) return std::nullopt;
    const bool last = packet->marker;
    picture.packets.push_back(std::move(*packet));
    if (last) break;
  }
  std::vector<std::vector<std::uint8_t>> payloads;
  for (const auto& packet : picture.packets) payloads.push_back(packet.payload);
  picture.bytes = Reassemble(payloads).value_or(std::vector<std::uint8_t>{});
  return picture;
}

bool VideoClient::MediaQuiet(int timeoutMs) {
  if (!media_) return false;
  auto packet = media_->ReadPacket(timeoutMs);
  return !packet && !media_->closed() && !media_->protocolError();
}

bool ApplyVideoSettings(const DeviceSim& sim, int camera, std::uint32_t resolution,
                        std::uint32_t rateDivider) {
  RawClient client(sim.port());
  if (!client.RegisterOk()) return false;
  const auto line = static_cast<std::uint16_t>(camera);
  auto a = client.Request(kResolution, line, U32(resolution), 1);
  auto b = client.Request(kFrameIntervalA, line, U32(rateDivider), 2);
  if (!a || !b || a->action != rcpwire::kReply || b->action != rcpwire::kReply) return false;
  if (!client.SendRequest(kApply, line, U32(static_cast<std::uint32_t>(camera)), 0)) return false;
  // Requests of a connection run in order: once this is answered, the apply has taken effect.
  auto fence = client.Request(kInputCount, 0, {0}, 3);
  return fence && fence->requestId == 3;
}

}  // namespace devicesim::testing
