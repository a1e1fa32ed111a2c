// Video sessions: connect and media open with their errors, the RTP stream (numbering,
// markers, timestamps, pace), clip choice and switching, looping, and how sessions end.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <ostream>
#include <string>
#include <thread>

#include "video_client.h"

namespace devicesim::testing {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using rcpwire::Frame;

// Waits until condition holds or the arrival time has passed.
template <typename Condition>
bool Eventually(Condition condition) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(kArrivalMs);
  while (!condition()) {
    if (Clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

std::uint8_t ErrorCodeOf(const std::optional<Frame>& answer) {
  if (!answer || answer->action != rcpwire::kError) return 0;
  return answer->ErrorCode();
}

// Reads count pictures; fails the test when one is missing or cannot be reassembled.
std::vector<ReceivedPicture> ReadPictures(VideoClient& client, int count) {
  std::vector<ReceivedPicture> pictures;
  for (int i = 0; i < count; ++i) {
    auto picture = client.NextPicture();
    EXPECT_TRUE(picture.has_value()) << "picture " << i;
    if (!picture) break;
    EXPECT_FALSE(picture->bytes.empty()) << "picture " << i;
    pictures.push_back(std::move(*picture));
  }
  return pictures;
}

// Every packet's sequence number follows the one before it.
void ExpectContiguous(const std::vector<ReceivedPicture>& pictures) {
  const RtpPacket* previous = nullptr;
  for (const auto& picture : pictures) {
    for (const auto& packet : picture.packets) {
      if (previous != nullptr) {
        EXPECT_EQ(packet.sequence, static_cast<std::uint16_t>(previous->sequence + 1));
      }
      previous = &packet;
    }
  }
}

void ExpectTimestampStep(const std::vector<ReceivedPicture>& pictures, std::uint32_t step) {
  for (std::size_t i = 1; i < pictures.size(); ++i) {
    EXPECT_EQ(pictures[i].packets.front().timestamp - pictures[i - 1].packets.front().timestamp,
              step)
        << "picture " << i;
  }
}

class TempFolder {
 public:
  TempFolder() {
    std::string pattern = (fs::temp_directory_path() / "devicesim-video-XXXXXX").string();
    if (::mkdtemp(pattern.data()) != nullptr) path_ = pattern;
  }
  ~TempFolder() {
    std::error_code ignored;
    if (!path_.empty()) fs::remove_all(path_, ignored);
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// Clips of the first pictures of the shipped ones, so a loop takes a few pictures.
void WriteShortClips(const TempFolder& folder, std::size_t pictures) {
  for (const char* name : {"qcif.263", "cif.263", "2cif.263", "4cif.263"}) {
    const auto all = ClipPictures(name);
    std::ofstream out(fs::path(folder.path()) / name, std::ios::binary);
    for (std::size_t i = 0; i < pictures && i < all.size(); ++i) {
      out.write(reinterpret_cast<const char*>(all[i].data()),
                static_cast<std::streamsize>(all[i].size()));
    }
  }
}

// ---- Connect -------------------------------------------------------------------------------

TEST(DeviceSimVideoConnect, RepliesWithNewSessionIdThenSendsItAsMessage) {
  auto sim = StartSim();
  VideoClient client(*sim);
  ASSERT_TRUE(client.registered());
  auto reply = client.Connect(2, 7);
  ASSERT_TRUE(reply.has_value());
  EXPECT_EQ(reply->action, rcpwire::kReply);
  EXPECT_EQ(reply->commandWord, kConnectVideo);
  EXPECT_EQ(reply->requestId, 1);
  EXPECT_EQ(reply->line, 7);
  ASSERT_EQ(reply->payload.size(), 4u);
  const std::uint32_t id = rcpwire::GetU32(reply->payload.data());
  EXPECT_NE(id, 0u);

  auto message = client.control().Read();
  ASSERT_TRUE(message.has_value());
  EXPECT_EQ(message->commandWord, kSessionIdMessage);
  EXPECT_EQ(message->action, rcpwire::kMessage);
  EXPECT_EQ(message->requestId, 0);
  EXPECT_EQ(message->line, 7);
  EXPECT_EQ(message->sessionId, id);
  EXPECT_EQ(message->clientId, client.control().clientId());
  EXPECT_TRUE(message->payload.empty());
}

TEST(DeviceSimVideoConnect, GivesEachSessionItsOwnId) {
  auto sim = StartSim();
  VideoClient client(*sim);
  const std::uint32_t first = client.ConnectOk(1);
  const std::uint32_t second = client.ConnectOk(2);
  ASSERT_NE(first, 0u);
  ASSERT_NE(second, 0u);
  EXPECT_NE(first, second);
  const auto sessions = sim->VideoSessions();
  ASSERT_EQ(sessions.size(), 2u);
  for (const auto& session : sessions) {
    EXPECT_FALSE(session.mediaOpen);
    EXPECT_EQ(session.camera, session.sessionId == first ? 1 : 2);
  }
}

TEST(DeviceSimVideoConnect, PayloadOfWrongLengthGetsError80) {
  auto sim = StartSim();
  VideoClient client(*sim);
  EXPECT_EQ(ErrorCodeOf(client.Connect(1, 1, std::vector<std::uint8_t>(10, 1))), 0x80);
  EXPECT_EQ(ErrorCodeOf(client.Connect(1, 1, std::vector<std::uint8_t>(12, 1))), 0x80);
  EXPECT_TRUE(client.control().Quiet());
  EXPECT_TRUE(sim->VideoSessions().empty());
}

TEST(DeviceSimVideoConnect, CoderTheDeviceDoesNotHaveGetsErrorFF) {
  auto sim = StartSim();  // two cameras: coders 1 and 2
  VideoClient client(*sim);
  for (const std::uint8_t coder : {0, 3, 0x81, 0xFF}) {
    EXPECT_EQ(ErrorCodeOf(client.Connect(coder)), 0xFF) << "coder " << int(coder);
  }
  EXPECT_TRUE(client.control().Quiet());
  EXPECT_TRUE(sim->VideoSessions().empty());
}

// ---- Media open ----------------------------------------------------------------------------

TEST(DeviceSimVideoMedia, UnknownSessionGetsErrorB0) {
  auto sim = StartSim();
  VideoClient client(*sim);
  const std::uint32_t id = client.ConnectOk(1);
  ASSERT_NE(id, 0u);
  auto answer = client.OpenMedia(id + 1);
  EXPECT_EQ(ErrorCodeOf(answer), 0xB0);
  EXPECT_EQ(sim->ActiveVideoSessions(), 0);
}

TEST(DeviceSimVideoMedia, SecondOpenForSessionGetsErrorB0AndFirstStreamGoesOn) {
  auto sim = StartSim();
  VideoClient client(*sim);
  ASSERT_TRUE(client.OpenVideo(1));
  VideoClient intruder(*sim);
  EXPECT_EQ(ErrorCodeOf(intruder.OpenMedia(client.sessionId())), 0xB0);
  EXPECT_TRUE(client.NextPicture().has_value());
  EXPECT_EQ(sim->ActiveVideoSessions(), 1);
}

TEST(DeviceSimVideoMedia, PayloadOfWrongLengthGetsError80) {
  auto sim = StartSim();
  VideoClient client(*sim);
  ASSERT_NE(client.ConnectOk(1), 0u);
  RawClient media(sim->port());
  ASSERT_TRUE(media.RegisterOk());
  EXPECT_EQ(ErrorCodeOf(media.Request(kMediaOpen, 0, {0, 0, 1})), 0x80);
}

TEST(DeviceSimVideoMedia, RepliesEmptyThenSendsInterleavedRtpVersion2Type34) {
  auto sim = StartSim();
  VideoClient client(*sim);
  ASSERT_NE(client.ConnectOk(1), 0u);
  auto answer = client.OpenMedia(client.sessionId());
  ASSERT_TRUE(answer.has_value());
  EXPECT_EQ(answer->action, rcpwire::kReply);
  EXPECT_EQ(answer->commandWord, kMediaOpen);
  EXPECT_TRUE(answer->payload.empty());
  auto raw = client.NextRaw();
  ASSERT_TRUE(raw.has_value());
  EXPECT_LE(raw->size(), 1500u);
  auto packet = ParseRtp(*raw);
  ASSERT_TRUE(packet.has_value());
  EXPECT_EQ(packet->version, 2);
  EXPECT_EQ(packet->payloadType, 34);
  EXPECT_EQ(packet->csrcCount, 0);
  EXPECT_FALSE(packet->extension);
  EXPECT_FALSE(packet->padding);
}

TEST(DeviceSimVideoMedia, IgnoresWhatClientSendsAfterOpen) {
  auto sim = StartSim();
  VideoClient client(*sim);
  ASSERT_TRUE(client.OpenVideo(1));
  ASSERT_TRUE(client.media().SendRequest(kInputCount, 0, {0}, 9));
  ASSERT_TRUE(client.media().SendRequest(kMediaOpen, 0, U32(client.sessionId()), 10));
  const std::vector<std::uint8_t> junk = {0x24, 0x00, 0x00, 0x01, 0xAB, 0x99};
  ASSERT_TRUE(client.media().SendBytes(junk));
  const auto clip = ClipPictures("cif.263");
  const auto pictures = ReadPictures(client, 3);
  ASSERT_EQ(pictures.size(), 3u);
  for (std::size_t i = 0; i < pictures.size(); ++i) EXPECT_EQ(pictures[i].bytes, clip[i]);
  EXPECT_FALSE(client.media().protocolError());
}

// ---- The stream ----------------------------------------------------------------------------

TEST(DeviceSimVideoStream, StartsWithFirstPicturesOfCifClipBeforeAnyApply) {
  auto sim = StartSim();
  VideoClient client(*sim);
  ASSERT_TRUE(client.OpenVideo(1));
  const auto clip = ClipPictures("cif.263");
  const auto pictures = ReadPictures(client, 4);
  ASSERT_EQ(pictures.size(), 4u);
  for (std::size_t i = 0; i < pictures.size(); ++i) EXPECT_EQ(pictures[i].bytes, clip[i]);
  const PayloadHeader first = ReadPayloadHeader(pictures[0].packets.front().payload);
  EXPECT_EQ(first.mode, 'A');
  EXPECT_FALSE(first.inter);
}

TEST(DeviceSimVideoStream, StartsWithIntraPictureOfAppliedResolution) {
  struct Row {
    const char* name;
    int camera;
    std::uint32_t resolution;
    const char* clip;
  };
  // One simulator for every row, in this order: each apply for camera 1 must replace the one
  // before it, and camera 2's apply happens before camera 1 has any.
  const Row rows[] = {
      {"Camera2Resolution0PlaysQcif", 2, 0, "qcif.263"},
      {"Resolution0PlaysQcif", 1, 0, "qcif.263"},
      {"Resolution1PlaysCif", 1, 1, "cif.263"},
      {"Resolution2Plays2Cif", 1, 2, "2cif.263"},
      {"Resolution3Plays4Cif", 1, 3, "4cif.263"},
      {"ResolutionAboveRangePlaysCif", 1, 9, "cif.263"},
  };
  auto sim = StartSim();
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    ASSERT_TRUE(ApplyVideoSettings(*sim, row.camera, row.resolution, 1));
    VideoClient client(*sim);
    ASSERT_TRUE(client.OpenVideo(row.camera));
    auto picture = client.NextPicture();
    ASSERT_TRUE(picture.has_value());
    EXPECT_EQ(picture->bytes, ClipPictures(row.clip)[0]) << row.clip;
  }
}

TEST(DeviceSimVideoStream, SequenceNumbersAreContiguousAndMarkerEndsEachPicture) {
  auto sim = StartSim();
  VideoClient client(*sim);
  ASSERT_TRUE(client.OpenVideo(1));
  const auto clip = ClipPictures("cif.263");
  const auto pictures = ReadPictures(client, 5);
  ASSERT_EQ(pictures.size(), 5u);
  ExpectContiguous(pictures);
  for (std::size_t i = 0; i < pictures.size(); ++i) {
    // The marker falls exactly where the clip's picture ends.
    EXPECT_EQ(pictures[i].bytes, clip[i]);
    EXPECT_GT(pictures[i].packets.size(), 1u);
    for (const auto& packet : pictures[i].packets) {
      EXPECT_EQ(packet.timestamp, pictures[i].packets.front().timestamp);
      EXPECT_EQ(packet.ssrc, pictures[0].packets.front().ssrc);
    }
  }
}

struct TimestampStepRow {
  const char* name;
  std::uint32_t frameIntervalA;
  std::uint32_t step;
};

void PrintTo(const TimestampStepRow& row, std::ostream* out) { *out << row.name; }

class DeviceSimTimestampStep : public ::testing::TestWithParam<TimestampStepRow> {};

TEST_P(DeviceSimTimestampStep, Is3600TimesFrameIntervalA) {
  auto sim = StartSim();
  ASSERT_TRUE(ApplyVideoSettings(*sim, 1, 0, GetParam().frameIntervalA));
  VideoClient client(*sim);
  ASSERT_TRUE(client.OpenVideo(1));
  const auto pictures = ReadPictures(client, 3);
  ASSERT_EQ(pictures.size(), 3u);
  ExpectTimestampStep(pictures, GetParam().step);
}

INSTANTIATE_TEST_SUITE_P(DeviceSimVideoStream, DeviceSimTimestampStep,
                         ::testing::Values(TimestampStepRow{"FrameInterval3", 3, 3 * 3600},
                                           TimestampStepRow{"FrameIntervalZeroCountsAsOne", 0,
                                                            3600}),
                         [](const ::testing::TestParamInfo<TimestampStepRow>& info) {
                           return std::string(info.param.name);
                         });

// Camera 1 at 25 pictures per second and camera 2 at 5, counted over the same window.
TEST(DeviceSimVideoStream, PaceFollowsFrameIntervalA) {
  auto sim = StartSim();
  ASSERT_TRUE(ApplyVideoSettings(*sim, 1, 0, 1));
  ASSERT_TRUE(ApplyVideoSettings(*sim, 2, 0, 5));
  VideoClient fast(*sim);
  VideoClient slow(*sim);
  ASSERT_TRUE(fast.OpenVideo(1));
  ASSERT_TRUE(slow.OpenVideo(2));
  ASSERT_TRUE(sim->WaitForPictures(1, 1, kArrivalMs));
  ASSERT_TRUE(sim->WaitForPictures(2, 1, kArrivalMs));
  const std::uint64_t fastBefore = sim->PicturesSent(1);
  const std::uint64_t slowBefore = sim->PicturesSent(2);
  std::this_thread::sleep_for(std::chrono::milliseconds(600));
  const std::uint64_t fastCount = sim->PicturesSent(1) - fastBefore;
  const std::uint64_t slowCount = sim->PicturesSent(2) - slowBefore;
  // 15 and 3 expected; deadlines cannot come early, so the upper bounds are firm.
  EXPECT_GE(fastCount, 6u);
  EXPECT_LE(fastCount, 17u);
  EXPECT_GE(slowCount, 1u);
  EXPECT_LE(slowCount, 5u);
  EXPECT_GT(fastCount, slowCount);
}

TEST(DeviceSimVideoStream, SwitchesClipAtPictureBoundaryAfterApply) {
  auto sim = StartSim();
  VideoClient client(*sim);
  ASSERT_TRUE(client.OpenVideo(1));
  const auto cif = ClipPictures("cif.263");
  const auto qcif = ClipPictures("qcif.263");
  auto pictures = ReadPictures(client, 2);
  ASSERT_TRUE(ApplyVideoSettings(*sim, 1, 0, 1));
  // Pictures sent before the apply are still on their way; the switch follows them.
  std::size_t switchAt = 0;
  while (switchAt == 0 && pictures.size() < 20) {
    auto picture = client.NextPicture();
    ASSERT_TRUE(picture.has_value());
    if (picture->bytes == qcif[0]) switchAt = pictures.size();
    pictures.push_back(std::move(*picture));
  }
  ASSERT_NE(switchAt, 0u) << "no switch to QCIF";
  for (auto& more : ReadPictures(client, 2)) pictures.push_back(std::move(more));
  ASSERT_EQ(pictures.size(), switchAt + 3);
  for (std::size_t i = 0; i < switchAt; ++i) EXPECT_EQ(pictures[i].bytes, cif[i]) << i;
  for (std::size_t i = 0; i < 3; ++i) EXPECT_EQ(pictures[switchAt + i].bytes, qcif[i]) << i;
  ExpectContiguous(pictures);
  ExpectTimestampStep(pictures, 3600);
}

TEST(DeviceSimVideoStream, NewRateTakesEffectFromSwitchWithoutTimestampJump) {
  auto sim = StartSim();
  ASSERT_TRUE(ApplyVideoSettings(*sim, 1, 0, 1));
  VideoClient client(*sim);
  ASSERT_TRUE(client.OpenVideo(1));
  const auto qcif = ClipPictures("qcif.263");
  auto pictures = ReadPictures(client, 2);
  ASSERT_TRUE(ApplyVideoSettings(*sim, 1, 0, 2));
  std::size_t switchAt = 0;
  while (switchAt == 0 && pictures.size() < 20) {
    auto picture = client.NextPicture();
    ASSERT_TRUE(picture.has_value());
    if (picture->bytes == qcif[0]) switchAt = pictures.size();
    pictures.push_back(std::move(*picture));
  }
  ASSERT_NE(switchAt, 0u);
  for (auto& more : ReadPictures(client, 2)) pictures.push_back(std::move(more));
  ASSERT_EQ(pictures.size(), switchAt + 3);
  auto stamp = [&](std::size_t i) { return pictures[i].packets.front().timestamp; };
  EXPECT_EQ(stamp(switchAt) - stamp(switchAt - 1), 3600u);  // the last old picture's step
  EXPECT_EQ(stamp(switchAt + 1) - stamp(switchAt), 7200u);
  EXPECT_EQ(stamp(switchAt + 2) - stamp(switchAt + 1), 7200u);
  ExpectContiguous(pictures);
}

TEST(DeviceSimVideoStream, LoopKeepsSequenceNumbersAndTimestampsContinuous) {
  TempFolder folder;
  WriteShortClips(folder, 3);
  DeviceSimOptions options;
  options.clipFolder = folder.path();
  auto sim = StartSim(options);
  VideoClient client(*sim);
  ASSERT_TRUE(client.OpenVideo(1));
  const auto clip = ClipPictures("cif.263");
  const auto pictures = ReadPictures(client, 7);
  ASSERT_EQ(pictures.size(), 7u);
  for (std::size_t i = 0; i < pictures.size(); ++i) EXPECT_EQ(pictures[i].bytes, clip[i % 3]) << i;
  ExpectContiguous(pictures);
  ExpectTimestampStep(pictures, 3600);
}

TEST(DeviceSimVideoStream, BitSplitsReassembleToClipPictures) {
  DeviceSimOptions options;
  options.splitAtBits = true;
  auto sim = StartSim(options);
  VideoClient client(*sim);
  ASSERT_TRUE(client.OpenVideo(1));
  const auto clip = ClipPictures("cif.263");
  const auto pictures = ReadPictures(client, 3);
  ASSERT_EQ(pictures.size(), 3u);
  int partial = 0;
  for (std::size_t i = 0; i < pictures.size(); ++i) {
    EXPECT_EQ(pictures[i].bytes, clip[i]);
    for (const auto& packet : pictures[i].packets) {
      if (ReadPayloadHeader(packet.payload).sbit != 0) ++partial;
    }
  }
  EXPECT_GT(partial, 0);
}

TEST(DeviceSimVideoStream, MaxRtpPayloadLimitsPackets) {
  DeviceSimOptions options;
  options.maxRtpPayload = 300;
  auto sim = StartSim(options);
  VideoClient client(*sim);
  ASSERT_TRUE(client.OpenVideo(1));
  const auto clip = ClipPictures("cif.263");
  const auto pictures = ReadPictures(client, 2);
  ASSERT_EQ(pictures.size(), 2u);
  for (std::size_t i = 0; i < pictures.size(); ++i) {
    EXPECT_EQ(pictures[i].bytes, clip[i]);
    for (const auto& packet : pictures[i].packets) EXPECT_LE(packet.payload.size(), 300u);
  }
}

TEST(DeviceSimVideoStream, LargestPicturesStayWithin1500BytePackets) {
  auto sim = StartSim();
  ASSERT_TRUE(ApplyVideoSettings(*sim, 1, 3, 1));
  VideoClient client(*sim);
  ASSERT_TRUE(client.OpenVideo(1));
  std::size_t packets = 0;
  while (packets < 40) {
    auto raw = client.NextRaw();
    ASSERT_TRUE(raw.has_value());
    EXPECT_LE(raw->size(), 1500u);
    ++packets;
  }
}

TEST(DeviceSimVideoStream, StartFailsWhenClipIsMissing) {
  TempFolder folder;
  DeviceSimOptions options;
  options.clipFolder = folder.path();
  options.cameraCount = 1;
  options.inputCount = 0;
  options.outputCount = 0;
  DeviceSim sim(options);
  EXPECT_FALSE(sim.Start());
  EXPECT_NE(sim.LastError().find(".263"), std::string::npos);
}

// ---- Sessions ------------------------------------------------------------------------------

TEST(DeviceSimVideoSessions, SessionEndsWhenMediaConnectionCloses) {
  auto sim = StartSim();
  auto client = std::make_unique<VideoClient>(*sim);
  ASSERT_TRUE(client->OpenVideo(1));
  ASSERT_TRUE(client->NextPicture().has_value());
  EXPECT_EQ(sim->ActiveVideoSessions(), 1);
  client.reset();
  EXPECT_TRUE(Eventually([&] { return sim->VideoSessions().empty(); }));
  EXPECT_EQ(sim->ActiveVideoSessions(), 0);
}

TEST(DeviceSimVideoSessions, SessionEndsWhenControlClosesBeforeMediaOpen) {
  auto sim = StartSim();
  std::uint32_t id = 0;
  {
    VideoClient client(*sim);
    id = client.ConnectOk(1);
    ASSERT_NE(id, 0u);
    EXPECT_EQ(sim->VideoSessions().size(), 1u);
  }
  EXPECT_TRUE(Eventually([&] { return sim->VideoSessions().empty(); }));
  VideoClient late(*sim);
  EXPECT_EQ(ErrorCodeOf(late.OpenMedia(id)), 0xB0);
}

TEST(DeviceSimVideoSessions, StreamGoesOnWhenControlClosesAfterMediaOpen) {
  auto sim = StartSim();
  VideoClient client(*sim);
  ASSERT_TRUE(client.OpenVideo(1));
  client.CloseControl();
  EXPECT_TRUE(Eventually([&] { return sim->ConnectionCount() == 0; }));
  const std::uint64_t before = sim->PicturesSent(1);
  EXPECT_TRUE(sim->WaitForPictures(1, before + 3, kArrivalMs));
  EXPECT_EQ(ReadPictures(client, 3).size(), 3u);
  EXPECT_EQ(sim->ActiveVideoSessions(), 1);
}

TEST(DeviceSimVideoSessions, CountsPicturesAndPacketsPerCameraAndSession) {
  auto sim = StartSim();
  VideoClient client(*sim);
  ASSERT_TRUE(client.OpenVideo(2));
  const auto pictures = ReadPictures(client, 3);
  ASSERT_EQ(pictures.size(), 3u);
  std::uint64_t packets = 0;
  for (const auto& picture : pictures) packets += picture.packets.size();
  // The sender counts a picture after its last packet has left, so the client may be ahead.
  EXPECT_TRUE(Eventually([&] {
    const auto sessions = sim->VideoSessions();
    return sim->PicturesSent(2) >= 3u && sim->PacketsSent(2) >= packets && sessions.size() == 1 &&
           sessions[0].pictures >= 3u && sessions[0].packets >= packets;
  }));
  EXPECT_EQ(sim->PicturesSent(1), 0u);
  EXPECT_EQ(sim->PacketsSent(1), 0u);
  const auto sessions = sim->VideoSessions();
  ASSERT_EQ(sessions.size(), 1u);
  EXPECT_EQ(sessions[0].sessionId, client.sessionId());
  EXPECT_EQ(sessions[0].camera, 2);
  EXPECT_TRUE(sessions[0].mediaOpen);
  EXPECT_EQ(sessions[0].ssrc, pictures[0].packets.front().ssrc);
  EXPECT_LE(sessions[0].pictures, sim->PicturesSent(0));
}

TEST(DeviceSimVideoSessions, SessionsOfOneCameraHaveTheirOwnNumbering) {
  auto sim = StartSim();
  VideoClient first(*sim);
  VideoClient second(*sim);
  ASSERT_TRUE(first.OpenVideo(1));
  ASSERT_TRUE(second.OpenVideo(1));
  auto a = first.NextPicture();
  auto b = second.NextPicture();
  ASSERT_TRUE(a && b);
  EXPECT_NE(a->packets.front().ssrc, b->packets.front().ssrc);
  // Both start at the clip's first picture.
  EXPECT_EQ(a->bytes, b->bytes);
  EXPECT_EQ(sim->ActiveVideoSessions(), 2);
}

TEST(DeviceSimVideoSessions, SixtyFourSessionsStreamAtOnce) {
  auto sim = StartSim();
  ASSERT_TRUE(ApplyVideoSettings(*sim, 1, 0, 1));
  std::vector<std::unique_ptr<VideoClient>> clients;
  for (int i = 0; i < 64; ++i) {
    clients.push_back(std::make_unique<VideoClient>(*sim));
    ASSERT_TRUE(clients.back()->OpenVideo(1)) << "session " << i;
  }
  EXPECT_EQ(sim->ActiveVideoSessions(), 64);
  const auto qcif = ClipPictures("qcif.263");
  for (auto& client : clients) {
    const auto pictures = ReadPictures(*client, 3);
    ASSERT_EQ(pictures.size(), 3u);
    for (std::size_t i = 0; i < 3; ++i) EXPECT_EQ(pictures[i].bytes, qcif[i]);
    ExpectContiguous(pictures);
  }
}

TEST(DeviceSimVideoSessions, StopEndsSessionsAndRestartServesNewOnes) {
  auto sim = StartSim();
  VideoClient client(*sim);
  ASSERT_TRUE(client.OpenVideo(1));
  sim->Stop();
  EXPECT_TRUE(client.media().WaitClosed());
  EXPECT_TRUE(sim->VideoSessions().empty());
  ASSERT_TRUE(sim->Start()) << sim->LastError();
  VideoClient again(*sim);
  ASSERT_TRUE(again.OpenVideo(1));
  EXPECT_TRUE(again.NextPicture().has_value());
}

}  // namespace
}  // namespace devicesim::testing
