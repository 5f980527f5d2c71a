// The conflict dialogue: every answer and mode, for the kinds whose texts differ.
#include <gtest/gtest.h>

#include <string>

#include "common/conflict_dialogue.h"
#include "tests/test_support.h"

namespace {

const char kTaken[] = "Log: a file or directory with same name exists\n";
const char kPressC[] = "Log: press 'c' to change name, other key to abort\n";
const char kPressCO[] = "Log: press 'c' to change name, 'o' to overwrite, other key to abort\n";

TEST(ConflictDialogue, AnswersAndModes) {
  const std::string file = std::string(kTaken) + "Log: change the destination file name or abort\n" +
                           kPressC;
  const std::string directFile =
      std::string(kTaken) + "Log: change the destination file name, overwrite or abort\n" +
      kPressCO;
  const std::string fileAborted =
      "Warning: adding file a.exe failed - file name conflict, aborted by user\n";
  const struct {
    ConflictKind kind;
    ConflictMode mode;
    const char* input;
    ConflictOutcome outcome;
    std::string name, out, err, unread;
  } rows[] = {
      // The new name on the key's line or the next; the rest of a line stays.
      {ConflictKind::File, ConflictMode::Ask, "c new name.exe\n", ConflictOutcome::NewName, "new",
       file + "Log: please enter the new name for the binary file a.exe\n", "", " name.exe\n"},
      {ConflictKind::File, ConflictMode::Ask, " c\nnew.exe\n", ConflictOutcome::NewName, "new.exe",
       file + "Log: please enter the new name for the binary file a.exe\n", "", "\n"},
      // "o" only where it is offered; any other key, "C" and end of input abort.
      {ConflictKind::File, ConflictMode::Ask, "o\n", ConflictOutcome::Abort, "a.exe", file,
       fileAborted, "\n"},
      {ConflictKind::DirectFile, ConflictMode::Ask, "o\n", ConflictOutcome::Overwrite, "a.exe",
       directFile, "", "\n"},
      {ConflictKind::DirectFile, ConflictMode::Ask, "C\n", ConflictOutcome::Abort, "a.exe",
       directFile, fileAborted, "\n"},
      {ConflictKind::File, ConflictMode::Ask, "", ConflictOutcome::Abort, "a.exe", file,
       fileAborted, ""},
      {ConflictKind::File, ConflictMode::Ask, "c\n", ConflictOutcome::Abort, "a.exe",
       file + "Log: please enter the new name for the binary file a.exe\n", fileAborted, ""},
      {ConflictKind::Directory, ConflictMode::Ask, "x\n", ConflictOutcome::Abort, "a.exe",
       std::string(kTaken) + "Log: change the destination directory name, abort\n" + kPressC,
       "Warning: adding directory a.exe failed - package name conflict, aborted by user\n", "\n"},
      {ConflictKind::DirectDirectory, ConflictMode::Ask, "c b\n", ConflictOutcome::NewName, "b",
       std::string(kTaken) + "Log: change the destination directory name, overwrite or abort\n" +
           kPressCO + "Log: please enter the new name for the directory a.exe\n",
       "", "\n"},
      {ConflictKind::StorageDriver, ConflictMode::Ask, "x\n", ConflictOutcome::Abort, "a.exe",
       std::string(kTaken) + "Log: change the storage driver package name or abort\n" + kPressC,
       "Warning: adding storage driver package a.exe failed - file name conflict, aborted by "
       "user\n", "\n"},
      // The command line decides: standard input is never read.
      {ConflictKind::File, ConflictMode::Abort, "c new\n", ConflictOutcome::Abort, "a.exe", kTaken,
       fileAborted, "c new\n"},
      {ConflictKind::Directory, ConflictMode::Overwrite, "c new\n", ConflictOutcome::Overwrite,
       "a.exe", std::string(kTaken) + "Log: a.exe replaces it (--on-conflict=overwrite)\n", "",
       "c new\n"},
  };
  for (const auto& row : rows) {
    testing_support::FeedStdin input(row.input);
    testing_support::CaptureOutput capture;
    std::string name = "a.exe";
    const ConflictOutcome outcome = ResolveConflict(row.kind, row.mode, name);
    const std::string out = capture.Stdout(), err = capture.Stderr();
    EXPECT_EQ(row.outcome, outcome) << row.input;
    EXPECT_EQ(row.name, name) << row.input;
    EXPECT_EQ(row.out, out) << row.input;
    EXPECT_EQ(row.err, err) << row.input;
    EXPECT_EQ(row.unread, input.Unread()) << row.input;
  }
}

}  // namespace
