// New files on Windows: exclusive creation with CREATE_NEW,
// identity by volume serial number and file index, a hard link
// (CreateHardLinkW) for the backup name, and a rename of the open new file
// over the target. The security descriptor stands for the permission
// bits, owner, group and access list of other systems.
//
// Windows refuses to rename over a file that is open, unless the rename
// asks for POSIX semantics (Windows 10 1709 and later, on NTFS); this run's
// own lock holds the target open, so without those semantics the lock is
// released just before MoveFileExW.
#include "platform/durable_files.h"

#include <aclapi.h>

#include <algorithm>
#include <cerrno>
#include <stdexcept>
#include <system_error>
#include <vector>

#include "platform/file_lock.h"
#include "platform/new_file_win32.h"
#include "platform/windows_support.h"

namespace platform {
namespace {

constexpr DWORD kMoveReplacing = MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH;
// The classes of POSIX-semantics deletes and renames, and the rename's
// flags; the headers at hand number the classes only for some target
// versions.
constexpr auto kFileDispositionInfoEx = static_cast<FILE_INFO_BY_HANDLE_CLASS>(21);
constexpr auto kFileRenameInfoEx = static_cast<FILE_INFO_BY_HANDLE_CLASS>(22);
constexpr DWORD kRenameFlags = FILE_RENAME_FLAG_REPLACE_IF_EXISTS |
                               FILE_RENAME_FLAG_POSIX_SEMANTICS |
                               0x40;  // FILE_RENAME_FLAG_IGNORE_READONLY_ATTRIBUTE

[[noreturn]] void Throw(DWORD error, const std::string& what) {
  throw std::system_error(ErrnoFromWindowsError(error), std::generic_category(), what);
}

void Move(const std::string& from, const std::string& to, DWORD flags) {
  if (!::MoveFileExW(WidePath(from).c_str(), WidePath(to).c_str(), flags)) {
    Throw(::GetLastError(), "cannot rename " + from + " to " + to);
  }
}

// Errors of CreateHardLinkW that mean "no hard links here".
bool NoHardLinks(DWORD error) {
  return error == ERROR_NOT_SUPPORTED || error == ERROR_INVALID_FUNCTION ||
         error == ERROR_TOO_MANY_LINKS || error == ERROR_INVALID_PARAMETER;
}

// Gives `target` a second name beside `backup` that nobody else can have
// chosen: CreateHardLinkW never replaces what stands at the new name.
std::string LinkUnderFreshName(const std::string& target, const std::string& backup,
                               DWORD& error) {
  const std::wstring wideTarget = WidePath(target);
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::string name = RandomSibling(backup);
    if (::CreateHardLinkW(WidePath(name).c_str(), wideTarget.c_str(), nullptr)) return name;
    error = ::GetLastError();
    if (error != ERROR_ALREADY_EXISTS && error != ERROR_FILE_EXISTS) return "";
  }
  error = ERROR_ALREADY_EXISTS;
  return "";
}

// A second handle on the open file `file` with the right to rename or
// delete it, which the file's own handle leaves out (see CreateNewFile).
// INVALID_HANDLE_VALUE when the system refuses.
HANDLE WithDeleteRight(HANDLE file) {
  return ::ReOpenFile(file, DELETE | SYNCHRONIZE,
                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                      FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_WRITE_THROUGH);
}

// Renames the open file `file` to `to` with POSIX semantics, which replace
// a target that others hold open. False where the system or the file
// system does not offer them.
bool RenameWithPosixSemantics(HANDLE file, const std::string& to) {
  const std::wstring name = WidePath(to);
  std::vector<char> buffer(sizeof(FILE_RENAME_INFO) + (name.size() + 1) * sizeof(WCHAR));
  auto* info = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
  info->Flags = kRenameFlags;
  info->RootDirectory = nullptr;
  info->FileNameLength = static_cast<DWORD>(name.size() * sizeof(WCHAR));
  // The system turns the name into its own form; it must end in a NUL.
  std::copy(name.c_str(), name.c_str() + name.size() + 1, info->FileName);
  HANDLE renamer = WithDeleteRight(file);
  if (renamer == INVALID_HANDLE_VALUE) return false;
  const bool renamed = ::SetFileInformationByHandle(renamer, kFileRenameInfoEx, info,
                                                    static_cast<DWORD>(buffer.size()));
  ::CloseHandle(renamer);
  return renamed;
}

void RenameOver(HANDLE file, const std::string& from, const std::string& to, FileLock* lock) {
  if (RenameWithPosixSemantics(file, to)) return;
  // Older systems and other file systems: the plain rename, which the
  // lock's open handle on the target would make fail.
  if (lock != nullptr) lock->Release();
  Move(from, to, kMoveReplacing);
}

// The old target becomes `backup`, then the new file becomes the target.
void SwapKeepingBackup(const std::string& target, const std::string& backup, HANDLE file,
                       const std::string& newPath, FileLock* lock) {
  DWORD error = 0;
  const std::string second = LinkUnderFreshName(target, backup, error);
  if (second.empty()) {
    if (!NoHardLinks(error)) Throw(error, "cannot link " + target + " to a name beside " + backup);
    // FAT and some network shares cannot link. The rename of an open file
    // (the locked target) is allowed; only replacing one is not.
    Move(target, backup, kMoveReplacing);
    try {
      RenameOver(file, newPath, target, nullptr);
    } catch (...) {
      ::MoveFileExW(WidePath(backup).c_str(), WidePath(target).c_str(), MOVEFILE_WRITE_THROUGH);
      throw;
    }
    return;
  }
  // The old file now has two names; replacing the backup and then the
  // target are single steps, so the target never lacks a name and the old
  // file always has one of the two.
  if (!::MoveFileExW(WidePath(second).c_str(), WidePath(backup).c_str(), kMoveReplacing)) {
    error = ::GetLastError();
    ::DeleteFileW(WidePath(second).c_str());
    Throw(error, "cannot rename " + second + " to " + backup);
  }
  RenameOver(file, newPath, target, lock);
}

// Refusals of SetSecurityInfo to a process that may not give a file away.
bool GiveAwayRefused(DWORD error) {
  return error == ERROR_INVALID_OWNER || error == ERROR_INVALID_PRIMARY_GROUP ||
         error == ERROR_ACCESS_DENIED || error == ERROR_PRIVILEGE_NOT_HELD;
}

}  // namespace

