// The modifier: adding and replacing files and directories in a loaded image
// tree, and packing it into a new image that independent readers accept,
// with untouched files byte-identical and the source's identification kept.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "iso/iso_modifier.h"
#include "tests/test_support.h"

using testing_support::CaptureOutput;
using testing_support::MakeDirs;
using testing_support::MakeGenisoimage;
using testing_support::ReadFile;
using testing_support::RunOutput;
using testing_support::ScratchDir;
using testing_support::WriteFile;

namespace {

const char kIdentification[] =
    "-V MYVOLUME -volset MYVOLSET -publisher MYPUBLISHER -p MYPREPARER -A MYAPPLICATION";

// Lists every file of an image as "path size" lines with pycdlib, an
// independent reader, and writes each file's bytes next to the listing.
std::map<std::string, std::string> ReadBackWithPycdlib(const std::string& image,
                                                       const std::string& scratch) {
  const std::string script = scratch + "/list.py";
  WriteFile(script,
            "import io, sys, pycdlib\n"
            "iso = pycdlib.PyCdlib()\n"
            "iso.open(sys.argv[1])\n"
            "for d, dirs, files in iso.walk(iso_path='/'):\n"
            "    for name in dirs:\n"
            "        print((d.rstrip('/') + '/' + name) + '/')\n"
            "    for name in files:\n"
            "        path = d.rstrip('/') + '/' + name\n"
            "        buf = io.BytesIO()\n"
            "        iso.get_file_from_iso_fp(buf, iso_path=path)\n"
            "        print(path + '\\t' + buf.getvalue().hex())\n"
            "iso.close()\n");
  const std::string listing = RunOutput("/usr/bin/python3 " + script + " '" + image + "'");
  std::map<std::string, std::string> entries;
  std::size_t start = 0;
  while (start < listing.size()) {
    std::size_t end = listing.find('\n', start);
    if (end == std::string::npos) end = listing.size();
    const std::string line = listing.substr(start, end - start);
    const std::size_t tab = line.find('\t');
    if (tab == std::string::npos) {
      entries[line] = "<dir>";
    } else {
      std::string bytes;
      for (std::size_t i = tab + 1; i + 1 < line.size(); i += 2) {
        bytes += static_cast<char>(std::stoi(line.substr(i, 2), nullptr, 16));
      }
      entries[line.substr(0, tab)] = bytes;
    }
    start = end + 1;
  }
  return entries;
}

std::vector<std::string> Identifiers(DirectoryRecord* list) {
  std::vector<std::string> names;
  for (DirectoryRecord* node = list; node; node = node->next) names.push_back(node->identifier);
  return names;
}

class ModifierTest : public ::testing::Test {
 protected:
  void SetUp() override {
    MakeDirs(dir / "src/I386/SYSTEM32");
    MakeDirs(dir / "src/DOCS");
    MakeDirs(dir / "src/BOOT");
    WriteFile(dir / "src/WINBOM.INI", "[Factory]\r\nWinBOMType=WinPE\r\n");
    WriteFile(dir / "src/I386/SYSTEM32/WINPEOEM.SIF", "[Version]\r\n");
    WriteFile(dir / "src/DOCS/README.TXT", std::string(5000, 'r'));
    WriteFile(dir / "src/KEEP.BIN", keep);
    WriteFile(dir / "src/BOOT/BOOT.IMG", boot);
    ASSERT_EQ(MakeGenisoimage(dir / "src", image, "BOOT/BOOT.IMG", kIdentification), 0);
    original = ReadFile(image);
  }

  static std::string Pattern(std::size_t n) {
    std::string data(n, '\0');
    for (std::size_t i = 0; i < n; ++i) data[i] = static_cast<char>((i * 37 + i / 97) & 0xFF);
    return data;
  }

  ScratchDir dir;
  std::string image = dir / "source.iso";
  std::string original;
  const std::string keep = Pattern(7000);
  const std::string boot = std::string(2048, '\xF4');
};

}  // namespace

