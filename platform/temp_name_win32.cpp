// Temporary names on Windows: the system's own functions, which form
// "WPE" + the number in hexadecimal + ".TMP" without creating anything
// when the number is not 0.
#include "platform/temp_name.h"

#include <cstdio>

#include "platform/windows_support.h"

namespace platform {

namespace {
constexpr DWORD kNameBufferSize = 512;
}  // namespace

bool TempDirectory(std::string& path) {
  char buffer[kNameBufferSize] = {};
  const DWORD length = ::GetTempPathA(kNameBufferSize, buffer);
  if (length == 0 || length >= kNameBufferSize) return false;
  path.assign(buffer, length);
  return true;
}

bool FormTempName(const std::string& directory, const std::string& prefix, unsigned number,
                  std::string& name) {
  // With 0 the system would create a file under a free number; no caller
  // wants a file, so 0 is refused as on other systems.
  if (number == 0) return false;
  char buffer[kNameBufferSize] = {};
  if (::GetTempFileNameA(directory.c_str(), prefix.c_str(), number, buffer) != 0) {
    name = buffer;
    return !name.empty();
  }
  if (!directory.empty()) return false;
  // A bare name (the hive's key name) has no directory, and some systems
  // refuse "" as one that does not exist. The name is the same shape.
  char hex[16];
  std::snprintf(hex, sizeof hex, "%X", number & 0xFFFFu);
  name = "\\" + prefix.substr(0, 3) + hex + ".TMP";
  return true;
}

std::uint32_t TickCount() { return ::GetTickCount(); }

}  // namespace platform
