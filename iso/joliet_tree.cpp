#include "iso/joliet_tree.h"

#include <algorithm>
#include <memory>
#include <stdexcept>
#include <unordered_map>
#include <unordered_set>

#include "iso/directory_extent.h"
#include "iso/iso_manipulator.h"
#include "iso/joliet_names.h"

namespace {

// ---- loading ----------------------------------------------------------------

// The entries of `directory`; with a guard, the whole tree below it too,
// each directory visited under the guard.
void ReadJolietDirectory(ImageSource& image, JolietEntry& directory, DirectoryWalkGuard* guard) {
  std::unique_ptr<DirectoryWalkGuard::Visit> visit;
  if (guard) visit = std::make_unique<DirectoryWalkGuard::Visit>(*guard, directory.extent);
  DirectoryExtent records(image, directory.extent);
  RawDirectoryRecord record;
  bool continues = false;  // the last file goes on in the next record
  while (records.Next(record)) {
    const std::uint8_t length = record.identifier_length();
    if (length == 0) continue;
    if ((record.file_flags() & kFlagHidden) != 0) {
      directory.holdsHidden = true;
      continue;
    }
    // The self and parent records (a single 0x00 or 0x01 byte).
    if (length == 1 && record.identifier[0] <= 0x01) continue;
    const std::string identifier(reinterpret_cast<const char*>(record.identifier), length);
    const bool isFile = (record.file_flags() & kFlagDirectory) == 0;
    const bool wasContinued = continues;
    continues = isFile && (record.file_flags() & kFlagMultiExtent) != 0;
    // A file of several extents is one entry, known by its first extent.
    if (wasContinued && isFile && directory.entries.back().identifier == identifier) continue;
    JolietEntry entry;
    entry.identifier = identifier;
    entry.extent = record.extent();
    entry.size = record.data_length();
    entry.directory = (record.file_flags() & kFlagDirectory) != 0;
    entry.listed = !entry.directory || guard != nullptr;
    if (entry.directory && guard) ReadJolietDirectory(image, entry, guard);
    directory.holdsHidden = directory.holdsHidden || entry.holdsHidden;
    directory.entries.push_back(std::move(entry));
  }
}

// ---- pairing ----------------------------------------------------------------

// A file's data: its extent and size. Empty files are left out of directory
// pairing, as several of them may share one extent.
using FileKey = std::uint64_t;
FileKey KeyOf(std::uint32_t extent, std::uint32_t size) {
  return (std::uint64_t{extent} << 32) | size;
}

// Both trees record a file of several extents alike: the first one
// stands for it.
std::uint32_t FirstExtentSize(const DirectoryRecord& node) {
  return node.sourceExtents.empty() ? static_cast<std::uint32_t>(node.sourceSize)
                                    : node.sourceExtents.front().size;
}

void CollectKeys(const JolietEntry& directory, std::vector<FileKey>& keys) {
  for (const JolietEntry& entry : directory.entries) {
    if (entry.directory) {
      CollectKeys(entry, keys);
    } else if (entry.size > 0) {
      keys.push_back(KeyOf(entry.extent, entry.size));
    }
  }
}

void CollectKeys(const DirectoryRecord* list, std::vector<FileKey>& keys) {
  for (const DirectoryRecord* node = list; node; node = node->next) {
    if (IsDotName(node->name)) continue;
    if (node->type == kTypeDirectory) {
      CollectKeys(node->child, keys);
    } else if (node->sourceSize > 0) {
      keys.push_back(KeyOf(node->sourceExtent, FirstExtentSize(*node)));
    }
  }
}

// The keys of the files nearest below the directory at `extent`, read
// from the image: its own files', else those of the first level below
// that has any. A few dozen directories at most are read; past that, or
// without files, there are none, and names pair the directory.
std::vector<FileKey> NearestKeys(ImageSource& image, std::uint32_t extent) {
  constexpr std::size_t kMostDirectories = 64;
  std::vector<FileKey> keys;
  std::vector<std::uint32_t> level{extent};
  std::unordered_set<std::uint32_t> seen{extent};
  while (!level.empty() && keys.empty() && seen.size() <= kMostDirectories) {
    std::vector<std::uint32_t> below;
    for (std::uint32_t at : level) {
      DirectoryExtent records(image, at);
      bool continues = false;  // the next record goes on with the same file
      for (const std::uint8_t* bytes; (bytes = records.NextBytes()) != nullptr;) {
        const auto& record = AsRecord(bytes);
        const std::uint8_t flags = record.file_flags();
        const bool wasContinued = continues;
        continues = (flags & (kFlagDirectory | kFlagMultiExtent)) == kFlagMultiExtent;
        if (record.identifier_length() == 0 || (flags & kFlagHidden) != 0 || wasContinued ||
            (record.identifier_length() == 1 && record.identifier[0] <= 0x01)) {
          continue;
        }
        if ((flags & kFlagDirectory) != 0) {
          if (seen.insert(record.extent()).second) below.push_back(record.extent());
        } else if (record.data_length() > 0) {
          keys.push_back(KeyOf(record.extent(), record.data_length()));
        }
      }
    }
    level = std::move(below);
  }
  return keys;
}

// One Joliet directory being paired with one primary directory.
class DirectoryPairing {
 public:
  DirectoryPairing(const JolietEntry& joliet, ImageSource* image)
      : joliet_(joliet), image_(image), used_(joliet.entries.size(), false) {
    for (std::size_t i = 0; i < joliet.entries.size(); ++i) {
      const JolietEntry& entry = joliet.entries[i];
      comparable_.push_back(ComparableName(Utf8FromJolietName(entry.identifier)));
      byName_[comparable_.back()].push_back(i);
      if (!entry.directory) {
        filesByKey_[KeyOf(entry.extent, entry.size)].push_back(i);
        continue;
      }
      std::vector<FileKey> keys;
      if (entry.listed) {
        CollectKeys(entry, keys);
      } else if (image_) {
        keys = NearestKeys(*image_, entry.extent);
      }
      for (FileKey key : keys) {
        // A key under two directories (shared data) decides nothing.
        auto inserted = directoryOfKey_.emplace(key, i);
        if (!inserted.second && inserted.first->second != i) inserted.first->second = kNone;
      }
    }
  }

