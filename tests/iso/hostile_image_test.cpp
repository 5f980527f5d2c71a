// Hostile names and waiting links: copies never leave their target nor make device names.
#include <gtest/gtest.h>

#include <algorithm>
#include <boost/filesystem.hpp>
#include <string>

#include "iso/image_path.h"
#include "iso/iso_reader.h"
#include "iso/iso_structures.h"
#include "iso/iso_writer.h"
#include "tests/iso/memory_image.h"
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

// The image the tool's own writer makes of `tree`; the tree is removed.
std::string PackAndRemove(const std::string& tree) {
  CaptureOutput quiet;
  ISOWriter writer(tree, "");
  const std::string image = PackInMemory(writer);
  fs::remove_all(tree);
  return image;
}

TEST(HostileImage, NamesThatPointElsewhereNeverLeaveTheTarget) {
  ScratchDir scratch;
  // Every name is unique and found nowhere else in the image.
  for (const std::string file : {"AB", "CD/ESCAPE.TXT", "EF/ESCAPE.TXT", "GHIJ/ESCAPE.TXT", "QBCDE",
                                 "SEPARATOR.X", "BACKSLASH.X", "NULNAME.TXT", "NA.BIN",
                                 "DOCS/README.TXT", kLongName.c_str()}) {
    MakeDirs(fs::path(scratch / "tree/" + file).parent_path().string());
    WriteFile(scratch / "tree/" + file, file);
  }
  const std::string pristine = PackAndRemove(scratch / "tree");
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
    const bool links = MakeSymbolicLink(scratch / "outside", (sandbox / "linked/DOCS").string(), true) &&
                       MakeSymbolicLink(scratch / "outside/AB", (sandbox / "linked/AB").string());
    ISOReader reader(InMemory(image));
    CaptureOutput quiet;
    EXPECT_EQ(reader.LoadImage() == 0, c.loads) << c.label;
    reader.Unpack((sandbox / "unpack").string());
    reader.RetrieveDir("\\", (sandbox / "dir").string());
    reader.RetrieveDir("\\DOCS\\..", (sandbox / "docs").string());
    if (links) {
      EXPECT_NE(reader.Unpack((sandbox / "linked").string()), 0);
      EXPECT_NE(reader.RetrieveFile("\\DOCS\\README.TXT", (sandbox / "linked/AB").string()), 0);
    }
    int copied = 0;
    for (const DirectoryRecord* node = c.loads ? reader.root : nullptr; node; node = node->next) {
      const std::string target = (sandbox / "file" / std::to_string(copied++)).string();
      reader.RetrieveFile(node->name, target);
      reader.RetrieveFile("\\" + node->name + "\\..\\AB", target + "-dots");
    }
    quiet.Stdout();

    // Nothing beside the targets, nothing through a link, no ".." component.
    for (fs::recursive_directory_iterator it(scratch.path()), end; it != end; ++it) {
      const std::string path = fs::relative(it->path(), scratch.path()).generic_string();
      const auto inside = [&](const char* target) {
        return (path + "/").rfind("sandbox/" + std::string(target) + "/", 0) == 0;
      };
      EXPECT_TRUE(path == "sandbox" || path == "outside" ||
                  std::any_of(std::begin(kTargets), std::end(kTargets), inside))
          << c.label << ": " << path;
      EXPECT_EQ(fs::is_symlink(scratch / path),
                links && (path == "sandbox/linked/AB" || path == "sandbox/linked/DOCS"))
          << c.label << ": " << path;
      for (const fs::path& component : fs::path(path)) {
        EXPECT_NE(component.string(), "..") << c.label << ": " << path;
      }
    }
  }
}

TEST(HostileImage, DeviceNamesAreNeverCopiedOut) {
  ScratchDir scratch;
  MakeDirs(scratch / "tree/DOCS");
  WriteFile(scratch / "tree/KEEP.TXT", "keep");
  WriteFile(scratch / "tree/DOCS/LONGNAME.TXT", "device");
  const std::string pristine = PackAndRemove(scratch / "tree");
  for (const std::string name : {"NUL", "con.txt", "COM1.TXT;1", "Lpt9 .x"}) {
    SCOPED_TRACE(name);
    std::string image = pristine;
    const std::size_t at = FindRecord(image, "LONGNAME.TXT");
    ASSERT_NE(at, std::string::npos);
    image.replace(at + dir_record::identifier, name.size(), name);
    image[at + dir_record::identifier_length] = static_cast<char>(name.size());
    const std::string out = scratch / "out";
    fs::remove_all(out);
    MakeDirs(out + "/unpack");
    MakeDirs(out + "/dir");

    ISOReader reader(InMemory(image));
    CaptureOutput capture;
    ASSERT_EQ(reader.LoadImage(), 0);  // the image itself is sound
    EXPECT_NE(reader.Unpack(out + "/unpack"), 0);
    EXPECT_NE(reader.RetrieveDir("\\DOCS", out + "/dir"), 0);
    // Under a name of the caller's choosing the file comes out as usual.
    EXPECT_EQ(reader.RetrieveFile("\\DOCS\\" + name, out + "/chosen"), 0);
    EXPECT_NE(capture.Stdout().find(image_path::EntryName(name) + " is a device name on Windows"),
              std::string::npos);
    EXPECT_EQ(ReadFile(out + "/chosen"), "device");
    for (fs::recursive_directory_iterator it(out), end; it != end; ++it) {
      EXPECT_FALSE(image_path::IsDeviceName(it->path().filename().string())) << it->path();
    }
  }
}

}  // namespace
