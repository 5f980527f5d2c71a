// The modifier: one tree shared by its reader side (which loads the source
// image) and its writer side (which packs it). Additions put nodes built from
// local files into that tree; untouched files keep `fromImage` set and are
// copied from the source image when the tree is packed.
#include "iso/iso_modifier.h"

#include "common/console.h"
#include "iso/boot_catalog.h"
#include "iso/image_path.h"
#include "iso/joliet_names.h"
#include "iso/joliet_tree.h"
#include "platform/file_kind.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <optional>
#include <functional>
#include <iostream>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

#include <boost/filesystem.hpp>

namespace fs = boost::filesystem;

namespace {

// Where an addition goes and where its source lies.
struct AdditionPaths {
  std::vector<std::string> imageParent;  // names of the image directory, none = root
  std::string imageName;                 // identifier the entry gets in the image
  std::string localPath;                 // the source, without trailing "/"
  std::string localDirectory;            // local directory holding the source
  std::string localName;                 // the source's local name
};

AdditionPaths SplitPaths(const std::string& localPath, const std::string& imagePath) {
  AdditionPaths paths;
  // Trailing separators go first, so "\PROGRAMS\" names the entry PROGRAMS
  // in the root.
  paths.imageParent = image_path::Split(imagePath);
  if (paths.imageParent.empty()) {
    throw std::runtime_error("no entry name in image path: " + imagePath);
  }
  paths.imageName = paths.imageParent.back();
  paths.imageParent.pop_back();
  image_path::CheckNewName(paths.imageName);

  // Either separator may end a local path (C:\extras\ on Windows).
  paths.localPath = image_path::TrimTrailing(localPath);
  if (paths.localPath.empty()) paths.localPath = localPath.substr(0, 1);
  const fs::path source(paths.localPath);
  paths.localDirectory = source.parent_path().string();
  paths.localName = source.filename().string();
  return paths;
}

// Takes the node out of its list and keeps it in `removed` (its source
// sectors still count when the pack places the boot images).
void RemoveEntry(DirectoryRecord* previous, DirectoryRecord* node, DirectoryRecord*& removed) {
  previous->next = node->next;
  node->next = removed;
  removed = node;
}

// Links the node in after "." and ".." and before the first entry whose
// identifier is not less than the new one (case-sensitive, byte-wise).
void InsertSorted(DirectoryRecord* list, DirectoryRecord* node) {
  DirectoryRecord* before = list;
  while (before->next && IsDotName(before->next->name)) before = before->next;
  while (before->next && before->next->identifier < node->identifier) before = before->next;
  node->next = before->next;
  before->next = node;
}

// Where an addition goes in the loaded tree: the list of its parent
// directory, and the entry of the same name (if any) with its predecessor.
struct AdditionSlot {
  AdditionPaths paths;
  DirectoryRecord* list = nullptr;
  DirectoryRecord* previous = nullptr;
  DirectoryRecord* existing = nullptr;
};

// False when the image does not load, the parent directory is missing, or
// the name is taken and may not be replaced. Throws on a malformed path.
// Names are compared as for the same entry: with case and version ignored.
bool FindAdditionSlot(ISOReader& image, const std::string& localPath,
                      const std::string& targetPath, bool replace, AdditionSlot& slot) {
  slot.paths = SplitPaths(localPath, targetPath);
  if (image.LoadImage() != 0) return false;
  slot.list = image.SameEntryDirectory(slot.paths.imageParent);
  if (!slot.list || slot.list->name != ".") return false;
  slot.existing = ISOReader::FindInList(slot.list, slot.paths.imageName,
                                        ISOReader::NameMatch::SameEntry, &slot.previous);
  return !slot.existing || replace;
}

// Puts a new node for the added entry in place of the existing one (if
// any), keeping the list sorted. An entry of the same type keeps the
// identifier recorded in the image ("WINBOM.INI;1" stays so). Called only
// once everything that can fail is done.
void PlaceNewEntry(const AdditionSlot& slot, std::uint32_t type, std::uint32_t size,
                   DirectoryRecord* contents, DirectoryRecord*& removed) {
  const bool sameType = slot.existing && slot.existing->type == type;
  auto* node = new DirectoryRecord;
  node->identifier = sameType ? slot.existing->identifier : slot.paths.imageName;
  // ... and its name in the Joliet tree, as Windows shows it.
  if (sameType) node->jolietIdentifier = KeptJolietName(*slot.existing);
  if (slot.existing) RemoveEntry(slot.previous, slot.existing, removed);
  node->parentPath = slot.paths.localDirectory;
  node->name = slot.paths.localName;
  node->type = type;
  node->size = size;
  node->child = contents;
  node->fromImage = 0;
  InsertSorted(slot.list, node);
}

// Copies the identification of the source's volume descriptor at `sector`
// (volume, volume set, publisher, data preparer and application
// identifiers, and for a supplementary one its escape sequences) over a
// descriptor the writer made.
void CarryIdentification(const ImageOrigin& image, std::uint32_t sector, bool withEscapes,
                         std::uint8_t* buffer) {
  std::vector<std::uint8_t> source(kBlockSize);
  image.Open()->ReadAt(SectorOffset(sector), source.data(), kBlockSize);
  const auto carry = [&](std::size_t field, std::size_t length) {
    std::memcpy(buffer + field, source.data() + field, length);
  };
  carry(pvd::volume_identifier, pvd::volume_identifier_length);
  for (std::size_t field : {pvd::volume_set_identifier, pvd::publisher_identifier,
                            pvd::data_preparer_identifier, pvd::application_identifier}) {
    carry(field, pvd::long_identifier_length);
  }
  if (withEscapes) carry(svd::escape_sequences, svd::escape_sequences_length);
}

// When the new image carries a Joliet tree, the names an addition brings
// into it must fit there: its own name (unless it keeps the replaced
// entry's) and every name in the added directory. Throws naming the first
// that does not.
void CheckJolietNamesOfAddition(bool withJoliet, const AdditionSlot& slot, std::uint32_t type,
                                const DirectoryRecord* contents) {
  if (!withJoliet) return;
  if (!slot.existing || slot.existing->type != type) JolietNameFromUtf8(slot.paths.imageName);
  CheckJolietNames(contents);
}

}  // namespace

