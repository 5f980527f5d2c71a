// Paths without the system's length limit. Windows refuses a path longer
// than MAX_PATH (260) unless it is written in the extended-length form
// ("\\?\C:\..."), and a package copied deep below a workspace in the
// temporary directory passes that easily. POSIX systems have no such form.
#pragma once

#include <string>

namespace platform {

// On Windows an absolute drive path ("C:\dir", "C:/dir/../x") in the
// extended-length form: made complete, "/" turned into "\", "." and ".."
// resolved, "\\?\" put in front. Any other path (relative, UNC, already
// extended, a device), and every path elsewhere, is returned as given.
std::string LongPath(const std::string& path);

}  // namespace platform
