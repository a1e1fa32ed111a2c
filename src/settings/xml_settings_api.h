// Read-only store over one device-type settings file: an XML file beside the host's
// executable whose settings are the "value" attributes of elements addressed by slash
// paths from the root element, e.g. "bosch/resolutions/cif". Text is UTF-8 throughout.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "foundation/recursive_lock.h"

namespace pugi {
class xml_document;
}

// Result of every failed Load (the generic failure code, as a signed 32-bit value).
constexpr std::int32_t kSettingsFailure = static_cast<std::int32_t>(0x80004005u);

class CXMLSettingsAPI {
 public:
  CXMLSettingsAPI();
  // Releases one load reference; the document never outlives the store.
  virtual ~CXMLSettingsAPI();
  CXMLSettingsAPI(const CXMLSettingsAPI&) = delete;
  CXMLSettingsAPI& operator=(const CXMLSettingsAPI&) = delete;

  // Loads fileName from the executable's folder. 0 on success; kSettingsFailure when the
  // name is null, empty or contains '/', the executable's folder is unknown, or the file is
  // missing, empty or not well-formed.
  // On a store that is already loaded it only counts another reference and returns 0:
  // the first document stays, whatever file is named now.
  std::int32_t Load(const char* fileName);

  // The "value" attribute of the first element, in document order, on the key path made
  // by formatting format with the arguments (cut at 1,023 characters). Matching is
  // case-sensitive. The empty string when nothing is loaded, nothing matches or the
  // element has no such attribute. Pass text from a file as an argument ("%s"), never
  // as the format.
  std::string GetValue(const char* format, ...) __attribute__((format(printf, 2, 3)));

 private:
  std::atomic<std::int32_t> loadCount_{0};
  corvane::CRecursiveLock loadLock_;
  std::unique_ptr<pugi::xml_document> document_;
  corvane::CRecursiveLock queryLock_;
};
