// The modifier on genisoimage images: additions and replacements packed and read back.
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/byte_order.h"
#include "iso/iso_modifier.h"
#include "iso/joliet_names.h"
#include "iso/joliet_tree.h"
#include "tests/test_support.h"

using namespace testing_support;

namespace {

std::vector<std::string> Identifiers(const DirectoryRecord* list) {
  std::vector<std::string> names;
  for (; list; list = list->next) names.push_back(list->identifier);
  return names;
}

struct Addition {
  std::string local, image;
  bool directory;
};

// Hands each addition to the modifier (replace set); each must succeed.
void AddAll(ISOModifier& modifier, const std::vector<Addition>& additions) {
  for (const Addition& a : additions) {
    EXPECT_EQ(a.directory ? modifier.AddSingleDirectory(a.local, a.image, true)
                          : modifier.AddSingleFile(a.local, a.image, true),
              0)
        << a.image;
  }
}

// The bytes of the file at `imagePath` in `image`, as this reader retrieves it.
std::string ImageFile(const std::string& image, const std::string& imagePath) {
  CaptureOutput quiet;
  const std::string local = image + ".file";
  std::remove(local.c_str());
  EXPECT_EQ(ISOReader(image).RetrieveFile(imagePath, local), 0) << imagePath;
  return ReadFile(local);
}

}  // namespace

