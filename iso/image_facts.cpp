#include "iso/image_facts.h"

#include <algorithm>
#include <vector>

#include "iso/udf_bridge.h"

#include <cstring>
#include <exception>

#include "iso/directory_extent.h"

namespace {

// Real images have a handful of descriptors; a damaged one must not make the
// scan read on through the whole image.
constexpr std::uint32_t kMaxDescriptorSectors = 64;
constexpr std::uint32_t kFirstDescriptorAfterPrimary = kPrimaryDescriptorSector + 1;

bool IsJolietEscape(const std::uint8_t* escapes) {
  return escapes[0] == '%' && escapes[1] == '/' &&
         (escapes[2] == '@' || escapes[2] == 'C' || escapes[2] == 'E');
}

// Each SUSP entry: signature (2), length (1), version (1), data.
bool HasRockRidgeSignature(const std::uint8_t* area, std::size_t size) {
  std::size_t at = 0;
  while (at + 4 <= size) {
    const std::uint8_t length = area[at + 2];
    if (length < 4 || at + length > size) return false;
    for (const char* signature : {"SP", "RR", "PX", "NM"}) {
      if (std::memcmp(area + at, signature, 2) == 0) return true;
    }
    at += length;
  }
  return false;
}

}  // namespace

bool NoteVolumeDescriptor(const std::uint8_t* descriptor, std::uint32_t sector,
                          ImageFacts& facts) {
  if (std::memcmp(descriptor + descriptor_header::standard_identifier, kStandardIdentifier,
                  kStandardIdentifierLength) != 0) {
    return false;
  }
  const std::uint8_t type = descriptor[descriptor_header::type];
  const std::uint8_t version = descriptor[descriptor_header::version];
  if (type == kTerminatorDescriptor) return false;
  if (type == kBootRecordDescriptor) facts.hasBootRecord = true;
  if (type != kSupplementaryDescriptor) return true;
  if (version == svd::kEnhancedVersion) {
    facts.hasEnhancedDescriptor = true;
  } else if (version == svd::kJolietVersion && facts.jolietDescriptorSector == 0 &&
             IsJolietEscape(descriptor + svd::escape_sequences)) {
    facts.jolietDescriptorSector = sector;
    facts.jolietRootExtent =
        get_le32(descriptor + pvd::root_directory_record + dir_record::extent);
  }
  return true;
}

bool HasRockRidgeEntries(const RawDirectoryRecord& record) {
  const std::size_t systemUse = DirectoryRecordLength(record.identifier_length());
  if (record.length() <= systemUse) return false;
  return HasRockRidgeSignature(record.bytes() + systemUse, record.length() - systemUse);
}

ImageFacts ReadImageFacts(ImageSource& image, std::uint32_t rootExtent) {
  ImageFacts facts;
  try {
    std::uint8_t descriptor[kBlockSize];
    for (std::uint32_t sector = kFirstDescriptorAfterPrimary;
         sector < kPrimaryDescriptorSector + kMaxDescriptorSectors; ++sector) {
      image.ReadAt(SectorOffset(sector), descriptor, sizeof descriptor);
      if (!NoteVolumeDescriptor(descriptor, sector, facts)) break;
    }
  } catch (const std::exception&) {
    // An image that ends inside its descriptor set: what was seen stands.
  }
  try {
    DirectoryExtent root(image, rootExtent);
    RawDirectoryRecord self;
    facts.hasRockRidge = root.Next(self) && HasRockRidgeEntries(self);
  } catch (const std::exception&) {
    // The root loaded a moment ago; should it not read now, there is no
    // Rock Ridge to speak of.
  }
  try {
    std::vector<std::uint8_t> area(SectorOffset(kPrimaryDescriptorSector));
    image.ReadAt(0, area.data(), area.size());
    facts.hasSystemArea =
        std::any_of(area.begin(), area.end(), [](std::uint8_t b) { return b != 0; });
  } catch (const std::exception&) {
  }
  facts.hasUdf = FindUdfBridge(image).present;
  return facts;
}
