// Reads an ISO 9660 image: builds its directory tree on first use, answers
// whether image paths exist, and copies files and directories out of it.
// The tree is read as far as it is used: the root's list at the load, any
// other directory's list when a lookup or copy first enters it, so that a
// run touching a few paths of a large image reads a few directories.
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
  // Loads the image: its descriptors and the root's list.
  virtual int LoadImage();
  // Reads every list not read yet; the facts then tell about the whole
  // image (hidden entries, a damaged Joliet tree). 0 on success.
  int LoadEverything();
  // The list of the directory `node`, held in the list `parentList`, read
  // now when it has not been; null when it cannot be read (said on
  // standard output, once).
  DirectoryRecord* ListOf(DirectoryRecord& node, const DirectoryRecord* parentList);
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
  // a load). Hidden entries and Joliet damage are known of the lists read
  // so far: of the whole image after LoadEverything.
  const ImageFacts& Facts() const { return facts; }

 protected:
  ImageOrigin image;
  bool loaded = false;

 private:
  // After the root's list has loaded: the descriptor set, Rock Ridge, and
  // the Joliet names of the root's entries. Never fails the load.
  void LearnImageFacts(ImageSource& source, std::uint32_t rootExtent);
  // The list of the directory at `extent`, its subdirectories' lists
  // pending. Throws when a record or name cannot be read.
  DirectoryRecord* ReadList(ImageSource& source, std::uint32_t extent,
                            const std::string& parentPath);
  // Fills `node` from its record. Throws when the name cannot be read.
  void FillNode(const RawDirectoryRecord& record, DirectoryRecord& node);
  // The Joliet names of a list just read, from the Joliet directory paired
  // with it. Damage there gives up every Joliet name, never the list.
  void NameFromJoliet(ImageSource& source, DirectoryRecord* list, std::uint32_t jolietExtent,
                      std::uint32_t parentJoliet);
  // Reads the lists below `list` not read yet; false when one cannot be.
  bool ReadAllBelow(DirectoryRecord* list);
  // The Joliet tree turned out damaged: its names are given up everywhere.
  void GiveUpJolietNames(const std::string& problem);
  // Copies the data of a file node to a new local file.
  void CopyFileOut(const DirectoryRecord& node, const std::string& localPath,
                   bool showProgress);

  DirectoryWalkGuard walkGuard{kMaxDirectoryDepth};
  DirectoryWalkGuard jolietGuard{kMaxDirectoryDepth};
  // The load of the primary tree left out records marked hidden.
  bool hiddenEntries = false;
  ImageFacts facts;
};
