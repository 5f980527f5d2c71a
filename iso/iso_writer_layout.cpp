// Tree building and layout of the ISO writer: a tree is built from a local
// directory, directories are numbered breadth-first for the path tables, and
// every directory record, directory extent and file extent gets its sector
// before a single byte is written. Nothing here does image I/O.
//
// Extents assigned here are relative: directory extents count from the start
// of the directory area, file extents from the start of the file area
// (see ComputeSectorLayout for where the areas begin).
#include <algorithm>
#include <cstdint>
#include <deque>
#include <functional>
#include <iostream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <boost/filesystem.hpp>

#include "common/console.h"
#include "common/directory_listing.h"
#include "iso/image_path.h"
#include "iso/iso_writer.h"
#include "iso/joliet_tree.h"

namespace fs = boost::filesystem;

namespace {

// Largest file a 32-bit data length can describe.
constexpr std::uint64_t kMaxFileSize = 0xFFFFFFFFull;

DirectoryRecord* MakeDotNode(const std::string& name, const std::string& parentPath) {
  auto* node = new DirectoryRecord;
  node->type = kTypeDirectory;
  node->size = 0;
  node->parentPath = parentPath;
  node->name = name;
  node->identifier = name;
  return node;
}

}  // namespace

SectorLayout ComputeSectorLayout(std::uint32_t pathTableSize, std::uint32_t directorySectors,
                                 std::uint32_t fileSectors, bool hasBootImage,
                                 std::uint64_t bootImageBytes,
                                 std::uint32_t jolietPathTableSize) {
  // One more than the quotient: a table of exactly one block still gets a
  // spare sector, which readers do not mind.
  const auto tableSectors = [](std::uint32_t bytes) { return bytes / kBlockSize + 1; };
  SectorLayout layout;
  layout.hasBootImage = hasBootImage;
  layout.hasJoliet = jolietPathTableSize != 0;
  layout.primaryVolumeDescriptor = 16;
  std::uint32_t next = 17;
  layout.bootRecord = hasBootImage ? next++ : 0;
  layout.jolietVolumeDescriptor = layout.hasJoliet ? next++ : 0;
  layout.terminator = next++;
  layout.bootCatalog = hasBootImage ? next++ : 0;

  layout.pathTableSectors = tableSectors(pathTableSize);
  layout.typeLPathTable = next;
  layout.typeMPathTable = next + layout.pathTableSectors;
  next += 2 * layout.pathTableSectors;
  if (layout.hasJoliet) {
    layout.jolietPathTableSectors = tableSectors(jolietPathTableSize);
    layout.jolietTypeLPathTable = next;
    layout.jolietTypeMPathTable = next + layout.jolietPathTableSectors;
    next += 2 * layout.jolietPathTableSectors;
  }
  layout.directoryAreaStart = next;

  layout.bootImageSectors =
      hasBootImage ? static_cast<std::uint32_t>((bootImageBytes + kBlockSize - 1) / kBlockSize)
                   : 0;
  layout.bootImageStart = hasBootImage ? layout.directoryAreaStart + directorySectors : 0;
  layout.fileAreaStart = layout.directoryAreaStart + directorySectors + layout.bootImageSectors;
  layout.totalSectors = layout.fileAreaStart + fileSectors;
  return layout;
}

DirectoryRecord* ISOWriter::LoadLocalDirectory(const std::string& localDirectory) {
  return LoadLocalDirectoryTree(localDirectory);
}

