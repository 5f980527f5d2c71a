// El Torito 1.0 catalog records (32 bytes each): the validation entry, the
// initial/default entry, then sections, each a header (0x90, or 0x91 for
// the last) with its number of entries at byte 2, followed by that many
// section entries (boot indicator 0x88 or 0x00), each with extension
// entries (0x44) after it.
#include "iso/boot_catalog.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "common/byte_order.h"
#include "iso/iso_structures.h"

namespace {

constexpr std::size_t kRecord = 32;
constexpr std::uint8_t kExtensionIndicator = 0x44;
constexpr std::size_t kSectionEntryCount = 2;
// Hidden images longer than this are carried with their loaded sectors
// only: a gap that large is not a boot image.
constexpr std::uint64_t kLongestGap = 64ull << 20;

CatalogBootEntry EntryAt(const std::vector<std::uint8_t>& records, std::size_t at) {
  CatalogBootEntry entry;
  entry.recordOffset = at;
  entry.mediaType = records[at + initial_entry::boot_media_type] & 0x0F;
  entry.sectorCount = get_le16(records.data() + at + initial_entry::sector_count);
  entry.loadRba = get_le32(records.data() + at + initial_entry::load_rba);
  return entry;
}

// Whether the no-emulation image at `rba` starts with a boot info table
// that is right about it; `length` is then the table's file length.
bool ValidBootInfoTable(ImageSource& source, std::uint32_t rba, std::uint64_t& length) {
  using namespace boot_info_table;
  std::uint8_t table[end];
  source.ReadAt(SectorOffset(rba), table, sizeof table);
  length = get_le32(table + file_length);
  if (get_le32(table + pvd_lba) != kPrimaryDescriptorSector || get_le32(table + file_lba) != rba ||
      length < end || length > kLongestGap || SectorOffset(rba) + length > source.Size()) {
    return false;
  }
  std::vector<std::uint8_t> rest(length - end);
  source.ReadAt(SectorOffset(rba) + end, rest.data(), rest.size());
  std::uint32_t sum = 0;
  for (std::size_t at = 0; at + 4 <= rest.size(); at += 4) sum += get_le32(rest.data() + at);
  return sum == get_le32(table + checksum);
}

}  // namespace

SourceBootCatalog ReadSourceBootCatalog(ImageSource& source) {
  SourceBootCatalog catalog;
  std::uint8_t bootRecord[kBlockSize];
  source.ReadAt(SectorOffset(kBootRecordSector), bootRecord, sizeof bootRecord);
  if (!HasDescriptorHeader(bootRecord, kBootRecordDescriptor) ||
      std::memcmp(bootRecord + boot_record::boot_system_identifier, kElToritoIdentifier,
                  sizeof kElToritoIdentifier - 1) != 0) {
    return catalog;
  }
  catalog.sector = get_le32(bootRecord + boot_record::boot_catalog_sector);
  std::vector<std::uint8_t> sector(kBlockSize);
  source.ReadAt(SectorOffset(catalog.sector), sector.data(), sector.size());
  if (sector[validation_entry::header_id] != validation_entry::kHeaderId ||
      sector[validation_entry::key_byte_1] != validation_entry::kKeyByte1 ||
      sector[validation_entry::key_byte_2] != validation_entry::kKeyByte2) {
    return catalog;
  }

  std::size_t at = 2 * kRecord;
  catalog.entries.push_back(EntryAt(sector, kRecord));
  bool lastSection = false;
  while (!lastSection && at + kRecord <= sector.size() &&
         (sector[at] == kSectionHeader || sector[at] == kFinalSectionHeader)) {
    lastSection = sector[at] == kFinalSectionHeader;
    std::size_t count = get_le16(sector.data() + at + kSectionEntryCount);
    at += kRecord;
    for (; count > 0; --count) {
      if (at + kRecord > sector.size()) {
        throw std::runtime_error("the boot catalog of " + source.Name() +
                                 " has more entries than one sector holds");
      }
      catalog.entries.push_back(EntryAt(sector, at));
      at += kRecord;
      while (at + kRecord <= sector.size() && sector[at] == kExtensionIndicator) at += kRecord;
    }
  }
  catalog.records.assign(sector.begin(), sector.begin() + at);
  for (CatalogBootEntry& entry : catalog.entries) {
    std::uint64_t length = 0;
    entry.bootInfoTable = entry.mediaType == kMediaNoEmulation && entry.loadRba != 0 &&
                          ValidBootInfoTable(source, entry.loadRba, length);
  }
  return catalog;
}

namespace {

// A hard disk image: up to the end of the last partition of its MBR.
std::uint64_t HardDiskBytes(ImageSource& source, std::uint32_t rba) {
  std::uint8_t mbr[512];
  source.ReadAt(SectorOffset(rba), mbr, sizeof mbr);
  std::uint64_t end = 1;
  for (int i = 0; i < 4; ++i) {
    const std::uint8_t* entry = mbr + 446 + 16 * i;
    if (entry[4] == 0) continue;
    end = std::max<std::uint64_t>(end, std::uint64_t{get_le32(entry + 8)} + get_le32(entry + 12));
  }
  return end * 512;
}

// A FAT file system's size from its boot sector; 0 when it is none.
std::uint64_t FatBytes(const std::uint8_t* boot) {
  if (boot[510] != 0x55 || boot[511] != 0xAA || get_le16(boot + 11) != 512) return 0;
  const std::uint32_t sectors = get_le16(boot + 19) != 0 ? get_le16(boot + 19) : get_le32(boot + 32);
  return std::uint64_t{sectors} * 512;
}

// The sectors from `rba` up to `next`, without the zero sectors at the end.
std::uint64_t GapBytes(ImageSource& source, std::uint32_t rba, std::uint32_t next) {
  if (next <= rba || SectorOffset(next - rba) > kLongestGap) return 0;
  std::vector<std::uint8_t> sector(kBlockSize);
  for (std::uint32_t last = next; last > rba; --last) {
    if (SectorOffset(last) > source.Size()) continue;
    source.ReadAt(SectorOffset(last - 1), sector.data(), sector.size());
    if (std::any_of(sector.begin(), sector.end(), [](std::uint8_t b) { return b != 0; })) {
      return SectorOffset(last - rba);
    }
  }
  return 0;
}

}  // namespace

std::uint64_t HiddenBootImageBytes(ImageSource& source, const CatalogBootEntry& entry,
                                   std::uint32_t nextStructure) {
  switch (entry.mediaType) {
    case kMedia12Floppy: return 1228800;
    case kMedia144Floppy: return 1474560;
    case kMedia288Floppy: return 2949120;
    case kMediaHardDisk: return HardDiskBytes(source, entry.loadRba);
    default: break;
  }
  std::uint64_t bytes = std::uint64_t{entry.sectorCount} * kVirtualSectorSize;
  std::uint8_t boot[512];
  source.ReadAt(SectorOffset(entry.loadRba), boot, sizeof boot);
  bytes = std::max(bytes, FatBytes(boot));
  std::uint64_t tableLength = 0;
  if (entry.bootInfoTable && ValidBootInfoTable(source, entry.loadRba, tableLength)) {
    bytes = std::max(bytes, tableLength);
  }
  return std::max(bytes, GapBytes(source, entry.loadRba, nextStructure));
}
