#include "platform/new_file.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace platform {

bool CloseNativeFile(NativeFile file) { return ::close(static_cast<int>(file)) == 0; }

NativeFile CreateNewFile(const std::string& path, NewFileAccess access) {
  // O_EXCL fails on anything that stands there, a dangling link included;
  // O_NOFOLLOW says the same for systems that read O_EXCL loosely.
  const bool owner = access == NewFileAccess::Private;
  const int fd = ::open(path.c_str(),
                        (owner ? O_RDWR : O_WRONLY) | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                        owner ? 0600 : 0666);
  return fd < 0 ? kNoFile : fd;
}

}  // namespace platform
