// File locks: exclusive and shared holders, regular files only, the held file told apart.
#include "platform/file_lock.h"

#include <gtest/gtest.h>

#include <boost/filesystem.hpp>

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
  // The lock keeps other runs out, not readers of the data.
  Lock held;
  ASSERT_EQ(held.Acquire(dir / "image", Mode::Exclusive), Result::Locked);
  EXPECT_EQ(ReadFile(dir / "image"), "x");
}

TEST(FileLock, HoldsOnlyARegularFile) {
  ScratchDir dir;
  WriteFile(dir / "file", "x");
  std::vector<std::pair<std::string, Result>> cases = {
      {dir / "absent", Result::Missing},
      {dir.path(), Result::NotRegular},
      {kNullDevice, Result::NotRegular},
  };
  if (MakeSymbolicLink(dir / "file", dir / "link")) cases.push_back({dir / "link", Result::NotRegular});
  for (const auto& c : cases) {
    Lock lock;
    EXPECT_EQ(lock.Acquire(c.first, Mode::Exclusive), c.second) << c.first;
    EXPECT_FALSE(lock.Names(c.first));
  }
}

TEST(FileLock, TellsTheHeldFileFromAReplacement) {
  ScratchDir dir;
  WriteFile(dir / "image", "old");
  Lock lock;
  ASSERT_EQ(lock.Acquire(dir / "image", Mode::Exclusive), Result::Locked);
  EXPECT_TRUE(lock.Names(dir / "image"));

  // Moved away (which Windows allows for a file that is open) and another
  // file put under the name.
  boost::filesystem::rename(dir / "image", dir / "moved");
  WriteFile(dir / "image", "new");
  EXPECT_FALSE(lock.Names(dir / "image"));
  // The replacement is free: the lock stayed with the old file.
  Lock second;
  EXPECT_EQ(second.Acquire(dir / "image", Mode::Exclusive), Result::Locked);
  EXPECT_EQ(lock.Acquire(dir / "moved", Mode::Exclusive), Result::Locked);
}

}  // namespace
