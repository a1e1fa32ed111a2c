#include <dlfcn.h>
#include <unistd.h>

#include <cerrno>

#include "backend.h"

namespace recorder {

namespace {

// In the build tree the driver sits beside the recorder. Installed, the recorder lives in a
// folder of its own below the library folder and the driver is found by its soname on the
// recorder's run path.
constexpr const char* kBesideName = "libveltrane.so";
constexpr const char* kInstalledName = "libveltrane.so.1";

std::string LoadError(const std::string& what) {
  const char* reason = ::dlerror();
  return "cannot load " + what + ": " + (reason ? reason : "unknown error");
}

}  // namespace

DriverModule::~DriverModule() {
  if (handle_) ::dlclose(handle_);
}

bool DriverModule::Load(const std::string& folder, std::string* error) {
  const std::string beside = folder + kBesideName;
  handle_ = ::dlopen(beside.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle_) {
    // A driver beside the recorder that does not load is reported as it is, never replaced
    // by another one from elsewhere.
    if (::access(beside.c_str(), F_OK) == 0 || errno != ENOENT) {
      *error = LoadError(beside);
      return false;
    }
    handle_ = ::dlopen(kInstalledName, RTLD_NOW | RTLD_LOCAL);
    if (!handle_) {
      *error = LoadError(beside + " or " + kInstalledName);
      return false;
    }
  }
  auto find = [&](const char* name, auto& slot) {
    slot = reinterpret_cast<std::remove_reference_t<decltype(slot)>>(::dlsym(handle_, name));
    if (!slot) *error = std::string("libveltrane.so has no export ") + name;
    return slot != nullptr;
  };
  return find("CreateCapture", createCapture) && find("DeleteCapture", deleteCapture) &&
         find("CreateIPCapture", createIPCapture) && find("DeleteIPCapture", deleteIPCapture);
}

}  // namespace recorder
