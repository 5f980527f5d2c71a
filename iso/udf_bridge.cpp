// Volume recognition sequence (ECMA-167 2/9): after the ISO 9660 set
// terminator, 2048-byte descriptors "BEA01", "NSR02" or "NSR03", "TEA01"
// (standard identifier at byte 1). Anchor volume descriptor pointer
// (ECMA-167 3/10.2): descriptor tag identifier 2 at byte 0, the tag's own
// sector number at byte 12.
#include "iso/udf_bridge.h"

#include <cstring>
#include <exception>

#include "common/byte_order.h"
#include "iso/iso_structures.h"

namespace {

constexpr std::uint32_t kScanSectors = 64;
constexpr std::uint16_t kAnchorTag = 2;
constexpr std::uint32_t kFirstAnchor = 256;
constexpr std::size_t kTagLocation = 12;
constexpr std::size_t kEscapeSequences = 88;

bool IsStandardIdentifier(const std::uint8_t* sector, const char* identifier) {
  return std::memcmp(sector + descriptor_header::standard_identifier, identifier, 5) == 0;
}

bool IsAnchor(ImageSource& image, std::uint64_t sector) {
  std::uint8_t tag[16];
  image.ReadAt(SectorOffset(sector), tag, sizeof tag);
  return get_le16(tag) == kAnchorTag && get_le32(tag + kTagLocation) == sector;
}

// Scans the descriptors from sector 16: whether a Joliet descriptor comes
// before the terminator, and the extended area after it (its BEA01, NSR and
// TEA01 descriptors: readers that find a BEA01 look for UDF anchors).
// Whether there is an NSR descriptor goes to `nsr`.
bool ScanRecognition(ImageSource& image, UdfBridge& bridge, bool& nsr) {
  bool joliet = false;
  bool pastTerminator = false;
  std::uint8_t sector[kBlockSize];
  for (std::uint32_t n = kPrimaryDescriptorSector; n < kPrimaryDescriptorSector + kScanSectors;
       ++n) {
    image.ReadAt(SectorOffset(n), sector, sizeof sector);
    if (!pastTerminator) {
      if (!IsStandardIdentifier(sector, kStandardIdentifier)) break;
      joliet |= sector[0] == kSupplementaryDescriptor &&
                std::memcmp(sector + kEscapeSequences, "%/", 2) == 0;
      pastTerminator = sector[0] == kTerminatorDescriptor;
    } else if (IsStandardIdentifier(sector, "NSR02") || IsStandardIdentifier(sector, "NSR03")) {
      nsr = true;
      bridge.invalidate.push_back({SectorOffset(n), kBlockSize});
    } else if (IsStandardIdentifier(sector, "BEA01") || IsStandardIdentifier(sector, "TEA01")) {
      bridge.invalidate.push_back({SectorOffset(n), kBlockSize});
    } else if (!IsStandardIdentifier(sector, "BOOT2") && !IsStandardIdentifier(sector, "CD001")) {
      break;
    }
  }
  return joliet;
}

}  // namespace

UdfBridge FindUdfBridge(ImageSource& image) {
  UdfBridge bridge;
  bool joliet = false;
  bool nsr = false;
  try {
    joliet = ScanRecognition(image, bridge, nsr);
    const std::uint64_t sectors = image.Size() / kBlockSize;
    if (!nsr || sectors <= kFirstAnchor || !IsAnchor(image, kFirstAnchor)) {
      return UdfBridge();
    }
    std::uint64_t previous = 0;
    for (std::uint64_t anchor : {std::uint64_t{kFirstAnchor}, sectors - 256, sectors - 1}) {
      // In a small volume N-256 can be 256 itself, or lie before it.
      if (anchor < kFirstAnchor || anchor == previous) continue;
      if (anchor == kFirstAnchor || IsAnchor(image, anchor)) {
        bridge.invalidate.push_back({SectorOffset(anchor), kBlockSize});
      }
      previous = anchor;
    }
  } catch (const std::exception&) {
    return UdfBridge();
  }
  bridge.present = true;
  bridge.warning = std::string("the image has a UDF file system, which the run does not update; "
                               "it is invalidated so that it cannot show the old files, and "
                               "Windows now reads the image's ") +
                   (joliet ? "Joliet names (ISO 9660 names where it has none)"
                           : "ISO 9660 names (8.3 names where the image has nothing longer)");
  return bridge;
}
