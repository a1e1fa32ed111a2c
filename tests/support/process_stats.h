// What the running process holds, for checks that a close gave back what a start took. No
// GoogleTest here, so benchmarks can use it too.
#pragma once

#include <dirent.h>

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

// Open file descriptors of this process, from /proc/self/fd (the listing's own descriptor
// not counted); -1 when it cannot be read.
inline int OpenDescriptorCount() {
  DIR* dir = ::opendir("/proc/self/fd");
  if (!dir) return -1;
  int count = 0;
  while (const dirent* entry = ::readdir(dir)) {
    if (entry->d_name[0] != '.') ++count;
  }
  ::closedir(dir);
  return count - 1;
}

}  // namespace testutil
