// On-disk structures of ISO 9660 (ECMA-119) and El Torito 1.0, and the
// in-memory directory tree node shared by the reader and the writer.
//
// Multi-byte fields are read and written only through the get_/put_ helpers
// of common/byte_order.h; readers look at the little-endian copy of a
// both-endian field only.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "common/byte_order.h"

// Logical sector / block size of every image this tool writes and the only
// one it reads.
constexpr std::uint32_t kBlockSize = 2048;
// Unit of the El Torito sector count.
constexpr std::uint32_t kVirtualSectorSize = 512;
// The primary volume descriptor sits in sector 16.
constexpr std::uint32_t kPrimaryDescriptorSector = 16;
constexpr std::uint64_t kPrimaryVolumeDescriptorOffset = kPrimaryDescriptorSector * kBlockSize;
// The El Torito boot record volume descriptor sits in sector 17.
constexpr std::uint32_t kBootRecordSector = 17;

// Byte position of a sector.
inline std::uint64_t SectorOffset(std::uint64_t sector) { return sector * kBlockSize; }

// Longest identifier that fits a directory record, whose length is one byte:
// 33 fixed bytes + 221 + no pad byte = 254, while 222 needs a pad byte and
// makes 256, which reads as 0.
constexpr std::size_t kMaxFileIdentifier = 221;
// Longest identifier a record can hold at all: 33 + 222 = 255, without the
// pad byte. Some images carry such names; they are carried as they came.
constexpr std::size_t kLongestRecordedIdentifier = 222;
// Deepest directory level below the root that the reader loads and the
// writer writes; deeper trees are refused on both sides.
constexpr std::size_t kMaxDirectoryDepth = 64;
// Whether a directory `levels` below the root (the root's entries are at
// level 1) is within that depth.
inline bool WithinDirectoryDepth(std::size_t levels) { return levels <= kMaxDirectoryDepth; }
// Path table directory numbers are 16-bit, starting at 1 for the root.
constexpr std::uint32_t kMaxPathTableDirectories = 65535;

// ---- volume descriptor header (ECMA-119 8.1) ------------------------------
//
// The first 7 bytes of every 2048-byte volume descriptor.
namespace descriptor_header {
constexpr std::size_t type = 0;
constexpr std::size_t standard_identifier = 1;
constexpr std::size_t version = 6;
}  // namespace descriptor_header

constexpr char kStandardIdentifier[] = "CD001";
constexpr std::size_t kStandardIdentifierLength = 5;
constexpr std::uint8_t kDescriptorVersion = 1;

// Volume descriptor types (byte 0 of every descriptor in the set).
constexpr std::uint8_t kBootRecordDescriptor = 0;
constexpr std::uint8_t kPrimaryDescriptor = 1;
constexpr std::uint8_t kSupplementaryDescriptor = 2;
constexpr std::uint8_t kTerminatorDescriptor = 255;

// Whether a descriptor opens with `type`, "CD001" and version 1.
inline bool HasDescriptorHeader(const std::uint8_t* buffer, std::uint8_t type) {
  return buffer[descriptor_header::type] == type &&
         std::memcmp(buffer + descriptor_header::standard_identifier, kStandardIdentifier,
                     kStandardIdentifierLength) == 0 &&
         buffer[descriptor_header::version] == kDescriptorVersion;
}
// Writes the header of a descriptor of `type`.
inline void PutDescriptorHeader(std::uint8_t* buffer, std::uint8_t type) {
  buffer[descriptor_header::type] = type;
  std::memcpy(buffer + descriptor_header::standard_identifier, kStandardIdentifier,
              kStandardIdentifierLength);
  buffer[descriptor_header::version] = kDescriptorVersion;
}

