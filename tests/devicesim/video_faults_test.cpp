// Video faults: stalls, closed media connections, a picture limit, and malformed packets,
// each doing what it says and only to the cameras it names.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <thread>

#include "video_client.h"

namespace devicesim::testing {
namespace {

using Clock = std::chrono::steady_clock;

// Reads pictures until none arrives for a while (a stall or a limit has settled); how many.
int Drain(VideoClient& client) {
  int pictures = 0;
  while (client.NextPicture(2 * kQuietMs).has_value()) ++pictures;
  return pictures;
}

bool WaitForNoSessions(const DeviceSim& sim) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(kArrivalMs);
  while (sim.ActiveVideoSessions() != 0) {
    if (Clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

// ---- Stall ---------------------------------------------------------------------------------

TEST(DeviceSimVideoFaults, StallKeepsConnectionAndResumesWithoutGap) {
  auto sim = StartSim();
  VideoClient client(*sim);
  ASSERT_TRUE(client.OpenVideo(1));
  auto last = client.NextPicture();
  ASSERT_TRUE(last.has_value());
  sim->StallVideo(0, true);
  // Whatever was sent before the stall arrives whole; then nothing.
  while (auto more = client.NextPicture(2 * kQuietMs)) last = std::move(more);
  EXPECT_TRUE(client.MediaQuiet());
  EXPECT_EQ(sim->ActiveVideoSessions(), 1);

  sim->StallVideo(0, false);
  auto resumed = client.NextPicture();
  ASSERT_TRUE(resumed.has_value());
  EXPECT_FALSE(resumed->bytes.empty());
  EXPECT_EQ(resumed->packets.front().sequence,
            static_cast<std::uint16_t>(last->packets.back().sequence + 1));
  EXPECT_EQ(resumed->packets.front().timestamp - last->packets.front().timestamp, 3600u);
}

TEST(DeviceSimVideoFaults, StallOfOneCameraLeavesOtherStreaming) {
  auto sim = StartSim();
  VideoClient stalled(*sim);
  VideoClient other(*sim);
  ASSERT_TRUE(stalled.OpenVideo(1));
  ASSERT_TRUE(other.OpenVideo(2));
  sim->StallVideo(1, true);
  Drain(stalled);
  const std::uint64_t stalledCount = sim->PicturesSent(1);
  const std::uint64_t otherCount = sim->PicturesSent(2);
  EXPECT_TRUE(sim->WaitForPictures(2, otherCount + 3, kArrivalMs));
  EXPECT_EQ(sim->PicturesSent(1), stalledCount);
  EXPECT_TRUE(stalled.MediaQuiet());
}

TEST(DeviceSimVideoFaults, StallBeforeMediaOpenHoldsFirstPicture) {
  auto sim = StartSim();
  sim->StallVideo(2, true);
  VideoClient client(*sim);
  ASSERT_TRUE(client.OpenVideo(2));
  EXPECT_TRUE(client.MediaQuiet());
  sim->StallVideo(2, false);
  auto first = client.NextPicture();
  ASSERT_TRUE(first.has_value());
  EXPECT_EQ(first->bytes, ClipPictures("cif.263")[0]);
}

// ---- Closing media connections -------------------------------------------------------------

TEST(DeviceSimVideoFaults, CloseVideoConnectionsClosesMediaButNotControl) {
  auto sim = StartSim();
  VideoClient client(*sim);
  ASSERT_TRUE(client.OpenVideo(1));
  sim->CloseVideoConnections();
  EXPECT_TRUE(client.media().WaitClosed());
  EXPECT_TRUE(WaitForNoSessions(*sim));
  auto answer = client.control().Request(kInputCount, 0, {0}, 5);
  ASSERT_TRUE(answer.has_value());
  EXPECT_EQ(answer->action, rcpwire::kReply);
}

TEST(DeviceSimVideoFaults, CloseVideoConnectionsOfOtherCameraLeavesStreamAlone) {
  auto sim = StartSim();
  VideoClient kept(*sim);
  VideoClient closed(*sim);
  ASSERT_TRUE(kept.OpenVideo(1));
  ASSERT_TRUE(closed.OpenVideo(2));
  sim->CloseVideoConnections(2);
  EXPECT_TRUE(closed.media().WaitClosed());
  const std::uint64_t before = sim->PicturesSent(1);
  EXPECT_TRUE(sim->WaitForPictures(1, before + 2, kArrivalMs));
  EXPECT_EQ(sim->ActiveVideoSessions(), 1);
}

// The picture after the cut breaks off: its first packets arrive, none with the marker, then
// the media connection closes and the session ends.
TEST(DeviceSimVideoFaults, CutPictureAndCloseVideoSendsPartOfAPictureThenCloses) {
  auto sim = StartSim();
  VideoClient client(*sim);
  ASSERT_TRUE(client.OpenVideo(1));
  ASSERT_TRUE(client.NextPicture().has_value());
  sim->CutPictureAndCloseVideo(1);
  std::vector<RtpPacket> packets;
  while (auto packet = client.NextPacket()) {
    if (packet->marker) {  // a whole picture that was on its way before the cut
      packets.clear();
      continue;
    }
    packets.push_back(std::move(*packet));
  }
  EXPECT_TRUE(client.media().closed());
  ASSERT_FALSE(packets.empty());
  const auto pictures = ClipPictures("cif.263");
  std::vector<std::vector<std::uint8_t>> payloads;
  for (const auto& packet : packets) payloads.push_back(packet.payload);
  const auto part = Reassemble(payloads);
  ASSERT_TRUE(part.has_value());
  // The beginning of a clip picture, and not the whole of it.
  const bool beginsAPicture = std::any_of(pictures.begin(), pictures.end(), [&](const auto& p) {
    return part->size() < p.size() && std::equal(part->begin(), part->end(), p.begin());
  });
  EXPECT_TRUE(beginsAPicture) << part->size() << " bytes";
  EXPECT_TRUE(WaitForNoSessions(*sim));
}

TEST(DeviceSimVideoFaults, CutPictureAndCloseVideoOfOtherCameraLeavesStreamAlone) {
  auto sim = StartSim();
  VideoClient kept(*sim);
  ASSERT_TRUE(kept.OpenVideo(1));
  sim->CutPictureAndCloseVideo(2);
  const std::uint64_t before = sim->PicturesSent(1);
  EXPECT_TRUE(sim->WaitForPictures(1, before + 3, kArrivalMs));
  for (int i = 0; i < 3; ++i) {
    const auto picture = kept.NextPicture();
    ASSERT_TRUE(picture.has_value());
    EXPECT_FALSE(picture->bytes.empty());
  }
  EXPECT_EQ(sim->ActiveVideoSessions(), 1);
}

// ---- Picture limit -------------------------------------------------------------------------

TEST(DeviceSimVideoFaults, StopVideoAfterSendsThatManyPicturesThenFallsSilent) {
  auto sim = StartSim();
  sim->StopVideoAfter(3);
  VideoClient client(*sim);
  ASSERT_TRUE(client.OpenVideo(1));
  EXPECT_EQ(Drain(client), 3);
  EXPECT_TRUE(client.MediaQuiet());
  EXPECT_EQ(sim->PicturesSent(1), 3u);
  EXPECT_EQ(sim->ActiveVideoSessions(), 1);
}

TEST(DeviceSimVideoFaults, StopVideoAfterWithCloseClosesMediaConnection) {
  auto sim = StartSim();
  sim->StopVideoAfter(2, true);
  VideoClient client(*sim);
  ASSERT_TRUE(client.OpenVideo(1));
  int pictures = 0;
  while (client.NextPicture().has_value()) ++pictures;
  EXPECT_EQ(pictures, 2);
  EXPECT_TRUE(client.media().closed());
  EXPECT_TRUE(WaitForNoSessions(*sim));
}

TEST(DeviceSimVideoFaults, StopVideoAfterZeroLetsStoppedSessionGoOn) {
  auto sim = StartSim();
  sim->StopVideoAfter(2);
  VideoClient client(*sim);
  ASSERT_TRUE(client.OpenVideo(1));
  auto first = client.NextPicture();
  auto second = client.NextPicture();
  ASSERT_TRUE(first && second);
  EXPECT_TRUE(client.MediaQuiet());
  sim->StopVideoAfter(0);
  auto third = client.NextPicture();
  ASSERT_TRUE(third.has_value());
  EXPECT_EQ(third->bytes, ClipPictures("cif.263")[2]);
  EXPECT_EQ(third->packets.front().sequence,
            static_cast<std::uint16_t>(second->packets.back().sequence + 1));
}

// ---- Malformed packets ---------------------------------------------------------------------

struct Injected {
  std::vector<std::vector<std::uint8_t>> extra;  // packets that are not part of the stream
  std::vector<ReceivedPicture> pictures;         // the stream's pictures read meanwhile
};

// Reads until count extra packets have come and the picture after them is complete. A packet
// belongs to the stream when it is version 2, type 34, of the session's SSRC, next in
// sequence and carries payload beyond its RFC 2190 header.
// start is the last picture read before the packets were asked for.
Injected ReadInjected(VideoClient& client, const ReceivedPicture& start, std::size_t count) {
  Injected out;
  const std::uint32_t ssrc = start.packets.front().ssrc;
  std::uint16_t next = static_cast<std::uint16_t>(start.packets.back().sequence + 1);
  ReceivedPicture current;
  std::vector<std::vector<std::uint8_t>> payloads;
  const auto deadline = Clock::now() + std::chrono::milliseconds(kArrivalMs);
  while (Clock::now() < deadline) {
    auto raw = client.NextRaw();
    if (!raw) break;
    auto packet = ParseRtp(*raw);
    const bool belongs = packet && packet->version == 2 && packet->payloadType == 34 &&
                         packet->ssrc == ssrc && packet->sequence == next &&
                         packet->payload.size() > ReadPayloadHeader(packet->payload).size;
    if (!belongs) {
      out.extra.push_back(std::move(*raw));
      continue;
    }
    ++next;
    payloads.push_back(packet->payload);
    const bool last = packet->marker;
    current.packets.push_back(std::move(*packet));
    if (!last) continue;
    current.bytes = Reassemble(payloads).value_or(std::vector<std::uint8_t>{});
    out.pictures.push_back(std::move(current));
    current = {};
    payloads.clear();
    if (out.extra.size() >= count) break;
  }
  return out;
}

void ExpectInjected(MalformedPacket kind,
                    const std::function<bool(const std::vector<std::uint8_t>&)>& matches) {
  auto sim = StartSim();
  VideoClient client(*sim);
  ASSERT_TRUE(client.OpenVideo(1));
  auto start = client.NextPicture();
  ASSERT_TRUE(start.has_value());
  sim->SendMalformedPackets(kind, 3);
  const Injected injected = ReadInjected(client, *start, 3);
  ASSERT_EQ(injected.extra.size(), 3u);
  for (const auto& packet : injected.extra)
    EXPECT_TRUE(matches(packet)) << packet.size() << " bytes";
  // The stream itself is untouched: every picture is the clip's, in order.
  const auto clip = ClipPictures("cif.263");
  ASSERT_FALSE(injected.pictures.empty());
  for (std::size_t i = 0; i < injected.pictures.size(); ++i) {
    EXPECT_EQ(injected.pictures[i].bytes, clip[i + 1]) << "picture " << i + 1;
  }
}

TEST(DeviceSimVideoMalformed, TruncatedRtpHeadersAreShorterThanTwelveBytes) {
  ExpectInjected(MalformedPacket::kTruncatedRtpHeader,
                 [](const auto& packet) { return packet.size() < 12; });
}

TEST(DeviceSimVideoMalformed, WrongVersionPacketLooksLikeWholePictureOfVersionOne) {
  ExpectInjected(MalformedPacket::kWrongVersion, [](const auto& packet) {
    auto parsed = ParseRtp(packet);
    return parsed && parsed->version == 1 && parsed->payloadType == 34 && parsed->marker &&
           ReadPayloadHeader(parsed->payload).mode == 'A';
  });
}

TEST(DeviceSimVideoMalformed, BadPaddingCountExceedsPacket) {
  ExpectInjected(MalformedPacket::kBadPaddingCount, [](const auto& packet) {
    return packet.size() > 12 && packet[0] >> 6 == 2 && (packet[0] & 0x20) != 0 &&
           packet.back() > packet.size() - 12;
  });
}

TEST(DeviceSimVideoMalformed, OverlongCsrcListExceedsPacket) {
  ExpectInjected(MalformedPacket::kOverlongCsrc, [](const auto& packet) {
    return packet.size() >= 12 && packet[0] >> 6 == 2 &&
           12 + 4u * (packet[0] & 0x0F) > packet.size();
  });
}

TEST(DeviceSimVideoMalformed, OverlongExtensionExceedsPacket) {
  ExpectInjected(MalformedPacket::kOverlongExtension, [](const auto& packet) {
    return packet.size() >= 16 && packet[0] >> 6 == 2 && (packet[0] & 0x10) != 0 &&
           16 + 4u * rcpwire::GetU16(&packet[14]) > packet.size();
  });
}

TEST(DeviceSimVideoMalformed, ShortPayloadHeaderLeavesNoData) {
  ExpectInjected(MalformedPacket::kShortPayloadHeader, [](const auto& packet) {
    auto parsed = ParseRtp(packet);
    return parsed && parsed->version == 2 && parsed->payloadType == 34 &&
           !parsed->payload.empty() &&
           parsed->payload.size() <= ReadPayloadHeader(parsed->payload).size;
  });
}

TEST(DeviceSimVideoMalformed, RandomBytesArriveAsPackets) {
  ExpectInjected(MalformedPacket::kRandomBytes,
                 [](const auto& packet) { return !packet.empty() && packet.size() <= 200; });
}

// The valid kinds change the packets of whole pictures, which still reassemble.
std::vector<ReceivedPicture> ReadDecorated(MalformedPacket kind, int pictures,
                                           const std::function<bool(const RtpPacket&)>& decorated) {
  auto sim = StartSim();
  VideoClient client(*sim);
  EXPECT_TRUE(client.OpenVideo(1));
  sim->SendMalformedPackets(kind, pictures);
  std::vector<ReceivedPicture> read;
  // Pictures already on their way come plain; then the decorated ones; then plain again.
  for (int i = 0; i < pictures + 8; ++i) {
    auto picture = client.NextPicture();
    EXPECT_TRUE(picture.has_value());
    if (!picture) break;
    read.push_back(std::move(*picture));
  }
  const auto clip = ClipPictures("cif.263");
  std::vector<bool> marks;
  for (std::size_t i = 0; i < read.size(); ++i) {
    EXPECT_EQ(read[i].bytes, clip[i]) << "picture " << i;
    const bool all = std::all_of(read[i].packets.begin(), read[i].packets.end(), decorated);
    const bool none = std::none_of(read[i].packets.begin(), read[i].packets.end(), decorated);
    EXPECT_TRUE(all || none) << "picture " << i;
    marks.push_back(all);
  }
  // Exactly the given number of pictures, one after the other.
  const auto first =
      static_cast<std::size_t>(std::find(marks.begin(), marks.end(), true) - marks.begin());
  EXPECT_EQ(std::count(marks.begin(), marks.end(), true), pictures);
  for (std::size_t i = first; i < first + static_cast<std::size_t>(pictures); ++i) {
    EXPECT_TRUE(i < marks.size() && marks[i]) << "picture " << i;
  }
  return read;
}

TEST(DeviceSimVideoMalformed, CsrcAndExtensionCarriedByWholePictures) {
  ReadDecorated(MalformedPacket::kCsrcAndExtension, 2, [](const RtpPacket& p) {
    return p.csrcCount == 2 && p.extension && p.extensionWords == 1;
  });
}

TEST(DeviceSimVideoMalformed, PaddingCarriedByWholePictures) {
  ReadDecorated(MalformedPacket::kPadding, 2,
                [](const RtpPacket& p) { return p.padding && p.paddingBytes == 4; });
}

TEST(DeviceSimVideoMalformed, GoOnlyToNamedCamera) {
  auto sim = StartSim();
  VideoClient named(*sim);
  VideoClient other(*sim);
  ASSERT_TRUE(named.OpenVideo(2));
  ASSERT_TRUE(other.OpenVideo(1));
  auto start = named.NextPicture();
  ASSERT_TRUE(start.has_value());
  sim->SendMalformedPackets(MalformedPacket::kTruncatedRtpHeader, 2, 2);
  EXPECT_EQ(ReadInjected(named, *start, 2).extra.size(), 2u);
  // The other camera's stream goes on without a gap or a stray packet.
  auto first = other.NextPicture();
  ASSERT_TRUE(first.has_value());
  std::uint16_t next = static_cast<std::uint16_t>(first->packets.back().sequence + 1);
  for (int i = 0; i < 4; ++i) {
    auto picture = other.NextPicture();
    ASSERT_TRUE(picture.has_value());
    EXPECT_FALSE(picture->bytes.empty());
    EXPECT_EQ(picture->packets.front().sequence, next);
    next = static_cast<std::uint16_t>(picture->packets.back().sequence + 1);
  }
}

}  // namespace
}  // namespace devicesim::testing
