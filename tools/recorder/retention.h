// Which recordings to delete: complete segments past the age limit, then the oldest while
// all of them take more room than allowed. Files being written have temporary names and are
// never candidates.
#pragma once

#include <cstdint>
#include <ctime>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace recorder {

// "ch01-20261209T061500Z.mkv": the channel's stem, the segment's start in UTC, the container.
std::string SegmentName(const std::string& stem, std::time_t start, const char* extension);
// The start time of a complete segment's file name; nullopt for any other name.
std::optional<std::time_t> SegmentStart(const std::string& name);

struct SegmentFile {
  std::string path;
  std::time_t start = 0;
  std::uint64_t bytes = 0;
};

struct RetentionLimits {
  int keepDays = 0;          // 0 = no age limit
  std::uint64_t maxBytes = 0;  // 0 = no size limit
};

// The files to delete, oldest first. freeAtLeast: when nothing is over a limit, the oldest
// files are still chosen until they make up this many bytes (a full disk).
std::vector<SegmentFile> ChooseExpired(std::vector<SegmentFile> files, std::time_t now,
                                       const RetentionLimits& limits,
                                       std::uint64_t freeAtLeast = 0);

// The retention of one folder tree, shared by its channels.
class Retention {
 public:
  Retention(std::string folder, const RetentionLimits& limits)
      : folder_(std::move(folder)), limits_(limits) {}
  bool enabled() const { return limits_.keepDays > 0 || limits_.maxBytes > 0; }
  // Deletes what the limits say; the number of files deleted.
  int Apply();
  // For a full disk: the limits, and at least the oldest segment when they delete nothing.
  // True when something was deleted. Nothing happens unless a limit was set.
  bool MakeRoom();
  int deleted() const;

 private:
  int Delete(std::uint64_t freeAtLeast);
  std::vector<SegmentFile> Scan() const;

  const std::string folder_;
  const RetentionLimits limits_;
  mutable std::mutex mutex_;
  int deleted_ = 0;  // under mutex_
};

}  // namespace recorder
