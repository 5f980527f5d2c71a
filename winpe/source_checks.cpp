// Checks of the local sources made before the workspace exists, beyond
// their existence: every name they put into the image must be one the
// image can hold and the reader reads back, their directories must not lie
// deeper than the reader loads, and a start-up program must be a file of
// its package.
#include <cstddef>
#include <string>
#include <vector>

#include <boost/filesystem.hpp>

#include "common/console.h"
#include "common/directory_listing.h"
#include "iso/image_path.h"
#include "iso/iso_structures.h"
#include "winpe/option_values.h"
#include "winpe/winpe_editor.h"

namespace fs = boost::filesystem;

namespace {

// Levels below the image root of what the additions place: "\PROGRAMS\pkg"
// and "\I386\SYSTEM32\DRIVERS\drv".
constexpr std::size_t kPackageDepth = 2;
constexpr std::size_t kStorageDriverDepth = 4;

bool CheckName(const std::string& path, const std::string& name) {
  const std::string problem = image_path::NewNameProblem(name);
  if (problem.empty()) return true;
  Warning("can not add %s - its name \"%s\" %s; rename it", path.c_str(), name.c_str(),
          problem.c_str());
  return false;
}

bool CheckDepth(const std::string& path, std::size_t depth) {
  if (WithinDirectoryDepth(depth)) return true;
  Warning("can not add %s - it would be a directory %zu levels below the image root, more than "
          "the %zu an image can be read back with; flatten it",
          path.c_str(), depth, kMaxDirectoryDepth);
  return false;
}

// Everything inside `directory`, which lies `depth` levels below the image
// root. Directory links are followed, as the copy follows them.
bool CheckTree(const fs::path& directory, std::size_t depth) {
  for (const fs::path& entry : SortedDirectoryEntries(directory)) {
    if (!CheckName(entry.string(), entry.filename().string())) return false;
    if (!fs::is_directory(entry)) continue;
    if (!CheckDepth(entry.string(), depth + 1) || !CheckTree(entry, depth + 1)) return false;
  }
  return true;
}

// A local directory going into the image under its own name, `depth`
// levels below the root.
bool CheckDirectory(const std::string& value, std::size_t depth) {
  const std::string source = image_path::TrimTrailing(value);
  return CheckName(value, image_path::Leaf(source)) && CheckDepth(value, depth) &&
         CheckTree(source, depth);
}

bool CheckFile(const std::string& value) { return CheckName(value, image_path::Leaf(value)); }

// The start-up program named after the "%" must be a file inside the package.
bool CheckStartProgram(const std::string& value, const std::string& package,
                       const std::string& program) {
  const std::vector<std::string> names = image_path::Split(program);
  if (names.empty()) {
    Warning("no start up executable after '%%' in %s", value.c_str());
    return false;
  }
  fs::path local = image_path::TrimTrailing(package);
  bool inside = true;
  for (const std::string& name : names) {
    inside = inside && !IsDotName(name);
    local /= name;
  }
  if (!inside || !fs::exists(local) || fs::is_directory(local)) {
    Warning("can not find start up executable %s in package %s - give its path inside the "
            "package after '%%'",
            program.c_str(), package.c_str());
    return false;
  }
  return true;
}

}  // namespace

int WinpeEditor::CheckSourcesGoingIn() {
  for (const std::string& value : storageDrivers) {
    if (!CheckDirectory(value, kStorageDriverDepth)) return 1;
  }
  for (const std::string& value : networkDrivers) {
    for (const fs::path& entry : SortedDirectoryEntries(image_path::TrimTrailing(value))) {
      const std::string leaf = entry.filename().string();
      if (fs::is_directory(entry) || NetworkDriverDirectory(leaf).empty()) continue;
      if (!CheckName(entry.string(), leaf)) return 1;
    }
  }
  for (const StringList* list : {&binaries, &startBinaries}) {
    for (const std::string& value : *list) {
      if (!CheckFile(value)) return 1;
    }
  }
  for (const std::string& value : packages) {
    if (!CheckDirectory(value, kPackageDepth)) return 1;
  }
  for (const std::string& value : startPackages) {
    const StartValue parts = ParseStartPackage(value);
    if (!CheckStartProgram(value, parts.package, parts.executable) ||
        !CheckDirectory(parts.package, kPackageDepth)) {
      return 1;
    }
  }
  for (const std::string& value : files) {
    if (!CheckFile(ParsePlacement(value).local)) return 1;
  }
  for (const std::string& value : directories) {
    const Placement placement = ParsePlacement(value);
    const std::size_t depth = image_path::Split(placement.place).size() + 1;
    if (!CheckDirectory(placement.local, depth)) return 1;
  }
  if (vncPackage.empty()) return 0;
  const StartValue parts = ParseVncValue(vncPackage);
  if (!fs::is_directory(parts.package)) {
    Warning("can not find VNC package %s", parts.package.c_str());
    return 1;
  }
  if (!CheckStartProgram(vncPackage, parts.package, parts.executable) ||
      !CheckDirectory(parts.package, kPackageDepth)) {
    return 1;
  }
  return 0;
}
