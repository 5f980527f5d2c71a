// Where Pack writes a new image: positioned writes, and a range copy for
// file data, which an image file leaves to the system where it can (the
// extents shared with the source where the file system clones them, holes
// of a sparse source kept). A file, or a buffer in memory for tests and
// the fuzzer.
//
// Bytes never written read as 0x00: an image file is created empty, and
// the buffer grows with zeros.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "iso/image_source.h"
#include "platform/new_file.h"

class ImageSink {
 public:
  virtual ~ImageSink() = default;
  // Every failure throws an exception whose text names the file and the
  // reason ("cannot write x.iso: No space left on device").
  virtual void WriteAt(std::uint64_t position, const void* data, std::size_t length) = 0;
  // Copies `length` bytes of `source`, from `sourceOffset`, to `position`.
  virtual void CopyRange(ImageSource& source, std::uint64_t sourceOffset, std::uint64_t length,
                         std::uint64_t position) = 0;
  // Makes `length` bytes from `position` read as zeros.
  virtual void ZeroRange(std::uint64_t position, std::uint64_t length);
  // Writes what is pending and closes the output.
  virtual void Close() = 0;
};

class FileImageSink : public ImageSink {
 public:
  // Writes into `file`, a new file made by the caller, which commits it;
  // Close writes what is buffered.
  explicit FileImageSink(platform::NewFile& file) : file_(file) {}
  // Writes a new file beside `path` that takes its name at Close (never
  // writing through a link or into a file with other names); removed when
  // the sink goes without a Close. Throws naming the file and the reason.
  explicit FileImageSink(const std::string& path);
  ~FileImageSink() override;

  void WriteAt(std::uint64_t position, const void* data, std::size_t length) override {
    file_.WriteAt(position, data, length);
  }
  void CopyRange(ImageSource& source, std::uint64_t sourceOffset, std::uint64_t length,
                 std::uint64_t position) override;
  // Gives whole blocks back to the file system where it can.
  void ZeroRange(std::uint64_t position, std::uint64_t length) override {
    file_.PunchHole(position, length);
  }
  void Close() override;

 private:
  platform::NewFile own_;
  platform::NewFile& file_;
  std::string target_;  // the name `own_` takes at Close
};

class MemoryImageSink : public ImageSink {
 public:
  void WriteAt(std::uint64_t position, const void* data, std::size_t length) override;
  void CopyRange(ImageSource& source, std::uint64_t sourceOffset, std::uint64_t length,
                 std::uint64_t position) override;
  void Close() override {}

  const std::vector<std::uint8_t>& Bytes() const { return bytes_; }

 private:
  std::uint8_t* Reserve(std::uint64_t position, std::uint64_t length);

  std::vector<std::uint8_t> bytes_;
};
