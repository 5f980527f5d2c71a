#include "iso/image_file.h"

#include <cerrno>
#include <cstring>
#include <stdexcept>

void OpenImage(std::ifstream& in, const std::string& path) {
  in.open(path, std::ios::in | std::ios::binary);
  if (!in.is_open()) {
    throw std::runtime_error("cannot open " + path + " for reading: " + std::strerror(errno));
  }
  in.exceptions(std::ios::failbit | std::ios::badbit);
}

void ReadAt(std::ifstream& in, const std::string& path, std::uint64_t position, void* buffer,
            std::size_t length) {
  try {
    in.seekg(static_cast<std::streamoff>(position));
    in.read(static_cast<char*>(buffer), static_cast<std::streamsize>(length));
  } catch (const std::ios_base::failure&) {
    throw std::runtime_error("cannot read " + std::to_string(length) + " bytes at byte " +
                             std::to_string(position) + " of " + path +
                             " (the image is shorter or unreadable)");
  }
}
