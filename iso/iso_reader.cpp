// Loading the directory tree of an ISO 9660 image and copying its files and
// directories out to the local file system.
#include "iso/iso_reader.h"

#include "common/console.h"
#include "iso/directory_extent.h"
#include "iso/image_path.h"
#include "iso/joliet_names.h"
#include "iso/joliet_tree.h"
#include "iso/local_output.h"

#include <algorithm>
#include <boost/filesystem.hpp>
#include <cstring>
#include <iostream>
#include <memory>
#include <stdexcept>
#include <vector>

namespace fs = boost::filesystem;

namespace {

constexpr std::size_t kCopyChunk = 2048;

// Where the entry's data lies in the source image, and its recording date.
void KeepSourceFields(DirectoryRecord& node, const RawDirectoryRecord& record) {
  node.sourceExtent = node.extent;
  node.sourceSize = node.size;
  node.fromImage = 1;
  std::copy_n(record.bytes() + dir_record::recording_date, node.recordingDate.size(),
              node.recordingDate.begin());
  node.hasRecordingDate = true;
}

// The next extent of a file recorded in several: one node holds them all.
void AddExtent(DirectoryRecord& node, const RawDirectoryRecord& record) {
  if (node.sourceExtents.empty()) {
    node.sourceExtents.push_back({node.sourceExtent, static_cast<std::uint32_t>(node.sourceSize)});
  }
  node.sourceExtents.push_back({record.extent(), record.data_length()});
  node.size += record.data_length();
  node.sourceSize = node.size;
}

void Append(DirectoryRecord*& head, DirectoryRecord*& tail, DirectoryRecord* node) {
  if (tail == nullptr) {
    head = node;
  } else {
    tail->next = node;
  }
  tail = node;
}


}  // namespace

ISOReader::ISOReader(ImageOrigin image) : image(std::move(image)) {}

ISOReader::~ISOReader() = default;

int ISOReader::LoadImage() {
  if (loaded) return 0;
  std::cout << "load ISO image ..." << std::endl;
  // A failed attempt must not leave its partial sum behind for the retry.
  const std::uint64_t totalBefore = totalBytes;
  try {
    const std::unique_ptr<ImageSource> source = image.Open();
    std::uint8_t descriptor[kBlockSize];
    source->ReadAt(kPrimaryVolumeDescriptorOffset, descriptor, sizeof descriptor);
    if (std::memcmp(descriptor + descriptor_header::standard_identifier, kStandardIdentifier,
                    kStandardIdentifierLength) != 0 ||
        get_le16(descriptor + pvd::logical_block_size) != kBlockSize) {
      // Other block sizes exist in the standard but not on CDs; everything
      // downstream writes 2048-byte blocks, so such images are refused.
      FailureLine("load ISO image failed - invalid ISO image");
      return 1;
    }
    const std::uint32_t rootExtent =
        get_le32(descriptor + pvd::root_directory_record + dir_record::extent);

    walkGuard.Clear();
    jolietGuard.Clear();
    hiddenEntries = false;
    FreeRecordList(root);
    root = nullptr;
    try {
      walkGuard.Enter(rootExtent, DirectoryWalkGuard::kNoParent);
      root = ReadList(*source, rootExtent, "");
    } catch (const std::runtime_error& e) {
      FailureLine(e.what());
    }
    if (root == nullptr) {
      totalBytes = totalBefore;
      FailureLine("load ISO image failed - invalid image internal structure");
      return 1;
    }
    LearnImageFacts(*source, rootExtent);
  } catch (const std::exception& e) {
    totalBytes = totalBefore;
    FailureLine(std::string("load ISO image failed - IO exception: ") + e.what());
    return 1;
  }
  loaded = true;
  std::cout << "load ISO image succeeded" << std::endl;
  return 0;
}

