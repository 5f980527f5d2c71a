#include "app/direct_additions.h"

#include <exception>

#include "common/console.h"
#include "common/conflict_dialogue.h"
#include "iso/image_path.h"
#include "iso/iso_modifier.h"
#include "iso/iso_reader.h"

namespace {

// The texts that differ between adding a directory and adding a file.
struct AdditionTexts {
  ConflictKind conflictKind;
  const char* starting;
  const char* noParent;
  const char* notAdded;
  const char* succeeded;
  const char* exception;
  bool exceptionAsWarning;
};

const AdditionTexts kDirectoryTexts = {
    ConflictKind::DirectDirectory,
    "adding directory %s ...",
    "adding directory %s failed - parent directory does not exist",
    "adding directory %s failed - failed to add file into ISO",
    "adding directory %s succeeded",
    "adding directory failed, exception: %s",
    false,
};

const AdditionTexts kFileTexts = {
    ConflictKind::DirectFile,
    "adding file %s ...",
    "adding file %s failed - parent directory does not exists",
    "adding file %s failed - failed to add file into ISO",
    "adding file %s succeeded",
    "adding file failed, exception: %s",
    true,
};

int AddToImage(bool isDirectory, const std::string& localPath, const std::string& place,
               ISOReader* reader, ISOModifier* modifier, ConflictMode mode) {
  if (reader == nullptr || modifier == nullptr) return 1;
  const AdditionTexts& texts = isDirectory ? kDirectoryTexts : kFileTexts;
  try {
    std::string name = image_path::Leaf(localPath);
    std::string parent = image_path::TrimTrailing(place);
    // F joins the place as given (no second separator when it already ends in one).
    std::string fullPath = image_path::Join(place, name);

    Log(texts.starting, name.c_str());
    if (!reader->DirectoryExists(parent)) {
      Warning(texts.noParent, name.c_str());
      return 1;
    }

    // Checked against everything the new image holds so far, compared as
    // the modifier compares when it replaces: with case and version ignored.
    while (modifier->SameEntryType(fullPath) != 0) {
      const ConflictOutcome outcome = ResolveConflict(texts.conflictKind, mode, name);
      if (outcome == ConflictOutcome::Abort) return 1;
      if (outcome == ConflictOutcome::Overwrite) break;
      image_path::CheckNewName(name);
      fullPath = image_path::Join(parent, name);
    }

    int added = isDirectory ? modifier->AddSingleDirectory(localPath, fullPath, true)
                            : modifier->AddSingleFile(localPath, fullPath, true);
    if (added != 0) {
      Warning(texts.notAdded, name.c_str());
      return 1;
    }
    Log(texts.succeeded, name.c_str());
    return 0;
  } catch (const std::exception& e) {
    if (texts.exceptionAsWarning) {
      Warning(texts.exception, e.what());
    } else {
      Log(texts.exception, e.what());
    }
    return 1;
  }
}

}  // namespace

int AddDirectoryToImage(const std::string& localPath, const std::string& place, ISOReader* reader,
                        ISOModifier* modifier, ConflictMode mode) {
  return AddToImage(true, localPath, place, reader, modifier, mode);
}

int AddFileToImage(const std::string& localPath, const std::string& place, ISOReader* reader,
                   ISOModifier* modifier, ConflictMode mode) {
  return AddToImage(false, localPath, place, reader, modifier, mode);
}
