// Polls a condition until it holds or a deadline passes; tests never sleep for a fixed time
// to let something happen.
#pragma once

#include <chrono>
#include <thread>

namespace testutil {

template <class Predicate>
bool Eventually(Predicate predicate,
                std::chrono::milliseconds limit = std::chrono::milliseconds(5000)) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!predicate()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

// True when the condition holds for the whole window: for checking that something that
// must not happen does not happen soon after the event that could wrongly cause it.
template <class Predicate>
bool HoldsFor(Predicate predicate, std::chrono::milliseconds window) {
  const auto deadline = std::chrono::steady_clock::now() + window;
  while (std::chrono::steady_clock::now() < deadline) {
    if (!predicate()) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return predicate();
}

inline long long MsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                               start)
      .count();
}

}  // namespace testutil
