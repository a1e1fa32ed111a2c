#include "rcp_wire.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

namespace rcpwire {
namespace {

std::vector<std::uint8_t> EncodeOne(const Frame& frame) {
  std::vector<std::uint8_t> out;
  Encode(frame, out);
  return out;
}

Frame SampleFrame() {
  Frame f;
  f.commandWord = 0x01DB0830;
  f.action = kReply;
  f.requestId = 7;
  f.clientId = 0x1234;
  f.sessionId = 0xA1B2C3D4;
  f.line = 3;
  f.payload = {0x00, 0x00, 0x00, 0x08};
  return f;
}

// ---- Encode

TEST(RcpWireEncode, WritesHeaderFieldsBigEndian) {
  EXPECT_THAT(EncodeOne(SampleFrame()),
              ElementsAre(0x03, 0x00,              // TPKT version, reserved
                          0x00, 24,                // total length
                          0x01, 0xDB,              // tag
                          0x08,                    // data type
                          0x30,                    // version | rw
                          0x01,                    // action reply
                          7,                       // request id
                          0x12, 0x34,              // client id
                          0xA1, 0xB2, 0xC3, 0xD4,  // session id
                          0x00, 0x03,              // line
                          0x00, 0x04,              // payload length
                          0x00, 0x00, 0x00, 0x08));
}

TEST(RcpWireEncode, AppendsToExistingBytes) {
  std::vector<std::uint8_t> out = {0xEE};
  Frame f;
  f.commandWord = 0xFF010C30;
  Encode(f, out);
  ASSERT_EQ(out.size(), 1 + kHeaderSize);
  EXPECT_EQ(out[0], 0xEE);
  EXPECT_EQ(out[1], 0x03);
  EXPECT_EQ(GetU16(out.data() + 3), kHeaderSize);
}

// ---- FrameDecoder

TEST(RcpWireDecode, RoundTripsAFrame) {
  const Frame sent = SampleFrame();
  FrameDecoder decoder;
  decoder.Feed(EncodeOne(sent));
  Frame got;
  ASSERT_EQ(decoder.Next(got), FrameDecoder::Status::kFrame);
  EXPECT_EQ(got.commandWord, sent.commandWord);
  EXPECT_EQ(got.action, sent.action);
  EXPECT_EQ(got.requestId, sent.requestId);
  EXPECT_EQ(got.clientId, sent.clientId);
  EXPECT_EQ(got.sessionId, sent.sessionId);
  EXPECT_EQ(got.line, sent.line);
  EXPECT_THAT(got.payload, ElementsAreArray(sent.payload));
  EXPECT_EQ(decoder.Next(got), FrameDecoder::Status::kNeedMore);
  EXPECT_EQ(decoder.Buffered(), 0u);
}

TEST(RcpWireDecode, GivesBytesFollowingLastFrameForAnotherFraming) {
  // A media open reply and, in the same read, the start of the interleaved stream.
  std::vector<std::uint8_t> bytes = EncodeOne(SampleFrame());
  const std::uint8_t following[] = {0x24, 0x00, 0x00, 0x02, 0x80};
  bytes.insert(bytes.end(), std::begin(following), std::end(following));
  FrameDecoder decoder;
  decoder.Feed(bytes);
  Frame got;
  ASSERT_EQ(decoder.Next(got), FrameDecoder::Status::kFrame);
  const auto rest = decoder.Unconsumed();
  EXPECT_THAT(std::vector<std::uint8_t>(rest.begin(), rest.end()), ElementsAreArray(following));
}

TEST(RcpWireDecode, AssemblesFrameFedOneByteAtATime) {
  const std::vector<std::uint8_t> bytes = EncodeOne(SampleFrame());
  FrameDecoder decoder;
  Frame got;
  for (std::size_t i = 0; i + 1 < bytes.size(); ++i) {
    decoder.Feed(std::span(&bytes[i], 1));
    ASSERT_EQ(decoder.Next(got), FrameDecoder::Status::kNeedMore) << "after byte " << i;
  }
  decoder.Feed(std::span(&bytes.back(), 1));
  ASSERT_EQ(decoder.Next(got), FrameDecoder::Status::kFrame);
  EXPECT_EQ(got.commandWord, 0x01DB0830u);
}

TEST(RcpWireDecode, SplitsSeveralFramesFedTogether) {
  std::vector<std::uint8_t> bytes;
  for (std::uint8_t id = 1; id <= 3; ++id) {
    Frame f = SampleFrame();
    f.requestId = id;
    f.payload.assign(id, id);
    Encode(f, bytes);
  }
  FrameDecoder decoder;
  decoder.Feed(bytes);
  Frame got;
  for (std::uint8_t id = 1; id <= 3; ++id) {
    ASSERT_EQ(decoder.Next(got), FrameDecoder::Status::kFrame);
    EXPECT_EQ(got.requestId, id);
    EXPECT_EQ(got.payload, std::vector<std::uint8_t>(id, id));
  }
  EXPECT_EQ(decoder.Next(got), FrameDecoder::Status::kNeedMore);
}

TEST(RcpWireDecode, DecodesEmptyPayload) {
  Frame f = SampleFrame();
  f.payload.clear();
  FrameDecoder decoder;
  decoder.Feed(EncodeOne(f));
  Frame got;
  got.payload = {1, 2, 3};
  ASSERT_EQ(decoder.Next(got), FrameDecoder::Status::kFrame);
  EXPECT_TRUE(got.payload.empty());
}

TEST(RcpWireDecode, DecodesLargestPayload) {
  Frame f = SampleFrame();
  f.payload.assign(kMaxPayload, 0x5A);
  FrameDecoder decoder;
  decoder.Feed(EncodeOne(f));
  Frame got;
  ASSERT_EQ(decoder.Next(got), FrameDecoder::Status::kFrame);
  EXPECT_EQ(got.payload.size(), kMaxPayload);
}

TEST(RcpWireDecode, RejectsWrongTpktVersionFromFirstByte) {
  FrameDecoder decoder;
  const std::uint8_t byte = 0x04;
  decoder.Feed(std::span(&byte, 1));
  Frame got;
  EXPECT_EQ(decoder.Next(got), FrameDecoder::Status::kError);
}

TEST(RcpWireDecode, RejectsTotalLengthBelowHeaderSize) {
  const std::uint8_t bytes[] = {0x03, 0x00, 0x00, 19};  // total 19
  FrameDecoder decoder;
  decoder.Feed(bytes);
  Frame got;
  EXPECT_EQ(decoder.Next(got), FrameDecoder::Status::kError);
}

TEST(RcpWireDecode, RejectsPayloadLengthNotMatchingTotal) {
  std::vector<std::uint8_t> bytes = EncodeOne(SampleFrame());
  bytes[19] = 5;  // payload length 5, total says 4
  FrameDecoder decoder;
  decoder.Feed(bytes);
  Frame got;
  EXPECT_EQ(decoder.Next(got), FrameDecoder::Status::kError);
}

TEST(RcpWireDecode, RejectsActionAboveThree) {
  std::vector<std::uint8_t> bytes = EncodeOne(SampleFrame());
  bytes[8] = 0x04;
  FrameDecoder decoder;
  decoder.Feed(bytes);
  Frame got;
  EXPECT_EQ(decoder.Next(got), FrameDecoder::Status::kError);
}

TEST(RcpWireDecode, AcceptsReservedByteAndContinuationNibble) {
  std::vector<std::uint8_t> bytes = EncodeOne(SampleFrame());
  bytes[1] = 0x7F;  // TPKT reserved
  bytes[8] = 0xA3;  // continuation 0xA, action error
  FrameDecoder decoder;
  decoder.Feed(bytes);
  Frame got;
  ASSERT_EQ(decoder.Next(got), FrameDecoder::Status::kFrame);
  EXPECT_EQ(got.action, kError);
}

TEST(RcpWireDecode, StaysFailedAfterProtocolError) {
  FrameDecoder decoder;
  const std::uint8_t garbage = 0x00;
  decoder.Feed(std::span(&garbage, 1));
  Frame got;
  ASSERT_EQ(decoder.Next(got), FrameDecoder::Status::kError);
  decoder.Feed(EncodeOne(SampleFrame()));
  EXPECT_EQ(decoder.Next(got), FrameDecoder::Status::kError);
}

TEST(RcpWireDecode, ErrorFrameWithoutPayloadReadsUnknownError) {
  Frame f;
  f.action = kError;
  EXPECT_EQ(f.ErrorCode(), kErrUnknown);
  f.payload = {0x40};
  EXPECT_EQ(f.ErrorCode(), kErrInvalidCmd);
}

TEST(RcpWireDecode, KeepsDecodingAfterManyFrames) {
  // Enough traffic to make the decoder drop consumed bytes several times.
  FrameDecoder decoder;
  Frame got;
  std::vector<std::uint8_t> bytes;
  for (int i = 0; i < 2000; ++i) {
    Frame f = SampleFrame();
    f.requestId = static_cast<std::uint8_t>(i);
    bytes.clear();
    Encode(f, bytes);
    // Feed in two pieces so that a partial frame is buffered across the compaction.
    decoder.Feed(std::span(bytes.data(), 7));
    ASSERT_EQ(decoder.Next(got), FrameDecoder::Status::kNeedMore);
    decoder.Feed(std::span(bytes.data() + 7, bytes.size() - 7));
    ASSERT_EQ(decoder.Next(got), FrameDecoder::Status::kFrame);
    ASSERT_EQ(got.requestId, static_cast<std::uint8_t>(i));
  }
  EXPECT_EQ(decoder.Buffered(), 0u);
}

// ---- Interleaved RTP

TEST(RcpWireInterleaved, EncodesMagicChannelAndLength) {
  const std::uint8_t packet[] = {0x80, 0x22, 0x01};
  std::vector<std::uint8_t> out;
  EncodeInterleaved(packet, out);
  EXPECT_THAT(out, ElementsAre(0x24,        // magic
                               0x00,        // channel
                               0x00, 0x03,  // length
                               0x80, 0x22, 0x01));
}

TEST(RcpWireInterleaved, RoundTripsPacketsIncludingEmptyOne) {
  std::vector<std::uint8_t> bytes;
  const std::vector<std::uint8_t> a = {1, 2, 3, 4, 5};
  const std::vector<std::uint8_t> empty;
  const std::vector<std::uint8_t> big(1500, 0x77);
  EncodeInterleaved(a, bytes);
  EncodeInterleaved(empty, bytes);
  EncodeInterleaved(big, bytes);
  InterleavedDecoder decoder;
  decoder.Feed(bytes);
  std::span<const std::uint8_t> packet;
  ASSERT_EQ(decoder.Next(packet), InterleavedDecoder::Status::kPacket);
  EXPECT_THAT(std::vector<std::uint8_t>(packet.begin(), packet.end()), ElementsAreArray(a));
  ASSERT_EQ(decoder.Next(packet), InterleavedDecoder::Status::kPacket);
  EXPECT_TRUE(packet.empty());
  ASSERT_EQ(decoder.Next(packet), InterleavedDecoder::Status::kPacket);
  EXPECT_THAT(std::vector<std::uint8_t>(packet.begin(), packet.end()), ElementsAreArray(big));
  EXPECT_EQ(decoder.Next(packet), InterleavedDecoder::Status::kNeedMore);
}

TEST(RcpWireInterleaved, WaitsForWholePacket) {
  std::vector<std::uint8_t> bytes;
  const std::vector<std::uint8_t> a = {9, 8, 7};
  EncodeInterleaved(a, bytes);
  InterleavedDecoder decoder;
  std::span<const std::uint8_t> packet;
  decoder.Feed(std::span(bytes.data(), bytes.size() - 1));
  EXPECT_EQ(decoder.Next(packet), InterleavedDecoder::Status::kNeedMore);
  decoder.Feed(std::span(&bytes.back(), 1));
  ASSERT_EQ(decoder.Next(packet), InterleavedDecoder::Status::kPacket);
  EXPECT_EQ(packet.size(), 3u);
}

TEST(RcpWireInterleaved, RejectsWrongMagic) {
  const std::uint8_t bytes[] = {0x25};
  InterleavedDecoder decoder;
  decoder.Feed(bytes);
  std::span<const std::uint8_t> packet;
  EXPECT_EQ(decoder.Next(packet), InterleavedDecoder::Status::kError);
}

TEST(RcpWireInterleaved, RejectsNonZeroChannel) {
  const std::uint8_t bytes[] = {0x24, 0x01, 0x00, 0x00};
  InterleavedDecoder decoder;
  decoder.Feed(bytes);
  std::span<const std::uint8_t> packet;
  EXPECT_EQ(decoder.Next(packet), InterleavedDecoder::Status::kError);
}

// ---- Device address

TEST(RcpWireAddress, ParsesAllParts) {
  const auto a = ParseDeviceAddress("http://admin:pw@127.0.0.1:8080");
  ASSERT_TRUE(a.has_value());
  EXPECT_EQ(a->user, "admin");
  EXPECT_EQ(a->password, "pw");
  EXPECT_EQ(a->host, "127.0.0.1");
  EXPECT_EQ(a->port, 8080);
}

TEST(RcpWireAddress, PasswordRunsToLastAtSign) {
  const auto a = ParseDeviceAddress("http://u:p@ss:w@rd@cam.local:81");
  ASSERT_TRUE(a.has_value());
  EXPECT_EQ(a->user, "u");
  EXPECT_EQ(a->password, "p@ss:w@rd");
  EXPECT_EQ(a->host, "cam.local");
  EXPECT_EQ(a->port, 81);
}

TEST(RcpWireAddress, EmptyCredentialsParse) {
  const auto a = ParseDeviceAddress("http://:@10.0.0.2:1757");
  ASSERT_TRUE(a.has_value());
  EXPECT_EQ(a->user, "");
  EXPECT_EQ(a->password, "");
  EXPECT_EQ(a->host, "10.0.0.2");
  EXPECT_EQ(a->port, 1757);
}

TEST(RcpWireAddress, PortZeroOrMissingMeansDefault) {
  const auto zero = ParseDeviceAddress("http://u:p@h:0");
  const auto none = ParseDeviceAddress("http://u:p@h");
  ASSERT_TRUE(zero.has_value());
  ASSERT_TRUE(none.has_value());
  EXPECT_EQ(zero->port, kDefaultPort);
  EXPECT_EQ(none->port, kDefaultPort);
}

TEST(RcpWireAddress, RejectsMalformedAddresses) {
  EXPECT_FALSE(ParseDeviceAddress("").has_value());
  EXPECT_FALSE(ParseDeviceAddress("u:p@h:1").has_value());          // no scheme
  EXPECT_FALSE(ParseDeviceAddress("http://h:1").has_value());       // no credentials
  EXPECT_FALSE(ParseDeviceAddress("http://up@h:1").has_value());    // no ':' in credentials
  EXPECT_FALSE(ParseDeviceAddress("http://u:p@:1").has_value());    // no host
  EXPECT_FALSE(ParseDeviceAddress("http://u:p@h:12x").has_value());  // port not decimal
  EXPECT_FALSE(ParseDeviceAddress("http://u:p@h:65536").has_value());
  EXPECT_FALSE(ParseDeviceAddress("http://u:p@h:-1").has_value());
}

// ---- Registration

TEST(RcpWireRegistration, DigestIsHmacSha256OfChallenge) {
  std::array<std::uint8_t, 16> challenge{};
  for (std::size_t i = 0; i < challenge.size(); ++i) challenge[i] = static_cast<std::uint8_t>(i);
  // Reference value from Python's hmac module: hmac.new(b"secret", bytes(range(16)), sha256).
  const std::array<std::uint8_t, 32> expected = {
      0x75, 0xc4, 0xad, 0x5f, 0xc5, 0xde, 0x34, 0xa8,
      0xfb, 0x56, 0x0f, 0x90, 0x7c, 0xda, 0x2b, 0x7e,
      0x85, 0xaf, 0x32, 0x29, 0xc3, 0xc9, 0x44, 0x08,
      0x4a, 0xb8, 0x23, 0x69, 0xf7, 0x76, 0x41, 0xa6};
  EXPECT_EQ(RegistrationDigest("secret", challenge), expected);
}

TEST(RcpWireRegistration, DigestWithEmptyPasswordIsDefined) {
  std::array<std::uint8_t, 16> challenge{};
  for (std::size_t i = 0; i < challenge.size(); ++i) challenge[i] = static_cast<std::uint8_t>(i);
  // hmac.new(b"", bytes(range(16)), sha256)
  const std::array<std::uint8_t, 32> expected = {
      0xd9, 0x26, 0x95, 0x2c, 0xa8, 0xb7, 0xec, 0x4a,
      0x95, 0x94, 0x1d, 0x1a, 0xda, 0x3a, 0x52, 0x03,
      0xce, 0xff, 0x8c, 0xce, 0xee, 0x34, 0xf5, 0x74,
      0xd2, 0x39, 0x09, 0xeb, 0x31, 0x4c, 0x40, 0xc0};
  EXPECT_EQ(RegistrationDigest("", challenge), expected);
}

TEST(RcpWireRegistration, RoundTripsUserAndDigest) {
  std::array<std::uint8_t, 32> digest{};
  for (std::size_t i = 0; i < digest.size(); ++i) digest[i] = static_cast<std::uint8_t>(0xF0 ^ i);
  const auto bytes = EncodeRegistration("ops", digest);
  ASSERT_EQ(bytes.size(), 1u + 3u + 32u);
  EXPECT_EQ(bytes[0], 3);
  const auto decoded = DecodeRegistration(bytes);
  ASSERT_TRUE(decoded.has_value());
  EXPECT_EQ(decoded->user, "ops");
  EXPECT_EQ(decoded->digest, digest);
}

TEST(RcpWireRegistration, CutsUserNameAt255Bytes) {
  const std::string longUser(300, 'x');
  const auto bytes = EncodeRegistration(longUser, {});
  ASSERT_EQ(bytes.size(), 1u + 255u + 32u);
  EXPECT_EQ(bytes[0], 255);
  const auto decoded = DecodeRegistration(bytes);
  ASSERT_TRUE(decoded.has_value());
  EXPECT_EQ(decoded->user, std::string(255, 'x'));
}

TEST(RcpWireRegistration, RejectsPayloadOfWrongLength) {
  auto bytes = EncodeRegistration("ops", {});
  EXPECT_FALSE(DecodeRegistration(std::span(bytes.data(), bytes.size() - 1)).has_value());
  bytes.push_back(0);
  EXPECT_FALSE(DecodeRegistration(bytes).has_value());
  EXPECT_FALSE(DecodeRegistration({}).has_value());
  const std::uint8_t claimsLongUser[] = {200, 'a'};
  EXPECT_FALSE(DecodeRegistration(claimsLongUser).has_value());
}

}  // namespace
}  // namespace rcpwire
