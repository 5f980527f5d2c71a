#include "platform/durable_files.h"

#include <cerrno>
#include <fcntl.h>
#include <system_error>
#include <unistd.h>

#include <boost/filesystem/path.hpp>

namespace platform {
namespace {

[[noreturn]] void ThrowErrno(const std::string& what, const std::string& path) {
  throw std::system_error(errno, std::generic_category(), what + " " + path);
}

void FlushPath(const std::string& path, int flags) {
  int fd = ::open(path.c_str(), flags | O_CLOEXEC);
  if (fd < 0) ThrowErrno("cannot open", path);
  if (::fsync(fd) != 0) {
    int saved = errno;
    ::close(fd);
    errno = saved;
    ThrowErrno("cannot flush", path);
  }
  ::close(fd);
}

std::string DirectoryOf(const std::string& path) {
  std::string parent = boost::filesystem::path(path).parent_path().string();
  return parent.empty() ? "." : parent;
}

}  // namespace

void FlushFileToDisk(const std::string& path) {
  FlushPath(path, O_RDONLY);
  FlushPath(DirectoryOf(path), O_RDONLY | O_DIRECTORY);
}

void ReplaceKeepingBackup(const std::string& targetPath, const std::string& newPath,
                          const std::string& backupPath) {
  if (::link(targetPath.c_str(), backupPath.c_str()) == 0) {
    // The old image now has two names; the rename swaps the new one in
    // atomically, so the target name is never missing.
    if (::rename(newPath.c_str(), targetPath.c_str()) != 0) {
      int saved = errno;
      ::unlink(backupPath.c_str());
      errno = saved;
      ThrowErrno("cannot rename " + newPath + " to", targetPath);
    }
  } else {
    if (::rename(targetPath.c_str(), backupPath.c_str()) != 0) {
      ThrowErrno("cannot rename " + targetPath + " to", backupPath);
    }
    if (::rename(newPath.c_str(), targetPath.c_str()) != 0) {
      ThrowErrno("cannot rename " + newPath + " to", targetPath);
    }
  }
  FlushPath(DirectoryOf(targetPath), O_RDONLY | O_DIRECTORY);
}

}  // namespace platform
