// The keep layout. The directories of both source trees that the run may
// have changed (those whose lists the modified tree holds) are loaded as raw
// records (what the reader's tree leaves out, such as hidden entries and
// system-use fields, stays in them), reconciled with the modified tree, and
// only what differs is laid out and encoded again. The rest of each tree is
// walked once, record by record without keeping them, for the sectors that
// stay in use and the directories the path tables list.
#include "iso/patch_layout.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <queue>
#include <set>
#include <unordered_set>
#include <stdexcept>

#include <boost/filesystem.hpp>

#include "iso/directory_extent.h"
#include "iso/joliet_names.h"
#include "iso/joliet_tree.h"
#include "iso/udf_bridge.h"

namespace {

constexpr std::uint32_t kNotInSource = 0xFFFFFFFF;
// Offset of the volume modification date in a primary or supplementary
// volume descriptor.
constexpr std::size_t kVolumeModificationDate = 830;
// Offsets of the optional copies of the path tables, each after its
// mandatory one.
constexpr std::size_t kOptionalTypeLPathTable = pvd::type_l_path_table + 4;
constexpr std::size_t kOptionalTypeMPathTable = pvd::type_m_path_table + 4;
// Where a GPT header keeps the LBA of its backup.
constexpr std::uint64_t kGptHeaderOffset = 512;
constexpr std::uint64_t kGptAlternateLba = 32;

std::uint32_t SectorsFor(std::uint64_t bytes) {
  return static_cast<std::uint32_t>((bytes + kBlockSize - 1) / kBlockSize);
}

struct Directory;

// One directory record as its bytes, with where it stood in its source
// extent and what it stands for.
struct Record {
  std::vector<std::uint8_t> bytes;
  std::uint32_t offset = kNotInSource;
  Directory* child = nullptr;             // the subdirectory a record names
  const DirectoryRecord* node = nullptr;  // the tree entry it is for
  bool removed = false;
  bool dataReplaced = false;  // the entry's data moves to new sectors

  std::uint32_t Extent() const { return get_le32(bytes.data() + dir_record::extent); }
  std::uint32_t Size() const { return get_le32(bytes.data() + dir_record::data_length); }
  std::uint8_t Flags() const { return bytes[dir_record::file_flags]; }
  bool IsDirectory() const { return (Flags() & kFlagDirectory) != 0; }
  std::string Identifier() const {
    return std::string(bytes.begin() + dir_record::identifier,
                       bytes.begin() + dir_record::identifier + bytes[dir_record::identifier_length]);
  }
  // The name the reader gives the entry: the identifier up to a 0x00 byte.
  std::string Name() const {
    const std::string id = Identifier();
    return id.substr(0, id.find('\0'));
  }
  // Entries the reader leaves out of its tree: the run cannot have changed them.
  bool Unlisted() const {
    return (Flags() & kFlagHidden) != 0 || bytes[dir_record::identifier_length] == 0;
  }
  // Changes extent and data length; false when both already are so.
  bool Point(std::uint32_t extent, std::uint32_t size) {
    if (Extent() == extent && Size() == size) return false;
    put_both32(bytes.data() + dir_record::extent, extent);
    put_both32(bytes.data() + dir_record::data_length, size);
    return true;
  }
};

// Whether `record` is the next extent of the file `previous` begins.
bool ContinuesFile(const Record& previous, const Record& record) {
  return !previous.IsDirectory() && (previous.Flags() & kFlagMultiExtent) != 0 &&
         !record.IsDirectory() && previous.Identifier() == record.Identifier();
}

struct Directory {
  bool fromSource = false;
  std::uint32_t sourceExtent = 0;
  std::uint32_t sourceSize = 0;
  std::vector<std::uint8_t> sourceBytes;  // whole sectors
  std::vector<Record> records;            // "." and ".." first
  Directory* parent = nullptr;
  bool restructured = false;  // records added or removed: laid out again
  std::uint32_t extent = 0;
  std::uint32_t size = 0;

  std::uint32_t SourceSectors() const { return SectorsFor(sourceSize); }
};

// A record with the given identifier and nothing else set.
Record FreshRecord(const std::string& identifier, bool directory, const std::uint8_t* date) {
  Record record;
  record.bytes.assign(DirectoryRecordLength(identifier.size()), 0);
  std::uint8_t* b = record.bytes.data();
  b[dir_record::length] = static_cast<std::uint8_t>(record.bytes.size());
  std::memcpy(b + dir_record::recording_date, date, 7);
  b[dir_record::file_flags] = directory ? kFlagDirectory : 0;
  put_both16(b + dir_record::volume_sequence_number, 1);
  b[dir_record::identifier_length] = static_cast<std::uint8_t>(identifier.size());
  std::memcpy(b + dir_record::identifier, identifier.data(), identifier.size());
  return record;
}

// Sectors the records take when laid out one after the other, none
// crossing a sector boundary.
std::vector<std::uint32_t> LayOutRecords(const std::vector<Record>& records,
                                         std::uint32_t& sectors, std::uint32_t* usedBytes = nullptr) {
  std::vector<std::uint32_t> positions;
  std::uint32_t sector = 0;
  std::uint32_t offset = 0;
  for (const Record& record : records) {
    if (record.removed) {
      positions.push_back(kNotInSource);
      continue;
    }
    const auto length = static_cast<std::uint32_t>(record.bytes.size());
    if (offset + length > kBlockSize) {
      ++sector;
      offset = 0;
    }
    positions.push_back(sector * kBlockSize + offset);
    offset += length;
  }
  sectors = sector + 1;
  if (usedBytes) *usedBytes = sector * kBlockSize + offset;
  return positions;
}

// The directory's extent as it is to be written, whole sectors.
std::vector<std::uint8_t> Encode(const Directory& directory) {
  std::uint32_t needed = 0;
  std::vector<std::uint32_t> positions = LayOutRecords(directory.records, needed);
  if (!directory.restructured) {
    positions.clear();
    for (const Record& record : directory.records) positions.push_back(record.offset);
  }
  const std::uint32_t sectors = std::max(SectorsFor(directory.size), needed);
  std::vector<std::uint8_t> bytes(std::size_t{sectors} * kBlockSize, 0);
  if (!directory.restructured) std::copy(directory.sourceBytes.begin(), directory.sourceBytes.end(), bytes.begin());
  for (std::size_t i = 0; i < directory.records.size(); ++i) {
    if (directory.records[i].removed) continue;
    std::copy(directory.records[i].bytes.begin(), directory.records[i].bytes.end(),
              bytes.begin() + positions[i]);
  }
  return bytes;
}

// Whether the local file holds exactly the bytes of the source at `extent`.
bool SameData(ImageSource& source, std::uint32_t extent, const std::string& localPath,
              std::uint32_t size) {
  FileImageSource local(localPath);
  if (local.Size() != size || source.Size() < SectorOffset(extent) + size) return false;
  std::vector<std::uint8_t> a(1 << 16);
  std::vector<std::uint8_t> b(a.size());
  for (std::uint64_t done = 0; done < size; done += a.size()) {
    const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(a.size(), size - done));
    source.ReadAt(SectorOffset(extent) + done, a.data(), n);
    local.ReadAt(done, b.data(), n);
    if (std::memcmp(a.data(), b.data(), n) != 0) return false;
  }
  return true;
}

