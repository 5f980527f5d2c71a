#include "common/conflict_dialogue.h"

#include "common/console.h"
#include "common/prompt.h"

namespace {

struct ConflictTexts {
  const char* changeLine;  // the prompt's second line
  const char* askName;     // request for the new name (%s: the current name)
  const char* aborted;     // the abort warning (%s: the current name)
  bool offersOverwrite;    // "o" is an answer
};

// In the order of ConflictKind.
const ConflictTexts kTexts[] = {
    {"change the destination file name or abort",
     "please enter the new name for the binary file %s",
     "adding file %s failed - file name conflict, aborted by user", false},
    {"change the destination directory name, abort",
     "please enter the new name for the directory %s",
     "adding directory %s failed - package name conflict, aborted by user", false},
    {"change the storage driver package name or abort",
     "please enter the new name for the storage driver %s",
     "adding storage driver package %s failed - file name conflict, aborted by user", false},
    {"change the destination file name, overwrite or abort",
     "please enter the new name for the binary file %s",
     "adding file %s failed - file name conflict, aborted by user", true},
    {"change the destination directory name, overwrite or abort",
     "please enter the new name for the directory %s",
     "adding directory %s failed - package name conflict, aborted by user", true},
};

const char kTakenLine[] = "a file or directory with same name exists";

ConflictOutcome Abort(const ConflictTexts& texts, const std::string& name) {
  Warning(texts.aborted, name.c_str());
  return ConflictOutcome::Abort;
}

}  // namespace

bool ParseConflictMode(const std::string& text, ConflictMode& mode) {
  if (text == "ask") {
    mode = ConflictMode::Ask;
  } else if (text == "abort") {
    mode = ConflictMode::Abort;
  } else if (text == "overwrite") {
    mode = ConflictMode::Overwrite;
  } else {
    return false;
  }
  return true;
}

ConflictOutcome ResolveConflict(ConflictKind kind, ConflictMode mode, std::string& name) {
  const ConflictTexts& texts = kTexts[static_cast<int>(kind)];
  Log("%s", kTakenLine);
  // Decided by the command line: standard input is never read.
  if (mode == ConflictMode::Abort) return Abort(texts, name);
  if (mode == ConflictMode::Overwrite) {
    Log("%s replaces it (--on-conflict=overwrite)", name.c_str());
    return ConflictOutcome::Overwrite;
  }

  Log("%s", texts.changeLine);
  Log("%s", texts.offersOverwrite
                ? "press 'c' to change name, 'o' to overwrite, other key to abort"
                : "press 'c' to change name, other key to abort");
  char key = 0;
  if (!ReadPromptKey(key)) return Abort(texts, name);
  if (key == 'o' && texts.offersOverwrite) return ConflictOutcome::Overwrite;
  if (key != 'c') return Abort(texts, name);
  Log(texts.askName, name.c_str());
  // Input that ends before the new name aborts like any other answer.
  std::string word;
  if (!ReadPromptWord(word)) return Abort(texts, name);
  name = word;
  return ConflictOutcome::NewName;
}
