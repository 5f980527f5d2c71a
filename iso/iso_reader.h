// Reads an ISO 9660 image: builds its directory tree on first use, answers
// whether image paths exist, and copies files and directories out of it.
//
// Image paths use "\" or "/" between components; leading and trailing
// separators are ignored; names compare byte for byte (case matters).
// Console lines are bare lines on standard output.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "iso/directory_extent.h"
#include "iso/image_facts.h"
#include "iso/iso_manipulator.h"

class ISOReader : public virtual ISOManipulator {
 public:
  explicit ISOReader(std::string imagePath);
  ~ISOReader() override;

  virtual int Unpack(const std::string& localDirectory);
  virtual int RetrieveFile(const std::string& imagePath, const std::string& localPath);
  virtual int RetrieveDir(const std::string& imagePath, const std::string& localDirectory);
  virtual bool FileExists(const std::string& imagePath);
  virtual bool DirectoryExists(const std::string& imagePath);
  // Reads one directory extent (and, recursively, its subdirectories).
  virtual DirectoryRecord* LoadDirectory(std::uint32_t extent, const std::string& parentPath);
  virtual int LoadImage();
  virtual int CreateFileOrDirectory(DirectoryRecord* node, const std::string& localPath,
                                    bool showProgress);
  virtual int RetrieveRecordList(DirectoryRecord* head, const std::string& localDirectory,
                                 bool showProgress);
  virtual std::string GetRecordName(const RawDirectoryRecord* record);
  // Path without leading separator; returns the "." node of a directory or
  // the file node, null when absent or not loaded.
  virtual DirectoryRecord* findDirectoryRecord(const std::string& imagePath);

  // What the loaded image holds besides its primary tree (all false before
  // a load).
  const ImageFacts& Facts() const { return facts; }

 protected:
  std::string imagePath;
  bool loaded = false;

  // Deepest directory level accepted below the root; deeper trees (or a
  // directory extent that points back at an enclosing one) fail the load.
  static constexpr std::size_t kMaxDirectoryDepth = 64;

 private:
  // After the primary tree has loaded: the descriptor set, Rock Ridge, and
  // the Joliet names of the tree's entries. Never fails the load.
  void LearnImageFacts(std::uint32_t rootExtent);

  DirectoryWalkGuard walkGuard{kMaxDirectoryDepth};
  ImageFacts facts;
};
