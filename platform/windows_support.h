// Helpers shared by the Windows implementations of the platform layer:
// narrow paths to the wide form the W functions take, and Windows error
// codes to the errno values the rest of the tool reports.
//
// Narrow strings are in the process's ANSI code page, which the
// executable's manifest sets to UTF-8; the C runtime and Boost.Filesystem
// convert narrow paths with the same code page, so all three agree on
// every name.
#pragma once

#include <windows.h>

#include <string>

namespace platform {

// The path in UTF-16 for a W function. A name that does not convert throws
// std::system_error (EILSEQ) naming it.
std::wstring WidePath(const std::string& path);

// The errno value closest to a Windows error code (EIO when none is).
int ErrnoFromWindowsError(DWORD error);

// Sets errno from GetLastError(), for callers that report errno.
void SetErrnoFromLastError();

// Throws std::system_error for GetLastError() with "what path".
[[noreturn]] void ThrowLastError(const std::string& what, const std::string& path);

}  // namespace platform
