// Shared pieces of the video suites: a receiver that records packets, thread counting.
#pragma once

#include <dirent.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <fstream>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "client_fixture.h"
#include "rcpplus/rcpplus.h"

namespace rcpplus::testing {

constexpr unsigned long kSessionIdMessage = 0xFFCC0C31;
constexpr unsigned long kConnectVideo = 0xFF0C0C31;
constexpr unsigned long kMediaOpen = 0xFF0E0C31;

// Records every packet a streamer hands over, and whether two calls ever overlapped.
class PacketRecorder {
 public:
  static void Callback(void* context, RtpPayloadType type, const unsigned char* data,
                       int length) {
    static_cast<PacketRecorder*>(context)->Add(type, data, length);
  }

  void Add(RtpPayloadType type, const unsigned char* data, int length) {
    if (inFlight_.fetch_add(1) != 0) overlapped_ = true;
    {
      std::lock_guard lock(mutex_);
      if (type != kRtpPayloadRawPacket) wrongType_ = true;
      packets_.emplace_back(data, data + (length > 0 ? length : 0));
      threads_.insert(std::this_thread::get_id());
    }
    inFlight_.fetch_sub(1);
    changed_.notify_all();
  }

  bool WaitForCount(std::size_t count, std::chrono::milliseconds timeout = 5000ms) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return packets_.size() >= count; });
  }
  std::size_t Count() const {
    std::lock_guard lock(mutex_);
    return packets_.size();
  }
  std::vector<std::vector<std::uint8_t>> Packets() const {
    std::lock_guard lock(mutex_);
    return packets_;
  }
  std::set<std::thread::id> Threads() const {
    std::lock_guard lock(mutex_);
    return threads_;
  }
  bool Overlapped() const { return overlapped_.load(); }
  bool WrongType() const {
    std::lock_guard lock(mutex_);
    return wrongType_;
  }

 private:
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::vector<std::vector<std::uint8_t>> packets_;
  std::set<std::thread::id> threads_;
  bool wrongType_ = false;
  std::atomic<int> inFlight_{0};
  std::atomic<bool> overlapped_{false};
};

// Threads of this process, or only those with the given name.
inline int CountThreads(const std::string& onlyNamed = "") {
  int count = 0;
  DIR* dir = ::opendir("/proc/self/task");
  if (dir == nullptr) return -1;
  while (const dirent* entry = ::readdir(dir)) {
    if (entry->d_name[0] == '.') continue;
    if (!onlyNamed.empty()) {
      std::ifstream comm(std::string("/proc/self/task/") + entry->d_name + "/comm");
      std::string name;
      std::getline(comm, name);
      if (name != onlyNamed) continue;
    }
    ++count;
  }
  ::closedir(dir);
  return count;
}

inline int CountMediaThreads() { return CountThreads("rcpplus-media"); }
inline int CountControlThreads() { return CountThreads("rcpplus-conn"); }

// Calls of a message recorder with the given command word.
inline std::vector<Call> CallsWith(const Recorder& recorder, unsigned long commandWord) {
  std::vector<Call> result;
  for (const auto& call : recorder.Calls()) {
    if (call.header.commandWord == commandWord) result.push_back(call);
  }
  return result;
}

inline bool WaitForCall(const Recorder& recorder, unsigned long commandWord,
                        std::chrono::milliseconds timeout = 5000ms) {
  return WaitUntil([&] { return !CallsWith(recorder, commandWord).empty(); }, timeout);
}

}  // namespace rcpplus::testing
