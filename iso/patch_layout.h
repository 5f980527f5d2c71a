// The "keep" layout: the new image is the source image with only the
// sectors a customization needs changed. Everything the run leaves alone
// keeps its sectors and bytes: the system area (but for partition tables
// grown with the image), the boot catalog and boot images, the data of
// unchanged files, and every directory of either tree (primary, Joliet)
// that the run does not change, hidden entries and system-use fields
// included.
//
// PlanPatch works out what to write from the source image and the modified
// tree; ApplyPatch writes it. Local files are read for their size and, when
// a file replaces one of the source, to see whether its bytes changed.
#pragma once

#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "iso/image_facts.h"
#include "iso/image_sink.h"
#include "iso/image_source.h"
#include "iso/iso_structures.h"
#include "iso/system_area.h"

// How a modifier writes its new image: the source patched where the run
// changes it, or a fresh, packed image.
enum class ImageLayout { Keep, Compact };

// Sectors [first, first + count).
struct SectorRange {
  std::uint32_t first = 0;
  std::uint32_t count = 0;
};

// Bytes to put at a sector.
struct SectorWrite {
  std::uint32_t sector = 0;
  std::vector<std::uint8_t> bytes;
};

// A local file's data to put at a sector.
struct FileWrite {
  std::string localPath;
  std::uint32_t sector = 0;
  std::uint32_t size = 0;
};

struct PatchPlan {
  std::uint64_t sourceBytes = 0;         // the whole source is copied first
  std::uint32_t volumeSpaceSize = 0;     // sectors of the new volume
  std::vector<SectorRange> zeroed;       // no longer referenced: zeros
  std::vector<FileWrite> files;          // new and changed files
  std::vector<SectorWrite> descriptors;  // volume descriptors that changed
  std::vector<SectorWrite> pathTables;   // path tables that changed
  std::vector<SectorWrite> directories;  // directory extents that changed
  // The partition tables of a hybrid image grown with it (or the system
  // area cleared), applied last: they may reach past the last data.
  std::vector<AreaWrite> systemArea;
  // Warning lines for structures outside the ISO 9660 trees that point
  // into the image: what was invalidated or cleared, and what readers see.
  std::vector<std::string> warnings;
};

// Thrown when the source cannot be patched though it is sound (a changed
// directory without its Joliet counterpart): the compact layout can still
// write it.
struct CannotPatch : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// The plan for the tree `rootList` (the source tree loaded from `source`
// with the run's additions). `recordDate` is the 7-byte recording date new
// and replaced entries get. Throws std::runtime_error naming the reason
// when the source is damaged (a directory, or a file it keeps that runs
// past the end of the image), CannotPatch as above.
// `volumeDate` (17 bytes) becomes the volume modification date of every
// descriptor that describes a tree.
PatchPlan PlanPatch(ImageSource& source, const DirectoryRecord* rootList, const ImageFacts& facts,
                    const std::uint8_t recordDate[7], const std::uint8_t volumeDate[17]);

// The steps of writing a plan, in this order; each throws on a failure.
// The copy of the whole source, then zeros where bytes went stale.
void CopySourceAndZeroStale(const PatchPlan& plan, ImageSource& source, ImageSink& output);
void WriteSectors(const std::vector<SectorWrite>& writes, ImageSink& output);
// Each file's data, its last sector completed with zeros; `progress` gets
// the bytes of each piece written.
void WriteFiles(const PatchPlan& plan, ImageSink& output,
                const std::function<void(std::uint64_t)>& progress);
