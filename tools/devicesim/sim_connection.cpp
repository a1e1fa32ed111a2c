#include "sim_connection.h"

#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>

namespace devicesim {
namespace {

// A client that stops reading must not hold a sender (and with it the device) for ever.
constexpr int kSendTimeoutSeconds = 5;

}  // namespace

SimConnection::SimConnection(int fd, int closeAfterFrames)
    : fd_(fd), closeAfterFrames_(closeAfterFrames) {
  timeval timeout{};
  timeout.tv_sec = kSendTimeoutSeconds;
  setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
}

SimConnection::~SimConnection() { ::close(fd_); }

bool SimConnection::Send(std::span<const std::uint8_t> bytes) {
  std::lock_guard lock(sendMutex_);
  if (!open_.load()) return false;
  backlog_.insert(backlog_.end(), bytes.begin(), bytes.end());
  return WriteBacklog(true);
}

bool SimConnection::SendWithoutWaiting(std::span<const std::uint8_t> bytes,
                                       std::size_t maxBacklog) {
  std::lock_guard lock(sendMutex_);
  if (!open_.load()) return false;
  if (backlog_.size() - backlogOffset_ + bytes.size() > maxBacklog) {
    backlog_.clear();
    backlogOffset_ = 0;
    Close();
    return false;
  }
  backlog_.insert(backlog_.end(), bytes.begin(), bytes.end());
  return WriteBacklog(false);
}

std::size_t SimConnection::Backlog() const {
  std::lock_guard lock(sendMutex_);
  return backlog_.size() - backlogOffset_;
}

bool SimConnection::WriteBacklog(bool wait) {
  const int flags = MSG_NOSIGNAL | (wait ? 0 : MSG_DONTWAIT);
  while (backlogOffset_ < backlog_.size()) {
    if (!open_.load()) break;
    const ssize_t n = ::send(fd_, backlog_.data() + backlogOffset_,
                             backlog_.size() - backlogOffset_, flags);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && !wait && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      // Keep the unsent tail only; what went out is dropped once it dominates.
      if (backlogOffset_ >= 65536 && backlogOffset_ * 2 >= backlog_.size()) {
        backlog_.erase(backlog_.begin(),
                       backlog_.begin() + static_cast<std::ptrdiff_t>(backlogOffset_));
        backlogOffset_ = 0;
      }
      return true;
    }
    if (n <= 0) break;
    backlogOffset_ += static_cast<std::size_t>(n);
  }
  const bool complete = backlogOffset_ == backlog_.size();
  backlog_.clear();
  backlogOffset_ = 0;
  if (!complete) {
    Close();
    return false;
  }
  return true;
}

void SimConnection::Close() {
  if (open_.exchange(false)) ::shutdown(fd_, SHUT_RDWR);
}

}  // namespace devicesim
