// What the running process holds, for checks that a close gave back what a start took. No
// GoogleTest here, so benchmarks can use it too.
#pragma once

#include <dirent.h>

#include <algorithm>
#include <fstream>
#include <string>

namespace testutil {

// Calls visit with the name of each thread of this process; false when the list cannot be
// read.
template <typename Visit>
bool ForEachThreadName(Visit visit) {
  DIR* dir = ::opendir("/proc/self/task");
  if (!dir) return false;
  while (const dirent* entry = ::readdir(dir)) {
    if (entry->d_name[0] == '.') continue;
    std::ifstream comm(std::string("/proc/self/task/") + entry->d_name + "/comm");
    std::string name;
    std::getline(comm, name);
    visit(name);
  }
  ::closedir(dir);
  return true;
}

// Names of this process's threads, separated by spaces (for failure messages).
inline std::string ThreadNames() {
  std::string names;
  ForEachThreadName([&](const std::string& name) { names += name + " "; });
  return names;
}

// How often thread tid of this process has been switched out (voluntary and involuntary
// context switches); -1 when it cannot be read. A sleeping thread that nothing wakes does
// not count up.
inline long ThreadSwitches(unsigned tid) {
  std::ifstream status("/proc/self/task/" + std::to_string(tid) + "/status");
  long total = 0;
  int found = 0;
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("voluntary_ctxt_switches:", 0) == 0 ||
        line.rfind("nonvoluntary_ctxt_switches:", 0) == 0) {
      total += std::stol(line.substr(line.find(':') + 1));
      ++found;
    }
  }
  return found == 2 ? total : -1;
}

// Threads of this process, from /proc/self/task; -1 when it cannot be read.
inline int ThreadCount() {
  int count = 0;
  const bool read = ForEachThreadName([&](const std::string&) { ++count; });
  return read ? count : -1;
}

// Threads of the RCP+ library (their names start with "rcpplus"); -1 when unreadable.
inline int LibraryThreadCount() {
  int count = 0;
  const bool read = ForEachThreadName([&](const std::string& name) {
    if (name.rfind("rcpplus", 0) == 0) ++count;
  });
  return read ? count : -1;
}

// Descriptors open in this process (the listing's own not counted), and the highest of them;
// a count of 0 and highest -1 when /proc/self/fd cannot be read.
struct OpenDescriptors {
  int count = 0;
  int highest = -1;

  static OpenDescriptors Now() {
    OpenDescriptors result;
    DIR* dir = ::opendir("/proc/self/fd");
    if (dir == nullptr) return result;
    const int own = ::dirfd(dir);
    while (const dirent* entry = ::readdir(dir)) {
      if (entry->d_name[0] == '.') continue;
      const int fd = std::stoi(entry->d_name);
      if (fd == own) continue;
      ++result.count;
      result.highest = std::max(result.highest, fd);
    }
    ::closedir(dir);
    return result;
  }
};

}  // namespace testutil