DirectoryRecord* ISOWriter::LoadLocalDirectoryTree(const std::string& localDirectory,
                                                   std::size_t depth) {
  DirectoryRecord* first = nullptr;
  DirectoryRecord* last = nullptr;
  try {
    // The reader refuses deeper trees, and every image written must read.
    if (!WithinDirectoryDepth(depth)) {
      throw std::runtime_error("directory more than " + std::to_string(kMaxDirectoryDepth) +
                               " levels below the image root: " + localDirectory);
    }
    // Listings are taken in byte-wise name order so that the same inputs
    // always give the same image, whatever order the file system keeps.
    for (const fs::path& entry : SortedDirectoryEntries(localDirectory)) {
      const std::string name = entry.filename().string();
      image_path::CheckNewName(name);
      auto* node = new DirectoryRecord;
      node->parentPath = localDirectory;
      node->name = name;
      node->identifier = name;
      node->fromImage = 0;
      if (last) {
        last->next = node;
      } else {
        first = node;
      }
      last = node;

      if (fs::is_directory(entry)) {
        node->type = kTypeDirectory;
        node->child =
            LoadLocalDirectoryTree((fs::path(localDirectory) / name).string(), depth + 1);
        if (!node->child) throw std::runtime_error("load local directory information failed");
      } else {
        node->type = kTypeFile;
        const std::uint64_t size = fs::file_size(entry);
        if (size > kMaxFileSize) {
          throw std::runtime_error("file too large for ISO 9660 (4 GiB or more): " +
                                   entry.string());
        }
        node->size = static_cast<std::uint32_t>(size);
        totalBytes += size;
      }
    }

    DirectoryRecord* self = MakeDotNode(".", localDirectory);
    DirectoryRecord* parent = MakeDotNode("..", localDirectory);
    self->next = parent;
    parent->next = first;
    return self;
  } catch (const std::exception& e) {
    FreeRecordList(first);
    FailureLine(e.what());
    return nullptr;
  }
}

std::uint64_t TreeFileBytes(const DirectoryRecord* list) {
  std::uint64_t bytes = 0;
  for (const DirectoryRecord* node = list; node; node = node->next) {
    if (node->type == kTypeFile) bytes += node->size;
    if (node->type == kTypeDirectory && !IsDotName(node->name)) bytes += TreeFileBytes(node->child);
  }
  return bytes;
}

namespace {

void CopyRecordingDate(DirectoryRecord& to, const DirectoryRecord& from) {
  to.recordingDate = from.recordingDate;
  to.hasRecordingDate = from.hasRecordingDate;
}

// `self` is the node whose date the list's "." takes, `parent` the one its
// ".." takes.
void DateDotNodes(DirectoryRecord* list, const DirectoryRecord& self,
                  const DirectoryRecord& parent) {
  for (DirectoryRecord* node = list; node; node = node->next) {
    if (node->name == ".") {
      if (node != &self) CopyRecordingDate(*node, self);
    } else if (node->name == "..") {
      CopyRecordingDate(*node, parent);
    } else if (node->type == kTypeDirectory) {
      DateDotNodes(node->child, *node, self);
    }
  }
}

}  // namespace

void DateSelfAndParentRecords(DirectoryRecord* rootList) {
  if (rootList) DateDotNodes(rootList, *rootList, *rootList);
}

void ForEachDirectoryBreadthFirst(
    DirectoryRecord* rootList,
    const std::function<void(const DirectoryRecord* list, DirectoryRecord* directory)>& visit) {
  std::deque<DirectoryRecord*> queue;
  if (rootList) queue.push_back(rootList);
  while (!queue.empty()) {
    DirectoryRecord* list = queue.front();
    queue.pop_front();
    for (DirectoryRecord* node = list; node; node = node->next) {
      if (node->type == kTypeDirectory && !IsDotName(node->name)) visit(list, node);
    }
    for (DirectoryRecord* node = list; node; node = node->next) {
      if (node->type == kTypeDirectory && !IsDotName(node->name) && node->child) {
        queue.push_back(node->child);
      }
    }
  }
}

