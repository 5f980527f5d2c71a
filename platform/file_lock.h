// Use of a file for as long as a run works on it: exclusive for a run that
// replaces it, so that two runs never customize one image at once, or
// shared for one that only reads it.
#pragma once

#include <memory>
#include <string>

#include "platform/durable_files.h"

namespace platform {

class FileLock {
 public:
  enum class Mode { Exclusive, Shared };
  enum class Result {
    Locked,
    Busy,        // another process holds a lock that excludes this one
    Missing,     // nothing stands at the path
    NotRegular,  // something other than a regular file stands there
    Unlocked,    // held without a lock: its file system offers none (WhyUnlocked)
  };

  FileLock();
  // Releases the lock.
  ~FileLock();
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;

  // Opens the regular file at `path` (never through a link, never waiting
  // on a FIFO or a device) and locks it without waiting. When `path` names
  // another file once the lock is held (a run that held it has just
  // replaced it), starts again with the new one. On a file system that
  // cannot lock, the file is held without a lock. Throws std::system_error
  // naming the path when it cannot be opened.
  Result Acquire(const std::string& path, Mode mode);
  // The system's reason after Result::Unlocked.
  const std::string& WhyUnlocked() const;
  // True while a file is held and `path` names it.
  bool Names(const std::string& path) const;
  // The held file's attributes, for a new version of it. Throws
  // std::system_error.
  FileAttributes Attributes() const;
  void Release();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace platform
