// ISOReader on images made by genisoimage and xorriso: lookups, retrieval,
// unpacking with the percentage display, and the failure lines of broken
// images.
#include <gtest/gtest.h>

#include <boost/filesystem.hpp>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "iso/iso_reader.h"
#include "iso/iso_structures.h"
#include "tests/test_support.h"

namespace fs = boost::filesystem;
using testing_support::CaptureOutput;
using testing_support::Exists;
using testing_support::MakeDirs;
using testing_support::MakeGenisoimage;
using testing_support::ReadFile;
using testing_support::ScratchDir;
using testing_support::WriteFile;

namespace {

const char kLoadLines[] = "load ISO image ...\nload ISO image succeeded\n";

std::string Pattern(std::size_t size, unsigned seed) {
  std::string data(size, '\0');
  for (std::size_t i = 0; i < size; ++i) data[i] = static_cast<char>((i * 131 + seed * 7) % 251);
  return data;
}

int MakeXorriso(const std::string& tree, const std::string& output) {
  return testing_support::Run(
      "xorriso -as mkisofs -quiet -iso-level 3 -untranslated-filenames"
      " -untranslated_name_len 96 -b boot/boot.bin"
      " -no-emul-boot -boot-load-size 4 -o '" +
      output + "' '" + tree + "' >/dev/null 2>&1");
}

// ---- raw image access for corrupting copies --------------------------------

std::uint32_t Le32(const std::string& image, std::size_t offset) {
  return get_le32(reinterpret_cast<const std::uint8_t*>(image.data()) + offset);
}

void PutBoth32(std::string& image, std::size_t offset, std::uint32_t value) {
  put_both32(reinterpret_cast<std::uint8_t*>(&image[offset]), value);
}

std::uint32_t RootExtent(const std::string& image) {
  return Le32(image,
              kPrimaryVolumeDescriptorOffset + pvd::root_directory_record + dir_record::extent);
}

// Byte offset in the image of the record called `name` in the first block of
// the directory at `extent`; npos when absent.
std::size_t FindRecord(const std::string& image, std::uint32_t extent, const std::string& name) {
  const std::size_t start = static_cast<std::size_t>(extent) * kBlockSize;
  std::size_t p = start;
  while (p < start + kBlockSize && image[p] != 0) {
    const auto length = static_cast<std::uint8_t>(image[p]);
    const auto nameLength = static_cast<std::uint8_t>(image[p + dir_record::identifier_length]);
    if (image.compare(p + dir_record::identifier, nameLength, name) == 0 &&
        nameLength == name.size()) {
      return p;
    }
    p += length;
  }
  return std::string::npos;
}

// Extent of the directory at a "/"-separated path below the root.
std::uint32_t DirectoryExtent(const std::string& image, const std::string& path) {
  std::uint32_t extent = RootExtent(image);
  std::size_t begin = 0;
  while (begin < path.size()) {
    std::size_t end = path.find('/', begin);
    if (end == std::string::npos) end = path.size();
    const std::size_t record = FindRecord(image, extent, path.substr(begin, end - begin));
    EXPECT_NE(record, std::string::npos) << path;
    extent = Le32(image, record + dir_record::extent);
    begin = end + 1;
  }
  return extent;
}

// Lists every regular file and directory of a local tree, relative, "/"-separated.
void ListTree(const fs::path& top, std::vector<std::string>& files,
              std::vector<std::string>& directories) {
  for (fs::recursive_directory_iterator it(top), end; it != end; ++it) {
    const std::string relative = it->path().string().substr(top.string().size() + 1);
    (fs::is_directory(it->status()) ? directories : files).push_back(relative);
  }
}

// ---- the shared sample tree and its images ---------------------------------

class SampleImages : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    scratch = new ScratchDir();
    tree = *scratch / "tree";
    MakeDirs(tree + "/boot");
    MakeDirs(tree + "/I386/SYSTEM32/CONFIG");
    MakeDirs(tree + "/MANY");
    MakeDirs(tree + "/HIDDENDIR");
    MakeDirs(tree + "/sub/Deep/Deeper");
    MakeDirs(tree + "/EMPTYDIR");
    WriteFile(tree + "/boot/boot.bin", Pattern(2048, 1));
    WriteFile(tree + "/I386/SYSTEM32/WINPEOEM.SIF", "[OemDriverParams]\r\n");
    WriteFile(tree + "/I386/SYSTEM32/CONFIG/DEFAULT", Pattern(5000, 2));
    WriteFile(tree + "/EMPTY.TXT", "");
    WriteFile(tree + "/MixedCase.txt", "mixed");
    WriteFile(tree + "/HIDDEN.TXT", "hidden");
    WriteFile(tree + "/HIDDENDIR/INSIDE.TXT", "inside");
    WriteFile(tree + "/sub/Deep/Deeper/leaf.bin", Pattern(4096, 3));
    for (int i = 0; i < 80; ++i) {
      char name[64];
      std::snprintf(name, sizeof name, "A_RATHER_LONG_FILE_NAME_NUMBER_%03d_FOR_A_BIG_DIR.TXT", i);
      WriteFile(tree + "/MANY/" + name, std::to_string(i));
    }
    genisoImage = *scratch / "genisoimage.iso";
    xorrisoImage = *scratch / "xorriso.iso";
    versionedImage = *scratch / "versioned.iso";
    ASSERT_EQ(
        MakeGenisoimage(tree, genisoImage, "boot/boot.bin", "-hidden HIDDEN.TXT -hidden HIDDENDIR"),
        0);
    ASSERT_EQ(MakeXorriso(tree, xorrisoImage), 0);
    // Without -untranslated-filenames genisoimage records "NAME.EXT;1".
    ASSERT_EQ(testing_support::Run("genisoimage -quiet -o '" + versionedImage + "' '" + tree +
                                   "' 2>/dev/null"),
              0);
  }
  static void TearDownTestSuite() {
    delete scratch;
    scratch = nullptr;
  }

  // A loaded reader whose load lines are already consumed.
  static std::unique_ptr<ISOReader> Loaded(const std::string& image) {
    auto reader = std::make_unique<ISOReader>(image);
    CaptureOutput capture;
    EXPECT_EQ(reader->LoadImage(), 0);
    EXPECT_EQ(capture.Stdout(), kLoadLines);
    return reader;
  }

  // A copy of the genisoimage image with `corrupt` applied.
  std::string Corrupted(const std::function<void(std::string&)>& corrupt) {
    std::string image = ReadFile(genisoImage);
    corrupt(image);
    const std::string path = local / ("broken" + std::to_string(counter++) + ".iso");
    WriteFile(path, image);
    return path;
  }

  static ScratchDir* scratch;
  static std::string tree, genisoImage, xorrisoImage, versionedImage;
  ScratchDir local;
  int counter = 0;
};