std::string LocalPath(const DirectoryRecord& node) {
  return (boost::filesystem::path(node.parentPath) / node.name).string();
}

// A new or changed file: its data goes to a sector still to be chosen, and
// every record that stands for its node (in both trees) follows.
struct FilePlacement {
  const DirectoryRecord* node = nullptr;
  std::uint32_t preferred = kNotInSource;  // the extent of the file it replaces
};

// A tree's path tables as the descriptors record them; an optional copy
// at sector 0 is none.
struct PathTables {
  std::uint32_t size = 0;
  std::uint32_t typeL = 0;
  std::uint32_t typeM = 0;
  std::uint32_t optionalL = 0;
  std::uint32_t optionalM = 0;
  bool changed = false;
};

// Sorted by first sector, overlapping and touching runs joined, so that a
// sector is looked up in the one run that may hold it.
std::vector<SectorRange> Merged(std::vector<SectorRange> runs) {
  std::sort(runs.begin(), runs.end(),
            [](const SectorRange& a, const SectorRange& b) { return a.first < b.first; });
  std::vector<SectorRange> merged;
  for (const SectorRange& run : runs) {
    const std::uint64_t end = std::uint64_t{run.first} + run.count;
    if (!merged.empty() && run.first <= std::uint64_t{merged.back().first} + merged.back().count) {
      const std::uint64_t last = std::max<std::uint64_t>(merged.back().first + std::uint64_t{merged.back().count}, end);
      merged.back().count = static_cast<std::uint32_t>(last - merged.back().first);
    } else if (run.count != 0) {
      merged.push_back(run);
    }
  }
  return merged;
}

// Whether `run` shares a sector with one of the merged `runs`.
bool Overlaps(const std::vector<SectorRange>& runs, SectorRange run) {
  if (run.count == 0) return false;
  const std::uint64_t last = std::uint64_t{run.first} + run.count - 1;
  auto after = std::upper_bound(runs.begin(), runs.end(), last,
                                [](std::uint64_t s, const SectorRange& r) { return s < r.first; });
  if (after == runs.begin()) return false;
  --after;
  return std::uint64_t{after->first} + after->count > run.first;
}

// The sectors of a file that stays. The copy would carry a file cut short
// without a word: that is refused.
SectorRange StayingFile(ImageSource& source, std::uint32_t extent, std::uint32_t size) {
  if (SectorOffset(extent) + size > source.Size()) {
    throw std::runtime_error("cannot read " + source.Name() + ": it is shorter than recorded, or unreadable");
  }
  return {extent, SectorsFor(size)};
}

// Walks the directory tree at `extent` that the run did not load, record by
// record without keeping them: `directory(at, size)` sees each directory,
// `file(record)` each file, and `enter(at, record)` says whether to walk a
// subdirectory of the one at `at`. Without recursion, its depth being the
// image's to choose, and in the order of the extents: mastering tools lay
// directories out one after another, so the system's read-ahead serves
// most of them.
template <class Enter, class OnDirectory, class OnFile>
void WalkUnloaded(ImageSource& source, std::uint32_t extent, Enter enter, OnDirectory directory,
                  OnFile file) {
  std::priority_queue<std::uint32_t, std::vector<std::uint32_t>, std::greater<std::uint32_t>> pending;
  pending.push(extent);
  while (!pending.empty()) {
    const std::uint32_t at = pending.top();
    pending.pop();
    DirectoryExtent records(source, at);
    directory(at, records.Size());
    std::size_t i = 0;
    for (const std::uint8_t* bytes; (bytes = records.NextBytes()) != nullptr;) {
      if (i++ < 2) continue;
      const RawDirectoryRecord& record = AsRecord(bytes);
      if ((record.file_flags() & kFlagDirectory) == 0) {
        file(record);
      } else if (enter(at, record)) {
        pending.push(record.extent());
      }
    }
  }
}

class Planner {
 public:
  Planner(ImageSource& source, const ImageFacts& facts, const std::uint8_t* date,
          const std::uint8_t* volumeDate)
      : source_(source), facts_(facts), date_(date), volumeDate_(volumeDate) {}

  PatchPlan Plan(const DirectoryRecord* rootList);

