// The image output's buffering, seeking and source handling, the same on
// every system; opening, the reads and writes themselves are in the
// system's file.
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

// The stream failure callers expect, with a text that names the file and
// the system's reason ("cannot write x.iso: No space left on device").
void ImageOutputBuffer::Fail(int error, const std::string& what) {
  throw std::ios_base::failure(what, std::error_code(error, std::generic_category()));
}

std::string ImageOutputBuffer::OtherNamesRefusal(const std::string& path) {
  return "cannot open " + path + " for writing: the file has other names (hard links), and " +
         "writing it would change them too";
}

ImageOutputBuffer::ImageOutputBuffer() : buffer_(kBufferSize) {}

ImageOutputBuffer::~ImageOutputBuffer() {
  CloseSource();
  if (output_ != kNoFile) {
    try {
      FlushBuffer();
    } catch (const std::exception&) {
      // Nobody is left to tell; Close reports this.
    }
    CloseNativeFile(output_);
  }
}

void ImageOutputBuffer::Open(const std::string& path) {
  if (output_ != kNoFile) throw std::logic_error("output opened twice: " + path);
  output_ = OpenOutput(path);
  path_ = path;
  bufferPosition_ = 0;
  unsyncedBytes_ = 0;
  setp(buffer_.data(), buffer_.data() + buffer_.size());
}

void ImageOutputBuffer::Close() {
  if (output_ == kNoFile) return;
  const NativeFile file = output_;
  CloseSource();
  try {
    FlushBuffer();
  } catch (...) {
    CloseNativeFile(file);
    output_ = kNoFile;
    setp(nullptr, nullptr);
    throw;
  }
  output_ = kNoFile;
  setp(nullptr, nullptr);
  // Some file systems (NFS) report a failed write only here.
  if (!CloseNativeFile(file)) Fail(errno, "cannot write " + path_);
}

void ImageOutputBuffer::CloseSource() {
  if (source_ != kNoFile) CloseNativeFile(source_);
  source_ = kNoFile;
  sourcePath_.clear();
  sourceSize_ = 0;
}

void ImageOutputBuffer::FlushBuffer() {
  if (output_ == kNoFile) Fail(EBADF, "cannot write " + path_);
  const auto pending = static_cast<std::uint64_t>(pptr() - pbase());
  const std::uint64_t position = bufferPosition_;
  // A failed write drops the bytes, as a stream in the bad state drops
  // them; the position still moves past them.
  bufferPosition_ += pending;
  setp(buffer_.data(), buffer_.data() + buffer_.size());
  if (pending != 0) WriteAt(buffer_.data(), pending, position);
}

// Failures throw from here on: the stream sets badbit and passes the
// exception, with its text, on to the caller.
ImageOutputBuffer::int_type ImageOutputBuffer::overflow(int_type ch) {
  FlushBuffer();
  if (traits_type::eq_int_type(ch, traits_type::eof())) return traits_type::not_eof(ch);
  *pptr() = traits_type::to_char_type(ch);
  pbump(1);
  return ch;
}

std::streamsize ImageOutputBuffer::xsputn(const char* data, std::streamsize count) {
  if (output_ == kNoFile || count <= 0) return 0;
  const auto size = static_cast<std::size_t>(count);
  if (size <= static_cast<std::size_t>(epptr() - pptr())) {
    std::memcpy(pptr(), data, size);
    pbump(static_cast<int>(size));
    return count;
  }
  FlushBuffer();
  if (size >= buffer_.size()) {
    WriteAt(data, size, bufferPosition_);
    bufferPosition_ += size;
    return count;
  }
  std::memcpy(pptr(), data, size);
  pbump(static_cast<int>(size));
  return count;
}

int ImageOutputBuffer::sync() {
  FlushBuffer();
  return 0;
}

ImageOutputBuffer::pos_type ImageOutputBuffer::seekoff(off_type offset,
                                                       std::ios_base::seekdir direction,
                                                       std::ios_base::openmode which) {
  if (output_ == kNoFile || !(which & std::ios_base::out)) return pos_type(off_type(-1));
  const auto current = static_cast<off_type>(bufferPosition_ + (pptr() - pbase()));
  if (direction == std::ios_base::cur) {
    if (offset == 0) return pos_type(current);
    return seekpos(pos_type(current + offset), which);
  }
  if (direction == std::ios_base::beg) return seekpos(pos_type(offset), which);
  FlushBuffer();
  return seekpos(pos_type(static_cast<off_type>(OutputSize()) + offset), which);
}

ImageOutputBuffer::pos_type ImageOutputBuffer::seekpos(pos_type position,
                                                       std::ios_base::openmode which) {
  if (output_ == kNoFile || !(which & std::ios_base::out) || off_type(position) < 0) {
    return pos_type(off_type(-1));
  }
  FlushBuffer();
  bufferPosition_ = static_cast<std::uint64_t>(off_type(position));
  return position;
}

bool ImageOutputBuffer::CopyFrom(const std::string& sourcePath, std::uint64_t sourceOffset,
                                 std::uint64_t length, bool keepSourceOpen) {
  if (output_ == kNoFile) return false;
  NativeFile source = kNoFile;
  std::uint64_t sourceSize = 0;
  if (source_ != kNoFile && sourcePath_ == sourcePath) {
    source = source_;
    sourceSize = sourceSize_;
  } else {
    if (!OpenSource(sourcePath, source, sourceSize)) return false;
    if (keepSourceOpen) {
      CloseSource();
      source_ = source;
      sourcePath_ = sourcePath;
      sourceSize_ = sourceSize;
    }
  }
  const bool kept = source == source_;
  if (sourceSize < sourceOffset || sourceSize - sourceOffset < length) {
    if (!kept) CloseNativeFile(source);
    return false;
  }
  try {
    FlushBuffer();
    CopyRun(source, sourcePath, sourceOffset, bufferPosition_, length);
  } catch (...) {
    if (!kept) CloseNativeFile(source);
    throw;
  }
  if (!kept) CloseNativeFile(source);
  bufferPosition_ += length;
  return true;
}

// Both systems: a source that ends before the bytes it had when the copy
// began.
void ImageOutputBuffer::FailShortSource(const std::string& sourcePath, std::uint64_t at,
                                        std::uint64_t end) {
  throw std::runtime_error("cannot read " + sourcePath + ": it ended at byte " +
                           std::to_string(at) + ", before the " + std::to_string(end) +
                           " bytes it had when the copy began");
}

}  // namespace platform
