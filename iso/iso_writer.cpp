// Output side of the ISO writer: Pack and the operations that build and
// write each structure of a bootable image (system area, volume descriptors,
// El Torito boot record, catalog and boot image, path tables, directory
// records and file data).
//
// Every structure is written at its precomputed position through one
// seekable output stream; bytes never written stay 0x00 because the output
// file is created empty.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <deque>
#include <exception>
#include <fstream>
#include <iostream>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <boost/filesystem.hpp>

#include "iso/image_file.h"
#include "iso/iso_writer.h"
#include "platform/image_output.h"

namespace fs = boost::filesystem;

namespace {

// File data is moved in large reads; the progress display and the output
// bytes still follow 2048-byte pieces. (An image file takes file data by
// ImageOutputBuffer::CopyFrom; this is the road for any other stream.)
constexpr std::size_t kCopyChunk = 1024 * 1024;

constexpr char kVolumeIdentifier[] = "CD_ROM";
constexpr char kVolumeSetIdentifier[] = "CD_ROM";
constexpr char kPublisherIdentifier[] = "TALVEN CORPORATION";
constexpr char kDataPreparerIdentifier[] = "TALVEN CORPORATION, SALEM, OREGON";
constexpr char kApplicationIdentifier[] = "riduz";
constexpr char kValidationIdString[] = "Microsoft Corporation";

std::streamoff SectorPosition(std::uint64_t sector, std::uint32_t block) {
  return static_cast<std::streamoff>(sector * block);
}

// Copies a text into a fixed field without its terminating zero; the rest of
// the field keeps its 0x00 bytes.
void PutText(std::uint8_t* field, const char* text) {
  std::memcpy(field, text, std::strlen(text));
}

// Rewrites the ASCII text of a field (up to its first 0x00) in UCS-2
// big-endian, as many characters as fit; the rest of the field is 0x00.
void PutUcs2Field(std::uint8_t* field, std::size_t length) {
  const std::string text(field, std::find(field, field + length, 0));
  std::memset(field, 0, length);
  for (std::size_t i = 0; i < text.size() && 2 * i + 1 < length; ++i) {
    field[2 * i + 1] = static_cast<std::uint8_t>(text[i]);
  }
}

// Offset of local time from GMT in 15-minute units, east positive. The day
// difference covers month and year ends; minutes are included so that zones
// with half- and quarter-hour offsets are recorded correctly.
std::int8_t GmtOffset(const std::tm& gmt, const std::tm& local) {
  int days = 0;
  if (gmt.tm_mday != local.tm_mday) {
    if (gmt.tm_mon == local.tm_mon) {
      days = local.tm_mday - gmt.tm_mday;
    } else if (local.tm_mon == 0 && gmt.tm_mon == 11) {
      days = 1;
    } else if (local.tm_mon == 11 && gmt.tm_mon == 0) {
      days = -1;
    } else {
      days = local.tm_mon > gmt.tm_mon ? 1 : -1;
    }
  }
  const int minutes =
      (days * 24 + local.tm_hour - gmt.tm_hour) * 60 + local.tm_min - gmt.tm_min;
  return static_cast<std::int8_t>(minutes / 15);
}

void BreakDown(std::time_t when, std::tm& gmt, std::tm& local) {
  // std::gmtime / std::localtime share a static buffer: copy at once.
  gmt = *std::gmtime(&when);
  local = *std::localtime(&when);
}

void PutTwoDigits(std::uint8_t* p, int value) {
  p[0] = static_cast<std::uint8_t>('0' + (value / 10) % 10);
  p[1] = static_cast<std::uint8_t>('0' + value % 10);
}

}  // namespace

ISOWriter::ISOWriter(std::string sourceDirectory, std::string sourceImagePath)
    : sourceDirectory(std::move(sourceDirectory)), sourceImagePath(std::move(sourceImagePath)) {
  TakePackTime();
}

ISOWriter::~ISOWriter() = default;

// ---- dates ------------------------------------------------------------------

