// Identifiers that try to lead a copy out of its target directory, and links
// waiting in the target: RetrieveFile, RetrieveDir and Unpack write nothing
// outside the directory they are given, whatever the reader makes of them.
#include <gtest/gtest.h>

#include <algorithm>
#include <boost/filesystem.hpp>
#include <string>

#include "iso/iso_reader.h"
#include "iso/iso_structures.h"
#include "tests/test_support.h"

namespace fs = boost::filesystem;
using namespace testing_support;

namespace {

const std::string kLongName = std::string(200, 'L') + ".TXT";
const char* const kTargets[] = {"unpack", "dir", "docs", "file", "linked"};

// Offset of the directory record whose identifier is `name`.
std::size_t FindRecord(const std::string& image, const std::string& name) {
  const std::size_t end = image.size() - dir_record::identifier - name.size();
  for (std::size_t at = 17 * kBlockSize; at < end; ++at) {
    if (static_cast<std::uint8_t>(image[at + dir_record::identifier_length]) == name.size() &&
        image.compare(at + dir_record::identifier, name.size(), name) == 0) return at;
  }
  return std::string::npos;
}

TEST(HostileImage, NamesThatPointElsewhereNeverLeaveTheTarget) {
  WPE_LINUX_ONLY("the image is made by genisoimage");
  ScratchDir scratch;
  // Every name is unique and found nowhere else in the image.
  for (const std::string file : {"AB", "CD/ESCAPE.TXT", "EF/ESCAPE.TXT", "GHIJ/ESCAPE.TXT", "QBCDE",
                                 "SEPARATOR.X", "BACKSLASH.X", "NULNAME.TXT", "NA.BIN",
                                 "DOCS/README.TXT", kLongName.c_str()}) {
    MakeDirs(fs::path(scratch / "tree/" + file).parent_path().string());
    WriteFile(scratch / "tree/" + file, file);
  }
  ASSERT_EQ(MakeGenisoimage(scratch / "tree", scratch / "hostile.iso"), 0);
  fs::remove_all(scratch / "tree");
  const std::string pristine = ReadFile(scratch / "hostile.iso");
  // The record's identifier starts with `bytes`; a `length` other than 0 replaces its length.
  struct Case { const char* label; std::string name, bytes; int length; bool loads; };
  const Case cases[] = {
      {"file named ..", "AB", "..", 0, false},
      {"directory named ..", "CD", "..", 0, false},
      {"directory named .", "EF", ".", 1, false},
      {"directory named .. padded with NULs", "GHIJ", std::string("..\0\0", 4), 0, false},
      // A first byte of 1 makes the record a ".." entry, which is never copied.
      {"parent byte followed by a name", "QBCDE", "\1", 0, true},
      {"relative path", "SEPARATOR.X", "../../ESC.X", 0, false},
      {"absolute path", "SEPARATOR.X", "/tmp/ESC.XX", 0, false},
      {"backslashes", "BACKSLASH.X", "..\\..\\ESC.X", 0, false},
      {"separators after a NUL", "NULNAME.TXT", std::string("NUL\0/../ESC", 11), 0, true},
      {"bytes outside ASCII", "NA.BIN", "\xff\xfe\x80\xc3.B", 0, true},
      {"control bytes", "NA.BIN", "A\x0a\x0d/.B", 0, false},
      {"identifier longer than its record", kLongName, "", 255, false},
  };
  for (const Case& c : cases) {
    std::string image = pristine;
    const std::size_t at = FindRecord(image, c.name);
    ASSERT_NE(at, std::string::npos) << c.name;
    image.replace(at + dir_record::identifier, c.bytes.size(), c.bytes);
    if (c.length != 0) image[at + dir_record::identifier_length] = static_cast<char>(c.length);
    const fs::path sandbox = scratch / "sandbox";
    fs::remove_all(sandbox);  // links waiting in a target have names of image entries
    for (const char* target : kTargets) fs::create_directories(sandbox / target);
    fs::create_directories(scratch / "outside");
    fs::create_directory_symlink(scratch / "outside", sandbox / "linked/DOCS");
    fs::create_symlink(scratch / "outside/AB", sandbox / "linked/AB");
    WriteFile(scratch / "hostile.iso", image);

    ISOReader reader(scratch / "hostile.iso");
    CaptureOutput quiet;
    EXPECT_EQ(reader.LoadImage() == 0, c.loads) << c.label;
    reader.Unpack((sandbox / "unpack").string());
    reader.RetrieveDir("\\", (sandbox / "dir").string());
    reader.RetrieveDir("\\DOCS\\..", (sandbox / "docs").string());
    EXPECT_NE(reader.Unpack((sandbox / "linked").string()), 0);
    EXPECT_NE(reader.RetrieveFile("\\DOCS\\README.TXT", (sandbox / "linked/AB").string()), 0);
    int copied = 0;
    for (const DirectoryRecord* node = c.loads ? reader.root : nullptr; node; node = node->next) {
      const std::string target = (sandbox / "file" / std::to_string(copied++)).string();
      reader.RetrieveFile(node->name, target);
      reader.RetrieveFile("\\" + node->name + "\\..\\AB", target + "-dots");
    }
    quiet.Stdout();

    // Nothing beside the targets, nothing through a link, no ".." component.
    for (fs::recursive_directory_iterator it(scratch.path()), end; it != end; ++it) {
      const std::string path = fs::relative(it->path(), scratch.path()).string();
      const auto inside = [&](const char* target) {
        return (path + "/").rfind("sandbox/" + std::string(target) + "/", 0) == 0;
      };
      EXPECT_TRUE(path == "hostile.iso" || path == "sandbox" || path == "outside" ||
                  std::any_of(std::begin(kTargets), std::end(kTargets), inside))
          << c.label << ": " << path;
      EXPECT_EQ(fs::is_symlink(scratch / path),
                path == "sandbox/linked/AB" || path == "sandbox/linked/DOCS")
          << c.label << ": " << path;
      for (const fs::path& component : fs::path(path)) {
        EXPECT_NE(component.string(), "..") << c.label << ": " << path;
      }
    }
  }
}

}  // namespace