ISOModifier::ISOModifier(const ImageOrigin& image) : ISOReader(image), ISOWriter("", image) {}

ISOModifier::~ISOModifier() { FreeRecordList(replacedEntries); }

int ISOModifier::Unpack(const std::string&) { return 0; }

int ISOModifier::RetrieveFile(const std::string&, const std::string&) { return 0; }

int ISOModifier::RetrieveDir(const std::string&, const std::string&) { return 0; }

bool ISOModifier::FileExists(const std::string&) { return true; }

bool ISOModifier::DirectoryExists(const std::string&) { return true; }

int ISOModifier::AddSingleFile(const std::string& localPath, const std::string& targetPath,
                               bool replace) {
  try {
    AdditionSlot slot;
    if (!FindAdditionSlot(*this, localPath, targetPath, replace, slot)) return 1;

    // The size is read before anything is removed, so a failure leaves the
    // tree as it was.
    const std::uint64_t size =
        fs::file_size(fs::path(slot.paths.localDirectory) / slot.paths.localName);
    if (size > 0xFFFFFFFFull) {
      throw std::runtime_error("file too large for ISO 9660 (4 GiB or more): " + localPath);
    }
    CheckJolietNamesOfAddition(Facts().HasJoliet(), slot, kTypeFile, nullptr);
    PlaceNewEntry(slot, kTypeFile, static_cast<std::uint32_t>(size), nullptr, replacedEntries);
    return 0;
  } catch (const std::exception& e) {
    FailureLine(std::string("ISOModifier AddSingleFile exception: ") + e.what());
    return 1;
  }
}

std::string ISOModifier::AddedEntryName(const std::string& imagePath) {
  if (SameEntryType(imagePath) == 0) return "";  // loads the tree
  std::vector<std::string> names = image_path::Split(imagePath);
  const std::string leaf = names.back();
  names.pop_back();
  const DirectoryRecord* entry =
      FindInList(SameEntryDirectory(names), leaf, NameMatch::SameEntry);
  return entry != nullptr && !entry->fromImage ? image_path::BaseName(entry->identifier) : "";
}

int ISOModifier::AddSingleDirectory(const std::string& localPath, const std::string& targetPath,
                                    bool replace) {
  try {
    AdditionSlot slot;
    if (!FindAdditionSlot(*this, localPath, targetPath, replace, slot)) return 1;

    // The local subtree is built before the old entry goes, so a failure
    // leaves the tree as it was and never holds a directory without a list.
    DirectoryRecord* contents =
        LoadLocalDirectoryTree(slot.paths.localPath, slot.paths.imageParent.size() + 1);
    if (!contents) return 1;
    try {
      CheckJolietNamesOfAddition(Facts().HasJoliet(), slot, kTypeDirectory, contents);
    } catch (...) {
      FreeRecordList(contents);
      throw;
    }
    PlaceNewEntry(slot, kTypeDirectory, 0, contents, replacedEntries);
    return 0;
  } catch (const std::exception& e) {
    FailureLine(std::string("ISOModifier AddSingleDirectory exception: ") + e.what());
    return 1;
  }
}

