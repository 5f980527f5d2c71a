// Images whose identifiers try to lead a copy out of its target directory:
// "." and ".." spelled in other ways, names with separators, names with
// bytes outside ASCII, identifier lengths that run past their record, and a
// symbolic link waiting in the target. Whatever the reader makes of such an
// image, RetrieveFile, RetrieveDir and Unpack write nothing outside the
// directory they are given.
#include <gtest/gtest.h>

#include <boost/filesystem.hpp>
#include <cstdint>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "iso/iso_reader.h"
#include "iso/iso_structures.h"
#include "tests/test_support.h"

namespace fs = boost::filesystem;
using testing_support::CaptureOutput;
using testing_support::MakeDirs;
using testing_support::MakeGenisoimage;
using testing_support::ReadFile;
using testing_support::ScratchDir;
using testing_support::WriteFile;

namespace {

const std::string kLongName = std::string(200, 'L') + ".TXT";

// Every entry of the sample tree has a name of its own, so that a record
// can be found by name anywhere in the image.
void MakeTree(const std::string& tree) {
  MakeDirs(tree);
  WriteFile(tree + "/AB", "two-byte name");
  MakeDirs(tree + "/CD");
  WriteFile(tree + "/CD/ESCAPE1.TXT", "below CD");
  MakeDirs(tree + "/EF");
  WriteFile(tree + "/EF/ESCAPE2.TXT", "below EF");
  MakeDirs(tree + "/GHIJ");
  WriteFile(tree + "/GHIJ/ESCAPE3.TXT", "below GHIJ");
  WriteFile(tree + "/QBCDE", "control byte name");
  WriteFile(tree + "/SEPARATOR.X", "separator name");
  WriteFile(tree + "/BACKSLASH.X", "backslash name");
  WriteFile(tree + "/NULNAME.TXT", "name with a NUL");
  WriteFile(tree + "/NA.BIN", "non-ASCII name");
  WriteFile(tree + "/" + kLongName, "long name");
  MakeDirs(tree + "/DOCS");
  WriteFile(tree + "/DOCS/README.TXT", "readme");
}

// Offset in the image of the first record named `name`, searching every
// directory reachable from the root; npos when there is none.
std::size_t FindRecord(const std::string& image, std::uint32_t extent, std::uint32_t size,
                       const std::string& name, int depth = 0) {
  if (depth > 8) return std::string::npos;
  const std::size_t start = static_cast<std::size_t>(extent) * kBlockSize;
  for (std::size_t p = 0; p < size && start + p < image.size();) {
    const auto length = static_cast<std::uint8_t>(image[start + p]);
    if (length == 0) {
      p = (p / kBlockSize + 1) * kBlockSize;
      continue;
    }
    const std::size_t at = start + p;
    const auto nameLength = static_cast<std::uint8_t>(image[at + dir_record::identifier_length]);
    const std::string identifier = image.substr(at + dir_record::identifier, nameLength);
    if (identifier == name) return at;
    const auto flags = static_cast<std::uint8_t>(image[at + dir_record::file_flags]);
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(image.data()) + at;
    if ((flags & kFlagDirectory) != 0 && identifier[0] != '\0' && identifier[0] != '\1') {
      const std::size_t found = FindRecord(image, get_le32(bytes + dir_record::extent),
                                           get_le32(bytes + dir_record::data_length), name,
                                           depth + 1);
      if (found != std::string::npos) return found;
    }
    p += length;
  }
  return std::string::npos;
}

std::size_t FindRecord(const std::string& image, const std::string& name) {
  const auto* root = reinterpret_cast<const std::uint8_t*>(image.data()) +
                     kPrimaryVolumeDescriptorOffset + pvd::root_directory_record;
  return FindRecord(image, get_le32(root + dir_record::extent),
                    get_le32(root + dir_record::data_length), name);
}

// Overwrites the identifier of the record called `name` with bytes of the
// same length.
std::function<void(std::string&)> Rename(const std::string& name, const std::string& bytes) {
  return [name, bytes](std::string& image) {
    ASSERT_EQ(name.size(), bytes.size());
    const std::size_t at = FindRecord(image, name);
    ASSERT_NE(at, std::string::npos) << name;
    image.replace(at + dir_record::identifier, bytes.size(), bytes);
  };
}

enum class Load { kFails, kSucceeds };

struct HostileCase {
  const char* label;
  std::function<void(std::string&)> patch;
  Load load;
};

// Every path under `root`, relative, without following links.
std::set<std::string> Listing(const fs::path& root) {
  std::set<std::string> paths;
  for (fs::recursive_directory_iterator it(root), end; it != end; ++it) {
    paths.insert(fs::relative(it->path(), root).string());
  }
  return paths;
}

class HostileImage : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    pristine_ = new std::string;
    ScratchDir scratch;
    MakeTree(scratch / "tree");
    ASSERT_EQ(MakeGenisoimage(scratch / "tree", scratch / "pristine.iso"), 0);
    *pristine_ = ReadFile(scratch / "pristine.iso");
  }
  static void TearDownTestSuite() {
    delete pristine_;
    pristine_ = nullptr;
  }

  // Runs every copying operation of the reader on the patched image, each
  // into its own target inside `sandbox`, and checks that nothing appeared
  // outside those targets. Returns whether the image loaded.
  bool CopyEverything(const std::string& image, const std::string& label) {
    const std::string imagePath = scratch_ / "hostile.iso";
    WriteFile(imagePath, image);
    const fs::path sandbox = scratch_ / "sandbox";
    const fs::path outside = scratch_ / "outside";
    fs::remove_all(sandbox);
    fs::remove_all(outside);
    for (const char* target : {"unpack", "dir", "docs", "file"}) {
      fs::create_directories(sandbox / target);
    }
    fs::create_directories(outside);

    ISOReader reader(imagePath);
    bool loaded = false;
    {
      CaptureOutput quiet;
      loaded = reader.LoadImage() == 0;
      reader.Unpack((sandbox / "unpack").string());
      reader.RetrieveDir("\\", (sandbox / "dir").string());
      reader.RetrieveDir("\\DOCS\\..", (sandbox / "docs").string());
      int copied = 0;
      // Every name the tree holds, whatever the reader made of it.
      for (const DirectoryRecord* node = loaded ? reader.root : nullptr; node;
           node = node->next) {
        const fs::path target = sandbox / "file" / std::to_string(copied++);
        reader.RetrieveFile(node->name, target.string());
        reader.RetrieveFile("\\" + node->name + "\\..\\AB", target.string() + "-dots");
        reader.FileExists("..\\" + node->name);
      }
    }

    // Only the targets and what lies inside them; nothing beside the
    // sandbox, nothing in the directory a link would lead to.
    std::set<std::string> top;
    for (const auto& entry : fs::directory_iterator(scratch_.path())) {
      top.insert(entry.path().filename().string());
    }
    EXPECT_EQ(top, (std::set<std::string>{"hostile.iso", "sandbox", "outside"})) << label;
    std::set<std::string> targets;
    for (const auto& entry : fs::directory_iterator(sandbox)) {
      targets.insert(entry.path().filename().string());
    }
    EXPECT_EQ(targets, (std::set<std::string>{"unpack", "dir", "docs", "file"})) << label;
    EXPECT_TRUE(Listing(outside).empty()) << label;
    for (const std::string& path : Listing(sandbox)) {
      EXPECT_FALSE(fs::is_symlink(sandbox / path)) << label << ": " << path;
      for (const fs::path& component : fs::path(path)) {
        EXPECT_NE(component.string(), "..") << label << ": " << path;
      }
    }
    EXPECT_EQ(ReadFile(imagePath), image) << label << ": the image was changed";
    return loaded;
  }

  ScratchDir scratch_;
  static std::string* pristine_;
};

