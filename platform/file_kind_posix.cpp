#include "platform/file_kind.h"

#include <cerrno>
#include <sys/stat.h>
#include <system_error>

namespace platform {

FileKind KindOf(const std::string& path) {
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) {
    // A path through a file (ENOTDIR) names nothing either.
    if (errno == ENOENT || errno == ENOTDIR) return FileKind::None;
    throw std::system_error(errno, std::generic_category(), "cannot examine " + path);
  }
  if (S_ISREG(st.st_mode)) return FileKind::Regular;
  if (S_ISDIR(st.st_mode)) return FileKind::Directory;
  if (S_ISLNK(st.st_mode)) return FileKind::Link;
  if (S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode)) return FileKind::Device;
  if (S_ISFIFO(st.st_mode)) return FileKind::Fifo;
  if (S_ISSOCK(st.st_mode)) return FileKind::Socket;
  return FileKind::Other;
}

bool LeadsToDirectory(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) {
    if (errno == ENOENT || errno == ENOTDIR) return false;
    throw std::system_error(errno, std::generic_category(), "cannot examine " + path);
  }
  return S_ISDIR(st.st_mode);
}

}  // namespace platform