namespace {

// Runs `make`; prints "ISOModifier OPERATION exception: " and the text of
// what it throws, and returns 1 then.
int Reported(const char* operation, const std::function<void()>& make) {
  try {
    make();
    return 0;
  } catch (const std::exception& e) {
    FailureLine(std::string("ISOModifier ") + operation + " exception: " + e.what());
    return 1;
  }
}

}  // namespace

int ISOModifier::CreateNewPVD(std::uint32_t volumeSpaceSize, std::uint32_t pathTableSize,
                              std::uint32_t typeLSector, std::uint32_t typeMSector,
                              const RawDirectoryRecord& rootRecord, std::uint8_t* buffer) {
  // The writer's descriptor, with the identification of the source volume
  // carried over unchanged.
  return Reported("CreateNewPVD", [&] {
    ISOWriter::CreatePrimaryVolumeDescriptor(volumeSpaceSize, pathTableSize, typeLSector,
                                             typeMSector, rootRecord, buffer);
    CarryIdentification(image, kPrimaryDescriptorSector, false, buffer);
  });
}

int ISOModifier::CreateJolietVolumeDescriptor(std::uint32_t volumeSpaceSize,
                                              std::uint32_t pathTableSize,
                                              std::uint32_t typeLSector,
                                              std::uint32_t typeMSector,
                                              const RawDirectoryRecord& rootRecord,
                                              std::uint8_t* buffer) {
  return Reported("CreateJolietVolumeDescriptor", [&] {
    ISOWriter::CreateJolietVolumeDescriptor(volumeSpaceSize, pathTableSize, typeLSector,
                                            typeMSector, rootRecord, buffer);
    CarryIdentification(image, Facts().jolietDescriptorSector, true, buffer);
  });
}

namespace {

// Where the structures of the source image begin, and which file of the
// source tree starts at each sector.
struct SourceMap {
  std::vector<std::uint32_t> starts;
  std::map<std::uint32_t, const DirectoryRecord*> files;
};

void MapTree(const DirectoryRecord* list, SourceMap& map) {
  for (const DirectoryRecord* node = list; node; node = node->next) {
    if (!node->fromImage || IsDotName(node->name)) continue;
    if (node->type == kTypeDirectory) {
      map.starts.push_back(node->sourceExtent);
      MapTree(node->child, map);
    } else if (node->sourceSize > 0) {
      for (const DataExtent& piece : SourceExtents(*node)) map.starts.push_back(piece.extent);
      map.files.emplace(node->sourceExtent, node);
    }
  }
}

// The first structure after `sector`: the hidden boot image there ends
// before it.
std::uint32_t NextStructure(const std::vector<std::uint32_t>& sortedStarts,
                            std::uint32_t sector) {
  const auto next = std::upper_bound(sortedStarts.begin(), sortedStarts.end(), sector);
  return next == sortedStarts.end() ? sector : *next;
}

// How many bytes of the source the copy of an entry's boot image takes: a
// file of the source tree whole, else as much as the image's own structure
// or the gap before the next structure tells; never less than the sectors
// the entry loads.
std::uint64_t BootImageBytes(ImageSource& source, const CatalogBootEntry& entry,
                             const SourceMap& map) {
  const auto file = map.files.find(entry.loadRba);
  if (file == map.files.end()) {
    return HiddenBootImageBytes(source, entry, NextStructure(map.starts, entry.loadRba));
  }
  return std::max<std::uint64_t>(file->second->sourceSize,
                                 std::uint64_t{entry.sectorCount} * kVirtualSectorSize);
}

// Every entry of the source's catalog, each boot image copied into the boot
// image area: the default entry's first, where an image with one entry has
// always had it, then the others' in catalog order, one copy per image.
// `replaced` holds the entries the run took out of the tree: their sectors
// still end a hidden boot image.
std::optional<CarriedBootCatalog> CarryBootCatalog(ImageSource& source,
                                                   const DirectoryRecord* root,
                                                   const DirectoryRecord* replaced,
                                                   const ImageFacts& facts) {
  const SourceBootCatalog catalog = ReadSourceBootCatalog(source);
  if (catalog.records.empty()) return std::nullopt;
  SourceMap map;
  MapTree(root, map);
  MapTree(replaced, map);
  map.starts.push_back(root->sourceExtent);
  map.starts.push_back(catalog.sector);
  if (facts.HasJoliet()) map.starts.push_back(facts.jolietRootExtent);
  std::uint8_t primary[kBlockSize];
  source.ReadAt(kPrimaryVolumeDescriptorOffset, primary, sizeof primary);
  map.starts.push_back(get_le32(primary + pvd::volume_space_size));
  map.starts.push_back(static_cast<std::uint32_t>(source.Size() / kBlockSize));
  for (const CatalogBootEntry& entry : catalog.entries) map.starts.push_back(entry.loadRba);
  std::sort(map.starts.begin(), map.starts.end());

  CarriedBootCatalog carried;
  carried.records = catalog.records;
  // Entries that share an image share its copy, as long as the longest
  // of them needs.
  std::map<std::uint32_t, std::uint64_t> bytesAt;
  for (const CatalogBootEntry& entry : catalog.entries) {
    if (entry.loadRba == 0) continue;
    std::uint64_t& bytes = bytesAt[entry.loadRba];
    bytes = std::max(bytes, BootImageBytes(source, entry, map));
  }
  std::map<std::uint32_t, std::uint32_t> copiedAt;  // source sector -> area sector
  for (const CatalogBootEntry& entry : catalog.entries) {
    // An entry without an image (RBA 0) stays as recorded.
    if (entry.loadRba == 0) continue;
    CarriedBootImage image;
    image.recordOffset = entry.recordOffset;
    image.bootInfoTable = entry.bootInfoTable;
    image.sourceOffset = SectorOffset(entry.loadRba);
    image.bytes = bytesAt[entry.loadRba];
    const auto copy = copiedAt.emplace(entry.loadRba, carried.areaSectors);
    image.areaSector = copy.first->second;
    if (copy.second) {
      carried.areaSectors += static_cast<std::uint32_t>((image.bytes + kBlockSize - 1) / kBlockSize);
    }
    carried.images.push_back(image);
  }
  return carried;
}

}  // namespace

