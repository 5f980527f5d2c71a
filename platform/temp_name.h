// Temporary names for the workspace and for a loaded registry hive.
#pragma once

#include <cstdint>
#include <string>

namespace platform {

// The system's temporary directory with a trailing separator, or false.
bool GetTempPath(std::string& path);

// Forms directory + prefix + the number in upper-case hexadecimal + ".TMP".
// With a non-zero number nothing is created. False when the number is 0 or
// the name would be empty.
bool GetTempFileName(const std::string& directory, const std::string& prefix, unsigned number,
                     std::string& name);

// Milliseconds since an arbitrary start; a changing seed.
std::uint32_t GetTickCount();

}  // namespace platform
