// Copies that never overwrite, temporary names, and names outside ASCII.
#include <gtest/gtest.h>

#include <cctype>
#include <cerrno>
#include <fstream>

#include <boost/filesystem.hpp>

#include "common/file_copy.h"
#include "platform/new_file.h"
#include "platform/temp_name.h"
#include "tests/test_support.h"

namespace {

using namespace testing_support;
namespace fs = boost::filesystem;

std::string Upper(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

TEST(CopyFileNoOverwrite, NeverTouchesAnExistingTarget) {
  ScratchDir dir;
  WriteFile(dir / "from", std::string(100000, 'f'));
  CopyFileNoOverwrite(dir / "from", dir / "to");
  EXPECT_EQ(ReadFile(dir / "to"), std::string(100000, 'f'));
  WriteFile(dir / "taken", "theirs");
  EXPECT_THROW(CopyFileNoOverwrite(dir / "from", dir / "taken"), fs::filesystem_error);
  EXPECT_EQ(ReadFile(dir / "taken"), "theirs");
}

TEST(TempNames, FormedNamesCreateNothing) {
  std::string directory;
  ASSERT_TRUE(platform::TempDirectory(directory));
  const char last = directory.back();
  EXPECT_TRUE(last == '/' || last == '\\') << directory;
  EXPECT_TRUE(fs::is_directory(directory)) << directory;

  std::string name;
  EXPECT_FALSE(platform::FormTempName(directory, "WPE", 0, name));
  ASSERT_TRUE(platform::FormTempName(directory, "WPE", 0x1A2B, name));
  // The hexadecimal digits' case is the system's.
  EXPECT_EQ(Upper(name), Upper(directory) + "WPE1A2B.TMP");
  EXPECT_FALSE(Exists(name));
  // Without a directory the name still begins with one separator: the
  // registry key name is what follows it.
  ASSERT_TRUE(platform::FormTempName("", "WPE", 32767, name));
  ASSERT_EQ(name.size(), 12u) << name;
  EXPECT_TRUE(name[0] == '/' || name[0] == '\\') << name;
  EXPECT_EQ(Upper(name.substr(1)), "WPE7FFF.TMP");
}

TEST(NonAsciiNames, EveryRoadReachesTheSameFile) {
  ScratchDir dir;
  const std::string name = dir / "f\xC3\xA9 \xE6\x97\xA5\xE6\x9C\xAC.txt";  // "fé 日本.txt"
  platform::NewFile file;
  file.Create(name, platform::NewFileAccess::Ordinary);
  file.Write("utf-8", 5);
  file.Close();
  // The C++ runtime, Boost.Filesystem and the platform layer agree.
  EXPECT_EQ(ReadFile(name), "utf-8");
  EXPECT_TRUE(fs::is_regular_file(name));
  bool listed = false;
  for (fs::directory_iterator it(dir.path()), end; it != end; ++it) {
    listed = listed || it->path().filename().string() == fs::path(name).filename().string();
  }
  EXPECT_TRUE(listed);
  // On Windows the narrow names are UTF-8 only through the executable's
  // manifest; without it they would be read in a legacy code page.
  if (!kLinuxHost) {
    EXPECT_EQ(fs::path(name).filename().wstring(), L"f\u00e9 \u65e5\u672c.txt");
  }
  platform::NewFile replacement;
  replacement.Create(name + ".tmp");
  replacement.Write("new", 3);
  replacement.CommitOver(name, name + ".bak");
  EXPECT_EQ(ReadFile(name) + ReadFile(name + ".bak"), "newutf-8");
}

}  // namespace
