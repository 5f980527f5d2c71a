// MBR (partition entries at byte 446, signature 0x55 0xAA at 510) and GPT
// (header "EFI PART" at LBA 1, entry array after it, backup header at the
// last LBA with its entry array just before it). LBAs count 512 bytes.
#include "iso/system_area.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <stdexcept>

#include "common/byte_order.h"
#include "iso/iso_structures.h"

namespace {

constexpr std::uint64_t kLba = 512;
constexpr std::uint64_t kSystemAreaBytes = std::uint64_t{kPrimaryDescriptorSector} * kBlockSize;
constexpr std::uint64_t kLbasPerSector = kBlockSize / kLba;

namespace mbr {
constexpr std::size_t entries = 446;
constexpr std::size_t entry_size = 16;
constexpr std::size_t signature = 510;
// Offsets inside one entry.
constexpr std::size_t chs_first = 1;
constexpr std::size_t type = 4;
constexpr std::size_t chs_last = 5;
constexpr std::size_t lba_first = 8;
constexpr std::size_t lba_count = 12;
constexpr std::uint8_t kProtectiveGpt = 0xEE;
}  // namespace mbr

namespace gpt {
constexpr char kSignature[] = "EFI PART";
constexpr std::size_t header_size = 12;
constexpr std::size_t header_crc = 16;
constexpr std::size_t my_lba = 24;
constexpr std::size_t alternate_lba = 32;
constexpr std::size_t last_usable = 48;
constexpr std::size_t entries_lba = 72;
constexpr std::size_t entry_count = 80;
constexpr std::size_t entry_size = 84;
constexpr std::size_t entries_crc = 88;
// Offsets inside one entry.
constexpr std::size_t entry_type_guid = 0;
constexpr std::size_t entry_last_lba = 40;
}  // namespace gpt

struct Refusal : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// isohybrid's geometry when the recorded one cannot be read back.
constexpr unsigned kDefaultHeads = 64;
constexpr unsigned kDefaultSectorsPerTrack = 32;

// CHS of `lba` as isohybrid writes it; cylinders past 1023 are clamped.
void PutChs(std::uint8_t* chs, std::uint64_t lba, unsigned heads, unsigned sectorsPerTrack) {
  std::uint64_t cylinder = lba / (heads * sectorsPerTrack);
  unsigned head = static_cast<unsigned>(lba / sectorsPerTrack % heads);
  unsigned sector = static_cast<unsigned>(lba % sectorsPerTrack + 1);
  if (cylinder > 1023) {
    cylinder = 1023;
    head = heads - 1;
    sector = sectorsPerTrack;
  }
  chs[0] = static_cast<std::uint8_t>(head);
  chs[1] = static_cast<std::uint8_t>(sector | ((cylinder >> 2) & 0xC0));
  chs[2] = static_cast<std::uint8_t>(cylinder & 0xFF);
}

// Whether an entry ending at `end` (exclusive LBA) covered an image of
// `imageEnd` LBAs: it ends there, or in the padding up to the next
// cylinder that isohybrid adds.
bool CoversImage(std::uint64_t end, std::uint64_t imageEnd, unsigned cylinderLbas) {
  const std::uint64_t padded = (imageEnd + cylinderLbas - 1) / cylinderLbas * cylinderLbas;
  return end >= imageEnd && end <= padded;
}

// Grows the MBR entries that covered the old image; false when there is no
// MBR. Throws Refusal when an entry points past the old image.
bool ResizeMbr(std::uint8_t* area, std::uint64_t oldEnd, std::uint64_t newEnd) {
  if (area[mbr::signature] != 0x55 || area[mbr::signature + 1] != 0xAA) return false;
  for (int i = 0; i < 4; ++i) {
    std::uint8_t* entry = area + mbr::entries + i * mbr::entry_size;
    // isohybrid with a GPT leaves the type of its whole-image entry 0.
    if (entry[mbr::type] == 0 && get_le32(entry + mbr::lba_count) == 0) continue;
    const std::uint64_t first = get_le32(entry + mbr::lba_first);
    const std::uint64_t end = first + get_le32(entry + mbr::lba_count);
    unsigned heads = entry[mbr::chs_last] + 1u;
    unsigned sectors = entry[mbr::chs_last + 1] & 0x3Fu;
    if (sectors == 0) heads = kDefaultHeads, sectors = kDefaultSectorsPerTrack;
    // The protective entry of a GPT covers the disk after LBA 0, or as
    // much of it as 32 bits can say.
    const bool protective = entry[mbr::type] == mbr::kProtectiveGpt;
    const bool covers = CoversImage(end, oldEnd, heads * sectors) ||
                        (protective && get_le32(entry + mbr::lba_count) == 0xFFFFFFFFu);
    if (!covers) {
      if (end > oldEnd) throw Refusal("a partition of its MBR lies after the ISO 9660 volume");
      continue;
    }
    const std::uint64_t count = std::min<std::uint64_t>(newEnd - first, 0xFFFFFFFFu);
    put_le32(entry + mbr::lba_count, static_cast<std::uint32_t>(count));
    PutChs(entry + mbr::chs_last, first + count - 1, heads, sectors);
  }
  return true;
}

void PutHeaderCrc(std::uint8_t* header) {
  const std::uint32_t size = get_le32(header + gpt::header_size);
  put_le32(header + gpt::header_crc, 0);
  put_le32(header + gpt::header_crc, Crc32(header, size));
}

// The primary GPT header and entry array, read and checked.
struct GptTables {
  std::vector<std::uint8_t> header;
  std::vector<std::uint8_t> entries;
  std::uint64_t entriesLbas = 0;
};

bool ReadGpt(ImageSource& image, const std::uint8_t* area, GptTables& tables) {
  const std::uint8_t* header = area + kLba;
  if (std::memcmp(header, gpt::kSignature, 8) != 0) return false;
  const std::uint32_t size = get_le32(header + gpt::header_size);
  const std::uint64_t entriesAt = get_le64(header + gpt::entries_lba) * kLba;
  const std::uint64_t entriesBytes =
      std::uint64_t{get_le32(header + gpt::entry_count)} * get_le32(header + gpt::entry_size);
  if (size < 92 || size > kLba || entriesBytes > (1u << 20) ||
      get_le32(header + gpt::entry_size) < 128) {
    throw Refusal("its GPT header is not one this tool can rewrite");
  }
  tables.header.assign(header, header + kLba);
  std::vector<std::uint8_t> check(header, header + size);
  put_le32(check.data() + gpt::header_crc, 0);
  tables.entries.resize(entriesBytes);
  image.ReadAt(entriesAt, tables.entries.data(), tables.entries.size());
  if (Crc32(check.data(), size) != get_le32(header + gpt::header_crc) ||
      Crc32(tables.entries.data(), tables.entries.size()) !=
          get_le32(header + gpt::entries_crc)) {
    throw Refusal("its GPT checksums do not match");
  }
  tables.entriesLbas = (entriesBytes + kLba - 1) / kLba;
  return true;
}

// Rewrites the GPT for an image of `newEnd` LBAs: entries that reached the
// old backup area grow, the backup goes to the new last LBA.
void ResizeGpt(GptTables& tables, std::uint64_t oldEnd, std::uint64_t newEnd,
               SystemAreaPatch& patch) {
  std::uint8_t* header = tables.header.data();
  const std::uint64_t oldLastUsable = get_le64(header + gpt::last_usable);
  const std::uint64_t backupGap = get_le64(header + gpt::alternate_lba) - oldLastUsable;
  const std::uint64_t newLast = newEnd - 1;
  const std::uint64_t newLastUsable = newLast - backupGap;
  const std::uint32_t entrySize = get_le32(header + gpt::entry_size);
  for (std::size_t at = 0; at + entrySize <= tables.entries.size(); at += entrySize) {
    std::uint8_t* entry = tables.entries.data() + at;
    if (std::all_of(entry + gpt::entry_type_guid, entry + 16, [](std::uint8_t b) { return !b; })) {
      continue;
    }
    // An entry that reached the last usable LBA, or the one before it as
    // isohybrid writes it, keeps its distance to the new one.
    const std::uint64_t last = get_le64(entry + gpt::entry_last_lba);
    if (last + 1 >= oldLastUsable && last < oldEnd) {
      put_le64(entry + gpt::entry_last_lba, last + newLastUsable - oldLastUsable);
    } else if (last >= oldEnd) {
      throw Refusal("a partition of its GPT lies after the ISO 9660 volume");
    }
  }
  put_le64(header + gpt::alternate_lba, newLast);
  put_le64(header + gpt::last_usable, newLastUsable);
  put_le32(header + gpt::entries_crc, Crc32(tables.entries.data(), tables.entries.size()));
  PutHeaderCrc(header);
  patch.writes.push_back({get_le64(header + gpt::entries_lba) * kLba, tables.entries});
  patch.writes.push_back({kLba, tables.header});

  std::vector<std::uint8_t> backup = tables.header;
  const std::uint64_t backupEntries = newLast - tables.entriesLbas;
  put_le64(backup.data() + gpt::my_lba, newLast);
  put_le64(backup.data() + gpt::alternate_lba, 1);
  put_le64(backup.data() + gpt::entries_lba, backupEntries);
  PutHeaderCrc(backup.data());
  patch.writes.push_back({backupEntries * kLba, tables.entries});
  patch.writes.push_back({newLast * kLba, backup});
  patch.backupGptBytes = (tables.entriesLbas + 1) * kLba;
}

}  // namespace

