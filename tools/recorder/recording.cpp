#include "recording.h"

#include <algorithm>
#include <cinttypes>

namespace recorder {

namespace {

constexpr std::size_t kFileBufferBytes = 256 * 1024;

constexpr std::uint32_t FourCC(char a, char b, char c, char d) {
  return static_cast<std::uint32_t>(static_cast<unsigned char>(a)) |
         static_cast<std::uint32_t>(static_cast<unsigned char>(b)) << 8 |
         static_cast<std::uint32_t>(static_cast<unsigned char>(c)) << 16 |
         static_cast<std::uint32_t>(static_cast<unsigned char>(d)) << 24;
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

ChannelRecord::ChannelRecord(int channel, int number, std::string path)
    : channel_(channel), number_(number), path_(std::move(path)) {}

ChannelRecord::~ChannelRecord() { CloseFile(); }

bool ChannelRecord::OpenFile() {
  std::lock_guard<std::mutex> lock(mutex_);
  file_ = std::fopen(path_.c_str(), "wb");
  // A 4CIF frame is larger than stdio's default buffer, so each one would cost its own
  // write calls; with 64 channels at 25 fps that is most of the recorder's own work.
  if (file_) std::setvbuf(file_, nullptr, _IOFBF, kFileBufferBytes);
  return file_ != nullptr;
}

void ChannelRecord::CountOnly() {
  std::lock_guard<std::mutex> lock(mutex_);
  countOnly_ = true;
}

void ChannelRecord::CloseFile() {
  std::lock_guard<std::mutex> lock(mutex_);
  countOnly_ = false;
  if (!file_) return;
  if (std::fclose(file_) != 0) stats_.writeFailed = true;
  file_ = nullptr;
}

void ChannelRecord::MarkStarted(bool accepted) {
  std::lock_guard<std::mutex> lock(mutex_);
  started_ = accepted;
  startTime_ = Clock::now();
}

bool ChannelRecord::OnFrame(CVideoMessage* message) {
  // Only our allocator's messages can arrive here.
  auto* m = dynamic_cast<RecorderMessage*>(message);
  if (!m || !m->finished()) return false;
  const bool key = IsKeyFrame(m->fourcc());
  const auto now = Clock::now();
  std::lock_guard<std::mutex> lock(mutex_);
  if (!file_ && !countOnly_) return false;
  // A player needs an intra picture before anything else.
  if (stats_.frames == 0 && !key) {
    ++stats_.skippedBeforeKeyFrame;
    return true;
  }
  const std::size_t length = m->length();
  if (file_ && length > 0 && std::fwrite(m->data(), 1, length, file_) != length)
    stats_.writeFailed = true;
  if (!stats_.haveFirstFrame) {
    stats_.haveFirstFrame = true;
    stats_.firstFrame = now;
  }
  stats_.lastFrame = now;
  ++stats_.frames;
  if (key) ++stats_.keyFrames;
  stats_.bytes += length;
  return true;
}

void ChannelRecord::OnLost() {
  std::lock_guard<std::mutex> lock(mutex_);
  ++stats_.lostVideo;
}

ChannelRecord::Stats ChannelRecord::stats() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return stats_;
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
