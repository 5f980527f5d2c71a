// File locks on POSIX systems: an open file description lock (F_OFD_SETLK)
// on one byte far beyond any image's end, on a descriptor opened with
// O_NOFOLLOW and O_NONBLOCK; identity by device and inode.
//
// The byte is the one Windows runs lock. Where byte-range locks are
// mandatory (SMB shares) a lock on the image's own bytes would keep every
// other descriptor, this run's readers included, from reading them; and
// runs on both systems then exclude each other on a share they both see.
// NFS grants an exclusive lock only on a descriptor open for writing, so a
// run that replaces the image opens it for writing where it may.
#include "platform/file_lock.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <system_error>
#include <vector>

namespace platform {
namespace {

constexpr const char* kAccessAcl = "system.posix_acl_access";
// A file that keeps being replaced while it is opened is not worth waiting for.
constexpr int kAttempts = 20;
constexpr off_t kLockedByte = 0x7FFFFFFFFFFFFFF0;

[[noreturn]] void Throw(int error, const std::string& what) {
  throw std::system_error(error, std::generic_category(), what);
}

bool SameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Errors that mean "no locks here" (EBADF: NFS refusing an exclusive lock
// on a file this user may not write).
bool NoLocks(int error) {
  return error == ENOLCK || error == EOPNOTSUPP || error == EINVAL || error == EBADF;
}

// `fd` reopened for writing when it is the same file and may be written;
// otherwise `fd` as it is.
int ForWriting(int fd, const std::string& path, const struct stat& st) {
  const int writable = ::open(path.c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  struct stat again;
  if (writable < 0) return fd;
  if (::fstat(writable, &again) != 0 || !SameFile(again, st)) {
    ::close(writable);
    return fd;
  }
  ::close(fd);
  return writable;
}

}  // namespace

struct FileLock::Impl {
  int fd = -1;
  std::string path;
  std::string whyUnlocked;
  struct stat held {};
};

FileLock::FileLock() : impl_(new Impl) {}

FileLock::~FileLock() { Release(); }

void FileLock::Release() {
  if (impl_->fd >= 0) ::close(impl_->fd);  // closing drops the lock
  impl_->fd = -1;
}

const std::string& FileLock::WhyUnlocked() const { return impl_->whyUnlocked; }

FileLock::Result FileLock::Acquire(const std::string& path, Mode mode) {
  Release();
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    // O_NONBLOCK: opening a FIFO or a device must not wait for a peer.
    int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
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
    if (mode == Mode::Exclusive) fd = ForWriting(fd, path, st);
    struct flock range {};
    range.l_type = mode == Mode::Exclusive ? F_WRLCK : F_RDLCK;
    range.l_whence = SEEK_SET;
    range.l_start = kLockedByte;
    range.l_len = 1;
    Result result = Result::Locked;
    if (::fcntl(fd, F_OFD_SETLK, &range) != 0) {
      const int error = errno;
      if (!NoLocks(error)) {
        ::close(fd);
        if (error == EAGAIN || error == EACCES) return Result::Busy;
        Throw(error, "cannot lock " + path);
      }
      impl_->whyUnlocked = std::strerror(error);
      result = Result::Unlocked;
    }
    struct stat named;
    if (::lstat(path.c_str(), &named) == 0 && SameFile(named, st)) {
      impl_->fd = fd;
      impl_->path = path;
      impl_->held = st;
      return result;
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
