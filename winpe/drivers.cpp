// Device drivers: storage driver packages go whole under
// "\I386\SYSTEM32\DRIVERS" and are registered in WINPEOEM.SIF; network
// driver files are spread by extension over the WinPE system directories.
#include <cctype>
#include <exception>
#include <stdexcept>
#include <string>
#include <vector>

#include <boost/filesystem.hpp>

#include "common/console.h"
#include "common/directory_listing.h"
#include "common/file_copy.h"
#include "iso/image_path.h"
#include "iso/iso_reader.h"
#include "winpe/ini_lines.h"
#include "winpe/winpe_editor.h"
#include "winpe/winpe_files.h"
#include "winpe/workspace_place.h"

namespace fs = boost::filesystem;

int WinpeEditor::AddStorageDriver(const std::string& sourceDirectory) {
  try {
    std::string source = image_path::TrimTrailing(sourceDirectory);
    std::string name = image_path::Leaf(source);
    Log("adding storage driver %s", name.c_str());
    const Addition addition{source, true, ConflictKind::StorageDriver, conflictMode};
    WorkspacePlace place(*this, "I386\\SYSTEM32\\DRIVERS");
    std::string replaced;
    if (!SettleName(addition, place, name, replaced)) return 1;
    if (!CheckBeforeCopy(source, false)) return 1;
    place.Put(addition, name, replaced);
    if (AddDriverName(name) != 0) return 1;
    Log("adding storage driver %s succeeded", name.c_str());
    return 0;
  } catch (const std::exception& e) {
    Warning("adding storage driver failed - exception: %s", e.what());
    return 1;
  }
}

namespace {

void DropLeadingComment(std::string& line) {
  if (!line.empty() && line[0] == ';') line.erase(0, 1);
}

std::string Uncommented(const std::string& line) {
  return !line.empty() && line[0] == ';' ? line.substr(1) : line;
}

// Whether the names after the "=" of an OemDriverDirs line ("a, b") hold
// `name`, compared as the names of entries are.
bool ListsDriver(const std::string& dirs, const std::string& name) {
  const std::size_t equals = dirs.find('=');
  if (equals == std::string::npos) return false;
  std::size_t start = equals + 1;
  while (start <= dirs.size()) {
    std::size_t end = dirs.find(',', start);
    if (end == std::string::npos) end = dirs.size();
    const std::string item = dirs.substr(start, end - start);
    const std::size_t first = item.find_first_not_of(" \t\"");
    const std::size_t last = item.find_last_not_of(" \t\"");
    if (first != std::string::npos &&
        image_path::SameEntry(item.substr(first, last - first + 1), name)) {
      return true;
    }
    start = end + 1;
  }
  return false;
}

// The line in [begin, end) that sets `key`: a live one before one commented
// out with a leading ";"; `end` when there is neither.
std::size_t FindKey(const std::vector<std::string>& lines, std::size_t begin, std::size_t end,
                    const char* key) {
  std::size_t commented = end;
  for (std::size_t i = begin; i < end; ++i) {
    if (ini_lines::SameName(ini_lines::KeyName(lines[i]), key)) return i;
    if (commented == end && ini_lines::SameName(ini_lines::KeyName(Uncommented(lines[i])), key)) {
      commented = i;
    }
  }
  return commented;
}

bool IsSection(const std::string& line, const char* name) {
  return ini_lines::SameName(ini_lines::SectionName(Uncommented(line)), name);
}

const char kDriverSection[] = "OemDriverParams";
const char kDriverRoot[] = "OemDriverRoot=\"Drivers\"";

// Registers `name` in the section whose header is at `header`; returns the
// index just past the section, and sets `listed` when the name was there.
std::size_t RegisterInSection(std::vector<std::string>& lines, std::size_t header,
                              const std::string& name, bool& listed) {
  DropLeadingComment(lines[header]);
  std::size_t end = header + 1;
  while (end < lines.size() && ini_lines::SectionName(Uncommented(lines[end])).empty()) ++end;
  const auto at = [&lines](std::size_t i) {
    return lines.begin() + static_cast<std::vector<std::string>::difference_type>(i);
  };
  // A missing key line is added, as the first lines of the section.
  std::size_t root = FindKey(lines, header + 1, end, "OemDriverRoot");
  if (root == end) {
    root = header + 1;
    lines.insert(at(root), "");
    ++end;
  }
  lines[root] = kDriverRoot;
  std::size_t dirs = FindKey(lines, header + 1, end, "OemDriverDirs");
  if (dirs == end) {
    dirs = root + 1;
    lines.insert(at(dirs), "OemDriverDirs=");
    ++end;
  }
  std::string& list = lines[dirs];
  DropLeadingComment(list);
  // A driver listed already (the same command run again) is not listed twice.
  if (ListsDriver(list, name)) {
    listed = true;
    return end;
  }
  // The first name follows the "=" directly; later names are listed with ", ".
  const std::string::size_type last = list.find_last_not_of(' ');
  list += last != std::string::npos && list[last] == '=' ? name : ", " + name;
  return end;
}

}  // namespace

