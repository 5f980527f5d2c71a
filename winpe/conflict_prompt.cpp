// Names already taken in the image or in the workspace, settled through
// the conflict dialogue.
#include <string>

#include <boost/filesystem.hpp>

#include "iso/image_path.h"
#include "iso/iso_reader.h"
#include "winpe/winpe_editor.h"

namespace fs = boost::filesystem;

std::string WinpeEditor::PlacedSameEntry(const std::string& imageDirectory,
                                         const std::string& name) {
  boost::system::error_code ec;
  for (fs::directory_iterator it(LocalPath(imageDirectory), ec), end; !ec && it != end; ++it) {
    const std::string placed = it->path().filename().string();
    if (image_path::SameEntry(placed, name)) return placed;
  }
  return "";
}

bool WinpeEditor::NameTaken(const std::string& imageDirectory, const std::string& name) {
  return reader->SameEntryType(image_path::Join(imageDirectory, name)) != 0 ||
         !PlacedSameEntry(imageDirectory, name).empty();
}

bool WinpeEditor::ChooseFreeName(const std::string& imageDirectory, ConflictKind kind,
                                 std::string& name) {
  image_path::CheckNewName(name);
  while (NameTaken(imageDirectory, name)) {
    switch (ResolveConflict(kind, conflictMode, name)) {
      case ConflictOutcome::Abort:
        return false;
      case ConflictOutcome::NewName:
        image_path::CheckNewName(name);
        break;
      case ConflictOutcome::Overwrite: {
        // The image's entry is replaced when the run copies the workspace
        // back; one this run placed here goes now, so that no stale twin of
        // another case is copied back beside the new item.
        const std::string placed = PlacedSameEntry(imageDirectory, name);
        if (!placed.empty()) fs::remove_all(fs::path(LocalPath(imageDirectory)) / placed);
        return true;
      }
    }
  }
  return true;
}
