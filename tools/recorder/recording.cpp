#include "recording.h"

#include <unistd.h>

#include <algorithm>
#include <cinttypes>
#include <cstring>
#include <ctime>

namespace recorder {

namespace {

constexpr std::uint32_t FourCC(char a, char b, char c, char d) {
  return static_cast<std::uint32_t>(static_cast<unsigned char>(a)) |
         static_cast<std::uint32_t>(static_cast<unsigned char>(b)) << 8 |
         static_cast<std::uint32_t>(static_cast<unsigned char>(c)) << 16 |
         static_cast<std::uint32_t>(static_cast<unsigned char>(d)) << 24;
}

// The time stamps of the files: milliseconds on the monotonic clock.
std::int64_t Milliseconds(Clock::time_point t) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count();
}

}  // namespace

bool IsKeyFrame(std::uint32_t fourcc) {
  return fourcc == FourCC('D', 'I', 'V', 'X') || fourcc == FourCC('D', 'I', 'V', 'D');
}

// ---- allocator ----

RecorderAllocator::~RecorderAllocator() = default;

CVideoMessage* RecorderAllocator::AllocVideoMsg(std::uint32_t /*fourcc*/, std::int32_t bufferSize,
                                                const char* /*owner*/) {
  // A frame larger than this is not a frame of any supported resolution.
  constexpr std::int32_t kLargest = 16 * 1024 * 1024;
  if (bufferSize <= 0 || bufferSize > kLargest) return nullptr;
  const auto size = static_cast<std::size_t>(bufferSize);
  std::unique_ptr<RecorderMessage> message;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = std::find_if(kept_.begin(), kept_.end(),
                                 [size](const auto& kept) { return kept->size() == size; });
    if (it != kept_.end()) {
      message = std::move(*it);
      kept_.erase(it);
    }
  }
  try {
    if (message) {
      message->Reuse();
    } else {
      message = std::make_unique<RecorderMessage>(size);
    }
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
  outstanding_.fetch_add(1);
  return message.release();
}

void RecorderAllocator::ReleaseVideoMsg(CVideoMessage* message) {
  if (!message) return;
  outstanding_.fetch_sub(1);
  std::unique_ptr<RecorderMessage> owned(dynamic_cast<RecorderMessage*>(message));
  if (!owned) {
    delete message;  // not one of ours; nothing to keep
    return;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  if (kept_.size() < kKeptMessages) kept_.push_back(std::move(owned));
}

// ---- console ----

void Console::Print(std::FILE* stream, const std::string& line) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (terminal_ && drawn_ > 0) {
    // Clear the block, print the line where it was, draw the block again below.
    std::fprintf(stdout, "\033[%zuA\r\033[J", drawn_);
    std::fflush(stdout);
    drawn_ = 0;
  }
  std::fprintf(stream, "%s\n", line.c_str());
  std::fflush(stream);
  if (terminal_) DrawBlock();
}

void Console::Status(const std::vector<std::string>& lines) {
  std::lock_guard<std::mutex> lock(mutex_);
  block_ = lines;
  if (terminal_) {
    if (drawn_ > 0) std::fprintf(stdout, "\033[%zuA", drawn_);
    DrawBlock();
    return;
  }
  for (const std::string& line : lines) std::fprintf(stdout, "%s\n", line.c_str());
  std::fflush(stdout);
}

void Console::EndStatus() {
  std::lock_guard<std::mutex> lock(mutex_);
  block_.clear();
  drawn_ = 0;
}

void Console::DrawBlock() {
  for (const std::string& line : block_) std::fprintf(stdout, "\r\033[K%s\n", line.c_str());
  drawn_ = block_.size();
  std::fflush(stdout);
}

// ---- channel record ----

ChannelRecord::ChannelRecord(int channel, int number, RecordSettings settings)
    : channel_(channel), number_(number), settings_(std::move(settings)) {}