ScratchDir* SampleImages::scratch = nullptr;
std::string SampleImages::tree, SampleImages::genisoImage, SampleImages::xorrisoImage,
    SampleImages::versionedImage;

// ---- every file of both producers -------------------------------------------

class BothProducers : public SampleImages, public ::testing::WithParamInterface<bool> {
 protected:
  bool IsGenisoimage() const { return GetParam(); }
  std::string Image() const { return IsGenisoimage() ? genisoImage : xorrisoImage; }
  bool Hidden(const std::string& relative) const {
    return IsGenisoimage() && (relative.rfind("HIDDEN", 0) == 0);
  }
};

TEST_P(BothProducers, FindsAndRetrievesEveryFileByteForByte) {
  auto reader = Loaded(Image());
  std::vector<std::string> files, directories;
  ListTree(tree, files, directories);
  ASSERT_GT(files.size(), 85u);

  CaptureOutput capture;
  int index = 0;
  for (const std::string& relative : files) {
    const std::string imagePath = "\\" + relative;
    EXPECT_EQ(reader->FileExists(imagePath), !Hidden(relative)) << relative;
    EXPECT_FALSE(reader->DirectoryExists(imagePath)) << relative;
    if (Hidden(relative)) continue;
    const std::string target = local / ("file" + std::to_string(index++));
    ASSERT_EQ(reader->RetrieveFile(imagePath, target), 0) << relative;
    EXPECT_EQ(ReadFile(target), ReadFile(tree + "/" + relative)) << relative;
  }
  for (const std::string& relative : directories) {
    EXPECT_EQ(reader->DirectoryExists("/" + relative + "/"), !Hidden(relative)) << relative;
    EXPECT_FALSE(reader->FileExists(relative)) << relative;
  }
  EXPECT_EQ(capture.Stdout(), "");
}

