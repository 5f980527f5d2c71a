// El Torito boot image: boot record in sector 17, catalog validation and
// initial/default entries, and the no-emulation boot image they point at.
#include "iso/iso_boot_image_reader.h"

#include <cstring>
#include <iostream>
#include <memory>
#include <stdexcept>

#include "common/console.h"
#include "iso/local_output.h"

ISOBootImageReader::ISOBootImageReader(ImageOrigin image) : image(std::move(image)) {}

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
  try {
    ReadCatalogAndImage(*image.Open());
  } catch (const std::exception& e) {
    FailureLine(std::string("load boot image failed, IO exception: ") + e.what());
    Release();
    return 1;
  }
  if (IsBootImageValid()) {
    std::cout << "load boot image succeeded" << std::endl;
    return 0;
  }
  FailureLine("load boot image failed - invalid boot CD");
  Release();
  return 1;
}

void ISOBootImageReader::ReadCatalogAndImage(ImageSource& source) {
  // Everything is read first and checked afterwards.
  bootRecord.reset(new std::uint8_t[kBlockSize]);
  source.ReadAt(SectorOffset(kBootRecordSector), bootRecord.get(), kBlockSize);

  const std::uint64_t catalog =
      SectorOffset(get_le32(bootRecord.get() + boot_record::boot_catalog_sector));
  validationEntry.reset(new ValidationEntry());
  initialEntry.reset(new InitialEntry());
  source.ReadAt(catalog, validationEntry->bytes, sizeof validationEntry->bytes);
  source.ReadAt(catalog + sizeof(ValidationEntry), initialEntry->bytes, sizeof initialEntry->bytes);

  sectorCount = get_le16(initialEntry->bytes + initial_entry::sector_count);
  const std::size_t imageSize = std::size_t{kVirtualSectorSize} * sectorCount;
  bootImage.reset(new std::uint8_t[imageSize]);
  source.ReadAt(SectorOffset(get_le32(initialEntry->bytes + initial_entry::load_rba)),
                bootImage.get(), imageSize);
}

bool ISOBootImageReader::IsBootImageValid() const {
  if (!bootRecord || !validationEntry || !initialEntry) return false;
  const std::uint8_t* record = bootRecord.get();
  if (!HasDescriptorHeader(record, kBootRecordDescriptor)) return false;
  if (std::memcmp(record + boot_record::boot_system_identifier, kElToritoIdentifier,
                  sizeof kElToritoIdentifier - 1) != 0) {
    return false;
  }
  // The checksum is not verified: images in the wild get it wrong and the
  // firmware that matters does not care.
  using namespace validation_entry;
  const std::uint8_t* validation = validationEntry->bytes;
  if (validation[header_id] != kHeaderId || validation[key_byte_1] != kKeyByte1 ||
      validation[key_byte_2] != kKeyByte2) {
    return false;
  }
  return initialEntry->bytes[initial_entry::boot_indicator] == initial_entry::kBootable;
}

int ISOBootImageReader::ExtractBootImage(const std::string& localPath) {
  std::cout << "extract boot image ..." << std::endl;
  try {
    LocalOutputFile out(localPath);
    if (!bootImage) {
      FailureLine("extract boot image failed - image hasn't been loaded");
      return 1;
    }
    for (std::uint32_t i = 0; i < sectorCount; ++i) {
      out.Write(bootImage.get() + std::size_t{i} * kVirtualSectorSize, kVirtualSectorSize);
    }
    out.Close();
  } catch (const std::exception& e) {
    FailureLine(std::string("extract boot image failed - IO exception: ") + e.what());
    return 1;
  }
  std::cout << "extract boot image succeeded" << std::endl;
  return 0;
}