std::string* HostileImage::pristine_ = nullptr;

TEST_F(HostileImage, NamesThatPointElsewhereNeverLeaveTheTarget) {
  const HostileCase cases[] = {
      // A literal ".." as a file or directory would alias the parent entry;
      // below a directory so named, a copy would land beside the target.
      {"file named ..", Rename("AB", ".."), Load::kFails},
      {"directory named ..", Rename("CD", ".."), Load::kFails},
      {"directory named .",
       [](std::string& image) {
         const std::size_t at = FindRecord(image, "EF");
         ASSERT_NE(at, std::string::npos);
         image[at + dir_record::identifier_length] = 1;
         image[at + dir_record::identifier] = '.';
       },
       Load::kFails},
      {"directory named .. padded with NULs", Rename("GHIJ", std::string("..\0\0", 4)),
       Load::kFails},
      // A first byte of 0 or 1 makes the record a "." or ".." entry whatever
      // follows; such an entry is never copied.
      {"parent byte followed by a name", Rename("QBCDE", "\1BCDE"), Load::kSucceeds},
      {"self byte followed by a name", Rename("QBCDE", std::string("\0BCDE", 5)),
       Load::kSucceeds},
      {"relative path", Rename("SEPARATOR.X", "../../ESC.X"), Load::kFails},
      {"absolute path", Rename("SEPARATOR.X", "/tmp/ESC.XX"), Load::kFails},
      {"backslashes", Rename("BACKSLASH.X", "..\\..\\ESC.X"), Load::kFails},
      // The name ends at the first NUL; what follows it is never a path.
      {"separators after a NUL", Rename("NULNAME.TXT", std::string("NUL\0/../ESC", 11)),
       Load::kSucceeds},
      {"bytes outside ASCII", Rename("NA.BIN", "\xff\xfe\x80\xc3.B"), Load::kSucceeds},
      {"control byte", Rename("NA.BIN", "A\x0a\x0d/.B"), Load::kFails},
      // LEN_FI 255 claims more bytes than any record can hold.
      {"identifier longer than its record",
       [](std::string& image) {
         const std::size_t at = FindRecord(image, kLongName);
         ASSERT_NE(at, std::string::npos);
         image[at + dir_record::identifier_length] = static_cast<char>(0xFF);
       },
       Load::kFails},
  };
  for (const HostileCase& hostile : cases) {
    std::string image = *pristine_;
    hostile.patch(image);
    if (::testing::Test::HasFatalFailure()) return;
    const bool loaded = CopyEverything(image, hostile.label);
    EXPECT_EQ(loaded, hostile.load == Load::kSucceeds) << hostile.label;
  }
}

