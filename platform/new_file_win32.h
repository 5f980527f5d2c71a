// The system's part of a NewFile on Windows, shared by the files that
// create, write and commit it.
#pragma once

#include "platform/new_file.h"
#include "platform/windows_support.h"

namespace platform {

struct NewFile::Impl {
  // The handle CreateFileW returned: attributes, flushes and renames go
  // through it. A private file's handle writes through to the disk, so
  // its data goes through a second handle on the same file (ReOpenFile),
  // made at the first write.
  HANDLE file = INVALID_HANDLE_VALUE;
  HANDLE writer = INVALID_HANDLE_VALUE;
  bool writesThrough = false;
  FileIdentity identity;

  HANDLE Writer();
};

}  // namespace platform
