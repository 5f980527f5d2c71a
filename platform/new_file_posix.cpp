#include "platform/new_file.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace platform {

bool CloseNativeFile(NativeFile file) { return ::close(static_cast<int>(file)) == 0; }

NativeFile CreateNewFile(const std::string& path, NewFileAccess access) {
  const bool owner = access == NewFileAccess::Private;
  // O_EXCL fails on anything that stands there, a dangling link included;
  // O_NOFOLLOW says the same for systems that read O_EXCL loosely.
  const int fd = ::open(path.c_str(),
                        (owner ? O_RDWR : O_WRONLY) | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                        owner ? 0600 : 0666);
  return fd < 0 ? kNoFile : fd;
}

bool NewFile::Write(const char* data, std::size_t size) {
  if (file_ == kNoFile) {
    errno = EBADF;
    return false;
  }
  while (size > 0) {
    const ssize_t n = ::write(static_cast<int>(file_), data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = EIO;
      return false;
    }
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace platform
