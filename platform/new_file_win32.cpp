#include "platform/new_file.h"

#include <cerrno>
#include <system_error>

#include "platform/windows_support.h"

namespace platform {
namespace {

HANDLE AsHandle(std::intptr_t handle) { return reinterpret_cast<HANDLE>(handle); }

}  // namespace

NewFile::~NewFile() { Close(); }

bool NewFile::Create(const std::string& path) {
  if (AsHandle(handle_) != INVALID_HANDLE_VALUE) {
    errno = EBUSY;
    return false;
  }
  std::wstring widePath;
  try {
    widePath = WidePath(path);
  } catch (const std::system_error& e) {
    errno = e.code().value();
    return false;
  }
  // CREATE_NEW fails on any existing name, a link included. Others may
  // read and delete the file meanwhile, as on other systems.
  HANDLE file = ::CreateFileW(widePath.c_str(), GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    SetErrnoFromLastError();
    return false;
  }
  handle_ = reinterpret_cast<std::intptr_t>(file);
  return true;
}

bool NewFile::Write(const char* data, std::size_t size) {
  if (AsHandle(handle_) == INVALID_HANDLE_VALUE) {
    errno = EBADF;
    return false;
  }
  while (size > 0) {
    const DWORD piece = size > (1u << 30) ? (1u << 30) : static_cast<DWORD>(size);
    DWORD written = 0;
    if (!::WriteFile(AsHandle(handle_), data, piece, &written, nullptr)) {
      SetErrnoFromLastError();
      return false;
    }
    if (written == 0) {
      errno = EIO;
      return false;
    }
    data += written;
    size -= written;
  }
  return true;
}

bool NewFile::Close() {
  if (AsHandle(handle_) == INVALID_HANDLE_VALUE) return true;
  HANDLE file = AsHandle(handle_);
  handle_ = -1;
  if (::CloseHandle(file)) return true;
  SetErrnoFromLastError();
  return false;
}

}  // namespace platform
