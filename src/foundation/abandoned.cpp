#include "foundation/abandoned.h"

namespace corvane {

namespace {

// Answers like a driver that has nothing set: empty connection values, an empty device
// configuration, and a log that goes nowhere.
class DetachedHandlerImpl final : public CIPCaptureIOBaseHandlerIf {
 public:
  const char* GetModuleName() override { return "Veltrane"; }
  std::uint16_t GetServerPort() override { return 0; }
  std::string GetServerAddress() override { return {}; }
  std::string GetServerUserName() override { return {}; }
  std::string GetServerPassword() override { return {}; }
  DeviceConfig* GetDeviceConfig() override { return &config_; }
  void Log(int, const char*, ...) override {}

 private:
  DeviceConfig config_;
};

}  // namespace

CIPCaptureIOBaseHandlerIf& DetachedHandler() {
  // Never destroyed: abandoned threads may reach it while the process exits.
  static auto* const handler = new DetachedHandlerImpl;
  return *handler;
}

}  // namespace corvane
