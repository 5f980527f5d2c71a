// A minimal, valid registry hive file ("regf"), built byte by byte: the
// 4096-byte base block and one 4096-byte hive bin holding the root key (nk)
// and its security cell (sk); the rest of the bin is one free cell. hivex
// can open such a file for writing and add keys and values to it, but
// cannot make one from nothing.
//
// Base block (offsets in the file):
//   0x000 "regf"               0x004 primary sequence number
//   0x008 secondary sequence   0x00C last written (FILETIME)
//   0x014 major version (1)    0x018 minor version (3)
//   0x01C file type (0 primary) 0x020 file format (1)
//   0x024 root cell offset     0x028 hive bins data size
//   0x02C clustering factor    0x030 file name (UTF-16LE, 64 bytes)
//   0x1FC checksum: XOR of the 127 32-bit words before it
// Hive bin (at file offset 0x1000; cell offsets count from here):
//   0x00 "hbin"  0x04 offset of the bin  0x08 size  0x14 timestamp
//   0x20 first cell: a signed 32-bit size (negative = allocated), data
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/byte_order.h"

namespace sample_hive {

inline void PutLe16(std::vector<std::uint8_t>& bytes, std::size_t offset, std::uint16_t value) {
  put_le16(bytes.data() + offset, value);
}

inline void PutLe32(std::vector<std::uint8_t>& bytes, std::size_t offset, std::uint32_t value) {
  put_le32(bytes.data() + offset, value);
}

inline void PutLe64(std::vector<std::uint8_t>& bytes, std::size_t offset, std::uint64_t value) {
  put_le64(bytes.data() + offset, value);
}

inline void PutBytes(std::vector<std::uint8_t>& bytes, std::size_t offset,
                     const std::vector<std::uint8_t>& data) {
  for (std::size_t i = 0; i < data.size(); ++i) bytes[offset + i] = data[i];
}

// A self-relative security descriptor: owner Administrators (S-1-5-32-544),
// group SYSTEM (S-1-5-18), a DACL granting Everyone (S-1-1-0) full access,
// inherited by subkeys.
inline std::vector<std::uint8_t> DefaultSecurityDescriptor() {
  std::vector<std::uint8_t> sd(76, 0);
  sd[0] = 1;                   // revision
  PutLe16(sd, 2, 0x8004);      // SE_SELF_RELATIVE | SE_DACL_PRESENT
  PutLe32(sd, 4, 48);          // owner
  PutLe32(sd, 8, 64);          // group
  PutLe32(sd, 12, 0);          // no SACL
  PutLe32(sd, 16, 20);         // DACL
  // ACL header: revision 2, size 28, one ACE.
  sd[20] = 2;
  PutLe16(sd, 22, 28);
  PutLe16(sd, 24, 1);
  // ACCESS_ALLOWED_ACE, CONTAINER_INHERIT | OBJECT_INHERIT, KEY_ALL_ACCESS.
  sd[28] = 0;
  sd[29] = 0x03;
  PutLe16(sd, 30, 20);
  PutLe32(sd, 32, 0x000F003Fu);
  PutBytes(sd, 36, {1, 1, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0});          // S-1-1-0
  PutBytes(sd, 48, {1, 2, 0, 0, 0, 0, 0, 5, 32, 0, 0, 0, 0x20, 2, 0, 0});  // S-1-5-32-544
  PutBytes(sd, 64, {1, 1, 0, 0, 0, 0, 0, 5, 18, 0, 0, 0});         // S-1-5-18
  return sd;
}

// The whole hive file (8192 bytes) with an empty root key of the given name
// (ASCII, at most 255 bytes).
inline std::vector<std::uint8_t> MakeMinimalHive(const std::string& rootName = "$$$PROTO.HIV") {
  constexpr std::size_t kBlock = 4096;
  constexpr std::uint64_t kTimestamp = 0x01C5A0C6F4A8E000ull;  // 2005-08-15, a fixed date
  std::vector<std::uint8_t> file(2 * kBlock, 0);

  // Cells, as offsets from the start of the hive bins data.
  const std::uint32_t rootCell = 0x20;
  const std::uint32_t rootCellSize = static_cast<std::uint32_t>((4 + 0x4C + rootName.size() + 7) & ~7u);
  const std::vector<std::uint8_t> descriptor = DefaultSecurityDescriptor();
  const std::uint32_t securityCell = rootCell + rootCellSize;
  const std::uint32_t securityCellSize = static_cast<std::uint32_t>((4 + 0x14 + descriptor.size() + 7) & ~7u);
  const std::uint32_t freeCell = securityCell + securityCellSize;

  // Base block.
  PutBytes(file, 0x000, {'r', 'e', 'g', 'f'});
  PutLe32(file, 0x004, 1);
  PutLe32(file, 0x008, 1);  // equal sequence numbers: the hive is consistent
  PutLe64(file, 0x00C, kTimestamp);
  PutLe32(file, 0x014, 1);
  PutLe32(file, 0x018, 3);
  PutLe32(file, 0x01C, 0);
  PutLe32(file, 0x020, 1);
  PutLe32(file, 0x024, rootCell);
  PutLe32(file, 0x028, kBlock);
  PutLe32(file, 0x02C, 1);
  const std::string fileName = "DEFAULT";
  for (std::size_t i = 0; i < fileName.size(); ++i) {
    file[0x030 + 2 * i] = static_cast<std::uint8_t>(fileName[i]);
  }
  std::uint32_t checksum = 0;
  for (std::size_t offset = 0; offset < 0x1FC; offset += 4) {
    checksum ^= static_cast<std::uint32_t>(file[offset]) |
                static_cast<std::uint32_t>(file[offset + 1]) << 8 |
                static_cast<std::uint32_t>(file[offset + 2]) << 16 |
                static_cast<std::uint32_t>(file[offset + 3]) << 24;
  }
  // Two values are reserved, as the format requires.
  if (checksum == 0) checksum = 1;
  if (checksum == 0xFFFFFFFFu) checksum = 0xFFFFFFFEu;
  PutLe32(file, 0x1FC, checksum);

  // Hive bin header.
  const std::size_t bin = kBlock;
  PutBytes(file, bin + 0x00, {'h', 'b', 'i', 'n'});
  PutLe32(file, bin + 0x04, 0);
  PutLe32(file, bin + 0x08, kBlock);
  PutLe64(file, bin + 0x14, kTimestamp);

  // Root key node:
  //   0x00 "nk" 0x02 flags 0x04 last written 0x10 parent 0x14 subkey count
  //   0x1C subkey list 0x20 volatile list 0x24 value count 0x28 value list
  //   0x2C security cell 0x30 class name 0x34..0x44 maxima 0x48 name length
  //   0x4A class name length 0x4C name
  const std::size_t nk = bin + rootCell + 4;
  PutLe32(file, bin + rootCell, static_cast<std::uint32_t>(-static_cast<std::int32_t>(rootCellSize)));
  PutBytes(file, nk + 0x00, {'n', 'k'});
  PutLe16(file, nk + 0x02, 0x002C);  // KEY_HIVE_ENTRY | KEY_NO_DELETE | KEY_COMP_NAME
  PutLe64(file, nk + 0x04, kTimestamp);
  PutLe32(file, nk + 0x10, 0);
  PutLe32(file, nk + 0x14, 0);
  PutLe32(file, nk + 0x18, 0);
  PutLe32(file, nk + 0x1C, 0xFFFFFFFFu);
  PutLe32(file, nk + 0x20, 0xFFFFFFFFu);
  PutLe32(file, nk + 0x24, 0);
  PutLe32(file, nk + 0x28, 0xFFFFFFFFu);
  PutLe32(file, nk + 0x2C, securityCell);
  PutLe32(file, nk + 0x30, 0xFFFFFFFFu);
  PutLe16(file, nk + 0x48, static_cast<std::uint16_t>(rootName.size()));
  PutLe16(file, nk + 0x4A, 0);
  PutBytes(file, nk + 0x4C, std::vector<std::uint8_t>(rootName.begin(), rootName.end()));

  // Security cell: 0x00 "sk" 0x04 previous 0x08 next (itself: the only one)
  // 0x0C reference count 0x10 descriptor size 0x14 descriptor.
  const std::size_t sk = bin + securityCell + 4;
  PutLe32(file, bin + securityCell,
          static_cast<std::uint32_t>(-static_cast<std::int32_t>(securityCellSize)));
  PutBytes(file, sk + 0x00, {'s', 'k'});
  PutLe32(file, sk + 0x04, securityCell);
  PutLe32(file, sk + 0x08, securityCell);
  PutLe32(file, sk + 0x0C, 1);
  PutLe32(file, sk + 0x10, static_cast<std::uint32_t>(descriptor.size()));
  PutBytes(file, sk + 0x14, descriptor);

  // The rest of the bin is one free cell (positive size).
  PutLe32(file, bin + freeCell, static_cast<std::uint32_t>(kBlock - freeCell));
  return file;
}

}  // namespace sample_hive
