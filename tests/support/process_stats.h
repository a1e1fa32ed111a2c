// What the running process holds, for checks that a close gave back what a start took. No
// GoogleTest here, so benchmarks can use it too.
#pragma once

#include <dirent.h>

#include <fstream>
#include <string>

namespace testutil {

// Names of this process's threads, separated by spaces (for failure messages).
inline std::string ThreadNames() {
  std::string names;
  DIR* dir = ::opendir("/proc/self/task");
  if (!dir) return names;
  while (const dirent* entry = ::readdir(dir)) {
    if (entry->d_name[0] == '.') continue;
    std::ifstream comm(std::string("/proc/self/task/") + entry->d_name + "/comm");
    std::string name;
    std::getline(comm, name);
    names += name + " ";
  }
  ::closedir(dir);
  return names;
}

// Threads of the RCP+ library (their names start with "rcpplus"); -1 when unreadable.
inline int LibraryThreadCount() {
  DIR* dir = ::opendir("/proc/self/task");
  if (!dir) return -1;
  int count = 0;
  while (const dirent* entry = ::readdir(dir)) {
    if (entry->d_name[0] == '.') continue;
    std::ifstream comm(std::string("/proc/self/task/") + entry->d_name + "/comm");
    std::string name;
    std::getline(comm, name);
    if (name.rfind("rcpplus", 0) == 0) ++count;
  }
  ::closedir(dir);
  return count;
}

// Threads of this process, from /proc/self/task; -1 when it cannot be read.
inline int ThreadCount() {
  DIR* dir = ::opendir("/proc/self/task");
  if (!dir) return -1;
  int count = 0;
  while (const dirent* entry = ::readdir(dir)) {
    if (entry->d_name[0] != '.') ++count;
  }
  ::closedir(dir);
  return count;
}

}  // namespace testutil