 private:
  Directory* Load(std::uint32_t extent, Directory* parent);
  Directory* LoadJoliet(std::uint32_t extent, Directory* parent);
  void Reconcile(const DirectoryRecord* list, Directory* primary, Directory* joliet);
  void Replace(Record& old, const DirectoryRecord& node, Directory* primary, Directory* joliet);
  void Insert(const DirectoryRecord& node, Directory* primary, Directory* joliet);
  Record* JolietPartner(Directory* joliet, const Record& primary, const std::string& jolietName);
  Directory* NewDirectory(const DirectoryRecord* list, Directory* parent, bool joliet);
  Record& InsertSorted(Directory& directory, Record record);
  void Release(const Record& record);
  void ReleaseTree(const Directory& directory);
  void ReleaseSubtree(const Record& record);
  void ReleaseUnloaded(std::uint32_t extent);
  void Protect(const Directory& directory);
  void ProtectUnloaded(std::uint32_t extent);
  void ProtectBootImages();
  void CollectReusable();
  void Keep(SectorRange run);
  bool IsProtected(std::uint32_t sector) const;
  std::uint32_t Allocate(std::uint32_t count, std::uint32_t preferred);
  void Free(std::uint32_t first, std::uint32_t count);
  void PlaceFiles(PatchPlan& plan);
  void PlaceDirectory(Directory& directory);
  void PointRecords(Directory& directory);
  std::vector<std::uint8_t> BuildPathTable(Directory* root, bool bigEndian) const;
  void PlacePathTables(Directory* root, PathTables& tables, PatchPlan& plan);
  void PatchDescriptors(PatchPlan& plan);
  void EmitDirectories(PatchPlan& plan);
  template <class Visit>
  void ForEachDirectory(Directory* root, Visit visit);
  Directory* RequireJoliet(Directory* joliet) const;

  ImageSource& source_;
  const ImageFacts& facts_;
  const std::uint8_t* date_;
  const std::uint8_t* volumeDate_;
  std::vector<std::unique_ptr<Directory>> directories_;
  std::set<std::uint32_t> visited_;
  // Directories of the source walked without being loaded, and the
  // subdirectories each holds (identifier, extent) in record order.
  std::unordered_set<std::uint32_t> walked_;
  std::map<std::uint32_t, std::vector<std::pair<std::string, std::uint32_t>>> unloadedChildren_;
  std::vector<FilePlacement> files_;
  std::vector<SectorRange> released_;
  // Runs of sectors whose bytes stay; a run per file, not a sector: a large
  // image has millions of sectors, and a run changes a handful.
  std::vector<SectorRange> protected_;
  // Every sector the plan may free or reuse: the data and directories
  // released, the extents of the directories loaded (they may move), the
  // path tables. Only what stays and lies there needs protecting.
  std::vector<SectorRange> reusable_;
  std::set<std::uint32_t> free_;
  std::vector<SectorRange> zeroed_;
  std::uint32_t end_ = 0;
  Directory* primaryRoot_ = nullptr;
  Directory* jolietRoot_ = nullptr;
  PathTables primaryTables_;
  PathTables jolietTables_;
  std::uint32_t sourceRootExtent_ = 0;
  bool directoriesRemoved_ = false;
};

Directory* Planner::Load(std::uint32_t extent, Directory* parent) {
  if (!visited_.insert(extent).second) return nullptr;  // shared or looping: left alone
  DirectoryExtent extentRecords(source_, extent);
  auto directory = std::make_unique<Directory>();
  directory->fromSource = true;
  directory->parent = parent;
  directory->sourceExtent = directory->extent = extent;
  directory->sourceSize = directory->size = extentRecords.Size();
  // Whole sectors: a directory that keeps its place is compared and
  // rewritten sector by sector.
  directory->sourceBytes.resize(std::size_t{directory->SourceSectors()} * kBlockSize);
  source_.ReadAt(SectorOffset(extent), directory->sourceBytes.data(), directory->sourceBytes.size());
  RawDirectoryRecord raw;
  while (extentRecords.Next(raw)) {
    Record record;
    record.bytes.assign(raw.bytes(), raw.bytes() + raw.length());
    record.offset = extentRecords.LastOffset();
    directory->records.push_back(std::move(record));
  }
  if (directory->records.size() < 2) {
    throw std::runtime_error("directory without self and parent records at block " +
                             std::to_string(extent));
  }
  Directory* loaded = directory.get();
  directories_.push_back(std::move(directory));
  return loaded;
}

// A Joliet directory the reader did not pair may be damaged: then the
// image is written in the compact layout, as for a Joliet tree the reader
// could not read.
Directory* Planner::LoadJoliet(std::uint32_t extent, Directory* parent) {
  try {
    return Load(extent, parent);
  } catch (const CannotPatch&) {
    throw;
  } catch (const std::runtime_error& e) {
    throw CannotPatch(e.what());
  }
}

Directory* Planner::RequireJoliet(Directory* joliet) const {
  if (joliet == nullptr && jolietRoot_ != nullptr) {
    throw CannotPatch("a changed directory has no counterpart in the Joliet tree");
  }
  return joliet;
}

// The Joliet record of the same entry as a primary one: a file by the
// extent and size they share, a directory by its Joliet name when known,
// else by its ISO 9660 name compared as the two trees' names compare.
Record* Planner::JolietPartner(Directory* joliet, const Record& primary,
                               const std::string& jolietName) {
  if (joliet == nullptr) return nullptr;
  for (std::size_t i = 2; i < joliet->records.size(); ++i) {
    Record& candidate = joliet->records[i];
    if (candidate.removed || candidate.Unlisted() ||
        candidate.IsDirectory() != primary.IsDirectory()) {
      continue;
    }
    bool same = candidate.Extent() == primary.Extent() && candidate.Size() == primary.Size();
    if (primary.IsDirectory()) {
      same = jolietName.empty() ? ComparableName(Utf8FromJolietName(candidate.Identifier())) ==
                                      ComparableName(primary.Name())
                                : candidate.Identifier() == jolietName;
    }
    if (same) return &candidate;
  }
  return nullptr;
}

