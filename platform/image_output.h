// The output file of an image being packed: a seekable stream buffer over a
// file descriptor that can also copy a run of bytes from another file
// straight into the output.
//
// Images are written once, mostly front to back, in pieces from a few dozen
// bytes (directory records) to gigabytes (file data). Small writes gather in
// a fixed buffer; file data copied with CopyFrom moves in megabyte pieces
// through the same buffer, and holes of a sparse source stay holes. Writing
// back to the disk is started early, every few megabytes, so that the
// disk works while the copy goes on and a final flush of the whole file (or
// the one a file system makes when the new file replaces an old one) has
// little left to do. Memory use is the one buffer, whatever the image size.
#pragma once

#include <cstdint>
#include <streambuf>
#include <string>
#include <vector>

namespace platform {

class ImageOutputBuffer : public std::streambuf {
 public:
  ImageOutputBuffer();
  ~ImageOutputBuffer() override;
  ImageOutputBuffer(const ImageOutputBuffer&) = delete;
  ImageOutputBuffer& operator=(const ImageOutputBuffer&) = delete;

  // Creates the file, or empties it when it exists. Never writes through a
  // link, nor into a file with other names (hard links). Throws an
  // exception that names the path and the reason.
  void Open(const std::string& path);
  // Writes what is buffered and closes the output (and a source kept open
  // by CopyFrom). Throws std::ios_base::failure when a write or the close
  // fails; the output is closed all the same.
  void Close();

  // Copies `length` bytes of the file `sourcePath`, starting at
  // `sourceOffset`, to the current output position and moves the position
  // past them. Holes of the source are not written: the output keeps what
  // it held there, which is zeros in a part of the file never written
  // before (the writer copies each file into its own new extent). With
  // `keepSourceOpen` the source stays open for the next
  // copy from the same path (one source at a time). Returns false, having
  // written nothing, when the source cannot be opened or holds fewer bytes
  // than asked for, so that the caller can take its ordinary road and
  // report that as usual. Throws an exception that names the file and the
  // reason when the copy fails after it started.
  //
  // Every failed write, here and through the stream, throws
  // std::ios_base::failure with the path and the system's reason ("cannot
  // write x.iso: No space left on device"); the stream passes it on.
  bool CopyFrom(const std::string& sourcePath, std::uint64_t sourceOffset, std::uint64_t length,
                bool keepSourceOpen);

 protected:
  int_type overflow(int_type ch) override;
  std::streamsize xsputn(const char* data, std::streamsize count) override;
  int sync() override;
  pos_type seekoff(off_type offset, std::ios_base::seekdir direction,
                   std::ios_base::openmode which) override;
  pos_type seekpos(pos_type position, std::ios_base::openmode which) override;

 private:
  void FlushBuffer();
  void WriteAt(const char* data, std::uint64_t count, std::uint64_t position);
  void NoteWritten(std::uint64_t count);
  void CopyRun(int sourceFd, const std::string& sourcePath, std::uint64_t sourceOffset,
               std::uint64_t outputOffset, std::uint64_t length);
  void CloseSource();

  int fd_ = -1;
  std::string path_;
  std::vector<char> buffer_;
  std::uint64_t bufferPosition_ = 0;  // output offset of the buffer's first byte
  std::uint64_t unsyncedBytes_ = 0;   // written since write-back was last started
  int sourceFd_ = -1;
  std::string sourcePath_;
  std::uint64_t sourceSize_ = 0;
};

}  // namespace platform
