// Access to a digital I/O object's private state, for its test suites and its fuzz target.
// No GoogleTest here, so the fuzz target can use it as it is.
#pragma once

#include <cstddef>
#include <cstdint>

#include "digitalio/bosch_digital_io.h"
#include "foundation/recursive_lock.h"

namespace corvane {

struct CBoschDigitalIOTestPeer {
  static void SetOnline(CBoschDigitalIO& io, bool value) { io.online.store(value); }
  static bool Online(CBoschDigitalIO& io) { return io.online.load(); }
  // Enabled or not as far as the callbacks can tell, without waking the worker thread.
  static void SetEnabled(CBoschDigitalIO& io, bool value) { io.enabled.store(value); }
  static int InputState(CBoschDigitalIO& io, int input) {
    return io.inputStates[static_cast<std::size_t>(input)].load();
  }
  static std::uint32_t SessionId(CBoschDigitalIO& io) {
    CAutoLock guard(io.lock);
    return io.sessionId;
  }
  static void ResetErrorCount(CBoschDigitalIO& io) { io.errorCount.store(0); }
  // Hands the queued sink calls to the sink on the calling thread, as the worker would.
  static void DeliverSinkCalls(CBoschDigitalIO& io) { io.DeliverSinkCalls(); }
  // Back to the state of a new object with these configured counts.
  static void Reset(CBoschDigitalIO& io, int inputs, int outputs) {
    io.inputCount.store(inputs);
    io.outputCount.store(outputs);
    for (auto& state : io.inputStates) state.store(0);
    io.online.store(false);
    io.SetSessionId(0);
    io.SetEventSink(nullptr);
  }
};

}  // namespace corvane
