#include "settings/xml_settings_api.h"

#include <cstdarg>
#include <cstdio>
#include <new>
#include <string_view>

#include <pugixml.hpp>

#include "platform/platform.h"
#include "settings/pellow_file_base.h"
#include "settings/settings_document.h"

namespace {

// Key paths are formatted into a buffer of this size; longer keys are cut, not refused.
constexpr std::size_t kKeyBufferSize = 1024;

// The parser is never handed a file that is missing or empty.
bool FileHasContent(const std::string& path) {
  CPellowFileBase probe;
  if (!probe.OpenForRead(path.c_str())) return false;
  const long long size = probe.GetSize();
  probe.Close();
  return size > 0;
}

}  // namespace

CXMLSettingsAPI::CXMLSettingsAPI() = default;

CXMLSettingsAPI::~CXMLSettingsAPI() {
  corvane::CAutoLock guard(loadLock_);
  if (loadCount_.load(std::memory_order_relaxed) > 0) loadCount_.fetch_sub(1, std::memory_order_acq_rel);
  // The store's own reference goes whatever the count, so no document outlives it.
  document_.reset();
}

std::int32_t CXMLSettingsAPI::Load(const char* fileName) {
  if (!settings_detail::IsPlainFileName(fileName)) return kSettingsFailure;

  corvane::CAutoLock guard(loadLock_);
  if (loadCount_.load(std::memory_order_relaxed) != 0) {
    loadCount_.fetch_add(1, std::memory_order_acq_rel);
    return 0;
  }

  // Without the folder a bare name would be looked up in the working directory.
  const std::string folder = platform::ExecutableFolder();
  if (folder.empty()) return kSettingsFailure;
  const std::string path = folder + fileName;
  if (!FileHasContent(path)) return kSettingsFailure;

  std::unique_ptr<pugi::xml_document> document(new (std::nothrow) pugi::xml_document);
  if (!document) return kSettingsFailure;
  if (!settings_detail::ParseSettingsFile(path, *document)) return kSettingsFailure;

  document_ = std::move(document);
  // Published after the document: GetValue reads the count without the load lock.
  loadCount_.fetch_add(1, std::memory_order_release);
  return 0;
}

std::string CXMLSettingsAPI::GetValue(const char* format, ...) {
  if (format == nullptr) return {};
  char key[kKeyBufferSize];
  va_list args;
  va_start(args, format);
  const int written = std::vsnprintf(key, sizeof key, format, args);
  va_end(args);
  if (written < 0) return {};

  if (loadCount_.load(std::memory_order_acquire) == 0) return {};

  corvane::CAutoLock guard(queryLock_);
  const pugi::xml_node element = settings_detail::FindFirstElement(*document_, std::string_view(key));
  return element.attribute("value").value();
}
