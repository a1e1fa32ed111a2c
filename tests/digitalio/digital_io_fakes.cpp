#include "digital_io_fakes.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>

namespace digitalio_testing {

FakeHandler::FakeHandler(std::uint16_t port, std::string user, std::string password,
                         int inputs, int outputs)
    : port_(port), user_(std::move(user)), password_(std::move(password)) {
  config_.inputCount = inputs;
  config_.outputCount = outputs;
}

void FakeHandler::Log(int level, const char* format, ...) {
  char buffer[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(buffer, sizeof buffer, format, args);
  va_end(args);
  {
    std::lock_guard lock(mutex_);
    lines_.push_back(Line{level, buffer});
  }
  changed_.notify_all();
}

std::vector<FakeHandler::Line> FakeHandler::Lines() const {
  std::lock_guard lock(mutex_);
  return lines_;
}

int FakeHandler::CountLines(const std::string& text) const {
  std::lock_guard lock(mutex_);
  return static_cast<int>(
      std::count_if(lines_.begin(), lines_.end(), [&](const Line& l) { return l.text == text; }));
}

int FakeHandler::CountLinesContaining(const std::string& text) const {
  std::lock_guard lock(mutex_);
  return static_cast<int>(std::count_if(lines_.begin(), lines_.end(), [&](const Line& l) {
    return l.text.find(text) != std::string::npos;
  }));
}

bool FakeHandler::WaitForLineContaining(const std::string& text, int count,
                                        int timeoutMs) const {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
    return std::count_if(lines_.begin(), lines_.end(), [&](const Line& l) {
             return l.text.find(text) != std::string::npos;
           }) >= count;
  });
}

void FakeSink::OnInputChanged(int input, int state) {
  {
    std::lock_guard lock(mutex_);
    events_.push_back(Event{input, state});
  }
  changed_.notify_all();
}

void FakeSink::OnConnectionLost() {
  {
    std::lock_guard lock(mutex_);
    events_.push_back(Event{kLost, 0});
  }
  changed_.notify_all();
}

std::vector<FakeSink::Event> FakeSink::Events() const {
  std::lock_guard lock(mutex_);
  return events_;
}

int FakeSink::LostCount() const { return CountReports(kLost, 0); }

int FakeSink::CountReports(int input, int state) const {
  std::lock_guard lock(mutex_);
  return static_cast<int>(std::count_if(events_.begin(), events_.end(), [&](const Event& e) {
    return e.input == input && e.state == state;
  }));
}

namespace {

int CountAfterLoss(const std::vector<FakeSink::Event>& events, int n) {
  int losses = 0;
  int reports = 0;
  for (const auto& e : events) {
    if (e.input == FakeSink::kLost) {
      ++losses;
    } else if (losses >= n) {
      ++reports;
    }
  }
  return reports;
}

}  // namespace

int FakeSink::ReportsAfterLoss(int n) const {
  std::lock_guard lock(mutex_);
  return CountAfterLoss(events_, n);
}

bool FakeSink::WaitUntil(const std::function<bool(const std::vector<Event>&)>& condition,
                         int timeoutMs) const {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                           [&] { return condition(events_); });
}

bool Eventually(const std::function<bool()>& condition, int timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    if (condition()) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

}  // namespace digitalio_testing
