// The image output's buffering, seeking and source handling, the same on
// every system; the reads and writes themselves are in the system's file.
#include "platform/image_output.h"

#include <cstring>
#include <ios>

namespace platform {
namespace {

constexpr std::size_t kBufferSize = 1024 * 1024;

// The same failure an output file stream raises, so callers print the
// same text whichever stream they were given.
[[noreturn]] void Fail() { throw std::ios_base::failure("basic_ios::clear"); }

}  // namespace

ImageOutputBuffer::ImageOutputBuffer() : buffer_(kBufferSize) {}

ImageOutputBuffer::~ImageOutputBuffer() {
  CloseSource();
  if (output_ != kNoFile) {
    FlushBuffer();
    CloseFile(output_);
  }
}

bool ImageOutputBuffer::Close() {
  if (output_ == kNoFile) return false;
  const bool flushed = FlushBuffer();
  CloseSource();
  const bool closed = CloseFile(output_);
  output_ = kNoFile;
  setp(nullptr, nullptr);
  return flushed && closed;
}

void ImageOutputBuffer::CloseSource() {
  if (source_ != kNoFile) CloseFile(source_);
  source_ = kNoFile;
  sourcePath_.clear();
  sourceSize_ = 0;
}

bool ImageOutputBuffer::FlushBuffer() {
  if (output_ == kNoFile) return false;
  const auto pending = static_cast<std::uint64_t>(pptr() - pbase());
  const bool ok = pending == 0 || WriteAt(pbase(), pending, bufferPosition_);
  // After a failed write the bytes are dropped, as a stream in the bad
  // state drops them; the position still moves past them.
  bufferPosition_ += pending;
  setp(buffer_.data(), buffer_.data() + buffer_.size());
  return ok;
}

ImageOutputBuffer::int_type ImageOutputBuffer::overflow(int_type ch) {
  if (!FlushBuffer()) return traits_type::eof();
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
  if (!FlushBuffer()) return 0;
  if (size >= buffer_.size()) {
    if (!WriteAt(data, size, bufferPosition_)) return 0;
    bufferPosition_ += size;
    return count;
  }
  std::memcpy(pptr(), data, size);
  pbump(static_cast<int>(size));
  return count;
}

int ImageOutputBuffer::sync() { return FlushBuffer() ? 0 : -1; }

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
  std::uint64_t size = 0;
  if (!FlushBuffer() || !OutputSize(size)) return pos_type(off_type(-1));
  return seekpos(pos_type(static_cast<off_type>(size) + offset), which);
}

ImageOutputBuffer::pos_type ImageOutputBuffer::seekpos(pos_type position,
                                                       std::ios_base::openmode which) {
  if (output_ == kNoFile || !(which & std::ios_base::out) || off_type(position) < 0) {
    return pos_type(off_type(-1));
  }
  if (!FlushBuffer()) return pos_type(off_type(-1));
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
    if (!kept) CloseFile(source);
    return false;
  }
  if (!FlushBuffer()) {
    if (!kept) CloseFile(source);
    Fail();
  }
  try {
    CopyRun(source, sourceOffset, bufferPosition_, length);
  } catch (...) {
    if (!kept) CloseFile(source);
    throw;
  }
  if (!kept) CloseFile(source);
  bufferPosition_ += length;
  return true;
}

}  // namespace platform
