#include "media_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <mutex>
#include <vector>

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/log.h>
}

namespace recorder {

namespace {

// Large enough that a 4CIF key frame costs one write call, not several.
constexpr int kWriteBufferBytes = 256 * 1024;
// Output reaches the disk at least this often, which bounds what a failure can cost.
constexpr std::int64_t kCommitMs = 1000;

// libavformat's own messages would tear the status block; failures are reported by the
// recorder with their errno text instead.
void QuietLibraries() {
  static std::once_flag once;
  std::call_once(once, [] { av_log_set_level(AV_LOG_QUIET); });
}

}  // namespace

bool IsLackOfSpace(int error) { return error == ENOSPC || error == EFBIG || error == EDQUOT; }

// ---- containers ----

class MediaFile::Container {
 public:
  virtual ~Container() = default;
  // 0 or an errno value, for each of these.
  // durationMs 0: until the next frame.
  virtual int Frame(const unsigned char* data, std::size_t length, bool key, std::int64_t pts,
                    std::int64_t durationMs) = 0;
  // Everything given so far goes to the file.
  virtual int Flush() = 0;
  // The file's closing part (index, duration), then Flush.
  virtual int Finish() = 0;
  virtual std::uint64_t Buffered() const = 0;
};

// Matroska written through our own I/O callbacks: they see every byte, so that a failed
// write is known with its errno value and the file's size is exact.
class MediaFile::Matroska final : public Container {
 public:
  explicit Matroska(MediaFile& file) : file_(file) {}
  ~Matroska() override {
    if (context_) avformat_free_context(context_);
    if (io_) {
      av_freep(&io_->buffer);
      avio_context_free(&io_);
    }
    av_packet_free(&packet_);
  }

  int Begin() {
    const MediaFileParams& p = file_.params_;
    auto* buffer = static_cast<unsigned char*>(av_malloc(kWriteBufferBytes));
    if (!buffer) return ENOMEM;
    io_ = avio_alloc_context(buffer, kWriteBufferBytes, 1, this, nullptr, &Write, &Seek);
    packet_ = av_packet_alloc();
    if (!io_ || !packet_) {
      if (!io_) av_free(buffer);
      return ENOMEM;
    }
    if (avformat_alloc_output_context2(&context_, nullptr, "matroska", nullptr) < 0) return ENOMEM;
    context_->pb = io_;
    context_->flags |= AVFMT_FLAG_CUSTOM_IO;
    AVStream* stream = avformat_new_stream(context_, nullptr);
    if (!stream) return ENOMEM;
    stream->time_base = AVRational{1, 1000};
    // The rate the frames were asked for: written as the track's default frame duration, it is
    // what players and ffprobe report, whatever the jitter of the arrival times.
    const int interval = p.frameIntervalMs > 0 ? p.frameIntervalMs : 40;
    av_reduce(&stream->avg_frame_rate.num, &stream->avg_frame_rate.den, 1000, interval, 1000000);
    stream->r_frame_rate = stream->avg_frame_rate;
    AVCodecParameters* codec = stream->codecpar;
    codec->codec_type = AVMEDIA_TYPE_VIDEO;
    codec->codec_id = AV_CODEC_ID_H263;
    codec->width = p.width;
    codec->height = p.height;
    return Result(avformat_write_header(context_, nullptr));
  }

  int Frame(const unsigned char* data, std::size_t length, bool key, std::int64_t pts,
            std::int64_t durationMs) override {
    packet_->data = const_cast<unsigned char*>(data);
    packet_->size = static_cast<int>(length);
    packet_->pts = pts;
    packet_->dts = pts;
    // Only the last frame needs one: the others last until the next, and the muxer takes the
    // file's duration from the end of the last.
    packet_->duration = durationMs;
    packet_->stream_index = 0;
    packet_->flags = key ? AV_PKT_FLAG_KEY : 0;
    const int result = av_write_frame(context_, packet_);
    packet_->data = nullptr;
    packet_->size = 0;
    return Result(result);
  }

  int Flush() override {
    // No packet: the muxer ends its cluster, so that what reaches the disk is whole.
    const int result = av_write_frame(context_, nullptr);
    avio_flush(io_);
    return Result(result);
  }

