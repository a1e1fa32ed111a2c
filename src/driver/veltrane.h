// The driver object: one per device (up to 64 camera inputs). The host drives it through
// the older capture interface; camera sessions and the digital I/O object reach it through
// the handler interface.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "digitalio/bosch_digital_io.h"
#include "foundation/device_config.h"
#include "foundation/ipcapture_io_base_handler_if.h"
#include "foundation/recursive_lock.h"
#include "session/camera_session_owner.h"
#include "veltrane/capture_api.h"
#include "veltrane/capture_io.h"

namespace corvane {

constexpr int kChannelCount = 64;
constexpr int kDefaultNetworkTimeoutMs = 5000;

// FourCC "DIVX": the bytes D, I, V, X in memory order.
constexpr std::uint32_t kFourCCDivx = 0x58564944;

// Objects made by CreateIPCapture and not yet deleted.
extern std::atomic<int> liveIPCaptureInstances;

// The host sees only the primary base; sessions see the handler interface and the owner
// interface.
class CVeltrane final : public CCaptureAPIEx,
                        public CIPCaptureIOBaseHandlerIf,
                        public ICameraSessionOwner {
 public:
  // A debug line as the host receives it; lives only during OnDebugInfo.
  class CIPCaptureDebugInfo final : public CDebugInfoIf {
   public:
    CIPCaptureDebugInfo(int level, const char* text)
        : level_(static_cast<unsigned char>(level)), text_(text ? text : "") {}
    unsigned char GetLevel() override { return level_; }
    const char* GetText() override { return text_.c_str(); }

   private:
    unsigned char level_;
    std::string text_;
  };

  CVeltrane();
  ~CVeltrane() override;

  // CCaptureAPI
  int HostOperation01() override { return 1; }
  void SetCaptureUser(CCaptureAPIUser* user) override;
  void SetVideoAllocator(CVideoAllocator* allocator) override;
  int SetVideoMode(int mode) override;
  int SetCompression(std::uint32_t fourcc) override;
  int GetResolutionSize(int code, int* width, int* height) override;
  int HostOperation07(int) override { return 0; }
  int GetChannelCount() override { return config_.cameraCount; }
  int GetFirstCompression(std::uint32_t* fourcc) override;
  int GetNextCompression(std::uint32_t*) override { return 0; }
  int GetMaxFrameRate(unsigned channel, int* rate) override;
  int HostOperation12() override { return 1; }
  int GetFirstResolution(int* code) override;
  int GetNextResolution(int* code) override;
  int GetFirstFrameInterval(int* milliseconds) override;
  int GetNextFrameInterval(int* milliseconds) override;
  int HostOperation17() override { return 0; }
  int Open(const char* unused) override;
  int Close() override;
  int StartChannel(int channel, int frameIntervalMs, int resolutionCode, int quality) override;
  int StopChannel(int channel) override;
  int GetChannelName(unsigned channel, char* buffer, unsigned size) override;
  int HostOperation23() override { return 0; }
  int HostOperation24() override { return 1; }
  int HostOperation25() override { return 0; }
  int HostOperation26(int, int, int, int, int, int, int, int, int) override { return 0; }
  int HostOperation27() override { return 0; }
  int HostOperation28(int) override { return 0; }
  void HostOperation29() override {}
  int SetProperty(const char* name, const void* value, int length) override;
  int GetProperty(const char* name, void* buffer, int size) override;
  int HostOperation32(int* first, int* second) override;
  int HostOperation33(int, int) override { return 0; }
  int GetChannelStatus(int channel, int* state, int* event, char* text,
                       unsigned textSize) override;
  // CCaptureAPIEx
  int HostOperation35(int) override { return 0; }
  int HostOperation36(int, int) override { return 0; }
  int HostOperation37(int, int) override { return 0; }
  // Added by this driver.
  virtual void DeleteCameraSession(CBoschIPCameraInfo* session);
  // Also the owner interface's getters; declared here so that they keep slots 39 and 40.
  CCaptureAPIUser* GetCaptureUser() override;
  CVideoAllocator* GetVideoAllocator() override;

  // CIPCaptureIOBaseHandlerIf: the connection values as they are now; SetProperty may change
  // them at any time, the sessions take the change at their next connection.
  const char* GetModuleName() override { return "Veltrane"; }
  std::uint16_t GetServerPort() override { return serverPort_.load(); }
  std::string GetServerAddress() override;
  std::string GetServerUserName() override;
  std::string GetServerPassword() override;
  DeviceConfig* GetDeviceConfig() override { return &config_; }
  void Log(int level, const char* format, ...) override __attribute__((format(printf, 3, 4)));

  // ICameraSessionOwner
  CIPCaptureIOBaseHandlerIf& SessionHandler() override { return *this; }
  int GetNetworkTimeout() override { return networkTimeout_; }
  // On a session's worker thread: event 3 marks the channel as having video, event 6 (or 7)
  // reports lost video to the host once per connection that had video.
  void OnChannelEvent(CBoschIPCameraInfo* session, int event) override;

  // Read-outs for the driver's own components and tests.
  std::string serverType() const;
  int networkTimeout() const { return networkTimeout_; }
  std::uint32_t compression() const { return compression_; }
  int videoMode() const { return videoMode_; }
  bool opened() const { return opened_; }
  std::int8_t maxFrameRateOf(int resolution) const { return maxFrameRates_[resolution]; }
  bool channelStarted(int channel) const;
  // The session serving channel; null when there is none.
  CBoschIPCameraInfo* cameraSession(int channel) const;
  CRecursiveLock& driverLock() { return driverLock_; }
  // Waits until no log line is being handed to the host; false when one still was after
  // timeoutMs (a host that does not return from it).
  bool WaitForLogLines(int timeoutMs);

 private:
  int OpenDevice();
  void CloseDevice();
  // Counts this driver among the RCP+ library's users; called by a successful Open.
  static void AcquireLibrary();
  // The reverse, at Close: shuts the library down when no open driver is left, and says so.
  static bool ReleaseLibrary();
  // Destroys the digital I/O object, or keeps it alive when its thread did not stop.
  void RetireDigitalIO();
  // One session per camera input, at most 64.
  void CreateCameraSessions();
  // One line naming the sessions that could not start their worker thread, if any.
  void LogIncompleteSessions();
  void DeleteCameraSessions();
  // Reads "<server type>.xml" into the configuration: 0 on success, 4 for a file name that
  // cannot name a file beside the executable, 15 when the file cannot be loaded.
  int ReadConfiguration(const std::string& fileName);
  // Fills the frame-interval list from the maximum frame rate and the video mode; false
  // when the device gives no maximum frame rate.
  bool BuildFrameIntervals();
  int EnumerationFirst(const std::vector<std::int32_t>& list, int& cursor, int* out);
  int EnumerationNext(const std::vector<std::int32_t>& list, int& cursor, int* out);
  void SetServerAddress(const char* value);
  // A copy of one connection value, taken under the connection lock.
  std::string ConnectionValue(const std::string& value) const;
  // GetProperty inside its barrier.
  int QueryProperty(const char* name, void* buffer, int size);
  // Log's hand-over of a formatted line to the host.
  void DeliverLine(int level, const char* line);

  // Host log calls under way. A log line is handed to the host without any lock of ours held,
  // so a host that does not return holds up only its own thread; Close waits for such calls
  // within a limit. A call that returns after the driver is gone touches only this count,
  // which it keeps alive.
  class HostCallCount {
   public:
    void Begin();
    void End();
    // True when no call is under way within timeoutMs.
    bool WaitIdle(int timeoutMs);

   private:
    std::mutex mutex_;
    std::condition_variable idle_;
    int running_ = 0;
  };
  // Started flag and state of channel, changed together under the channel lock.
  void SetChannel(int channel, std::int32_t started, std::int32_t state);
  // StartChannel and GetChannelStatus inside their barriers.
  int StartSession(int channel, int frameIntervalMs, int resolutionCode, int quality);
  int PollChannel(int channel, int* state, int* event, char* text, unsigned textSize);

  CBoschIPCameraInfo* sessions_[kChannelCount] = {};
  DeviceConfig config_;
  std::vector<std::int32_t> frameIntervals_;
  std::vector<std::int32_t> resolutions_;
  std::atomic<CCaptureAPIUser*> captureUser_{nullptr};
  std::atomic<CVideoAllocator*> videoAllocator_{nullptr};
  // Guards the four connection texts: the host sets them while camera sessions and the
  // digital I/O object read them on their own threads.
  mutable std::mutex connectionMutex_;
  std::string serverType_;
  std::string serverAddress_;
  std::atomic<std::uint16_t> serverPort_{0};
  std::string userName_;
  std::string password_;
  int networkTimeout_ = kDefaultNetworkTimeoutMs;
  // "networktimeout" of the device-type file, 0 when absent.
  int fileNetworkTimeout_ = 0;
  int frameIntervalCursor_ = -1;
  int resolutionCursor_ = -1;
  // Per resolution number 0 to 3; 0 or below means not configured.
  std::int8_t maxFrameRates_[4] = {-1, -1, -1, -1};
  CRecursiveLock driverLock_;
  const std::shared_ptr<HostCallCount> hostLogCalls_ = std::make_shared<HostCallCount>();
  std::unique_ptr<CBoschDigitalIO> digitalIO_;
  bool opened_ = false;
  CRecursiveLock channelLock_;
  std::int32_t startedFlags_[kChannelCount] = {};
  std::uint32_t compression_ = 0;
  int videoMode_ = 0;
  std::atomic<std::int32_t> channelStates_[kChannelCount];
};

}  // namespace corvane
