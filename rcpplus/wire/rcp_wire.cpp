#include "rcp_wire.h"

#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <algorithm>
#include <cassert>
#include <charconv>

namespace rcpwire {
namespace {

constexpr std::uint8_t kTpktVersion = 0x03;
constexpr std::uint8_t kInterleavedMagic = 0x24;
constexpr std::size_t kInterleavedHeaderSize = 4;
constexpr std::uint8_t kMaxAction = kError;

// Drops consumed bytes once they dominate the buffer, so a long-lived stream does not grow
// without bound and views handed out before the call are not needed any more.
void Compact(std::vector<std::uint8_t>& buffer, std::size_t& offset) {
  if (offset == 0) return;
  if (offset == buffer.size()) {
    buffer.clear();
    offset = 0;
  } else if (offset >= 4096 && offset * 2 >= buffer.size()) {
    buffer.erase(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(offset));
    offset = 0;
  }
}

}  // namespace

void Encode(const Frame& frame, std::vector<std::uint8_t>& out) {
  assert(frame.payload.size() <= kMaxPayload);
  const auto payloadSize = static_cast<std::uint16_t>(frame.payload.size());
  out.reserve(out.size() + kHeaderSize + payloadSize);
  out.push_back(kTpktVersion);
  out.push_back(0x00);
  PutU16(out, static_cast<std::uint16_t>(kHeaderSize + payloadSize));
  PutU32(out, frame.commandWord);
  out.push_back(static_cast<std::uint8_t>(frame.action & 0x0F));
  out.push_back(frame.requestId);
  PutU16(out, frame.clientId);
  PutU32(out, frame.sessionId);
  PutU16(out, frame.line);
  PutU16(out, payloadSize);
  out.insert(out.end(), frame.payload.begin(), frame.payload.end());
}

void FrameDecoder::Feed(std::span<const std::uint8_t> bytes) {
  if (failed_) return;
  Compact(buffer_, offset_);
  buffer_.insert(buffer_.end(), bytes.begin(), bytes.end());
}

FrameDecoder::Status FrameDecoder::Next(Frame& frame) {
  if (failed_) return Status::kError;
  const std::size_t available = buffer_.size() - offset_;
  const std::uint8_t* p = buffer_.data() + offset_;
  // Each check runs as soon as its bytes are there, so garbage is refused without waiting
  // for a whole header that may never come.
  if (available >= 1 && p[0] != kTpktVersion) {
    failed_ = true;
    return Status::kError;
  }
  if (available < 4) return Status::kNeedMore;
  const std::size_t total = GetU16(p + 2);
  if (total < kHeaderSize) {
    failed_ = true;
    return Status::kError;
  }
  if (available < kHeaderSize) return Status::kNeedMore;
  const std::uint8_t action = p[8] & 0x0F;
  if (GetU16(p + 18) != total - kHeaderSize || action > kMaxAction) {
    failed_ = true;
    return Status::kError;
  }
  if (available < total) return Status::kNeedMore;

  frame.commandWord = GetU32(p + 4);
  frame.action = action;
  frame.requestId = p[9];
  frame.clientId = GetU16(p + 10);
  frame.sessionId = GetU32(p + 12);
  frame.line = GetU16(p + 16);
  frame.payload.assign(p + kHeaderSize, p + total);
  offset_ += total;
  return Status::kFrame;
}

void EncodeInterleaved(std::span<const std::uint8_t> packet, std::vector<std::uint8_t>& out) {
  assert(packet.size() <= 0xFFFF);
  out.push_back(kInterleavedMagic);
  out.push_back(0x00);
  PutU16(out, static_cast<std::uint16_t>(packet.size()));
  out.insert(out.end(), packet.begin(), packet.end());
}

void InterleavedDecoder::Feed(std::span<const std::uint8_t> bytes) {
  if (failed_) return;
  Compact(buffer_, offset_);
  buffer_.insert(buffer_.end(), bytes.begin(), bytes.end());
}

InterleavedDecoder::Status InterleavedDecoder::Next(std::span<const std::uint8_t>& packet) {
  if (failed_) return Status::kError;
  const std::size_t available = buffer_.size() - offset_;
  const std::uint8_t* p = buffer_.data() + offset_;
  if ((available >= 1 && p[0] != kInterleavedMagic) || (available >= 2 && p[1] != 0x00)) {
    failed_ = true;
    return Status::kError;
  }
  if (available < kInterleavedHeaderSize) return Status::kNeedMore;
  const std::size_t length = GetU16(p + 2);
  if (available < kInterleavedHeaderSize + length) return Status::kNeedMore;
  packet = std::span<const std::uint8_t>(p + kInterleavedHeaderSize, length);
  offset_ += kInterleavedHeaderSize + length;
  return Status::kPacket;
}

std::optional<DeviceAddress> ParseDeviceAddress(std::string_view address) {
  const std::size_t schemeEnd = address.find("://");
  if (schemeEnd == std::string_view::npos || schemeEnd == 0) return std::nullopt;
  std::string_view rest = address.substr(schemeEnd + 3);

  const std::size_t at = rest.rfind('@');
  if (at == std::string_view::npos) return std::nullopt;
  const std::string_view credentials = rest.substr(0, at);
  const std::size_t colon = credentials.find(':');
  if (colon == std::string_view::npos) return std::nullopt;

  DeviceAddress result;
  result.user = std::string(credentials.substr(0, colon));
  result.password = std::string(credentials.substr(colon + 1));

  const std::string_view hostPort = rest.substr(at + 1);
  const std::size_t portColon = hostPort.find(':');
  const std::string_view host = hostPort.substr(0, portColon);
  if (host.empty()) return std::nullopt;
  result.host = std::string(host);

  result.port = kDefaultPort;
  if (portColon != std::string_view::npos) {
    const std::string_view digits = hostPort.substr(portColon + 1);
    if (!digits.empty()) {
      if (!std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return std::nullopt;
      }
      unsigned value = 0;
      const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
      if (ec != std::errc() || end != digits.data() + digits.size() || value > 0xFFFF) {
        return std::nullopt;
      }
      if (value != 0) result.port = static_cast<std::uint16_t>(value);
    }
  }
  return result;
}

std::array<std::uint8_t, 32> RegistrationDigest(std::string_view password,
                                                std::span<const std::uint8_t, 16> challenge) {
  std::array<std::uint8_t, 32> digest{};
  unsigned int length = 0;
  // HMAC takes a key pointer even for an empty key; give it a valid one.
  static const unsigned char kEmpty = 0;
  const void* key = password.empty() ? static_cast<const void*>(&kEmpty) : password.data();
  const unsigned char* result =
      HMAC(EVP_sha256(), key, static_cast<int>(password.size()), challenge.data(),
           challenge.size(), digest.data(), &length);
  if (result == nullptr || length != digest.size()) digest.fill(0);
  return digest;
}

std::vector<std::uint8_t> EncodeRegistration(std::string_view user,
                                             const std::array<std::uint8_t, 32>& digest) {
  const std::size_t n = std::min<std::size_t>(user.size(), 255);
  std::vector<std::uint8_t> out;
  out.reserve(1 + n + digest.size());
  out.push_back(static_cast<std::uint8_t>(n));
  out.insert(out.end(), user.begin(), user.begin() + static_cast<std::ptrdiff_t>(n));
  out.insert(out.end(), digest.begin(), digest.end());
  return out;
}

std::optional<Registration> DecodeRegistration(std::span<const std::uint8_t> payload) {
  if (payload.empty()) return std::nullopt;
  const std::size_t n = payload[0];
  if (payload.size() != 1 + n + 32) return std::nullopt;
  Registration result;
  result.user.assign(reinterpret_cast<const char*>(payload.data() + 1), n);
  std::copy(payload.begin() + 1 + static_cast<std::ptrdiff_t>(n), payload.end(),
            result.digest.begin());
  return result;
}

}  // namespace rcpwire