// ---- volume descriptors (2048-byte buffers) -----------------------------
//
// Primary volume descriptor (ECMA-119 8.4), offsets:
//   0 type (1)            1 "CD001"              6 version (1)
//   8 system identifier  40 volume identifier   80 volume space size (both32)
// 120 volume set size (both16)  124 volume sequence number (both16)
// 128 logical block size (both16)  132 path table size (both32)
// 140 type L path table (le32)     148 type M path table (be32)
// 156 root directory record (34)   190 volume set identifier (128)
// 318 publisher (128)  446 data preparer (128)  574 application (128)
// 813 creation date (17)  881 file structure version (1)
namespace pvd {
constexpr std::size_t volume_identifier = 40;
constexpr std::size_t volume_identifier_length = 32;
constexpr std::size_t volume_space_size = 80;
constexpr std::size_t volume_set_size = 120;
constexpr std::size_t volume_sequence_number = 124;
constexpr std::size_t logical_block_size = 128;
constexpr std::size_t path_table_size = 132;
constexpr std::size_t type_l_path_table = 140;
constexpr std::size_t type_m_path_table = 148;
constexpr std::size_t root_directory_record = 156;
constexpr std::size_t volume_set_identifier = 190;
constexpr std::size_t publisher_identifier = 318;
constexpr std::size_t data_preparer_identifier = 446;
constexpr std::size_t application_identifier = 574;
// Length of each of the four identifiers above from the volume set's on.
constexpr std::size_t long_identifier_length = 128;
constexpr std::size_t volume_creation_date = 813;
constexpr std::size_t file_structure_version = 881;
}  // namespace pvd

// Supplementary volume descriptor (ECMA-119 8.5): the primary's layout with
// two more fields, and identifiers in the character set the escape
// sequences name. A Joliet descriptor is version 1 with "%/@", "%/C" or
// "%/E" (UCS-2 levels 1 to 3) at the start of the escape sequences; the
// ISO 9660:1999 enhanced descriptor is type 2 with version 2.
//   7 volume flags (0)   88 escape sequences (32)
// The identifier fields keep the primary's offsets and lengths.
namespace svd {
constexpr std::size_t volume_flags = 7;
constexpr std::size_t escape_sequences = 88;
constexpr std::size_t escape_sequences_length = 32;
constexpr std::uint8_t kJolietVersion = 1;
constexpr std::uint8_t kEnhancedVersion = 2;
}  // namespace svd

// Escape sequences of the Joliet descriptor this tool writes itself (level 3).
constexpr char kJolietLevel3Escape[] = "%/E";

// Boot record volume descriptor (El Torito 2.0), offsets:
//   0 boot record indicator (0)  1 "CD001"  6 version (1)
//   7 boot system identifier kElToritoIdentifier (32, 0x00-padded)
//  71 block of the boot catalog (le32)
namespace boot_record {
constexpr std::size_t boot_system_identifier = 7;
constexpr std::size_t boot_catalog_sector = 71;
}  // namespace boot_record

constexpr char kElToritoIdentifier[] = "EL TORITO SPECIFICATION";

// ---- El Torito boot catalog entries -------------------------------------

// Validation entry, offsets:
//   0 header ID (1)  1 platform ID (0 = 80x86)  4 ID string (24)
//  28 checksum (le16, all 16 words sum to 0)   30 key 0x55  31 key 0xAA
namespace validation_entry {
constexpr std::size_t header_id = 0;
constexpr std::size_t platform_id = 1;
constexpr std::size_t id_string = 4;
constexpr std::size_t checksum = 28;
constexpr std::size_t key_byte_1 = 30;
constexpr std::size_t key_byte_2 = 31;
constexpr std::uint8_t kHeaderId = 0x01;
constexpr std::uint8_t kPlatform80x86 = 0x00;
constexpr std::uint8_t kKeyByte1 = 0x55;
constexpr std::uint8_t kKeyByte2 = 0xAA;
}  // namespace validation_entry

// Initial/default entry, offsets:
//   0 boot indicator (0x88 bootable)  1 boot media type (0 = no emulation)
//   2 load segment (le16)  4 system type  6 sector count (le16, 512-byte units)
//   8 load RBA (le32)
namespace initial_entry {
constexpr std::size_t boot_indicator = 0;
constexpr std::size_t boot_media_type = 1;
constexpr std::size_t load_segment = 2;
constexpr std::size_t system_type = 4;
constexpr std::size_t sector_count = 6;
constexpr std::size_t load_rba = 8;
constexpr std::uint8_t kBootable = 0x88;
constexpr std::uint8_t kNoEmulation = 0x00;
}  // namespace initial_entry

