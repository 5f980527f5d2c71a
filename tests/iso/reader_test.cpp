// The readers on images genisoimage and xorriso make from one tree, and on broken copies.
#include <gtest/gtest.h>

#include <algorithm>
#include <boost/filesystem.hpp>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "iso/iso_boot_image_reader.h"
#include "iso/iso_modifier.h"
#include "iso/iso_reader.h"
#include "iso/iso_structures.h"
#include "iso/joliet_names.h"
#include "tests/iso/memory_image.h"
#include "tests/iso/record_list.h"
#include "tests/test_support.h"

namespace fs = boost::filesystem;
using namespace testing_support;

namespace {

const std::string kLoadLines = "load ISO image ...\nload ISO image succeeded\n";
const std::string kBadStructure = "load ISO image failed - invalid image internal structure\n";
const std::string kBootInvalid = "load boot image ...\nload boot image failed - invalid boot CD\n";
const std::string kNotLoaded =
    "extract boot image ...\nextract boot image failed - image hasn't been loaded\n";

std::string Pattern(std::size_t size, unsigned seed) {
  std::string data(size, '\0');
  for (std::size_t i = 0; i < size; ++i) data[i] = static_cast<char>((i * 131 + seed * 7) % 251);
  return data;
}

std::uint32_t Le32(const std::string& image, std::size_t offset) {
  return get_le32(reinterpret_cast<const std::uint8_t*>(image.data()) + offset);
}

class SampleImages : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (!testing_support::kLinuxHost) return;  // each test skips itself in SetUp
    scratch = new ScratchDir();
    tree = *scratch / "tree";
    for (const char* d : {"boot", "I386/SYSTEM32/CONFIG", "MANY", "HIDDENDIR", "EMPTYDIR"}) {
      MakeDirs(tree + "/" + d);
    }
    WriteFile(tree + "/boot/boot.bin", Pattern(2048, 1));
    WriteFile(tree + "/I386/SYSTEM32/WINPEOEM.SIF", "[OemDriverParams]\r\n");
    WriteFile(tree + "/I386/SYSTEM32/CONFIG/DEFAULT", Pattern(5000, 2));
    WriteFile(tree + "/EMPTY.TXT", "");
    WriteFile(tree + "/MixedCase.txt", "mixed");
    WriteFile(tree + "/HIDDEN.TXT", "hidden");
    WriteFile(tree + "/HIDDENDIR/INSIDE.TXT", "inside");
    // 80 records of 88 bytes: the directory extent spans four blocks.
    for (int i = 100; i < 180; ++i) {
      WriteFile(tree + "/MANY/" + std::string(48, 'N') + std::to_string(i) + ".TXT", "many");
    }
    genisoImage = *scratch / "genisoimage.iso";
    xorrisoImage = *scratch / "xorriso.iso";
    versionedImage = *scratch / "versioned.iso";
    ASSERT_EQ(MakeGenisoimage(tree, genisoImage, "boot/boot.bin",
                              "-hidden HIDDEN.TXT -hidden HIDDENDIR"),
              0);
    ASSERT_EQ(testing_support::Run("xorriso -as mkisofs -quiet -iso-level 3 -untranslated-filenames"
                  " -untranslated_name_len 96 -b boot/boot.bin -no-emul-boot -boot-load-size 4"
                  " -o '" + xorrisoImage + "' '" + tree + "' >/dev/null 2>&1"),
              0);
    // Without -untranslated-filenames genisoimage records "NAME.EXT;1".
    ASSERT_EQ(testing_support::Run("genisoimage -quiet -o '" + versionedImage + "' '" + tree +
                                   "' 2>/dev/null"),
              0);
  }
  void SetUp() override { WPE_LINUX_ONLY("the images are made by genisoimage and xorriso"); }
  static void TearDownTestSuite() {
    delete scratch;
    scratch = nullptr;
  }

  static ScratchDir* scratch;
  static std::string tree, genisoImage, xorrisoImage, versionedImage;
  ScratchDir local;
};

ScratchDir* SampleImages::scratch = nullptr;
std::string SampleImages::tree, SampleImages::genisoImage, SampleImages::xorrisoImage,
    SampleImages::versionedImage;