DirectoryRecord* ISOReader::ListOf(DirectoryRecord& node, const DirectoryRecord* parentList) {
  if (!node.listPending) return node.child;
  // Tried once: a list that cannot be read stays unread, and is said once.
  node.listPending = false;
  try {
    const std::unique_ptr<ImageSource> source = image.Open();
    walkGuard.Enter(node.extent, parentList ? parentList->extent : DirectoryWalkGuard::kNoParent);
    const std::string path = node.parentPath.empty() ? node.name : node.parentPath + "\\" + node.name;
    node.child = ReadList(*source, node.extent, path);
    if (node.jolietExtent != 0) {
      const bool parentPaired = parentList && parentList->jolietExtent != 0;
      NameFromJoliet(*source, node.child, node.jolietExtent,
                     parentPaired ? parentList->jolietExtent : DirectoryWalkGuard::kNoParent);
    }
  } catch (const std::exception& e) {
    FailureLine(e.what());
    FailureLine("load directory information from ISO image failed");
    return nullptr;
  }
  return node.child;
}

DirectoryRecord* ISOReader::ReadList(ImageSource& source, std::uint32_t extent,
                                     const std::string& parentPath) {
  DirectoryRecord* head = nullptr;
  DirectoryRecord* tail = nullptr;
  std::uint64_t fileBytes = 0;
  try {
    DirectoryExtent records(source, extent);

    RawDirectoryRecord record;
    // The last file's record said that the file goes on in the next one.
    bool continues = false;
    while (records.Next(record)) {
      if (record.identifier_length() == 0) continue;
      // The self and parent records stay whatever their flags say: a list
      // begins with its self record, which names the directory.
      if ((record.file_flags() & kFlagHidden) != 0 && record.identifier[0] > 0x01) {
        hiddenEntries = true;
        facts.hasHiddenEntries = true;
        continue;
      }

      const std::string name = GetRecordName(&record);
      const bool isFile = (record.file_flags() & kFlagDirectory) == 0;
      const bool extentFollows = isFile && (record.file_flags() & kFlagMultiExtent) != 0;
      if (continues && isFile && tail->name == name) {
        AddExtent(*tail, record);
        fileBytes += record.data_length();
        continues = extentFollows;
        continue;
      }
      continues = extentFollows && name != "." && name != "..";
      auto node = new DirectoryRecord;
      node->parentPath = parentPath;
      node->name = name;
      node->identifier = name;
      node->extent = record.extent();
      Append(head, tail, node);

      FillNode(record, *node);
      if (node->type == kTypeFile) fileBytes += node->size;
    }
  } catch (...) {
    FreeRecordList(head);
    throw;
  }
  totalBytes += fileBytes;
  return head;
}

void ISOReader::FillNode(const RawDirectoryRecord& record, DirectoryRecord& node) {
  const std::string& name = node.name;
  const std::uint8_t firstByte = record.identifier[0];
  if (firstByte == 0x00 || firstByte == 0x01) {
    node.type = kTypeDirectory;
    node.size = 0;
  } else {
    // A literal "." or ".." identifier would alias the self and parent
    // entries and lead a copy out of its target directory.
    if (!image_path::IsRecordedNameAccepted(name)) {
      throw std::invalid_argument("invalid file name: " + name);
    }
    node.size = record.data_length();
    if ((record.file_flags() & kFlagDirectory) != 0) {
      node.type = kTypeDirectory;
      node.listPending = true;
    } else {
      node.type = kTypeFile;
    }
  }
  KeepSourceFields(node, record);
}

void ISOReader::NameFromJoliet(ImageSource& source, DirectoryRecord* list,
                               std::uint32_t jolietExtent, std::uint32_t parentJoliet) {
  if (!facts.jolietTreeProblem.empty()) return;
  try {
    jolietGuard.Enter(jolietExtent, parentJoliet);
    const JolietEntry directory = LoadJolietDirectory(source, jolietExtent);
    facts.hasHiddenEntries = facts.hasHiddenEntries || directory.holdsHidden;
    MapJolietNames(list, directory, &source);
  } catch (const std::exception& e) {
    GiveUpJolietNames(e.what());
  }
}