TEST(Modifier, ReplaceAndAddRefuseAndPackRoundTrip) {
  WPE_LINUX_ONLY("the image is made by genisoimage and read back by pycdlib");
  ScratchDir dir;
  const std::string image = dir / "source.iso";
  for (const char* d : {"src/I386/SYSTEM32", "src/DOCS", "src/BOOT", "work/progs/TOOL"}) {
    MakeDirs(dir / d);
  }
  WriteFile(dir / "src/WINBOM.INI", "[Factory]\r\n");
  WriteFile(dir / "src/I386/SYSTEM32/WINPEOEM.SIF", "[Version]\r\n");
  WriteFile(dir / "src/DOCS/README.TXT", std::string(5000, 'r'));
  std::string keep(7000, '\0');
  for (std::size_t i = 0; i < keep.size(); ++i) keep[i] = static_cast<char>(i * 37 + i / 97);
  WriteFile(dir / "src/KEEP.BIN", keep);
  WriteFile(dir / "src/BOOT/BOOT.IMG", std::string(2048, '\xF4'));
  ASSERT_EQ(MakeGenisoimage(dir / "src", image, "BOOT/BOOT.IMG",
                            "-V MYVOLUME -volset MYVOLSET -publisher MYPUBLISHER -p MYPREPARER"
                            " -A MYAPPLICATION"),
            0);
  WriteFile(dir / "work/winbom.ini", "[Factory]\r\n[WinPE.Net]\r\n");
  WriteFile(dir / "work/winpeoem.sif", "[Version]\r\n[OemDriverParams]\r\n");
  WriteFile(dir / "work/aaa.txt", "first");
  WriteFile(dir / "work/zzz.txt", "last");
  WriteFile(dir / "work/docs", "a file where a directory was");
  WriteFile(dir / "work/progs/TOOL/tool.exe", std::string(3000, 't'));
  WriteFile(dir / "work/progs/run.cmd", "tool.exe\r\n");
  const std::string original = ReadFile(image);
  ISOModifier modifier(image);
  {
    CaptureOutput capture;
    AddAll(modifier, {
        {dir / "work/winbom.ini", "\\WINBOM.INI", false},
        // Matched ignoring case; a file replacing a file keeps the recorded name.
        {dir / "work/winpeoem.sif", "\\I386\\SYSTEM32\\winpeoem.sif", false},
        {dir / "work/progs", "\\PROGRAMS\\", true},
        {dir / "work/aaa.txt", "/AAA.TXT", false},
        {dir / "work/zzz.txt", "\\zzz.txt", false},
        {dir / "work/docs", "\\docs", false},  // replaces the directory DOCS
    });
    // Only the first addition loads the image.
    EXPECT_EQ(capture.Stdout(), "load ISO image ...\nload ISO image succeeded\n");
  }
  // Refusals print at most one line and leave the tree as it was.
  const std::vector<std::string> before = Identifiers(modifier.root);
  const std::string x = dir / "work/aaa.txt";
  const struct {
    std::string local, imagePath;
    bool replace;
    std::string lines;  // the start of what is printed
  } cases[] = {
      {x, "\\winbom.ini", false, ""},      // exists (ignoring case), no replace
      {x, "\\NOPE\\X.TXT", true, ""},     // no such parent
      {dir / "absent", "\\KEEP.BIN", true, "ISOModifier AddSingleFile exception: "},
      {x, "\\A:B", true, "ISOModifier AddSingleFile exception: invalid name \"A:B\": it holds"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.imagePath);
    CaptureOutput lines;
    EXPECT_EQ(modifier.AddSingleFile(c.local, c.imagePath, c.replace), 1);
    const std::string text = lines.Stdout();
    EXPECT_EQ(c.lines.empty() ? text : text.substr(0, c.lines.size()), c.lines);
    EXPECT_EQ(Identifiers(modifier.root), before);
  }
  // New entries go in byte order after "." and ".."; the others keep theirs.
  // A file in place of the directory DOCS takes its own name.
  EXPECT_EQ(Identifiers(modifier.root),
            (std::vector<std::string>{".", "..", "AAA.TXT", "BOOT", "I386", "KEEP.BIN", "PROGRAMS",
                                      "WINBOM.INI", "boot.catalog", "docs", "zzz.txt"}));
  // Files that change after they were handed over (while a run waits at a
  // prompt) go in as they are when the image is written, never cut.
  WriteFile(dir / "work/aaa.txt", "first, and more since");
  WriteFile(dir / "work/zzz.txt", "l");
  WriteFile(dir / "work/progs/TOOL/tool.exe", std::string(5000, 't'));
  {
    CaptureOutput capture;
    ASSERT_EQ(modifier.Pack(dir / "out.iso", dir / "src/BOOT/BOOT.IMG"), 0);
  }
  EXPECT_EQ(ReadFile(image), original);  // the source is never written

  const std::string packed = ReadFile(dir / "out.iso");
  // Volume, volume set, publisher, preparer and application identifiers.
  for (std::size_t offset : {40u, 190u, 318u, 446u, 574u}) {
    const std::size_t at = 16 * 2048 + offset, length = offset == 40 ? 32 : 128;
    EXPECT_EQ(packed.substr(at, length), original.substr(at, length)) << offset;
  }
  // The catalog names this writer (genisoimage's names none) and a copy of
  // the boot image in the boot image area; the file BOOT.IMG stays too.
  const auto le32 = [&](std::size_t at) {
    return get_le32(reinterpret_cast<const std::uint8_t*>(&packed[at]));
  };
  const std::size_t catalog = std::size_t{2048} * le32(17 * 2048 + 71);
  EXPECT_EQ(packed.substr(catalog + 4, 22), std::string("Microsoft Corporation\0", 22));
  const std::string bootImage(2048, '\xF4');
  EXPECT_EQ(packed.substr(std::size_t{2048} * le32(catalog + 40), 2048), bootImage);
  EXPECT_NE(packed.find(bootImage), packed.rfind(bootImage));

  // Each file as it was when packed, the untouched ones as in the source.
  const std::pair<const char*, std::string> files[] = {
      {"\\WINBOM.INI", "[Factory]\r\n[WinPE.Net]\r\n"}, {"\\AAA.TXT", "first, and more since"},
      {"\\zzz.txt", "l"}, {"\\docs", "a file where a directory was"}, {"\\KEEP.BIN", keep},
      {"\\PROGRAMS\\TOOL\\tool.exe", std::string(5000, 't')},
      {"\\I386\\SYSTEM32\\WINPEOEM.SIF", "[Version]\r\n[OemDriverParams]\r\n"}};
  for (const auto& f : files) EXPECT_TRUE(ImageFile(dir / "out.iso", f.first) == f.second) << f.first;
  const auto shell = [](const std::string& command) { return testing_support::Run(command); };
  const std::string w = dir / "work/";

  // A file of an added directory that now leads out of it is not read.
  ASSERT_EQ(shell("ln -sf /etc/passwd '" + w + "progs/run.cmd'"), 0);
  CaptureOutput capture;
  EXPECT_EQ(modifier.Pack(dir / "again.iso", dir / "src/BOOT/BOOT.IMG"), 1);
  EXPECT_NE(capture.Stdout().find("progs/run.cmd: it leads to /etc/passwd now, outside "),
            std::string::npos);
}

