// The bytes of an image as the image classes read them: positioned reads
// from a file, or from a buffer in memory (tests and the fuzzer), behind
// one interface. Each operation opens its source for its own length and
// lets it go before it returns; nothing stays open between operations.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/native_file.h"

class ImageSource {
 public:
  explicit ImageSource(std::string name) : name_(std::move(name)) {}
  virtual ~ImageSource() = default;
  ImageSource(const ImageSource&) = delete;
  ImageSource& operator=(const ImageSource&) = delete;

  // The file's path, or the name a buffer was given; messages use it.
  const std::string& Name() const { return name_; }
  virtual std::uint64_t Size() const = 0;
  // Reads `length` bytes at byte `position`. Throws std::runtime_error
  // naming the source when it is shorter or unreadable.
  virtual void ReadAt(std::uint64_t position, void* buffer, std::size_t length) = 0;
  // The open file of the system behind the source, so that a copy into an
  // image file can leave the copying to the system; kNoFile for memory.
  virtual platform::NativeFile File() const { return platform::kNoFile; }

 protected:
  [[noreturn]] void FailRead(std::uint64_t position, std::size_t length) const;

 private:
  std::string name_;
};

// A file opened for reading. Throws std::runtime_error naming the path and
// the reason when it cannot be opened.
class FileImageSource : public ImageSource {
 public:
  explicit FileImageSource(const std::string& path);
  ~FileImageSource() override;

  std::uint64_t Size() const override { return size_; }
  void ReadAt(std::uint64_t position, void* buffer, std::size_t length) override;
  platform::NativeFile File() const override { return file_; }

 private:
  platform::NativeFile file_ = platform::kNoFile;
  std::uint64_t size_ = 0;
};

class MemoryImageSource : public ImageSource {
 public:
  MemoryImageSource(std::string name, std::shared_ptr<const std::vector<std::uint8_t>> bytes)
      : ImageSource(std::move(name)), bytes_(std::move(bytes)) {}

  std::uint64_t Size() const override { return bytes_->size(); }
  void ReadAt(std::uint64_t position, void* buffer, std::size_t length) override;

 private:
  std::shared_ptr<const std::vector<std::uint8_t>> bytes_;
};

// Where an image's bytes are: a file, which every Open opens anew, or a
// buffer in memory. A path converts to it, so an image is named as before.
class ImageOrigin {
 public:
  ImageOrigin() = default;
  ImageOrigin(std::string path) : name_(std::move(path)) {}  // NOLINT: a path is an origin
  ImageOrigin(const char* path) : name_(path) {}             // NOLINT
  static ImageOrigin InMemory(std::string name, std::vector<std::uint8_t> bytes);

  const std::string& Name() const { return name_; }
  std::unique_ptr<ImageSource> Open() const;

 private:
  std::string name_;
  std::shared_ptr<const std::vector<std::uint8_t>> bytes_;
};