void ISOWriter::MakeVolumeDate(std::uint8_t* date17, std::time_t when, bool utc) {
  std::tm gmt{}, local{};
  BreakDown(when, gmt, local);
  if (utc) local = gmt;
  const int year = gmt.tm_year + 1900;
  PutTwoDigits(date17, year / 100);
  PutTwoDigits(date17 + 2, year % 100);
  PutTwoDigits(date17 + 4, gmt.tm_mon + 1);
  PutTwoDigits(date17 + 6, gmt.tm_mday);
  PutTwoDigits(date17 + 8, gmt.tm_hour);
  PutTwoDigits(date17 + 10, gmt.tm_min);
  PutTwoDigits(date17 + 12, gmt.tm_sec);
  PutTwoDigits(date17 + 14, 0);
  date17[16] = static_cast<std::uint8_t>(GmtOffset(gmt, local));
}

void ISOWriter::MakeRecordDate(std::uint8_t* date7, std::time_t when, bool utc) {
  std::tm gmt{}, local{};
  BreakDown(when, gmt, local);
  if (utc) local = gmt;
  date7[0] = static_cast<std::uint8_t>(gmt.tm_year);
  date7[1] = static_cast<std::uint8_t>(gmt.tm_mon + 1);
  date7[2] = static_cast<std::uint8_t>(gmt.tm_mday);
  date7[3] = static_cast<std::uint8_t>(gmt.tm_hour);
  date7[4] = static_cast<std::uint8_t>(gmt.tm_min);
  date7[5] = static_cast<std::uint8_t>(gmt.tm_sec);
  date7[6] = static_cast<std::uint8_t>(GmtOffset(gmt, local));
}

void ISOWriter::TakePackTime() {
  const bool fixed = fixedPackTime.has_value();
  const std::time_t when = fixed ? *fixedPackTime : std::time(nullptr);
  MakeVolumeDate(packVolumeDate, when, fixed);
  MakeRecordDate(packRecordDate, when, fixed);
}

// ---- Pack -------------------------------------------------------------------

int ISOWriter::Pack(const std::string& outputPath, const std::string& bootImagePath) {
  std::cout << "pack the ISO image ..." << std::endl;
  TakePackTime();

  // The output stream fails like a file stream (same states, same
  // exception); its buffer also copies file data for WriteEntry, starts the
  // write-back early and keeps the source image open from one file to the
  // next.
  platform::ImageOutputBuffer outputFile;
  std::ostream output(&outputFile);
  try {
    output.exceptions(std::ios::failbit | std::ios::badbit);
    outputFile.Open(outputPath);
  } catch (const std::exception& e) {
    std::cout << "pack ISO image failed, IO exception: " << e.what() << std::endl;
    return 1;
  }

  PackLayout plan;
  if (LayOutPack(bootImagePath, plan) != 0) return 1;
  try {
    if (WriteVolumeDescriptors(plan, output) != 0) return 1;
    if (plan.sectors.hasBootImage) {
      std::cout << "  write boot image ..." << std::endl;
      const SectorLayout& layout = plan.sectors;
      const auto sectorCount =
          static_cast<std::uint16_t>((blockSize / virtualSectorSize) * layout.bootImageSectors);
      ValidationEntry validation;
      InitialEntry initial;
      CreateValidationEntry(validation);
      CreateInitialEntry(0, sectorCount, layout.bootImageStart, initial);
      if (WriteBootCatalog(validation, initial, layout.bootCatalog, output) != 0 ||
          WriteBootImage(bootImagePath, sectorCount, layout.bootImageStart, output) != 0) {
        std::cout << "  write boot image failed - IO error" << std::endl;
        return 1;
      }
      std::cout << "  write boot image done" << std::endl;
    }
    if (WriteHierarchies(plan, output) != 0) return 1;
  } catch (const std::exception& e) {
    std::cout << "pack ISO image failed, exception: " << e.what() << std::endl;
    return 1;
  }

  try {
    outputFile.Close();
  } catch (const std::exception& e) {
    std::cout << "pack ISO image failed, IO exception: " << e.what() << std::endl;
    return 1;
  }
  std::cout << "pack ISO image succeeded" << std::endl;
  return 0;
}