// Joliet names differing from the primary ones are kept; names Joliet cannot hold are refused.
TEST(Modifier, JolietNamesAreKeptOrRefused) {
  WPE_LINUX_ONLY("the image is made by genisoimage");
  ScratchDir dir;
  MakeDirs(dir / "src/Docs Dir");
  WriteFile(dir / "src/Read Me First.txt", std::string(3000, 'r'));
  WriteFile(dir / "src/Docs Dir/Guide & Notes.txt", "guide");
  WriteFile(dir / "src/Keep.bin", "keep");
  ASSERT_EQ(testing_support::Run("genisoimage -quiet -iso-level 2 -N -J -o '" + dir / "in.iso" +
                                 "' '" + dir / "src" + "' 2>/dev/null"),
            0);
  WriteFile(dir / "new.txt", "new readme");
  MakeDirs(dir / "bad/" + std::string(65, 'x'));

  ISOModifier modifier(dir / "in.iso");
  CaptureOutput capture;
  EXPECT_EQ(modifier.AddSingleFile(dir / "new.txt", "\\READ_ME_FIRST.TXT", true), 0);
  // Was a directory; a local path may end in either separator.
  EXPECT_EQ(modifier.AddSingleFile(dir / "new.txt\\", "\\DOCS_DIR", true), 0);
  // What the run added, by the name it has in the image; not the source's.
  EXPECT_EQ(modifier.AddedEntryName("\\read_me_first.txt;2"), "READ_ME_FIRST.TXT");
  EXPECT_EQ(modifier.AddedEntryName("\\KEEP.BIN"), "");
  const std::vector<std::string> before = Identifiers(modifier.root);
  EXPECT_EQ(modifier.AddSingleFile(dir / "new.txt", "\\bad;name.txt", true), 1);
  EXPECT_EQ(modifier.AddSingleDirectory(dir / "bad", "\\bad", true), 1);  // a name inside
  EXPECT_EQ(Identifiers(modifier.root), before);
  // One line each, with the reasons the Joliet names give.
  const std::string cannot = " exception: the Joliet tree of this image cannot hold the name \"";
  const std::string out = capture.Stdout();
  EXPECT_NE(out.find("\nISOModifier AddSingleFile" + cannot + "bad;name.txt\": it holds"),
            std::string::npos);
  EXPECT_NE(out.find("\nISOModifier AddSingleDirectory" + cannot + std::string(65, 'x') + "\""),
            std::string::npos);
  EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 4);
  {
    CaptureOutput quiet;
    ASSERT_EQ(modifier.Pack(dir / "out.iso", ""), 0);
  }
  ISOReader packed(dir / "out.iso");
  std::vector<std::string> names;
  {
    CaptureOutput quiet;
    ASSERT_EQ(packed.LoadImage(), 0);
  }
  const JolietEntry joliet = LoadJolietTree(*ImageOrigin(dir / "out.iso").Open(), packed.Facts().jolietRootExtent);
  for (const JolietEntry& entry : joliet.entries) {
    names.push_back(Utf8FromJolietName(entry.identifier));
  }
  // In the order of the primary tree: DOCS_DIR, KEEP.BIN, READ_ME_FIRST.TXT.
  EXPECT_EQ(names, (std::vector<std::string>{"DOCS_DIR", "Keep.bin", "Read Me First.txt"}));
  EXPECT_EQ(joliet.entries.back().size, 10u);  // the new data under the kept name
}

// Versioned identifiers are kept on replacement and read back.
TEST(Modifier, VersionedSourceKeepsItsIdentifiersAndReadsBack) {
  WPE_LINUX_ONLY("the image is made by genisoimage");
  ScratchDir dir;
  for (const char* d : {"src/DOCS", "src/I386/SYSTEM32/CONFIG", "work/docs"}) MakeDirs(dir / d);
  WriteFile(dir / "src/WINBOM.INI", "old");
  WriteFile(dir / "src/DOCS/README.TXT", "readme");
  WriteFile(dir / "src/I386/SYSTEM32/CONFIG/DEFAULT", "hive");
  WriteFile(dir / "src/BIG.BIN", std::string(100000, 'b'));
  const std::string image = dir / "source.iso";
  ASSERT_EQ(testing_support::Run("genisoimage -quiet -iso-level 2 -o '" + image + "' '" +
                                 dir / "src" + "' 2>/dev/null"),
            0);
  WriteFile(dir / "work/winbom.ini", "new");
  WriteFile(dir / "work/default", "new hive");
  WriteFile(dir / "work/docs/NEW.TXT", "new");

  ISOModifier modifier(image);
  {
    CaptureOutput capture;
    AddAll(modifier, {
        {dir / "work/winbom.ini", "\\winbom.ini", false},
        {dir / "work/default", "\\I386\\SYSTEM32\\CONFIG\\Default", false},
        {dir / "work/docs", "\\docs", true},
    });
  }
  EXPECT_EQ(Identifiers(modifier.root),
            (std::vector<std::string>{".", "..", "BIG.BIN;1", "DOCS", "I386", "WINBOM.INI;1"}));
  EXPECT_EQ(Identifiers(modifier.findDirectoryRecord("I386\\SYSTEM32\\CONFIG")),
            (std::vector<std::string>{".", "..", "DEFAULT.;1"}));
  EXPECT_EQ(modifier.SameEntryType("\\docs\\new.txt;1"), kTypeFile);  // what was added counts too
  {
    CaptureOutput capture;
    ASSERT_EQ(modifier.Pack(dir / "out.iso", ""), 0);
  }
  const std::pair<std::string, std::string> files[] = {
      {"\\BIG.BIN", std::string(100000, 'b')}, {"\\DOCS\\NEW.TXT", "new"},
      {"\\I386\\SYSTEM32\\CONFIG\\DEFAULT", "new hive"}, {"\\WINBOM.INI", "new"}};
  for (const auto& f : files) EXPECT_TRUE(ImageFile(dir / "out.iso", f.first) == f.second) << f.first;
}
