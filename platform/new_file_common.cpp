// The new file's buffering, the same on every system; creating, committing
// and the reads and writes themselves are in the system's files.
#include "platform/new_file.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ios>
#include <stdexcept>
#include <system_error>

namespace platform {
namespace {

constexpr std::size_t kBufferSize = 1024 * 1024;

}  // namespace

unsigned NewFile::copyWays_ = NewFile::kAllCopyWays;

void NewFile::AllowCopyWays(unsigned ways) { copyWays_ = ways; }

// A write failure as std::ios_base::failure, with a text that names the
// file and the system's reason ("cannot write x.iso: No space left on
// device").
void NewFile::Fail(int error, const std::string& what) {
  throw std::ios_base::failure(what, std::error_code(error, std::generic_category()));
}

// A source that ends before the bytes it had when the copy began.
void NewFile::FailShortSource(const std::string& sourcePath, std::uint64_t at,
                              std::uint64_t end) {
  throw std::runtime_error("cannot read " + sourcePath + ": it ended at byte " +
                           std::to_string(at) + ", before the " + std::to_string(end) +
                           " bytes it had when the copy began");
}

void NewFile::FlushBuffer() {
  if (!impl_ || buffer_.empty()) Fail(EBADF, "cannot write " + path_);
  const std::size_t pending = pending_;
  const std::uint64_t position = bufferPosition_;
  // A failed write drops the bytes; the position still moves past them.
  bufferPosition_ += pending;
  pending_ = 0;
  if (pending != 0) WriteOut(buffer_.data(), pending, position);
}

void NewFile::WriteBuffered() { FlushBuffer(); }

void NewFile::Close() {
  try {
    FlushBuffer();
  } catch (...) {
    CloseHandles(false);
    throw;
  }
  CloseHandles(true);
}

void NewFile::WriteAt(std::uint64_t position, const void* data, std::size_t length) {
  if (position != bufferPosition_ + pending_) {
    FlushBuffer();
    bufferPosition_ = position;
  }
  const auto* bytes = static_cast<const char*>(data);
  if (length > buffer_.size() - pending_) {
    FlushBuffer();
    if (length >= buffer_.size()) {
      WriteOut(bytes, length, bufferPosition_);
      bufferPosition_ += length;
      return;
    }
  }
  if (length != 0) std::memcpy(buffer_.data() + pending_, bytes, length);
  pending_ += length;
}

void NewFile::Write(const void* data, std::size_t length) {
  WriteAt(bufferPosition_ + pending_, data, length);
}

void NewFile::CopyFrom(NativeFile source, const std::string& sourcePath,
                       std::uint64_t sourceOffset, std::uint64_t length, std::uint64_t position) {
  FlushBuffer();
  CopyRun(source, sourcePath, sourceOffset, position, length);
  bufferPosition_ = position + length;
}

void NewFile::WriteZeros(std::uint64_t position, std::uint64_t length) {
  FlushBuffer();
  std::memset(buffer_.data(), 0, static_cast<std::size_t>(std::min<std::uint64_t>(length, buffer_.size())));
  while (length > 0) {
    const auto piece = std::min<std::uint64_t>(length, buffer_.size());
    WriteOut(buffer_.data(), piece, position);
    position += piece;
    length -= piece;
  }
}

void NewFile::Begin(const std::string& path) {
  path_ = path;
  committed_ = false;
  if (buffer_.empty()) buffer_.Allocate(kBufferSize);
  bufferPosition_ = 0;
  pending_ = 0;
  unsyncedBytes_ = 0;
}

}  // namespace platform
