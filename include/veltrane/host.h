// Objects of the recorder host that the driver calls: the capture user (frames, lost video,
// debug lines), the video-message allocator and its messages, the debug record, and the
// digital input event sink. The host implements them; the driver never owns them.
//
// ABI: these are interfaces whose virtual slot order is fixed. Slot 0 of every interface is
// a plain virtual destructor (g++ gives it two vtable entries; host and driver declare it the
// same way). Slots the driver does not use keep their places. Results that the driver does
// not read are void; every argument and result is 32 bits wide unless it is a pointer.
// These objects are called from driver and library threads, never from the host's own
// calling thread, and must not wait for driver threads.
#pragma once

#include <cstdint>

// A host-allocated buffer that carries one frame.
class CVideoMessage {
 public:
  virtual ~CVideoMessage() = default;                         // 0
  virtual int MessageOperation01() = 0;                       // 1
  // Data buffer of at least the size the allocator was asked for.
  virtual unsigned char* GetBuffer() = 0;                     // 2
  virtual int MessageOperation03() = 0;                       // 3
  virtual void SetDataLength(std::uint32_t bytes) = 0;        // 4
  virtual void Finish() = 0;                                  // 5
  virtual int MessageOperation06() = 0;                       // 6
  virtual int MessageOperation07() = 0;                       // 7
  virtual int MessageOperation08() = 0;                       // 8
  virtual int MessageOperation09() = 0;                       // 9
  virtual void SetFourCC(std::uint32_t code) = 0;             // 10
  virtual int MessageOperation11() = 0;                       // 11
  virtual void SetHeight(std::int32_t height) = 0;            // 12
  virtual int MessageOperation13() = 0;                       // 13
  virtual void SetWidth(std::int32_t width) = 0;              // 14
  virtual int MessageOperation15() = 0;                       // 15
  virtual void SetSizeClass(std::int32_t sizeClass) = 0;      // 16: 2 or 4
};

// The host's video-message allocator (set with SetVideoAllocator).
class CVideoAllocator {
 public:
  virtual ~CVideoAllocator() = default;                       // 0
  virtual int AllocatorOperation01() = 0;                     // 1
  // A message whose buffer holds at least bufferSize bytes; null on failure. owner names
  // the caller ("CVeltrane").
  virtual CVideoMessage* AllocVideoMsg(std::uint32_t fourcc, std::int32_t bufferSize,
                                       const char* owner) = 0;  // 2
  virtual int AllocatorOperation03() = 0;                     // 3
  virtual int AllocatorOperation04() = 0;                     // 4
  virtual int AllocatorOperation05() = 0;                     // 5
  // The driver's last use of message.
  virtual void ReleaseVideoMsg(CVideoMessage* message) = 0;   // 6
};

// A debug line handed to the host; valid only during OnDebugInfo.
class CDebugInfoIf {
 public:
  virtual ~CDebugInfoIf() = default;                          // 0
  virtual unsigned char GetLevel() = 0;                       // 1: 1 error, 2 information
  virtual const char* GetText() = 0;                          // 2
};

// The host's callback object (set with SetCaptureUser).
class CCaptureAPIUser {
 public:
  virtual ~CCaptureAPIUser() = default;                       // 0
  // A frame for channel; the driver passes (channel, null, message). Below 1 = refused.
  virtual std::int32_t OnVideoFrame(std::uint32_t channel, CVideoMessage* message,
                                    CVideoMessage* extendedMessage) = 0;  // 1
  // Video of channel stopped after it had been flowing. The result is ignored.
  virtual std::int32_t OnChannelLost(std::int32_t channel) = 0;           // 2
  virtual void UserOperation3(std::int32_t argument) = 0;                 // 3
  // One debug line; the record lives only during the call. The result is ignored.
  virtual std::int32_t OnDebugInfo(CDebugInfoIf* info) = 0;               // 4
};

namespace corvane {

// Receives the device's digital input events.
class ICaptureIOEventSink {
 public:
  virtual ~ICaptureIOEventSink() = default;                   // 0
  // input counts from 0; state 1 = inactive, 2 = active.
  virtual void OnInputChanged(int input, int state) = 0;      // 1
  virtual void OnConnectionLost() = 0;                        // 2
};

}  // namespace corvane