namespace {

void ForgetJolietNames(DirectoryRecord* list) {
  for (DirectoryRecord* node = list; node; node = node->next) {
    node->jolietIdentifier.clear();
    node->jolietExtent = 0;
    if (!IsDotName(node->name)) ForgetJolietNames(node->child);
  }
}

}  // namespace

void ISOReader::GiveUpJolietNames(const std::string& problem) {
  facts.jolietTreeProblem = problem;
  ForgetJolietNames(root);
}

int ISOReader::LoadEverything() {
  if (LoadImage() != 0) return 1;
  if (!ReadAllBelow(root)) return 1;
  if (!facts.HasJoliet() || !facts.jolietTreeProblem.empty()) return 0;
  try {
    facts.hasHiddenEntries =
        facts.hasHiddenEntries || LoadJolietTree(*image.Open(), facts.jolietRootExtent).holdsHidden;
  } catch (const std::exception& e) {
    GiveUpJolietNames(e.what());
  }
  return 0;
}

bool ISOReader::ReadAllBelow(DirectoryRecord* list) {
  for (DirectoryRecord* node = list; node; node = node->next) {
    if (node->type != kTypeDirectory || IsDotName(node->name)) continue;
    // Only a list that could not be read is null (and was said so).
    DirectoryRecord* below = ListOf(*node, list);
    if (below == nullptr || !ReadAllBelow(below)) return false;
  }
  return true;
}

std::string ISOReader::GetRecordName(const RawDirectoryRecord* record) {
  if (record->identifier[0] == 0x00) return ".";
  if (record->identifier[0] == 0x01) return "..";
  const std::size_t length =
      std::min<std::size_t>(record->identifier_length(), sizeof record->identifier);
  const auto* begin = reinterpret_cast<const char*>(record->identifier);
  const auto* end = std::find(begin, begin + length, '\0');
  return std::string(begin, end);
}

namespace {

// The name an entry has in the image's Joliet tree, as UTF-8 ("" when the
// image has none or the entry was added by this run).
std::string JolietName(const DirectoryRecord& node) {
  return node.jolietIdentifier.empty() ? std::string() : Utf8FromJolietName(node.jolietIdentifier);
}

// Whether `node` is found by `name` in one pass of FindInList. Images made
// at the mastering tools' default settings cut ISO 9660 names to 8.3
// ("FERROVAN", "REDODOZA.XML;1") and keep the whole name only in their
// Joliet tree, which is what Windows shows: after the recorded identifier,
// the Joliet name answers too.
bool FoundInPass(const DirectoryRecord& node, const std::string& name, int pass) {
  switch (pass) {
    case 0: return node.identifier == name;
    case 1: return image_path::AnswersTo(node.identifier, name);
    case 2: return !node.jolietIdentifier.empty() && image_path::AnswersTo(JolietName(node), name);
    case 3: return image_path::SameEntry(node.identifier, name);
    default: return !node.jolietIdentifier.empty() && image_path::SameEntry(JolietName(node), name);
  }
}

}  // namespace

DirectoryRecord* ISOReader::FindInList(DirectoryRecord* list, const std::string& name,
                                       NameMatch match, DirectoryRecord** previous) {
  // Passes from the strictest on: an exact identifier always wins, and the
  // same-entry comparisons (case ignored) come only for SameEntry.
  const int passes = match == NameMatch::SameEntry ? 5 : 3;
  for (int pass = 0; pass < passes; ++pass) {
    DirectoryRecord* before = nullptr;
    for (DirectoryRecord* node = list; node; before = node, node = node->next) {
      if (IsDotName(node->name) || !FoundInPass(*node, name, pass)) continue;
      if (previous) *previous = before;
      return node;
    }
  }
  return nullptr;
}