int ISOWriter::LayOutPack(const std::string& bootImagePath, PackLayout& plan) {
  std::cout << "  load source directory & boot image file ..." << std::endl;
  DirectoryRecord* tree = LoadLocalDirectory(sourceDirectory);
  if (tree != root) {
    // A second pack of a plain writer rebuilds the tree from disk.
    FreeRecordList(root);
    root = tree;
  }
  if (!root) {
    std::cout << "  load source directory & boot image file failed - can not load souce directory"
              << std::endl;
    return 1;
  }
  // Every pack shows its marks from 0% to 100%, counting what is written.
  StartProgress(TreeFileBytes(root));
  DateSelfAndParentRecords(root);

  plan.pathTableSize = ComputePathTableSize(root);
  if (directoryCount > kMaxPathTableDirectories) {
    // Past this the 16-bit parent numbers of the path tables wrap and name
    // the wrong directories.
    std::cout << "  load source directory & boot image file failed - too many directories for "
                 "the path tables ("
              << directoryCount << ", at most " << kMaxPathTableDirectories << ")" << std::endl;
    return 1;
  }
  std::uint32_t directorySectors = 0;
  std::uint32_t fileSectors = 0;
  LayOutDirectory(nullptr, nullptr, root, directorySectors, fileSectors);
  const bool hasBootImage = !bootImagePath.empty();
  std::uint64_t bootImageBytes = 0;
  try {
    if (withJoliet) {
      plan.joliet.reset(LayOutJoliet(directorySectors, fileSectors, plan.jolietPathTableSize));
    }
  } catch (const std::exception& e) {
    std::cout << "  load source directory & boot image file failed - " << e.what() << std::endl;
    return 1;
  }
  try {
    if (hasBootImage) bootImageBytes = BootImageSize(bootImagePath);
  } catch (const std::exception& e) {
    std::cout << "  load source directory & boot image file failed - IO exception: " << e.what()
              << std::endl;
    return 1;
  }
  plan.sectors = ComputeSectorLayout(plan.pathTableSize, directorySectors, fileSectors,
                                     hasBootImage, bootImageBytes, plan.jolietPathTableSize);
  std::cout << "  load source directory & boot image file done" << std::endl;
  return 0;
}

std::uint64_t ISOWriter::BootImageSize(const std::string& bootImagePath) const {
  const std::uint64_t bytes = fs::file_size(bootImagePath);
  // The catalog counts 512-byte units in 16 bits.
  const std::uint64_t units =
      (bytes + blockSize - 1) / blockSize * (blockSize / virtualSectorSize);
  if (units > 0xFFFF) {
    throw std::runtime_error("boot image too large for the boot catalog (at most 65535 "
                             "sectors of 512 bytes): " + bootImagePath);
  }
  return bytes;
}

int ISOWriter::WriteVolumeDescriptors(const PackLayout& plan, std::ostream& output) {
  const SectorLayout& layout = plan.sectors;
  std::cout << "  write system reserved sector ..." << std::endl;
  if (WriteSystemArea(output) != 0) {
    std::cout << "  write system reserved sector failed - IO error" << std::endl;
    return 1;
  }
  std::cout << "  write system reserved sector done" << std::endl;

  std::cout << "  write primary volume descriptor ..." << std::endl;
  RawDirectoryRecord rootRecord;
  BuildDirectoryRecord(root, 1, layout.directoryAreaStart, layout.fileAreaStart, rootRecord);
  std::vector<std::uint8_t> descriptor(kBlockSize);
  if (CreatePrimaryVolumeDescriptor(layout.totalSectors, plan.pathTableSize,
                                    layout.typeLPathTable, layout.typeMPathTable, rootRecord,
                                    descriptor.data()) != 0 ||
      WritePrimaryVolumeDescriptor(descriptor.data(), layout.primaryVolumeDescriptor, output) !=
          0) {
    std::cout << "  write primary volume descriptor failed - IO error" << std::endl;
    return 1;
  }
  std::cout << "  write primary volume descriptor done" << std::endl;

  if (layout.hasBootImage) {
    std::cout << "  write boot record ..." << std::endl;
    CreateBootRecord(layout.bootCatalog, descriptor.data());
    if (WriteBootRecord(descriptor.data(), layout.bootRecord, output) != 0) {
      std::cout << "  write boot record failed - IO error" << std::endl;
      return 1;
    }
    std::cout << "  write boot record done" << std::endl;
  }
  if (plan.joliet && WriteJolietVolumeDescriptor(plan, output) != 0) return 1;

  std::cout << "  write volume descriptor set terminator ..." << std::endl;
  CreateTerminator(descriptor.data());
  if (WriteTerminator(descriptor.data(), layout.terminator, output) != 0) {
    std::cout << "  write volume descriptor set terminator failed - IO error" << std::endl;
    return 1;
  }
  std::cout << "  write volume descriptor set terminator done" << std::endl;
  return 0;
}

