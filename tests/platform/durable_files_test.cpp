// New versions of files: created only where nothing stands, never through a
// link; committed over the target with or without a backup, so that the
// target and the old file always have a name; attributes taken over; and
// only this process's own file ever removed.
#include "platform/durable_files.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <functional>

#include <boost/filesystem.hpp>

#include "platform/file_kind.h"
#include "tests/test_support.h"

namespace {

using namespace testing_support;
using platform::FileKind;

ino_t Inode(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

std::vector<std::string> Names(const std::string& directory) {
  std::vector<std::string> names;
  for (const auto& entry : boost::filesystem::directory_iterator(directory)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

// A new file "new" with `content`, made for replacing `dir`/target.
void Fill(platform::ReplacementFile& file, const ScratchDir& dir, const std::string& content) {
  file.Create(dir / "new");
  WriteFile(dir / "new", content);
}

TEST(FileKind, TellsWhatStandsThereWithoutFollowingLinks) {
  ScratchDir dir;
  WriteFile(dir / "file", "x");
  ASSERT_EQ(::symlink((dir / "file").c_str(), (dir / "link").c_str()), 0);
  ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
  const struct {
    std::string path;
    FileKind kind;
  } cases[] = {
      {dir / "file", FileKind::Regular},   {dir / "link", FileKind::Link},
      {dir.path(), FileKind::Directory},   {dir / "fifo", FileKind::Fifo},
      {"/dev/null", FileKind::Device},     {dir / "absent", FileKind::None},
      {dir / "file/below", FileKind::None}, {"", FileKind::None},
  };
  for (const auto& c : cases) EXPECT_EQ(platform::KindOf(c.path), c.kind) << c.path;
}

TEST(ReplacementFile, IsCreatedOnlyWhereNothingStands) {
  ScratchDir dir;
  WriteFile(dir / "victim", "keep me");
  ASSERT_EQ(::symlink((dir / "victim").c_str(), (dir / "link").c_str()), 0);
  ASSERT_EQ(::symlink((dir / "nowhere").c_str(), (dir / "dangling").c_str()), 0);
  for (const char* name : {"link", "dangling", "victim"}) {
    platform::ReplacementFile file;
    EXPECT_EQ(Failure([&] { file.Create(dir / name); }),
              "cannot create " + dir / name + ": File exists");
  }
  EXPECT_EQ(ReadFile(dir / "victim"), "keep me");
  EXPECT_EQ(platform::KindOf(dir / "nowhere"), FileKind::None);

  platform::ReplacementFile file;
  file.Create(dir / "new");
  struct stat st;
  ASSERT_EQ(::stat((dir / "new").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);  // private until it takes the target's attributes
}

TEST(ReplacementFile, CommitKeepsTheOldFileAsTheBackup) {
  ScratchDir dir;
  WriteFile(dir / "target", "old");
  WriteFile(dir / "target.bak", "older");
  const ino_t old = Inode(dir / "target");
  platform::ReplacementFile file;
  Fill(file, dir, "new");
  EXPECT_EQ(file.CommitOver(dir / "target", dir / "target.bak"), "");
  EXPECT_TRUE(file.Committed());
  EXPECT_EQ(ReadFile(dir / "target"), "new");
  EXPECT_EQ(Inode(dir / "target.bak"), old);  // the old file itself, not a copy
  EXPECT_EQ(Names(dir.path()), (std::vector<std::string>{"target", "target.bak"}));
  file.Discard();  // committed: nothing of this run's is left to remove
  EXPECT_EQ(ReadFile(dir / "target"), "new");

  // Without a backup name the old file simply goes.
  platform::ReplacementFile second;
  Fill(second, dir, "newer");
  EXPECT_EQ(second.CommitOver(dir / "target", ""), "");
  EXPECT_EQ(ReadFile(dir / "target"), "newer");
  EXPECT_EQ(Inode(dir / "target.bak"), old);
}

TEST(ReplacementFile, AFailedCommitLeavesTheTargetAndTheBackupAsTheyWere) {
  ScratchDir dir;
  WriteFile(dir / "target", "old");
  MakeDirs(dir / "target.bak/content");
  platform::ReplacementFile file;
  Fill(file, dir, "new");
  const std::string failure = Failure([&] { file.CommitOver(dir / "target", dir / "target.bak"); });
  EXPECT_NE(failure.find("to " + dir / "target.bak" + ": Is a directory"), std::string::npos)
      << failure;
  EXPECT_FALSE(file.Committed());
  EXPECT_EQ(ReadFile(dir / "target"), "old");
  EXPECT_EQ(platform::KindOf(dir / "target.bak/content"), FileKind::Directory);
  EXPECT_EQ(Names(dir.path()), (std::vector<std::string>{"new", "target", "target.bak"}));
}

TEST(ReplacementFile, DiscardRemovesOnlyItsOwnFile) {
  ScratchDir dir;
  platform::ReplacementFile file;
  Fill(file, dir, "partial");
  file.Discard();
  EXPECT_EQ(platform::KindOf(dir / "new"), FileKind::None);

  // Someone put another file under the name: it is theirs, and it stays.
  platform::ReplacementFile replaced;
  Fill(replaced, dir, "partial");
  ASSERT_EQ(::unlink((dir / "new").c_str()), 0);
  WriteFile(dir / "new", "someone else's");
  EXPECT_FALSE(replaced.StillNamed());
  replaced.Discard();
  EXPECT_EQ(ReadFile(dir / "new"), "someone else's");
}

TEST(ReplacementFile, TakesPermissionsOwnerGroupAndAccessControlList) {
  ScratchDir dir;
  platform::ReplacementFile file;
  Fill(file, dir, "new");
  platform::FileAttributes attributes;
  attributes.permissions = 02640;
  const bool root = ::geteuid() == 0;
  if (root) {
    attributes.owner = 1234;
    attributes.group = 5678;
  }
  // user::rw- user:1234:r-- group::r-- mask::r-- other::---, as Linux stores it.
  const unsigned char acl[] = {2, 0, 0, 0,  1, 0, 6, 0, 0xff, 0xff, 0xff, 0xff,
                               2, 0, 4, 0, 0xd2, 4, 0, 0,    4, 0, 4, 0, 0xff, 0xff, 0xff, 0xff,
                               0x10, 0, 4, 0, 0xff, 0xff, 0xff, 0xff,
                               0x20, 0, 0, 0, 0xff, 0xff, 0xff, 0xff};
  const bool aclSupported =
      ::setxattr((dir / "new").c_str(), "system.posix_acl_access", acl, sizeof acl, 0) == 0;
  if (aclSupported) {
    ::removexattr((dir / "new").c_str(), "system.posix_acl_access");
    attributes.accessControlList.assign(reinterpret_cast<const char*>(acl), sizeof acl);
  }
  file.TakeAttributes(attributes);
  struct stat st;
  ASSERT_EQ(::stat((dir / "new").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 02640u);
  if (root) {
    EXPECT_EQ(std::make_pair(st.st_uid, st.st_gid), std::make_pair(1234u, 5678u));
  }
  if (aclSupported) {
    char copied[sizeof acl + 16];
    EXPECT_EQ(::getxattr((dir / "new").c_str(), "system.posix_acl_access", copied, sizeof copied),
              static_cast<ssize_t>(sizeof acl));
  }
}

}  // namespace
