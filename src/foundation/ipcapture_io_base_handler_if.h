// The narrow view of the driver that camera sessions and the digital I/O object get:
// connection parameters, the device configuration and the log line.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "foundation/device_config.h"

namespace corvane {

enum LogLevel : int {
  kLogError = 1,
  kLogInfo = 2,
};

class CIPCaptureIOBaseHandlerIf {
 public:
  // Destroys the whole driver object.
  virtual ~CIPCaptureIOBaseHandlerIf() = default;
  virtual const char* GetModuleName() = 0;
  // Slots 2 to 5 hand out copies of the connection values as they are at the call: read them
  // each time a connection is built, so that a change reaches the next connection. Safe to
  // call from any thread while the host changes the values.
  virtual std::uint16_t GetServerPort() = 0;
  virtual std::string GetServerAddress() = 0;
  virtual std::string GetServerUserName() = 0;
  virtual std::string GetServerPassword() = 0;
  virtual DeviceConfig* GetDeviceConfig() = 0;
  // Formats one line (cut at 511 characters) and hands it to the host. Never blocks: the
  // line is dropped when the driver lock is busy or no host callback object is set.
  virtual void Log(int level, const char* format, ...) __attribute__((format(printf, 3, 4))) = 0;
};

// Error log throttle: counts one more occurrence and says whether to log it. Logs the first
// 14, then every 16th below 255, every 256th below 4095, every 4096th below 65535, and every
// 65536th after that.
inline bool ShouldLogError(std::atomic<std::uint32_t>& counter) {
  const std::uint32_t n = counter.fetch_add(1, std::memory_order_relaxed) + 1;
  if (n < 15) return true;
  if (n < 255) return n % 16 == 0;
  if (n < 4095) return n % 256 == 0;
  if (n < 65535) return n % 4096 == 0;
  return n % 65536 == 0;
}

}  // namespace corvane
