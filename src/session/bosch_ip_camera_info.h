// One camera input's session: its worker thread, RCP+ video connection and frame delivery.
#pragma once

namespace corvane {

class CBoschIPCameraInfo {
 public:
  virtual ~CBoschIPCameraInfo() = default;
};

}  // namespace corvane