DirectoryRecord* ISOReader::findDirectoryRecord(const std::string& imagePath) {
  try {
    if (!loaded) return nullptr;
    std::vector<std::string> components = image_path::Split(imagePath);
    // A trailing separator asks for something below the last name, which a
    // file does not have.
    if (!components.empty() && image_path::IsSeparator(imagePath.back())) {
      components.push_back(".");
    }
    for (const std::string& component : components) {
      if (!image_path::IsWindowsName(component)) {
        throw std::invalid_argument("invalid file name: " + component);
      }
    }

    DirectoryRecord* current = root;
    for (std::size_t i = 0; i < components.size(); ++i) {
      DirectoryRecord* found = FindInList(current, components[i], NameMatch::Lookup);
      if (found == nullptr) return nullptr;
      current = found->type == kTypeDirectory ? ListOf(*found, current) : found;
      if (current == nullptr) return nullptr;
      // Only a directory's list can hold further components.
      if (i + 1 < components.size() && current->name != ".") return nullptr;
    }
    return current;
  } catch (const std::exception& e) {
    std::cout << "ISOReader findDirectoryRecord exception: " << e.what() << std::endl;
    return nullptr;
  }
}

DirectoryRecord* ISOReader::SameEntryDirectory(const std::vector<std::string>& names) {
  DirectoryRecord* list = root;
  for (const std::string& name : names) {
    DirectoryRecord* found = FindInList(list, name, NameMatch::SameEntry);
    if (found == nullptr || found->type != kTypeDirectory) return nullptr;
    list = ListOf(*found, list);
  }
  return list;
}

std::uint32_t ISOReader::SameEntryType(const std::string& imagePath) {
  try {
    if (LoadImage() != 0) return 0;
    std::vector<std::string> names = image_path::Split(imagePath);
    if (names.empty()) return 0;
    const std::string leaf = names.back();
    names.pop_back();
    const DirectoryRecord* found = FindInList(SameEntryDirectory(names), leaf, NameMatch::SameEntry);
    return found ? found->type : 0;
  } catch (const std::exception& e) {
    std::cout << "ISOReader SameEntryType exception: " << e.what() << std::endl;
    return 0;
  }
}

bool ISOReader::FileExists(const std::string& imagePath) {
  try {
    if (LoadImage() != 0) return false;
    const DirectoryRecord* node = findDirectoryRecord(TrimLeadingSeparators(imagePath));
    return node != nullptr && node->type == kTypeFile;
  } catch (const std::exception& e) {
    std::cout << "ISOReader FileExists exception: " << e.what() << std::endl;
    return false;
  }
}

bool ISOReader::DirectoryExists(const std::string& imagePath) {
  try {
    if (LoadImage() != 0) return false;
    const DirectoryRecord* node =
        findDirectoryRecord(TrimTrailingSeparators(TrimLeadingSeparators(imagePath)));
    return node != nullptr && node->type == kTypeDirectory;
  } catch (const std::exception& e) {
    std::cout << "ISOReader DirectoryExists exception: " << e.what() << std::endl;
    return false;
  }
}

int ISOReader::RetrieveFile(const std::string& imagePath, const std::string& localPath) {
  try {
    if (LoadImage() != 0) return 1;
    DirectoryRecord* node = findDirectoryRecord(TrimLeadingSeparators(imagePath));
    if (node == nullptr || node->type != kTypeFile) return 1;
    return CreateFileOrDirectory(node, localPath, false);
  } catch (const std::exception& e) {
    FailureLine(std::string("ISOReader RetrieveFile exception: ") + e.what());
    return 1;
  }
}