std::uint32_t ISOWriter::ComputePathTableSize(DirectoryRecord* rootList) {
  directoryCount = 1;
  // The root's own record: one identifier byte and a pad byte.
  const std::uint32_t rootRecordLength = PathTableRecordLength(1);
  if (!rootList) return rootRecordLength;
  // A list's head carries the number of the directory the list belongs to.
  rootList->parentNumber = 1;
  std::uint32_t bytes = rootRecordLength;
  ForEachDirectoryBreadthFirst(rootList, [&](const DirectoryRecord* list, DirectoryRecord* node) {
    ++directoryCount;
    node->directoryNumber = static_cast<std::uint16_t>(directoryCount);
    node->parentNumber = list->parentNumber;
    if (node->child) node->child->parentNumber = node->directoryNumber;
    bytes += PathTableRecordLength(node->identifier.size());
  });
  return bytes;
}

std::uint32_t ISOWriter::LayOutDirectory(const std::uint32_t* parentSize,
                                         const std::uint32_t* parentExtent, DirectoryRecord* list,
                                         std::uint32_t& directoryCounter,
                                         std::uint32_t& fileCounter) {
  const std::uint32_t block = kBlockSize;
  const std::uint32_t start = directoryCounter;
  std::uint32_t offset = 0;

  // First pass: where each record goes (records never cross a block), and
  // the data sectors of the files.
  for (DirectoryRecord* node = list; node; node = node->next) {
    node->recordLength =
        IsDotName(node->name) ? dir_record::self_record_length
                              : DirectoryRecordLength(node->identifier.size());
    // A file of several extents has a record for each, one after the
    // other; they are kept in one block.
    if (node->type == kTypeFile) node->recordLength *= ExtentCount(node->size);
    if (node->recordLength > block) {
      throw std::runtime_error("cannot write " + node->identifier + ": its " +
                               std::to_string(ExtentCount(node->size)) +
                               " extents need more records than one directory block holds");
    }
    if (offset + node->recordLength <= block) {
      node->recordSector = directoryCounter;
      node->recordOffset = offset;
      offset += node->recordLength;
    } else {
      ++directoryCounter;
      node->recordSector = directoryCounter;
      node->recordOffset = 0;
      offset = node->recordLength;
    }
    if (node->type == kTypeFile) {
      node->extent = node->size > 0 ? fileCounter : 0;
      fileCounter += static_cast<std::uint32_t>((std::uint64_t{node->size} + block - 1) / block);
    }
  }

  // The data length counts the bytes used in the last block, not the whole
  // block; the next directory still begins in a fresh sector.
  const std::uint32_t dirSize = block * (directoryCounter - start) + offset;
  ++directoryCounter;

  // Second pass: self and parent records, then subdirectories depth-first.
  for (DirectoryRecord* node = list; node; node = node->next) {
    if (node->name == ".") {
      node->extent = start;
      node->size = dirSize;
    } else if (node->name == "..") {
      if (parentSize && parentExtent) {
        node->extent = *parentExtent;
        node->size = *parentSize;
      } else {
        // The root is its own parent.
        node->extent = start;
        node->size = dirSize;
      }
    } else if (node->type == kTypeDirectory) {
      node->extent = directoryCounter;
      node->size =
          LayOutDirectory(&dirSize, &start, node->child, directoryCounter, fileCounter);
    }
  }
  return dirSize;
}

DirectoryRecord* ISOWriter::LayOutJoliet(std::uint32_t& directorySectors,
                                         std::uint32_t fileSectors,
                                         std::uint32_t& pathTableSize) {
  DirectoryRecord* joliet = BuildJolietHierarchy(root);
  pathTableSize = ComputePathTableSize(joliet);
  // The same lists in the same order give the same file extents; only the
  // directory sectors are new.
  std::uint32_t jolietFileSectors = 0;
  LayOutDirectory(nullptr, nullptr, joliet, directorySectors, jolietFileSectors);
  if (jolietFileSectors != fileSectors) {
    FreeRecordList(joliet);
    throw std::logic_error("the Joliet hierarchy does not match the tree it mirrors");
  }
  return joliet;
}
