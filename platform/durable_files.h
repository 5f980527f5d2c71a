// Making a finished file durable and putting it in place of another one
// while keeping the old one as a backup.
#pragma once

#include <string>

namespace platform {

// Flushes a file's data and then its directory entry to the disk. Throws
// std::system_error when the file cannot be opened or flushed.
void FlushFileToDisk(const std::string& path);

// Makes `backupPath` the old `targetPath` and `newPath` the new `targetPath`,
// so that at every moment `targetPath` names either the complete old file or
// the complete new one and the old file always exists under one of the two
// names. `backupPath` must not exist. Where the file system cannot link, it
// falls back to two renames (the old file is then briefly only under
// `backupPath`). Throws std::system_error (with the step's path) on failure;
// whatever was already moved stays moved.
void ReplaceKeepingBackup(const std::string& targetPath, const std::string& newPath,
                          const std::string& backupPath);

}  // namespace platform
