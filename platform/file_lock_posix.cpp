// File locks on POSIX systems: flock(2) on a descriptor opened with
// O_NOFOLLOW and O_NONBLOCK, identity by device and inode.
#include "platform/file_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>
#include <vector>

namespace platform {
namespace {

constexpr const char* kAccessAcl = "system.posix_acl_access";
// A file that keeps being replaced while it is opened is not worth waiting for.
constexpr int kAttempts = 20;

[[noreturn]] void Throw(int error, const std::string& what) {
  throw std::system_error(error, std::generic_category(), what);
}

bool SameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

}  // namespace

struct FileLock::Impl {
  int fd = -1;
  std::string path;
  struct stat held {};
};

FileLock::FileLock() : impl_(new Impl) {}

FileLock::~FileLock() { Release(); }

void FileLock::Release() {
  if (impl_->fd >= 0) ::close(impl_->fd);  // closing drops the lock
  impl_->fd = -1;
}

FileLock::Result FileLock::Acquire(const std::string& path, Mode mode) {
  Release();
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    // O_NONBLOCK: opening a FIFO or a device must not wait for a peer.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
      if (errno == ENOENT) return Result::Missing;
      if (errno == ELOOP) return Result::NotRegular;  // a link
      Throw(errno, "cannot open " + path);
    }
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
      ::close(fd);
      return Result::NotRegular;
    }
    const int operation = (mode == Mode::Exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB;
    if (::flock(fd, operation) != 0 && errno != ENOLCK && errno != EOPNOTSUPP &&
        errno != EINVAL) {
      const int error = errno;
      ::close(fd);
      if (error == EWOULDBLOCK) return Result::Busy;
      Throw(error, "cannot lock " + path);
    }
    struct stat named;
    if (::lstat(path.c_str(), &named) == 0 && SameFile(named, st)) {
      impl_->fd = fd;
      impl_->path = path;
      impl_->held = st;
      return Result::Locked;
    }
    ::close(fd);
  }
  Throw(EAGAIN, "cannot lock " + path + ": it keeps being replaced");
}

bool FileLock::Names(const std::string& path) const {
  struct stat named;
  return impl_->fd >= 0 && ::lstat(path.c_str(), &named) == 0 && S_ISREG(named.st_mode) &&
         SameFile(named, impl_->held);
}

FileAttributes FileLock::Attributes() const {
  struct stat st;
  if (impl_->fd < 0) Throw(EBADF, "no file held");
  if (::fstat(impl_->fd, &st) != 0) Throw(errno, "cannot examine " + impl_->path);
  FileAttributes attributes;
  attributes.permissions = st.st_mode & 07777;
  attributes.owner = st.st_uid;
  attributes.group = st.st_gid;
  // A list that cannot be read is left out: the new version is then only
  // less accessible than the old one, never more.
  const ssize_t size = ::fgetxattr(impl_->fd, kAccessAcl, nullptr, 0);
  if (size > 0) {
    std::vector<char> acl(static_cast<std::size_t>(size));
    const ssize_t got = ::fgetxattr(impl_->fd, kAccessAcl, acl.data(), acl.size());
    if (got > 0) attributes.accessControlList.assign(acl.data(), static_cast<std::size_t>(got));
  }
  return attributes;
}

}  // namespace platform