// true: genisoimage, told to hide HIDDEN.TXT and HIDDENDIR; false: xorriso.
class BothProducers : public SampleImages, public ::testing::WithParamInterface<bool> {};

TEST_P(BothProducers, EveryFileComesOutByteForByte) {
  const bool hides = GetParam();
  const std::string image = hides ? genisoImage : xorrisoImage;
  ISOReader reader(image);
  const std::string out = local / "out";
  MakeDirs(out);
  {
    CaptureOutput capture;
    ASSERT_EQ(reader.Unpack(out), 0);
    EXPECT_EQ(reader.Facts().hasHiddenEntries, hides);
    const std::string out = capture.Stdout();
    EXPECT_EQ(std::count(out.begin(), out.end(), '.'), 90 + 6);  // 90 marks, 6 in the lines
    EXPECT_EQ(out.substr(out.size() - 32), "100%\nunpack ISO image succeeded\n");
  }
  // Both producers add the boot catalog as a file.
  EXPECT_TRUE(fs::remove(out + "/boot.catalog"));
  EXPECT_EQ(testing_support::Run("diff -r -x 'HIDDEN*' '" + tree + "' '" + out + "'"), 0);
  EXPECT_EQ(Exists(out + "/HIDDENDIR/INSIDE.TXT"), !hides);
  {
    // A second unpack stops at the first entry, which is already there.
    WriteFile(out + "/EMPTY.TXT", "old");
    CaptureOutput capture;
    EXPECT_EQ(ISOReader(image).Unpack(out), 1);
    EXPECT_EQ(capture.Stdout(), kLoadLines + "unpack ISO image ...\ncreate file/directory failed,"
                                " IO exception: file/directory " + out + "/EMPTY.TXT already exists"
                                "\nunpack ISO image failed\n");
    EXPECT_EQ(ReadFile(out + "/EMPTY.TXT"), "old");
  }
}

INSTANTIATE_TEST_SUITE_P(Producers, BothProducers, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return info.param ? "genisoimage" : "xorriso";
                         });

TEST_F(SampleImages, LookupsKeepCaseButNotVersions) {
  ISOReader plain(genisoImage), versioned(versionedImage);
  const struct {
    ISOReader* reader;
    const char* path;
    bool file, directory;
    std::uint32_t sameEntry;  // SameEntryType: case and version ignored
  } cases[] = {
      {&plain, "", false, true, 0},                                 // the root is no entry
      {&plain, "I386/SYSTEM32\\WINPEOEM.SIF", true, false, kTypeFile},
      {&plain, "\\i386\\system32\\winpeoem.sif", false, false, kTypeFile},  // case matters
      {&plain, "\\MIXEDCASE.TXT", false, false, kTypeFile},
      {&plain, "\\EMPTY.TXT", true, false, kTypeFile},             // 0 bytes
      {&plain, "\\EMPTY.TXT\\X", false, false, 0},                // nothing below a file
      {&plain, "\\HIDDEN.TXT", false, false, 0},                   // hidden entries are skipped
      {&versioned, "\\EMPTY.TXT", true, false, kTypeFile},         // ";1" is no part of the name
      {&versioned, "\\EMPTY.TXT;1", true, false, kTypeFile},       // but the identifier still is
      {&versioned, "\\EMPTY.TXT;2", false, false, kTypeFile},
      {&versioned, "\\I386\\SYSTEM32\\CONFIG\\DEFAULT", true, false, kTypeFile},  // DEFAULT.;1
      {&versioned, "\\I386\\SYSTEM32", false, true, kTypeDirectory},  // directories carry none
      {&versioned, "\\i386\\System32\\config", false, false, kTypeDirectory},
  };
  CaptureOutput capture;
  for (const auto& c : cases) {
    EXPECT_EQ(c.reader->FileExists(c.path), c.file) << c.path;
    EXPECT_EQ(c.reader->DirectoryExists(c.path), c.directory) << c.path;
    EXPECT_EQ(c.reader->SameEntryType(c.path), c.sameEntry) << c.path;
  }
  EXPECT_FALSE(plain.FileExists("\\I386\\A:B"));
  EXPECT_EQ(capture.Stdout(),
            kLoadLines + kLoadLines +
                "ISOReader findDirectoryRecord exception: invalid file name: A:B\n");
}

