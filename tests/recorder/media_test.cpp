// The recorder's files as players see them: time stamps, frame rate and seeking in Matroska,
// files cut into segments, what a kill leaves behind, and recording onto a full disk.
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include <cctype>
#include <chrono>
#include <functional>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "recorder_process.h"

namespace {

using rectest::ChannelSummary;
using rectest::Probe;
using rectest::RecorderProcess;
using rectest::TempFolder;

constexpr int kRunTimeoutMs = 40000;

std::vector<std::string> Args(std::vector<std::string> args, const TempFolder& out) {
  args.insert(args.end(), {"--out", out.path()});
  return args;
}

// A final segment name: chNN-YYYYMMDDTHHMMSSZ.mkv or .263.
bool IsSegmentName(const std::string& name, int channel, const char* extension) {
  char prefix[8];
  std::snprintf(prefix, sizeof prefix, "ch%02d-", channel);
  // The shape of "ch01-20261209T061500Z.mkv": # a digit, the rest as it stands.
  const std::string shape = std::string("ch##-20######T######Z.") + extension;
  if (name.size() != shape.size() || name.rfind(prefix, 0) != 0) return false;
  for (std::size_t i = 0; i < shape.size(); ++i) {
    const bool digit = std::isdigit(static_cast<unsigned char>(name[i])) != 0;
    if (shape[i] == '#' ? !digit : name[i] != shape[i]) return false;
  }
  return true;
}

long long FileSize(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : -1;
}

struct RateCase {
  const char* name;
  int intervalMs;
  int seconds;
};

class RecorderMatroska : public ::testing::TestWithParam<RateCase> {};

// The file's frame count, duration and frame rate are those of the frames that arrived, and a
// seek into its middle lands on a key frame.
TEST_P(RecorderMatroska, TimeStampsGiveFramesDurationRateAndSeeking) {
  const RateCase& rate = GetParam();
  TempFolder out;
  RecorderProcess rec(Args({"--duration", std::to_string(rate.seconds), "--channels", "1",
                            "--interval", std::to_string(rate.intervalMs)},
                           out));
  ASSERT_EQ(rec.Wait(kRunTimeoutMs), 0) << rec.out() << rec.err();
  const std::string json = rectest::ReadFile(out / "summary.json");
  const auto channels = rectest::ReadChannelSummaries(json);
  ASSERT_EQ(channels.size(), 1u);
  const ChannelSummary& c = channels[0];
  ASSERT_EQ(c.segments.size(), 1u) << "one file within the default segment length";
  const std::string file = out / c.file;
  EXPECT_TRUE(IsSegmentName(c.file, 1, "mkv")) << c.file;
  const Probe probe = rectest::ProbeFile(file);
  ASSERT_TRUE(probe.ok) << probe.errors;
  EXPECT_EQ(probe.frames, c.frames);
  // The recorded wall time runs from the first frame to the stop, and so does the file: its
  // last frame lasts until the stop.
  const double wall = nlohmann::json::parse(json).at("duration_s").get<double>() -
                      c.timeToFirstFrameMs / 1000;
  EXPECT_NEAR(probe.seconds, wall, wall * 0.02) << c.frames << " frames";
  EXPECT_NEAR(probe.frameRate, 1000.0 / rate.intervalMs, 0.001);
  // Below 5 fps ffprobe takes the base rate from the codec's clock, not from the container.
  if (rate.intervalMs < 200) {
    EXPECT_NEAR(probe.realFrameRate, 1000.0 / rate.intervalMs, 0.001);
  }

  // ffprobe seeks to the middle: the first packet it reads is a key frame at or before it.
  const std::string middle = std::to_string(probe.seconds / 2);
  std::string packets;
  std::string errors;
  ASSERT_EQ(rectest::RunCapture({"ffprobe", "-v", "error", "-read_intervals", middle + "%+#1",
                                 "-select_streams", "v:0", "-show_entries",
                                 "packet=pts_time,flags", "-of", "csv=p=0", file},
                                &packets, &errors),
            0)
      << errors;
  ASSERT_FALSE(packets.empty());
  const double landed = std::strtod(packets.c_str(), nullptr);
  EXPECT_LE(landed, probe.seconds / 2 + 0.001) << packets;
  EXPECT_NE(packets.substr(0, packets.find('\n')).find(",K"), std::string::npos) << packets;
  // And ffmpeg decodes a picture from there.
  std::string ignored;
  EXPECT_EQ(rectest::RunCapture({"ffmpeg", "-v", "error", "-ss", middle, "-i", file, "-frames:v",
                                 "1", "-f", "null", "-"},
                                &ignored, &errors),
            0)
      << errors;
  EXPECT_TRUE(errors.empty()) << errors;
}

INSTANTIATE_TEST_SUITE_P(Rates, RecorderMatroska,
                         ::testing::Values(RateCase{"At25fps", 40, 3},
                                           RateCase{"At1fps", 1000, 6}),
                         [](const ::testing::TestParamInfo<RateCase>& info) {
                           return std::string(info.param.name);
                         });

class RecorderSegments : public ::testing::TestWithParam<const char*> {};

// Short segments over a few seconds: several files per channel, named by channel and start,
// each playable, their frames adding up to the channel's, nothing temporary left.
TEST_P(RecorderSegments, CutsFilesAtKeyFramesAfterTheSegmentLength) {
  const std::string format = GetParam();
  const char* extension = format == "mkv" ? "mkv" : "263";
  TempFolder out;
  RecorderProcess rec(Args({"--duration", "5", "--channels", "1,2", "--segment-seconds", "2",
                            "--format", format},
                           out));
  ASSERT_EQ(rec.Wait(kRunTimeoutMs), 0) << rec.out() << rec.err();
  const auto channels = rectest::ReadChannelSummaries(rectest::ReadFile(out / "summary.json"));
  ASSERT_EQ(channels.size(), 2u);
  for (const ChannelSummary& c : channels) {
    EXPECT_GE(c.segments.size(), 2u) << "channel " << c.channel;
    long frames = 0;
    std::string previous;
    for (const auto& segment : c.segments) {
      EXPECT_TRUE(IsSegmentName(segment.file, c.channel, extension)) << segment.file;
      EXPECT_LT(previous, segment.file) << "names in the order of their start";
      previous = segment.file;
      const Probe probe = rectest::ProbeFile(out / segment.file);
      EXPECT_TRUE(probe.ok) << segment.file << ": " << probe.errors;
      EXPECT_EQ(probe.frames, segment.frames) << segment.file;
      EXPECT_EQ(FileSize(out / segment.file), segment.bytes) << segment.file;
      frames += segment.frames;
    }
    EXPECT_EQ(frames, c.frames) << "channel " << c.channel;
  }
  for (const std::string& name : out.Files(true)) EXPECT_NE(name[0], '.') << name;
}

INSTANTIATE_TEST_SUITE_P(Formats, RecorderSegments, ::testing::Values("mkv", "h263"));

// Waits until the folder holds a file whose name passes the check.
bool WaitForFile(const TempFolder& out, const std::function<bool(const std::string&)>& check,
                 int timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (std::chrono::steady_clock::now() < deadline) {
    for (const std::string& name : out.Files(true)) {
      if (check(name)) return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return false;
}

// Killed in the middle of a segment, the recorder leaves only whole files under final names;
// what it was writing stays under its temporary name.
TEST(RecorderKill, EveryFileUnderAFinalNamePlaysAfterSigkill) {
  TempFolder out;
  RecorderProcess rec(Args({"--duration", "0", "--channels", "1,2", "--segment-seconds", "1"},
                           out));
  // A complete segment of each channel: under load one channel may cut later than the other.
  for (int channel : {1, 2}) {
    ASSERT_TRUE(WaitForFile(
        out, [channel](const std::string& n) { return IsSegmentName(n, channel, "mkv"); }, 15000))
        << rec.out() << rec.err();
  }
  // The next segments are under way: their temporary files exist and are growing.
  ASSERT_TRUE(WaitForFile(out, [](const std::string& n) { return n[0] == '.'; }, 5000));
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  rec.Signal(SIGKILL);
  EXPECT_EQ(rec.Wait(kRunTimeoutMs), -1);
  int finals = 0;
  for (const std::string& name : out.Files()) {
    if (name == "summary.json") continue;
    ASSERT_TRUE(IsSegmentName(name, 1, "mkv") || IsSegmentName(name, 2, "mkv")) << name;
    const Probe probe = rectest::ProbeFile(out / name);
    EXPECT_TRUE(probe.ok) << name << ": " << probe.errors;
    EXPECT_GT(probe.frames, 0) << name;
    ++finals;
  }
  EXPECT_GE(finals, 2);
}

// The bytes the summary states are the bytes on the disk, file by file and per channel.
void ExpectBytesOnDisk(const TempFolder& out, const std::vector<ChannelSummary>& channels) {
  for (const ChannelSummary& c : channels) {
    long long listed = 0;
    for (const auto& segment : c.segments) {
      listed += segment.bytes;
      const long long size = FileSize(out / segment.file);
      // Retention may have deleted it since, as the summary says; a file that is there has
      // the stated size.
      EXPECT_EQ(segment.onDisk, size >= 0) << segment.file;
      if (size < 0) continue;
      EXPECT_EQ(size, segment.bytes) << segment.file;
      const Probe probe = rectest::ProbeFile(out / segment.file);
      EXPECT_TRUE(probe.ok) << segment.file << ": " << probe.errors;
      EXPECT_EQ(probe.frames, segment.frames) << segment.file;
    }
    EXPECT_EQ(listed, c.bytes) << "channel " << c.channel;
  }
}

long Count(const std::string& text, const std::string& what) {
  long n = 0;
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
    ++n;
  }
  return n;
}

// A file size limit: the first file fails when it reaches it, which is reported while the
// recorder runs; the next file starts at a key frame, and writing works again.
TEST(RecorderFullDisk, FileSizeLimitIsReportedAtOnceAndTheNextFileIsWritten) {
  TempFolder out;
  RecorderProcess rec(Args({"--duration", "0", "--channels", "1", "--resolution", "4cif"}, out),
                      {}, 300 * 1024);
  ASSERT_TRUE(rec.WaitForError("failed: File too large", 15000)) << rec.err();
  ASSERT_TRUE(rec.WaitForError(" again", 10000)) << rec.err();
  rec.Signal(SIGTERM);
  EXPECT_EQ(rec.Wait(kRunTimeoutMs), 1) << rec.err();
  const auto channels = rectest::ReadChannelSummaries(rectest::ReadFile(out / "summary.json"));
  ASSERT_EQ(channels.size(), 1u);
  EXPECT_GE(channels[0].segments.size(), 2u);
  EXPECT_GE(channels[0].writeFailures, 1);
  EXPECT_GT(channels[0].framesDropped, 0);
  // One line per failure, none for every frame dropped.
  EXPECT_EQ(Count(rec.err(), "failed: File too large"), channels[0].writeFailures) << rec.err();
  ExpectBytesOnDisk(out, channels);
}

// A small file system of its own, mounted over a test folder in a mount namespace of this
// test process only (the recorder inherits it); skipped where mounting is not allowed.
class RecorderSmallDisk : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::unshare(CLONE_NEWNS) != 0 ||
        ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
      GTEST_SKIP() << "no private mount namespace here";
    }
    if (::mount("tmpfs", out_.path().c_str(), "tmpfs", 0, "size=640k") != 0) {
      GTEST_SKIP() << "cannot mount a tmpfs here";
    }
    mounted_ = true;
  }
  void TearDown() override {
    if (!mounted_) return;
    // The files go with the file system.
    ::umount2(out_.path().c_str(), MNT_DETACH);
  }

  TempFolder out_;
  bool mounted_ = false;
};

