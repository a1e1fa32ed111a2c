// Holds every free descriptor of the process, so that the next one anybody makes fails with
// EMFILE ("Too many open files"), except for a given number left free.
#pragma once

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <string>
#include <vector>

#include "rcpplus/rcpplus.h"
#include "support/process_stats.h"

namespace testutil {

// Under UBSan the first check of a virtual call (or of a constructor's member access) on a
// type needs a descriptor of its own. Tests call this, and make the calls the test makes, once
// while there are descriptors; here the library's exception is made and read.
inline void CheckExceptionTypeOnce() {
  try {
    rcpplus::RcpInputStream().readOctet();
  } catch (rcpplus::Exception* error) {
    static_cast<void>(error->what());
    static_cast<void>(error->code());
  }
}

class DescriptorExhaustion {
 public:
  // The soft limit is lowered to just above the descriptors in use (and restored afterwards),
  // so that filling the table stays cheap.
  explicit DescriptorExhaustion(std::size_t leaveFree = 0) {
    if (::getrlimit(RLIMIT_NOFILE, &saved_) != 0) return;
    rlimit lowered = saved_;
    const auto room = static_cast<rlim_t>(OpenDescriptors::Now().highest + 64);
    if (lowered.rlim_cur > room) lowered.rlim_cur = room;
    if (::setrlimit(RLIMIT_NOFILE, &lowered) != 0) return;
    lowered_ = true;
    const int base = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (base < 0) return;
    held_.push_back(base);
    for (;;) {
      const int fd = ::fcntl(base, F_DUPFD_CLOEXEC, 0);
      if (fd < 0) {
        full_ = errno == EMFILE;
        break;
      }
      held_.push_back(fd);
    }
    for (std::size_t i = 0; i < leaveFree && !held_.empty(); ++i) {
      ::close(held_.back());
      held_.pop_back();
    }
  }
  ~DescriptorExhaustion() { Release(); }
  DescriptorExhaustion(const DescriptorExhaustion&) = delete;
  DescriptorExhaustion& operator=(const DescriptorExhaustion&) = delete;

  // The table was filled up to the limit.
  bool full() const { return full_; }

  void Release() {
    for (const int fd : held_) ::close(fd);
    held_.clear();
    if (lowered_) ::setrlimit(RLIMIT_NOFILE, &saved_);
    lowered_ = false;
  }

 private:
  rlimit saved_{};
  bool lowered_ = false;
  bool full_ = false;
  std::vector<int> held_;
};

}  // namespace testutil
