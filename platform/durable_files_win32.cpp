// New versions of files on Windows: exclusive creation with CREATE_NEW,
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
#include "platform/new_file.h"
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

struct ReplacementFile::Impl {
  std::string path;
  HANDLE file = INVALID_HANDLE_VALUE;
  FileIdentity identity;
  bool committed = false;
};

ReplacementFile::ReplacementFile() : impl_(new Impl) {}

ReplacementFile::~ReplacementFile() {
  if (impl_->file != INVALID_HANDLE_VALUE) ::CloseHandle(impl_->file);
}

void ReplacementFile::Create(const std::string& path) {
  if (impl_->file != INVALID_HANDLE_VALUE) {
    throw std::logic_error("replacement file created twice: " + path);
  }
  const NativeFile created = CreateNewFile(path, NewFileAccess::Private);
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
  impl_->path = path;
  impl_->file = file;
  impl_->identity = facts.identity;
  impl_->committed = false;
}

const std::string& ReplacementFile::path() const { return impl_->path; }

bool ReplacementFile::StillNamed() const {
  OpenFileFacts named;
  return impl_->file != INVALID_HANDLE_VALUE && FactsAt(impl_->path, named) && !named.link &&
         !(named.attributes & FILE_ATTRIBUTE_DIRECTORY) && named.identity == impl_->identity;
}

bool ReplacementFile::Committed() const { return impl_->committed; }


void ReplacementFile::TakeAttributes(const FileAttributes& attributes) {
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
    Throw(ERROR_INVALID_SECURITY_DESCR, "cannot set the access control list of " + impl_->path);
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
      Throw(error, "cannot set the owner of " + impl_->path);
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
    Throw(error, "cannot set the access control list of " + impl_->path);
  }
}

void ReplacementFile::Flush() {
  if (!::FlushFileBuffers(impl_->file)) Throw(::GetLastError(), "cannot flush " + impl_->path);
}

std::string ReplacementFile::CommitOver(const std::string& target, const std::string& backup,
                                        FileLock* targetLock) {
  if (impl_->file == INVALID_HANDLE_VALUE || impl_->committed) {
    throw std::logic_error("nothing to commit over " + target);
  }
  if (backup.empty()) {
    RenameOver(impl_->file, impl_->path, target, targetLock);
  } else {
    SwapKeepingBackup(target, backup, impl_->file, impl_->path, targetLock);
  }
  impl_->committed = true;
  // Held open, the file could not be replaced in its turn.
  ::CloseHandle(impl_->file);
  impl_->file = INVALID_HANDLE_VALUE;
  // The renames write through, so each is on the disk when it returns;
  // there is no directory to flush apart from them.
  return "";
}

void ReplacementFile::Discard() noexcept {
  if (impl_->file == INVALID_HANDLE_VALUE || impl_->committed || !StillNamed()) return;
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
