#include "platform/file_kind.h"

#include <cerrno>
#include <cstdlib>
#include <memory>
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

std::string FinalPath(const std::string& path) {
  std::unique_ptr<char, decltype(&std::free)> resolved(::realpath(path.c_str(), nullptr),
                                                        &std::free);
  if (!resolved) throw std::system_error(errno, std::generic_category(), "cannot follow " + path);
  return resolved.get();
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
