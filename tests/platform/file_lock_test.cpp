// Holding a file for a run: one exclusive holder at a time, shared holders
// together, nothing but a regular file (a FIFO must not hang), and the held
// file told apart from whatever the path names later.
#include "platform/file_lock.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

#include "tests/test_support.h"

namespace {

using namespace testing_support;
using Lock = platform::FileLock;
using Result = platform::FileLock::Result;
using Mode = platform::FileLock::Mode;

TEST(FileLock, ExcludesASecondHolderUntilReleased) {
  ScratchDir dir;
  WriteFile(dir / "image", "x");
  const struct {
    Mode first, second;
    Result expected;
  } cases[] = {
      {Mode::Exclusive, Mode::Exclusive, Result::Busy},
      {Mode::Exclusive, Mode::Shared, Result::Busy},
      {Mode::Shared, Mode::Exclusive, Result::Busy},
      {Mode::Shared, Mode::Shared, Result::Locked},
  };
  for (const auto& c : cases) {
    Lock first, second;
    ASSERT_EQ(first.Acquire(dir / "image", c.first), Result::Locked);
    EXPECT_EQ(second.Acquire(dir / "image", c.second), c.expected);
    first.Release();
    EXPECT_EQ(second.Acquire(dir / "image", c.second), Result::Locked);
  }
}

TEST(FileLock, HoldsOnlyARegularFile) {
  ScratchDir dir;
  WriteFile(dir / "file", "x");
  ASSERT_EQ(::symlink((dir / "file").c_str(), (dir / "link").c_str()), 0);
  ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);  // no writer: opening must not wait
  const struct {
    std::string path;
    Result expected;
  } cases[] = {
      {dir / "absent", Result::Missing}, {dir / "link", Result::NotRegular},
      {dir / "fifo", Result::NotRegular}, {dir.path(), Result::NotRegular},
      {"/dev/null", Result::NotRegular},
  };
  for (const auto& c : cases) {
    Lock lock;
    EXPECT_EQ(lock.Acquire(c.path, Mode::Exclusive), c.expected) << c.path;
    EXPECT_FALSE(lock.Names(c.path));
  }
}

TEST(FileLock, TellsTheHeldFileFromAReplacementAndGivesItsAttributes) {
  ScratchDir dir;
  WriteFile(dir / "image", "old");
  ASSERT_EQ(::chmod((dir / "image").c_str(), 0640), 0);
  Lock lock;
  ASSERT_EQ(lock.Acquire(dir / "image", Mode::Exclusive), Result::Locked);
  EXPECT_TRUE(lock.Names(dir / "image"));
  const platform::FileAttributes attributes = lock.Attributes();
  EXPECT_EQ(attributes.permissions, 0640u);
  EXPECT_EQ(attributes.owner, static_cast<long long>(::geteuid()));

  WriteFile(dir / "other", "new");
  ASSERT_EQ(std::rename((dir / "other").c_str(), (dir / "image").c_str()), 0);
  EXPECT_FALSE(lock.Names(dir / "image"));
  // The replacement is free: the lock stayed with the old file.
  Lock second;
  EXPECT_EQ(second.Acquire(dir / "image", Mode::Exclusive), Result::Locked);
}

}  // namespace