// Versions and "NAME.;1" as mastering tools record them: every file comes out under its name.
TEST_F(SampleImages, VersionedNamesCopyOutWithoutTheirVersions) {
  MakeDirs(local / "out");
  CaptureOutput capture;
  ASSERT_EQ(ISOReader(versionedImage).Unpack(local / "out"), 0);
  EXPECT_EQ(ReadFile(local / "out/I386/SYSTEM32/CONFIG/DEFAULT"), Pattern(5000, 2));
  EXPECT_EQ(ReadFile(local / "out/I386/SYSTEM32/WINPEOEM.SIF"), "[OemDriverParams]\r\n");
  EXPECT_TRUE(Exists(local / "out/EMPTY.TXT"));
}

TEST_F(SampleImages, BrokenImagesFailWithTheirLines) {
  const std::string original = ReadFile(genisoImage);
  const std::size_t descriptor = kPrimaryVolumeDescriptorOffset;
  const std::uint32_t root = Le32(original, descriptor + pvd::root_directory_record + 2);
  const std::size_t rootAt = std::size_t{root} * kBlockSize;
  // The root's record of I386: its LEN_FI byte and identifier.
  const std::size_t i386 = original.find("\x04I386", rootAt) - dir_record::identifier_length;
  const std::size_t catalog =
      std::size_t{Le32(original, kBootRecordSector * kBlockSize + 71)} * kBlockSize;
  const std::string atRoot =
      "load ISO image ...\ndirectory extent at block " + std::to_string(root);
  const std::string notIso = "load ISO image ...\nload ISO image failed - invalid ISO image\n";
  struct Case {
    const char* what;
    bool boot;  // read by the boot image reader rather than the reader
    std::function<void(std::string&)> corrupt;
    std::string expected;  // the whole output, or its start when it does not end a line
  };
  const Case cases[] = {
      {"CD002", false, [&](std::string& d) { d[descriptor + 5] = '2'; }, notIso},
      {"block size 512", false,
       [&](std::string& d) {
         put_both16(reinterpret_cast<std::uint8_t*>(&d[descriptor + 128]), 512);
       },
       notIso},
      {"truncated before the root directory", false, [&](std::string& d) { d.resize(rootAt); },
       "load ISO image ...\ncannot read 2048 bytes at byte " + std::to_string(rootAt) + " of "},
      {"root self record missing", false, [&](std::string& d) { d[rootAt + 33] = 'A'; },
       atRoot + " does not start with its self record\n" + kBadStructure},
      {"I386 loops back to the root", false,
       [&](std::string& d) { put_both32(reinterpret_cast<std::uint8_t*>(&d[i386 + 2]), root); },
       "load ISO image ...\nload ISO image succeeded\ndirectory extent at block " +
           std::to_string(root) + " points back at an enclosing directory\n" +
           "load directory information from ISO image failed\n"},
      {"catalog key byte", true, [&](std::string& d) { d[catalog + 30] = 0x54; },
       kBootInvalid + kNotLoaded},
      {"not bootable", true, [&](std::string& d) { d[catalog + 32] = 0; },
       kBootInvalid + kNotLoaded},
      {"no boot record", true, [&](std::string& d) { d = ReadFile(versionedImage); },
       kBootInvalid + kNotLoaded},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::string data = original;
    c.corrupt(data);
    const ImageOrigin path = InMemory(data, c.what);
    CaptureOutput capture;
    if (c.boot) {
      ISOBootImageReader reader(path);
      EXPECT_EQ(reader.LoadBootImage(), 1);
      EXPECT_EQ(reader.ExtractBootImage(local / (std::string(c.what) + ".bin")), 1);  // a new file each
    } else {
      EXPECT_FALSE(ISOReader(path).FileExists("\\I386\\SYSTEM32\\WINPEOEM.SIF"));
    }
    const std::string text = capture.Stdout();
    if (c.expected.back() == '\n') {
      EXPECT_EQ(text, c.expected);
    } else {
      EXPECT_EQ(text.rfind(c.expected, 0), 0u) << text;
    }
  }
}

