// The image output's reads and writes on Windows: positioned reads and
// writes through HANDLEs (an OVERLAPPED offset on a synchronous handle).
// Every byte of a source is copied; Windows starts write-back by itself.
#include "platform/image_output.h"

#include <algorithm>
#include <ios>
#include <system_error>

#include "platform/windows_support.h"

namespace platform {
namespace {

constexpr std::uint64_t kLargestPiece = 1u << 30;

[[noreturn]] void Fail() { throw std::ios_base::failure("basic_ios::clear"); }

HANDLE AsHandle(std::intptr_t file) { return reinterpret_cast<HANDLE>(file); }

OVERLAPPED At(std::uint64_t position) {
  OVERLAPPED overlapped = {};
  overlapped.Offset = static_cast<DWORD>(position & 0xFFFFFFFFu);
  overlapped.OffsetHigh = static_cast<DWORD>(position >> 32);
  return overlapped;
}

HANDLE OpenWide(const std::string& path, DWORD access, DWORD share, DWORD disposition) {
  try {
    return ::CreateFileW(WidePath(path).c_str(), access, share, nullptr, disposition,
                         FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  } catch (const std::system_error&) {
    return INVALID_HANDLE_VALUE;  // a name that does not convert opens nothing
  }
}

}  // namespace

bool ImageOutputBuffer::Open(const std::string& path) {
  if (output_ != kNoFile) return false;
  HANDLE file = OpenWide(path, GENERIC_WRITE | GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE,
                         CREATE_ALWAYS);
  if (file == INVALID_HANDLE_VALUE) return false;
  output_ = reinterpret_cast<NativeFile>(file);
  bufferPosition_ = 0;
  unsyncedBytes_ = 0;
  setp(buffer_.data(), buffer_.data() + buffer_.size());
  return true;
}

bool ImageOutputBuffer::CloseFile(NativeFile file) { return ::CloseHandle(AsHandle(file)) != 0; }

bool ImageOutputBuffer::WriteAt(const char* data, std::uint64_t count, std::uint64_t position) {
  while (count > 0) {
    const auto piece = static_cast<DWORD>(std::min(count, kLargestPiece));
    OVERLAPPED overlapped = At(position);
    DWORD written = 0;
    if (!::WriteFile(AsHandle(output_), data, piece, &written, &overlapped) || written == 0) {
      return false;
    }
    data += written;
    count -= written;
    position += written;
  }
  return true;
}

bool ImageOutputBuffer::OutputSize(std::uint64_t& size) {
  LARGE_INTEGER length;
  if (!::GetFileSizeEx(AsHandle(output_), &length)) return false;
  size = static_cast<std::uint64_t>(length.QuadPart);
  return true;
}

bool ImageOutputBuffer::OpenSource(const std::string& path, NativeFile& file,
                                   std::uint64_t& size) {
  HANDLE source = OpenWide(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE |
                           FILE_SHARE_DELETE, OPEN_EXISTING);
  if (source == INVALID_HANDLE_VALUE) return false;
  LARGE_INTEGER length;
  if (::GetFileType(source) != FILE_TYPE_DISK || !::GetFileSizeEx(source, &length)) {
    ::CloseHandle(source);
    return false;
  }
  file = reinterpret_cast<NativeFile>(source);
  size = static_cast<std::uint64_t>(length.QuadPart);
  return true;
}

void ImageOutputBuffer::CopyRun(NativeFile source, std::uint64_t sourceOffset,
                                std::uint64_t outputOffset, std::uint64_t length) {
  std::uint64_t done = 0;
  while (done < length) {
    const auto want = static_cast<DWORD>(std::min<std::uint64_t>(length - done, buffer_.size()));
    OVERLAPPED overlapped = At(sourceOffset + done);
    DWORD got = 0;
    // A read error, or the source shrank meanwhile.
    if (!::ReadFile(AsHandle(source), buffer_.data(), want, &got, &overlapped) || got == 0) Fail();
    if (!WriteAt(buffer_.data(), got, outputOffset + done)) Fail();
    done += got;
  }
}

}  // namespace platform