bool ISOModifier::PreparePack() {
  if (LoadImage() != 0) return false;
  withJoliet = Facts().HasJoliet();
  carriedCatalog.reset();
  // The keep layout reads only what the run changed; it prepares the
  // compact one only when it has to fall back to it.
  return layout == ImageLayout::Keep || PrepareCompact();
}

bool ISOModifier::PrepareCompact() {
  // The compact layout writes every entry: every list is read.
  if (LoadEverything() != 0) return false;
  if (!Facts().hasBootRecord) return true;
  try {
    carriedCatalog = CarryBootCatalog(*image.Open(), root, replacedEntries, Facts());
  } catch (const std::exception& e) {
    std::cout << "pack ISO image failed, exception: " << e.what() << std::endl;
    return false;
  }
  return true;
}

namespace {

// Files added from the local disk go in as they are when the image is
// written: one that changed while the run waited (at a prompt) is taken
// whole, never cut to the size it had when it was added. Nor may it have
// become something else meanwhile: anything but a regular file, or a way
// out of the directory added (`added`, where that lies; "" above one).
// Throws naming the file.
void TakeAddedFileSizes(DirectoryRecord* list, const std::string& added) {
  for (DirectoryRecord* node = list; node; node = node->next) {
    if (IsDotName(node->name)) continue;
    const std::string local = (fs::path(node->parentPath) / node->name).string();
    if (node->type == kTypeDirectory) {
      const bool outermost = !node->fromImage && added.empty();
      TakeAddedFileSizes(node->child, outermost ? platform::FinalPath(local) : added);
      continue;
    }
    if (node->fromImage) continue;
    std::string final;
    try {
      final = platform::FinalPath(local);
    } catch (const std::system_error&) {
      throw std::runtime_error("cannot add " + local + ": it no longer exists");
    }
    if (!added.empty() && !platform::LiesWithin(final, added)) {
      throw std::runtime_error("cannot add " + local + ": it leads to " + final + " now, outside " +
                               added);
    }
    if (platform::KindOf(final) != platform::FileKind::Regular) {
      throw std::runtime_error("cannot add " + local + ": it is no longer a regular file");
    }
    const std::uint64_t size = fs::file_size(final);
    if (size > 0xFFFFFFFFull) {
      throw std::runtime_error("file too large for ISO 9660 (4 GiB or more): " + local);
    }
    node->size = static_cast<std::uint32_t>(size);
  }
}

}  // namespace

DirectoryRecord* ISOModifier::LoadLocalDirectory(const std::string&) {
  TakeAddedFileSizes(root, "");
  return root;
}

int ISOModifier::CreatePrimaryVolumeDescriptor(std::uint32_t volumeSpaceSize,
                                               std::uint32_t pathTableSize,
                                               std::uint32_t typeLSector,
                                               std::uint32_t typeMSector,
                                               const RawDirectoryRecord& rootRecord,
                                               std::uint8_t* buffer) {
  return CreateNewPVD(volumeSpaceSize, pathTableSize, typeLSector, typeMSector, rootRecord,
                      buffer);
}