void Planner::Reconcile(const DirectoryRecord* list, Directory* primary, Directory* joliet) {
  std::set<const DirectoryRecord*> claimed;
  for (std::size_t i = 2; i < primary->records.size(); ++i) {
    Record& record = primary->records[i];
    if (record.Unlisted()) continue;
    // The further records of a file of several extents share its fate.
    if (ContinuesFile(primary->records[i - 1], record)) {
      record.node = primary->records[i - 1].node;
      record.removed = record.node == nullptr;
      continue;
    }
    for (const DirectoryRecord* node = list; node; node = node->next) {
      if (!node->fromImage || IsDotName(node->name) || claimed.count(node) ||
          node->identifier != record.Name() || node->sourceExtent != record.Extent() ||
          (node->type == kTypeDirectory) != record.IsDirectory()) {
        continue;
      }
      claimed.insert(node);
      record.node = node;
      break;
    }
    if (record.node == nullptr) {
      record.removed = true;
    } else if (record.IsDirectory() && record.node->child != nullptr) {
      // Only a list the run has read can hold a change.
      record.child = Load(record.Extent(), primary);
      if (record.child == nullptr) continue;  // shared or looping: left alone
      Record* partner = JolietPartner(joliet, record, record.node->jolietIdentifier);
      if (partner && !partner->child) partner->child = LoadJoliet(partner->Extent(), joliet);
      Reconcile(record.node->child, record.child, partner ? partner->child : nullptr);
    }
  }
  for (const DirectoryRecord* node = list; node; node = node->next) {
    if (node->fromImage || IsDotName(node->name)) continue;
    auto old = std::find_if(primary->records.begin() + 2, primary->records.end(), [&](const Record& r) {
      return r.removed && r.Name() == node->identifier && r.IsDirectory() == (node->type == kTypeDirectory);
    });
    if (old != primary->records.end()) {
      Replace(*old, *node, primary, joliet);
    } else {
      Insert(*node, primary, RequireJoliet(joliet));
    }
  }
  for (std::size_t i = 2; i < primary->records.size(); ++i) {
    Record& record = primary->records[i];
    if (!record.removed) continue;
    primary->restructured = true;
    directoriesRemoved_ = directoriesRemoved_ || record.IsDirectory();
    if (Record* partner = JolietPartner(RequireJoliet(joliet), record, "")) {
      partner->removed = true;
      joliet->restructured = true;
      if (partner->IsDirectory()) ReleaseSubtree(*partner);
    }
    if (record.IsDirectory()) ReleaseSubtree(record);
    Release(record);
  }
}

// A new entry in place of one of the same name and type: the old record
// keeps its place and its fields (system-use ones too); its data goes.
void Planner::Replace(Record& old, const DirectoryRecord& node, Directory* primary, Directory* joliet) {
  old.removed = false;
  old.node = &node;
  if (node.type == kTypeFile && (old.Flags() & kFlagMultiExtent) == 0 && node.size == old.Size() &&
      SameData(source_, old.Extent(), LocalPath(node), node.size)) {
    return;
  }
  Record* partner = JolietPartner(RequireJoliet(joliet), old, node.jolietIdentifier);
  // The new data is one extent; the old one's further records go.
  old.bytes[dir_record::file_flags] &= static_cast<std::uint8_t>(~kFlagMultiExtent);
  if (partner) partner->bytes[dir_record::file_flags] &= static_cast<std::uint8_t>(~kFlagMultiExtent);
  std::memcpy(old.bytes.data() + dir_record::recording_date, date_, 7);
  if (partner) std::memcpy(partner->bytes.data() + dir_record::recording_date, date_, 7);
  Release(old);
  if (partner) partner->node = &node;
  if (node.type == kTypeFile) {
    old.dataReplaced = true;
    if (partner) partner->dataReplaced = true;
    files_.push_back(FilePlacement{&node, old.Extent()});
    return;
  }
  ReleaseSubtree(old);
  old.child = NewDirectory(node.child, primary, false);
  if (partner) {
    ReleaseSubtree(*partner);
    partner->child = NewDirectory(node.child, joliet, true);
  } else if (joliet) {
    Insert(node, nullptr, joliet);
  }
}

// A new entry without one to replace, in both trees.
void Planner::Insert(const DirectoryRecord& node, Directory* primary, Directory* joliet) {
  const bool directory = node.type == kTypeDirectory;
  std::vector<Record*> records;
  if (primary) {
    Record& record = InsertSorted(*primary, FreshRecord(node.identifier, directory, date_));
    record.node = &node;
    if (directory) record.child = NewDirectory(node.child, primary, false);
    records.push_back(&record);
  }
  if (joliet) {
    Record& record = InsertSorted(*joliet, FreshRecord(JolietNameFor(node), directory, date_));
    record.node = &node;
    if (directory) record.child = NewDirectory(node.child, joliet, true);
    records.push_back(&record);
  }
  if (!directory) files_.push_back(FilePlacement{&node, kNotInSource});
}

Record& Planner::InsertSorted(Directory& directory, Record record) {
  directory.restructured = true;
  const std::string id = record.Identifier();
  auto at = std::find_if(directory.records.begin() + 2, directory.records.end(),
                         [&](const Record& r) { return r.Identifier() > id; });
  return *directory.records.insert(at, std::move(record));
}

Directory* Planner::NewDirectory(const DirectoryRecord* list, Directory* parent, bool joliet) {
  auto directory = std::make_unique<Directory>();
  directory->parent = parent;
  directory->restructured = true;
  directory->records.push_back(FreshRecord(std::string(1, '\0'), true, date_));
  directory->records.push_back(FreshRecord(std::string(1, '\1'), true, date_));
  Directory* made = directory.get();
  directories_.push_back(std::move(directory));
  for (const DirectoryRecord* node = list; node; node = node->next) {
    if (IsDotName(node->name)) continue;
    const bool isDirectory = node->type == kTypeDirectory;
    made->records.push_back(
        FreshRecord(joliet ? JolietNameFor(*node) : node->identifier, isDirectory, date_));
    made->records.back().node = node;
    if (isDirectory) made->records.back().child = NewDirectory(node->child, made, joliet);
    if (!isDirectory && !joliet) files_.push_back(FilePlacement{node, kNotInSource});
  }
  return made;
}