// WINPEOEM.SIF names its storage drivers in one section:
//   [OemDriverParams]
//   OemDriverRoot="Drivers"
//   OemDriverDirs=first, second
// which WinPE's own file holds commented out with a leading ";" on each of
// the three lines; they are taken in. Other comments are kept. A file
// without the section gets one at its end: without it the driver would be
// copied but never loaded.
int WinpeEditor::AddDriverName(const std::string& driverName) {
  std::string filePath = LocalPath(winpe_files::kWinpeOem.imagePath);
  Log("adding driver name %s", driverName.c_str());
  StringList lines;
  TextFormat format;
  if (!ReadTextLines(filePath, lines, format)) {
    Log("adding driver name failed - unable to open file %s", filePath.c_str());
    return 1;
  }

  const StringList original = lines;
  bool listed = false;
  bool sectionFound = false;
  for (StringList::size_type i = 0; i < lines.size();) {
    if (!IsSection(lines[i], kDriverSection)) {
      ++i;
      continue;
    }
    sectionFound = true;
    i = RegisterInSection(lines, i, driverName, listed);
  }
  if (!sectionFound) {
    Log("WINPEOEM.SIF has no [%s] section; it is added at its end", kDriverSection);
    // Before the empty entry of a final line end, so that the file keeps it.
    const auto end = lines.back().empty() ? lines.end() - 1 : lines.end();
    lines.insert(end, {std::string("[") + kDriverSection + "]", kDriverRoot,
                       "OemDriverDirs=" + driverName});
  }
  if (listed && lines == original) {
    Log("WINPEOEM.SIF already lists %s; it is left as it is", driverName.c_str());
    Log("adding driver name succeeded");
    return 0;
  }

  if (!WriteTextLines(filePath, lines, format)) {
    Log("adding driver name failed - unable to open file %s", filePath.c_str());
    return 1;
  }
  Log("adding driver name succeeded");
  return 0;
}

std::string WinpeEditor::NetworkDriverDirectory(const std::string& fileName) {
  std::string::size_type dot = fileName.rfind('.');
  std::string extension = dot == std::string::npos ? std::string() : fileName.substr(dot);
  for (char& c : extension) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (extension == ".inf") return "I386\\INF";
  if (extension == ".sys") return "I386\\SYSTEM32\\DRIVERS";
  if (extension == ".dll" || extension == ".exe" || extension == ".din") return "I386\\SYSTEM32";
  return "";
}

int WinpeEditor::AddNetworkDriver(const std::string& sourceDirectory) {
  try {
    std::string source = image_path::TrimTrailing(sourceDirectory);
    std::string name = image_path::Leaf(source);
    Log("adding network driver %s", name.c_str());
    if (!CheckBeforeCopy(source, true)) return 1;

    for (const fs::path& entry : SortedDirectoryEntries(source)) {
      if (fs::is_directory(entry)) continue;
      const std::string leaf = entry.filename().string();
      const std::string targetDirectory = NetworkDriverDirectory(leaf);
      if (targetDirectory.empty()) continue;
      // Files of the image are replaced on purpose (driver updates), but
      // never one that this run has just placed there.
      const std::string placed = PlacedSameEntry(targetDirectory, leaf);
      if (!placed.empty()) {
        throw std::runtime_error(entry.string() + " would replace " + placed +
                                 ", added to \\" + targetDirectory + " earlier in this run");
      }
      CopyFileNoOverwrite(entry.string(), (fs::path(LocalPath(targetDirectory)) / leaf).string());
    }
    Log("adding network driver %s succeeded", name.c_str());
    return 0;
  } catch (const std::exception& e) {
    Warning("adding network driver failed - exception: %s", e.what());
    return 1;
  }
}
