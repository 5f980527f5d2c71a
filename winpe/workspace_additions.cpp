// Files and directories placed in the workspace under a free name (programs
// and packages under "\PROGRAMS"), and the recursive copy they use.
#include <exception>
#include <stdexcept>
#include <string>

#include <boost/filesystem.hpp>

#include "common/console.h"
#include "common/directory_listing.h"
#include "common/file_copy.h"
#include "iso/image_path.h"
#include "iso/iso_reader.h"
#include "winpe/winpe_editor.h"
#include "winpe/winpe_files.h"
#include "winpe/workspace_place.h"

namespace fs = boost::filesystem;

std::string WinpeEditor::LocalPath(const std::string& imageRelative) const {
  return winpe_files::WorkspacePath(workspaceRoot, imageRelative);
}

void WinpeEditor::copy_directory(const std::string& source, const std::string& destination) {
  if (fs::exists(destination)) {
    if (fs::is_directory(destination)) {
      throw std::runtime_error("copy_directory fails: a directory with same name exists");
    }
    throw std::runtime_error("copy_directory fails: a file with same name exists");
  }
  fs::create_directory(destination);
  for (const fs::path& entry : SortedDirectoryEntries(source)) {
    fs::path target = fs::path(destination) / entry.filename();
    if (fs::is_directory(entry)) {
      copy_directory(entry.string(), target.string());
    } else {
      CopyFileNoOverwrite(entry.string(), target.string());  // fails when the target exists
    }
  }
}

std::string WinpeEditor::PlacedSameEntry(const std::string& imageDirectory,
                                         const std::string& name) {
  boost::system::error_code ec;
  for (fs::directory_iterator it(LocalPath(imageDirectory), ec), end; !ec && it != end; ++it) {
    const std::string placed = it->path().filename().string();
    if (image_path::SameEntry(placed, name)) return placed;
  }
  return "";
}

WinpeEditor::WorkspacePlace::WorkspacePlace(WinpeEditor& editor,
                                            const std::string& relativeDirectory)
    : editor_(editor),
      relative_(image_path::TrimTrailing(relativeDirectory)),
      local_(editor.LocalPath(relative_)) {}

bool WinpeEditor::WorkspacePlace::ParentExists() { return fs::is_directory(local_); }

bool WinpeEditor::WorkspacePlace::TakenInImage(const std::string& name) {
  return editor_.reader->SameEntryType(image_path::Join(relative_, name)) != 0;
}

std::string WinpeEditor::WorkspacePlace::AddedEarlier(const std::string& name) {
  return editor_.PlacedSameEntry(relative_, name);
}

bool WinpeEditor::WorkspacePlace::Put(const Addition& addition, const std::string& name,
                                      const std::string& replaced) {
  if (!replaced.empty()) fs::remove_all(fs::path(local_) / replaced);
  // Neither copy overwrites.
  const std::string target = (fs::path(local_) / name).string();
  if (addition.isDirectory) {
    copy_directory(image_path::TrimTrailing(addition.source), target);
  } else {
    CopyFileNoOverwrite(addition.source, target);
  }
  return true;
}

std::string WinpeEditor::WorkspacePlace::ImagePath(const std::string& name) const {
  return "\\" + image_path::Join(image_path::Split(image_path::Join(relative_, name)));
}

std::string WinpeEditor::AddFileToWorkspace(const std::string& sourceFile,
                                            const std::string& relativeDirectory) {
  return AddToWorkspace({sourceFile, false, ConflictKind::File, conflictMode}, relativeDirectory);
}

std::string WinpeEditor::AddDirectoryToWorkspace(const std::string& sourceDirectory,
                                                 const std::string& relativeDirectory) {
  return AddToWorkspace({sourceDirectory, true, ConflictKind::Directory, conflictMode},
                        relativeDirectory);
}

std::string WinpeEditor::AddToWorkspace(const Addition& addition,
                                        const std::string& relativeDirectory) {
  WorkspacePlace place(*this, relativeDirectory);
  return AddUnderFreeName(addition, place);
}

namespace {

// Makes sure the workspace has "PROGRAMS" as a directory, as the image will.
// `what` names the addition in the exception's warning. False after a
// warning when it cannot.
bool PrepareProgramsDirectory(ISOReader& reader, const fs::path& programs, const char* what) {
  try {
    if (reader.SameEntryType("\\PROGRAMS") == kTypeFile) {
      Warning("adding binary file failed - a file named \"PROGRAMS\" exists,");
      Warning(" manually delete it to allow create \"PROGRAMS\" directory");
      return false;
    }
    if (!fs::exists(programs)) fs::create_directory(programs);
    return true;
  } catch (const std::exception& e) {
    Warning("adding %s failed, exception: %s", what, e.what());
    return false;
  }
}

}  // namespace

std::string WinpeEditor::AddBinary(const std::string& sourceFile) {
  if (!PrepareProgramsDirectory(*reader, LocalPath("PROGRAMS"), "binary file")) return "";
  return AddFileToWorkspace(sourceFile, "PROGRAMS");
}

std::string WinpeEditor::AddPackage(const std::string& sourceDirectory) {
  if (!PrepareProgramsDirectory(*reader, LocalPath("PROGRAMS"), "software package")) return "";
  return AddDirectoryToWorkspace(sourceDirectory, "PROGRAMS");
}
