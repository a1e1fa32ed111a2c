// What the recorder hands the driver and what it keeps: video messages and their allocator,
// the files and counters of each channel, the alarm input events, and the console that
// prints status lines, events and driver debug lines without tearing each other.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "media_file.h"
#include "options.h"
#include "retention.h"
#include "veltrane/capture_io.h"
#include "veltrane/host.h"

namespace recorder {

using Clock = std::chrono::steady_clock;

// A frame buffer of the size the driver asked for. The bytes are not cleared: the driver
// writes the frame before it sets the length, and only that length is ever read.
class RecorderMessage final : public CVideoMessage {
 public:
  explicit RecorderMessage(std::size_t size)
      : buffer_(std::make_unique_for_overwrite<unsigned char[]>(size)), size_(size) {}
  // Ready for another frame of the same buffer size.
  void Reuse() {
    length_ = 0;
    fourcc_ = 0;
    width_ = 0;
    height_ = 0;
    finished_ = false;
  }
  int MessageOperation01() override { return 0; }
  unsigned char* GetBuffer() override { return buffer_.get(); }
  int MessageOperation03() override { return 0; }
  void SetDataLength(std::uint32_t bytes) override { length_ = bytes; }
  void Finish() override { finished_ = true; }
  int MessageOperation06() override { return 0; }
  int MessageOperation07() override { return 0; }
  int MessageOperation08() override { return 0; }
  int MessageOperation09() override { return 0; }
  void SetFourCC(std::uint32_t code) override { fourcc_ = code; }
  int MessageOperation11() override { return 0; }
  void SetHeight(std::int32_t height) override { height_ = height; }
  int MessageOperation13() override { return 0; }
  void SetWidth(std::int32_t width) override { width_ = width; }
  int MessageOperation15() override { return 0; }
  void SetSizeClass(std::int32_t) override {}

  const unsigned char* data() const { return buffer_.get(); }
  std::size_t size() const { return size_; }
  // The data length, never more than the buffer holds.
  std::size_t length() const { return length_ < size_ ? length_ : size_; }
  std::uint32_t fourcc() const { return fourcc_; }
  bool finished() const { return finished_; }
  std::int32_t width() const { return width_; }
  std::int32_t height() const { return height_; }

 private:
  std::unique_ptr<unsigned char[]> buffer_;
  std::size_t size_;
  std::uint32_t length_ = 0;
  std::uint32_t fourcc_ = 0;
  std::int32_t width_ = 0;
  std::int32_t height_ = 0;
  bool finished_ = false;
};

class RecorderAllocator final : public CVideoAllocator {
 public:
  // Room for the kept messages up front, so that a release never allocates.
  RecorderAllocator() { kept_.reserve(kKeptMessages); }
  ~RecorderAllocator() override;
  int AllocatorOperation01() override { return 0; }
  CVideoMessage* AllocVideoMsg(std::uint32_t fourcc, std::int32_t bufferSize,
                               const char* owner) override;
  int AllocatorOperation03() override { return 0; }
  int AllocatorOperation04() override { return 0; }
  int AllocatorOperation05() override { return 0; }
  void ReleaseVideoMsg(CVideoMessage* message) override;
  int Outstanding() const { return outstanding_.load(); }

 private:
  // Released messages kept for the next frames: every channel asks for one of a few buffer
  // sizes 25 times a second, and a fresh buffer each time costs an allocation and, for the
  // largest, page faults. One per channel is plenty.
  static constexpr std::size_t kKeptMessages = 64;
  std::atomic<int> outstanding_{0};
  std::mutex mutex_;
  std::vector<std::unique_ptr<RecorderMessage>> kept_;  // under mutex_
};

// Serialises everything written to the terminal. On a terminal the status block is redrawn
// in place and other lines are printed above it.
class Console {
 public:
  explicit Console(bool terminal) : terminal_(terminal) {}
  bool terminal() const { return terminal_; }
  // One line to stream (stdout or stderr), above the status block.
  void Print(std::FILE* stream, const std::string& line);
  // Replaces the status block (terminal) or prints the lines (otherwise).
  void Status(const std::vector<std::string>& lines);
  // Ends the in-place block so that later output starts below it.
  void EndStatus();

 private:
  void DrawBlock();
  std::mutex mutex_;
  const bool terminal_;
  std::vector<std::string> block_;
  std::size_t drawn_ = 0;
};

// Where and how the frames of a channel are written.
struct RecordSettings {
  std::string folder;
  std::string stem;  // "ch01": the start of every file name of the channel
  Format format = Format::kMkv;
  // A new file starts at the first key frame after this many seconds.
  int segmentSeconds = 600;
  int frameIntervalMs = 40;
  // Shared by the channels of the folder; none = recordings are kept.
  Retention* retention = nullptr;
  // Write failures are reported here as they happen.
  Console* console = nullptr;
};

// A complete file of a channel, under its final name.
struct Segment {
  std::string file;
  std::uint64_t frames = 0;
  std::uint64_t bytes = 0;
};

// The frames of one channel, from the first key frame on, written to a file per segment:
// <stem>-<UTC start>.mkv (or .263).
class ChannelRecord {
 public:
  struct Stats {
    std::uint64_t frames = 0;     // in the files (counted only, with CountOnly)
    std::uint64_t keyFrames = 0;
    std::uint64_t bytes = 0;      // in the files, container included (received, with CountOnly)
    std::uint64_t bytesReceived = 0;
    std::uint64_t skippedBeforeKeyFrame = 0;
    // After the first key frame, frames that are in no file: writing failed.
    std::uint64_t droppedFrames = 0;
    int writeFailures = 0;  // times writing failed, each reported once
    int segments = 0;       // complete files
    int lostVideo = 0;
    bool haveFirstFrame = false;
    Clock::time_point firstFrame{};
    Clock::time_point lastFrame{};
    bool writeFailed = false;
  };