// The Joliet tree's names reach the primary tree; damage there never fails the load.
TEST_F(SampleImages, JolietNamesAndADamagedJolietTree) {
  WriteFile(local / "efi.img", Pattern(4096, 3));
  const std::string full = local / "full.iso";
  // Joliet, Rock Ridge, the 1999 descriptor and an EFI entry after the default one.
  ASSERT_EQ(testing_support::Run("genisoimage -quiet -iso-level 4 -untranslated-filenames -J -R"
                                 " -b boot/boot.bin -no-emul-boot -boot-load-size 4"
                                 " -eltorito-alt-boot -b efi.img -no-emul-boot -o '" + full +
                                 "' -graft-points /='" + tree + "' /efi.img='" +
                                 local / "efi.img" + "' 2>/dev/null"),
            0);
  ISOReader named(full);
  std::string joliet;
  {
    CaptureOutput capture;
    if (named.FileExists("MixedCase.txt")) {
      joliet = Utf8FromJolietName(named.findDirectoryRecord("MixedCase.txt")->jolietIdentifier);
    }
  }
  EXPECT_EQ(joliet, "MixedCase.txt");  // the source's Joliet name reaches the tree

  // A damaged Joliet tree never fails the load: its names are given up.
  std::string data = ReadFile(full);
  const std::uint32_t jolietRoot = Le32(data, 19 * kBlockSize + pvd::root_directory_record + 2);
  const std::size_t i386 = data.find(std::string("\x08\0I\0\x33\0\x38\0\x36", 9),
                                     std::size_t{jolietRoot} * kBlockSize) -
                           dir_record::identifier_length;
  put_both32(reinterpret_cast<std::uint8_t*>(&data[i386 + 2]), jolietRoot);  // loops back
  ISOReader reader(InMemory(data));
  bool found = false;
  {
    CaptureOutput capture;
    found = reader.FileExists("\\I386\\SYSTEM32\\WINPEOEM.SIF");
  }
  EXPECT_TRUE(found);
  EXPECT_EQ(reader.Facts().jolietDescriptorSector, 19u);  // after the 1999 descriptor
  EXPECT_EQ(reader.Facts().jolietTreeProblem, "directory extent at block " +
                                                  std::to_string(jolietRoot) +
                                                  " points back at an enclosing directory");
  EXPECT_EQ(reader.findDirectoryRecord("MixedCase.txt")->jolietIdentifier, "");
}

// Names cut to 8.3 keep their whole form in Joliet only: it answers after the recorded ones.
TEST(FindInList, JolietNamesAnswerAfterTheRecordedIdentifiers) {
  DirectoryRecord* self = NewRecordList();
  DirectoryRecord* cut = AddRecord(self, "REDODOZA.XML;1", kTypeFile);
  // Recorded with its version, which a new name may not carry.
  cut->jolietIdentifier = JolietNameFromUtf8("REDODOZAD.XML") + std::string("\0;\0" "1", 4);
  DirectoryRecord* other = AddRecord(self, "OTHER.TXT", kTypeFile);
  other->jolietIdentifier = JolietNameFromUtf8("redodozad.xml");
  using Match = ISOReader::NameMatch;
  const struct {
    const char* name;
    Match match;
    const DirectoryRecord* found;
  } cases[] = {
      {"REDODOZA.XML", Match::Lookup, cut},          // the recorded name first
      {"REDODOZAD.XML", Match::Lookup, cut},         // then the Joliet one, without version
      {"redodozad.xml", Match::Lookup, other},       // case matters to a lookup
      {"Redodozad.Xml", Match::Lookup, nullptr},
      {"Redodozad.Xml", Match::SameEntry, cut},      // but not to the same entry
      {"other.txt", Match::SameEntry, other},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ISOReader::FindInList(self, c.name, c.match), c.found) << c.name;
  }
  ISOManipulator::FreeRecordList(self);
}

}  // namespace

