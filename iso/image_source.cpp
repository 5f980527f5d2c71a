#include "iso/image_source.h"

#include <cstring>
#include <stdexcept>

#include "platform/image_output.h"

void ImageSource::FailRead(std::uint64_t position, std::size_t length) const {
  throw std::runtime_error("cannot read " + std::to_string(length) + " bytes at byte " +
                           std::to_string(position) + " of " + Name() +
                           " (the image is shorter or unreadable)");
}

FileImageSource::FileImageSource(const std::string& path) : ImageSource(path) {
  file_ = platform::OpenInputFile(path, size_);
}

FileImageSource::~FileImageSource() { platform::CloseNativeFile(file_); }

void FileImageSource::ReadAt(std::uint64_t position, void* buffer, std::size_t length) {
  auto* bytes = static_cast<std::uint8_t*>(buffer);
  std::size_t done = 0;
  while (done < length) {
    const std::size_t got =
        platform::ReadInputFile(file_, position + done, bytes + done, length - done);
    if (got == 0) FailRead(position, length);
    done += got;
  }
}

void MemoryImageSource::ReadAt(std::uint64_t position, void* buffer, std::size_t length) {
  if (length == 0) return;  // as a file: nothing to read is never short
  if (position > bytes_->size() || bytes_->size() - position < length) FailRead(position, length);
  std::memcpy(buffer, bytes_->data() + position, length);
}

ImageOrigin ImageOrigin::InMemory(std::string name, std::vector<std::uint8_t> bytes) {
  ImageOrigin origin(std::move(name));
  origin.bytes_ = std::make_shared<const std::vector<std::uint8_t>>(std::move(bytes));
  return origin;
}

std::unique_ptr<ImageSource> ImageOrigin::Open() const {
  if (bytes_) return std::make_unique<MemoryImageSource>(name_, bytes_);
  return std::make_unique<FileImageSource>(name_);
}
