#include "platform/new_file.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace platform {

NewFile::~NewFile() { Close(); }

bool NewFile::Create(const std::string& path) {
  if (handle_ >= 0) {
    errno = EBUSY;
    return false;
  }
  // O_EXCL also refuses a dangling symbolic link of that name.
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd < 0) return false;
  handle_ = fd;
  return true;
}

bool NewFile::Write(const char* data, std::size_t size) {
  if (handle_ < 0) {
    errno = EBADF;
    return false;
  }
  while (size > 0) {
    const ssize_t n = ::write(static_cast<int>(handle_), data, size);
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

bool NewFile::Close() {
  if (handle_ < 0) return true;
  const int fd = static_cast<int>(handle_);
  handle_ = -1;
  return ::close(fd) == 0;
}

}  // namespace platform
