// New versions of files on POSIX systems: exclusive creation with
// O_NOFOLLOW, identity by device and inode, a hard link for the backup
// name, rename(2) for the swap and fsync(2) of the file and its directory.
#include "platform/durable_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <random>
#include <stdexcept>
#include <system_error>

#include <boost/filesystem/path.hpp>

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
  static const char kLetters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  std::random_device seed;
  std::mt19937 random(seed());
  std::uniform_int_distribution<std::size_t> pick(0, sizeof kLetters - 2);
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string name = backup + ".";
    for (int i = 0; i < 6; ++i) name += kLetters[pick(random)];
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

struct ReplacementFile::Impl {
  std::string path;
  int fd = -1;
  dev_t device = 0;
  ino_t inode = 0;
  bool committed = false;
};

ReplacementFile::ReplacementFile() : impl_(new Impl) {}

ReplacementFile::~ReplacementFile() {
  if (impl_->fd >= 0) ::close(impl_->fd);
}

void ReplacementFile::Create(const std::string& path) {
  if (impl_->fd >= 0) throw std::logic_error("replacement file created twice: " + path);
  // O_EXCL fails on anything that stands there, a dangling link included.
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) Throw(errno, "cannot create " + path);
  struct stat st;
  if (::fstat(fd, &st) != 0) {
    const int error = errno;
    ::close(fd);
    ::unlink(path.c_str());
    Throw(error, "cannot examine " + path);
  }
  impl_->path = path;
  impl_->fd = fd;
  impl_->device = st.st_dev;
  impl_->inode = st.st_ino;
  impl_->committed = false;
}

const std::string& ReplacementFile::path() const { return impl_->path; }

bool ReplacementFile::StillNamed() const {
  struct stat st;
  return impl_->fd >= 0 && ::lstat(impl_->path.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
         st.st_dev == impl_->device && st.st_ino == impl_->inode;
}

bool ReplacementFile::Committed() const { return impl_->committed; }

void ReplacementFile::TakeAttributes(const FileAttributes& attributes) {
  const int fd = impl_->fd;
  const auto owner = static_cast<uid_t>(attributes.owner);
  const auto group = static_cast<gid_t>(attributes.group);
  if ((attributes.owner >= 0 || attributes.group >= 0) && ::fchown(fd, owner, group) != 0) {
    // Only a privileged process may give a file away; it may still be
    // allowed to set the group.
    if (errno != EPERM || (::fchown(fd, static_cast<uid_t>(-1), group) != 0 && errno != EPERM)) {
      Throw(errno, "cannot set the owner of " + impl_->path);
    }
  }
  // After fchown, which may clear the set-user-ID and set-group-ID bits.
  if (::fchmod(fd, static_cast<mode_t>(attributes.permissions & 07777)) != 0) {
    Throw(errno, "cannot set the permissions of " + impl_->path);
  }
  const std::string& acl = attributes.accessControlList;
  if (!acl.empty() && ::fsetxattr(fd, kAccessAcl, acl.data(), acl.size(), 0) != 0 &&
      errno != ENOTSUP) {
    Throw(errno, "cannot set the access control list of " + impl_->path);
  }
}

void ReplacementFile::Flush() {
  if (::fsync(impl_->fd) != 0) Throw(errno, "cannot flush " + impl_->path);
}

std::string ReplacementFile::CommitOver(const std::string& target, const std::string& backup) {
  if (impl_->fd < 0 || impl_->committed) {
    throw std::logic_error("nothing to commit over " + target);
  }
  if (backup.empty()) {
    Rename(impl_->path, target);
  } else {
    SwapKeepingBackup(target, backup, impl_->path);
  }
  impl_->committed = true;
  return FlushDirectory(DirectoryOf(target));
}

void ReplacementFile::Discard() noexcept {
  if (impl_->fd >= 0 && !impl_->committed && StillNamed()) ::unlink(impl_->path.c_str());
}

}  // namespace platform