ChannelRecord::~ChannelRecord() { CloseFile(Clock::now()); }

bool ChannelRecord::OpenFile() {
  std::lock_guard<std::mutex> lock(mutex_);
  open_ = ::access(settings_.folder.c_str(), W_OK | X_OK) == 0;
  return open_;
}

void ChannelRecord::CountOnly() {
  std::lock_guard<std::mutex> lock(mutex_);
  countOnly_ = true;
}

void ChannelRecord::CloseFile(Clock::time_point end) {
  std::lock_guard<std::mutex> lock(mutex_);
  countOnly_ = false;
  open_ = false;
  if (file_) EndSegment(end);
}

void ChannelRecord::MarkStarted(bool accepted) {
  std::lock_guard<std::mutex> lock(mutex_);
  started_ = accepted;
  startTime_ = Clock::now();
}

bool ChannelRecord::BeginSegment(const RecorderMessage& frame) {
  // Named after the wall clock, in UTC; a name that is taken (a new file within the same
  // second after a failure, or a restart) moves on by a second rather than overwrite.
  std::time_t start = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
  const char* extension = settings_.format == Format::kMkv ? "mkv" : "263";
  std::string name = SegmentName(settings_.stem, start, extension);
  const auto taken = [this](const std::string& n) {
    return ::access((settings_.folder + "/" + n).c_str(), F_OK) == 0 ||
           ::access((settings_.folder + "/." + n + ".part").c_str(), F_OK) == 0;
  };
  while (taken(name)) name = SegmentName(settings_.stem, ++start, extension);
  MediaFileParams params;
  params.format = settings_.format;
  params.width = frame.width();
  params.height = frame.height();
  params.frameIntervalMs = settings_.frameIntervalMs;
  if (Retention* retention = settings_.retention) {
    params.makeRoom = [retention] { return retention->MakeRoom(); };
  }
  int error = 0;
  file_ = MediaFile::Open(settings_.folder, name, params, &error);
  if (!file_) {
    WriteFailed(error, name);
    return false;
  }
  segmentStart_ = Clock::now();
  return true;
}

void ChannelRecord::EndSegment(Clock::time_point end) {
  const MediaFile::Closed closed = file_->Close(Milliseconds(end));
  // Frames after the last commit point are not in the file when writing failed.
  const std::uint64_t lost = file_->frames() - closed.frames;
  stats_.frames -= lost;
  stats_.droppedFrames += lost;
  if (closed.error) WriteFailed(closed.error, file_->name());
  if (closed.kept) {
    segments_.push_back({file_->name(), closed.frames, closed.bytes});
    completeBytes_ += closed.bytes;
    ++stats_.segments;
  }
  file_.reset();
  if (settings_.retention) settings_.retention->Apply();
}

void ChannelRecord::WriteFailed(int error, const std::string& file) {
  stats_.writeFailed = true;
  if (failing_) return;
  failing_ = true;
  ++stats_.writeFailures;
  if (settings_.console) {
    settings_.console->Print(stderr, "veltrane-rec: writing " + file +
                                         " failed: " + std::strerror(error));
  }
}

bool ChannelRecord::OnFrame(CVideoMessage* message) {
  // Only our allocator's messages can arrive here.
  auto* m = dynamic_cast<RecorderMessage*>(message);
  if (!m || !m->finished()) return false;
  const bool key = IsKeyFrame(m->fourcc());
  const auto now = Clock::now();
  std::lock_guard<std::mutex> lock(mutex_);
  if (!open_ && !countOnly_) return false;
  // A player needs an intra picture before anything else.
  if (!stats_.haveFirstFrame && !key) {
    ++stats_.skippedBeforeKeyFrame;
    return true;
  }
  if (!stats_.haveFirstFrame) {
    stats_.haveFirstFrame = true;
    stats_.firstFrame = now;
  }
  stats_.lastFrame = now;
  const std::size_t length = m->length();
  stats_.bytesReceived += length;
  if (!countOnly_ && !WriteFrame(*m, key, now)) {
    ++stats_.droppedFrames;
    return true;
  }
  ++stats_.frames;
  if (key) ++stats_.keyFrames;
  return true;
}