TEST_P(BothProducers, UnpackReproducesTheTree) {
  ISOReader reader(Image());
  const std::string out = local / "out";
  MakeDirs(out);
  {
    CaptureOutput capture;
    ASSERT_EQ(reader.Unpack(out), 0);
    const std::string text = capture.Stdout();
    EXPECT_EQ(text.rfind(std::string(kLoadLines) + "unpack ISO image ...\n0%.........10%", 0), 0u)
        << text;
    EXPECT_NE(text.find(".........100%\nunpack ISO image succeeded\n"), std::string::npos) << text;
  }
  // genisoimage and xorriso both add the boot catalog as a file.
  EXPECT_TRUE(Exists(out + "/boot.catalog"));
  fs::remove(out + "/boot.catalog");
  if (IsGenisoimage()) {
    EXPECT_FALSE(Exists(out + "/HIDDEN.TXT"));
    EXPECT_FALSE(Exists(out + "/HIDDENDIR"));
    EXPECT_EQ(testing_support::Run("diff -r -x 'HIDDEN*' '" + tree + "' '" + out + "'"), 0);
  } else {
    EXPECT_EQ(testing_support::Run("diff -r '" + tree + "' '" + out + "'"), 0);
  }
  EXPECT_TRUE(fs::is_directory(out + "/EMPTYDIR"));
}

INSTANTIATE_TEST_SUITE_P(Producers, BothProducers, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return info.param ? "genisoimage" : "xorriso";
                         });

// ---- lookups ---------------------------------------------------------------

TEST_F(SampleImages, LookupsCompareNamesExactlyAndIgnoreOuterSeparators) {
  struct Case {
    const char* path;
    bool file;
    bool directory;
  };
  const Case cases[] = {
      {"", false, true},
      {"\\", false, true},
      {"//", false, true},
      {"\\I386\\SYSTEM32\\WINPEOEM.SIF", true, false},
      {"I386/SYSTEM32/WINPEOEM.SIF", true, false},
      {"\\I386/SYSTEM32\\WINPEOEM.SIF", true, false},
      {"\\i386\\system32\\winpeoem.sif", false, false},  // case matters
      {"\\I386\\SYSTEM32\\winpeoem.sif", false, false},
      {"\\MixedCase.txt", true, false},
      {"\\MIXEDCASE.TXT", false, false},
      {"\\I386\\SYSTEM32", false, true},
      {"\\I386\\SYSTEM32\\", false, true},
      {"\\I386\\SYSTEM32\\\\/", false, true},
      {"\\I386\\\\SYSTEM32", false, true},                  // repeated separator
      {"\\I386\\SYSTEM32\\WINPEOEM.SIF\\", false, false},   // trailing separator on a file
      {"\\I386\\SYSTEM32\\WINPEOEM.SIF\\X", false, false},  // below a file
      {"\\EMPTY.TXT\\EMPTY.TXT", false, false},
      {"\\I386\\.", false, false},  // "." and ".." lead nowhere
      {"\\I386\\..\\I386", false, false},
      {"\\.", false, false},
      {"\\NOSUCH", false, false},
      {"\\I386\\NOSUCH\\WINPEOEM.SIF", false, false},
      {"\\HIDDEN.TXT", false, false},
      {"\\HIDDENDIR\\INSIDE.TXT", false, false},
      {"\\HIDDENDIR", false, false},
      {"\\EMPTY.TXT", true, false},
      {"\\boot.catalog", true, false},
  };
  auto reader = Loaded(genisoImage);
  CaptureOutput capture;
  for (const Case& c : cases) {
    EXPECT_EQ(reader->FileExists(c.path), c.file) << c.path;
    EXPECT_EQ(reader->DirectoryExists(c.path), c.directory) << c.path;
  }
  EXPECT_EQ(capture.Stdout(), "");
}

