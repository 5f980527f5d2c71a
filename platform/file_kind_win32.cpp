// What stands at a path on Windows: the path is opened as itself (a link
// as the link) with no access rights, which never disturbs another
// process's use of the file, and the handle tells the rest. Paths of the
// device namespace are told by name, since opening one may reach a device
// or connect to a pipe.
#include "platform/file_kind.h"

#include <cerrno>
#include <system_error>
#include <vector>

#include "platform/windows_support.h"

namespace platform {
namespace {

// The narrow (UTF-8) form of a name the system gives.
std::string NarrowName(const std::wstring& wide) {
  if (wide.empty()) return std::string();
  const int size = static_cast<int>(wide.size());
  const int length = ::WideCharToMultiByte(CP_ACP, 0, wide.data(), size, nullptr, 0, nullptr,
                                           nullptr);
  std::string narrow(static_cast<std::size_t>(length > 0 ? length : 0), '\0');
  if (length > 0) {
    ::WideCharToMultiByte(CP_ACP, 0, wide.data(), size, &narrow[0], length, nullptr, nullptr);
  }
  return narrow;
}

}  // namespace

FileKind KindOf(const std::string& path) {
  if (path.empty()) return FileKind::None;
  bool pipe = false;
  if (IsDevicePath(path, pipe)) return pipe ? FileKind::Fifo : FileKind::Device;
  HANDLE file = OpenUnfollowed(path, 0);
  if (file == INVALID_HANDLE_VALUE) {
    if (NothingThere(::GetLastError())) return FileKind::None;
    ThrowLastError("cannot examine", path);
  }
  // Reserved names (NUL, CON, COM1, "nul.txt") open the device they name.
  FileKind kind = FileKind::Other;
  switch (::GetFileType(file)) {
    case FILE_TYPE_CHAR:
      kind = FileKind::Device;
      break;
    case FILE_TYPE_PIPE:
      kind = FileKind::Fifo;
      break;
    case FILE_TYPE_DISK: {
      OpenFileFacts facts;
      if (!FactsOf(file, facts)) break;
      if (facts.link) {
        kind = FileKind::Link;
      } else {
        const bool directory = facts.attributes & FILE_ATTRIBUTE_DIRECTORY;
        kind = directory ? FileKind::Directory : FileKind::Regular;
      }
      break;
    }
    default:
      break;
  }
  ::CloseHandle(file);
  return kind;
}

std::string FinalPath(const std::string& path) {
  // Opened with links followed, as a copy would open it; no access rights.
  const std::wstring wide = WidePath(path);
  HANDLE file = ::CreateFileW(wide.c_str(), 0,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    if (::GetLastError() == ERROR_CANT_RESOLVE_FILENAME) {
      throw std::system_error(ELOOP, std::generic_category(), "cannot follow " + path);
    }
    ThrowLastError("cannot follow", path);
  }
  std::vector<wchar_t> buffer(MAX_PATH);
  DWORD length = 0;
  for (;;) {
    length = ::GetFinalPathNameByHandleW(file, buffer.data(), static_cast<DWORD>(buffer.size()),
                                         FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (length < buffer.size()) break;
    buffer.resize(length + 1);
  }
  const DWORD error = ::GetLastError();
  ::CloseHandle(file);
  if (length == 0) {
    ::SetLastError(error);
    ThrowLastError("cannot follow", path);
  }
  return NarrowName(std::wstring(buffer.data(), length));
}

// Opened following every reparse point, as making a file there would:
// the attributes of a link or a mount point itself say nothing reliable of
// what it leads to (Wine, for one, shows a directory link as a reparse
// point of a kind no library knows).
bool LeadsToDirectory(const std::string& path) {
  bool pipe = false;
  if (path.empty() || IsDevicePath(path, pipe)) return false;
  std::wstring wide;
  try {
    wide = WidePath(path);
  } catch (const std::system_error&) {
    return false;
  }
  HANDLE file = ::CreateFileW(wide.c_str(), 0,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    if (NothingThere(::GetLastError())) return false;
    ThrowLastError("cannot examine", path);
  }
  OpenFileFacts facts;
  const bool directory = ::GetFileType(file) == FILE_TYPE_DISK && FactsOf(file, facts) &&
                         (facts.attributes & FILE_ATTRIBUTE_DIRECTORY);
  ::CloseHandle(file);
  return directory;
}

}  // namespace platform
