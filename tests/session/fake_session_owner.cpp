#include "fake_session_owner.h"

#include <algorithm>
#include <chrono>
#include <cstdarg>
#include <cstdio>

namespace sessiontest {

FakeSessionOwner::FakeSessionOwner(std::string address, std::uint16_t port, int networkTimeoutMs)
    : address_(std::move(address)), port_(port), networkTimeoutMs_(networkTimeoutMs) {}

void FakeSessionOwner::SetCredentials(std::string user, std::string password) {
  user_ = std::move(user);
  password_ = std::move(password);
}

void FakeSessionOwner::Log(int /*level*/, const char* format, ...) {
  char line[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(line, sizeof line, format, args);
  va_end(args);
  std::lock_guard lock(mutex_);
  lines_.emplace_back(line);
  changed_.notify_all();
}

void FakeSessionOwner::OnChannelEvent(corvane::CBoschIPCameraInfo* /*session*/, int event) {
  std::lock_guard lock(mutex_);
  events_.push_back(event);
  changed_.notify_all();
}

std::vector<std::string> FakeSessionOwner::Lines() const {
  std::lock_guard lock(mutex_);
  return lines_;
}

int FakeSessionOwner::CountLines(const std::string& text) const {
  std::lock_guard lock(mutex_);
  return static_cast<int>(std::count_if(lines_.begin(), lines_.end(), [&](const std::string& l) {
    return l.find(text) != std::string::npos;
  }));
}

std::vector<int> FakeSessionOwner::Events() const {
  std::lock_guard lock(mutex_);
  return events_;
}

int FakeSessionOwner::CountEvents(int event) const {
  std::lock_guard lock(mutex_);
  return static_cast<int>(std::count(events_.begin(), events_.end(), event));
}

template <typename Predicate>
bool FakeSessionOwner::WaitUntil(Predicate predicate, int timeoutMs) const {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), predicate);
}

bool FakeSessionOwner::WaitForLine(const std::string& text, int timeoutMs) const {
  return WaitUntil(
      [&] {
        return std::any_of(lines_.begin(), lines_.end(), [&](const std::string& l) {
          return l.find(text) != std::string::npos;
        });
      },
      timeoutMs);
}

bool FakeSessionOwner::WaitForEvents(int event, int count, int timeoutMs) const {
  return WaitUntil(
      [&] { return std::count(events_.begin(), events_.end(), event) >= count; }, timeoutMs);
}

}  // namespace sessiontest