TEST_F(RecorderSmallDisk, FullDiskIsReportedOncePerChannelWhileRecording) {
  RecorderProcess rec(Args({"--duration", "0", "--channels", "1,2", "--resolution", "4cif"},
                           out_));
  ASSERT_TRUE(rec.WaitForError("failed: No space left on device", 15000)) << rec.err();
  std::this_thread::sleep_for(std::chrono::seconds(2));
  rec.Signal(SIGTERM);
  EXPECT_EQ(rec.Wait(kRunTimeoutMs), 1) << rec.err();
  const auto channels = rectest::ReadChannelSummaries(rectest::ReadFile(out_ / "summary.json"));
  ASSERT_EQ(channels.size(), 2u);
  // Cutting a failed file back frees a little room, so a channel may write again for a
  // moment and fail anew: each failure is one line, and another one comes only after the
  // line that says writing works again.
  for (const ChannelSummary& c : channels) {
    char name[8];
    std::snprintf(name, sizeof name, "ch%02d-", c.channel);
    std::string events;  // F failed, A again, in the order reported
    std::size_t start = 0;
    for (std::size_t end; (end = rec.err().find('\n', start)) != std::string::npos;
         start = end + 1) {
      const std::string line = rec.err().substr(start, end - start);
      if (line.find(std::string("writing ") + name) == std::string::npos) continue;
      if (line.find(" failed: ") != std::string::npos) events += 'F';
      if (line.size() > 6 && line.compare(line.size() - 6, 6, " again") == 0) events += 'A';
    }
    EXPECT_EQ(static_cast<int>(Count(events, "F")), c.writeFailures) << rec.err();
    EXPECT_EQ(Count(events, "FF"), 0) << "failure reported twice in a row:\n" << rec.err();
    EXPECT_TRUE(events.empty() || events[0] == 'F') << rec.err();
    EXPECT_EQ(Count(events, "AA"), 0) << rec.err();
  }
  EXPECT_GE(channels[0].writeFailures + channels[1].writeFailures, 1);
  EXPECT_GT(channels[0].framesDropped + channels[1].framesDropped, 0);
  ExpectBytesOnDisk(out_, channels);
}

