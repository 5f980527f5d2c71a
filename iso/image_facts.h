// What an image holds besides its primary tree: the volume descriptors that
// follow the primary one up to the set terminator, and whether its
// directory records carry Rock Ridge entries. The reader learns these after
// the primary tree has loaded; nothing here can make a load fail.
#pragma once

#include <cstdint>
#include <string>

#include "iso/image_source.h"
#include "iso/iso_structures.h"

struct ImageFacts {
  bool hasBootRecord = false;
  // Sector of the first Joliet supplementary volume descriptor; 0 without.
  std::uint32_t jolietDescriptorSector = 0;
  // First block of the Joliet root directory, from that descriptor.
  std::uint32_t jolietRootExtent = 0;
  // An ISO 9660:1999 enhanced volume descriptor.
  bool hasEnhancedDescriptor = false;
  // SUSP / Rock Ridge entries in the root's self record.
  bool hasRockRidge = false;
  // Why the Joliet tree could not be read (its names are then made from
  // the primary names); empty when it was read or there is none.
  std::string jolietTreeProblem;

  // Anything but zeros in sectors 0 to 15 (a hybrid image's boot record
  // and partition tables).
  bool hasSystemArea = false;
  // A UDF file system beside the ISO 9660 one.
  bool hasUdf = false;
  // Records marked hidden in the primary or Joliet tree, which the reader
  // leaves out.
  bool hasHiddenEntries = false;

  bool HasJoliet() const { return jolietDescriptorSector != 0; }
};

// The facts of `image`, whose root directory starts at
// `rootExtent`. The descriptor scan stops at the terminator, at a sector
// that is not a volume descriptor, at the end of the image, or after a
// bounded number of sectors; read failures end it quietly.
ImageFacts ReadImageFacts(ImageSource& image, std::uint32_t rootExtent);

// Facts of one 2048-byte volume descriptor, added to `facts`; false when it
// is the terminator or not a volume descriptor at all (the scan ends).
bool NoteVolumeDescriptor(const std::uint8_t* descriptor, std::uint32_t sector,
                          ImageFacts& facts);

// Whether a directory record's system use area holds SUSP "SP" or Rock
// Ridge "RR", "PX" or "NM" entries.
bool HasRockRidgeEntries(const RawDirectoryRecord& record);