TEST_F(SampleImages, InvalidComponentsPrintTheLookupException) {
  auto reader = Loaded(genisoImage);
  const std::pair<const char*, const char*> cases[] = {
      {"\\I386\\NAME.", "NAME."},  // ends in a dot
      {"NAME \\X", "NAME "},       // ends in a space
      {"\\I386\\A:B", "A:B"},
      {"\\A|B\\C", "A|B"},
      {"\\A\x01"
       "B",
       "A\x01"
       "B"},
  };
  for (const auto& c : cases) {
    CaptureOutput capture;
    EXPECT_FALSE(reader->FileExists(c.first)) << c.first;
    EXPECT_EQ(capture.Stdout(), "ISOReader findDirectoryRecord exception: invalid file name: " +
                                    std::string(c.second) + "\n");
  }
  CaptureOutput capture;
  EXPECT_FALSE(reader->DirectoryExists("\\I386\\NAME.\\"));
  EXPECT_EQ(reader->RetrieveFile("X.", local / "x"), 1);
  EXPECT_EQ(capture.Stdout(),
            "ISOReader findDirectoryRecord exception: invalid file name: NAME.\n"
            "ISOReader findDirectoryRecord exception: invalid file name: X.\n");
  EXPECT_FALSE(Exists(local / "x"));
}

TEST_F(SampleImages, VersionSuffixIsPartOfTheName) {
  auto reader = Loaded(versionedImage);
  CaptureOutput capture;
  EXPECT_FALSE(reader->FileExists("\\EMPTY.TXT"));
  EXPECT_TRUE(reader->FileExists("\\EMPTY.TXT;1"));
  EXPECT_TRUE(reader->FileExists("\\I386\\SYSTEM32\\WINPEOEM.SIF;1"));
  EXPECT_TRUE(reader->DirectoryExists("\\I386\\SYSTEM32"));
  EXPECT_FALSE(reader->DirectoryExists("\\I386\\SYSTEM32;1"));
  const std::string target = local / "sif";
  EXPECT_EQ(reader->RetrieveFile("I386\\SYSTEM32\\WINPEOEM.SIF;1", target), 0);
  EXPECT_EQ(ReadFile(target), "[OemDriverParams]\r\n");
  EXPECT_EQ(capture.Stdout(), "");
}

TEST_F(SampleImages, LargeDirectoryExtentSpansSeveralBlocks) {
  const std::string image = ReadFile(genisoImage);
  const std::size_t record = FindRecord(image, RootExtent(image), "MANY");
  ASSERT_NE(record, std::string::npos);
  ASSERT_GT(Le32(image, record + dir_record::data_length), 2 * kBlockSize);

  auto reader = Loaded(genisoImage);
  const DirectoryRecord* dot = reader->findDirectoryRecord("MANY");
  ASSERT_NE(dot, nullptr);
  std::vector<std::string> names;
  for (const DirectoryRecord* node = dot; node != nullptr; node = node->next) {
    names.push_back(node->name);
  }
  ASSERT_EQ(names.size(), 82u);
  EXPECT_EQ(names[0], ".");
  EXPECT_EQ(names[1], "..");
  EXPECT_EQ(names[2], "A_RATHER_LONG_FILE_NAME_NUMBER_000_FOR_A_BIG_DIR.TXT");
  EXPECT_EQ(names[81], "A_RATHER_LONG_FILE_NAME_NUMBER_079_FOR_A_BIG_DIR.TXT");
}