int ISOWriter::WriteHierarchies(const PackLayout& plan, std::ostream& output) {
  const SectorLayout& layout = plan.sectors;
  DirectoryRecord* joliet = plan.joliet.get();
  std::cout << "  write path tables ..." << std::endl;
  if (WritePathTableL(root, layout.typeLPathTable, layout.directoryAreaStart, output) == 0 ||
      WritePathTableM(root, layout.typeMPathTable, layout.directoryAreaStart, output) == 0 ||
      (joliet && (WritePathTableL(joliet, layout.jolietTypeLPathTable, layout.directoryAreaStart,
                                  output) == 0 ||
                  WritePathTableM(joliet, layout.jolietTypeMPathTable, layout.directoryAreaStart,
                                  output) == 0))) {
    std::cout << "  write path table failed - IO error" << std::endl;
    return 1;
  }
  std::cout << "  write path tables done" << std::endl;

  // The Joliet records point at the file data the primary ones write.
  std::cout << "  write directory record and files ..." << std::endl;
  if (WriteDirectoryTree(root, 1, layout.directoryAreaStart, layout.fileAreaStart, output) != 0 ||
      (joliet && WriteTree(joliet, 1, layout.directoryAreaStart, layout.fileAreaStart, false,
                           output) != 0)) {
    std::cout << "  write directory record and file failed - IO error" << std::endl;
    return 1;
  }
  std::cout << "  write directory record and files done" << std::endl;
  return 0;
}

// ---- volume descriptors ---------------------------------------------------

int ISOWriter::WriteSystemArea(std::ostream& output) {
  try {
    std::vector<char> zeros(blockSize, 0);
    output.seekp(0);
    for (int sector = 0; sector < 16; ++sector) {
      output.write(zeros.data(), static_cast<std::streamsize>(zeros.size()));
    }
    return 0;
  } catch (const std::exception& e) {
    std::cout << e.what() << std::endl;
    return 1;
  }
}

namespace {

int WriteDescriptor(const std::uint8_t* buffer, std::uint32_t sector, std::uint32_t block,
                    std::ostream& output) {
  try {
    output.seekp(SectorPosition(sector, block));
    output.write(reinterpret_cast<const char*>(buffer), kBlockSize);
    return 0;
  } catch (const std::exception& e) {
    std::cout << e.what() << std::endl;
    return 1;
  }
}

}  // namespace

int ISOWriter::WritePrimaryVolumeDescriptor(const std::uint8_t* buffer, std::uint32_t sector,
                                            std::ostream& output) {
  return WriteDescriptor(buffer, sector, blockSize, output);
}

int ISOWriter::WriteTerminator(const std::uint8_t* buffer, std::uint32_t sector,
                               std::ostream& output) {
  return WriteDescriptor(buffer, sector, blockSize, output);
}

int ISOWriter::WriteBootRecord(const std::uint8_t* buffer, std::uint32_t sector,
                               std::ostream& output) {
  return WriteDescriptor(buffer, sector, blockSize, output);
}

int ISOWriter::CreatePrimaryVolumeDescriptor(std::uint32_t volumeSpaceSize,
                                             std::uint32_t pathTableSize,
                                             std::uint32_t typeLSector, std::uint32_t typeMSector,
                                             const RawDirectoryRecord& rootRecord,
                                             std::uint8_t* buffer) {
  std::memset(buffer, 0, kBlockSize);
  buffer[pvd::type] = 1;
  PutText(buffer + pvd::standard_identifier, kStandardIdentifier);
  buffer[pvd::version] = 1;
  PutText(buffer + pvd::volume_identifier, kVolumeIdentifier);
  put_both32(buffer + pvd::volume_space_size, volumeSpaceSize);
  put_both16(buffer + pvd::volume_set_size, 1);
  put_both16(buffer + pvd::volume_sequence_number, 1);
  put_both16(buffer + pvd::logical_block_size, blockSize);
  put_both32(buffer + pvd::path_table_size, pathTableSize);
  put_le32(buffer + pvd::type_l_path_table, typeLSector);
  put_be32(buffer + pvd::type_m_path_table, typeMSector);
  std::memcpy(buffer + pvd::root_directory_record, rootRecord.bytes(), 34);
  PutText(buffer + pvd::volume_set_identifier, kVolumeSetIdentifier);
  PutText(buffer + pvd::publisher_identifier, kPublisherIdentifier);
  PutText(buffer + pvd::data_preparer_identifier, kDataPreparerIdentifier);
  PutText(buffer + pvd::application_identifier, kApplicationIdentifier);
  std::copy_n(packVolumeDate, sizeof packVolumeDate, buffer + pvd::volume_creation_date);
  buffer[pvd::file_structure_version] = 1;
  return 0;
}

