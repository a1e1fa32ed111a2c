// The driver's handler as a camera session or the digital I/O object sees it: connection
// parameters, a device configuration and a recorded log. Called from library threads and
// worker threads. Free of GoogleTest, so that fuzz targets and benchmarks can use it too.
#pragma once

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "foundation/ipcapture_io_base_handler_if.h"

namespace fakes {

class FakeHandler : public corvane::CIPCaptureIOBaseHandlerIf {
 public:
  struct Line {
    int level;
    std::string text;
  };

  explicit FakeHandler(std::string address = "127.0.0.1", std::uint16_t port = 1,
                       const char* moduleName = "Fake")
      : moduleName_(moduleName), address_(std::move(address)), port_(port) {}

  // Set before the handler is handed out.
  void SetCredentials(std::string user, std::string password) {
    user_ = std::move(user);
    password_ = std::move(password);
  }
  corvane::DeviceConfig& config() { return config_; }

  const char* GetModuleName() override { return moduleName_; }
  std::uint16_t GetServerPort() override { return port_; }
  std::string GetServerAddress() override { return address_; }
  std::string GetServerUserName() override { return user_; }
  std::string GetServerPassword() override { return password_; }
  corvane::DeviceConfig* GetDeviceConfig() override { return &config_; }
  void Log(int level, const char* format, ...) override __attribute__((format(printf, 3, 4))) {
    char text[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    {
      std::lock_guard lock(mutex_);
      lines_.push_back(Line{level, text});
    }
    changed_.notify_all();
  }

  std::vector<Line> Lines() const {
    std::lock_guard lock(mutex_);
    return lines_;
  }
  // The texts alone, and as "<level> <text>".
  std::vector<std::string> Texts() const {
    std::vector<std::string> texts;
    for (const Line& line : Lines()) texts.push_back(line.text);
    return texts;
  }
  std::vector<std::string> TextsWithLevel() const {
    std::vector<std::string> texts;
    for (const Line& line : Lines()) texts.push_back(std::to_string(line.level) + " " + line.text);
    return texts;
  }
  // Lines that are text exactly.
  int CountLines(const std::string& text) const {
    std::lock_guard lock(mutex_);
    return static_cast<int>(
        std::count_if(lines_.begin(), lines_.end(), [&](const Line& l) { return l.text == text; }));
  }
  // Lines that contain text.
  int CountLinesContaining(const std::string& text) const {
    std::lock_guard lock(mutex_);
    return CountContainingLocked(text);
  }
  bool WaitForLineContaining(const std::string& text, int count, int timeoutMs) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                             [&] { return CountContainingLocked(text) >= count; });
  }

 private:
  int CountContainingLocked(const std::string& text) const {
    return static_cast<int>(std::count_if(lines_.begin(), lines_.end(), [&](const Line& l) {
      return l.text.find(text) != std::string::npos;
    }));
  }

  const char* const moduleName_;
  const std::string address_;
  const std::uint16_t port_;
  std::string user_;
  std::string password_;
  corvane::DeviceConfig config_{};
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::vector<Line> lines_;
};

}  // namespace fakes
