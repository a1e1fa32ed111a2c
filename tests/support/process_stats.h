// What the running process holds, for checks that a close gave back what a start took. No
// GoogleTest here, so benchmarks can use it too.
#pragma once

#include <dirent.h>

namespace testutil {

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
