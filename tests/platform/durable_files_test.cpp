// New files: made only where nothing stands, committed with a backup, only our own removed.
#include "platform/new_file.h"

#include <gtest/gtest.h>

#include <functional>

#include <boost/filesystem.hpp>

#include "platform/file_kind.h"
#include "platform/file_lock.h"
#include "tests/test_support.h"

namespace {

using namespace testing_support;
using platform::FileKind;
namespace fs = boost::filesystem;

// A new file "new" with `content`, made for replacing `dir`/target.
void Fill(platform::NewFile& file, const ScratchDir& dir, const std::string& content) {
  file.Create(dir / "new");
  file.Write(content.data(), content.size());
  file.Flush();
}

TEST(FileKind, TellsWhatStandsThereWithoutFollowingLinks) {
  ScratchDir dir;
  WriteFile(dir / "file", "x");
  const struct {
    std::string path;
    FileKind kind;
  } cases[] = {
      {dir / "file", FileKind::Regular},    {dir.path(), FileKind::Directory},
      {kNullDevice, FileKind::Device},      {dir / "absent", FileKind::None},
      {dir / "file/below", FileKind::None}, {"", FileKind::None},
  };
  for (const auto& c : cases) EXPECT_EQ(platform::KindOf(c.path), c.kind) << c.path;
  if (!MakeSymbolicLink(dir / "file", dir / "link")) GTEST_SKIP() << kNoSymbolicLinks;
  EXPECT_EQ(platform::KindOf(dir / "link"), FileKind::Link);
}

TEST(NewFile, IsCreatedOnlyWhereNothingStands) {
  ScratchDir dir;
  WriteFile(dir / "victim", "keep me");
  MakeDirs(dir / "folder");
  std::vector<std::string> taken = {"victim", "folder"};
  if (MakeSymbolicLink(dir / "victim", dir / "link") &&
      MakeSymbolicLink(dir / "nowhere", dir / "dangling")) {
    taken.insert(taken.end(), {"link", "dangling"});
  }
  for (const std::string& name : taken) {
    platform::NewFile file;
    EXPECT_EQ(Failure([&] { file.Create(dir / name); }),
              "cannot create " + dir / name + ": File exists");
  }
  EXPECT_EQ(ReadFile(dir / "victim"), "keep me");
  EXPECT_EQ(platform::KindOf(dir / "nowhere"), FileKind::None);
}

TEST(NewFile, CommitKeepsTheOldFileAsTheBackup) {
  ScratchDir dir;
  WriteFile(dir / "target", "old");
  WriteFile(dir / "target.bak", "older");
  const std::string old = FileIdentityOf(dir / "target");
  platform::NewFile file;
  Fill(file, dir, "new");
  EXPECT_EQ(file.CommitOver(dir / "target", dir / "target.bak"), "");
  EXPECT_TRUE(file.Committed());
  EXPECT_EQ(ReadFile(dir / "target"), "new");
  EXPECT_EQ(FileIdentityOf(dir / "target.bak"), old);  // the old file itself, not a copy
  EXPECT_EQ(ListNames(dir.path()), (std::vector<std::string>{"target", "target.bak"}));
  file.Discard();  // committed: nothing of this run's is left to remove
  EXPECT_EQ(ReadFile(dir / "target"), "new");

  // Without a backup name the old file simply goes.
  platform::NewFile second;
  Fill(second, dir, "newer");
  EXPECT_EQ(second.CommitOver(dir / "target", ""), "");
  EXPECT_EQ(ReadFile(dir / "target"), "newer");
  EXPECT_EQ(FileIdentityOf(dir / "target.bak"), old);
}

TEST(NewFile, CommitsOverATargetThatTheCallerHoldsLocked) {
  // Windows refuses to replace an open file unless the rename has POSIX
  // semantics; otherwise the lock is let go just before the rename.
  ScratchDir dir;
  WriteFile(dir / "target", "old");
  platform::FileLock lock;
  ASSERT_EQ(lock.Acquire(dir / "target", platform::FileLock::Mode::Exclusive),
            platform::FileLock::Result::Locked);
  platform::NewFile file;
  Fill(file, dir, "new");
  EXPECT_EQ(file.CommitOver(dir / "target", dir / "target.bak", &lock), "");
  EXPECT_EQ(ReadFile(dir / "target") + ReadFile(dir / "target.bak"), "newold");
}

TEST(NewFile, AFailedCommitLeavesTheTargetAndTheBackupAsTheyWere) {
  ScratchDir dir;
  WriteFile(dir / "target", "old");
  MakeDirs(dir / "target.bak/content");
  platform::NewFile file;
  Fill(file, dir, "new");
  const std::string failure = Failure([&] { file.CommitOver(dir / "target", dir / "target.bak"); });
  // "Is a directory" here, "Permission denied" on Windows.
  EXPECT_NE(failure.find(" to " + dir / "target.bak" + ": "), std::string::npos) << failure;
  EXPECT_FALSE(file.Committed());
  EXPECT_EQ(ReadFile(dir / "target"), "old");
  EXPECT_EQ(platform::KindOf(dir / "target.bak/content"), FileKind::Directory);
  EXPECT_EQ(ListNames(dir.path()), (std::vector<std::string>{"new", "target", "target.bak"}));
}

TEST(NewFile, DiscardRemovesOnlyItsOwnFile) {
  ScratchDir dir;
  {
    platform::NewFile file;
    Fill(file, dir, "partial");
    file.Discard();
  }
  EXPECT_EQ(platform::KindOf(dir / "new"), FileKind::None);

  // Someone put another file under the name: it is theirs, and it stays.
  platform::NewFile replaced;
  Fill(replaced, dir, "partial");
  fs::rename(dir / "new", dir / "moved");
  WriteFile(dir / "new", "someone else's");
  EXPECT_FALSE(replaced.StillNamed());
  replaced.Discard();
  EXPECT_EQ(ReadFile(dir / "new"), "someone else's");
}

}  // namespace
