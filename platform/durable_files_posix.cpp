// New files on POSIX systems: exclusive creation with O_NOFOLLOW, identity
// by device and inode, a hard link for the backup name, rename(2) for the
// swap and fsync(2) of the file and its directory.
#include "platform/durable_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <system_error>

#include <boost/filesystem/path.hpp>

#include "platform/new_file_posix.h"

namespace platform {
namespace {

// Where Linux keeps a file's access control list; copying the attribute
// copies the list without a library of its own.
constexpr const char* kAccessAcl = "system.posix_acl_access";

[[noreturn]] void Throw(int error, const std::string& what) {
  throw std::system_error(error, std::generic_category(), what);
}

std::string DirectoryOf(const std::string& path) {
  std::string parent = boost::filesystem::path(path).parent_path().string();
  return parent.empty() ? "." : parent;
}

// File systems that keep no directory data of their own answer fsync of a
// directory with EINVAL or ENOTSUP (EROFS on some): nothing to flush there.
std::string FlushDirectory(const std::string& directory) {
  const int fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return "cannot open " + directory + ": " + std::strerror(errno);
  const int result = ::fsync(fd);
  const int error = errno;
  ::close(fd);
  if (result == 0 || error == EINVAL || error == ENOTSUP || error == EROFS) return "";
  return "cannot flush " + directory + ": " + std::strerror(error);
}

void Rename(const std::string& from, const std::string& to) {
  if (::rename(from.c_str(), to.c_str()) != 0) Throw(errno, "cannot rename " + from + " to " + to);
}

// Errors of link(2) that mean "no hard links here" rather than a failure.
bool NoHardLinks(int error) {
  return error == EPERM || error == EOPNOTSUPP || error == ENOSYS || error == EMLINK;
}

// Gives `target` a second name beside `backup` that nobody else can have
// chosen: link(2) never replaces or follows what stands at the new name.
// Returns "" with `error` set when it cannot.
std::string LinkUnderFreshName(const std::string& target, const std::string& backup, int& error) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::string name = RandomSibling(backup);
    if (::link(target.c_str(), name.c_str()) == 0) return name;
    if (errno != EEXIST) {
      error = errno;
      return "";
    }
  }
  error = EEXIST;
  return "";
}

// The old target becomes `backup`, then the new file becomes the target.
void SwapKeepingBackup(const std::string& target, const std::string& backup,
                       const std::string& newPath) {
  int error = 0;
  const std::string second = LinkUnderFreshName(target, backup, error);
  if (second.empty()) {
    if (!NoHardLinks(error)) Throw(error, "cannot link " + target + " to a name beside " + backup);
    Rename(target, backup);
    try {
      Rename(newPath, target);
    } catch (...) {
      ::rename(backup.c_str(), target.c_str());  // the old file gets its name back
      throw;
    }
    return;
  }
  // The old file now has two names; replacing the backup and then the
  // target are single steps, so the target never lacks a name and the old
  // file always has one of the two.
  if (::rename(second.c_str(), backup.c_str()) != 0) {
    error = errno;
    ::unlink(second.c_str());
    Throw(error, "cannot rename " + second + " to " + backup);
  }
  Rename(newPath, target);
}

}  // namespace

void RemoveFile(const std::string& path) {
  // unlink(2), unlike remove(3), never takes a directory.
  if (::unlink(path.c_str()) != 0) Throw(errno, "cannot remove " + path);
}

NewFile::NewFile() {}

NewFile::~NewFile() { CloseHandles(false); }

void NewFile::Create(const std::string& path, NewFileAccess access) {
  if (impl_) throw std::logic_error("new file created twice: " + path);
  const int fd = static_cast<int>(CreateNewFile(path, access));
  if (fd < 0) Throw(errno, "cannot create " + path);
  struct stat st;
  if (::fstat(fd, &st) != 0) {
    const int error = errno;
    ::close(fd);
    ::unlink(path.c_str());
    Throw(error, "cannot examine " + path);
  }
  impl_.reset(new Impl{fd, st.st_dev, st.st_ino});
  Begin(path);
}

void NewFile::CloseHandles(bool report) {
  if (!impl_ || impl_->fd < 0) return;
  const int fd = impl_->fd;
  impl_->fd = -1;
  // Some file systems (NFS) report a failed write only here.
  if (::close(fd) != 0 && report) Fail(errno, "cannot write " + path_);
}

// By identity, not by the handle: a closed file is still told apart.
bool NewFile::StillNamed() const {
  struct stat st;
  return impl_ && ::lstat(path_.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
         st.st_dev == impl_->device && st.st_ino == impl_->inode;
}

void NewFile::TakeAttributes(const FileAttributes& attributes) {
  if (!impl_ || impl_->fd < 0) Throw(EBADF, "cannot set the attributes of " + path_);
  const int fd = impl_->fd;
  const auto owner = static_cast<uid_t>(attributes.owner);
  const auto group = static_cast<gid_t>(attributes.group);
  if ((attributes.owner >= 0 || attributes.group >= 0) && ::fchown(fd, owner, group) != 0) {
    // Only a privileged process may give a file away; it may still be
    // allowed to set the group.
    if (errno != EPERM || (::fchown(fd, static_cast<uid_t>(-1), group) != 0 && errno != EPERM)) {
      Throw(errno, "cannot set the owner of " + path_);
    }
  }
  // After fchown, which may clear the set-user-ID and set-group-ID bits.
  if (::fchmod(fd, static_cast<mode_t>(attributes.permissions & 07777)) != 0) {
    Throw(errno, "cannot set the permissions of " + path_);
  }
  const std::string& acl = attributes.accessControlList;
  if (!acl.empty() && ::fsetxattr(fd, kAccessAcl, acl.data(), acl.size(), 0) != 0 &&
      errno != ENOTSUP) {
    Throw(errno, "cannot set the access control list of " + path_);
  }
}

void NewFile::Flush() {
  FlushBuffer();
  if (::fsync(impl_->fd) != 0) Throw(errno, "cannot flush " + path_);
}

// A rename replaces a file that is open, so a lock on the target can stay.
std::string NewFile::CommitOver(const std::string& target, const std::string& backup,
                                        FileLock* /*targetLock*/) {
  if (!impl_ || committed_) throw std::logic_error("nothing to commit over " + target);
  FlushBuffer();
  if (backup.empty()) {
    Rename(path_, target);
  } else {
    SwapKeepingBackup(target, backup, path_);
  }
  committed_ = true;
  return FlushDirectory(DirectoryOf(target));
}

void NewFile::Discard() noexcept {
  if (!committed_ && StillNamed()) ::unlink(path_.c_str());
}

}  // namespace platform
