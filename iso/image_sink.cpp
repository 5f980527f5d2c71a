#include "iso/image_sink.h"

#include <algorithm>
#include <cstring>
#include <system_error>

FileImageSink::FileImageSink(const std::string& path) : file_(own_), target_(path) {
  for (int attempt = 0;; ++attempt) {
    try {
      own_.Create(platform::RandomSibling(path) + ".tmp", platform::NewFileAccess::Ordinary);
      return;
    } catch (const std::system_error& e) {
      if (e.code() != std::errc::file_exists || attempt == 99) throw;
    }
  }
}

FileImageSink::~FileImageSink() { own_.Discard(); }

void FileImageSink::Close() {
  file_.WriteBuffered();
  if (!target_.empty() && !own_.Committed()) own_.CommitOver(target_, "");
}

void ImageSink::ZeroRange(std::uint64_t position, std::uint64_t length) {
  static const std::vector<std::uint8_t> zeros(1 << 16, 0);
  for (std::uint64_t done = 0; done < length; done += zeros.size()) {
    WriteAt(position + done, zeros.data(),
            static_cast<std::size_t>(std::min<std::uint64_t>(zeros.size(), length - done)));
  }
}

void FileImageSink::CopyRange(ImageSource& source, std::uint64_t sourceOffset, std::uint64_t length,
                              std::uint64_t position) {
  if (source.File() != platform::kNoFile) {
    file_.CopyFrom(source.File(), source.Name(), sourceOffset, length, position);
    return;
  }
  // Bytes in memory: a megabyte at a time, written as any other bytes.
  std::vector<std::uint8_t> piece(
      static_cast<std::size_t>(std::min<std::uint64_t>(length, 1 << 20)));
  for (std::uint64_t done = 0; done < length; done += piece.size()) {
    const auto size =
        static_cast<std::size_t>(std::min<std::uint64_t>(piece.size(), length - done));
    source.ReadAt(sourceOffset + done, piece.data(), size);
    file_.WriteAt(position + done, piece.data(), size);
  }
}

std::uint8_t* MemoryImageSink::Reserve(std::uint64_t position, std::uint64_t length) {
  const auto end = static_cast<std::size_t>(position + length);
  if (bytes_.size() < end) bytes_.resize(end);
  return bytes_.data() + position;
}

void MemoryImageSink::WriteAt(std::uint64_t position, const void* data, std::size_t length) {
  if (length != 0) std::memcpy(Reserve(position, length), data, length);
}

void MemoryImageSink::CopyRange(ImageSource& source, std::uint64_t sourceOffset,
                                std::uint64_t length, std::uint64_t position) {
  source.ReadAt(sourceOffset, Reserve(position, length), static_cast<std::size_t>(length));
}
