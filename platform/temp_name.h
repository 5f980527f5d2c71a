// Temporary names for the workspace and for a loaded registry hive.
//
// The names differ from the Windows functions they stand for
// (GetTempPathA, GetTempFileNameA, GetTickCount) because <windows.h>
// defines the first two as macros, which would rename these as well.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace platform {

// The system's temporary directory with a trailing separator, or false.
bool TempDirectory(std::string& path);

// Forms directory + prefix + the number in upper-case hexadecimal + ".TMP".
// With a non-zero number nothing is created. False when the number is 0 or
// the name would be empty.
bool FormTempName(const std::string& directory, const std::string& prefix, unsigned number,
                  std::string& name);

// Milliseconds since an arbitrary start; a changing seed.
std::uint32_t TickCount();

// A name formed as FormTempName does with a random non-zero number, for
// which `isFree` holds; up to 1000 numbers are tried. False when none is
// free or no name can be formed.
bool FreeTempName(const std::string& directory, const std::string& prefix,
                  const std::function<bool(const std::string&)>& isFree, std::string& name);

}  // namespace platform
