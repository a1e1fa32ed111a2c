// The older interface: the recorder is the driver's CCaptureAPIUser and sets the connection
// properties itself.
#include <cstdint>

#include "backend.h"
#include "veltrane/capture_api.h"

namespace recorder {

namespace {

class CaptureUser final : public CCaptureAPIUser {
 public:
  explicit CaptureUser(HostObjects host) : host_(host) {}

  std::int32_t OnVideoFrame(std::uint32_t channel, CVideoMessage* message,
                            CVideoMessage* extendedMessage) override {
    ChannelRecord* record = host_.recording->Find(channel);
    if (!record) return 0;
    return record->OnFrame(extendedMessage ? extendedMessage : message) ? 1 : 0;
  }
  std::int32_t OnChannelLost(std::int32_t channel) override {
    if (channel < 0) return 0;
    if (ChannelRecord* record = host_.recording->Find(static_cast<std::uint32_t>(channel))) {
      record->OnLost();
    }
    return 0;
  }
  void UserOperation3(std::int32_t) override {}
  std::int32_t OnDebugInfo(CDebugInfoIf* info) override {
    host_.debug->OnLine(info);
    return 0;
  }

 private:
  HostObjects host_;
};

class OldApiBackend final : public CaptureBackend {
 public:
  OldApiBackend(DriverModule& module, HostObjects host)
      : module_(module), host_(host), user_(host) {}
  ~OldApiBackend() override { Close(); }

  bool Open(const Connection& c, std::string* error) override {
    api_ = module_.createCapture(0);
    if (!api_) {
      *error = "CreateCapture returned no driver";
      return false;
    }
    api_->SetCaptureUser(&user_);
    api_->SetVideoAllocator(host_.allocator);
    api_->SetProperty("IPSERVERADDRESS", c.address.c_str(), static_cast<int>(c.address.size()));
    api_->SetProperty("IPSERVERTYPE", c.deviceType.c_str(), static_cast<int>(c.deviceType.size()));
    // The port travels in the value argument itself.
    api_->SetProperty("IPSERVERPORT",
                      reinterpret_cast<const void*>(static_cast<std::uintptr_t>(c.port)), 4);
    api_->SetProperty("IPSERVERUSERNAME", c.user.c_str(), static_cast<int>(c.user.size()));
    api_->SetProperty("IPSERVERPASSWORD", c.password.c_str(), static_cast<int>(c.password.size()));
    if (!api_->Open(nullptr)) {
      *error = "the driver could not open device type '" + c.deviceType + "'";
      return false;
    }
    opened_ = true;
    return true;
  }

  int CameraCount() override { return api_ ? api_->GetChannelCount() : 0; }

  bool ResolutionSize(int code, int* width, int* height) override {
    return api_ && api_->GetResolutionSize(code, width, height) != 0;
  }

  bool StartChannel(int channel, int interval, int code, int /*width*/, int /*height*/,
                    int quality) override {
    return api_ && api_->StartChannel(channel, interval, code, quality) != 0;
  }

  bool StopChannel(int channel) override { return api_ && api_->StopChannel(channel) != 0; }

  bool Poll(int channel, int* state, int* event) override {
    char text[64];
    return api_ && api_->GetChannelStatus(channel, state, event, text, sizeof text) != 0;
  }

  corvane::ICaptureIOApi* IOApi() override {
    if (!api_) return nullptr;
    corvane::ICaptureIOApi* io = nullptr;
    // The driver writes the pointer itself into a pointer-sized buffer.
    if (api_->GetProperty("ICaptureIOApi", &io, static_cast<int>(sizeof io)) == 0) return nullptr;
    return io;
  }

  void Close() override {
    if (!api_) return;
    if (opened_) api_->Close();
    opened_ = false;
    module_.deleteCapture(&api_);
    api_ = nullptr;
  }

 private:
  DriverModule& module_;
  HostObjects host_;
  CaptureUser user_;
  CCaptureAPI* api_ = nullptr;
  bool opened_ = false;
};

}  // namespace

std::unique_ptr<CaptureBackend> MakeOldApiBackend(DriverModule& module, HostObjects host) {
  return std::make_unique<OldApiBackend>(module, host);
}

}  // namespace recorder
