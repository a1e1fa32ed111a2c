#include <dlfcn.h>

#include "backend.h"

namespace recorder {

DriverModule::~DriverModule() {
  if (handle_) ::dlclose(handle_);
}

bool DriverModule::Load(const std::string& folder, std::string* error) {
  const std::string path = folder + "libveltrane.so";
  handle_ = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle_) {
    const char* reason = ::dlerror();
    *error = "cannot load " + path + ": " + (reason ? reason : "unknown error");
    return false;
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
