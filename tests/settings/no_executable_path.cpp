// Lets a test take the executable's path away: while it is hidden, reading the link
// /proc/self/exe fails as it does where /proc is not mounted. Replaces the C library's
// readlink for the whole program, so it lives in a program of its own.
#include "no_executable_path.h"

#include <dlfcn.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

namespace {

std::atomic<bool> g_hidden{false};

bool Hidden(const char* path) {
  return g_hidden.load() && path != nullptr && std::strcmp(path, "/proc/self/exe") == 0;
}

}  // namespace

namespace testfs {

void HideExecutablePath(bool hide) { g_hidden = hide; }

}  // namespace testfs

extern "C" ssize_t readlink(const char* __restrict path, char* __restrict buffer,
                            size_t size) noexcept {
  if (Hidden(path)) {
    errno = ENOENT;
    return -1;
  }
  using Real = ssize_t (*)(const char*, char*, size_t);
  static const auto real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "readlink"));
  if (real == nullptr) {
    errno = ENOSYS;
    return -1;
  }
  return real(path, buffer, size);
}