TEST_F(ModifierTest, ReplaceAndAddThenPackRoundTrip) {
  MakeDirs(dir / "work");
  WriteFile(dir / "work/new_winbom.ini", "[Factory]\r\nWinBOMType=WinPE\r\n[WinPE.Net]\r\n");
  WriteFile(dir / "work/winpeoem.sif", "[Version]\r\n[OemDriverParams]\r\n");
  WriteFile(dir / "work/aaa.txt", "first");
  WriteFile(dir / "work/zzz.txt", "last");
  WriteFile(dir / "work/docs", "a file where a directory was");
  MakeDirs(dir / "work/progs/TOOL");
  WriteFile(dir / "work/progs/TOOL/tool.exe", std::string(3000, 't'));
  WriteFile(dir / "work/progs/run.cmd", "tool.exe\r\n");

  ISOModifier modifier(image);
  {
    CaptureOutput capture;
    EXPECT_EQ(modifier.AddSingleFile(dir / "work/new_winbom.ini", "\\WINBOM.INI", true), 0);
    // Matched ignoring case; the new identifier is the given name.
    EXPECT_EQ(
        modifier.AddSingleFile(dir / "work/winpeoem.sif", "\\I386\\SYSTEM32\\winpeoem.sif", true),
        0);
    EXPECT_EQ(modifier.AddSingleDirectory(dir / "work/progs", "\\PROGRAMS\\", true), 0);
    EXPECT_EQ(modifier.AddSingleFile(dir / "work/aaa.txt", "/AAA.TXT", true), 0);
    EXPECT_EQ(modifier.AddSingleFile(dir / "work/zzz.txt", "\\zzz.txt", true), 0);
    // A directory replaced by a file of the same name.
    EXPECT_EQ(modifier.AddSingleFile(dir / "work/docs", "\\docs", true), 0);
    // Only the first addition loads the image.
    EXPECT_EQ(capture.Stdout(), "load ISO image ...\nload ISO image succeeded\n");
  }
  {
    // Sorted insertion after "." and "..", case-sensitive byte order; the
    // entries of the source image keep their recorded order.
    const std::vector<std::string> names = Identifiers(modifier.root);
    ASSERT_GE(names.size(), 3u);
    EXPECT_EQ(names[2], "AAA.TXT");
    EXPECT_EQ(names.back(), "zzz.txt");
    EXPECT_EQ(std::count(names.begin(), names.end(), "WINBOM.INI"), 1);
    EXPECT_EQ(std::count(names.begin(), names.end(), "DOCS"), 0);
    auto at = [&](const std::string& n) { return std::find(names.begin(), names.end(), n); };
    EXPECT_LT(at("I386"), at("PROGRAMS"));
    EXPECT_LT(at("PROGRAMS"), at("WINBOM.INI"));
  }

  {
    CaptureOutput capture;
    ASSERT_EQ(modifier.Pack(dir / "out.iso", dir / "src/BOOT/BOOT.IMG"), 0);
    EXPECT_NE(capture.Stdout().find("pack ISO image succeeded\n"), std::string::npos);
  }
  // The source image is never written.
  EXPECT_EQ(ReadFile(image), original);

  const std::string packed = ReadFile(dir / "out.iso");
  for (std::size_t offset : {40u, 190u, 318u, 446u, 574u}) {
    SCOPED_TRACE(offset);
    EXPECT_EQ(packed.substr(16 * 2048 + offset, offset == 40 ? 32 : 128),
              original.substr(16 * 2048 + offset, offset == 40 ? 32 : 128));
  }
  EXPECT_EQ(packed.substr(16 * 2048 + 40, 9), "MYVOLUME ");
  EXPECT_EQ(packed.substr(16 * 2048 + 446, 10), "MYPREPARER");
  // A new creation date, not the source's system identifier.
  EXPECT_EQ(packed.substr(16 * 2048 + 8, 32), std::string(32, '\0'));

  const std::map<std::string, std::string> files = ReadBackWithPycdlib(dir / "out.iso", dir.path());
  const std::map<std::string, std::string> expected = {
      {"/AAA.TXT", "first"},
      {"/BOOT/", "<dir>"},
      {"/BOOT/BOOT.IMG", boot},
      {"/I386/", "<dir>"},
      {"/I386/SYSTEM32/", "<dir>"},
      {"/I386/SYSTEM32/winpeoem.sif", "[Version]\r\n[OemDriverParams]\r\n"},
      {"/KEEP.BIN", keep},
      {"/PROGRAMS/", "<dir>"},
      {"/PROGRAMS/TOOL/", "<dir>"},
      {"/PROGRAMS/TOOL/tool.exe", std::string(3000, 't')},
      {"/PROGRAMS/run.cmd", "tool.exe\r\n"},
      {"/WINBOM.INI", "[Factory]\r\nWinBOMType=WinPE\r\n[WinPE.Net]\r\n"},
      {"/boot.catalog", files.count("/boot.catalog") ? files.at("/boot.catalog") : ""},
      {"/docs", "a file where a directory was"},
      {"/zzz.txt", "last"},
  };
  EXPECT_EQ(files, expected);

  // Our own reader agrees with the independent one.
  ISOReader reader(dir / "out.iso");
  CaptureOutput quiet;
  EXPECT_TRUE(reader.FileExists("\\PROGRAMS\\TOOL\\tool.exe"));
  EXPECT_FALSE(reader.FileExists("\\I386\\SYSTEM32\\WINPEOEM.SIF"));
  EXPECT_TRUE(reader.FileExists("\\I386\\SYSTEM32\\winpeoem.sif"));
}

