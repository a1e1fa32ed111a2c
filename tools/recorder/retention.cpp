#include "retention.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <system_error>

namespace recorder {

namespace {

constexpr std::time_t kSecondsPerDay = 24 * 60 * 60;

bool Digits(const std::string& text, std::size_t from, std::size_t count) {
  if (from + count > text.size()) return false;
  for (std::size_t i = from; i < from + count; ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
  }
  return true;
}

int Number(const std::string& text, std::size_t from, std::size_t count) {
  return std::stoi(text.substr(from, count));
}

}  // namespace

std::string SegmentName(const std::string& stem, std::time_t start, const char* extension) {
  std::tm utc{};
  ::gmtime_r(&start, &utc);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y%m%dT%H%M%SZ", &utc);
  return stem + "-" + stamp + "." + extension;
}

std::optional<std::time_t> SegmentStart(const std::string& name) {
  // ch + at least two digits + "-" + 16 characters of time + ".mkv" or ".263"
  if (name.size() < 2 || name.compare(0, 2, "ch") != 0) return std::nullopt;
  std::size_t at = 2;
  while (at < name.size() && name[at] >= '0' && name[at] <= '9') ++at;
  if (at < 4 || at >= name.size() || name[at] != '-') return std::nullopt;
  const std::size_t t = at + 1;
  if (name.size() != t + 16 + 4) return std::nullopt;
  if (!Digits(name, t, 8) || name[t + 8] != 'T' || !Digits(name, t + 9, 6) ||
      name[t + 15] != 'Z') {
    return std::nullopt;
  }
  const std::string extension = name.substr(t + 16);
  if (extension != ".mkv" && extension != ".263") return std::nullopt;
  std::tm utc{};
  utc.tm_year = Number(name, t, 4) - 1900;
  utc.tm_mon = Number(name, t + 4, 2) - 1;
  utc.tm_mday = Number(name, t + 6, 2);
  utc.tm_hour = Number(name, t + 9, 2);
  utc.tm_min = Number(name, t + 11, 2);
  utc.tm_sec = Number(name, t + 13, 2);
  if (utc.tm_mon < 0 || utc.tm_mon > 11 || utc.tm_mday < 1 || utc.tm_mday > 31 ||
      utc.tm_hour > 23 || utc.tm_min > 59 || utc.tm_sec > 60) {
    return std::nullopt;
  }
  return ::timegm(&utc);
}

std::vector<SegmentFile> ChooseExpired(std::vector<SegmentFile> files, std::time_t now,
                                       const RetentionLimits& limits, std::uint64_t freeAtLeast) {
  std::stable_sort(files.begin(), files.end(),
                   [](const SegmentFile& a, const SegmentFile& b) { return a.start < b.start; });
  std::uint64_t total = 0;
  for (const SegmentFile& f : files) total += f.bytes;
  std::vector<SegmentFile> chosen;
  std::uint64_t freed = 0;
  for (const SegmentFile& f : files) {
    const bool old = limits.keepDays > 0 && f.start < now - limits.keepDays * kSecondsPerDay;
    const bool over = limits.maxBytes > 0 && total > limits.maxBytes;
    if (!old && !over && freed >= freeAtLeast) break;
    chosen.push_back(f);
    total -= f.bytes;
    freed += f.bytes;
  }
  return chosen;
}

int Retention::Apply() { return enabled() ? Delete(0) : 0; }

bool Retention::MakeRoom() { return enabled() && Delete(1) > 0; }

int Retention::deleted() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return deleted_;
}

int Retention::Delete(std::uint64_t freeAtLeast) {
  // One channel at a time: two deleting the same files would count them twice.
  std::lock_guard<std::mutex> lock(mutex_);
  int count = 0;
  for (const SegmentFile& f : ChooseExpired(Scan(), std::time(nullptr), limits_, freeAtLeast)) {
    std::error_code error;
    if (std::filesystem::remove(f.path, error)) ++count;
  }
  deleted_ += count;
  return count;
}

std::vector<SegmentFile> Retention::Scan() const {
  namespace fs = std::filesystem;
  std::vector<SegmentFile> files;
  std::error_code error;
  for (fs::recursive_directory_iterator it(folder_, fs::directory_options::skip_permission_denied,
                                           error), end;
       !error && it != end; it.increment(error)) {
    if (!it->is_regular_file(error)) {
      error.clear();
      continue;
    }
    const auto start = SegmentStart(it->path().filename().string());
    if (!start) continue;
    const std::uintmax_t bytes = it->file_size(error);
    if (error) {
      error.clear();
      continue;
    }
    files.push_back({it->path().string(), *start, static_cast<std::uint64_t>(bytes)});
  }
  return files;
}

}  // namespace recorder
