// One video file of a channel while it is written: Matroska through libavformat (the H.263
// pictures stored as they came, each stamped with its arrival in milliseconds) or the bare
// H.263 elementary stream.
//
// The file is written under a hidden temporary name in its folder and gets its final name
// only once it is complete, so that a crash or a kill leaves nothing half-written under a
// name that players and the retention take for a whole recording. Output is flushed at
// "commit points" (about once a second and at key frames); when writing fails, the file is
// cut back to the last commit point, which is a whole, playable file.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "options.h"

namespace recorder {

struct MediaFileParams {
  Format format = Format::kMkv;
  int width = 0;
  int height = 0;
  // The requested frame interval: players show the frame rate it gives.
  int frameIntervalMs = 40;
  // Called when a write fails for lack of room (ENOSPC, EFBIG, EDQUOT); true when it made
  // room, and the write is then tried once more.
  std::function<bool()> makeRoom;
};

// Whether an errno value means that the disk, the quota or the file size limit is full.
bool IsLackOfSpace(int error);

class MediaFile {
 public:
  // Opens folder/.name.part; nullptr with the errno value in *error.
  static std::unique_ptr<MediaFile> Open(const std::string& folder, const std::string& name,
                                         const MediaFileParams& params, int* error);
  // A file that was not closed is removed.
  ~MediaFile();
  MediaFile(const MediaFile&) = delete;
  MediaFile& operator=(const MediaFile&) = delete;

  // One frame; ms: its arrival on the monotonic clock, in milliseconds. 0 or an errno value;
  // after a failure every later call fails with the same value. A frame is held until the
  // next one arrives or the file is closed, which tells how long it lasts.
  int Write(const unsigned char* data, std::size_t length, bool key, std::int64_t ms);

  struct Closed {
    int error = 0;          // 0, or the errno value of the first failure
    bool kept = false;      // a file now exists under the final name
    std::uint64_t bytes = 0;   // its size
    std::uint64_t frames = 0;  // the frames it holds
  };
  // Completes the file and gives it its final name; after a failure it is cut back to the last
  // commit point, or removed when that holds no frame. endMs: when the recording into it
  // ended, on the clock of Write; the last frame lasts until then, at most a frame interval
  // (a frame interval when not given).
  Closed Close(std::int64_t endMs = -1);

  const std::string& name() const { return name_; }
  // Bytes in the file so far (the part on disk and what is still buffered).
  std::uint64_t bytes() const;
  // Frames known to be on disk.
  std::uint64_t committedFrames() const { return committedFrames_; }
  // Frames taken by Write.
  std::uint64_t frames() const { return frames_; }

 private:
  MediaFile(std::string folder, std::string name, const MediaFileParams& params);
  class Container;
  class Matroska;
  class Elementary;

  bool OpenTemporary(int* error);
  // Writes bytes at the current position, making room once if the disk is full.
  int WriteAt(const unsigned char* data, std::size_t length);
  // The held frame into the container, lasting durationMs (0: until the next one).
  int WriteHeld(std::int64_t durationMs);
  void Commit();
  int FinishOnDisk(std::int64_t endMs);

  const std::string folder_;
  const std::string name_;
  const std::string temporary_;
  MediaFileParams params_;
  int fd_ = -1;
  int error_ = 0;
  bool closed_ = false;
  std::uint64_t position_ = 0;
  std::uint64_t end_ = 0;
  std::uint64_t committedBytes_ = 0;
  std::uint64_t committedFrames_ = 0;
  std::uint64_t frames_ = 0;
  std::uint64_t written_ = 0;  // frames given to the container
  std::vector<unsigned char> held_;
  bool holding_ = false;
  bool heldKey_ = false;
  std::int64_t heldMs_ = 0;
  std::int64_t firstMs_ = -1;
  std::int64_t lastPts_ = -1;
  std::int64_t lastCommitMs_ = 0;
  std::unique_ptr<Container> container_;
};

}  // namespace recorder