int ISOReader::RetrieveDir(const std::string& imagePath, const std::string& localDirectory) {
  try {
    if (LoadImage() != 0) return 1;
    DirectoryRecord* node =
        findDirectoryRecord(TrimTrailingSeparators(TrimLeadingSeparators(imagePath)));
    if (node == nullptr || node->type != kTypeDirectory) return 1;
    return RetrieveRecordList(node, localDirectory, false);
  } catch (const std::exception& e) {
    FailureLine(std::string("ISOReader RetrieveDir exception: ") + e.what());
    return 1;
  }
}

int ISOReader::Unpack(const std::string& localDirectory) {
  if (LoadEverything() != 0) return 1;
  std::cout << "unpack ISO image ..." << std::endl;
  const int result = RetrieveRecordList(root, localDirectory, true);
  std::cout << (result != 0 ? "unpack ISO image failed" : "unpack ISO image succeeded")
            << std::endl;
  return result;
}

int ISOReader::RetrieveRecordList(DirectoryRecord* head, const std::string& localDirectory,
                                  bool showProgress) {
  if (!loaded) return 1;
  // Along `next` in a loop (lists can be long), into `child` by recursion.
  for (DirectoryRecord* node = head; node != nullptr; node = node->next) {
    // Copied out without ISO 9660's version and separator: "WINBOM.INI;1"
    // becomes WINBOM.INI, "DEFAULT." becomes DEFAULT.
    const std::string name = image_path::EntryName(node->name);
    // Windows would open the device instead of making the file. Refused on
    // every system, so that what copies out here copies out there too.
    if (image_path::IsDeviceName(name)) {
      FailureLine("create file/directory failed - " + name + " is a device name on Windows");
      return 1;
    }
    const std::string target = (fs::path(localDirectory) / name).string();
    if (CreateFileOrDirectory(node, target, showProgress) != 0) return 1;
    if (node->type != kTypeDirectory || IsDotName(node->name)) continue;
    DirectoryRecord* list = ListOf(*node, head);
    if (list == nullptr || RetrieveRecordList(list, target, showProgress) != 0) return 1;
  }
  return 0;
}

int ISOReader::CreateFileOrDirectory(DirectoryRecord* node, const std::string& localPath,
                                     bool showProgress) {
  if (!loaded) return 1;
  if (IsDotName(node->name)) return 0;
  try {
    // symlink_status: a dangling link counts as existing, so nothing is ever
    // written through it.
    if (fs::exists(fs::symlink_status(localPath))) {
      throw std::runtime_error("file/directory " + localPath + " already exists");
    }
    if (node->type == kTypeFile) {
      CopyFileOut(*node, localPath, showProgress);
    } else if (node->type == kTypeDirectory) {
      fs::create_directory(localPath);
    } else {
      return 1;
    }
    return 0;
  } catch (const std::exception& e) {
    FailureLine(std::string("create file/directory failed, IO exception: ") + e.what());
    return 1;
  }
}

void ISOReader::CopyFileOut(const DirectoryRecord& node, const std::string& localPath,
                            bool showProgress) {
  const std::unique_ptr<ImageSource> source = image.Open();
  LocalOutputFile out(localPath);
  char chunk[kCopyChunk];
  for (const DataExtent& piece : SourceExtents(node)) {
    std::uint64_t position = SectorOffset(piece.extent);
    std::uint32_t remaining = piece.size;
    while (remaining > 0) {
      const std::size_t length = std::min<std::size_t>(remaining, sizeof chunk);
      source->ReadAt(position, chunk, length);
      out.Write(chunk, length);
      position += length;
      remaining -= static_cast<std::uint32_t>(length);
      if (showProgress) ShowProgress(length);
    }
  }
  out.Close();
}

void ISOReader::LearnImageFacts(ImageSource& source, std::uint32_t rootExtent) {
  facts = ReadImageFacts(source, rootExtent);
  facts.hasHiddenEntries = hiddenEntries;
  if (facts.HasJoliet()) {
    NameFromJoliet(source, root, facts.jolietRootExtent, DirectoryWalkGuard::kNoParent);
  }
}
