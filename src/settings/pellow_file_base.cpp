#include "settings/pellow_file_base.h"

CPellowFileBase::CPellowFileBase() = default;

CPellowFileBase::~CPellowFileBase() { Close(); }

bool CPellowFileBase::OpenForRead(const char* name) {
  if (name == nullptr || *name == '\0') return false;
  Close();
  fileName_ = name;
  file_ = platform::OpenFileForRead(name);
  return file_.Valid();
}

long long CPellowFileBase::GetSize() const {
  if (!file_.Valid()) return -1;
  return platform::FileSize(file_);
}

void CPellowFileBase::Close() { file_.Close(); }
