// The Joliet tree of a source image as recorded, the pairing of its names
// with the entries of the primary tree, and the Joliet hierarchy of a new
// image.
//
// Both trees of an image list the same files, whose data they share: a
// file pairs with the Joliet file of the paired directory that has the same
// extent and size, and a directory with the Joliet directory that holds the
// same files below it. Where that is ambiguous (empty files share extents,
// a directory may hold no files) the names are compared; what stays
// unpaired takes a Joliet name made from its ISO 9660 name.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "iso/image_source.h"
#include "iso/iso_structures.h"

struct JolietEntry {
  std::string identifier;  // UCS-2 big-endian bytes as recorded
  std::uint32_t extent = 0;  // a file of several extents: its first
  std::uint32_t size = 0;
  bool directory = false;
  std::vector<JolietEntry> entries;  // a directory's entries without "." and ".."
  bool listed = true;  // false: a directory whose entries were not read
  // A directory: records marked hidden were left out of it or below it.
  bool holdsHidden = false;
};

// The Joliet tree whose root directory starts at `rootExtent`, hidden
// entries left out. Throws std::runtime_error on a damaged tree (the same
// checks as the primary tree's load).
JolietEntry LoadJolietTree(ImageSource& image, std::uint32_t rootExtent);

// The Joliet directory at `extent` with its own entries only (its
// subdirectories not listed), hidden ones left out. Throws as
// LoadJolietTree for this directory.
JolietEntry LoadJolietDirectory(ImageSource& image, std::uint32_t extent);

// Sets `jolietIdentifier` of every entry below the primary list's "." node
// whose Joliet name the Joliet tree determines; the others stay empty. A
// directory paired gets the Joliet directory's extent as `jolietExtent`.
// Either side may hold directories not read yet: with `image`, the files
// nearest below them are read from it to pair them; without, only names
// pair them.
void MapJolietNames(DirectoryRecord* primaryList, const JolietEntry& jolietRoot,
                    ImageSource* image = nullptr);

// The Joliet name an entry takes into a new image: the one it carries, else
// for an entry of the source image one made from its ISO 9660 name, else
// its identifier in UCS-2 (throws std::invalid_argument when Joliet cannot
// hold it).
std::string JolietNameFor(const DirectoryRecord& node);

// What a new entry keeps of the entry of the same type that it replaces:
// that entry's Joliet name ("" when it had none of its own).
std::string KeptJolietName(const DirectoryRecord& replaced);

// Throws std::invalid_argument for the first name in a list of entries
// added from local files (recursively) that Joliet cannot hold.
void CheckJolietNames(const DirectoryRecord* list);

// The Joliet hierarchy of a new image: a copy of the tree's lists with the
// same entries in the same order, each with its Joliet name as identifier.
// The caller releases it with FreeRecordList. Throws as JolietNameFor.
DirectoryRecord* BuildJolietHierarchy(const DirectoryRecord* primaryList);
