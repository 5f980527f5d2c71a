#include "platform/windows_support.h"

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

}  // namespace platform
