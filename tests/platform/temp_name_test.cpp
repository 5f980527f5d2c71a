// Temporary directory, temporary names and the tick count.
#include "platform/temp_name.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include "tests/test_support.h"

namespace {

using testing_support::ScratchDir;

// Sets TMPDIR (or unsets it for nullptr) for one test and restores it.
class TmpdirOverride {
 public:
  explicit TmpdirOverride(const char* value) {
    const char* old = std::getenv("TMPDIR");
    hadOld_ = old != nullptr;
    if (hadOld_) old_ = old;
    if (value != nullptr) {
      ::setenv("TMPDIR", value, 1);
    } else {
      ::unsetenv("TMPDIR");
    }
  }
  ~TmpdirOverride() {
    if (hadOld_) {
      ::setenv("TMPDIR", old_.c_str(), 1);
    } else {
      ::unsetenv("TMPDIR");
    }
  }

 private:
  bool hadOld_ = false;
  std::string old_;
};

TEST(GetTempPath, UsesTmpdirWithOneTrailingSeparator) {
  ScratchDir scratch;
  for (const std::string& value : {scratch.path(), scratch.path() + "/"}) {
    TmpdirOverride override(value.c_str());
    std::string path;
    ASSERT_TRUE(platform::GetTempPath(path));
    EXPECT_EQ(scratch.path() + "/", path) << value;
  }
}

TEST(GetTempPath, FallsBackToTmpWhenTmpdirIsUnusable) {
  ScratchDir scratch;
  const std::string missing = scratch / "missing";
  testing_support::WriteFile(scratch / "file", "x");
  const std::string file = scratch / "file";
  for (const char* value : {static_cast<const char*>(nullptr), "", missing.c_str(), file.c_str()}) {
    TmpdirOverride override(value);
    std::string path;
    ASSERT_TRUE(platform::GetTempPath(path));
    EXPECT_EQ("/tmp/", path) << (value ? value : "(unset)");
  }
}

TEST(GetTempFileName, FormsDirectoryPrefixUpperHexAndExtension) {
  struct Case {
    std::string directory;
    unsigned number;
    std::string expected;
  } cases[] = {
      {"/tmp/", 0x1A2B, "/tmp/WPE1A2B.TMP"},
      {"/tmp", 0x7FFF, "/tmp/WPE7FFF.TMP"},  // a separator is put in between
      {"", 1, "/WPE1.TMP"},                  // empty directory: name starts with "/"
      {"", 0xABCDEF12u, "/WPEABCDEF12.TMP"},
  };
  for (const Case& c : cases) {
    std::string name = "unchanged";
    ASSERT_TRUE(platform::GetTempFileName(c.directory, "WPE", c.number, name)) << c.expected;
    EXPECT_EQ(c.expected, name);
  }
}

TEST(GetTempFileName, CreatesNothingAndRefusesZero) {
  ScratchDir scratch;
  std::string name;
  ASSERT_TRUE(platform::GetTempFileName(scratch.path(), "WPE", 0x42, name));
  EXPECT_EQ(scratch / "WPE42.TMP", name);
  EXPECT_FALSE(testing_support::Exists(name));

  std::string untouched = "untouched";
  EXPECT_FALSE(platform::GetTempFileName(scratch.path(), "WPE", 0, untouched));
  EXPECT_EQ("untouched", untouched);
}

TEST(GetTickCount, CountsMilliseconds) {
  const std::uint32_t before = platform::GetTickCount();
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  const std::uint32_t elapsed = platform::GetTickCount() - before;  // wraps like the counter
  EXPECT_GE(elapsed, 29u);
  EXPECT_LT(elapsed, 5000u);
}

}  // namespace