TEST_F(SampleImages, NodesRecordWhereTheirDataLies) {
  const std::string image = ReadFile(genisoImage);
  const std::uint32_t system32 = DirectoryExtent(image, "I386/SYSTEM32");
  const std::size_t record = FindRecord(image, system32, "WINPEOEM.SIF");
  auto reader = Loaded(genisoImage);
  const DirectoryRecord* file = reader->findDirectoryRecord("I386\\SYSTEM32\\WINPEOEM.SIF");
  ASSERT_NE(file, nullptr);
  EXPECT_EQ(file->parentPath, "I386\\SYSTEM32");
  EXPECT_EQ(file->identifier, "WINPEOEM.SIF");
  EXPECT_EQ(file->type, static_cast<std::uint32_t>(kTypeFile));
  EXPECT_EQ(file->extent, Le32(image, record + dir_record::extent));
  EXPECT_EQ(file->sourceExtent, file->extent);
  EXPECT_EQ(file->size, 19u);
  EXPECT_EQ(file->sourceSize, 19u);
  EXPECT_EQ(file->fromImage, 1);
  const DirectoryRecord* dot = reader->findDirectoryRecord("I386\\SYSTEM32");
  ASSERT_NE(dot, nullptr);
  EXPECT_EQ(dot->extent, system32);
  EXPECT_EQ(dot->size, 0u);
  EXPECT_EQ(dot->child, nullptr);
  // Hidden entries are not counted; everything else is.
  EXPECT_EQ(reader->totalBytes, 2048u + 19 + 5000 + 5 + 4096 + 2048 /* catalog */ + 80 * 2 - 10);
}

// ---- retrieving ------------------------------------------------------------

TEST_F(SampleImages, RetrieveRefusesWrongKindsAndExistingTargets) {
  auto reader = Loaded(genisoImage);
  const std::string existing = local / "existing";
  WriteFile(existing, "keep me");
  CaptureOutput capture;
  EXPECT_EQ(reader->RetrieveFile("\\I386", local / "a"), 1);
  EXPECT_EQ(reader->RetrieveFile("\\NOSUCH", local / "b"), 1);
  EXPECT_EQ(reader->RetrieveDir("\\EMPTY.TXT", local.path()), 1);
  EXPECT_EQ(reader->RetrieveDir("\\NOSUCH", local.path()), 1);
  EXPECT_EQ(capture.Stdout(), "");
  EXPECT_FALSE(Exists(local / "a"));
  EXPECT_FALSE(Exists(local / "b"));

  CaptureOutput second;
  EXPECT_EQ(reader->RetrieveFile("\\MixedCase.txt", existing), 1);
  EXPECT_EQ(second.Stdout(), "create file/directory failed, IO exception: file/directory " +
                                 existing + " already exists\n");
  EXPECT_EQ(ReadFile(existing), "keep me");
}

TEST_F(SampleImages, RetrieveDirCopiesContentsAndStopsAtTheFirstClash) {
  auto reader = Loaded(genisoImage);
  const std::string into = local / "into";
  MakeDirs(into);
  {
    CaptureOutput capture;
    EXPECT_EQ(reader->RetrieveDir("/I386/", into), 0);
    EXPECT_EQ(capture.Stdout(), "");
  }
  EXPECT_EQ(ReadFile(into + "/SYSTEM32/WINPEOEM.SIF"), "[OemDriverParams]\r\n");
  EXPECT_EQ(ReadFile(into + "/SYSTEM32/CONFIG/DEFAULT"), Pattern(5000, 2));

  // "sub" holds Deep/Deeper/leaf.bin; a clash at Deeper stops after Deep.
  const std::string clash = local / "clash";
  MakeDirs(clash + "/Deep");
  CaptureOutput capture;
  EXPECT_EQ(reader->RetrieveDir("sub", clash), 1);
  EXPECT_EQ(capture.Stdout(), "create file/directory failed, IO exception: file/directory " +
                                  clash + "/Deep already exists\n");
  EXPECT_FALSE(Exists(clash + "/Deep/Deeper"));
}

