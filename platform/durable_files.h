// A new version of a file, written beside it under a name this process
// created, and put in the file's place in one step once it is complete and
// on the disk; the old version may stay under a backup name.
//
// The steps are separate so that a caller can fill the new file in between
// (by its path), check that nobody swapped either file meanwhile, and decide
// whether the old version is kept. At every moment the target's name holds
// the complete old or the complete new version.
#pragma once

#include <memory>
#include <string>

namespace platform {

class FileLock;

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

class ReplacementFile {
 public:
  ReplacementFile();
  // Closes the file; it stays on the disk (see Discard).
  ~ReplacementFile();
  ReplacementFile(const ReplacementFile&) = delete;
  ReplacementFile& operator=(const ReplacementFile&) = delete;

  // Creates `path`, readable and writable by its owner only. Never opens
  // anything that already stands there (a link, a file someone else made).
  // Throws std::system_error naming the path.
  void Create(const std::string& path);
  const std::string& path() const;
  // True while path() names the file Create made.
  bool StillNamed() const;
  // True once CommitOver has given the new file the target's name.
  bool Committed() const;

  // Takes the permission bits, group, owner (where this process may give
  // it away) and access control list. Throws std::system_error.
  void TakeAttributes(const FileAttributes& attributes);
  // Writes the file's data to the disk. Throws std::system_error.
  void Flush();

  // Renames the new file over `target`. With a `backup` name, the old
  // target first gets that second name, replacing a file of that name; on a
  // file system without hard links the old target is renamed to it instead
  // (and `target` has no name for a moment). Throws std::system_error
  // naming the step when the new file did not get the target's name;
  // `target` then still names the old file. Returns "" when the directory
  // was flushed too, otherwise why it could not be: the change is made but
  // might not survive a power loss.
  //
  // `targetLock`, the caller's lock on the target if it holds one, is
  // released just before the last rename where the system cannot replace a
  // file that is open (Windows without POSIX rename semantics, FAT).
  std::string CommitOver(const std::string& target, const std::string& backup,
                         FileLock* targetLock = nullptr);

  // Removes path() if it still names the uncommitted new file. Never throws;
  // safe to call from a thread other than the one filling the file.
  void Discard() noexcept;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace platform
