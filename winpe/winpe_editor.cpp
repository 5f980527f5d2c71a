// The editor's life cycle, the checks of the option values made before the
// workspace exists, and the fixed order of the edits.
#include "winpe/winpe_editor.h"

#include <exception>
#include <stdexcept>

#include <boost/filesystem.hpp>

#include "common/console.h"
#include "winpe/option_values.h"

namespace fs = boost::filesystem;

WinpeEditor::WinpeEditor(const StringList& storageDrivers, const StringList& networkDrivers,
                         const StringList& binaries, const StringList& startBinaries,
                         const StringList& packages, const StringList& startPackages,
                         const StringList& directories, const StringList& files,
                         const std::string& vncPackage, bool disableFirewall,
                         const std::string& workspaceRoot, ISOReader* reader)
    : workspaceRoot(workspaceRoot),
      storageDrivers(storageDrivers),
      networkDrivers(networkDrivers),
      binaries(binaries),
      startBinaries(startBinaries),
      disableFirewall(disableFirewall),
      vncPackage(vncPackage),
      packages(packages),
      startPackages(startPackages),
      directories(directories),
      files(files),
      reader(reader) {
  if (reader == nullptr) throw std::invalid_argument("null ISOReader pointer");
}

WinpeEditor::~WinpeEditor() = default;

namespace {

void WarnMissingStartUp(const std::string& value) {
  Warning("invalid option format: %s", value.c_str());
  Warning("need to use '%c' to specify the start up executable", '%');
}

bool IsExistingFile(const std::string& path) {
  return fs::exists(path) && !fs::is_directory(path);
}

}  // namespace

int WinpeEditor::CheckOptions() {
  Log("checking options ...");
  for (const std::string& value : startPackages) {
    if (!ParseStartPackage(value).hasPercent) {
      WarnMissingStartUp(value);
      return 1;
    }
  }
  if (!vncPackage.empty() && !ParseVncValue(vncPackage).hasPercent) {
    WarnMissingStartUp(vncPackage);
    return 1;
  }
  return 0;
}

int WinpeEditor::CheckFileExistence() {
  Log("checking file existence ...");
  try {
    for (const std::string& value : storageDrivers) {
      if (!fs::is_directory(value)) {
        Warning("can not find storage driver package %s", value.c_str());
        return 1;
      }
    }
    for (const std::string& value : networkDrivers) {
      if (!fs::is_directory(value)) {
        Warning("can not find network driver package %s", value.c_str());
        return 1;
      }
    }
    for (const StringList* list : {&binaries, &startBinaries}) {
      for (const std::string& value : *list) {
        if (!IsExistingFile(value)) {
          Warning("can not find binary file %s", value.c_str());
          return 1;
        }
      }
    }
    for (const std::string& value : packages) {
      if (!fs::is_directory(value)) {
        Warning("can not find software package %s", value.c_str());
        return 1;
      }
    }
    for (const std::string& value : startPackages) {
      const std::string package = ParseStartPackage(value).package;
      if (!fs::is_directory(package)) {
        Warning("can not find software package %s", package.c_str());
        return 1;
      }
    }
    for (const std::string& value : files) {
      if (!IsExistingFile(ParsePlacement(value).local)) {
        Warning("can not find file %s", value.c_str());
        return 1;
      }
    }
    for (const std::string& value : directories) {
      if (!fs::is_directory(ParsePlacement(value).local)) {
        Warning("can not find directory %s", value.c_str());
        return 1;
      }
    }
    if (CheckSourcesGoingIn() != 0) return 1;
  } catch (const std::exception& e) {
    Warning("exception: %s", e.what());
    return 1;
  }
  return 0;
}

// Each step prints its own failure; exceptions of the edits that catch
// nothing themselves go on to the run.
int WinpeEditor::ApplyChanges() {
  for (const std::string& value : storageDrivers) {
    if (AddStorageDriver(value) != 0) return 1;
  }
  for (const std::string& value : networkDrivers) {
    if (AddNetworkDriver(value) != 0) return 1;
  }
  for (const std::string& value : binaries) {
    if (AddBinary(value).empty()) return 1;
  }
  for (const std::string& value : startBinaries) {
    std::string name = AddBinary(value);
    if (name.empty()) return 1;
    if (AddStartUp(name) != 0) return 1;
  }
  for (const std::string& value : packages) {
    if (AddPackage(value).empty()) return 1;
  }
  for (const std::string& value : startPackages) {
    const StartValue parts = ParseStartPackage(value);
    const std::string& executable = parts.executable;
    std::string name = AddPackage(parts.package);
    if (name.empty()) return 1;
    if (executable.empty()) {
      // Nothing else reports this case: say why the run stops.
      Warning("adding start up failed - no start up executable after '%%' in %s", value.c_str());
      return 1;
    }
    if (AddStartUp(name + "\\" + executable) != 0) return 1;
  }
  if (disableFirewall && DisableFirewall() != 0) return 1;
  if (vncPackage.empty()) return 0;
  return AddVncPackage(vncPackage) != 0 ? 1 : 0;
}
