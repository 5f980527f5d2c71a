#include "app/workspace.h"

#include <boost/filesystem.hpp>

#include "app/local_paths.h"
#include "common/console.h"
#include "common/directory_listing.h"
#include "platform/file_kind.h"

namespace fs = boost::filesystem;

namespace {

// What a run leaves in its workspace when it is killed before its clean-up.
struct Leftover {
  const char* name;
  platform::FileKind kind;
};
const Leftover kLeftovers[] = {{"image_file_dir", platform::FileKind::Directory},
                               {"BootImage.bin", platform::FileKind::Regular}};

bool OverlapsALocalPath(const OptionValues& values, const std::string& workspace) {
  const fs::path w = Normalised(workspace);
  for (const std::string& local : LocalPathsRead(values)) {
    const fs::path p = Normalised(local);
    if (IsWithin(p, w)) {
      Warning("invalid temporary directory %s - it holds the image or a source (%s)",
              workspace.c_str(), local.c_str());
      return true;
    }
    if (IsWithin(w, p)) {
      Warning("invalid temporary directory %s - it lies inside the image or a source (%s)",
              workspace.c_str(), local.c_str());
      return true;
    }
  }
  return false;
}

// True when every entry is something a run leaves; otherwise warns, naming
// the first entry that is not.
bool HoldsOnlyLeftovers(const std::string& workspace) {
  for (const fs::path& entry : SortedDirectoryEntries(workspace)) {
    const std::string name = entry.filename().string();
    bool leftover = false;
    for (const Leftover& l : kLeftovers) {
      leftover = leftover || (name == l.name && platform::KindOf(entry.string()) == l.kind);
    }
    if (!leftover) {
      Warning("invalid temporary directory %s - it holds %s, which is not what a run leaves "
              "there (image_file_dir, BootImage.bin), and the run would delete it; give an "
              "empty directory or a new name",
              workspace.c_str(), name.c_str());
      return false;
    }
  }
  return true;
}

// Never follows a link: only the directory itself is emptied.
void EmptyDirectory(const std::string& directory) {
  const platform::FileKind kind = platform::KindOf(directory);
  if (kind == platform::FileKind::None) {
    fs::create_directory(directory);
    return;
  }
  if (kind != platform::FileKind::Directory) {
    throw fs::filesystem_error("not emptied, no longer a directory", directory,
                               boost::system::errc::make_error_code(
                                   boost::system::errc::not_a_directory));
  }
  for (const fs::path& entry : SortedDirectoryEntries(directory)) fs::remove_all(entry);
}

}  // namespace

bool WorkspaceIsUsable(const OptionValues& values, const std::string& workspace) {
  try {
    const platform::FileKind kind = platform::KindOf(workspace);
    if (kind != platform::FileKind::None && kind != platform::FileKind::Directory) {
      Warning("invalid temporary directory %s - it exists and is not a directory",
              workspace.c_str());
      return false;
    }
    if (OverlapsALocalPath(values, workspace)) return false;
    return kind == platform::FileKind::None || HoldsOnlyLeftovers(workspace);
  } catch (const std::exception& e) {
    Warning("invalid temporary directory %s - %s", workspace.c_str(), e.what());
    return false;
  }
}

void PrepareWorkspace(const std::string& workspace, bool existed) {
  if (existed) {
    EmptyDirectory(workspace);
  } else {
    fs::create_directory(workspace);
  }
}

void RemoveWorkspace(const std::string& workspace, bool existed) {
  if (existed) {
    EmptyDirectory(workspace);
  } else {
    fs::remove_all(workspace);
  }
}