// Header indicator of a section header after the default entry: more
// headers follow, or this is the last one.
constexpr std::uint8_t kSectionHeader = 0x90;
constexpr std::uint8_t kFinalSectionHeader = 0x91;

struct ValidationEntry {
  std::uint8_t bytes[32];
};
struct InitialEntry {
  std::uint8_t bytes[32];
};
static_assert(sizeof(ValidationEntry) == 32, "validation entry is 32 bytes");
static_assert(sizeof(InitialEntry) == 32, "initial entry is 32 bytes");

// The checksum that makes the sixteen little-endian words of the entry sum
// to 0 (the checksum field itself counted as 0).
inline std::uint16_t ValidationChecksum(const ValidationEntry& entry) {
  std::uint16_t sum = 0;
  for (std::size_t at = 0; at < sizeof entry.bytes; at += 2) {
    if (at == validation_entry::checksum) continue;
    sum = static_cast<std::uint16_t>(sum + get_le16(entry.bytes + at));
  }
  return static_cast<std::uint16_t>(0x10000u - sum);
}

// ---- directory record (ECMA-119 9.1) -------------------------------------
//
// Offsets:
//   0 LEN_DR  1 extended attribute record length  2 location of extent (both32)
//  10 data length (both32)  18 recording date (7)  25 file flags
//  26 file unit size  27 interleave gap  28 volume sequence number (both16)
//  32 LEN_FI  33 file identifier, then one 0x00 pad byte when LEN_FI is even
namespace dir_record {
constexpr std::size_t length = 0;
constexpr std::size_t extended_attribute_length = 1;
constexpr std::size_t extent = 2;
constexpr std::size_t data_length = 10;
constexpr std::size_t recording_date = 18;
constexpr std::size_t file_flags = 25;
constexpr std::size_t volume_sequence_number = 28;
constexpr std::size_t identifier_length = 32;
constexpr std::size_t identifier = 33;
constexpr std::size_t fixed_part = 33;
// LEN_DR of a self or parent record, and of the root's record in a
// volume descriptor: one identifier byte, no pad byte.
constexpr std::uint32_t self_record_length = 34;
}  // namespace dir_record

constexpr std::uint8_t kFlagHidden = 0x01;
constexpr std::uint8_t kFlagDirectory = 0x02;
// The file continues in the next record (of the same name).
constexpr std::uint8_t kFlagMultiExtent = 0x80;
// The largest extent one record can describe: whole sectors below 4 GiB.
// Larger files take one record per extent of this size, the last holding
// the rest.
constexpr std::uint32_t kLargestExtent = 0xFFFFF800;

// Packed buffer of one directory record: the 33-byte fixed part followed by
// a 512-byte identifier area (identifier and pad byte).
struct RawDirectoryRecord {
  std::uint8_t fixed[33];
  std::uint8_t identifier[512];

  std::uint8_t* bytes() { return fixed; }
  const std::uint8_t* bytes() const { return fixed; }
  std::uint8_t length() const { return fixed[dir_record::length]; }
  std::uint32_t extent() const { return get_le32(fixed + dir_record::extent); }
  std::uint32_t data_length() const { return get_le32(fixed + dir_record::data_length); }
  std::uint8_t file_flags() const { return fixed[dir_record::file_flags]; }
  std::uint8_t identifier_length() const { return fixed[dir_record::identifier_length]; }
};
static_assert(sizeof(RawDirectoryRecord) == 545, "RawDirectoryRecord is packed");

// ---- path table record (ECMA-119 9.4) -------------------------------------
//
// Offsets: 0 LEN_DI  1 extended attribute record length  2 extent (4)
//          6 parent directory number (2)  8 directory identifier, then a
//          pad byte when LEN_DI is odd. L tables little-, M tables big-endian.
namespace path_record {
constexpr std::size_t identifier_length = 0;
constexpr std::size_t extended_attribute_length = 1;
constexpr std::size_t extent = 2;
constexpr std::size_t parent_number = 6;
constexpr std::size_t identifier = 8;
}  // namespace path_record

struct RawPathTableRecord {
  std::uint8_t fixed[8];
  std::uint8_t identifier[512];

