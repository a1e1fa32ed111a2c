// What a camera session needs of the driver that owns it. The session never sees the driver
// object as a whole: connection parameters, configuration and logging come through the
// handler interface, channel events go back through OnChannelEvent, and frames reach the
// host through its capture user and video allocator.
#pragma once

#include "foundation/ipcapture_io_base_handler_if.h"
#include "veltrane/host.h"

namespace corvane {

class CBoschIPCameraInfo;

// Channel events a session reports, always on its worker thread.
enum ChannelEvent : int {
  kChannelEventVideo = 3,  // a connection has been set up and video is about to flow
  kChannelEventLost = 6,   // a connection attempt failed or the video stopped arriving
  kChannelEventLostToo = 7,  // never sent; the driver treats it like 6
};

class ICameraSessionOwner {
 public:
  // Address, port, credentials, device configuration and Log.
  virtual CIPCaptureIOBaseHandlerIf& SessionHandler() = 0;
  // Request and connect time-out of every RCP+ exchange, in milliseconds.
  virtual int GetNetworkTimeout() = 0;
  virtual void OnChannelEvent(CBoschIPCameraInfo* session, int event) = 0;
  // Null while the host has not set them.
  virtual CCaptureAPIUser* GetCaptureUser() = 0;
  virtual CVideoAllocator* GetVideoAllocator() = 0;

 protected:
  // Sessions never own their owner.
  ~ICameraSessionOwner() = default;
};

}  // namespace corvane
