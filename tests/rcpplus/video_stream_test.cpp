// RtpStreamer against the simulated device: a clip received through the library and put
// together again here must give back the clip's pictures bit for bit, with and without
// pictures split inside bytes; plus the session's messages, holding, stopping and threads.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "support/descriptor_exhaustion.h"
#include "video_fixture.h"

namespace rcpplus::testing {

using testutil::CheckExceptionTypeOnce;
using testutil::DescriptorExhaustion;
using testutil::OpenDescriptors;

namespace {

using Bytes = std::vector<std::uint8_t>;

// The clip split into pictures at picture start codes (0000 0000 0000 0000 1000 00,
// byte aligned); bytes before the first one belong to no picture.
std::vector<Bytes> ClipPictures(const std::string& name) {
  std::ifstream file(std::string(VELTRANE_CLIP_DIR) + "/" + name, std::ios::binary);
  const Bytes clip((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  std::vector<std::size_t> starts;
  for (std::size_t i = 0; i + 2 < clip.size(); ++i) {
    if (clip[i] == 0 && clip[i + 1] == 0 && (clip[i + 2] & 0xFC) == 0x80) starts.push_back(i);
  }
  std::vector<Bytes> pictures;
  for (std::size_t k = 0; k < starts.size(); ++k) {
    const std::size_t end = k + 1 < starts.size() ? starts[k + 1] : clip.size();
    pictures.emplace_back(clip.begin() + static_cast<std::ptrdiff_t>(starts[k]),
                          clip.begin() + static_cast<std::ptrdiff_t>(end));
  }
  return pictures;
}

// RFC 3550 fixed header, as far as these tests read it.
struct RtpPacket {
  int version = 0;
  int payloadType = 0;
  bool marker = false;
  std::uint16_t sequence = 0;
  std::span<const std::uint8_t> payload;
};

//  0                   1                   2                   3
//  0 1 2 3 4 5 6 7 8 9 0 1 2 3 4 5 6 7 8 9 0 1 2 3 4 5 6 7 8 9 0 1
// |V=2|P|X|  CC   |M|     PT      |       sequence number         |
// |                           timestamp                           |
// |                             SSRC                              |
// |                         CSRC list (CC words) ...              |
// | extension header: profile, length in words | extension ...    |
bool ParseRtp(const Bytes& bytes, RtpPacket& packet) {
  if (bytes.size() < 12) return false;
  packet.version = bytes[0] >> 6;
  packet.marker = (bytes[1] & 0x80) != 0;
  packet.payloadType = bytes[1] & 0x7F;
  packet.sequence = static_cast<std::uint16_t>(bytes[2] << 8 | bytes[3]);
  std::size_t header = 12 + 4 * static_cast<std::size_t>(bytes[0] & 0x0F);
  if ((bytes[0] & 0x10) != 0) {
    if (bytes.size() < header + 4) return false;
    header += 4 + 4 * static_cast<std::size_t>(bytes[header + 2] << 8 | bytes[header + 3]);
  }
  std::size_t padding = (bytes[0] & 0x20) != 0 ? bytes.back() : 0;
  if (header + padding > bytes.size()) return false;
  packet.payload = std::span<const std::uint8_t>(bytes).subspan(header, bytes.size() - header - padding);
  return true;
}

// Collects payload bits: each packet contributes its bits from SBIT of the first byte to
// EBIT of the last, as RFC 2190 defines them, whatever the mode.
class BitAssembler {
 public:
  //  0                   1                   2                   3
  // |F|P|SBIT |EBIT | SRC | ... rest of the mode A (F=0, 4 bytes), mode B (F=1, P=0,
  // 8 bytes) or mode C (F=1, P=1, 12 bytes) header
  bool Append(std::span<const std::uint8_t> payload) {
    if (payload.empty()) return false;
    const bool f = (payload[0] & 0x80) != 0;
    const bool p = (payload[0] & 0x40) != 0;
    const int sbit = (payload[0] >> 3) & 7;
    const int ebit = payload[0] & 7;
    const std::size_t header = !f ? 4 : (p ? 12 : 8);
    if (payload.size() <= header) return false;
    const auto data = payload.subspan(header);
    const std::size_t lastBit = data.size() * 8 - static_cast<std::size_t>(ebit);
    for (std::size_t bit = static_cast<std::size_t>(sbit); bit < lastBit; ++bit) {
      PushBit((data[bit / 8] >> (7 - bit % 8)) & 1);
    }
    return true;
  }
  // The picture so far; false when it does not end on a byte boundary.
  bool Take(Bytes& picture) {
    const bool whole = bits_ % 8 == 0;
    picture = std::move(bytes_);
    bytes_.clear();
    bits_ = 0;
    return whole;
  }

 private:
  void PushBit(int bit) {
    if (bits_ % 8 == 0) bytes_.push_back(0);
    if (bit != 0) bytes_.back() |= static_cast<std::uint8_t>(0x80 >> (bits_ % 8));
    ++bits_;
  }
  Bytes bytes_;
  std::size_t bits_ = 0;
};

// What a run of received packets amounts to.
struct Stream {
  std::vector<Bytes> pictures;   // up to the last marker
  int badVersion = 0;
  int badPayloadType = 0;
  int unparsable = 0;
  int sequenceGaps = 0;
  int picturesNotByteAligned = 0;
};

Stream Reassemble(const std::vector<Bytes>& packets) {
  Stream stream;
  BitAssembler assembler;
  std::optional<std::uint16_t> previous;
  for (const Bytes& bytes : packets) {
    RtpPacket packet;
    if (!ParseRtp(bytes, packet)) {
      ++stream.unparsable;
      continue;
    }
    if (packet.version != 2) ++stream.badVersion;
    if (packet.payloadType != 34) ++stream.badPayloadType;
    if (previous && packet.sequence != static_cast<std::uint16_t>(*previous + 1)) {
      ++stream.sequenceGaps;
    }
    previous = packet.sequence;
    if (!assembler.Append(packet.payload)) ++stream.unparsable;
    if (packet.marker) {
      Bytes picture;
      if (!assembler.Take(picture)) ++stream.picturesNotByteAligned;
      stream.pictures.push_back(std::move(picture));
    }
  }
  return stream;
}

int Markers(const PacketRecorder& recorder) {
  int markers = 0;
  for (const Bytes& packet : recorder.Packets()) {
    if (packet.size() >= 2 && (packet[1] & 0x80) != 0) ++markers;
  }
  return markers;
}

class VideoStreamTest : public ::testing::Test {
 protected:
  void StartDevice(bool splitAtBits = false) {
    devicesim::DeviceSimOptions options;
    options.cameraCount = 2;
    options.inputCount = 1;
    options.outputCount = 0;
    options.user = kUser;
    options.password = kPassword;
    options.clipFolder = VELTRANE_CLIP_DIR;
    options.splitAtBits = splitAtBits;
    options.splitSeed = 7;
    sim_ = std::make_unique<devicesim::DeviceSim>(options);
    ASSERT_TRUE(sim_->Start()) << sim_->LastError();
    address_ = sim_->Address(kUser, kPassword);
  }

  void TearDown() override {
    System::terminate();
    if (sim_) sim_->Stop();
  }

  void Connect(RtpStreamer& streamer, Recorder& messages, unsigned char coder = 1) {
    streamer.line = coder;
    streamer.connectVideo(5000, 10, coder, 0, 1, Recorder::Callback, &messages);
  }

  // Receives the first pictures of a session and checks them against the clip.
  void ExpectClipReproduced(bool splitAtBits) {
    StartDevice(splitAtBits);
    constexpr std::size_t kPictures = 12;
    RtpStreamer streamer(address_.c_str(), 0);
    streamer.registerReceiverCallback(true, PacketRecorder::Callback, &packets_);
    Connect(streamer, messages_);
    ASSERT_TRUE(WaitUntil([&] { return Markers(packets_) >= static_cast<int>(kPictures); }));
    streamer.registerReceiverCallback(true, nullptr, nullptr);

    const Stream stream = Reassemble(packets_.Packets());
    EXPECT_EQ(stream.badVersion, 0);
    EXPECT_EQ(stream.badPayloadType, 0);
    EXPECT_EQ(stream.unparsable, 0);
    EXPECT_EQ(stream.sequenceGaps, 0);
    EXPECT_EQ(stream.picturesNotByteAligned, 0);
    // A session starts at the clip's first picture: CIF before any settings were applied.
    const auto clip = ClipPictures("cif.263");
    ASSERT_GE(clip.size(), kPictures);
    ASSERT_GE(stream.pictures.size(), kPictures);
    for (std::size_t k = 0; k < kPictures; ++k) {
      EXPECT_EQ(stream.pictures[k], clip[k]) << "picture " << k;
    }
    EXPECT_FALSE(packets_.Overlapped());
    EXPECT_FALSE(packets_.WrongType());
  }

  std::unique_ptr<devicesim::DeviceSim> sim_;
  std::string address_;
  Recorder messages_;
  PacketRecorder packets_;
};

TEST_F(VideoStreamTest, ReproducesClipPicturesExactly) { ExpectClipReproduced(false); }

TEST_F(VideoStreamTest, ReproducesClipPicturesSplitInsideBytes) { ExpectClipReproduced(true); }

TEST_F(VideoStreamTest, SplitStreamReallySplitsInsideBytes) {
  // Guards the test above: without partial bytes it would prove nothing about merging.
  StartDevice(true);
  RtpStreamer streamer(address_.c_str(), 0);
  streamer.registerReceiverCallback(true, PacketRecorder::Callback, &packets_);
  Connect(streamer, messages_);
  ASSERT_TRUE(WaitUntil([&] { return Markers(packets_) >= 4; }));
  int partial = 0;
  for (const Bytes& bytes : packets_.Packets()) {
    RtpPacket packet;
    if (ParseRtp(bytes, packet) && !packet.payload.empty() && (packet.payload[0] & 0x3F) != 0) {
      ++partial;
    }
  }
  EXPECT_GT(partial, 0);
}

TEST_F(VideoStreamTest, SessionIdMessageCarriesTheDevicesSessionId) {
  StartDevice();
  RtpStreamer streamer(address_.c_str(), 0);
  Connect(streamer, messages_, 2);
  ASSERT_TRUE(WaitForCall(messages_, kSessionIdMessage));
  const Call call = CallsWith(messages_, kSessionIdMessage).front();
  const auto sessions = sim_->VideoSessions();
  ASSERT_EQ(sessions.size(), 1u);
  EXPECT_NE(call.header.sessionId, 0u);
  EXPECT_EQ(call.header.sessionId, sessions[0].sessionId);
  EXPECT_EQ(sessions[0].camera, 2);
  EXPECT_EQ(call.header.action, kActionMessage);
  EXPECT_EQ(call.header.line, 2);
}

TEST_F(VideoStreamTest, PacketsBeforeRegistrationAreHeldAndDeliveredFirst) {
  StartDevice();
  RtpStreamer streamer(address_.c_str(), 0);
  Connect(streamer, messages_);
  ASSERT_TRUE(sim_->WaitForPictures(1, 3, 5000));
  // The receiver comes after the session's first pictures were sent, as a driver's would.
  streamer.registerReceiverCallback(true, PacketRecorder::Callback, &packets_);
  ASSERT_TRUE(WaitUntil([&] { return Markers(packets_) >= 5; }));
  const Stream stream = Reassemble(packets_.Packets());
  EXPECT_EQ(stream.sequenceGaps, 0);
  const auto clip = ClipPictures("cif.263");
  ASSERT_GE(stream.pictures.size(), 5u);
  // Nothing was lost at the start: the first delivered picture is the session's first.
  for (std::size_t k = 0; k < 5; ++k) EXPECT_EQ(stream.pictures[k], clip[k]) << "picture " << k;
}

TEST_F(VideoStreamTest, RemovingReceiverStopsDelivery) {
  StartDevice();
  RtpStreamer streamer(address_.c_str(), 0);
  streamer.registerReceiverCallback(true, PacketRecorder::Callback, &packets_);
  Connect(streamer, messages_);
  ASSERT_TRUE(WaitUntil([&] { return Markers(packets_) >= 2; }));
  streamer.registerReceiverCallback(true, nullptr, nullptr);
  const std::size_t count = packets_.Count();
  const std::uint64_t sent = sim_->PicturesSent(1);
  ASSERT_TRUE(sim_->WaitForPictures(1, sent + 3, 5000));
  EXPECT_EQ(packets_.Count(), count);
}

TEST_F(VideoStreamTest, BrokenMediaConnectionIsReportedOnce) {
  StartDevice();
  RtpStreamer streamer(address_.c_str(), 0);
  streamer.registerReceiverCallback(true, PacketRecorder::Callback, &packets_);
  Connect(streamer, messages_);
  ASSERT_TRUE(packets_.WaitForCount(1));
  sim_->CloseVideoConnections();
  ASSERT_TRUE(WaitForCall(messages_, kConnectionLost));
  const Call lost = CallsWith(messages_, kConnectionLost).front();
  EXPECT_EQ(lost.header.action, kActionClientError);
  EXPECT_EQ(lost.header.errorCode, 0x107u);
  EXPECT_NE(lost.thread, std::this_thread::get_id());
  // The control connection breaking as well adds no second report.
  sim_->DropAllConnections();
  ASSERT_TRUE(WaitUntil([] { return CountMediaThreads() == 0 && CountControlThreads() == 0; }));
  EXPECT_EQ(CallsWith(messages_, kConnectionLost).size(), 1u);
}

TEST_F(VideoStreamTest, RefusedControlConnectionIsReportedAsConnectionError) {
  StartDevice();
  sim_->RefuseConnections(true);
  RtpStreamer streamer(address_.c_str(), 0);
  Connect(streamer, messages_);
  ASSERT_TRUE(WaitForCall(messages_, kConnectionLost));
  const Call lost = CallsWith(messages_, kConnectionLost).front();
  EXPECT_EQ(lost.header.action, kActionClientError);
  EXPECT_EQ(lost.header.errorCode, 0x101u);
  ASSERT_TRUE(WaitUntil([] { return CountControlThreads() == 0; }));
  EXPECT_EQ(CallsWith(messages_, kConnectionLost).size(), 1u);
}

TEST_F(VideoStreamTest, PortWithoutListenerIsReportedAsConnectionError) {
  StartDevice();
  sim_->Stop();  // nothing listens on its port now
  RtpStreamer streamer(address_.c_str(), 0);
  // A refused connect can fail every attempt before the request is queued; the library then
  // says so synchronously instead of through the message callback.
  try {
    Connect(streamer, messages_);
  } catch (rcpplus::Exception* error) {
    EXPECT_EQ(error->code(), 0x101u);
    EXPECT_TRUE(CallsWith(messages_, kConnectVideo).empty());
    return;
  }
  ASSERT_TRUE(WaitForCall(messages_, kConnectionLost));
  EXPECT_EQ(CallsWith(messages_, kConnectionLost).front().header.errorCode, 0x101u);
}

TEST_F(VideoStreamTest, UnansweredConnectTimesOut) {
  StartDevice();
  sim_->DropReplies(static_cast<std::uint32_t>(kConnectVideo), true);
  RtpStreamer streamer(address_.c_str(), 0);
  streamer.connectVideo(100, 10, 1, 0, 1, Recorder::Callback, &messages_);
  ASSERT_TRUE(WaitForCall(messages_, kConnectVideo));
  const Call call = CallsWith(messages_, kConnectVideo).front();
  EXPECT_EQ(call.header.action, kActionClientError);
  EXPECT_EQ(call.header.errorCode, 0x100u);
}

TEST_F(VideoStreamTest, RejectedCredentialsAreReportedAndVideoReturnsOnceAccepted) {
  StartDevice();
  sim_->RejectCredentials(true);
  RtpStreamer streamer(address_.c_str(), 0);
  streamer.registerReceiverCallback(true, PacketRecorder::Callback, &packets_);
  Connect(streamer, messages_);
  ASSERT_TRUE(WaitForCall(messages_, kConnectVideo));
  ASSERT_TRUE(WaitForCall(messages_, kConnectionLost));
  EXPECT_EQ(CallsWith(messages_, kConnectVideo).front().header.action, kActionError);
  EXPECT_EQ(CallsWith(messages_, kConnectVideo).front().header.errorCode, 0xA0u);
  EXPECT_EQ(CallsWith(messages_, kConnectionLost).front().header.errorCode, 0x101u);
  EXPECT_EQ(sim_->ActiveVideoSessions(), 0);

  // The same streamer gets video again once the device accepts: the refused connection is
  // not reused, the pause ends and the next connect registers afresh.
  sim_->RejectCredentials(false);
  EXPECT_TRUE(WaitUntil([&] {
    Connect(streamer, messages_);
    return packets_.WaitForCount(1, 200ms);
  }));
  EXPECT_EQ(CallsWith(messages_, kConnectionLost).size(), 1u);
}

TEST_F(VideoStreamTest, ConnectVideoWithoutDescriptorsForMediaThrowsWhy) {
  StartDevice();
  RtpStreamer streamer(address_.c_str(), 0);
  streamer.registerReceiverCallback(true, PacketRecorder::Callback, &packets_);
  Connect(streamer, messages_);
  ASSERT_TRUE(packets_.WaitForCount(1));
  streamer.disconnectVideo();
  // The control connection stays open: only the media connection needs new descriptors.
  const int descriptors = OpenDescriptors::Now().count;
  CheckExceptionTypeOnce();
  Exception* thrown = nullptr;  // looked at once descriptors are back
  {
    DescriptorExhaustion exhaustion;
    ASSERT_TRUE(exhaustion.full());
    try {
      Connect(streamer, messages_);
    } catch (Exception* error) {
      thrown = error;
    }
  }
  ASSERT_NE(thrown, nullptr);
  const std::string text = thrown->what();
  EXPECT_NE(text.find("Too many open files"), std::string::npos) << "thrown: " << text;
  // Not above: the device may still be closing its end of the earlier media connection.
  EXPECT_LE(OpenDescriptors::Now().count, descriptors);
  EXPECT_EQ(CountMediaThreads(), 0);
  EXPECT_EQ(CountControlThreads(), 1);
  EXPECT_TRUE(CallsWith(messages_, kConnectionLost).empty());

  const std::size_t before = packets_.Count();
  Connect(streamer, messages_);
  EXPECT_TRUE(packets_.WaitForCount(before + 1));
}

TEST_F(VideoStreamTest, DisconnectVideoEndsSessionWithoutReport) {
  StartDevice();
  RtpStreamer streamer(address_.c_str(), 0);
  streamer.registerReceiverCallback(true, PacketRecorder::Callback, &packets_);
  Connect(streamer, messages_);
  ASSERT_TRUE(packets_.WaitForCount(1));
  streamer.disconnectVideo();
  EXPECT_EQ(CountMediaThreads(), 0);
  EXPECT_TRUE(WaitUntil([&] { return sim_->ActiveVideoSessions() == 0; }));
  // An input message on the still open control connection marks that all before it came.
  sim_->SetInput(1, true);
  ASSERT_TRUE(WaitForCall(messages_, 0x01C00030));
  EXPECT_TRUE(CallsWith(messages_, kConnectionLost).empty());
}

TEST_F(VideoStreamTest, TerminateEndsEveryVideoThreadAndLibraryStartsAgain) {
  StartDevice();
  const int before = CountThreads();
  // Recorders first: they must outlive the streamers that call them.
  PacketRecorder firstPackets;
  PacketRecorder& secondPackets = packets_;
  Recorder secondMessages;
  PacketRecorder again;
  Recorder againMessages;
  RtpStreamer first(address_.c_str(), 0);
  RtpStreamer second(address_.c_str(), 0);
  first.registerReceiverCallback(true, PacketRecorder::Callback, &firstPackets);
  second.registerReceiverCallback(true, PacketRecorder::Callback, &secondPackets);
  Connect(first, messages_, 1);
  Connect(second, secondMessages, 2);
  ASSERT_TRUE(firstPackets.WaitForCount(1));
  ASSERT_TRUE(secondPackets.WaitForCount(1));
  EXPECT_EQ(CountMediaThreads(), 2);
  EXPECT_EQ(CountControlThreads(), 2);

  System::terminate();
  EXPECT_EQ(CountMediaThreads(), 0);
  EXPECT_EQ(CountControlThreads(), 0);
  // Closed by the client: nothing to report.
  EXPECT_TRUE(CallsWith(messages_, kConnectionLost).empty());
  EXPECT_TRUE(CallsWith(secondMessages, kConnectionLost).empty());
  EXPECT_TRUE(WaitUntil([&] { return sim_->ActiveVideoSessions() == 0; }));
  EXPECT_TRUE(WaitUntil([&] { return CountThreads() == before; })) << CountThreads();

  // The same streamer connects again afterwards.
  first.registerReceiverCallback(true, PacketRecorder::Callback, &again);
  Connect(first, againMessages, 1);
  EXPECT_TRUE(again.WaitForCount(1));
}

}  // namespace
}  // namespace rcpplus::testing