  // The Joliet entry for a primary entry, or null: the one entry with the
  // same data; when several have it, or a directory holds no files, the one
  // of them (of the directories) with the same name. An entry is paired
  // once; the order of the primary entries does not matter.
  const JolietEntry* Pair(const DirectoryRecord& node) {
    const bool directory = node.type == kTypeDirectory;
    std::vector<std::size_t> byData;
    if (directory) {
      const std::size_t i = DirectoryByFiles(node);
      if (i != kNone) byData.push_back(i);
    } else {
      auto it = filesByKey_.find(KeyOf(node.sourceExtent, FirstExtentSize(node)));
      if (it != filesByKey_.end()) byData = it->second;
    }
    if (byData.size() == 1) return Take(byData[0]);
    if (byData.empty() && !directory) return nullptr;

    auto inPool = [&](std::size_t i) {
      return byData.empty() ? joliet_.entries[i].directory
                            : std::find(byData.begin(), byData.end(), i) != byData.end();
    };
    const std::string name = ComparableName(node.identifier);
    std::vector<std::size_t> byName;
    auto it = byName_.find(name);
    if (it != byName_.end()) {
      for (std::size_t i : it->second) {
        if (inPool(i)) byName.push_back(i);
      }
    }
    if (byName.size() == 1) return Take(byName[0]);
    if (!byName.empty()) return nullptr;
    // Mastering tools at their default settings cut ISO 9660 names to 8.3
    // ("EMPTY_DI" for "Empty Dir"): an entry still free whose name the
    // primary one is a cut of.
    std::vector<std::size_t> byCut;
    for (std::size_t i = 0; i < joliet_.entries.size(); ++i) {
      if (!used_[i] && inPool(i) && IsCutOf(name, comparable_[i])) byCut.push_back(i);
    }
    return byCut.size() == 1 ? Take(byCut[0]) : nullptr;
  }

 private:
  static constexpr std::size_t kNone = static_cast<std::size_t>(-1);

  const JolietEntry* Take(std::size_t i) {
    if (used_[i]) return nullptr;  // two names for one entry would clash
    used_[i] = true;
    return &joliet_.entries[i];
  }

  // The Joliet subdirectory that holds the files below a primary one, when
  // exactly one does.
  std::size_t DirectoryByFiles(const DirectoryRecord& node) const {
    std::vector<FileKey> keys;
    if (node.child) {
      CollectKeys(node.child, keys);
    } else if (image_) {
      keys = NearestKeys(*image_, node.sourceExtent);
    }
    std::size_t found = kNone;
    for (FileKey key : keys) {
      auto it = directoryOfKey_.find(key);
      if (it == directoryOfKey_.end() || it->second == kNone) continue;
      if (found != kNone && found != it->second) return kNone;
      found = it->second;
    }
    return found;
  }