// A file recorded in two extents (BIGB.DAT's record renamed into the second
// of BIGA.DAT) is one file to lookups and copies, and stays one through a
// run in either layout; the keep layout carries its records as they are.
TEST(MultiExtent, OneFileInEveryTreeAndLayout) {
  WPE_LINUX_ONLY("the image is made by genisoimage");
  ScratchDir dir;
  MakeDirs(dir / "src");
  const std::string first = Pattern(2048, 4), second = Pattern(1000, 5);
  WriteFile(dir / "src/BIGA.DAT", first);
  WriteFile(dir / "src/BIGB.DAT", second);
  WriteFile(dir / "NEW.TXT", "new");
  ASSERT_EQ(MakeGenisoimage(dir / "src", dir / "source.iso", "", "-J"), 0);
  std::string image = ReadFile(dir / "source.iso");
  std::string records;  // the file's two primary records
  for (const std::string& name : {std::string("BIGB.DAT"), JolietNameFromUtf8("BIGB.DAT")}) {
    const std::size_t b = image.find(name);
    ASSERT_NE(b, std::string::npos);
    image[b + (name.size() == 8 ? 3 : 7)] = 'A';  // "B" of "BIGB", in either tree
    const std::size_t length = static_cast<std::uint8_t>(image[b - dir_record::identifier]);
    image[b - dir_record::identifier - length + dir_record::file_flags] |= kFlagMultiExtent;
    if (records.empty()) records = image.substr(b - dir_record::identifier - length, 2 * length);
  }
  const auto expectOneFile = [&](const std::string& bytes, const char* what) {
    SCOPED_TRACE(what);
    ISOReader reader(InMemory(bytes));
    {
      CaptureOutput quiet;
      ASSERT_EQ(reader.LoadImage(), 0);
    }
    EXPECT_FALSE(reader.FileExists("BIGB.DAT"));
    ASSERT_TRUE(reader.FileExists("BIGA.DAT"));
    EXPECT_EQ(reader.findDirectoryRecord("BIGA.DAT")->size, 3048u);
    EXPECT_EQ(Utf8FromJolietName(reader.findDirectoryRecord("BIGA.DAT")->jolietIdentifier),
              "BIGA.DAT");
    const std::string out = dir / (std::string(what) + ".out");
    ASSERT_EQ(reader.RetrieveFile("BIGA.DAT", out), 0);
    EXPECT_TRUE(ReadFile(out) == first + second);
  };
  expectOneFile(image, "source");
  for (const ImageLayout layout : {ImageLayout::Keep, ImageLayout::Compact}) {
    const bool keep = layout == ImageLayout::Keep;
    ISOModifier modifier(InMemory(image));
    modifier.SetLayout(layout);
    std::string packed;
    {
      CaptureOutput quiet;
      ASSERT_EQ(modifier.AddSingleFile(dir / "NEW.TXT", "\\NEW.TXT", true), 0);
      packed = PackInMemory(modifier);
    }
    ASSERT_FALSE(packed.empty());
    expectOneFile(packed, keep ? "keep" : "compact");
    EXPECT_EQ(packed.find(records) != std::string::npos, keep);
  }
  // Replaced in place, it is one extent in either tree, and its old data goes.
  ISOModifier replacing(InMemory(image));
  replacing.SetLayout(ImageLayout::Keep);
  std::string packed;
  {
    CaptureOutput quiet;
    ASSERT_EQ(replacing.AddSingleFile(dir / "NEW.TXT", "\\BIGA.DAT", true), 0);
    packed = PackInMemory(replacing);
    ASSERT_EQ(ISOReader(InMemory(packed)).RetrieveFile("BIGA.DAT", dir / "replaced.out"), 0);
  }
  EXPECT_EQ(ReadFile(dir / "replaced.out"), "new");
  EXPECT_EQ(packed.find(second), std::string::npos);
  for (const std::string& name : {std::string("BIGA.DAT"), JolietNameFromUtf8("BIGA.DAT")}) {
    const std::size_t at = packed.find(name);
    ASSERT_NE(at, std::string::npos);
    EXPECT_EQ(packed[at - dir_record::identifier + dir_record::file_flags] & kFlagMultiExtent, 0);
  }
}
