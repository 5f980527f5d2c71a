// The whole El Torito boot catalog of a source image as recorded: the
// validation entry, the default entry, every section header, section entry
// and extension entry, and for each boot entry how long its boot image is.
// A new image carries the records byte for byte and changes only the load
// RBAs (and a boot info table's file LBA) for the sectors it moves them to.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "iso/image_source.h"

struct CatalogBootEntry {
  std::size_t recordOffset = 0;  // of its 32-byte entry within the records
  std::uint8_t mediaType = 0;
  std::uint32_t loadRba = 0;  // in the source
  std::uint16_t sectorCount = 0;
  // A boot info table (bytes 8..63 of a no-emulation image) that was valid
  // in the source: it is made valid for the new sectors.
  bool bootInfoTable = false;
};

struct SourceBootCatalog {
  std::uint32_t sector = 0;
  std::vector<std::uint8_t> records;  // validation entry to the last entry
  std::vector<CatalogBootEntry> entries;  // default entry first
};

// Media types of an entry (byte 1, low nibble).
enum : std::uint8_t {
  kMediaNoEmulation = 0,
  kMedia12Floppy = 1,
  kMedia144Floppy = 2,
  kMedia288Floppy = 3,
  kMediaHardDisk = 4
};

// Reads the catalog that the boot record in sector 17 names; no records
// when sector 17 holds no El Torito boot record or the catalog no
// validation entry. Throws when it cannot be read or does not fit the one
// sector a new image gives it.
SourceBootCatalog ReadSourceBootCatalog(ImageSource& source);

// The length of an entry's boot image when no file of the tree holds it:
// a floppy's media size; a hard disk's up to the end of its MBR's last
// partition; for no emulation, the loaded sectors, a valid boot info
// table's length, a FAT file system's size, or the sectors up to
// `nextStructure` without the zero sectors at their end, whichever is the
// largest.
std::uint64_t HiddenBootImageBytes(ImageSource& source, const CatalogBootEntry& entry,
                                   std::uint32_t nextStructure);

// Offsets in a boot info table.
namespace boot_info_table {
constexpr std::size_t pvd_lba = 8;
constexpr std::size_t file_lba = 12;
constexpr std::size_t file_length = 16;
constexpr std::size_t checksum = 20;
constexpr std::size_t end = 64;
}  // namespace boot_info_table
