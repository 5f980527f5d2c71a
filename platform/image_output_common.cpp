// The image output's buffering, the same on every system; opening, the
// reads and writes themselves are in the system's file.
#include "platform/image_output.h"

#include <cerrno>
#include <cstring>
#include <ios>
#include <stdexcept>
#include <system_error>

namespace platform {
namespace {

constexpr std::size_t kBufferSize = 1024 * 1024;

}  // namespace

// A write failure as std::ios_base::failure, with a text that names the
// file and the system's reason ("cannot write x.iso: No space left on
// device").
void ImageOutputFile::Fail(int error, const std::string& what) {
  throw std::ios_base::failure(what, std::error_code(error, std::generic_category()));
}

std::string ImageOutputFile::OtherNamesRefusal(const std::string& path) {
  return "cannot open " + path + " for writing: the file has other names (hard links), and " +
         "writing it would change them too";
}

ImageOutputFile::ImageOutputFile() : buffer_(kBufferSize) {}

ImageOutputFile::~ImageOutputFile() {
  if (output_ == kNoFile) return;
  try {
    FlushBuffer();
  } catch (const std::exception&) {
    // Nobody is left to tell; Close reports this.
  }
  CloseNativeFile(output_);
}

void ImageOutputFile::Open(const std::string& path) {
  if (output_ != kNoFile) throw std::logic_error("output opened twice: " + path);
  output_ = OpenOutput(path);
  path_ = path;
  bufferPosition_ = 0;
  pending_ = 0;
  unsyncedBytes_ = 0;
}

void ImageOutputFile::Close() {
  if (output_ == kNoFile) return;
  const NativeFile file = output_;
  try {
    FlushBuffer();
  } catch (...) {
    CloseNativeFile(file);
    output_ = kNoFile;
    throw;
  }
  output_ = kNoFile;
  // Some file systems (NFS) report a failed write only here.
  if (!CloseNativeFile(file)) Fail(errno, "cannot write " + path_);
}

void ImageOutputFile::FlushBuffer() {
  if (output_ == kNoFile) Fail(EBADF, "cannot write " + path_);
  const std::size_t pending = pending_;
  const std::uint64_t position = bufferPosition_;
  // A failed write drops the bytes; the position still moves past them.
  bufferPosition_ += pending;
  pending_ = 0;
  if (pending != 0) WriteOut(buffer_.data(), pending, position);
}

void ImageOutputFile::WriteAt(std::uint64_t position, const void* data, std::size_t length) {
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

void ImageOutputFile::CopyFrom(NativeFile source, const std::string& sourcePath,
                               std::uint64_t sourceOffset, std::uint64_t length,
                               std::uint64_t position) {
  FlushBuffer();
  CopyRun(source, sourcePath, sourceOffset, position, length);
  bufferPosition_ = position + length;
}

// Both systems: a source that ends before the bytes it had when the copy
// began.
void ImageOutputFile::FailShortSource(const std::string& sourcePath, std::uint64_t at,
                                      std::uint64_t end) {
  throw std::runtime_error("cannot read " + sourcePath + ": it ended at byte " +
                           std::to_string(at) + ", before the " + std::to_string(end) +
                           " bytes it had when the copy began");
}

}  // namespace platform
