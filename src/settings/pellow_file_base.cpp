#include "settings/pellow_file_base.h"

CPellowFileBase::CPellowFileBase() = default;

CPellowFileBase::~CPellowFileBase() { Close(); }

bool CPellowFileBase::OpenForRead(const char* name) {
  if (name == nullptr || *name == '\0') return false;
  Close();
  fileName_ = name;
  handle_ = platform::OpenFileForRead(name);
  return handle_.Valid();
}

long long CPellowFileBase::GetSize() const {
  if (!handle_.Valid()) return -1;
  return platform::FileSize(handle_);
}

void CPellowFileBase::Close() { handle_.Close(); }
