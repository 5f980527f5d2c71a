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

// False after "can not find <what> <shown>" unless `path` is an existing
// directory or, when `directory` is false, an existing file.
bool Found(const std::string& path, bool directory, const char* what, const std::string& shown) {
  const bool found =
      directory ? fs::is_directory(path) : fs::exists(path) && !fs::is_directory(path);
  if (!found) Warning("can not find %s %s", what, shown.c_str());
  return found;
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
  struct Sources {
    const StringList& values;
    bool directory;
    const char* what;
  };
  try {
    for (const Sources& sources : {Sources{storageDrivers, true, "storage driver package"},
                                   Sources{networkDrivers, true, "network driver package"},
                                   Sources{binaries, false, "binary file"},
                                   Sources{startBinaries, false, "binary file"},
                                   Sources{packages, true, "software package"}}) {
      for (const std::string& value : sources.values) {
        if (!Found(value, sources.directory, sources.what, value)) return 1;
      }
    }
    for (const std::string& value : startPackages) {
      const std::string package = ParseStartPackage(value).package;
      if (!Found(package, true, "software package", package)) return 1;
    }
    for (const std::string& value : files) {
      if (!Found(ParsePlacement(value).local, false, "file", value)) return 1;
    }
    for (const std::string& value : directories) {
      if (!Found(ParsePlacement(value).local, true, "directory", value)) return 1;
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
