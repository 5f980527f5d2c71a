// The extended-length form is passed to the W functions as it is: no "."
// or ".." is resolved and "/" is a character of a name there. So the path
// is made complete by the system first, which resolves both as any other
// call would have.
#include "platform/long_path.h"

#include <cctype>
#include <system_error>

#include "platform/windows_support.h"

namespace platform {

namespace {

bool IsDrivePath(const std::string& path) {
  return path.size() >= 3 && std::isalpha(static_cast<unsigned char>(path[0])) &&
         path[1] == ':' && (path[2] == '\\' || path[2] == '/');
}

// Back to a narrow name in the code page WidePath converted it from.
bool NarrowPath(const std::wstring& wide, std::string& path) {
  const int size = static_cast<int>(wide.size());
  const int length = ::WideCharToMultiByte(CP_ACP, 0, wide.data(), size, nullptr, 0, nullptr,
                                           nullptr);
  if (length <= 0) return false;
  path.assign(static_cast<std::size_t>(length), '\0');
  return ::WideCharToMultiByte(CP_ACP, 0, wide.data(), size, &path[0], length, nullptr,
                               nullptr) == length;
}

}  // namespace

std::string LongPath(const std::string& path) {
  if (!IsDrivePath(path)) return path;
  std::wstring wide;
  try {
    wide = WidePath(path);
  } catch (const std::system_error&) {
    return path;  // the first call that uses it says why
  }
  const DWORD size = ::GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
  if (size == 0) return path;
  std::wstring full(size, L'\0');
  const DWORD length = ::GetFullPathNameW(wide.c_str(), size, &full[0], nullptr);
  if (length == 0 || length >= size) return path;
  full.resize(length);
  std::string extended;
  return NarrowPath(L"\\\\?\\" + full, extended) ? extended : path;
}

}  // namespace platform
