// Reads and writes of image files on Windows: positioned reads and writes
// through HANDLEs (an OVERLAPPED offset on a synchronous handle). Every
// byte of a source is copied, and holes are written as zeros; Windows
// starts write-back by itself.
#include "platform/image_output.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <system_error>

#include "platform/new_file_win32.h"

namespace platform {
namespace {

constexpr std::uint64_t kLargestPiece = 1u << 30;

HANDLE AsHandle(NativeFile file) { return reinterpret_cast<HANDLE>(file); }

OVERLAPPED At(std::uint64_t position) {
  OVERLAPPED overlapped = {};
  overlapped.Offset = static_cast<DWORD>(position & 0xFFFFFFFFu);
  overlapped.OffsetHigh = static_cast<DWORD>(position >> 32);
  return overlapped;
}

int LastErrno() { return ErrnoFromWindowsError(::GetLastError()); }

}  // namespace

void NewFile::WriteOut(const char* data, std::uint64_t count, std::uint64_t position) {
  const HANDLE writer = impl_->Writer();
  if (writer == INVALID_HANDLE_VALUE) Fail(LastErrno(), "cannot write " + path_);
  while (count > 0) {
    const auto piece = static_cast<DWORD>(std::min(count, kLargestPiece));
    OVERLAPPED overlapped = At(position);
    DWORD written = 0;
    if (!::WriteFile(writer, data, piece, &written, &overlapped)) {
      Fail(LastErrno(), "cannot write " + path_);
    }
    if (written == 0) Fail(EIO, "cannot write " + path_);
    data += written;
    count -= written;
    position += written;
  }
}

std::uint64_t NewFile::OutputSize() {
  LARGE_INTEGER length;
  if (!::GetFileSizeEx(impl_->Writer(), &length)) Fail(LastErrno(), "cannot examine " + path_);
  return static_cast<std::uint64_t>(length.QuadPart);
}

NativeFile OpenInputFile(const std::string& path, std::uint64_t& size) {
  const auto refuse = [&](int error) {
    throw std::runtime_error("cannot open " + path + " for reading: " + std::strerror(error));
  };
  HANDLE source = INVALID_HANDLE_VALUE;
  try {
    source = ::CreateFileW(WidePath(path).c_str(), GENERIC_READ,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  } catch (const std::system_error&) {
    refuse(EINVAL);  // a name that does not convert opens nothing
  }
  if (source == INVALID_HANDLE_VALUE) refuse(LastErrno());
  LARGE_INTEGER length = {};
  if (::GetFileType(source) == FILE_TYPE_DISK && !::GetFileSizeEx(source, &length)) {
    const int error = LastErrno();
    ::CloseHandle(source);
    refuse(error);
  }
  size = static_cast<std::uint64_t>(length.QuadPart);
  return reinterpret_cast<NativeFile>(source);
}

std::size_t ReadInputFile(NativeFile file, std::uint64_t position, void* buffer,
                          std::size_t length) {
  const auto piece = static_cast<DWORD>(std::min<std::uint64_t>(length, kLargestPiece));
  OVERLAPPED overlapped = At(position);
  DWORD got = 0;
  if (!::ReadFile(AsHandle(file), buffer, piece, &got, &overlapped)) return 0;
  return got;
}

void NewFile::CopyRun(NativeFile source, const std::string& sourcePath,
                                std::uint64_t sourceOffset, std::uint64_t outputOffset,
                                std::uint64_t length) {
  std::uint64_t done = 0;
  while (done < length) {
    const auto want = static_cast<DWORD>(std::min<std::uint64_t>(length - done, buffer_.size()));
    OVERLAPPED overlapped = At(sourceOffset + done);
    DWORD got = 0;
    if (!::ReadFile(AsHandle(source), buffer_.data(), want, &got, &overlapped)) {
      const DWORD error = ::GetLastError();
      if (error != ERROR_HANDLE_EOF) Fail(ErrnoFromWindowsError(error), "cannot read " + sourcePath);
    }
    if (got == 0) FailShortSource(sourcePath, sourceOffset + done, sourceOffset + length);
    WriteOut(buffer_.data(), got, outputOffset + done);
    done += got;
  }
}

// Windows gives a range back only to files marked sparse, which would
// change how the whole image is stored: zeros are written.
void NewFile::PunchHole(std::uint64_t position, std::uint64_t length) {
  WriteZeros(position, length);
  bufferPosition_ = position + length;
}

}  // namespace platform