void Planner::Release(const Record& record) {
  if (!record.IsDirectory() && record.Size() > 0) {
    released_.push_back({record.Extent(), SectorsFor(record.Size())});
  }
}

void Planner::ReleaseTree(const Directory& directory) {
  if (directory.fromSource) released_.push_back({directory.sourceExtent, directory.SourceSectors()});
  for (std::size_t i = 2; i < directory.records.size(); ++i) {
    const Record& record = directory.records[i];
    if (record.offset == kNotInSource) continue;
    if (record.IsDirectory()) {
      ReleaseSubtree(record);
    } else {
      Release(record);
    }
  }
}

// The directory a source record names, and everything below it.
void Planner::ReleaseSubtree(const Record& record) {
  if (record.child) {
    ReleaseTree(*record.child);
  } else if (record.offset != kNotInSource) {
    ReleaseUnloaded(record.Extent());
  }
}

// A directory tree the run has not loaded, released whole. Sectors that
// some record still names are protected and stay.
void Planner::ReleaseUnloaded(std::uint32_t extent) {
  std::unordered_set<std::uint32_t> seen{extent};
  WalkUnloaded(
      source_, extent,
      [&](std::uint32_t, const RawDirectoryRecord& record) { return seen.insert(record.extent()).second; },
      [&](std::uint32_t at, std::uint32_t size) { released_.push_back({at, SectorsFor(size)}); },
      [&](const RawDirectoryRecord& record) {
        if (record.data_length() > 0) released_.push_back({record.extent(), SectorsFor(record.data_length())});
      });
}

bool Moved(const Directory& directory) {
  return !directory.fromSource || directory.extent != directory.sourceExtent ||
         directory.size != directory.sourceSize;
}

// Keeps the data of entries that stay where they are out of the sectors to
// reuse: files that another record still names (a hidden one, the other
// tree) must not lose their bytes.
void Planner::Protect(const Directory& directory) {
  for (std::size_t i = 2; i < directory.records.size(); ++i) {
    const Record& record = directory.records[i];
    if (record.removed || record.dataReplaced || record.offset == kNotInSource) continue;
    if (record.child) {
      Protect(*record.child);
    } else if (record.IsDirectory()) {
      if (walked_.insert(record.Extent()).second) ProtectUnloaded(record.Extent());
    } else {
      Keep(StayingFile(source_, record.Extent(), record.Size()));
    }
  }
}

void Planner::CollectReusable() {
  std::vector<SectorRange> runs = released_;
  for (const auto& directory : directories_) {
    if (directory->fromSource) runs.push_back({directory->sourceExtent, directory->SourceSectors()});
  }
  for (const PathTables* tables : {&primaryTables_, &jolietTables_}) {
    for (std::uint32_t at : {tables->typeL, tables->typeM, tables->optionalL, tables->optionalM}) {
      if (at != 0) runs.push_back({at, SectorsFor(tables->size)});
    }
  }
  reusable_ = Merged(std::move(runs));
}

void Planner::Keep(SectorRange run) {
  if (Overlaps(reusable_, run)) protected_.push_back(run);
}

// A directory tree the run has not loaded keeps everything: its extents,
// and the data of its files.
void Planner::ProtectUnloaded(std::uint32_t extent) {
  WalkUnloaded(
      source_, extent,
      [&](std::uint32_t at, const RawDirectoryRecord& record) {
        if (!walked_.insert(record.extent()).second) return false;
        const auto* id = reinterpret_cast<const char*>(record.identifier);
        unloadedChildren_[at].emplace_back(std::string(id, record.identifier_length()), record.extent());
        return true;
      },
      [&](std::uint32_t at, std::uint32_t size) { Keep({at, SectorsFor(size)}); },
      [&](const RawDirectoryRecord& record) {
        Keep(StayingFile(source_, record.extent(), record.data_length()));
      });
}

// The boot catalog and every boot image it names never move.
void Planner::ProtectBootImages() {
  std::uint8_t descriptor[kBlockSize];
  for (std::uint32_t sector = kPrimaryDescriptorSector; sector < kPrimaryDescriptorSector + 64; ++sector) {
    source_.ReadAt(SectorOffset(sector), descriptor, kBlockSize);
    if (descriptor[0] == kTerminatorDescriptor) return;
    if (descriptor[0] != kBootRecordDescriptor ||
        std::memcmp(descriptor + boot_record::boot_system_identifier, kElToritoIdentifier,
                    sizeof kElToritoIdentifier - 1) != 0) {
      continue;
    }
    const std::uint32_t catalog = get_le32(descriptor + boot_record::boot_catalog_sector);
    protected_.push_back({catalog, 1});
    std::uint8_t entries[kBlockSize];
    source_.ReadAt(SectorOffset(catalog), entries, kBlockSize);
    for (std::uint32_t at = 32; at < kBlockSize; at += 32) {
      const std::uint8_t indicator = entries[at];
      if (indicator != initial_entry::kBootable && indicator != 0) continue;
      const std::uint32_t rba = get_le32(entries + at + initial_entry::load_rba);
      const std::uint32_t units = get_le16(entries + at + initial_entry::sector_count);
      if (rba != 0) protected_.push_back({rba, std::max(1u, SectorsFor(units * kVirtualSectorSize))});
    }
  }
}

bool Planner::IsProtected(std::uint32_t sector) const { return Overlaps(protected_, {sector, 1}); }

void Planner::Free(std::uint32_t first, std::uint32_t count) {
  for (std::uint32_t s = first; s < first + count; ++s) {
    if (IsProtected(s) || s < kPrimaryDescriptorSector || !free_.insert(s).second) continue;
    if (!zeroed_.empty() && zeroed_.back().first + zeroed_.back().count == s) {
      ++zeroed_.back().count;
    } else {
      zeroed_.push_back({s, 1});
    }
  }
}

