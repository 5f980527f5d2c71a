#include "platform/windows_support.h"

#include <cctype>
#include <cerrno>
#include <system_error>

namespace platform {

std::wstring WidePath(const std::string& path) {
  if (path.empty()) return std::wstring();
  const int size = static_cast<int>(path.size());
  const int length = ::MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, path.data(), size,
                                           nullptr, 0);
  if (length <= 0) {
    throw std::system_error(EILSEQ, std::generic_category(), "cannot convert the name " + path);
  }
  std::wstring wide(static_cast<std::size_t>(length), L'\0');
  ::MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, path.data(), size, &wide[0], length);
  return wide;
}

int ErrnoFromWindowsError(DWORD error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
    case ERROR_BAD_NETPATH:
    case ERROR_BAD_NET_NAME:
      return ENOENT;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
      return EEXIST;
    case ERROR_ACCESS_DENIED:
    case ERROR_WRITE_PROTECT:
    case ERROR_PRIVILEGE_NOT_HELD:
      return EACCES;
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
      return EBUSY;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      return ENOSPC;
    case ERROR_NOT_SAME_DEVICE:
      return EXDEV;
    case ERROR_DIRECTORY:
      return ENOTDIR;
    case ERROR_INVALID_NAME:
    case ERROR_BAD_PATHNAME:
    case ERROR_FILENAME_EXCED_RANGE:
      return EINVAL;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
      return ENOMEM;
    case ERROR_NOT_SUPPORTED:
    case ERROR_INVALID_FUNCTION:
      return ENOSYS;
    case ERROR_FILE_TOO_LARGE:
      return EFBIG;
    default:
      return EIO;
  }
}

void SetErrnoFromLastError() { errno = ErrnoFromWindowsError(::GetLastError()); }

void ThrowLastError(const std::string& what, const std::string& path) {
  // errno values, not Windows codes: this runtime's system_category does
  // not know Windows messages, and the texts then match the Linux build's.
  throw std::system_error(ErrnoFromWindowsError(::GetLastError()), std::generic_category(),
                          what + " " + path);
}

namespace {

bool IsPathSeparator(char c) { return c == '\\' || c == '/'; }

bool StartsWithNoCase(const std::string& text, std::size_t at, const char* prefix) {
  for (std::size_t i = 0; prefix[i] != '\0'; ++i) {
    if (at + i >= text.size()) return false;
    const char c = text[at + i];
    const char lower = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    if (lower != prefix[i]) return false;
  }
  return true;
}

}  // namespace

bool NothingThere(DWORD error) {
  return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ||
         error == ERROR_DIRECTORY || error == ERROR_INVALID_DRIVE;
}

HANDLE OpenUnfollowed(const std::string& path, DWORD access) {
  std::wstring wide;
  try {
    wide = WidePath(path);
  } catch (const std::system_error&) {
    ::SetLastError(ERROR_INVALID_NAME);
    return INVALID_HANDLE_VALUE;
  }
  return ::CreateFileW(wide.c_str(), access,
                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                       OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS,
                       nullptr);
}

bool IsDevicePath(const std::string& path, bool& pipe) {
  pipe = false;
  if (path.size() < 4 || !IsPathSeparator(path[0]) || !IsPathSeparator(path[1]) ||
      (path[2] != '.' && path[2] != '?') || !IsPathSeparator(path[3])) {
    return false;
  }
  // "X:" followed by a separator and more: a path below a drive.
  const bool belowDrive = path.size() > 7 && std::isalpha(static_cast<unsigned char>(path[4])) &&
                          path[5] == ':' && IsPathSeparator(path[6]);
  const bool belowShare = StartsWithNoCase(path, 4, "unc") && path.size() > 7 &&
                          IsPathSeparator(path[7]);
  if (belowDrive || belowShare) return false;
  pipe = StartsWithNoCase(path, 4, "pipe") && path.size() > 8 && IsPathSeparator(path[8]);
  return true;
}

bool FactsOf(HANDLE file, OpenFileFacts& facts) {
  BY_HANDLE_FILE_INFORMATION info;
  if (!::GetFileInformationByHandle(file, &info)) return false;
  facts.identity.volume = info.dwVolumeSerialNumber;
  facts.identity.index = (std::uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow;
  facts.attributes = info.dwFileAttributes;
  facts.links = info.nNumberOfLinks;
  facts.size = (std::uint64_t{info.nFileSizeHigh} << 32) | info.nFileSizeLow;
  facts.link = false;
  if (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
    FILE_ATTRIBUTE_TAG_INFO tag;
    // Where the tag cannot be read, every reparse point counts as a link:
    // the safe side for a tool that must never write through one.
    facts.link = !::GetFileInformationByHandleEx(file, FileAttributeTagInfo, &tag, sizeof tag) ||
                 IsReparseTagNameSurrogate(tag.ReparseTag);
  }
  return true;
}

bool FactsAt(const std::string& path, OpenFileFacts& facts) {
  HANDLE file = OpenUnfollowed(path, 0);
  if (file == INVALID_HANDLE_VALUE) return false;
  const bool known = FactsOf(file, facts);
  const DWORD error = ::GetLastError();
  ::CloseHandle(file);
  ::SetLastError(error);
  return known;
}

}  // namespace platform