int ISOWriter::CreateJolietVolumeDescriptor(std::uint32_t volumeSpaceSize,
                                            std::uint32_t pathTableSize,
                                            std::uint32_t typeLSector, std::uint32_t typeMSector,
                                            const RawDirectoryRecord& rootRecord,
                                            std::uint8_t* buffer) {
  // The same layout as the primary's; only the type, the escape sequences
  // and the character set of the identifiers differ.
  ISOWriter::CreatePrimaryVolumeDescriptor(volumeSpaceSize, pathTableSize, typeLSector,
                                           typeMSector, rootRecord, buffer);
  buffer[pvd::type] = kSupplementaryDescriptor;
  PutText(buffer + svd::escape_sequences, kJolietLevel3Escape);
  PutUcs2Field(buffer + pvd::volume_identifier, 32);
  for (std::size_t field : {pvd::volume_set_identifier, pvd::publisher_identifier,
                            pvd::data_preparer_identifier, pvd::application_identifier}) {
    PutUcs2Field(buffer + field, 128);
  }
  return 0;
}

int ISOWriter::WriteJolietVolumeDescriptor(const PackLayout& plan, std::ostream& output) {
  const SectorLayout& layout = plan.sectors;
  std::cout << "  write Joliet volume descriptor ..." << std::endl;
  RawDirectoryRecord rootRecord;
  BuildDirectoryRecord(plan.joliet.get(), 1, layout.directoryAreaStart, layout.fileAreaStart,
                       rootRecord);
  std::vector<std::uint8_t> descriptor(kBlockSize);
  if (CreateJolietVolumeDescriptor(layout.totalSectors, plan.jolietPathTableSize,
                                   layout.jolietTypeLPathTable, layout.jolietTypeMPathTable,
                                   rootRecord, descriptor.data()) != 0 ||
      WriteDescriptor(descriptor.data(), layout.jolietVolumeDescriptor, blockSize, output) != 0) {
    std::cout << "  write Joliet volume descriptor failed - IO error" << std::endl;
    return 1;
  }
  std::cout << "  write Joliet volume descriptor done" << std::endl;
  return 0;
}

void ISOWriter::CreateTerminator(std::uint8_t* buffer) {
  std::memset(buffer, 0, kBlockSize);
  buffer[0] = 255;
  PutText(buffer + 1, kStandardIdentifier);
  buffer[6] = 1;
}

void ISOWriter::CreateBootRecord(std::uint32_t catalogSector, std::uint8_t* buffer) {
  std::memset(buffer, 0, kBlockSize);
  buffer[0] = 0;
  PutText(buffer + 1, kStandardIdentifier);
  buffer[6] = 1;
  PutText(buffer + boot_record::boot_system_identifier, kElToritoIdentifier);
  put_le32(buffer + boot_record::boot_catalog_sector, catalogSector);
}

// ---- El Torito catalog and boot image ---------------------------------------

void ISOWriter::CreateValidationEntry(ValidationEntry& entry) {
  std::memset(entry.bytes, 0, sizeof entry.bytes);
  entry.bytes[0] = 1;  // header ID
  entry.bytes[1] = 0;  // platform: 80x86
  PutText(entry.bytes + 4, kValidationIdString);
  // Fixed checksum: the sixteen 16-bit words of exactly this content sum to 0.
  entry.bytes[28] = 0x4C;
  entry.bytes[29] = 0x49;
  entry.bytes[30] = 0x55;
  entry.bytes[31] = 0xAA;
}