// The first run of free sectors that holds `count`, `preferred` first;
// else sectors after the end of the image.
std::uint32_t Planner::Allocate(std::uint32_t count, std::uint32_t preferred) {
  const auto freeRun = [&](std::uint32_t first) {
    for (std::uint32_t s = first; s < first + count; ++s) {
      if (!free_.count(s)) return false;
    }
    return true;
  };
  std::uint32_t found = kNotInSource;
  if (preferred != kNotInSource && freeRun(preferred)) found = preferred;
  for (auto it = free_.begin(); found == kNotInSource && it != free_.end(); ++it) {
    if (freeRun(*it)) found = *it;
  }
  if (found == kNotInSource) {
    found = end_;
    end_ += count;
    return found;
  }
  for (std::uint32_t s = found; s < found + count; ++s) free_.erase(s);
  return found;
}

template <class Visit>
void Planner::ForEachDirectory(Directory* root, Visit visit) {
  if (root == nullptr) return;
  visit(*root);
  for (Record& record : root->records) {
    if (!record.removed && record.child) ForEachDirectory(record.child, visit);
  }
}

void Planner::PlaceFiles(PatchPlan& plan) {
  std::map<const DirectoryRecord*, std::vector<Record*>> recordsOf;
  for (Directory* root : {primaryRoot_, jolietRoot_}) {
    ForEachDirectory(root, [&](Directory& directory) {
      for (Record& record : directory.records) {
        if (record.node && !record.removed && !record.IsDirectory()) recordsOf[record.node].push_back(&record);
      }
    });
  }
  // Replaced files first, so that each can keep its own sectors.
  std::stable_partition(files_.begin(), files_.end(),
                        [](const FilePlacement& file) { return file.preferred != kNotInSource; });
  for (const FilePlacement& file : files_) {
    const std::uint32_t size = file.node->size;
    const std::uint32_t sector = size == 0 ? 0 : Allocate(SectorsFor(size), file.preferred);
    if (size != 0) plan.files.push_back({LocalPath(*file.node), sector, size});
    for (Record* record : recordsOf[file.node]) record->Point(sector, size);
  }
}

void Planner::PlaceDirectory(Directory& directory) {
  std::uint32_t needed = 0;
  std::uint32_t used = 0;
  LayOutRecords(directory.records, needed, &used);
  if (directory.fromSource && !directory.restructured) return;
  if (directory.fromSource && needed <= directory.SourceSectors()) {
    // In place; a data length that does not end on a sector boundary grows
    // to cover the records.
    directory.size = std::max(directory.sourceSize, used);
    return;
  }
  if (directory.fromSource) Free(directory.sourceExtent, directory.SourceSectors());
  directory.extent = Allocate(needed, kNotInSource);
  directory.size = needed * kBlockSize;
}

// The records that name a directory that moved or is new follow it: its
// own ".", its children's "..", and its parent's record of it.
void Planner::PointRecords(Directory& directory) {
  if (Moved(directory)) {
    directory.records[0].Point(directory.extent, directory.size);
    // Its subdirectories' ".." records follow it: they are loaded to be.
    for (std::size_t i = 2; i < directory.records.size(); ++i) {
      Record& record = directory.records[i];
      if (!record.removed && record.IsDirectory() && !record.child && record.offset != kNotInSource) {
        record.child = Load(record.Extent(), &directory);
      }
    }
  }
  const Directory& parent = directory.parent ? *directory.parent : directory;
  if (Moved(parent) || !directory.fromSource) directory.records[1].Point(parent.extent, parent.size);
  for (std::size_t i = 2; i < directory.records.size(); ++i) {
    Record& record = directory.records[i];
    if (!record.removed && record.child && Moved(*record.child)) {
      record.Point(record.child->extent, record.child->size);
    }
  }
}

// Path table rows, breadth-first: the order that numbers the directories.
// A directory not loaded lists the subdirectories its walk found.
std::vector<std::uint8_t> Planner::BuildPathTable(Directory* root, bool bigEndian) const {
  struct Row {
    const Directory* directory;  // null: not loaded
    std::uint32_t extent;
    std::string id;
  };
  std::vector<std::uint8_t> table;
  std::vector<Row> queue{{root, root->extent, std::string(1, '\0')}};
  std::vector<std::uint16_t> parents{1};
  std::set<std::uint32_t> listed;
  const auto add = [&](const Directory* directory, std::uint32_t extent, const std::string& id,
                       std::size_t parent) {
    if (directory == nullptr && !listed.insert(extent).second) return;
    queue.push_back({directory, extent, id});
    parents.push_back(static_cast<std::uint16_t>(parent + 1));
  };
  for (std::size_t number = 0; number < queue.size(); ++number) {
    const Row row = queue[number];
    const std::size_t at = table.size();
    table.resize(at + PathTableRecordLength(row.id.size()), 0);
    table[at + path_record::identifier_length] = static_cast<std::uint8_t>(row.id.size());
    if (bigEndian) {
      put_be32(&table[at + path_record::extent], row.extent);
      put_be16(&table[at + path_record::parent_number], parents[number]);
    } else {
      put_le32(&table[at + path_record::extent], row.extent);
      put_le16(&table[at + path_record::parent_number], parents[number]);
    }
    std::memcpy(&table[at + path_record::identifier], row.id.data(), row.id.size());
    if (row.directory == nullptr) {
      const auto children = unloadedChildren_.find(row.extent);
      if (children == unloadedChildren_.end()) continue;
      for (const auto& child : children->second) add(nullptr, child.second, child.first, number);
      continue;
    }
    for (std::size_t i = 2; i < row.directory->records.size(); ++i) {
      const Record& record = row.directory->records[i];
      if (record.removed || !record.IsDirectory()) continue;
      if (record.child) {
        add(record.child, record.child->extent, record.Identifier(), number);
      } else if (walked_.count(record.Extent())) {
        add(nullptr, record.Extent(), record.Identifier(), number);
      }
    }
  }
  return table;
}

