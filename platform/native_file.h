// An open file of the operating system as the platform layer passes it
// around: a file descriptor on POSIX systems, a HANDLE on Windows. Both use
// -1 for none (INVALID_HANDLE_VALUE is -1 as well).
#pragma once

#include <cstdint>

namespace platform {

using NativeFile = std::intptr_t;
constexpr NativeFile kNoFile = -1;

// Closes `file`; false, with errno set, when the system reports an error
// (some file systems report a failed write only here).
bool CloseNativeFile(NativeFile file);

}  // namespace platform