  // Whether `cut` is `whole` cut short: its name before the last dot a
  // beginning of whole's, and likewise the extension.
  static bool IsCutOf(const std::string& cut, const std::string& whole) {
    const std::size_t cutDot = std::min(cut.rfind('.'), cut.size());
    const std::size_t wholeDot = std::min(whole.rfind('.'), whole.size());
    const auto begins = [](const std::string& part, const std::string& of) {
      return part.size() <= of.size() && of.compare(0, part.size(), part) == 0;
    };
    return cutDot > 0 && begins(cut.substr(0, cutDot), whole.substr(0, wholeDot)) &&
           begins(cut.substr(cutDot), whole.substr(wholeDot));
  }

  const JolietEntry& joliet_;
  ImageSource* image_;
  std::vector<bool> used_;
  std::vector<std::string> comparable_;  // each entry's name as ComparableName gives it
  std::unordered_map<std::string, std::vector<std::size_t>> byName_;
  std::unordered_map<FileKey, std::vector<std::size_t>> filesByKey_;
  std::unordered_map<FileKey, std::size_t> directoryOfKey_;
};

void MapDirectory(DirectoryRecord* list, const JolietEntry& joliet, ImageSource* image) {
  DirectoryPairing pairing(joliet, image);
  for (DirectoryRecord* node = list; node; node = node->next) {
    if (IsDotName(node->name)) {
      if (node->name == ".") node->jolietExtent = joliet.extent;
      continue;
    }
    const JolietEntry* match = pairing.Pair(*node);
    if (match == nullptr) continue;
    node->jolietIdentifier = match->identifier;
    if (node->type != kTypeDirectory) continue;
    node->jolietExtent = match->extent;
    if (node->child && match->listed) MapDirectory(node->child, *match, image);
  }
}

DirectoryRecord* CopyList(const DirectoryRecord* list) {
  DirectoryRecord* head = nullptr;
  DirectoryRecord** tail = &head;
  try {
    for (const DirectoryRecord* node = list; node; node = node->next) {
      auto* copy = new DirectoryRecord;
      *tail = copy;
      tail = &copy->next;
      copy->name = node->name;
      copy->type = node->type;
      copy->recordingDate = node->recordingDate;
      copy->hasRecordingDate = node->hasRecordingDate;
      if (IsDotName(node->name)) {
        copy->identifier = node->name;
        continue;
      }
      copy->identifier = JolietNameFor(*node);
      if (node->type == kTypeFile) copy->size = node->size;
      if (node->type == kTypeDirectory) copy->child = CopyList(node->child);
    }
  } catch (...) {
    ISOManipulator::FreeRecordList(head);
    throw;
  }
  return head;
}

}  // namespace

JolietEntry LoadJolietTree(ImageSource& image, std::uint32_t rootExtent) {
  DirectoryWalkGuard guard(kMaxDirectoryDepth);
  JolietEntry root;
  root.directory = true;
  root.extent = rootExtent;
  ReadJolietDirectory(image, root, &guard);
  return root;
}

JolietEntry LoadJolietDirectory(ImageSource& image, std::uint32_t extent) {
  JolietEntry directory;
  directory.directory = true;
  directory.extent = extent;
  ReadJolietDirectory(image, directory, nullptr);
  return directory;
}

void MapJolietNames(DirectoryRecord* primaryList, const JolietEntry& jolietRoot,
                    ImageSource* image) {
  MapDirectory(primaryList, jolietRoot, image);
}

std::string JolietNameFor(const DirectoryRecord& node) {
  if (!node.jolietIdentifier.empty()) return node.jolietIdentifier;
  if (node.fromImage) return JolietNameFromPrimary(node.identifier);
  return JolietNameFromUtf8(node.identifier);
}

std::string KeptJolietName(const DirectoryRecord& replaced) {
  return replaced.fromImage ? JolietNameFor(replaced) : replaced.jolietIdentifier;
}

void CheckJolietNames(const DirectoryRecord* list) {
  for (const DirectoryRecord* node = list; node; node = node->next) {
    if (IsDotName(node->name)) continue;
    JolietNameFromUtf8(node->identifier);
    if (node->type == kTypeDirectory) CheckJolietNames(node->child);
  }
}

DirectoryRecord* BuildJolietHierarchy(const DirectoryRecord* primaryList) {
  return CopyList(primaryList);
}
