// Output side of the ISO writer: Pack and the operations that build and
// write each structure of a bootable image (system area, volume descriptors,
// El Torito boot record, catalog and boot image, path tables, directory
// records and file data).
//
// Every structure is written at its precomputed position through one image
// sink; bytes never written stay 0x00 because the output starts empty.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <exception>
#include <functional>
#include <iostream>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <boost/filesystem.hpp>

#include "common/console.h"
#include "iso/boot_catalog.h"
#include "iso/iso_writer.h"

namespace fs = boost::filesystem;

bool RunPackStep(const char* name, const std::function<std::string()>& body,
                 const char* failedName) {
  std::cout << "  " << name << " ..." << std::endl;
  const std::string reason = body();
  if (!reason.empty()) {
    FailureLine(std::string("  ") + (failedName ? failedName : name) + " failed - " + reason);
    return false;
  }
  std::cout << "  " << name << " done" << std::endl;
  return true;
}

namespace {

constexpr char kVolumeIdentifier[] = "CD_ROM";
constexpr char kVolumeSetIdentifier[] = "CD_ROM";
constexpr char kPublisherIdentifier[] = "TALVEN CORPORATION";
constexpr char kDataPreparerIdentifier[] = "TALVEN CORPORATION, SALEM, OREGON";
constexpr char kApplicationIdentifier[] = "riduz";
constexpr char kValidationIdString[] = "Microsoft Corporation";

constexpr char kIoError[] = "IO error";

// The reason of a write step: none when every part of it succeeded.
std::string IoReason(bool succeeded) { return succeeded ? std::string() : kIoError; }

// Runs `write`, printing the text of an exception it throws; false then.
bool Reported(const std::function<void()>& write) {
  try {
    write();
    return true;
  } catch (const std::exception& e) {
    FailureLine(e.what());
    return false;
  }
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

ISOWriter::ISOWriter(std::string sourceDirectory, ImageOrigin sourceImage)
    : sourceDirectory(std::move(sourceDirectory)), sourceImage(std::move(sourceImage)) {
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
  std::unique_ptr<FileImageSink> file;
  return PackThrough(
      [&] {
        file = std::make_unique<FileImageSink>(outputPath);
        return file.get();
      },
      bootImagePath);
}

int ISOWriter::Pack(ImageSink& output, const std::string& bootImagePath) {
  return PackThrough([&] { return &output; }, bootImagePath);
}

int ISOWriter::PackThrough(const std::function<ImageSink*()>& openOutput,
                           const std::string& bootImagePath) {
  if (!PreparePack()) return 1;
  std::cout << "pack the ISO image ..." << std::endl;
  TakePackTime();
  ImageSink* output = nullptr;
  try {
    output = openOutput();
  } catch (const std::exception& e) {
    FailureLine(std::string("pack ISO image failed, IO exception: ") + e.what());
    return 1;
  }
  return WritePack(*output, bootImagePath);
}

int ISOWriter::WritePack(ImageSink& output, const std::string& bootImagePath) {
  PackLayout plan;
  if (!LayOutPack(bootImagePath, plan)) return 1;
  return WriteImage(plan, bootImagePath, output);
}

int ISOWriter::WriteImage(const PackLayout& plan, const std::string& bootImagePath,
                          ImageSink& output) {
  bool written = false;
  try {
    written = WriteVolumeDescriptors(plan, output) &&
              WriteBootCatalogAndImage(plan, bootImagePath, output) &&
              WriteHierarchies(plan, output);
  } catch (const std::exception& e) {
    FailureLine(std::string("pack ISO image failed, exception: ") + e.what());
  }
  // The source image is open for the length of the pack only.
  packSource.reset();
  return ClosePack(written, output);
}

int ISOWriter::ClosePack(bool written, ImageSink& output) {
  if (!written) return 1;
  try {
    output.Close();
  } catch (const std::exception& e) {
    FailureLine(std::string("pack ISO image failed, IO exception: ") + e.what());
    return 1;
  }
  std::cout << "pack ISO image succeeded" << std::endl;
  return 0;
}

bool ISOWriter::LayOutPack(const std::string& bootImagePath, PackLayout& plan) {
  return RunPackStep("load source directory & boot image file",
                 [&] { return LayOutTree(bootImagePath, plan); });
}

std::string ISOWriter::LayOutTree(const std::string& bootImagePath, PackLayout& plan) {
  DirectoryRecord* tree = nullptr;
  try {
    tree = LoadLocalDirectory(sourceDirectory);
  } catch (const std::exception& e) {
    return e.what();
  }
  if (tree != root) {
    // A second pack of a plain writer rebuilds the tree from disk.
    FreeRecordList(root);
    root = tree;
  }
  if (!root) return "can not load souce directory";
  // Every pack shows its marks from 0% to 100%, counting what is written.
  StartProgress(TreeFileBytes(root));
  DateSelfAndParentRecords(root);

  plan.pathTableSize = ComputePathTableSize(root);
  if (directoryCount > kMaxPathTableDirectories) {
    // Past this the 16-bit parent numbers of the path tables wrap and name
    // the wrong directories.
    return "too many directories for the path tables (" + std::to_string(directoryCount) +
           ", at most " + std::to_string(kMaxPathTableDirectories) + ")";
  }
  std::uint32_t directorySectors = 0;
  std::uint32_t fileSectors = 0;
  try {
    LayOutDirectory(nullptr, nullptr, root, directorySectors, fileSectors);
    if (withJoliet) {
      plan.joliet.reset(LayOutJoliet(directorySectors, fileSectors, plan.jolietPathTableSize));
    }
  } catch (const std::exception& e) {
    return e.what();
  }
  const bool hasBootImage = !bootImagePath.empty();
  std::uint64_t bootImageBytes = 0;
  try {
    if (hasBootImage) {
      bootImageBytes = carriedCatalog ? SectorOffset(carriedCatalog->areaSectors)
                                      : BootImageSize(bootImagePath);
    }
  } catch (const std::exception& e) {
    return std::string("IO exception: ") + e.what();
  }
  plan.sectors = ComputeSectorLayout(plan.pathTableSize, directorySectors, fileSectors,
                                     hasBootImage, bootImageBytes, plan.jolietPathTableSize);
  return "";
}

std::uint64_t ISOWriter::BootImageSize(const std::string& bootImagePath) const {
  const std::uint64_t bytes = fs::file_size(bootImagePath);
  // The catalog counts 512-byte units in 16 bits.
  const std::uint64_t units =
      (bytes + kBlockSize - 1) / kBlockSize * (kBlockSize / kVirtualSectorSize);
  if (units > 0xFFFF) {
    throw std::runtime_error("boot image too large for the boot catalog (at most 65535 "
                             "sectors of 512 bytes): " + bootImagePath);
  }
  return bytes;
}

namespace {

int WriteDescriptor(const std::uint8_t* buffer, std::uint32_t sector, ImageSink& output) {
  return Reported([&] { output.WriteAt(SectorOffset(sector), buffer, kBlockSize); }) ? 0 : 1;
}

}  // namespace

bool ISOWriter::WriteVolumeDescriptors(const PackLayout& plan, ImageSink& output) {
  const SectorLayout& layout = plan.sectors;
  std::vector<std::uint8_t> descriptor(kBlockSize);
  const auto primary = [&] {
    RawDirectoryRecord rootRecord;
    BuildDirectoryRecord(root, 1, layout.directoryAreaStart, layout.fileAreaStart, rootRecord);
    return IoReason(CreatePrimaryVolumeDescriptor(layout.totalSectors, plan.pathTableSize,
                                                  layout.typeLPathTable, layout.typeMPathTable,
                                                  rootRecord, descriptor.data()) == 0 &&
                    WritePrimaryVolumeDescriptor(descriptor.data(),
                                                 layout.primaryVolumeDescriptor, output) == 0);
  };
  const auto bootRecord = [&] {
    CreateBootRecord(layout.bootCatalog, descriptor.data());
    return IoReason(WriteBootRecord(descriptor.data(), layout.bootRecord, output) == 0);
  };
  const auto joliet = [&] {
    RawDirectoryRecord rootRecord;
    BuildDirectoryRecord(plan.joliet.get(), 1, layout.directoryAreaStart, layout.fileAreaStart,
                         rootRecord);
    return IoReason(CreateJolietVolumeDescriptor(layout.totalSectors, plan.jolietPathTableSize,
                                                 layout.jolietTypeLPathTable,
                                                 layout.jolietTypeMPathTable, rootRecord,
                                                 descriptor.data()) == 0 &&
                    WriteDescriptor(descriptor.data(), layout.jolietVolumeDescriptor, output) == 0);
  };
  const auto terminator = [&] {
    CreateTerminator(descriptor.data());
    return IoReason(WriteTerminator(descriptor.data(), layout.terminator, output) == 0);
  };
  const auto systemArea = [&] { return IoReason(WriteSystemArea(output) == 0); };
  return RunPackStep("write system reserved sector", systemArea) &&
         RunPackStep("write primary volume descriptor", primary) &&
         (!layout.hasBootImage || RunPackStep("write boot record", bootRecord)) &&
         (!plan.joliet || RunPackStep("write Joliet volume descriptor", joliet)) &&
         RunPackStep("write volume descriptor set terminator", terminator);
}

bool ISOWriter::WriteBootCatalogAndImage(const PackLayout& plan, const std::string& bootImagePath,
                                         ImageSink& output) {
  const SectorLayout& layout = plan.sectors;
  if (!layout.hasBootImage) return true;
  if (carriedCatalog) {
    return RunPackStep("write boot image",
                   [&] { return IoReason(WriteCarriedCatalog(layout, output)); });
  }
  return RunPackStep("write boot image", [&] {
    const auto sectorCount = static_cast<std::uint16_t>((kBlockSize / kVirtualSectorSize) *
                                                        layout.bootImageSectors);
    ValidationEntry validation;
    InitialEntry initial;
    CreateValidationEntry(validation);
    CreateInitialEntry(0, sectorCount, layout.bootImageStart, initial);
    return IoReason(
        WriteBootCatalog(validation, initial, layout.bootCatalog, output) == 0 &&
        WriteBootImage(bootImagePath, sectorCount, layout.bootImageStart, output) == 0);
  });
}

bool ISOWriter::WriteHierarchies(const PackLayout& plan, ImageSink& output) {
  const SectorLayout& layout = plan.sectors;
  DirectoryRecord* joliet = plan.joliet.get();
  const std::uint32_t directories = layout.directoryAreaStart;
  const auto pathTables = [&] {
    return IoReason(
        WritePathTableL(root, layout.typeLPathTable, directories, output) != 0 &&
        WritePathTableM(root, layout.typeMPathTable, directories, output) != 0 &&
        (!joliet ||
         (WritePathTableL(joliet, layout.jolietTypeLPathTable, directories, output) != 0 &&
          WritePathTableM(joliet, layout.jolietTypeMPathTable, directories, output) != 0)));
  };
  // The Joliet records point at the file data the primary ones write.
  const auto records = [&] {
    return IoReason(
        WriteDirectoryTree(root, 1, directories, layout.fileAreaStart, output) == 0 &&
        (!joliet || WriteTree(joliet, 1, directories, layout.fileAreaStart, false, output) == 0));
  };
  return RunPackStep("write path tables", pathTables, "write path table") &&
         RunPackStep("write directory record and files", records, "write directory record and file");
}

// ---- volume descriptors ---------------------------------------------------

int ISOWriter::WriteSystemArea(ImageSink& output) {
  const std::vector<std::uint8_t> zeros(kPrimaryDescriptorSector * kBlockSize, 0);
  return Reported([&] { output.WriteAt(0, zeros.data(), zeros.size()); }) ? 0 : 1;
}

int ISOWriter::WritePrimaryVolumeDescriptor(const std::uint8_t* buffer, std::uint32_t sector,
                                            ImageSink& output) {
  return WriteDescriptor(buffer, sector, output);
}

int ISOWriter::WriteTerminator(const std::uint8_t* buffer, std::uint32_t sector,
                               ImageSink& output) {
  return WriteDescriptor(buffer, sector, output);
}

int ISOWriter::WriteBootRecord(const std::uint8_t* buffer, std::uint32_t sector,
                               ImageSink& output) {
  return WriteDescriptor(buffer, sector, output);
}

int ISOWriter::CreatePrimaryVolumeDescriptor(std::uint32_t volumeSpaceSize,
                                             std::uint32_t pathTableSize,
                                             std::uint32_t typeLSector, std::uint32_t typeMSector,
                                             const RawDirectoryRecord& rootRecord,
                                             std::uint8_t* buffer) {
  std::memset(buffer, 0, kBlockSize);
  PutDescriptorHeader(buffer, kPrimaryDescriptor);
  PutText(buffer + pvd::volume_identifier, kVolumeIdentifier);
  put_both32(buffer + pvd::volume_space_size, volumeSpaceSize);
  put_both16(buffer + pvd::volume_set_size, 1);
  put_both16(buffer + pvd::volume_sequence_number, 1);
  put_both16(buffer + pvd::logical_block_size, kBlockSize);
  put_both32(buffer + pvd::path_table_size, pathTableSize);
  put_le32(buffer + pvd::type_l_path_table, typeLSector);
  put_be32(buffer + pvd::type_m_path_table, typeMSector);
  std::memcpy(buffer + pvd::root_directory_record, rootRecord.bytes(),
              dir_record::self_record_length);
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
  buffer[descriptor_header::type] = kSupplementaryDescriptor;
  PutText(buffer + svd::escape_sequences, kJolietLevel3Escape);
  PutUcs2Field(buffer + pvd::volume_identifier, pvd::volume_identifier_length);
  for (std::size_t field : {pvd::volume_set_identifier, pvd::publisher_identifier,
                            pvd::data_preparer_identifier, pvd::application_identifier}) {
    PutUcs2Field(buffer + field, pvd::long_identifier_length);
  }
  return 0;
}

void ISOWriter::CreateTerminator(std::uint8_t* buffer) {
  std::memset(buffer, 0, kBlockSize);
  PutDescriptorHeader(buffer, kTerminatorDescriptor);
}

void ISOWriter::CreateBootRecord(std::uint32_t catalogSector, std::uint8_t* buffer) {
  std::memset(buffer, 0, kBlockSize);
  PutDescriptorHeader(buffer, kBootRecordDescriptor);
  PutText(buffer + boot_record::boot_system_identifier, kElToritoIdentifier);
  put_le32(buffer + boot_record::boot_catalog_sector, catalogSector);
}

// ---- El Torito catalog and boot image ---------------------------------------

void ISOWriter::CreateValidationEntry(ValidationEntry& entry) {
  using namespace validation_entry;
  std::memset(entry.bytes, 0, sizeof entry.bytes);
  entry.bytes[header_id] = kHeaderId;
  entry.bytes[platform_id] = kPlatform80x86;
  PutText(entry.bytes + id_string, kValidationIdString);
  entry.bytes[key_byte_1] = kKeyByte1;
  entry.bytes[key_byte_2] = kKeyByte2;
  put_le16(entry.bytes + checksum, ValidationChecksum(entry));
}

void ISOWriter::CreateInitialEntry(std::uint8_t systemType, std::uint16_t sectorCount,
                                   std::uint32_t loadSector, InitialEntry& entry) {
  using namespace initial_entry;
  std::memset(entry.bytes, 0, sizeof entry.bytes);
  entry.bytes[boot_indicator] = kBootable;
  entry.bytes[boot_media_type] = kNoEmulation;
  put_le16(entry.bytes + load_segment, 0);  // the default segment 0x7C0
  entry.bytes[system_type] = systemType;
  put_le16(entry.bytes + sector_count, sectorCount);
  put_le32(entry.bytes + load_rba, loadSector);
}

int ISOWriter::WriteBootCatalog(const ValidationEntry& validation, const InitialEntry& initial,
                                std::uint32_t catalogSector, ImageSink& output) {
  return Reported([&] {
           const std::uint64_t at = SectorOffset(catalogSector);
           output.WriteAt(at, validation.bytes, sizeof validation.bytes);
           output.WriteAt(at + sizeof validation.bytes, initial.bytes, sizeof initial.bytes);
         })
             ? 0
             : 1;
}

int ISOWriter::WriteBootImage(const std::string& bootImagePath, std::uint32_t sectorCount,
                              std::uint32_t loadSector, ImageSink& output) {
  return Reported([&] {
           FileImageSource input(bootImagePath);
           std::vector<std::uint8_t> piece(kVirtualSectorSize);
           // A boot image shorter than sectorCount units fails on the short read.
           for (std::uint32_t i = 0; i < sectorCount; ++i) {
             const std::uint64_t at = std::uint64_t{i} * piece.size();
             input.ReadAt(at, piece.data(), piece.size());
             output.WriteAt(SectorOffset(loadSector) + at, piece.data(), piece.size());
           }
         })
             ? 0
             : 1;
}

bool ISOWriter::WriteCarriedCatalog(const SectorLayout& layout, ImageSink& output) {
  return Reported([&] {
    std::vector<std::uint8_t> records = carriedCatalog->records;
    // The validation entry names this writer, as in every image it makes;
    // only its platform stays as recorded.
    ValidationEntry validation;
    CreateValidationEntry(validation);
    validation.bytes[validation_entry::platform_id] = records[validation_entry::platform_id];
    put_le16(validation.bytes + validation_entry::checksum, ValidationChecksum(validation));
    std::copy_n(validation.bytes, sizeof validation.bytes, records.begin());
    if (!packSource) packSource = sourceImage.Open();
    for (const CarriedBootImage& image : carriedCatalog->images) {
      const std::uint32_t sector = layout.bootImageStart + image.areaSector;
      put_le32(records.data() + image.recordOffset + initial_entry::load_rba, sector);
      output.CopyRange(*packSource, image.sourceOffset, image.bytes, SectorOffset(sector));
      const std::size_t tail = image.bytes % kBlockSize;
      if (tail != 0) {
        const std::vector<std::uint8_t> zeros(kBlockSize - tail, 0);
        output.WriteAt(SectorOffset(sector) + image.bytes, zeros.data(), zeros.size());
      }
      if (image.bootInfoTable) {
        // Only the file LBA changes: the table's length and checksum cover
        // bytes that are copied as they are.
        std::uint8_t lba[4];
        put_le32(lba, sector);
        output.WriteAt(SectorOffset(sector) + boot_info_table::file_lba, lba, sizeof lba);
      }
    }
    output.WriteAt(SectorOffset(layout.bootCatalog), records.data(), records.size());
  });
}

// ---- path tables --------------------------------------------------------------

namespace {

// One path table record in `record`; returns LEN_DI.
std::uint32_t PutPathTableRecord(RawPathTableRecord& record, const std::string& identifier,
                                 std::uint32_t extent, std::uint16_t parentNumber,
                                 bool bigEndian) {
  std::memset(&record, 0, sizeof record);
  const std::size_t length = identifier.size();
  record.fixed[path_record::identifier_length] = static_cast<std::uint8_t>(length);
  record.fixed[path_record::extended_attribute_length] = 0;
  if (bigEndian) {
    put_be32(record.fixed + path_record::extent, extent);
    put_be16(record.fixed + path_record::parent_number, parentNumber);
  } else {
    put_le32(record.fixed + path_record::extent, extent);
    put_le16(record.fixed + path_record::parent_number, parentNumber);
  }
  ISOManipulator::SafeCopy(record.identifier, sizeof record.identifier, identifier.data(), length);
  return static_cast<std::uint32_t>(length);
}

// Writes the table in the order in which ComputePathTableSize numbered the
// directories (the same walk), so record n describes directory n.
std::uint32_t WritePathTable(ISOWriter& writer, DirectoryRecord* rootList,
                             std::uint32_t tableSector, std::uint32_t directoryAreaStart,
                             bool bigEndian, ImageSink& output) {
  try {
    std::vector<std::uint8_t> table;
    RawPathTableRecord record;
    const auto append = [&](std::uint32_t identifierLength) {
      table.insert(table.end(), record.bytes(),
                   record.bytes() + PathTableRecordLength(identifierLength));
    };
    // The root's record: identifier 0x00, its own parent.
    append(PutPathTableRecord(record, std::string(1, '\0'), rootList->extent + directoryAreaStart,
                              1, bigEndian));
    ForEachDirectoryBreadthFirst(rootList, [&](const DirectoryRecord*, DirectoryRecord* node) {
      append(writer.BuildPathTableRecord(node, directoryAreaStart, bigEndian, record));
    });
    output.WriteAt(SectorOffset(tableSector), table.data(), table.size());
    return static_cast<std::uint32_t>(table.size());
  } catch (const std::exception& e) {
    FailureLine(e.what());
    return 0;
  }
}

}  // namespace

std::uint32_t ISOWriter::BuildPathTableRecord(const DirectoryRecord* node,
                                              std::uint32_t directoryAreaStart, bool bigEndian,
                                              RawPathTableRecord& record) {
  return PutPathTableRecord(record, node->identifier, node->extent + directoryAreaStart,
                            node->parentNumber, bigEndian);
}

std::uint32_t ISOWriter::WritePathTableL(DirectoryRecord* rootList, std::uint32_t tableSector,
                                         std::uint32_t directoryAreaStart, ImageSink& output) {
  return WritePathTable(*this, rootList, tableSector, directoryAreaStart, false, output);
}

std::uint32_t ISOWriter::WritePathTableM(DirectoryRecord* rootList, std::uint32_t tableSector,
                                         std::uint32_t directoryAreaStart, ImageSink& output) {
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
  // A file of several extents: the record of the first.
  const std::uint32_t extents = isDirectory ? 1 : ExtentCount(node->size);
  bytes[dir_record::length] = static_cast<std::uint8_t>(node->recordLength / extents);
  bytes[dir_record::extended_attribute_length] = 0;
  put_both32(bytes + dir_record::extent,
             node->extent + (isDirectory ? directoryAreaStart : fileAreaStart));
  put_both32(bytes + dir_record::data_length,
             static_cast<std::uint32_t>(std::min<std::uint64_t>(node->size, kLargestExtent)));
  const std::uint8_t* date = node->hasRecordingDate ? node->recordingDate.data() : packRecordDate;
  std::copy_n(date, sizeof packRecordDate, bytes + dir_record::recording_date);
  bytes[dir_record::file_flags] = isDirectory ? kFlagDirectory : extents > 1 ? kFlagMultiExtent : 0;
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
                           ImageSink& output) {
  return Reported([&] {
           RawDirectoryRecord record;
           BuildDirectoryRecord(node, volumeSequenceNumber, directoryAreaStart, fileAreaStart,
                                record);
           const std::uint64_t at =
               SectorOffset(std::uint64_t{node->recordSector} + directoryAreaStart) +
               node->recordOffset;
           const std::uint32_t length = record.length();
           output.WriteAt(at, record.bytes(), length);
           // The further extents of a large file follow its data on, each
           // in a record of its own; all but the last say another follows.
           const std::uint32_t extents = node->recordLength / length;
           for (std::uint32_t i = 1; i < extents; ++i) {
             std::uint8_t* bytes = record.bytes();
             put_both32(bytes + dir_record::extent,
                        get_le32(bytes + dir_record::extent) + kLargestExtent / kBlockSize);
             const std::uint64_t rest = node->size - std::uint64_t{kLargestExtent} * i;
             put_both32(bytes + dir_record::data_length,
                        static_cast<std::uint32_t>(std::min<std::uint64_t>(rest, kLargestExtent)));
             if (i + 1 == extents) bytes[dir_record::file_flags] &= ~kFlagMultiExtent;
             output.WriteAt(at + std::uint64_t{length} * i, bytes, length);
           }
         })
             ? 0
             : 1;
}

int ISOWriter::WriteEntry(DirectoryRecord* node, std::uint16_t volumeSequenceNumber,
                          std::uint32_t directoryAreaStart, std::uint32_t fileAreaStart,
                          ImageSink& output) {
  if (WriteRecord(node, volumeSequenceNumber, directoryAreaStart, fileAreaStart, output) != 0) {
    return 1;
  }
  if (node->type != kTypeFile) return 0;
  return Reported([&] { CopyFileData(*node, fileAreaStart, output); }) ? 0 : 1;
}

void ISOWriter::CopyFileData(const DirectoryRecord& node, std::uint32_t fileAreaStart,
                             ImageSink& output) {
  // Files of the source image come from the image the pack keeps open; the
  // others from their local file.
  std::unique_ptr<ImageSource> localFile;
  if (node.fromImage && !packSource) packSource = sourceImage.Open();
  if (!node.fromImage) {
    localFile = std::make_unique<FileImageSource>((fs::path(node.parentPath) / node.name).string());
  }
  ImageSource& source = node.fromImage ? *packSource : *localFile;
  // A file of the source may lie in several extents; its bytes go out as
  // one run.
  const std::vector<DataExtent> pieces =
      node.fromImage ? SourceExtents(node)
                     : std::vector<DataExtent>{{0, static_cast<std::uint32_t>(node.size)}};
  for (const DataExtent& piece : pieces) {
    const std::uint64_t offset = node.fromImage ? SectorOffset(piece.extent) : 0;
    if (source.Size() < offset || source.Size() - offset < piece.size) {
      throw std::runtime_error("cannot read " + source.Name() +
                               ": it is shorter than recorded, or unreadable");
    }
  }
  // A local file's size was taken when the image was laid out; one that
  // grew since would be cut.
  if (!node.fromImage && source.Size() != node.size) {
    throw std::runtime_error("cannot add " + source.Name() + ": it changed while the image was "
                             "written (" + std::to_string(node.size) + " bytes when laid out, " +
                             std::to_string(source.Size()) + " now)");
  }
  if (node.size == 0) return;
  const std::uint64_t position = SectorOffset(std::uint64_t{node.extent} + fileAreaStart);
  std::uint64_t written = 0;
  for (const DataExtent& piece : pieces) {
    const std::uint64_t offset = node.fromImage ? SectorOffset(piece.extent) : 0;
    output.CopyRange(source, offset, piece.size, position + written);
    written += piece.size;
  }
  const std::size_t tail = node.size % kBlockSize;
  if (tail != 0) {
    static const std::vector<std::uint8_t> zeros(kBlockSize, 0);
    output.WriteAt(position + node.size, zeros.data(), kBlockSize - tail);
  }
  for (std::uint64_t done = 0; done < node.size; done += kBlockSize) {
    ShowProgress(std::min<std::uint64_t>(kBlockSize, node.size - done));
  }
}

int ISOWriter::WriteDirectoryTree(DirectoryRecord* list, std::uint16_t volumeSequenceNumber,
                                  std::uint32_t directoryAreaStart, std::uint32_t fileAreaStart,
                                  ImageSink& output) {
  return WriteTree(list, volumeSequenceNumber, directoryAreaStart, fileAreaStart, true, output);
}

int ISOWriter::WriteTree(DirectoryRecord* list, std::uint16_t volumeSequenceNumber,
                         std::uint32_t directoryAreaStart, std::uint32_t fileAreaStart,
                         bool withFileData, ImageSink& output) {
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
