// Where a new file can be made: a directory, or a link that leads to one.
#include <gtest/gtest.h>

#include "platform/file_kind.h"
#include "tests/test_support.h"

namespace {

using namespace testing_support;

TEST(LeadsToDirectory, FollowsLinksToWhatTheyLeadTo) {
  ScratchDir dir;
  MakeDirs(dir / "real");
  WriteFile(dir / "file", "x");
  const struct {
    std::string path;
    bool expected;
  } cases[] = {
      {dir / "real", true},
      {dir.path(), true},
      {dir / "file", false},
      {dir / "missing", false},
      {dir / "file/below", false},
  };
  for (const auto& c : cases) EXPECT_EQ(platform::LeadsToDirectory(c.path), c.expected) << c.path;

  // The output directory given through a link (a mount point alike).
  if (!MakeDirectoryLink(dir / "real", dir / "to-dir")) GTEST_SKIP() << kNoSymbolicLinks;
  EXPECT_TRUE(platform::LeadsToDirectory(dir / "to-dir"));
  EXPECT_TRUE(platform::LeadsToDirectory(dir / "to-dir/"));
  EXPECT_TRUE(RemoveSymbolicLink(dir / "to-dir"));
}

}  // namespace