  int Finish() override {
    const int result = av_write_trailer(context_);
    avio_flush(io_);
    return Result(result);
  }

  std::uint64_t Buffered() const override {
    return io_ ? static_cast<std::uint64_t>(io_->buf_ptr - io_->buffer) : 0;
  }

 private:
  // Our errno value when our callbacks failed, else what the library said.
  int Result(int result) const {
    if (file_.error_) return file_.error_;
    if (io_ && io_->error < 0) return AVUNERROR(io_->error);
    return result < 0 ? AVUNERROR(result) : 0;
  }

#if LIBAVFORMAT_VERSION_MAJOR >= 61
  static int Write(void* opaque, const std::uint8_t* data, int size) {
#else
  static int Write(void* opaque, std::uint8_t* data, int size) {
#endif
    auto* self = static_cast<Matroska*>(opaque);
    const int error = self->file_.WriteAt(data, static_cast<std::size_t>(size));
    return error ? AVERROR(error) : size;
  }

  static std::int64_t Seek(void* opaque, std::int64_t offset, int whence) {
    MediaFile& file = static_cast<Matroska*>(opaque)->file_;
    std::int64_t to = offset;
    switch (whence & ~AVSEEK_FORCE) {
      case AVSEEK_SIZE: return static_cast<std::int64_t>(file.end_);
      case SEEK_SET: break;
      case SEEK_CUR: to += static_cast<std::int64_t>(file.position_); break;
      case SEEK_END: to += static_cast<std::int64_t>(file.end_); break;
      default: return AVERROR(EINVAL);
    }
    if (to < 0) return AVERROR(EINVAL);
    file.position_ = static_cast<std::uint64_t>(to);
    return to;
  }

  MediaFile& file_;
  AVIOContext* io_ = nullptr;
  AVFormatContext* context_ = nullptr;
  AVPacket* packet_ = nullptr;
};

// The pictures back to back, buffered so that only whole frames reach the disk.
class MediaFile::Elementary final : public Container {
 public:
  explicit Elementary(MediaFile& file) : file_(file) { buffer_.reserve(kWriteBufferBytes); }

  int Frame(const unsigned char* data, std::size_t length, bool, std::int64_t,
            std::int64_t) override {
    if (buffer_.size() + length > kWriteBufferBytes) {
      if (const int error = Flush()) return error;
    }
    if (length > kWriteBufferBytes) return file_.WriteAt(data, length);
    buffer_.insert(buffer_.end(), data, data + length);
    return 0;
  }

  int Flush() override {
    if (buffer_.empty()) return file_.error_;
    const int error = file_.WriteAt(buffer_.data(), buffer_.size());
    buffer_.clear();
    return error;
  }

  int Finish() override { return Flush(); }
  std::uint64_t Buffered() const override { return buffer_.size(); }