void RemoveFile(const std::string& path) {
  // DeleteFileW, like unlink(2), never takes a directory.
  if (!::DeleteFileW(WidePath(path).c_str())) Throw(::GetLastError(), "cannot remove " + path);
}

NewFile::NewFile() {}

NewFile::~NewFile() { CloseHandles(false); }

HANDLE NewFile::Impl::Writer() {
  if (!writesThrough) return file;
  if (writer == INVALID_HANDLE_VALUE) {
    writer = ::ReOpenFile(file, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                          FILE_FLAG_OPEN_REPARSE_POINT);
  }
  return writer;
}

void NewFile::Create(const std::string& path, NewFileAccess access) {
  if (impl_) throw std::logic_error("new file created twice: " + path);
  const NativeFile created = CreateNewFile(path, access);
  if (created == kNoFile) {
    throw std::system_error(errno, std::generic_category(), "cannot create " + path);
  }
  HANDLE file = reinterpret_cast<HANDLE>(created);
  OpenFileFacts facts;
  if (!FactsOf(file, facts)) {
    const DWORD error = ::GetLastError();
    ::CloseHandle(file);
    ::DeleteFileW(WidePath(path).c_str());
    Throw(error, "cannot examine " + path);
  }
  impl_.reset(new Impl);
  impl_->file = file;
  impl_->writesThrough = access == NewFileAccess::Private;
  impl_->identity = facts.identity;
  Begin(path);
}

void NewFile::CloseHandles(bool report) {
  if (!impl_) return;
  bool closed = true;
  for (HANDLE* handle : {&impl_->writer, &impl_->file}) {
    if (*handle == INVALID_HANDLE_VALUE) continue;
    closed = ::CloseHandle(*handle) && closed;
    *handle = INVALID_HANDLE_VALUE;
  }
  if (!closed && report) Fail(ErrnoFromWindowsError(::GetLastError()), "cannot write " + path_);
}

// By identity, not by the handle: a closed file is still told apart.
bool NewFile::StillNamed() const {
  OpenFileFacts named;
  return impl_ && FactsAt(path_, named) && !named.link &&
         !(named.attributes & FILE_ATTRIBUTE_DIRECTORY) && named.identity == impl_->identity;
}

