// The device's digital inputs and outputs, as the host sees them. The host obtains the
// object through the driver property "ICaptureIOApi" (a pointer-sized buffer) and never
// deletes it. Slot 0 is a plain virtual destructor.
#pragma once

#include "veltrane/host.h"

namespace corvane {

class ICaptureIOApi {
 public:
  virtual ~ICaptureIOApi() = default;                       // 0
  virtual bool SetEventSink(ICaptureIOEventSink* sink) = 0;  // 1
  virtual bool Enable() = 0;                                 // 2
  virtual bool Disable() = 0;                                // 3
  virtual int GetInputCount() = 0;                           // 4
  virtual int GetOutputCount() = 0;                          // 5
  // output counts from 0; state 1 = off, 2 = on.
  virtual bool SetOutput(int output, int state) = 0;         // 6
};

}  // namespace corvane