bool ChannelRecord::WriteFrame(const RecorderMessage& frame, bool key, Clock::time_point now) {
  if (file_ && key && now - segmentStart_ >= std::chrono::seconds(settings_.segmentSeconds)) {
    EndSegment(now);
  }
  // After a failure the next file starts at a key frame, as the first one did.
  if (!file_ && (!key || !BeginSegment(frame))) return false;
  if (const int error = file_->Write(frame.data(), frame.length(), key, Milliseconds(now))) {
    WriteFailed(error, file_->name());
    EndSegment(now);
    return false;
  }
  if (failing_ && file_->committedFrames() > 0) {
    failing_ = false;
    if (settings_.console) {
      settings_.console->Print(stderr, "veltrane-rec: writing " + file_->name() + " again");
    }
  }
  return true;
}

void ChannelRecord::OnLost() {
  std::lock_guard<std::mutex> lock(mutex_);
  ++stats_.lostVideo;
}

ChannelRecord::Stats ChannelRecord::stats() const {
  std::lock_guard<std::mutex> lock(mutex_);
  Stats s = stats_;
  if (!countOnly_) s.bytes = completeBytes_ + (file_ ? file_->bytes() : 0);
  else s.bytes = s.bytesReceived;
  return s;
}

std::vector<Segment> ChannelRecord::segments() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return segments_;
}

std::string ChannelRecord::currentFile() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return file_ ? file_->name() : std::string();
}

std::vector<ChannelRecord*> Recording::All() const {
  std::vector<ChannelRecord*> all;
  for (const auto& c : channels_) {
    if (c) all.push_back(c.get());
  }
  return all;
}

// ---- alarm inputs ----

void AlarmLog::OnInputChanged(int deviceInput, int state) {
  const int input = firstInput_ + deviceInput;
  const double seconds = std::chrono::duration<double>(Clock::now() - start_).count();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    events_.push_back({seconds, input + 1, state});
    inputStates_[deviceInput + 1] = state == 2;
  }
  char line[128];
  std::snprintf(line, sizeof line, "[%7.2f s] alarm input %d %s", seconds, input + 1,
                state == 2 ? "active" : state == 1 ? "inactive" : "unknown");
  console_.Print(stdout, line);
}

void AlarmLog::OnConnectionLost() {
  if (closing_) return;
  const double seconds = std::chrono::duration<double>(Clock::now() - start_).count();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    events_.push_back({seconds, 0, 0});
  }
  char line[128];
  std::snprintf(line, sizeof line, "[%7.2f s] alarm inputs: connection lost", seconds);
  console_.Print(stdout, line);
}

std::vector<AlarmEvent> AlarmLog::Events() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return events_;
}

std::map<int, bool> AlarmLog::InputStates() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return inputStates_;
}

// ---- debug lines ----

std::string DebugLines::Mask(std::string text) const {
  if (secret_.empty()) return text;
  for (std::size_t at = text.find(secret_); at != std::string::npos;
       at = text.find(secret_, at + 3)) {
    text.replace(at, secret_.size(), "***");
  }
  return text;
}

void DebugLines::OnLine(CDebugInfoIf* info) {
  if (!info) return;
  const int level = info->GetLevel();
  if (level > maxLevel_ || maxLevel_ == 0) return;
  const char* text = info->GetText();
  console_.Print(stderr, std::string("driver: ") + Mask(text ? text : ""));
}

void DebugLines::Note(int level, const std::string& text) {
  if (level > maxLevel_ || maxLevel_ == 0) return;
  console_.Print(stderr, "veltrane-rec: " + text);
}

}  // namespace recorder
