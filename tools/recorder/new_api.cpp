// The newer interface: the recorder hands the driver its configuration objects at Initialize
// and a callback object per channel at StartVideo.
#include <array>
#include <cstdint>

#include "backend.h"
#include "veltrane/ipcapture.h"

namespace recorder {

namespace ip = corvane::ipcapture;

namespace {

class DeviceType final : public ip::IHostDeviceType {
 public:
  explicit DeviceType(const std::string& type) : type_(type) {}
  int DeviceTypeOperation01() override { return 0; }
  const char* GetDeviceType() override { return type_.c_str(); }

 private:
  const std::string& type_;
};

class HostConnection final : public ip::IHostConnection {
 public:
  explicit HostConnection(const Connection& c) : c_(c) {}
  const char* GetAddress() override { return c_.address.c_str(); }
  std::uint16_t GetPort() override { return c_.port; }
  int ConnectionOperation03() override { return 0; }
  // Ask for MPEG-4 coding where the device type offers a choice.
  std::int32_t GetCodecSelection() override { return 2; }
  const char* GetUserName() override { return c_.user.c_str(); }
  const char* GetPassword() override { return c_.password.c_str(); }

 private:
  const Connection& c_;
};

class DeviceConfig final : public ip::IHostDeviceConfig {
 public:
  explicit DeviceConfig(const Connection& c) : type_(c.deviceType), connection_(c) {}
  ip::IHostDeviceType* GetDeviceType() override { return &type_; }
  ip::IHostConnection* GetConnection() override { return &connection_; }

 private:
  DeviceType type_;
  HostConnection connection_;
};

class DriverCallback final : public ip::IHostDriverCallback {
 public:
  explicit DriverCallback(DebugLines& debug) : debug_(debug) {}
  std::int32_t OnDebugInfo(CDebugInfoIf* info) override {
    debug_.OnLine(info);
    return 0;
  }

 private:
  DebugLines& debug_;
};

class Size final : public ip::IHostResolution {
 public:
  std::uint16_t GetWidth() override { return width; }
  std::uint16_t GetHeight() override { return height; }
  std::uint16_t width = 0;
  std::uint16_t height = 0;
};

class VideoFormat final : public ip::IHostVideoFormat {
 public:
  int VideoFormatOperation01() override { return 0; }
  int VideoFormatOperation02() override { return 0; }
  ip::IHostResolution* GetResolution() override { return &size; }
  Size size;
};

class VideoRate final : public ip::IHostVideoRate {
 public:
  std::uint16_t GetFrameInterval() override { return interval; }
  int VideoRateOperation02() override { return 0; }
  std::uint16_t GetQuality() override { return quality; }
  std::uint16_t interval = 0;
  std::uint16_t quality = 0;
};

class StreamSettings final : public ip::IHostStreamSettings {
 public:
  ip::IHostVideoFormat* GetVideoFormat() override { return &format; }
  ip::IHostVideoRate* GetVideoRate() override { return &rate; }
  VideoFormat format;
  VideoRate rate;
};

class ChannelCallback final : public ip::IHostChannelCallback {
 public:
  explicit ChannelCallback(ChannelRecord* record) : record_(record) {}
  bool OnVideoFrame(CVideoMessage* message) override { return record_->OnFrame(message); }
  int ChannelCallbackOperation02() override { return 0; }
  std::int32_t OnVideoLost() override {
    record_->OnLost();
    return 0;
  }

 private:
  ChannelRecord* record_;
};

class NewApiBackend final : public CaptureBackend {
 public:
  NewApiBackend(DriverModule& module, HostObjects host)
      : module_(module), host_(host), callback_(*host.debug) {}
  ~NewApiBackend() override { Close(); }

  bool Open(const Connection& c, std::string* error) override {
    connection_ = c;
    config_ = std::make_unique<DeviceConfig>(connection_);
    driver_ = module_.createIPCapture();
    if (!driver_) {
      *error = "the driver offers no newer interface (CreateIPCapture returned null); "
               "try --api old";
      return false;
    }
    if (!driver_->Initialize(&callback_, host_.allocator, config_.get())) {
      *error = "the driver could not be initialised for device type '" + c.deviceType + "'";
      return false;
    }
    video_ = driver_->GetVideoCapture();
    if (!video_) {
      *error = "the driver has no video interface";
      return false;
    }
    return true;
  }

  int CameraCount() override { return video_ ? video_->GetCameraCount() : 0; }

  bool ResolutionSize(int code, int* width, int* height) override {
    // The newer interface speaks in picture sizes; the standard ones of each code.
    switch (code) {
      case 2: *width = 352; *height = 288; return true;
      case 3: *width = 704; *height = 288; return true;
      case 4: *width = 704; *height = 576; return true;
      default: return false;
    }
  }

  bool StartChannel(int channel, int interval, int /*code*/, int width, int height,
                    int quality) override {
    if (!video_ || channel < 0 || channel >= 64) return false;
    ChannelRecord* record = host_.recording->Find(static_cast<std::uint32_t>(channel));
    if (!record) return false;
    auto& slot = callbacks_[static_cast<std::size_t>(channel)];
    if (!slot) slot = std::make_unique<ChannelCallback>(record);
    StreamSettings settings;
    settings.format.size.width = static_cast<std::uint16_t>(width);
    settings.format.size.height = static_cast<std::uint16_t>(height);
    settings.rate.interval = static_cast<std::uint16_t>(interval);
    settings.rate.quality = static_cast<std::uint16_t>(quality);
    return video_->StartVideo(static_cast<std::uint32_t>(channel), slot.get(), &settings);
  }

  bool StopChannel(int channel) override {
    return video_ && video_->StopVideo(static_cast<std::uint32_t>(channel));
  }

  bool Poll(int channel, int* state, int* event) override {
    char text[64];
    return video_ &&
           video_->GetChannelStatus(static_cast<std::uint32_t>(channel), state, event, text,
                                    sizeof text);
  }

  corvane::ICaptureIOApi* IOApi() override { return driver_ ? driver_->GetIOApi() : nullptr; }

  void Close() override {
    if (!driver_) return;
    // Uninitialize closes the driver: no callback object is used after it.
    driver_->Uninitialize();
    video_ = nullptr;
    module_.deleteIPCapture(driver_);
    driver_ = nullptr;
  }

 private:
  DriverModule& module_;
  HostObjects host_;
  DriverCallback callback_;
  Connection connection_;
  std::unique_ptr<DeviceConfig> config_;
  ip::IIPCaptureDriver* driver_ = nullptr;
  ip::IIPVideoCapture* video_ = nullptr;
  std::array<std::unique_ptr<ChannelCallback>, 64> callbacks_;
};

}  // namespace

std::unique_ptr<CaptureBackend> MakeNewApiBackend(DriverModule& module, HostObjects host) {
  return std::make_unique<NewApiBackend>(module, host);
}

}  // namespace recorder
