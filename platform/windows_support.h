// Helpers shared by the Windows implementations of the platform layer:
// narrow paths to the wide form the W functions take, Windows error codes
// to the errno values the rest of the tool reports, and what an open file
// is (its identity, whether it is a link).
//
// Narrow strings are in the process's ANSI code page, which the
// executable's manifest sets to UTF-8; the C runtime and Boost.Filesystem
// convert narrow paths with the same code page, so all three agree on
// every name.
#pragma once

#include <windows.h>

#include <cstdint>
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

// Errors that mean nothing stands at a path (a path through a file
// included, as ENOTDIR on POSIX systems).
bool NothingThere(DWORD error);

// Opens what `path` names itself: a link is opened as the link, never
// followed, and a directory opens as well. Every share mode is granted, so
// that looking never gets in anyone's way. INVALID_HANDLE_VALUE with
// GetLastError() set on failure (ERROR_INVALID_NAME for a name that does
// not convert).
HANDLE OpenUnfollowed(const std::string& path, DWORD access);

// Paths of the system's device namespace ("\\.\COM1", "\\.\PhysicalDrive0",
// "\\?\GLOBALROOT\..."): opening one may reach a device or connect to a
// pipe, so they are told apart by name. "\\?\C:\dir" and "\\?\UNC\host\share"
// are ordinary paths. True for a device path, with `pipe` set for a named
// pipe.
bool IsDevicePath(const std::string& path, bool& pipe);

// Which file an open handle is: the volume's serial number and the file's
// index on it, as GetFileInformationByHandle gives them.
struct FileIdentity {
  DWORD volume = 0;
  std::uint64_t index = 0;
  bool operator==(const FileIdentity& other) const {
    return volume == other.volume && index == other.index;
  }
};

struct OpenFileFacts {
  FileIdentity identity;
  DWORD attributes = 0;
  DWORD links = 0;
  std::uint64_t size = 0;
  // A symbolic link or a junction: a reparse point that stands for another
  // name. Other reparse points (deduplicated or cloud files) are files.
  bool link = false;
};

// False, with GetLastError() set, when the system cannot tell.
bool FactsOf(HANDLE file, OpenFileFacts& facts);

// The facts of what `path` names itself; false when nothing can be opened
// there (GetLastError() says why).
bool FactsAt(const std::string& path, OpenFileFacts& facts);

}  // namespace platform
