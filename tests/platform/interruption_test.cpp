// An interruption removes the new image and the workspace and ends with its signal's code.
#include <gtest/gtest.h>

#include <cstdio>
#include <vector>

#include "tests/test_support.h"

namespace {

using namespace testing_support;

TEST(Interruption, CleansUpAndEndsWithTheSignalsCode) {
  struct Row {
    const char* argument;
    const char* name;  // as the line names it
    int exitCode;
  };
  const std::vector<Row> rows =
      kLinuxHost ? std::vector<Row>{{"interrupt", "SIGINT", 130},
                                    {"terminate", "SIGTERM", 143},
                                    {"hangup", "SIGHUP", 129}}
                 : std::vector<Row>{{"interrupt", "Ctrl-C", 130}, {"terminate", "Ctrl-Break", 143}};
  std::string skipped;
  int ran = 0;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    ScratchDir dir;
    WriteFile(dir / "image.iso", "image");
    ChildProcess child({WPE_INTERRUPTION_CHILD, dir.path(), row.argument});
    const std::string said = child.ReadRest();
    const int code = child.Wait();
    if (code == 77) {
      skipped += std::string(" ") + row.name + ": " + said;
      continue;
    }
    ++ran;
    EXPECT_EQ(code, row.exitCode);
    EXPECT_EQ(said, std::string("Warning: interrupted by ") + row.name +
                        "; removed the new image and the workspace; " + dir / "image.iso" +
                        " is unchanged\n");
    EXPECT_FALSE(Exists(dir / "work"));
    EXPECT_FALSE(Exists(dir / "image.iso.tmp"));
    EXPECT_EQ(ReadFile(dir / "image.iso"), "image");
  }
  if (ran == 0) GTEST_SKIP() << "no interruption could be caused here:" << skipped;
  if (!skipped.empty()) std::printf("not caused here:%s", skipped.c_str());
}

}  // namespace