void Planner::PlacePathTables(Directory* root, PathTables& tables, PatchPlan& plan) {
  if (root == nullptr) return;
  ForEachDirectory(root, [&](Directory& directory) {
    tables.changed = tables.changed || !directory.fromSource ||
                     directory.extent != directory.sourceExtent || directoriesRemoved_;
  });
  if (!tables.changed) return;
  std::vector<std::uint8_t> typeL = BuildPathTable(root, false);
  std::vector<std::uint8_t> typeM = BuildPathTable(root, true);
  const std::uint32_t oldSectors = SectorsFor(tables.size);
  const std::uint32_t newSectors = SectorsFor(typeL.size());
  tables.size = static_cast<std::uint32_t>(typeL.size());
  if (newSectors > oldSectors || tables.typeL == 0 || tables.typeM == 0) {
    // Each copy moves; the optional ones stay optional.
    for (std::uint32_t* at : {&tables.typeL, &tables.typeM, &tables.optionalL, &tables.optionalM}) {
      const bool mandatory = at == &tables.typeL || at == &tables.typeM;
      if (*at == 0 && !mandatory) continue;
      Free(*at, *at ? oldSectors : 0);
      *at = Allocate(newSectors, kNotInSource);
    }
  }
  const std::size_t padded = std::size_t{std::max(newSectors, oldSectors)} * kBlockSize;
  typeL.resize(padded, 0);
  typeM.resize(padded, 0);
  if (tables.optionalL) plan.pathTables.push_back({tables.optionalL, typeL});
  if (tables.optionalM) plan.pathTables.push_back({tables.optionalM, typeM});
  plan.pathTables.push_back({tables.typeL, std::move(typeL)});
  plan.pathTables.push_back({tables.typeM, std::move(typeM)});
}

// Every descriptor of the set gets the new volume space size, and the
// root record and path tables of the tree it describes.
void Planner::PatchDescriptors(PatchPlan& plan) {
  std::vector<std::uint8_t> descriptor(kBlockSize);
  for (std::uint32_t sector = kPrimaryDescriptorSector; sector < kPrimaryDescriptorSector + 64; ++sector) {
    source_.ReadAt(SectorOffset(sector), descriptor.data(), kBlockSize);
    const std::uint8_t type = descriptor[0];
    if (type == kTerminatorDescriptor ||
        std::memcmp(descriptor.data() + 1, kStandardIdentifier, kStandardIdentifierLength) != 0) {
      return;
    }
    if (type != kPrimaryDescriptor && type != kSupplementaryDescriptor) continue;
    const std::vector<std::uint8_t> before = descriptor;
    put_both32(descriptor.data() + pvd::volume_space_size, plan.volumeSpaceSize);
    std::uint8_t* rootRecord = descriptor.data() + pvd::root_directory_record;
    const std::uint32_t rootExtent = get_le32(rootRecord + dir_record::extent);
    Directory* root = rootExtent == sourceRootExtent_ ? primaryRoot_
                      : jolietRoot_ && rootExtent == jolietRoot_->sourceExtent ? jolietRoot_
                                                                                 : nullptr;
    if (root == nullptr) {
      plan.warnings.push_back("a further directory tree (descriptor at sector " + std::to_string(sector) +
                           ") still lists the source's entries");
    } else {
      // A run that changes nothing leaves the volume as it was.
      if (!plan.files.empty() || !plan.directories.empty() || !plan.pathTables.empty()) {
        std::memcpy(descriptor.data() + kVolumeModificationDate, volumeDate_, 17);
      }
      const PathTables& tables = root == primaryRoot_ ? primaryTables_ : jolietTables_;
      put_both32(rootRecord + dir_record::extent, root->extent);
      put_both32(rootRecord + dir_record::data_length, root->size);
      if (tables.changed) {
        put_both32(descriptor.data() + pvd::path_table_size, tables.size);
        put_le32(descriptor.data() + pvd::type_l_path_table, tables.typeL);
        put_be32(descriptor.data() + pvd::type_m_path_table, tables.typeM);
        put_le32(descriptor.data() + kOptionalTypeLPathTable, tables.optionalL);
        put_be32(descriptor.data() + kOptionalTypeMPathTable, tables.optionalM);
      }
    }
    if (descriptor != before) plan.descriptors.push_back({sector, descriptor});
  }
}

void Planner::EmitDirectories(PatchPlan& plan) {
  for (Directory* root : {primaryRoot_, jolietRoot_}) {
    ForEachDirectory(root, [&](Directory& directory) {
      std::vector<std::uint8_t> bytes = Encode(directory);
      if (!Moved(directory) && bytes == directory.sourceBytes) return;
      plan.directories.push_back({directory.extent, std::move(bytes)});
    });
  }
}

// A UDF bridge would show readers that look at it first the old files:
// once the run changes anything, it is invalidated, and said so.
void InvalidateUdfBridge(ImageSource& source, PatchPlan& plan) {
  const UdfBridge bridge = FindUdfBridge(source);
  if (!bridge.present) return;
  for (const ByteRange& range : bridge.invalidate) {
    plan.zeroed.push_back({static_cast<std::uint32_t>(range.offset / kBlockSize), SectorsFor(range.length)});
  }
  plan.warnings.push_back(bridge.warning);
}

