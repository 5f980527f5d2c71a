// A local file that an image class copies bytes out to (a file of the
// image, the boot image): created where no file of that name exists, then
// written piece by piece. Every failure throws std::runtime_error naming
// the file and the reason.
#pragma once

#include <cstddef>
#include <string>

#include "platform/new_file.h"

class LocalOutputFile {
 public:
  explicit LocalOutputFile(const std::string& path);
  void Write(const void* data, std::size_t length);
  void Close();

 private:
  platform::NewFile file_;
};
