// El Torito boot image: boot record in sector 17, catalog validation and
// initial/default entries, and the no-emulation boot image they point at.
#include "iso/iso_boot_image_reader.h"

#include "iso/image_file.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iostream>
#include <stdexcept>

namespace {

// Validation entry header ID and key bytes; initial entry boot indicator.
constexpr std::uint8_t kHeaderId = 0x01;
constexpr std::uint8_t kKeyByte1 = 0x55;
constexpr std::uint8_t kKeyByte2 = 0xAA;
constexpr std::uint8_t kBootable = 0x88;
// Header indicator of a section header after the default entry: more
// headers follow, or this is the last one.
constexpr std::uint8_t kSectionHeader = 0x90;
constexpr std::uint8_t kFinalSectionHeader = 0x91;
// Offsets inside the initial/default entry.
constexpr std::size_t kSectorCountOffset = 6;
constexpr std::size_t kLoadRbaOffset = 8;

// Whether a section header follows the default entry. A catalog that ends
// right after that entry simply has none.
bool HasSectionHeader(std::ifstream& in, std::uint64_t position) {
  try {
    std::uint8_t indicator = 0;
    in.seekg(static_cast<std::streamoff>(position));
    in.read(reinterpret_cast<char*>(&indicator), 1);
    return indicator == kSectionHeader || indicator == kFinalSectionHeader;
  } catch (const std::ios_base::failure&) {
    in.clear();
    return false;
  }
}

}  // namespace

ISOBootImageReader::ISOBootImageReader(std::string imagePath) : imagePath(std::move(imagePath)) {}

ISOBootImageReader::~ISOBootImageReader() { Release(); }

void ISOBootImageReader::Release() {
  bootRecord.reset();
  validationEntry.reset();
  initialEntry.reset();
  bootImage.reset();
}

int ISOBootImageReader::LoadBootImage() {
  std::cout << "load boot image ..." << std::endl;
  // A second load starts from nothing, so a failure cannot leave the
  // buffers of an earlier success mixed with new ones.
  Release();
  sectorCount = 0;
  entriesBeyondDefault = false;
  try {
    std::ifstream in;
    OpenImage(in, imagePath);

    // Everything is read first and checked afterwards.
    bootRecord.reset(new std::uint8_t[kBlockSize]);
    ReadAt(in, imagePath, static_cast<std::uint64_t>(kBootRecordSector) * blockSize,
           bootRecord.get(), kBlockSize);

    const std::uint32_t catalogSector =
        get_le32(bootRecord.get() + boot_record::boot_catalog_sector);
    const std::uint64_t catalogPosition = static_cast<std::uint64_t>(catalogSector) * blockSize;
    validationEntry.reset(new ValidationEntry());
    initialEntry.reset(new InitialEntry());
    ReadAt(in, imagePath, catalogPosition, validationEntry->bytes, sizeof validationEntry->bytes);
    ReadAt(in, imagePath, catalogPosition + sizeof validationEntry->bytes, initialEntry->bytes,
           sizeof initialEntry->bytes);

    entriesBeyondDefault = HasSectionHeader(in, catalogPosition + 2 * sizeof(InitialEntry));
    sectorCount = get_le16(initialEntry->bytes + kSectorCountOffset);
    const std::size_t imageSize = static_cast<std::size_t>(virtualSectorSize) * sectorCount;
    bootImage.reset(new std::uint8_t[imageSize]);
    const std::uint32_t loadRba = get_le32(initialEntry->bytes + kLoadRbaOffset);
    ReadAt(in, imagePath, static_cast<std::uint64_t>(loadRba) * blockSize, bootImage.get(),
           imageSize);
    in.close();
  } catch (const std::exception& e) {
    std::cout << "load boot image failed, IO exception: " << e.what() << std::endl;
    Release();
    return 1;
  }
  if (IsBootImageValid()) {
    std::cout << "load boot image succeeded" << std::endl;
    return 0;
  }
  std::cout << "load boot image failed - invalid boot CD" << std::endl;
  Release();
  return 1;
}

bool ISOBootImageReader::IsBootImageValid() const {
  if (!bootRecord || !validationEntry || !initialEntry) return false;
  const std::uint8_t* record = bootRecord.get();
  if (record[0] != 0 || record[6] != 1) return false;
  if (std::memcmp(record + 1, kStandardIdentifier, 5) != 0) return false;
  if (std::memcmp(record + boot_record::boot_system_identifier, kElToritoIdentifier, 23) != 0) {
    return false;
  }
  // The checksum is not verified: images in the wild get it wrong and the
  // firmware that matters does not care.
  const std::uint8_t* validation = validationEntry->bytes;
  if (validation[0] != kHeaderId || validation[30] != kKeyByte1 || validation[31] != kKeyByte2) {
    return false;
  }
  return initialEntry->bytes[0] == kBootable;
}

int ISOBootImageReader::ExtractBootImage(const std::string& localPath) {
  std::cout << "extract boot image ..." << std::endl;
  try {
    std::ofstream out;
    out.open(localPath, std::ios::out | std::ios::binary | std::ios::trunc);
    if (!out.is_open()) {
      throw std::runtime_error("cannot open " + localPath +
                               " for writing: " + std::strerror(errno));
    }
    out.exceptions(std::ios::failbit | std::ios::badbit);
    if (!bootImage) {
      std::cout << "extract boot image failed - image hasn't been loaded" << std::endl;
      return 1;
    }
    try {
      for (std::uint32_t i = 0; i < sectorCount; ++i) {
        out.write(reinterpret_cast<const char*>(bootImage.get()) +
                      static_cast<std::size_t>(i) * virtualSectorSize,
                  virtualSectorSize);
      }
      out.close();
    } catch (const std::ios_base::failure&) {
      throw std::runtime_error("cannot write " + localPath + ": " + std::strerror(errno));
    }
  } catch (const std::exception& e) {
    std::cout << "extract boot image failed - IO exception: " << e.what() << std::endl;
    return 1;
  }
  std::cout << "extract boot image succeeded" << std::endl;
  return 0;
}