// Partition tables that covered the source grow with the volume. A GPT's
// backup takes the new last sectors, inside the volume as hybrid images
// have it, and its old copy goes; tables that cannot be kept are cleared.
void ResizePartitionTables(ImageSource& source, std::uint32_t sourceSectors, PatchPlan& plan) {
  SystemAreaPatch area = ResizeSystemArea(source, sourceSectors, plan.volumeSpaceSize);
  if (area.backupGptBytes != 0) {
    plan.volumeSpaceSize += SectorsFor(area.backupGptBytes);
    area = ResizeSystemArea(source, sourceSectors, plan.volumeSpaceSize);
  }
  if (area.backupGptBytes != 0) {
    std::uint8_t alternate[8];
    source.ReadAt(kGptHeaderOffset + kGptAlternateLba, alternate, sizeof alternate);
    const std::uint64_t oldEnd = (get_le64(alternate) + 1) * 512;
    if (oldEnd <= source.Size() && oldEnd >= area.backupGptBytes + SectorOffset(kPrimaryDescriptorSector)) {
      area.writes.insert(area.writes.begin(), AreaWrite{oldEnd - area.backupGptBytes,
                                                        std::vector<std::uint8_t>(area.backupGptBytes, 0)});
    }
  }
  if (!area.warning.empty()) plan.warnings.push_back(area.warning);
  plan.systemArea = std::move(area.writes);
}

// Structures outside the trees that point into the image.
void FixStructuresPointingIntoTheImage(ImageSource& source, std::uint32_t sourceSectors,
                                       PatchPlan& plan) {
  if (!plan.files.empty() || !plan.directories.empty() || !plan.pathTables.empty()) {
    InvalidateUdfBridge(source, plan);
  }
  if (plan.volumeSpaceSize > sourceSectors) ResizePartitionTables(source, sourceSectors, plan);
}

PathTables ReadPathTables(ImageSource& source, std::uint32_t sector) {
  std::uint8_t descriptor[kBlockSize];
  source.ReadAt(SectorOffset(sector), descriptor, kBlockSize);
  PathTables tables;
  tables.size = get_le32(descriptor + pvd::path_table_size);
  tables.typeL = get_le32(descriptor + pvd::type_l_path_table);
  tables.typeM = get_be32(descriptor + pvd::type_m_path_table);
  tables.optionalL = get_le32(descriptor + kOptionalTypeLPathTable);
  tables.optionalM = get_be32(descriptor + kOptionalTypeMPathTable);
  return tables;
}

PatchPlan Planner::Plan(const DirectoryRecord* rootList) {
  PatchPlan plan;
  plan.sourceBytes = source_.Size();
  std::uint8_t primary[kBlockSize];
  source_.ReadAt(kPrimaryVolumeDescriptorOffset, primary, kBlockSize);
  sourceRootExtent_ = get_le32(primary + pvd::root_directory_record + dir_record::extent);
  end_ = std::max(get_le32(primary + pvd::volume_space_size), SectorsFor(plan.sourceBytes));
  const std::uint32_t sourceSectors = end_;
  primaryTables_ = ReadPathTables(source_, kPrimaryDescriptorSector);
  primaryRoot_ = Load(sourceRootExtent_, nullptr);
  if (facts_.HasJoliet()) {
    if (!facts_.jolietTreeProblem.empty()) throw CannotPatch(facts_.jolietTreeProblem);
    jolietTables_ = ReadPathTables(source_, facts_.jolietDescriptorSector);
    jolietRoot_ = LoadJoliet(facts_.jolietRootExtent, nullptr);
    if (jolietRoot_ == nullptr) throw CannotPatch("the Joliet tree shares the primary root");
  }
  Reconcile(rootList, primaryRoot_, jolietRoot_);

  CollectReusable();
  Protect(*primaryRoot_);
  if (jolietRoot_) {
    try {
      Protect(*jolietRoot_);
    } catch (const std::runtime_error& e) {
      throw CannotPatch(e.what());
    }
  }
  ProtectBootImages();
  protected_ = Merged(std::move(protected_));
  for (const SectorRange& range : released_) Free(range.first, range.count);
  PlaceFiles(plan);
  for (Directory* root : {primaryRoot_, jolietRoot_}) {
    ForEachDirectory(root, [&](Directory& directory) { PlaceDirectory(directory); });
  }
  for (Directory* root : {primaryRoot_, jolietRoot_}) {
    ForEachDirectory(root, [&](Directory& directory) { PointRecords(directory); });
  }
  PlacePathTables(primaryRoot_, primaryTables_, plan);
  PlacePathTables(jolietRoot_, jolietTables_, plan);
  plan.volumeSpaceSize = end_;
  EmitDirectories(plan);
  plan.zeroed = zeroed_;
  FixStructuresPointingIntoTheImage(source_, sourceSectors, plan);
  PatchDescriptors(plan);
  return plan;
}

}  // namespace

PatchPlan PlanPatch(ImageSource& source, const DirectoryRecord* rootList, const ImageFacts& facts,
                    const std::uint8_t recordDate[7], const std::uint8_t volumeDate[17]) {
  return Planner(source, facts, recordDate, volumeDate).Plan(rootList);
}

void CopySourceAndZeroStale(const PatchPlan& plan, ImageSource& source, ImageSink& output) {
  output.CopyRange(source, 0, plan.sourceBytes, 0);
  for (const SectorRange& range : plan.zeroed) {
    output.ZeroRange(SectorOffset(range.first), SectorOffset(range.count));
  }
}

void WriteSectors(const std::vector<SectorWrite>& writes, ImageSink& output) {
  for (const SectorWrite& write : writes) {
    output.WriteAt(SectorOffset(write.sector), write.bytes.data(), write.bytes.size());
  }
}

void WriteFiles(const PatchPlan& plan, ImageSink& output,
                const std::function<void(std::uint64_t)>& progress) {
  static const std::vector<std::uint8_t> zeros(kBlockSize, 0);
  for (const FileWrite& file : plan.files) {
    FileImageSource local(file.localPath);
    if (local.Size() < file.size) {
      throw std::runtime_error("cannot read " + file.localPath + ": it is shorter than it was");
    }
    output.CopyRange(local, 0, file.size, SectorOffset(file.sector));
    const std::size_t tail = file.size % kBlockSize;
    if (tail != 0) output.WriteAt(SectorOffset(file.sector) + file.size, zeros.data(), kBlockSize - tail);
    progress(file.size);
  }
}