// The first files fill the disk before any is complete, so there is nothing to delete yet;
// from then on retention deletes old files to make room for the new ones.
TEST_F(RecorderSmallDisk, RetentionMakesRoomAndRecordingGoesOn) {
  RecorderProcess rec(Args({"--duration", "0", "--channels", "1,2", "--resolution", "4cif",
                            "--segment-seconds", "4", "--max-gib", "0.0005"},
                           out_));
  ASSERT_TRUE(rec.WaitForError("failed: No space left on device", 15000)) << rec.err();
  ASSERT_TRUE(rec.WaitForError(" again", 15000)) << rec.err();
  rec.Signal(SIGTERM);
  rec.Wait(kRunTimeoutMs);
  const auto channels = rectest::ReadChannelSummaries(rectest::ReadFile(out_ / "summary.json"));
  ASSERT_EQ(channels.size(), 2u) << rec.err();
  long segments = 0;
  for (const ChannelSummary& c : channels) segments += static_cast<long>(c.segments.size());
  // More was recorded than the disk holds: old segments made room for new ones.
  long long listed = 0;
  for (const ChannelSummary& c : channels) listed += c.bytes;
  EXPECT_GT(listed, 640 * 1024) << rec.err();
  EXPECT_GT(segments, 2);
  long deleted = 0;
  for (const ChannelSummary& c : channels) {
    for (const auto& segment : c.segments) deleted += segment.onDisk ? 0 : 1;
  }
  EXPECT_GT(deleted, 0) << "retention made room by deleting complete segments";
  ExpectBytesOnDisk(out_, channels);
}

}  // namespace
