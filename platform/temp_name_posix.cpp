// Temporary names on POSIX systems: $TMPDIR or /tmp, names formed the way
// the workspace and the hive key name expect them ("WPE" + hex + ".TMP").
#include "platform/temp_name.h"

#include <sys/stat.h>
#include <time.h>

#include <cstdio>
#include <cstdlib>

namespace platform {

namespace {

bool IsDirectory(const std::string& path) {
  struct stat status;
  return ::stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

}  // namespace

bool TempDirectory(std::string& path) {
  // Like the C library's own temporary names: $TMPDIR when it names a
  // directory, /tmp otherwise.
  std::string directory;
  const char* environment = std::getenv("TMPDIR");
  if (environment != nullptr && *environment != '\0' && IsDirectory(environment)) {
    directory = environment;
  } else if (IsDirectory("/tmp")) {
    directory = "/tmp";
  } else {
    return false;
  }
  if (directory.back() != '/') directory += '/';
  path = directory;
  return true;
}

bool FormTempName(const std::string& directory, const std::string& prefix, unsigned number,
                  std::string& name) {
  // Number 0 would ask for a file to be created under a free number; no
  // caller needs that, so it is refused.
  if (number == 0) return false;
  char hex[16];
  std::snprintf(hex, sizeof hex, "%X", number);
  std::string formed = directory;
  // An empty directory still gives a separator in front, so that the name
  // without its first character is the bare "WPE..." name.
  if (formed.empty() || formed.back() != '/') formed += '/';
  formed += prefix;
  formed += hex;
  formed += ".TMP";
  name = formed;
  return true;
}

std::uint32_t TickCount() {
  struct timespec now;
  if (::clock_gettime(CLOCK_MONOTONIC, &now) != 0) return 0;
  const std::uint64_t milliseconds = static_cast<std::uint64_t>(now.tv_sec) * 1000u +
                                     static_cast<std::uint64_t>(now.tv_nsec) / 1000000u;
  // Wraps after about 49.7 days, as a 32-bit tick count does.
  return static_cast<std::uint32_t>(milliseconds);
}

}  // namespace platform
