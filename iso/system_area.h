// The partition tables of a hybrid image's system area (sectors 0 to 15),
// kept valid when the image grows: an MBR whose entries covered the image,
// and a GPT with its primary header and entries in the system area and its
// backup at the end of the image. Pure: the caller applies the writes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "iso/image_source.h"

struct AreaWrite {
  std::uint64_t offset = 0;
  std::vector<std::uint8_t> bytes;
};

struct SystemAreaPatch {
  // Applied in order, after the image's own data is in place.
  std::vector<AreaWrite> writes;
  // Empty when the tables could be kept (or there are none); otherwise why
  // the system area is cleared, and `writes` zero it.
  std::string warning;
  // Bytes at the end of the new image that the backup GPT takes: the image
  // must be at least this much longer than its last data.
  std::uint64_t backupGptBytes = 0;
};

// The writes that make the partition tables of `image` describe the image
// grown (or shrunk) from `oldSectors` to `newSectors` 2048-byte sectors.
// Entries that lie wholly inside the old image keep their bytes.
SystemAreaPatch ResizeSystemArea(ImageSource& image, std::uint32_t oldSectors,
                                 std::uint32_t newSectors);

// CRC-32 as GPT headers and entry arrays carry it (the zlib polynomial).
std::uint32_t Crc32(const std::uint8_t* bytes, std::size_t length);