std::uint32_t Crc32(const std::uint8_t* bytes, std::size_t length) {
  static const std::array<std::uint32_t, 256> table = [] {
    std::array<std::uint32_t, 256> t{};
    for (std::uint32_t n = 0; n < 256; ++n) {
      std::uint32_t c = n;
      for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      t[n] = c;
    }
    return t;
  }();
  std::uint32_t crc = 0xFFFFFFFFu;
  for (std::size_t i = 0; i < length; ++i) crc = table[(crc ^ bytes[i]) & 0xFF] ^ (crc >> 8);
  return crc ^ 0xFFFFFFFFu;
}

SystemAreaPatch ResizeSystemArea(ImageSource& image, std::uint32_t oldSectors,
                                 std::uint32_t newSectors) {
  SystemAreaPatch patch;
  const std::uint64_t oldEnd = oldSectors * kLbasPerSector;
  const std::uint64_t newEnd = newSectors * kLbasPerSector;
  if (image.Size() < kSystemAreaBytes + kBlockSize) return patch;
  std::vector<std::uint8_t> area(kSystemAreaBytes, 0);
  try {
    image.ReadAt(0, area.data(), area.size());
    if (!ResizeMbr(area.data(), oldEnd, newEnd)) return patch;
    GptTables tables;
    if (ReadGpt(image, area.data(), tables)) ResizeGpt(tables, oldEnd, newEnd, patch);
    // The MBR goes first: the GPT's writes may cover it when its entries
    // start in LBA 0's neighbourhood, never the other way round.
    patch.writes.insert(patch.writes.begin(),
                        AreaWrite{0, std::vector<std::uint8_t>(area.begin(), area.begin() + kLba)});
  } catch (const std::exception& e) {
    patch = SystemAreaPatch();
    patch.warning = std::string("the image's system area (hybrid boot record) is cleared: ") +
                    e.what() + "; the new image boots as a CD only";
    patch.writes.push_back({0, std::vector<std::uint8_t>(kSystemAreaBytes, 0)});
  }
  return patch;
}