void ISOWriter::CreateInitialEntry(std::uint8_t systemType, std::uint16_t sectorCount,
                                   std::uint32_t loadSector, InitialEntry& entry) {
  std::memset(entry.bytes, 0, sizeof entry.bytes);
  entry.bytes[0] = 0x88;  // bootable
  entry.bytes[1] = 0;     // no emulation
  put_le16(entry.bytes + 2, 0);  // default load segment 0x7C0
  entry.bytes[4] = systemType;
  put_le16(entry.bytes + 6, sectorCount);
  put_le32(entry.bytes + 8, loadSector);
}

int ISOWriter::WriteBootCatalog(const ValidationEntry& validation, const InitialEntry& initial,
                                std::uint32_t catalogSector, std::ostream& output) {
  try {
    output.seekp(SectorPosition(catalogSector, blockSize));
    output.write(reinterpret_cast<const char*>(validation.bytes), sizeof validation.bytes);
    output.write(reinterpret_cast<const char*>(initial.bytes), sizeof initial.bytes);
    return 0;
  } catch (const std::exception& e) {
    std::cout << e.what() << std::endl;
    return 1;
  }
}

int ISOWriter::WriteBootImage(const std::string& bootImagePath, std::uint32_t sectorCount,
                              std::uint32_t loadSector, std::ostream& output) {
  try {
    std::ifstream input;
    OpenImage(input, bootImagePath);
    std::vector<char> buffer(virtualSectorSize);
    output.seekp(SectorPosition(loadSector, blockSize));
    // A boot image shorter than sectorCount units fails on the short read.
    for (std::uint32_t i = 0; i < sectorCount; ++i) {
      ReadAt(input, bootImagePath, std::uint64_t{i} * buffer.size(), buffer.data(), buffer.size());
      output.write(buffer.data(), static_cast<std::streamsize>(buffer.size()));
    }
    return 0;
  } catch (const std::exception& e) {
    std::cout << e.what() << std::endl;
    return 1;
  }
}

// ---- path tables --------------------------------------------------------------

std::uint32_t ISOWriter::BuildPathTableRecord(const DirectoryRecord* node,
                                              std::uint32_t directoryAreaStart, bool bigEndian,
                                              RawPathTableRecord& record) {
  std::memset(&record, 0, sizeof record);
  const std::size_t length = node->identifier.size();
  record.fixed[0] = static_cast<std::uint8_t>(length);
  record.fixed[1] = 0;
  if (bigEndian) {
    put_be32(record.fixed + 2, node->extent + directoryAreaStart);
    put_be16(record.fixed + 6, node->parentNumber);
  } else {
    put_le32(record.fixed + 2, node->extent + directoryAreaStart);
    put_le16(record.fixed + 6, node->parentNumber);
  }
  SafeCopy(record.identifier, sizeof record.identifier, node->identifier.data(), length);
  return static_cast<std::uint32_t>(length);
}

namespace {

// Writes the table in the breadth-first order in which ComputePathTableSize
// numbered the directories, so record n describes directory n.
std::uint32_t WritePathTable(ISOWriter& writer, DirectoryRecord* rootList,
                             std::uint32_t tableSector, std::uint32_t directoryAreaStart,
                             bool bigEndian, std::ostream& output) {
  try {
    output.seekp(SectorPosition(tableSector, kBlockSize));
    std::uint8_t rootRecord[10] = {};
    rootRecord[0] = 1;
    const std::uint32_t rootExtent = rootList->extent + directoryAreaStart;
    if (bigEndian) {
      put_be32(rootRecord + 2, rootExtent);
      put_be16(rootRecord + 6, 1);
    } else {
      put_le32(rootRecord + 2, rootExtent);
      put_le16(rootRecord + 6, 1);
    }
    output.write(reinterpret_cast<const char*>(rootRecord), sizeof rootRecord);
    std::uint32_t written = sizeof rootRecord;

    RawPathTableRecord record;
    std::deque<DirectoryRecord*> queue;
    queue.push_back(rootList);
    while (!queue.empty()) {
      DirectoryRecord* list = queue.front();
      queue.pop_front();
      for (DirectoryRecord* node = list; node; node = node->next) {
        if (node->type != kTypeDirectory || IsDotName(node->name)) continue;
        const std::uint32_t length =
            writer.BuildPathTableRecord(node, directoryAreaStart, bigEndian, record);
        const std::uint32_t total = PathTableRecordLength(length);
        output.write(reinterpret_cast<const char*>(record.bytes()), total);
        written += total;
      }
      for (DirectoryRecord* node = list; node; node = node->next) {
        if (node->type != kTypeDirectory || IsDotName(node->name) || !node->child) continue;
        queue.push_back(node->child);
      }
    }
    return written;
  } catch (const std::exception& e) {
    std::cout << e.what() << std::endl;
    return 0;
  }
}

}  // namespace

