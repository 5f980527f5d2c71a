#include "app/direct_additions.h"

#include <exception>

#include "common/console.h"
#include "common/prompt.h"
#include "iso/image_path.h"
#include "iso/iso_modifier.h"
#include "iso/iso_reader.h"

namespace {

// The texts that differ between adding a directory and adding a file.
struct AdditionTexts {
  const char* starting;
  const char* noParent;
  const char* changeLine;
  const char* askName;
  const char* aborted;
  const char* notAdded;
  const char* succeeded;
  const char* exception;
  bool exceptionAsWarning;
};

const AdditionTexts kDirectoryTexts = {
    "adding directory %s ...",
    "adding directory %s failed - parent directory does not exist",
    "change the destination directory name, overwrite or abort",
    "please enter the new name for the directory %s",
    "adding directory %s failed - package name conflict, aborted by user",
    "adding directory %s failed - failed to add file into ISO",
    "adding directory %s succeeded",
    "adding directory failed, exception: %s",
    false,
};

const AdditionTexts kFileTexts = {
    "adding file %s ...",
    "adding file %s failed - parent directory does not exists",
    "change the destination file name, overwrite or abort",
    "please enter the new name for the binary file %s",
    "adding file %s failed - file name conflict, aborted by user",
    "adding file %s failed - failed to add file into ISO",
    "adding file %s succeeded",
    "adding file failed, exception: %s",
    true,
};

int AddToImage(bool isDirectory, const std::string& localPath, const std::string& place,
               ISOReader* reader, ISOModifier* modifier) {
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
      Log("a file or directory with same name exists");
      Log("%s", texts.changeLine);
      Log("press 'c' to change name, 'o' to overwrite, other key to abort");
      char key = 0;
      bool haveKey = ReadPromptKey(key);
      if (haveKey && key == 'c') {
        Log(texts.askName, name.c_str());
        std::string newName;
        if (!ReadPromptWord(newName)) {
          Warning(texts.aborted, name.c_str());
          return 1;
        }
        image_path::CheckNewName(newName);
        name = newName;
        fullPath = image_path::Join(parent, name);
        continue;
      }
      if (haveKey && key == 'o') break;
      Warning(texts.aborted, name.c_str());
      return 1;
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
                        ISOModifier* modifier) {
  return AddToImage(true, localPath, place, reader, modifier);
}

int AddFileToImage(const std::string& localPath, const std::string& place, ISOReader* reader,
                   ISOModifier* modifier) {
  return AddToImage(false, localPath, place, reader, modifier);
}

void SplitPlacement(const std::string& value, std::string& localPath, std::string& place) {
  std::string::size_type percent = value.find('%');
  if (percent == std::string::npos) {
    localPath = value;
    place.clear();
  } else {
    localPath = value.substr(0, percent);
    place = value.substr(percent + 1);
  }
}
