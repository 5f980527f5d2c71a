// The Windows side of the test helpers: the build's tests run under Wine
// (or on Windows) without the Linux tools.
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include <cstdlib>

#include "tests/test_support.h"

namespace testing_support {

const bool kLinuxHost = false;
const char* const kNullDevice = "NUL";

void SetEnvironment(const std::string& name, const char* value) {
  // "NAME=" removes the variable in this runtime.
  const std::string entry = name + "=" + (value ? value : "");
  ::_putenv(entry.c_str());
}

int Run(const std::string& command) { return std::system(command.c_str()); }

std::uint64_t AllocatedBytes(const std::string& path) {
  struct _stat64 st;
  return ::_stat64(path.c_str(), &st) == 0 ? static_cast<std::uint64_t>(st.st_size) : 0;
}

int OpenCaptureFile(const std::string& path) {
  // Binary: a text-mode descriptor would turn every "\n" into "\r\n".
  return ::_open(path.c_str(), _O_WRONLY | _O_CREAT | _O_TRUNC | _O_BINARY, _S_IREAD | _S_IWRITE);
}

}  // namespace testing_support