std::uint32_t ISOWriter::WritePathTableL(DirectoryRecord* rootList, std::uint32_t tableSector,
                                         std::uint32_t directoryAreaStart, std::ostream& output) {
  return WritePathTable(*this, rootList, tableSector, directoryAreaStart, false, output);
}

std::uint32_t ISOWriter::WritePathTableM(DirectoryRecord* rootList, std::uint32_t tableSector,
                                         std::uint32_t directoryAreaStart, std::ostream& output) {
  return WritePathTable(*this, rootList, tableSector, directoryAreaStart, true, output);
}

// ---- directory records and file data --------------------------------------------

void ISOWriter::BuildDirectoryRecord(const DirectoryRecord* node,
                                     std::uint16_t volumeSequenceNumber,
                                     std::uint32_t directoryAreaStart,
                                     std::uint32_t fileAreaStart, RawDirectoryRecord& record) {
  std::memset(&record, 0, sizeof record);
  std::uint8_t* bytes = record.bytes();
  const bool isDirectory = node->type == kTypeDirectory;
  bytes[dir_record::length] = static_cast<std::uint8_t>(node->recordLength);
  bytes[dir_record::extended_attribute_length] = 0;
  put_both32(bytes + dir_record::extent,
             node->extent + (isDirectory ? directoryAreaStart : fileAreaStart));
  put_both32(bytes + dir_record::data_length, node->size);
  const std::uint8_t* date = node->hasRecordingDate ? node->recordingDate.data() : packRecordDate;
  std::copy_n(date, sizeof packRecordDate, bytes + dir_record::recording_date);
  bytes[dir_record::file_flags] = isDirectory ? kFlagDirectory : 0;
  put_both16(bytes + dir_record::volume_sequence_number, volumeSequenceNumber);
  if (node->name == ".") {
    bytes[dir_record::identifier_length] = 1;
    bytes[dir_record::identifier] = 0x00;
  } else if (node->name == "..") {
    bytes[dir_record::identifier_length] = 1;
    bytes[dir_record::identifier] = 0x01;
  } else {
    const std::size_t length = node->identifier.size();
    // The identifier area also holds the pad byte, which memset left 0x00.
    SafeCopy(record.identifier, sizeof record.identifier, node->identifier.data(), length);
    bytes[dir_record::identifier_length] = static_cast<std::uint8_t>(length);
  }
}

int ISOWriter::WriteRecord(const DirectoryRecord* node, std::uint16_t volumeSequenceNumber,
                           std::uint32_t directoryAreaStart, std::uint32_t fileAreaStart,
                           std::ostream& output) {
  try {
    RawDirectoryRecord record;
    BuildDirectoryRecord(node, volumeSequenceNumber, directoryAreaStart, fileAreaStart, record);
    output.seekp(SectorPosition(std::uint64_t{node->recordSector} + directoryAreaStart,
                                blockSize) +
                 node->recordOffset);
    output.write(reinterpret_cast<const char*>(record.bytes()), node->recordLength);
    return 0;
  } catch (const std::exception& e) {
    std::cout << e.what() << std::endl;
    return 1;
  }
}

