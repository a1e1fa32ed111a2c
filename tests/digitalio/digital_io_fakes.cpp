#include "digital_io_fakes.h"

#include <algorithm>

namespace digitalio_testing {

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
