// The system's part of a NewFile on POSIX systems, shared by the files
// that create, write and commit it.
#pragma once

#include <sys/types.h>

#include "platform/new_file.h"

namespace platform {

struct NewFile::Impl {
  int fd = -1;
  // The identity of the file Create made, to tell it from whatever else
  // might stand at its name later.
  dev_t device = 0;
  ino_t inode = 0;
};

}  // namespace platform
