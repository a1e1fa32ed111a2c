// A small read-only file handle. The settings store uses it to see whether a file exists
// and has any content before it hands the file to the XML parser.
#pragma once

#include <string>

#include "platform/platform.h"

class CPellowFileBase {
 public:
  CPellowFileBase();
  // Closes the handle if one is open.
  virtual ~CPellowFileBase();
  CPellowFileBase(const CPellowFileBase&) = delete;
  CPellowFileBase& operator=(const CPellowFileBase&) = delete;

  // Opens an existing file for reading; never creates one. False at once for a null or
  // empty name. A handle opened earlier is closed first.
  bool OpenForRead(const char* name);
  // Size in bytes of the open file; -1 when nothing is open or the size cannot be read.
  long long GetSize() const;
  // Closes the handle now; closing twice does nothing.
  void Close();

  bool IsOpen() const { return file_.Valid(); }
  // Name given to the last OpenForRead.
  const std::string& fileName() const { return fileName_; }

 private:
  std::string fileName_;
  platform::File file_;
};
