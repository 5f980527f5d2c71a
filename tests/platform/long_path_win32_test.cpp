// Extended-length paths: their forms, and a package tree deeper than MAX_PATH.
#include <gtest/gtest.h>

#include <boost/filesystem.hpp>

#include "common/directory_listing.h"
#include "common/file_copy.h"
#include "platform/file_kind.h"
#include "platform/long_path.h"
#include "tests/test_support.h"

namespace {

using namespace testing_support;
namespace fs = boost::filesystem;

TEST(LongPath, OnlyAbsoluteDrivePathsTakeTheExtendedForm) {
  const struct {
    const char* path;
    const char* expected;
  } cases[] = {
      {"C:\\Temp\\WPE1A2B.TMP", "\\\\?\\C:\\Temp\\WPE1A2B.TMP"},
      // The extended form resolves nothing and takes "/" as a name's.
      {"C:/Temp/./x/../WPE1A2B.TMP/", "\\\\?\\C:\\Temp\\WPE1A2B.TMP\\"},
      {"\\\\?\\C:\\Temp", "\\\\?\\C:\\Temp"},
      {"\\\\server\\share\\Temp", "\\\\server\\share\\Temp"},
      {"work\\tmp", "work\\tmp"},
      {"C:tmp", "C:tmp"},
      {"", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(platform::LongPath(c.path), c.expected) << c.path;
}

TEST(LongPath, APackageTreeDeeperThanMaxPathIsUsable) {
  ScratchDir dir;
  const std::string top = platform::LongPath(dir / "image_file_dir");
  ASSERT_EQ(top.rfind("\\\\?\\", 0), 0u) << top;
  fs::create_directory(top);
  std::string deep = top;
  while (deep.size() < 400) {
    deep = (fs::path(deep) / "Paket Gr\xc3\xbc\xc3\x9f" "e 0123456789").string();
    fs::create_directory(deep);
  }
  const std::string file = (fs::path(deep) / "Run Me.exe").string();
  WriteFile(file, "MZ run");
  CopyFileNoOverwrite(file, file + ".copy");
  EXPECT_EQ(ReadFile(file + ".copy"), "MZ run");
  EXPECT_EQ(platform::KindOf(file), platform::FileKind::Regular);
  EXPECT_TRUE(platform::LeadsToDirectory(deep));
  EXPECT_EQ(SortedDirectoryEntries(deep).size(), 2u);
  fs::remove_all(top);
  EXPECT_EQ(ListNames(dir.path()), std::vector<std::string>{});
}

}  // namespace