TEST_F(ModifierTest, RefusalsLeaveTheTreeAsItWas) {
  MakeDirs(dir / "work");
  WriteFile(dir / "work/x.txt", "x");
  ISOModifier modifier(image);
  CaptureOutput capture;
  ASSERT_EQ(modifier.LoadImage(), 0);
  const std::vector<std::string> before = Identifiers(modifier.root);
  const std::string loadLines = capture.Stdout();

  CaptureOutput quiet;
  // An existing name without replace.
  EXPECT_EQ(modifier.AddSingleFile(dir / "work/x.txt", "\\winbom.ini", false), 1);
  EXPECT_EQ(modifier.AddSingleDirectory(dir / "work", "\\KEEP.BIN", false), 1);
  // A parent that does not exist, or that is a file.
  EXPECT_EQ(modifier.AddSingleFile(dir / "work/x.txt", "\\NOPE\\X.TXT", true), 1);
  EXPECT_EQ(modifier.AddSingleFile(dir / "work/x.txt", "\\KEEP.BIN\\X.TXT", true), 1);
  EXPECT_EQ(quiet.Stdout(), "");
  EXPECT_EQ(Identifiers(modifier.root), before);

  // Failures with their exception lines; the replaced entry stays.
  {
    CaptureOutput lines;
    EXPECT_EQ(modifier.AddSingleFile(dir / "work/absent.txt", "\\KEEP.BIN", true), 1);
    EXPECT_EQ(lines.Stdout().rfind("ISOModifier AddSingleFile exception: ", 0), 0u);
  }
  {
    CaptureOutput lines;
    EXPECT_EQ(modifier.AddSingleFile(dir / "work/x.txt", "\\" + std::string(223, 'L'), true), 1);
    EXPECT_EQ(lines.Stdout(), "ISOModifier AddSingleFile exception: identifier too long (223 "
                              "bytes, at most 222): " +
                                  std::string(223, 'L') + "\n");
  }
  {
    CaptureOutput lines;
    EXPECT_EQ(modifier.AddSingleDirectory(dir / "work/absent", "\\DOCS", true), 1);
    const std::string out = lines.Stdout();
    EXPECT_NE(out.find("absent"), std::string::npos);
    EXPECT_EQ(out.find("ISOModifier"), std::string::npos);
  }
  EXPECT_EQ(Identifiers(modifier.root), before);
}

TEST_F(ModifierTest, BareNameDoesNotMatchVersionedIdentifier) {
  // A plain ISO 9660 image records "NOTE.TXT;1".
  MakeDirs(dir / "plain");
  WriteFile(dir / "plain/NOTE.TXT", "old");
  const std::string plain = dir / "plain.iso";
  ASSERT_EQ(testing_support::Run("genisoimage -quiet -o '" + plain + "' '" + dir / "plain" +
                                 "' 2>/dev/null"),
            0);
  WriteFile(dir / "NOTE.TXT", "new");
  ISOModifier modifier(plain);
  CaptureOutput quiet;
  EXPECT_EQ(modifier.AddSingleFile(dir / "NOTE.TXT", "\\NOTE.TXT", true), 0);
  EXPECT_EQ(Identifiers(modifier.root),
            (std::vector<std::string>{".", "..", "NOTE.TXT", "NOTE.TXT;1"}));
}

TEST_F(ModifierTest, PackFailsWhenTheSourceDescriptorCannotBeRead) {
  ISOModifier modifier(image);
  CaptureOutput capture;
  ASSERT_EQ(modifier.LoadImage(), 0);
  // The image goes away after loading: the descriptor read fails.
  std::rename(image.c_str(), (image + ".moved").c_str());
  EXPECT_EQ(modifier.Pack(dir / "out.iso", ""), 1);
  const std::string out = capture.Stdout();
  EXPECT_NE(out.find("  write primary volume descriptor ...\nISOModifier CreateNewPVD exception: "),
            std::string::npos);
  EXPECT_NE(out.find("\n  write primary volume descriptor failed - IO error\n"),
            std::string::npos);
  EXPECT_EQ(out.find("terminator"), std::string::npos);
}
