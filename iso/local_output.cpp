#include "iso/local_output.h"

#include <cerrno>
#include <cstring>
#include <stdexcept>

LocalOutputFile::LocalOutputFile(const std::string& path) : path_(path) {
  out_.open(path, std::ios::out | std::ios::binary | std::ios::trunc);
  if (!out_.is_open()) {
    throw std::runtime_error("cannot open " + path + " for writing: " + std::strerror(errno));
  }
  out_.exceptions(std::ios::failbit | std::ios::badbit);
}

void LocalOutputFile::Write(const void* data, std::size_t length) {
  try {
    out_.write(static_cast<const char*>(data), static_cast<std::streamsize>(length));
  } catch (const std::ios_base::failure&) {
    FailWrite();
  }
}

void LocalOutputFile::Close() {
  try {
    out_.close();
  } catch (const std::ios_base::failure&) {
    FailWrite();
  }
}

void LocalOutputFile::FailWrite() const {
  throw std::runtime_error("cannot write " + path_ + ": " + std::strerror(errno));
}
