// The console dialogue that resolves a name already present in the image:
// "c" and a new name retries, any other answer aborts the addition.
#include <string>

#include "common/console.h"
#include "common/prompt.h"
#include "iso/iso_reader.h"
#include "winpe/winpe_editor.h"

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

bool WinpeEditor::ChooseFreeName(const std::string& imageDirectory, ConflictKind kind,
                                 std::string& name) {
  CheckEntryName(name);
  while (reader->FileExists(imageDirectory + "\\" + name) ||
         reader->DirectoryExists(imageDirectory + "\\" + name)) {
    if (!AskForNewName(kind, name)) return false;
    CheckEntryName(name);
  }
  return true;
}
