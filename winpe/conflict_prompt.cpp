// The console dialogue that resolves a name already taken in the image or
// in the workspace: "c" and a new name retries, any other answer aborts.
#include <string>

#include <boost/filesystem.hpp>

#include "common/console.h"
#include "common/prompt.h"
#include "iso/image_path.h"
#include "iso/iso_reader.h"
#include "winpe/winpe_editor.h"

namespace fs = boost::filesystem;

bool WinpeEditor::AskForNewName(ConflictKind kind, std::string& name) {
  Log("a file or directory with same name exists");
  switch (kind) {
    case ConflictKind::File:
      Log("change the destination file name or abort");
      break;
    case ConflictKind::Directory:
      Log("change the destination directory name, abort");
      break;
    case ConflictKind::StorageDriver:
      Log("change the storage driver package name or abort");
      break;
  }
  Log("press 'c' to change name, other key to abort");

  char key = 0;
  bool changing = ReadPromptKey(key) && key == 'c';
  std::string word;
  if (changing) {
    switch (kind) {
      case ConflictKind::File:
        Log("please enter the new name for the binary file %s", name.c_str());
        break;
      case ConflictKind::Directory:
        Log("please enter the new name for the directory %s", name.c_str());
        break;
      case ConflictKind::StorageDriver:
        Log("please enter the new name for the storage driver %s", name.c_str());
        break;
    }
    // Input that ends before the new name aborts like any other answer.
    changing = ReadPromptWord(word);
  }
  if (!changing) {
    switch (kind) {
      case ConflictKind::File:
        Warning("adding file %s failed - file name conflict, aborted by user", name.c_str());
        break;
      case ConflictKind::Directory:
        Warning("adding directory %s failed - package name conflict, aborted by user",
                name.c_str());
        break;
      case ConflictKind::StorageDriver:
        Warning("adding storage driver package %s failed - file name conflict, aborted by user",
                name.c_str());
        break;
    }
    return false;
  }
  name = word;
  return true;
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

bool WinpeEditor::NameTaken(const std::string& imageDirectory, const std::string& name) {
  return reader->SameEntryType(image_path::Join(imageDirectory, name)) != 0 ||
         !PlacedSameEntry(imageDirectory, name).empty();
}

bool WinpeEditor::ChooseFreeName(const std::string& imageDirectory, ConflictKind kind,
                                 std::string& name) {
  image_path::CheckNewName(name);
  while (NameTaken(imageDirectory, name)) {
    if (!AskForNewName(kind, name)) return false;
    image_path::CheckNewName(name);
  }
  return true;
}