int ISOWriter::WriteEntry(DirectoryRecord* node, std::uint16_t volumeSequenceNumber,
                          std::uint32_t directoryAreaStart, std::uint32_t fileAreaStart,
                          std::ostream& output) {
  try {
    if (WriteRecord(node, volumeSequenceNumber, directoryAreaStart, fileAreaStart, output) != 0) {
      return 1;
    }
    if (node->type != kTypeFile) return 0;

    output.seekp(SectorPosition(std::uint64_t{node->extent} + fileAreaStart, blockSize));
    const std::string sourcePath = node->fromImage
                                       ? sourceImagePath
                                       : (fs::path(node->parentPath) / node->name).string();
    // An image file copies the data itself; the zeros that complete the last
    // sector and the progress marks are the same as below.
    auto* imageOutput = dynamic_cast<platform::ImageOutputBuffer*>(output.rdbuf());
    if (imageOutput && node->size > 0) {
      const std::uint64_t sourceOffset =
          node->fromImage ? std::uint64_t{node->sourceExtent} * blockSize : 0;
      // Refused when the source is missing or short: the stream road below
      // then fails exactly as it always does.
      if (imageOutput->CopyFrom(sourcePath, sourceOffset, node->size, node->fromImage != 0)) {
        const std::size_t block = blockSize;
        const std::size_t tail = static_cast<std::size_t>(node->size % block);
        if (tail != 0) {
          const std::vector<char> zeros(block - tail, 0);
          output.write(zeros.data(), static_cast<std::streamsize>(zeros.size()));
        }
        for (std::uint64_t done = 0; done < node->size; done += block) {
          ShowProgress(std::min<std::uint64_t>(block, node->size - done));
        }
        return 0;
      }
    }

    std::ifstream source;
    OpenImage(source, sourcePath);
    if (node->fromImage) source.seekg(SectorPosition(node->sourceExtent, blockSize));

    const std::size_t block = blockSize;
    std::uint64_t remaining = node->size;
    if (remaining == 0) return 0;
    std::unique_ptr<char[]> buffer(
        new char[static_cast<std::size_t>(std::min<std::uint64_t>(remaining, kCopyChunk)) +
                 block]);
    while (remaining > 0) {
      const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(remaining, kCopyChunk));
      bool readFailure = false;
      std::size_t got = want;
      try {
        source.read(buffer.get(), static_cast<std::streamsize>(want));
      } catch (const std::exception&) {
        // A short read: what a piece-by-piece copy would have written before
        // failing is every complete piece read so far.
        readFailure = true;
        got = static_cast<std::size_t>(source.gcount()) / block * block;
      }
      std::size_t last = got;  // bytes of the final piece when it is partial
      if (!readFailure && got == remaining && got % block != 0) {
        // The file's last sector is completed with zeros.
        const std::size_t tail = got % block;
        std::memset(buffer.get() + got, 0, block - tail);
        last = got + block - tail;
      }
      output.write(buffer.get(), static_cast<std::streamsize>(last));
      for (std::size_t done = 0; done < got; done += block) {
        ShowProgress(std::min(block, got - done));
      }
      if (readFailure) {
        throw std::runtime_error("cannot read " + sourcePath +
                                 ": it is shorter than recorded, or unreadable");
      }
      remaining -= got;
    }
    return 0;
  } catch (const std::exception& e) {
    std::cout << e.what() << std::endl;
    return 1;
  }
}

int ISOWriter::WriteDirectoryTree(DirectoryRecord* list, std::uint16_t volumeSequenceNumber,
                                  std::uint32_t directoryAreaStart, std::uint32_t fileAreaStart,
                                  std::ostream& output) {
  return WriteTree(list, volumeSequenceNumber, directoryAreaStart, fileAreaStart, true, output);
}

int ISOWriter::WriteTree(DirectoryRecord* list, std::uint16_t volumeSequenceNumber,
                         std::uint32_t directoryAreaStart, std::uint32_t fileAreaStart,
                         bool withFileData, std::ostream& output) {
  // Iterates along the list and recurses only into subdirectories, so very
  // long directories do not deepen the stack.
  for (DirectoryRecord* node = list; node; node = node->next) {
    const int failed =
        withFileData
            ? WriteEntry(node, volumeSequenceNumber, directoryAreaStart, fileAreaStart, output)
            : WriteRecord(node, volumeSequenceNumber, directoryAreaStart, fileAreaStart, output);
    if (failed != 0) return 1;
    if (node->type == kTypeDirectory && !IsDotName(node->name) &&
        WriteTree(node->child, volumeSequenceNumber, directoryAreaStart, fileAreaStart,
                  withFileData, output) != 0) {
      return 1;
    }
  }
  return 0;
}
