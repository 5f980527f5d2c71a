// The image output's reads and writes on Windows: positioned reads and
// writes through HANDLEs (an OVERLAPPED offset on a synchronous handle).
// Every byte of a source is copied; Windows starts write-back by itself.
#include "platform/image_output.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <system_error>

#include "platform/windows_support.h"

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

NativeFile ImageOutputFile::OpenOutput(const std::string& path) {
  // Never through a link, and not emptied before it is known to be a file
  // this process may overwrite. Others may read it meanwhile, and the file
  // that created it keeps its own handle.
  HANDLE file = ::CreateFileW(WidePath(path).c_str(), GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT,
                              nullptr);
  if (file == INVALID_HANDLE_VALUE) Fail(LastErrno(), "cannot open " + path + " for writing");
  // A device (NUL) is written as it is, as on other systems.
  if (::GetFileType(file) != FILE_TYPE_DISK) return reinterpret_cast<NativeFile>(file);
  OpenFileFacts facts;
  std::string refusal;
  if (!FactsOf(file, facts)) {
    const int error = LastErrno();
    ::CloseHandle(file);
    Fail(error, "cannot examine " + path);
  }
  if (facts.link) {
    refusal = "cannot open " + path + " for writing: it is a link (symbolic links and " +
              "junctions are never written through)";
  } else if (facts.links > 1) {
    refusal = OtherNamesRefusal(path);
  }
  if (!refusal.empty()) {
    ::CloseHandle(file);
    throw std::runtime_error(refusal);
  }
  FILE_END_OF_FILE_INFO end = {};
  if (facts.size > 0 && !::SetFileInformationByHandle(file, FileEndOfFileInfo, &end, sizeof end)) {
    const int error = LastErrno();
    ::CloseHandle(file);
    Fail(error, "cannot write " + path);
  }
  return reinterpret_cast<NativeFile>(file);
}

void ImageOutputFile::WriteOut(const char* data, std::uint64_t count, std::uint64_t position) {
  while (count > 0) {
    const auto piece = static_cast<DWORD>(std::min(count, kLargestPiece));
    OVERLAPPED overlapped = At(position);
    DWORD written = 0;
    if (!::WriteFile(AsHandle(output_), data, piece, &written, &overlapped)) {
      Fail(LastErrno(), "cannot write " + path_);
    }
    if (written == 0) Fail(EIO, "cannot write " + path_);
    data += written;
    count -= written;
    position += written;
  }
}

std::uint64_t ImageOutputFile::OutputSize() {
  LARGE_INTEGER length;
  if (!::GetFileSizeEx(AsHandle(output_), &length)) Fail(LastErrno(), "cannot examine " + path_);
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

void ImageOutputFile::CopyRun(NativeFile source, const std::string& sourcePath,
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

}  // namespace platform