 private:
  MediaFile& file_;
  std::vector<unsigned char> buffer_;
};

// ---- the file ----

MediaFile::MediaFile(std::string folder, std::string name, const MediaFileParams& params)
    : folder_(std::move(folder)),
      name_(std::move(name)),
      temporary_(folder_ + "/." + name_ + ".part"),
      params_(params) {}

MediaFile::~MediaFile() {
  if (closed_) return;
  container_.reset();
  if (fd_ >= 0) {
    ::close(fd_);
    ::unlink(temporary_.c_str());
  }
}

std::unique_ptr<MediaFile> MediaFile::Open(const std::string& folder, const std::string& name,
                                           const MediaFileParams& params, int* error) {
  QuietLibraries();
  std::unique_ptr<MediaFile> file(new MediaFile(folder, name, params));
  if (!file->OpenTemporary(error)) return nullptr;
  return file;
}

bool MediaFile::OpenTemporary(int* error) {
  fd_ = ::open(temporary_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd_ < 0) {
    *error = errno;
    return false;
  }
  int result = 0;
  if (params_.format == Format::kMkv) {
    auto matroska = std::make_unique<Matroska>(*this);
    result = matroska->Begin();
    container_ = std::move(matroska);
  } else {
    container_ = std::make_unique<Elementary>(*this);
  }
  if (result != 0) {
    *error = result;
    return false;  // the destructor removes the temporary file
  }
  return true;
}

int MediaFile::WriteAt(const unsigned char* data, std::size_t length) {
  if (error_) return error_;
  bool roomMade = false;
  while (length > 0) {
    const ssize_t n = ::pwrite(fd_, data, length, static_cast<off_t>(position_));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      const int error = errno;
      // Room made by deleting old recordings: the same write once more.
      if (IsLackOfSpace(error) && !roomMade && params_.makeRoom && params_.makeRoom()) {
        roomMade = true;
        continue;
      }
      error_ = error;
      return error_;
    }
    data += n;
    length -= static_cast<std::size_t>(n);
    position_ += static_cast<std::uint64_t>(n);
    if (position_ > end_) end_ = position_;
  }
  return 0;
}

int MediaFile::Write(const unsigned char* data, std::size_t length, bool key, std::int64_t ms) {
  if (error_ || closed_) return error_ ? error_ : EBADF;
  if (firstMs_ < 0) {
    firstMs_ = ms;
    lastCommitMs_ = ms;
  }
  if (holding_) {
    if (const int error = WriteHeld(0)) return error;
  }
  held_.assign(data, data + length);
  heldKey_ = key;
  heldMs_ = ms;
  holding_ = true;
  ++frames_;
  return 0;
}

int MediaFile::WriteHeld(std::int64_t durationMs) {
  holding_ = false;
  // Two frames in the same millisecond still get increasing time stamps.
  std::int64_t pts = heldMs_ - firstMs_;
  if (pts <= lastPts_) pts = lastPts_ + 1;
  lastPts_ = pts;
  // A commit before a key frame lets every cluster of the file start with one.
  if (written_ > 0 && (heldKey_ || heldMs_ - lastCommitMs_ >= kCommitMs)) {
    lastCommitMs_ = heldMs_;
    Commit();
    if (error_) return error_;
  }
  if (const int error = container_->Frame(held_.data(), held_.size(), heldKey_, pts, durationMs)) {
    error_ = error;
    return error_;
  }
  ++written_;
  return 0;
}

void MediaFile::Commit() {
  if (const int error = container_->Flush()) {
    error_ = error;
    return;
  }
  committedBytes_ = end_;
  committedFrames_ = written_;
}

std::uint64_t MediaFile::bytes() const {
  return end_ + (container_ ? container_->Buffered() : 0) + (holding_ ? held_.size() : 0);
}

// The trailer, then the data on the disk before the file takes its final name: a rename that
// reached the disk before the data would leave an empty file after a power cut.
int MediaFile::FinishOnDisk(std::int64_t endMs) {
  if (error_) return error_;
  if (holding_) {
    // The last frame lasts until the end of the recording, which is at most an interval away
    // unless frames stopped coming; then the player shows it for one interval.
    const std::int64_t interval = params_.frameIntervalMs > 0 ? params_.frameIntervalMs : 40;
    const std::int64_t lasts = endMs > heldMs_ ? std::min(endMs - heldMs_, interval) : interval;
    if (WriteHeld(lasts)) return error_;
  }
  if (const int error = container_->Finish()) {
    error_ = error;
    return error_;
  }
  committedBytes_ = end_;
  committedFrames_ = written_;
  if (::fdatasync(fd_) != 0) error_ = errno;
  return error_;
}

MediaFile::Closed MediaFile::Close(std::int64_t endMs) {
  Closed closed;
  if (closed_ || fd_ < 0) return closed;
  closed_ = true;
  closed.error = FinishOnDisk(endMs);
  container_.reset();
  // After a failure the file ends at its last commit point, a whole file without an index.
  bool whole = closed.error == 0;
  if (!whole && committedFrames_ > 0) {
    whole = ::ftruncate(fd_, static_cast<off_t>(committedBytes_)) == 0;
  }
  ::close(fd_);
  fd_ = -1;
  const std::string final = folder_ + "/" + name_;
  if (whole && committedFrames_ > 0 && ::rename(temporary_.c_str(), final.c_str()) == 0) {
    closed.kept = true;
    closed.bytes = committedBytes_;
    closed.frames = committedFrames_;
  } else {
    if (closed.error == 0 && committedFrames_ > 0) closed.error = errno;
    ::unlink(temporary_.c_str());
  }
  return closed;
}

}  // namespace recorder
