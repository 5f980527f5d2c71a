#include "winpe/addition_flow.h"

#include <exception>

#include "common/console.h"
#include "iso/image_path.h"

namespace {

const char* What(const Addition& addition) {
  return addition.isDirectory ? "directory" : "file";
}

void ReportException(const Addition& addition, const std::exception& e) {
  // Scripts match these as they have always been: the directory's goes to
  // standard output.
  if (addition.isDirectory) {
    Log("adding directory failed, exception: %s", e.what());
  } else {
    Warning("adding file failed, exception: %s", e.what());
  }
}

}  // namespace

bool SettleName(const Addition& addition, AdditionPlace& place, std::string& name,
                std::string& replaced) {
  image_path::CheckNewName(name);
  while (place.TakenInImage(name)) {
    const ConflictOutcome outcome = ResolveConflict(addition.conflictKind, addition.mode, name);
    if (outcome == ConflictOutcome::Abort) return false;
    if (outcome == ConflictOutcome::Overwrite) break;
    image_path::CheckNewName(name);
  }
  replaced = place.AddedEarlier(name);
  if (!replaced.empty()) {
    Log("%s replaces %s, added earlier in this run", addition.source.c_str(),
        place.ImagePath(replaced).c_str());
  }
  return true;
}

std::string AddUnderFreeName(const Addition& addition, AdditionPlace& place) {
  const char* what = What(addition);
  try {
    std::string name = image_path::Leaf(addition.source);
    Log("adding %s %s ...", what, name.c_str());
    if (!place.ParentExists()) {
      Warning(addition.isDirectory ? "adding directory %s failed - parent directory does not exist"
                                   : "adding file %s failed - parent directory does not exists",
              name.c_str());
      return "";
    }
    std::string replaced;
    if (!SettleName(addition, place, name, replaced)) return "";
    if (!place.SourceStillFits(addition)) return "";
    if (!place.Put(addition, name, replaced)) {
      Warning("adding %s %s failed - failed to add file into ISO", what, name.c_str());
      return "";
    }
    Log("adding %s %s succeeded", what, name.c_str());
    return name;
  } catch (const std::exception& e) {
    ReportException(addition, e);
    return "";
  }
}
