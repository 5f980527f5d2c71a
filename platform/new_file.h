// A new file that this process makes itself: created only where no file of
// that name exists (never truncating someone else's), written, closed.
//
// Failures set errno, so that callers report them like any other file
// error ("File exists", "No space left on device").
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace platform {

class NewFile {
 public:
  NewFile() = default;
  // Closes a file still open; use Close to learn whether that worked.
  ~NewFile();
  NewFile(const NewFile&) = delete;
  NewFile& operator=(const NewFile&) = delete;

  // Creates `path` exclusively. False, with errno (EEXIST when a file,
  // directory or link of that name exists), when it cannot.
  bool Create(const std::string& path);
  // Writes all `size` bytes at the end of what was written before.
  bool Write(const char* data, std::size_t size);
  // Closes the file; false when the close reports an error.
  bool Close();

 private:
  std::intptr_t handle_ = -1;  // a file descriptor or a Windows HANDLE
};

}  // namespace platform
