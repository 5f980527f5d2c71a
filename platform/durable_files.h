// What a new version of a file takes over from the one it replaces, and
// the names around it (see NewFile in platform/new_file.h).
#pragma once

#include <string>

namespace platform {

// What a new version takes over from the file it replaces.
struct FileAttributes {
  unsigned permissions = 0600;  // permission bits (POSIX systems)
  // -1: whoever created the new file keeps it. On Windows any other value
  // means the owner (group) recorded in the security descriptor below.
  long long owner = -1;
  long long group = -1;
  // The platform's own encoding, empty for none: the access control list's
  // extended attribute on Linux; on Windows the whole security descriptor
  // (owner, group and access list) in self-relative form.
  std::string accessControlList;
};

// Removes the file `path`, never a directory. Throws std::system_error
// naming the path.
void RemoveFile(const std::string& path);

// `base` + "." + six random letters and digits: a name beside `base` that
// nobody else is likely to have chosen.
std::string RandomSibling(const std::string& base);

}  // namespace platform