  std::uint8_t* bytes() { return fixed; }
  const std::uint8_t* bytes() const { return fixed; }
};
static_assert(sizeof(RawPathTableRecord) == 520, "RawPathTableRecord is packed");

// LEN_DR of a record with an identifier of the given length: the pad byte
// after an even-length identifier keeps it even, unless the length byte
// has no room for it.
inline std::uint32_t DirectoryRecordLength(std::size_t identifierLength) {
  const bool pad = identifierLength % 2 == 0 && identifierLength < kLongestRecordedIdentifier;
  return static_cast<std::uint32_t>(33 + identifierLength + (pad ? 1 : 0));
}
// Length of a path table record with an identifier of the given length.
inline std::uint32_t PathTableRecordLength(std::size_t identifierLength) {
  return static_cast<std::uint32_t>(8 + identifierLength + (identifierLength % 2 == 1 ? 1 : 0));
}

// ---- in-memory directory tree --------------------------------------------

enum : std::uint32_t { kTypeDirectory = 1, kTypeFile = 2 };

// One extent of a file's data: its first block and its length in bytes.
struct DataExtent {
  std::uint32_t extent = 0;
  std::uint32_t size = 0;
};

// One node of the directory tree. Each directory is one list linked through
// `next` that starts with its "." and ".." nodes; a directory node's `child`
// is the head ("." node) of its own list. A node owns its `child` list and
// the rest of its own list (released by ISOManipulator::FreeRecordList).
//
// `sourceExtent`/`sourceSize` keep where the data lies in the source image;
// `extent`/`size` are what the writer lays out. Never mix the two.
struct DirectoryRecord {
  std::string parentPath;  // image: parent path in the image; local: local source directory
  std::string name;        // lookup name; for local nodes the local file name
  std::string identifier;  // bytes written as LEN_FI / LEN_DI identifier
  std::uint32_t type = 0;  // kTypeDirectory or kTypeFile
  std::uint32_t extent = 0;
  std::uint64_t size = 0;  // a file of several extents: their sum
  DirectoryRecord* child = nullptr;
  DirectoryRecord* next = nullptr;
  std::uint32_t recordLength = 0;
  std::uint32_t recordSector = 0;
  std::uint32_t recordOffset = 0;
  std::uint16_t parentNumber = 0;
  std::uint16_t directoryNumber = 0;
  std::uint32_t sourceExtent = 0;
  std::uint64_t sourceSize = 0;
  // A file recorded in several extents: each of them in record order (the
  // first at sourceExtent). Empty when the data is the one extent at
  // sourceExtent.
  std::vector<DataExtent> sourceExtents;
  std::uint8_t fromImage = 0;
  // A directory of the source image whose list has not been read yet
  // (`child` is null until then): the reader reads a list when it is first
  // needed.
  bool listPending = false;
  // A directory of the source image: the extent of the Joliet directory
  // paired with it, 0 when none is. A list's "." node carries its own.
  std::uint32_t jolietExtent = 0;
  // Name in the Joliet tree as UCS-2 big-endian bytes, as recorded in the
  // source image's Joliet tree (or kept from the entry a new one replaced);
  // empty when not known (see JolietNameFor).
  std::string jolietIdentifier;
  // The 7-byte recording date of the entry's record in the source image,
  // which the new image keeps; without one the entry gets the pack's time.
  std::array<std::uint8_t, 7> recordingDate{};
  bool hasRecordingDate = false;
};

inline bool IsDotName(const std::string& name) { return name == "." || name == ".."; }

// Where the data of an entry of the source image lies, extent by extent.
inline std::vector<DataExtent> SourceExtents(const DirectoryRecord& node) {
  if (!node.sourceExtents.empty()) return node.sourceExtents;
  return {DataExtent{node.sourceExtent, static_cast<std::uint32_t>(node.sourceSize)}};
}

// How many records a file of `size` bytes takes in a directory.
inline std::uint32_t ExtentCount(std::uint64_t size) {
  return size <= kLargestExtent ? 1u : static_cast<std::uint32_t>((size + kLargestExtent - 1) / kLargestExtent);
}
