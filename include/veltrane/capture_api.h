// The older capture interface that the host drives: CCaptureAPI and its extension
// CCaptureAPIEx. The slot order is fixed by the host; operations this driver does not
// implement keep their places (HostOperationNN) and answer a constant.
//
// ABI: slot 0 is a plain virtual destructor (two vtable entries under g++; host and driver
// declare it the same way). "Boolean" results are 32-bit int 0 or 1.
#pragma once

#include <cstdint>

#include "veltrane/host.h"

// Channel states reported by GetChannelStatus.
enum ChannelState : int {
  ChannelVideo = 0,    // video is arriving
  ChannelStopped = 1,  // not capturing
  ChannelStarted = 3,  // start accepted, no video seen yet
  ChannelNoVideo = 4,  // no frame arrived since the previous poll
};

class CCaptureAPI {
 public:
  virtual ~CCaptureAPI() = default;                                        // 0
  virtual int HostOperation01() = 0;                                       // 1
  virtual void SetCaptureUser(CCaptureAPIUser* user) = 0;                  // 2
  virtual void SetVideoAllocator(CVideoAllocator* allocator) = 0;          // 3
  // 0 selects the 25 fps family of frame intervals, anything else the 30 fps family.
  virtual int SetVideoMode(int mode) = 0;                                  // 4
  virtual int SetCompression(std::uint32_t fourcc) = 0;                    // 5
  // code 1 = QCIF, 2 = CIF, 3 = 2CIF, 4 = 4CIF.
  virtual int GetResolutionSize(int code, int* width, int* height) = 0;    // 6
  virtual int HostOperation07(int argument) = 0;                           // 7
  virtual int GetChannelCount() = 0;                                       // 8
  virtual int GetFirstCompression(std::uint32_t* fourcc) = 0;              // 9
  virtual int GetNextCompression(std::uint32_t* fourcc) = 0;               // 10
  virtual int GetMaxFrameRate(unsigned channel, int* rate) = 0;            // 11
  virtual int HostOperation12() = 0;                                       // 12
  virtual int GetFirstResolution(int* code) = 0;                           // 13
  virtual int GetNextResolution(int* code) = 0;                            // 14
  virtual int GetFirstFrameInterval(int* milliseconds) = 0;                // 15
  virtual int GetNextFrameInterval(int* milliseconds) = 0;                 // 16
  virtual int HostOperation17() = 0;                                       // 17
  virtual int Open(const char* unused) = 0;                                // 18
  virtual int Close() = 0;                                                 // 19
  virtual int StartChannel(int channel, int frameIntervalMs, int resolutionCode,
                           int quality) = 0;                               // 20
  virtual int StopChannel(int channel) = 0;                                // 21
  virtual int GetChannelName(unsigned channel, char* buffer, unsigned size) = 0;  // 22
  virtual int HostOperation23() = 0;                                       // 23
  virtual int HostOperation24() = 0;                                       // 24
  virtual int HostOperation25() = 0;                                       // 25
  virtual int HostOperation26(int, int, int, int, int, int, int, int, int) = 0;  // 26
  virtual int HostOperation27() = 0;                                       // 27
  virtual int HostOperation28(int argument) = 0;                           // 28
  virtual void HostOperation29() = 0;                                      // 29
  // Text properties take a NUL-terminated string; "IPSERVERPORT" carries the port number
  // itself in the pointer-sized value. length is not used.
  virtual int SetProperty(const char* name, const void* value, int length) = 0;  // 30
  virtual int GetProperty(const char* name, void* buffer, int size) = 0;   // 31
  virtual int HostOperation32(int* first, int* second) = 0;                // 32
  virtual int HostOperation33(int, int) = 0;                               // 33
  virtual int GetChannelStatus(int channel, int* state, int* event, char* text,
                               unsigned textSize) = 0;                     // 34
};

class CCaptureAPIEx : public CCaptureAPI {
 public:
  virtual int HostOperation35(int argument) = 0;                           // 35
  virtual int HostOperation36(int, int) = 0;                               // 36
  virtual int HostOperation37(int, int) = 0;                               // 37
};
