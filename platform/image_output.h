// Files read for an image (the source image, the files added from the
// local disk), read at positions; the output is a NewFile.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/native_file.h"

namespace platform {

// Opens a file for positioned reads and gives its size. Throws
// std::runtime_error "cannot open PATH for reading: REASON".
NativeFile OpenInputFile(const std::string& path, std::uint64_t& size);
// Reads up to `length` bytes at `position`; how many, 0 at the end of the
// file or when the system reports an error.
std::size_t ReadInputFile(NativeFile file, std::uint64_t position, void* buffer,
                          std::size_t length);

}  // namespace platform
