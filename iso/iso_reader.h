// Reads an ISO 9660 image: builds its directory tree on first use, answers
// whether image paths exist, and copies files and directories out of it.
//
// Image paths and names follow iso/image_path.h: lookups compare with case
// but without ISO 9660's version ("WINBOM.INI;1" answers to "WINBOM.INI");
// SameEntryType compares as the modifier replaces, without case either.
// Console lines are bare lines on standard output.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "iso/directory_extent.h"
#include "iso/image_facts.h"
#include "iso/image_source.h"
#include "iso/iso_manipulator.h"

class ISOReader : public virtual ISOManipulator {
 public:
  explicit ISOReader(ImageOrigin image);
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
  // The type (kTypeFile or kTypeDirectory) of the entry that an addition at
  // `imagePath` would replace, every name compared as for the same entry; 0
  // when there is none or the image does not load. The root is no entry.
  virtual std::uint32_t SameEntryType(const std::string& imagePath);

  // The list of the directory that `names` lead to from the root of the
  // loaded tree, each name matched as for the same entry; null when none.
  DirectoryRecord* SameEntryDirectory(const std::vector<std::string>& names);

  enum class NameMatch { Lookup, SameEntry };
  // The entry of a directory list (past "." and "..") that `name` finds: the
  // one recorded exactly as `name`, else the first that answers to it by its
  // identifier, else by its Joliet name, else, for SameEntry, the first that
  // is the same entry by its identifier, else by its Joliet name. Sets
  // `previous` to the node before it.
  static DirectoryRecord* FindInList(DirectoryRecord* list, const std::string& name,
                                     NameMatch match, DirectoryRecord** previous = nullptr);

  // What the loaded image holds besides its primary tree (all false before
  // a load).
  const ImageFacts& Facts() const { return facts; }

 protected:
  ImageOrigin image;
  bool loaded = false;

 private:
  // After the primary tree has loaded: the descriptor set, Rock Ridge, and
  // the Joliet names of the tree's entries. Never fails the load.
  void LearnImageFacts(ImageSource& source, std::uint32_t rootExtent);
  // LoadDirectory on an image already open: one open serves a whole load.
  DirectoryRecord* LoadDirectoryFrom(ImageSource& source, std::uint32_t extent,
                                     const std::string& parentPath);
  // Fills `node` from its record; a subdirectory's list is loaded below it.
  // Throws when the name or the subdirectory cannot be read.
  void FillNode(ImageSource& source, const RawDirectoryRecord& record, DirectoryRecord& node);
  // Copies the data of a file node to a new local file.
  void CopyFileOut(const DirectoryRecord& node, const std::string& localPath,
                   bool showProgress);

  DirectoryWalkGuard walkGuard{kMaxDirectoryDepth};
  // The load of the primary tree left out records marked hidden.
  bool hiddenEntries = false;
  ImageFacts facts;
};
