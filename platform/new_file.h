// Files this process makes itself: created only where no file of that name
// exists, never truncating someone else's file and never through a link
// (a dangling one included), then written and closed.
//
// Failures set errno, so that callers report them like any other file
// error ("File exists", "No space left on device").
#pragma once

#include <cstddef>
#include <string>

#include "platform/native_file.h"

namespace platform {

enum class NewFileAccess {
  Ordinary,  // writable; the usual permissions for a new file
  Private,   // readable and writable by its owner only, until it is given
             // other attributes; the handle may also change them
};

// Creates `path` exclusively and returns it open. kNoFile, with errno
// (EEXIST when a file, directory or link of that name exists), when it
// cannot.
NativeFile CreateNewFile(const std::string& path, NewFileAccess access);

class NewFile {
 public:
  NewFile() = default;
  // Closes a file still open; use Close to learn whether that worked.
  ~NewFile();
  NewFile(const NewFile&) = delete;
  NewFile& operator=(const NewFile&) = delete;

  // Creates `path` as CreateNewFile does, with ordinary access.
  bool Create(const std::string& path);
  // Writes all `size` bytes at the end of what was written before.
  bool Write(const char* data, std::size_t size);
  // Closes the file; false when the close reports an error.
  bool Close();

 private:
  NativeFile file_ = kNoFile;
};

}  // namespace platform
