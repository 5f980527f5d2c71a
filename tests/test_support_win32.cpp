// The Windows side of the test helpers: the build's tests run under Wine
// (or on Windows) without the Linux tools.
#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>

#include "tests/test_support.h"

namespace testing_support {

const bool kLinuxHost = false;
const char* const kNullDevice = "NUL";
const char* const kNoSymbolicLinks =
    "no symbolic links here (Windows without developer mode or administrator rights, or Wine, "
    "whose CreateSymbolicLinkW creates nothing)";

namespace {

std::wstring Wide(const std::string& path) {
  std::wstring wide(path.size() + 1, L'\0');
  const int n = ::MultiByteToWideChar(CP_ACP, 0, path.c_str(), -1, &wide[0],
                                      static_cast<int>(wide.size()));
  wide.resize(n > 0 ? static_cast<std::size_t>(n - 1) : 0);
  std::replace(wide.begin(), wide.end(), L'/', L'\\');
  return wide;
}

}  // namespace

bool MakeSymbolicLink(const std::string& target, const std::string& link) {
  const DWORD unprivileged = 0x2;  // SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE
  ::CreateSymbolicLinkW(Wide(link).c_str(), Wide(target).c_str(), unprivileged);
  // Judged by what stands there afterwards, not by the answer.
  const DWORD attributes = ::GetFileAttributesW(Wide(link).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

bool MakeHardLink(const std::string& target, const std::string& link) {
  return ::CreateHardLinkW(Wide(link).c_str(), Wide(target).c_str(), nullptr);
}

std::string FileIdentityOf(const std::string& path) {
  HANDLE file = ::CreateFileW(Wide(path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING,
                              FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (file == INVALID_HANDLE_VALUE) return "";
  BY_HANDLE_FILE_INFORMATION info;
  const bool known = ::GetFileInformationByHandle(file, &info);
  ::CloseHandle(file);
  if (!known) return "";
  return std::to_string(info.dwVolumeSerialNumber) + ":" + std::to_string(info.nFileIndexHigh) +
         ":" + std::to_string(info.nFileIndexLow);
}

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
