#include "platform/new_file.h"

#include <cerrno>

namespace platform {

NewFile::~NewFile() { Close(); }

bool NewFile::Create(const std::string& path) {
  if (file_ != kNoFile) {
    errno = EBUSY;
    return false;
  }
  file_ = CreateNewFile(path, NewFileAccess::Ordinary);
  return file_ != kNoFile;
}

bool NewFile::Close() {
  if (file_ == kNoFile) return true;
  const NativeFile file = file_;
  file_ = kNoFile;
  return CloseNativeFile(file);
}

}  // namespace platform