TEST_F(HostileImage, UnusualButHarmlessNamesArriveUnderTheirOwnBytes) {
  std::string image = *pristine_;
  Rename("NA.BIN", "\xff\xfe\x80\xc3.B")(image);
  ASSERT_TRUE(CopyEverything(image, "non-ASCII"));
  const fs::path unpacked = fs::path(scratch_.path()) / "sandbox" / "unpack";
  EXPECT_EQ(ReadFile((unpacked / "\xff\xfe\x80\xc3.B").string()), "non-ASCII name");
  EXPECT_EQ(ReadFile((unpacked / kLongName).string()), "long name");
  EXPECT_EQ(ReadFile((unpacked / "CD" / "ESCAPE1.TXT").string()), "below CD");
}

TEST_F(HostileImage, LinksWaitingInTheTargetAreNotFollowed) {
  // A target that already holds a link with the name of an image entry: the
  // copy must stop there rather than write through the link.
  const std::string imagePath = scratch_ / "image.iso";
  WriteFile(imagePath, *pristine_);
  const fs::path target = scratch_ / "target";
  const fs::path outside = scratch_ / "outside";
  fs::create_directories(target);
  fs::create_directories(outside);
  fs::create_directory_symlink(outside, target / "DOCS");
  fs::create_symlink(outside / "AB", target / "AB");
  fs::create_symlink(outside / "README.TXT", scratch_ / "readme-link");

  ISOReader reader(imagePath);
  CaptureOutput quiet;
  EXPECT_NE(reader.Unpack(target.string()), 0);
  EXPECT_NE(reader.RetrieveDir("\\", target.string()), 0);
  EXPECT_NE(reader.RetrieveFile("\\DOCS\\README.TXT", scratch_ / "readme-link"), 0);
  quiet.Stdout();
  EXPECT_TRUE(Listing(outside).empty());
}

}  // namespace