  // channel: the driver's channel on its device, from 0; number: the recording's channel
  // number, from 1, that files, summary and progress lines show.
  ChannelRecord(int channel, int number, RecordSettings settings);
  ~ChannelRecord();
  ChannelRecord(const ChannelRecord&) = delete;
  ChannelRecord& operator=(const ChannelRecord&) = delete;

  // Frames are taken from now on; false when the folder cannot be written. Files are opened
  // at key frames.
  bool OpenFile();
  // Frames are counted as if written, but go nowhere: no file is opened.
  void CountOnly();
  // Completes the file being written, its last frame lasting until end at the most; later
  // frames are refused.
  void CloseFile(Clock::time_point end);
  int channel() const { return channel_; }
  int number() const { return number_; }
  const std::string& name() const { return settings_.stem; }
  const std::string& folder() const { return settings_.folder; }

  void MarkStarted(bool accepted);
  bool started() const { return started_; }
  Clock::time_point startTime() const { return startTime_; }
  // Called on library threads; true = frame taken.
  bool OnFrame(CVideoMessage* message);
  void OnLost();
  Stats stats() const;
  // The complete files, oldest first.
  std::vector<Segment> segments() const;
  // The file being written; empty when none is.
  std::string currentFile() const;

 private:
  bool BeginSegment(const RecorderMessage& frame);
  // Frames that go nowhere, or into a file that failed, make it false.
  bool WriteFrame(const RecorderMessage& frame, bool key, Clock::time_point now);
  void EndSegment(Clock::time_point end);
  void WriteFailed(int error, const std::string& file);

  const int channel_;  // from 0
  const int number_;   // from 1
  const RecordSettings settings_;
  mutable std::mutex mutex_;
  bool open_ = false;
  bool countOnly_ = false;
  std::unique_ptr<MediaFile> file_;
  Clock::time_point segmentStart_{};
  // Writing failed and has not worked again since.
  bool failing_ = false;
  std::uint64_t completeBytes_ = 0;
  std::vector<Segment> segments_;
  Stats stats_;
  bool started_ = false;
  Clock::time_point startTime_{};
};

struct AlarmEvent {
  double seconds;  // since the recording started
  int input;       // from 1
  int state;       // 1 inactive, 2 active; 0 = connection lost
};

class AlarmLog final : public corvane::ICaptureIOEventSink {
 public:
  // Inputs are reported as firstInput + the device's input (from 1).
  AlarmLog(Console& console, Clock::time_point start, int firstInput = 0)
      : console_(console), start_(start), firstInput_(firstInput) {}
  void OnInputChanged(int input, int state) override;
  void OnConnectionLost() override;
  // From now on a lost connection is the recorder's own doing and is not reported.
  void Closing() { closing_ = true; }
  std::vector<AlarmEvent> Events() const;
  // The last state of each input read so far, by the device's input (from 1): true = active.
  std::map<int, bool> InputStates() const;

 private:
  Console& console_;
  const Clock::time_point start_;
  const int firstInput_;
  mutable std::mutex mutex_;
  std::vector<AlarmEvent> events_;
  std::map<int, bool> inputStates_;
  std::atomic<bool> closing_{false};
};

// Driver debug lines: printed up to a level, with the password masked.
class DebugLines {
 public:
  DebugLines(Console& console, int maxLevel, std::string secret)
      : console_(console), maxLevel_(maxLevel), secret_(std::move(secret)) {}
  void OnLine(CDebugInfoIf* info);
  // A line of the recorder's own, shown under the same level rule as the driver's.
  void Note(int level, const std::string& text);
  std::string Mask(std::string text) const;

 private:
  Console& console_;
  const int maxLevel_;
  const std::string secret_;
};

// Frames of channels reach their ChannelRecord through this table (index = channel).
class Recording {
 public:
  Recording() : channels_(64) {}
  void Add(std::unique_ptr<ChannelRecord> record) {
    const int c = record->channel();
    channels_[static_cast<std::size_t>(c)] = std::move(record);
  }
  ChannelRecord* Find(std::uint32_t channel) const {
    return channel < channels_.size() ? channels_[channel].get() : nullptr;
  }
  std::vector<ChannelRecord*> All() const;

 private:
  std::vector<std::unique_ptr<ChannelRecord>> channels_;
};

// "DIVX" and "DIVD" mark frames that begin with an intra picture.
bool IsKeyFrame(std::uint32_t fourcc);

}  // namespace recorder
