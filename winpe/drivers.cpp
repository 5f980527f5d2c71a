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
#include "winpe/winpe_editor.h"
#include "winpe/winpe_files.h"

namespace fs = boost::filesystem;

int WinpeEditor::AddStorageDriver(const std::string& sourceDirectory) {
  try {
    std::string source = image_path::TrimTrailing(sourceDirectory);
    std::string name = image_path::Leaf(source);
    Log("adding storage driver %s", name.c_str());
    if (!ChooseFreeName("\\I386\\SYSTEM32\\DRIVERS", ConflictKind::StorageDriver, name)) {
      return 1;
    }
    if (!CheckBeforeCopy(source, false)) return 1;
    copy_directory(source, (fs::path(LocalPath("I386\\SYSTEM32\\DRIVERS")) / name).string());
    if (AddDriverName(name) != 0) return 1;
    Log("adding storage driver %s succeeded", name.c_str());
    return 0;
  } catch (const std::exception& e) {
    Warning("adding storage driver failed - exception: %s", e.what());
    return 1;
  }
}

namespace {

bool Contains(const std::string& line, const char* text) {
  return line.find(text) != std::string::npos;
}

void DropLeadingComment(std::string& line) {
  if (!line.empty() && line[0] == ';') line.erase(0, 1);
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

}  // namespace

// WINPEOEM.SIF names its storage drivers in three consecutive lines:
//   [OemDriverParams]
//   OemDriverRoot="Drivers"
//   OemDriverDirs=first, second
// any of which may be commented out with a leading ";".
int WinpeEditor::AddDriverName(const std::string& driverName) {
  std::string filePath = LocalPath(winpe_files::kWinpeOem.imagePath);
  Log("adding driver name %s", driverName.c_str());
  StringList lines;
  if (!ReadTextLines(filePath, lines)) {
    Log("adding driver name failed - unable to open file %s", filePath.c_str());
    return 1;
  }

  const StringList original = lines;
  bool listed = false;
  for (StringList::size_type i = 0; i < lines.size(); ++i) {
    if (!Contains(lines[i], "[OemDriverParams]")) continue;
    DropLeadingComment(lines[i]);
    if (i + 1 >= lines.size() || !Contains(lines[i + 1], "OemDriverRoot")) return 1;
    lines[i + 1] = "OemDriverRoot=\"Drivers\"";
    if (i + 2 >= lines.size() || !Contains(lines[i + 2], "OemDriverDirs")) return 1;
    std::string& dirs = lines[i + 2];
    DropLeadingComment(dirs);
    i += 2;
    // A driver listed already (the same command run again) is not listed twice.
    if (ListsDriver(dirs, driverName)) {
      listed = true;
      continue;
    }
    // The first name follows the "=" directly; later names are listed with ", ".
    std::string::size_type last = dirs.find_last_not_of(' ');
    if (last != std::string::npos && dirs[last] == '=') {
      dirs += driverName;
    } else {
      dirs += ", " + driverName;
    }
  }
  if (listed && lines == original) {
    Log("WINPEOEM.SIF already lists %s; it is left as it is", driverName.c_str());
    Log("adding driver name succeeded");
    return 0;
  }

  if (!WriteTextLines(filePath, lines)) {
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