void NewFile::TakeAttributes(const FileAttributes& attributes) {
  if (!impl_ || impl_->file == INVALID_HANDLE_VALUE) {
    Throw(ERROR_INVALID_HANDLE, "cannot set the attributes of " + path_);
  }
  if (attributes.accessControlList.empty()) return;  // keeps its private descriptor
  // A copy: the descriptor's parts are read in place and must be aligned.
  std::vector<std::uint64_t> copy(attributes.accessControlList.size() / 8 + 1);
  std::copy(attributes.accessControlList.begin(), attributes.accessControlList.end(),
            reinterpret_cast<char*>(copy.data()));
  PSECURITY_DESCRIPTOR descriptor = copy.data();
  PSID owner = nullptr, group = nullptr;
  PACL list = nullptr;
  BOOL listPresent = FALSE, defaulted = FALSE;
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  if (!::IsValidSecurityDescriptor(descriptor) ||
      !::GetSecurityDescriptorOwner(descriptor, &owner, &defaulted) ||
      !::GetSecurityDescriptorGroup(descriptor, &group, &defaulted) ||
      !::GetSecurityDescriptorDacl(descriptor, &listPresent, &list, &defaulted) ||
      !::GetSecurityDescriptorControl(descriptor, &control, &revision)) {
    Throw(ERROR_INVALID_SECURITY_DESCR, "cannot set the access control list of " + path_);
  }
  // Only an administrator may give a file away; as on other systems, the
  // new version then stays the creator's. -1 keeps the creator's.
  const struct {
    SECURITY_INFORMATION what;
    PSID sid;
    bool wanted;
  } parties[] = {{OWNER_SECURITY_INFORMATION, owner, attributes.owner != -1},
                 {GROUP_SECURITY_INFORMATION, group, attributes.group != -1}};
  for (const auto& party : parties) {
    if (party.sid == nullptr || !party.wanted) continue;
    const bool isOwner = party.what == OWNER_SECURITY_INFORMATION;
    const DWORD error = ::SetSecurityInfo(impl_->file, SE_FILE_OBJECT, party.what,
                                          isOwner ? party.sid : nullptr,
                                          isOwner ? nullptr : party.sid, nullptr, nullptr);
    if (error != ERROR_SUCCESS && !GiveAwayRefused(error)) {
      Throw(error, "cannot set the owner of " + path_);
    }
  }
  if (!listPresent) return;
  // Inherited entries come again from the directory, which both versions
  // share; a protected list stays protected.
  const SECURITY_INFORMATION how =
      DACL_SECURITY_INFORMATION | ((control & SE_DACL_PROTECTED)
                                       ? PROTECTED_DACL_SECURITY_INFORMATION
                                       : UNPROTECTED_DACL_SECURITY_INFORMATION);
  const DWORD error =
      ::SetSecurityInfo(impl_->file, SE_FILE_OBJECT, how, nullptr, nullptr, list, nullptr);
  if (error != ERROR_SUCCESS) {
    Throw(error, "cannot set the access control list of " + path_);
  }
}

void NewFile::Flush() {
  FlushBuffer();
  if (impl_->writer != INVALID_HANDLE_VALUE && !::FlushFileBuffers(impl_->writer)) {
    Throw(::GetLastError(), "cannot flush " + path_);
  }
  if (!::FlushFileBuffers(impl_->file)) Throw(::GetLastError(), "cannot flush " + path_);
}

std::string NewFile::CommitOver(const std::string& target, const std::string& backup,
                                        FileLock* targetLock) {
  if (!impl_ || impl_->file == INVALID_HANDLE_VALUE || committed_) {
    throw std::logic_error("nothing to commit over " + target);
  }
  FlushBuffer();
  // Only the file's own handle stays open during the renames.
  if (impl_->writer != INVALID_HANDLE_VALUE) ::CloseHandle(impl_->writer);
  impl_->writer = INVALID_HANDLE_VALUE;
  if (backup.empty()) {
    RenameOver(impl_->file, path_, target, targetLock);
  } else {
    SwapKeepingBackup(target, backup, impl_->file, path_, targetLock);
  }
  committed_ = true;
  // Held open, the file could not be replaced in its turn.
  ::CloseHandle(impl_->file);
  impl_->file = INVALID_HANDLE_VALUE;
  // The renames write through, so each is on the disk when it returns;
  // there is no directory to flush apart from them.
  return "";
}

void NewFile::Discard() noexcept {
  if (committed_ || !StillNamed()) return;
  if (impl_->file == INVALID_HANDLE_VALUE) {
    ::DeleteFileW(WidePath(path_).c_str());  // a file closed under its name
    return;
  }
  // Through a handle on the file, so that exactly this file goes. With
  // POSIX semantics the name goes at once; otherwise once every handle on
  // the file is closed (this object's at the latest when it or the process
  // ends).
  HANDLE remover = WithDeleteRight(impl_->file);
  if (remover == INVALID_HANDLE_VALUE) return;
  FILE_DISPOSITION_INFO_EX now = {FILE_DISPOSITION_FLAG_DELETE |
                                  FILE_DISPOSITION_FLAG_POSIX_SEMANTICS};
  if (!::SetFileInformationByHandle(remover, kFileDispositionInfoEx, &now, sizeof now)) {
    FILE_DISPOSITION_INFO onClose = {TRUE};
    ::SetFileInformationByHandle(remover, FileDispositionInfo, &onClose, sizeof onClose);
  }
  ::CloseHandle(remover);
}

}  // namespace platform
