// File locks on Windows: LockFileEx on one byte far beyond any image's end,
// so that the lock excludes other runs without keeping anyone, this run's
// own reader included, from reading the file's data (Windows byte-range
// locks are mandatory). Identity by volume serial number and file index;
// attributes are the file's security descriptor.
#include "platform/file_lock.h"

#include <aclapi.h>

#include <cerrno>
#include <system_error>

#include "platform/windows_support.h"

namespace platform {
namespace {

// A file that keeps being replaced while it is opened is not worth waiting for.
constexpr int kAttempts = 20;
// The locked byte: past the end of any file a file system can hold.
constexpr DWORD kLockOffsetHigh = 0x7FFFFFFF;
constexpr DWORD kLockOffsetLow = 0xFFFFFFF0;

OVERLAPPED LockedByte() {
  OVERLAPPED at = {};
  at.Offset = kLockOffsetLow;
  at.OffsetHigh = kLockOffsetHigh;
  return at;
}

// Errors of LockFileEx that mean "no locks here": the file is then held
// without one, as on other systems.
bool NoLocks(DWORD error) {
  return error == ERROR_NOT_SUPPORTED || error == ERROR_INVALID_FUNCTION;
}

}  // namespace

struct FileLock::Impl {
  HANDLE file = INVALID_HANDLE_VALUE;
  std::string path;
  std::string whyUnlocked;
  FileIdentity held;
};

FileLock::FileLock() : impl_(new Impl) {}

FileLock::~FileLock() { Release(); }

const std::string& FileLock::WhyUnlocked() const { return impl_->whyUnlocked; }

void FileLock::Release() {
  if (impl_->file != INVALID_HANDLE_VALUE) ::CloseHandle(impl_->file);  // drops the lock
  impl_->file = INVALID_HANDLE_VALUE;
}

FileLock::Result FileLock::Acquire(const std::string& path, Mode mode) {
  Release();
  bool pipe = false;
  if (IsDevicePath(path, pipe)) return Result::NotRegular;
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    // READ_CONTROL: the security descriptor is read through this handle.
    HANDLE file = OpenUnfollowed(path, GENERIC_READ | READ_CONTROL);
    if (file == INVALID_HANDLE_VALUE) {
      if (NothingThere(::GetLastError())) return Result::Missing;
      ThrowLastError("cannot open", path);
    }
    OpenFileFacts facts;
    if (::GetFileType(file) != FILE_TYPE_DISK || !FactsOf(file, facts) || facts.link ||
        (facts.attributes & FILE_ATTRIBUTE_DIRECTORY)) {
      ::CloseHandle(file);
      return Result::NotRegular;
    }
    OVERLAPPED at = LockedByte();
    const DWORD flags = (mode == Mode::Exclusive ? LOCKFILE_EXCLUSIVE_LOCK : 0) |
                        LOCKFILE_FAIL_IMMEDIATELY;
    Result result = Result::Locked;
    if (!::LockFileEx(file, flags, 0, 1, 0, &at)) {
      const DWORD error = ::GetLastError();
      if (!NoLocks(error)) {
        ::CloseHandle(file);
        if (error == ERROR_LOCK_VIOLATION || error == ERROR_IO_PENDING) return Result::Busy;
        ::SetLastError(error);
        ThrowLastError("cannot lock", path);
      }
      impl_->whyUnlocked = "the file system offers no byte-range locks";
      result = Result::Unlocked;
    }
    OpenFileFacts named;
    if (FactsAt(path, named) && !named.link && named.identity == facts.identity) {
      impl_->file = file;
      impl_->path = path;
      impl_->held = facts.identity;
      return result;
    }
    ::CloseHandle(file);
  }
  throw std::system_error(EAGAIN, std::generic_category(),
                          "cannot lock " + path + ": it keeps being replaced");
}

bool FileLock::Names(const std::string& path) const {
  OpenFileFacts named;
  return impl_->file != INVALID_HANDLE_VALUE && FactsAt(path, named) && !named.link &&
         !(named.attributes & FILE_ATTRIBUTE_DIRECTORY) && named.identity == impl_->held;
}

FileAttributes FileLock::Attributes() const {
  if (impl_->file == INVALID_HANDLE_VALUE) {
    throw std::system_error(EBADF, std::generic_category(), "no file held");
  }
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  const DWORD error = ::GetSecurityInfo(
      impl_->file, SE_FILE_OBJECT,
      OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
      nullptr, nullptr, nullptr, nullptr, &descriptor);
  FileAttributes attributes;
  // A descriptor that cannot be read is left out: the new version then
  // keeps its private one and is only less accessible than the old one,
  // never more.
  if (error == ERROR_SUCCESS && descriptor != nullptr) {
    // GetSecurityInfo returns the self-relative form: one block of bytes.
    attributes.accessControlList.assign(static_cast<const char*>(descriptor),
                                        ::GetSecurityDescriptorLength(descriptor));
    attributes.owner = attributes.group = 0;  // the descriptor's own
  }
  if (descriptor != nullptr) ::LocalFree(descriptor);
  return attributes;
}

}  // namespace platform