TEST_F(SampleImages, CopyFailuresAreReported) {
  auto reader = Loaded(genisoImage);
  {
    CaptureOutput capture;
    EXPECT_EQ(reader->RetrieveFile("\\MixedCase.txt", local / "missing/dir/file"), 1);
    EXPECT_EQ(capture.Stdout().rfind("create file/directory failed, IO exception: ", 0), 0u);
  }
  // The image loses its file data after the tree was loaded.
  const std::string image = ReadFile(genisoImage);
  const std::uint32_t config = DirectoryExtent(image, "I386/SYSTEM32/CONFIG");
  const std::size_t record = FindRecord(image, config, "DEFAULT");
  const std::string shortImage = local / "short.iso";
  WriteFile(shortImage,
            image.substr(0, Le32(image, record + dir_record::extent) * kBlockSize + 100));
  ISOReader shortReader(shortImage);
  {
    CaptureOutput capture;
    ASSERT_TRUE(shortReader.FileExists("\\I386\\SYSTEM32\\CONFIG\\DEFAULT"));
    EXPECT_EQ(shortReader.RetrieveFile("\\I386\\SYSTEM32\\CONFIG\\DEFAULT", local / "d"), 1);
    const std::string text = capture.Stdout();
    EXPECT_EQ(text.rfind(std::string(kLoadLines) +
                             "create file/directory failed, IO exception: cannot read ",
                         0),
              0u)
        << text;
  }
  // Positions are 64-bit: block 0x300000 lies at 6 GiB, not at a wrapped 2 GiB.
  const std::string far = Corrupted([&](std::string& d) {
    PutBoth32(d, FindRecord(image, RootExtent(image), "MixedCase.txt") + dir_record::extent,
              0x300000);
  });
  ISOReader farReader(far);
  CaptureOutput capture;
  EXPECT_EQ(farReader.RetrieveFile("MixedCase.txt", local / "far"), 1);
  const std::string text = capture.Stdout();
  EXPECT_NE(text.find("cannot read 5 bytes at byte 6442450944 of "), std::string::npos) << text;
}

// ---- progress ---------------------------------------------------------------

TEST(ReaderProgress, WholeUnpackOfAOneFileImageShowsAll101Marks) {
  ScratchDir dir;
  MakeDirs(dir / "tree");
  WriteFile(dir / "tree/ONLY.BIN", Pattern(1500, 4));
  ASSERT_EQ(MakeGenisoimage(dir / "tree", dir / "one.iso"), 0);
  MakeDirs(dir / "out");
  ISOReader reader(dir / "one.iso");
  CaptureOutput capture;
  ASSERT_EQ(reader.Unpack(dir / "out"), 0);
  std::string marks;
  for (int percent = 0; percent <= 100; ++percent) {
    marks += percent % 10 == 0 ? std::to_string(percent) + "%" : ".";
  }
  EXPECT_EQ(capture.Stdout(), std::string(kLoadLines) + "unpack ISO image ...\n" + marks +
                                  "\nunpack ISO image succeeded\n");
  EXPECT_EQ(ReadFile(dir / "out/ONLY.BIN"), Pattern(1500, 4));
}

TEST(ReaderProgress, UnpackIntoAnOccupiedDirectoryFails) {
  ScratchDir dir;
  MakeDirs(dir / "tree");
  WriteFile(dir / "tree/ONLY.BIN", "x");
  ASSERT_EQ(MakeGenisoimage(dir / "tree", dir / "one.iso"), 0);
  MakeDirs(dir / "out");
  WriteFile(dir / "out/ONLY.BIN", "old");
  ISOReader reader(dir / "one.iso");
  CaptureOutput capture;
  EXPECT_EQ(reader.Unpack(dir / "out"), 1);
  EXPECT_EQ(capture.Stdout(), std::string(kLoadLines) +
                                  "unpack ISO image ...\n"
                                  "create file/directory failed, IO exception: file/directory " +
                                  dir.path() +
                                  "/out/ONLY.BIN already exists\n"
                                  "unpack ISO image failed\n");
  EXPECT_EQ(ReadFile(dir / "out/ONLY.BIN"), "old");
}

// ---- broken images -----------------------------------------------------------

const char kBadStructure[] = "load ISO image failed - invalid image internal structure\n";
const char kBadLevel[] = "load directory information from ISO image failed\n";

