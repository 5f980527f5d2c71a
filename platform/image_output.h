// The files of an image being packed: the output file, written in
// positioned pieces, and files read for it (the source image, the files
// added from the local disk), read at positions.
//
// Images are written once, mostly front to back, in pieces from a few dozen
// bytes (directory records) to gigabytes (file data). Small writes gather in
// a fixed buffer; file data copied with CopyFrom moves in megabyte pieces
// through the same buffer, and holes of a sparse source stay holes where
// the system can find them. Writing back to the disk is started early,
// where the system allows it, every few megabytes, so that the
// disk works while the copy goes on and a final flush of the whole file (or
// the one a file system makes when the new file replaces an old one) has
// little left to do. Memory use is the one buffer, whatever the image size.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/native_file.h"

namespace platform {

// Opens a file for positioned reads and gives its size. Throws
// std::runtime_error "cannot open PATH for reading: REASON".
NativeFile OpenInputFile(const std::string& path, std::uint64_t& size);
// Reads up to `length` bytes at `position`; how many, 0 at the end of the
// file or when the system reports an error.
std::size_t ReadInputFile(NativeFile file, std::uint64_t position, void* buffer,
                          std::size_t length);

class ImageOutputFile {
 public:
  ImageOutputFile();
  ~ImageOutputFile();
  ImageOutputFile(const ImageOutputFile&) = delete;
  ImageOutputFile& operator=(const ImageOutputFile&) = delete;

  // Creates the file, or empties it when it exists. Never writes through a
  // link, nor into a file with other names (hard links). Throws an
  // exception that names the path and the reason.
  void Open(const std::string& path);
  // Writes what is buffered and closes the output. Throws when a write or
  // the close fails; the output is closed all the same.
  void Close();

  // Writes `length` bytes at `position` (buffered).
  void WriteAt(std::uint64_t position, const void* data, std::size_t length);
  // Copies `length` bytes of the open file `source`, starting at
  // `sourceOffset`, to `position`. Holes of the source are not written:
  // the output keeps what it held there, which is zeros in a part of the
  // file never written before (the writer copies each file into its own
  // new extent). Throws an exception that names the file and the reason
  // when the copy fails, the source's name when it ends early.
  //
  // Every failed write throws std::ios_base::failure with the path and the
  // system's reason ("cannot write x.iso: No space left on device").
  void CopyFrom(NativeFile source, const std::string& sourcePath, std::uint64_t sourceOffset,
                std::uint64_t length, std::uint64_t position);

 private:
  [[noreturn]] static void Fail(int error, const std::string& what);
  [[noreturn]] static void FailShortSource(const std::string& sourcePath, std::uint64_t at,
                                           std::uint64_t end);
  static std::string OtherNamesRefusal(const std::string& path);
  void FlushBuffer();
  // The system's part: every failure throws, naming the file.
  static NativeFile OpenOutput(const std::string& path);
  void WriteOut(const char* data, std::uint64_t count, std::uint64_t position);
  std::uint64_t OutputSize();
  void CopyRun(NativeFile source, const std::string& sourcePath, std::uint64_t sourceOffset,
               std::uint64_t outputOffset, std::uint64_t length);

  NativeFile output_ = kNoFile;
  std::string path_;
  std::vector<char> buffer_;
  std::uint64_t bufferPosition_ = 0;  // output offset of the buffer's first byte
  std::size_t pending_ = 0;           // bytes gathered in the buffer
  std::uint64_t unsyncedBytes_ = 0;   // written since write-back was last started
};

}  // namespace platform
