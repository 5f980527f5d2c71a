// The one way this tool makes a file: created only where no file of that
// name exists (never through a link, a dangling one included, never
// someone else's file), written through the handle that created it, and
// then either left under its name (Close), or given the attributes of the
// file it replaces, flushed and renamed over that file in one step, the old
// version kept under a backup name (CommitOver), or removed (Discard).
//
// Writes are positioned. Small ones gather in a fixed buffer; ranges of
// other files (CopyFrom) are shared with the source where the file system
// can clone extents, else copied by the kernel or in megabyte pieces
// through the same buffer, and holes of a sparse source stay holes. Write-
// back to the disk is started every few megabytes, so that a final flush
// has little left to do. Memory use is the one buffer, whatever the size.
//
// Failures of the system name the file and the reason ("cannot write
// x.iso: No space left on device"); writes throw std::ios_base::failure,
// the other steps std::system_error.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/durable_files.h"
#include "platform/native_file.h"

namespace platform {

class FileLock;

enum class NewFileAccess {
  Ordinary,  // the usual permissions for a new file
  Private,   // readable and writable by its owner only, until it is given
             // other attributes
};

// Creates `path` exclusively and returns it open for writing. kNoFile,
// with errno (EEXIST when a file, directory or link of that name exists),
// when it cannot.
NativeFile CreateNewFile(const std::string& path, NewFileAccess access);

class NewFile {
 public:
  NewFile();
  // Closes the file without reporting; it stays on the disk (see Discard).
  ~NewFile();
  NewFile(const NewFile&) = delete;
  NewFile& operator=(const NewFile&) = delete;

  // Creates `path`. Throws std::system_error "cannot create PATH: REASON".
  void Create(const std::string& path, NewFileAccess access = NewFileAccess::Private);
  const std::string& path() const { return path_; }
  // True while path() names the file Create made.
  bool StillNamed() const;
  bool Committed() const { return committed_; }

  // Writes `length` bytes at `position` (buffered).
  void WriteAt(std::uint64_t position, const void* data, std::size_t length);
  // Writes at the end of what was written or copied last.
  void Write(const void* data, std::size_t length);
  // Copies `length` bytes of the open file `source`, from `sourceOffset`,
  // to `position`. Holes of the source are not written: the output keeps
  // what it held there, zeros where it was never written. Throws naming
  // the source when it cannot be read or ends early.
  void CopyFrom(NativeFile source, const std::string& sourcePath, std::uint64_t sourceOffset,
                std::uint64_t length, std::uint64_t position);
  // Makes `length` bytes at `position` read as zeros: whole blocks are
  // given back to the file system where it can, the rest is written.
  void PunchHole(std::uint64_t position, std::uint64_t length);
  // Writes what is buffered.
  void WriteBuffered();
  // Writes what is buffered and closes the file, which stays under its
  // name. Throws when a write or the close fails; closed all the same.
  void Close();

  // Takes the permission bits, group, owner (where this process may give
  // it away) and access control list. Throws std::system_error.
  void TakeAttributes(const FileAttributes& attributes);
  // Writes what is buffered and the file's data to the disk.
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

  // The ways CopyFrom may take, best first; every later one is the
  // fallback of those before it. Tests narrow them to check each.
  enum CopyWays : unsigned { kClone = 1, kKernelCopy = 2, kAllCopyWays = 3 };
  static void AllowCopyWays(unsigned ways);

 private:
  struct Impl;  // the system's handle and the file's identity

  [[noreturn]] static void Fail(int error, const std::string& what);
  [[noreturn]] static void FailShortSource(const std::string& sourcePath, std::uint64_t at,
                                           std::uint64_t end);
  void FlushBuffer();
  void WriteZeros(std::uint64_t position, std::uint64_t length);
  // Called by Create once the file is open: an empty buffer at 0.
  void Begin(const std::string& path);
  // The system's part: every failure throws, naming the file.
  void WriteOut(const char* data, std::uint64_t count, std::uint64_t position);
  std::uint64_t OutputSize();
  void CopyRun(NativeFile source, const std::string& sourcePath, std::uint64_t sourceOffset,
               std::uint64_t outputOffset, std::uint64_t length);
  void CloseHandles(bool report);
  // Copies [at, runEnd) of `source`, which has `end` bytes, to `outputAt`,
  // in megabyte pieces through the buffer.
  void CopyThroughBuffer(NativeFile source, const std::string& sourcePath, std::uint64_t at,
                         std::uint64_t runEnd, std::uint64_t end, std::uint64_t outputAt);
  // Counts `written` bytes and starts their write-back every few megabytes.
  void StartWriteBack(std::uint64_t written);

  std::unique_ptr<Impl> impl_;
  std::string path_;
  bool committed_ = false;
  // Left uninitialized: a file of a few bytes touches a page of it, not
  // the megabyte.
  class Buffer {
   public:
    void Allocate(std::size_t size) {
      bytes_.reset(new char[size]);
      size_ = size;
    }
    char* data() const { return bytes_.get(); }
    std::size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }

   private:
    std::unique_ptr<char[]> bytes_;
    std::size_t size_ = 0;
  };
  Buffer buffer_;
  std::uint64_t bufferPosition_ = 0;  // output offset of the buffer's first byte
  std::size_t pending_ = 0;           // bytes gathered in the buffer
  std::uint64_t unsyncedBytes_ = 0;   // written since write-back was last started
  static unsigned copyWays_;
};

}  // namespace platform