TEST_F(SampleImages, BrokenImagesFailToLoadWithTheirLines) {
  const std::string original = ReadFile(genisoImage);
  const std::size_t descriptor = kPrimaryVolumeDescriptorOffset;
  const std::uint32_t root = RootExtent(original);
  const std::size_t rootStart = static_cast<std::size_t>(root) * kBlockSize;
  const std::uint32_t system32 = DirectoryExtent(original, "I386/SYSTEM32");
  const std::size_t sifRecord = FindRecord(original, system32, "WINPEOEM.SIF");
  const std::size_t i386Record = FindRecord(original, root, "I386");
  const std::uint32_t i386 = Le32(original, i386Record + dir_record::extent);
  const std::size_t system32Record = FindRecord(original, i386, "SYSTEM32");
  const std::size_t emptyRecord = FindRecord(original, root, "EMPTY.TXT");
  const std::string inSystem32 = std::string(kBadLevel) + kBadLevel + kBadStructure;
  const std::string atBlock = "directory extent at block ";

  struct Case {
    const char* what;
    std::function<void(std::string&)> corrupt;
    std::string expected;  // after "load ISO image ...\n"
    bool prefixOnly;
  };
  const Case cases[] = {
      {"standard identifier", [&](std::string& d) { d[descriptor + 1] = 'D'; },
       "load ISO image failed - invalid ISO image\n", false},
      {"logical block size 512",
       [&](std::string& d) {
         put_both16(reinterpret_cast<std::uint8_t*>(&d[descriptor + 128]), 512);
       },
       "load ISO image failed - invalid ISO image\n", false},
      {"truncated inside the descriptor", [&](std::string& d) { d.resize(descriptor + 100); },
       "load ISO image failed - IO exception: cannot read 2048 bytes at byte 32768", true},
      {"truncated before the root directory", [&](std::string& d) { d.resize(rootStart); },
       "cannot read 2048 bytes at byte " + std::to_string(rootStart), true},
      {"root self record missing", [&](std::string& d) { d[rootStart + 33] = 'A'; },
       atBlock + std::to_string(root) + " does not start with its self record\n" + kBadStructure,
       false},
      {"root self record too short", [&](std::string& d) { d[rootStart] = 20; },
       atBlock + std::to_string(root) + " does not start with its self record\n" + kBadStructure,
       false},
      {"directory size 0", [&](std::string& d) { PutBoth32(d, rootStart + 10, 0); },
       atBlock + std::to_string(root) + " has a size of 0\n" + kBadStructure, false},
      {"directory size beyond the image",
       [&](std::string& d) { PutBoth32(d, rootStart + 10, 0x7FFFF000); },
       atBlock + std::to_string(root) + " runs past the end of the image\n" + kBadStructure, false},
      {"record shorter than its identifier",
       [&](std::string& d) { d[emptyRecord + dir_record::identifier_length] = 60; },
       "malformed directory record at byte " + std::to_string(emptyRecord - rootStart) +
           " of directory extent at block " + std::to_string(root) + "\n" + kBadStructure,
       false},
      {"record length runs past the directory",
       [&](std::string& d) {
         PutBoth32(d, rootStart + 10, static_cast<std::uint32_t>(emptyRecord - rootStart + 40));
         d[emptyRecord] = static_cast<char>(60);
         d[emptyRecord + 32] = 9;
       },
       "malformed directory record at byte " + std::to_string(emptyRecord - rootStart) +
           " of directory extent at block " + std::to_string(root) + "\n" + kBadStructure,
       false},
      {"subdirectory self record missing",
       [&](std::string& d) { d[static_cast<std::size_t>(system32) * kBlockSize + 33] = 'A'; },
       atBlock + std::to_string(system32) + " does not start with its self record\n" + kBadLevel +
           kBadLevel + kBadStructure,
       false},
      {"name ending in a dot", [&](std::string& d) { d[sifRecord + 33 + 11] = '.'; },
       "invalid file name: WINPEOEM.SI.\n" + inSystem32, false},
      {"name with a separator", [&](std::string& d) { d[sifRecord + 33 + 3] = '/'; },
       "invalid file name: WIN/EOEM.SIF\n" + inSystem32, false},
      {"name that is a literal parent reference",
       [&](std::string& d) {
         d[sifRecord + 32] = 2;
         d[sifRecord + 33] = '.';
         d[sifRecord + 34] = '.';
       },
       "invalid file name: ..\n" + inSystem32, false},
      {"directory pointing at its ancestor",
       [&](std::string& d) { PutBoth32(d, system32Record + dir_record::extent, root); },
       atBlock + std::to_string(root) + " points back at an enclosing directory\n" + kBadLevel +
           kBadLevel + kBadStructure,
       false},
      {"directory pointing at itself",
       [&](std::string& d) { PutBoth32(d, i386Record + dir_record::extent, root); },
       atBlock + std::to_string(root) + " points back at an enclosing directory\n" + kBadLevel +
           kBadStructure,
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string path = Corrupted(c.corrupt);
    ISOReader reader(path);
    CaptureOutput capture;
    EXPECT_FALSE(reader.FileExists("\\EMPTY.TXT"));
    const std::string text = capture.Stdout();
    const std::string expected = "load ISO image ...\n" + c.expected;
    if (c.prefixOnly) {
      EXPECT_EQ(text.rfind(expected, 0), 0u) << text;
    } else {
      EXPECT_EQ(text, expected);
    }
  }
}

TEST_F(SampleImages, AnyTypeByteIsAcceptedBeforeTheIdentifier) {
  const std::string path = Corrupted([](std::string& d) { d[kPrimaryVolumeDescriptorOffset] = 7; });
  ISOReader reader(path);
  CaptureOutput capture;
  EXPECT_TRUE(reader.FileExists("\\EMPTY.TXT"));
  EXPECT_EQ(capture.Stdout(), kLoadLines);
}

TEST_F(SampleImages, FailedLoadIsRetriedByTheNextOperation) {
  const std::string path = local / "later.iso";
  ISOReader reader(path);
  {
    CaptureOutput capture;
    EXPECT_FALSE(reader.DirectoryExists("\\"));
    EXPECT_EQ(reader.RetrieveFile("\\EMPTY.TXT", local / "e"), 1);
    const std::string text = capture.Stdout();
    const std::string failed =
        "load ISO image ...\nload ISO image failed - IO exception: cannot open ";
    ASSERT_EQ(text.rfind(failed, 0), 0u) << text;
    EXPECT_NE(text.find(failed, failed.size()), std::string::npos) << text;
  }
  fs::copy_file(genisoImage, path);
  CaptureOutput capture;
  EXPECT_EQ(reader.RetrieveFile("\\EMPTY.TXT", local / "e"), 0);
  EXPECT_TRUE(reader.FileExists("\\EMPTY.TXT"));  // loads only once
  EXPECT_EQ(capture.Stdout(), kLoadLines);
  EXPECT_EQ(ReadFile(local / "e"), "");
}

TEST(ReaderDepth, TreesDeeperThanTheBoundAreRefused) {
  // genisoimage relocates deep directories unless told not to (-D).
  for (int depth : {64, 65}) {
    SCOPED_TRACE(depth);
    ScratchDir dir;
    std::string path = dir / "tree";
    std::string imagePath;
    for (int i = 0; i < depth; ++i) {
      path += "/D";
      imagePath += "\\D";
    }
    MakeDirs(path);
    WriteFile(path + "/F.TXT", "deep");
    ASSERT_EQ(MakeGenisoimage(dir / "tree", dir / "deep.iso", "", "-D"), 0);
    ISOReader reader(dir / "deep.iso");
    CaptureOutput capture;
    const bool found = reader.FileExists(imagePath + "\\F.TXT");
    const std::string text = capture.Stdout();
    if (depth == 64) {
      EXPECT_TRUE(found);
      EXPECT_EQ(text, kLoadLines);
    } else {
      EXPECT_FALSE(found);
      EXPECT_NE(text.find("directory tree deeper than 64 levels"), std::string::npos) << text;
      EXPECT_EQ(text.size() - text.rfind(kBadStructure), sizeof kBadStructure - 1);
    }
  }
}

}  // namespace
