// The keep layout writes only the sectors each change needs, and leaves no stale bytes.
#include <string>
#include <vector>

#include <boost/filesystem.hpp>
#include <gtest/gtest.h>

#include "common/byte_order.h"
#include "iso/iso_modifier.h"
#include "iso/joliet_names.h"
#include "tests/iso/memory_image.h"
#include "tests/test_support.h"

using namespace testing_support;

namespace {

struct Change {
  std::string local, image;  // local relative to the work directory
  bool directory;
};

struct Case {
  const char* name;
  std::vector<Change> changes;
  std::vector<std::string> gone;  // old bytes that must be nowhere
  std::size_t maxChangedSectors;  // of the source's sectors
  bool grows;
};

// Sectors of `a` whose bytes differ in `b` (the source's sectors only).
std::size_t ChangedSectors(const std::string& a, const std::string& b) {
  std::size_t changed = 0;
  for (std::size_t at = 0; at < a.size(); at += 2048) {
    changed += a.compare(at, 2048, b, at, 2048) != 0;
  }
  return changed;
}

std::uint32_t Field32(const std::string& image, std::size_t at, bool bigEndian = false) {
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(image.data() + at);
  return bigEndian ? get_be32(bytes) : get_le32(bytes);
}

// The directory record named `name` in the directory extent at `sector`.
std::string RecordBytes(const std::string& image, std::uint32_t sector, const std::string& name) {
  const std::size_t begin = sector * 2048u;
  for (std::size_t at = begin; at < begin + Field32(image, begin + 10);) {
    const auto length = static_cast<std::uint8_t>(image[at]);
    if (length == 0) {
      at = (at / 2048 + 1) * 2048;
    } else if (image.compare(at + 33, name.size(), name) == 0) {
      return image.substr(at, length);
    } else {
      at += length;
    }
  }
  return "";
}


// Points the primary descriptor's optional path tables at copies of the
// mandatory ones, put in the sectors the UDF bridge leaves empty before
// its anchor at 256.
void AddOptionalPathTables(std::string& image) {
  const std::size_t pvd = 16 * 2048;
  const std::uint32_t size = Field32(image, pvd + 132);
  const std::uint32_t last = 250;
  for (int i = 0; i < 2; ++i) {
    const std::size_t table = Field32(image, pvd + 140 + i * 8, i == 1) * 2048u;
    ASSERT_EQ(image.compare((last + i) * 2048u, 2048, std::string(2048, '\0')), 0);
    const std::string copy = image.substr(table, size);
    image.replace((last + i) * 2048u, size, copy);
    std::uint8_t* field = reinterpret_cast<std::uint8_t*>(&image[pvd + 144 + i * 8]);
    i == 0 ? put_le32(field, last) : put_be32(field, last + 1);
  }
}

std::uint32_t ExtentOf(ISOModifier& image, const std::string& path) {
  const DirectoryRecord* node = image.findDirectoryRecord(path);
  return node ? node->extent : 0;
}

}  // namespace

TEST(PatchLayout, ChangesOnlyTheSectorsItMust) {
  WPE_LINUX_ONLY("the image is made by genisoimage and read back by pycdlib");
  ScratchDir dir;
  const std::string source = dir / "source.iso";
  for (const char* d : {"src/I386/INF", "src/BOOT", "src/DOCS/OLD", "work/progs/TOOL"}) {
    MakeDirs(dir / d);
  }
  WriteFile(dir / "src/WINBOM.INI", "[Factory]\r\nOLD-WINBOM-PASSWORD-HASH\r\n");
  WriteFile(dir / "src/DOCS/README.TXT", std::string(3000, 'r'));
  WriteFile(dir / "src/DOCS/OLD/X.TXT", "x");
  WriteFile(dir / "src/I386/INF/DISK.INF", "[Version]\r\n");
  // A second name for the same data: replacing it must leave the data the first still names.
  boost::filesystem::create_hard_link(dir / "src/I386/INF/DISK.INF", dir / "src/DOCS/DISK.INF");
  WriteFile(dir / "src/HIDDEN.TXT", "hidden entry");
  WriteFile(dir / "src/JOLIET.TXT", "only Joliet lists it");
  MakeDirs(dir / "src/D1/D2/D3/D4/D5/D6/D7/D8");  // deeper than ISO 9660 allows: relocated
  WriteFile(dir / "src/BOOT/BOOT.IMG", std::string(2048, '\xF4'));
  ASSERT_EQ(testing_support::Run("genisoimage -quiet -J -R -udf -hidden HIDDEN.TXT -hide JOLIET.TXT -b BOOT/BOOT.IMG"
                " -no-emul-boot -boot-load-size 4 -o '" + source + "' '" + dir / "src" + "' 2>/dev/null"),
            0);
  std::string withOptional = ReadFile(source);
  AddOptionalPathTables(withOptional);
  WriteFile(source, withOptional);
  WriteFile(dir / "work/same.ini", "[Factory]\r\nOLD-WINBOM-PASSWORD-HASH\r\n");
  WriteFile(dir / "work/other.ini", "[Factory]\r\nNEW-WINBOM-PASSWORD-HASH\r\n");
  WriteFile(dir / "work/small.ini", "[Factory]\r\n");
  WriteFile(dir / "work/large.ini", std::string(5000, 'L'));
  WriteFile(dir / "work/NEW.TXT", "new file");
  WriteFile(dir / "work/progs/TOOL/tool.exe", std::string(3000, 't'));
  const std::string original = ReadFile(source);
  const std::size_t pvd = 16 * 2048;

  std::vector<Change> crowd;  // more new entries than a directory's sector holds
  for (int i = 0; i < 45; ++i) crowd.push_back({"NEW.TXT", "\\DOCS\\N" + std::to_string(i), false});
  const std::vector<Case> cases = {
      {"equal bytes", {{"same.ini", "\\WINBOM.INI", false}}, {}, 0, false},
      // A hive with another password hash keeps its size.
      {"same size", {{"other.ini", "\\WINBOM.INI", false}}, {"OLD-WINBOM"}, 11, false},
      {"smaller", {{"small.ini", "\\WINBOM.INI", false}}, {"OLD-WINBOM"}, 11, false},
      {"larger", {{"large.ini", "\\WINBOM.INI", false}}, {"OLD-WINBOM"}, 11, true},
      {"data shared with another name", {{"small.ini", "\\DOCS\\DISK.INF", false}}, {}, 11, true},
      {"fits its directory", {{"NEW.TXT", "\\DOCS\\NEW.TXT", false}}, {}, 11, true},
      {"overflows its directory", crowd, {}, 17, true},
      {"new directory", {{"progs", "\\PROGRAMS", true}, {"small.ini", "\\WINBOM.INI", false}},
       {"OLD-WINBOM"}, 17, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ISOModifier modifier(source);
    modifier.SetLayout(ImageLayout::Keep);
    modifier.FixPackTime(1000000000);
    std::string packed;
    {
      CaptureOutput quiet;
      for (const Change& change : c.changes) {
        ASSERT_EQ(change.directory
                      ? modifier.AddSingleDirectory(dir / ("work/" + change.local), change.image, true)
                      : modifier.AddSingleFile(dir / ("work/" + change.local), change.image, true),
                  0);
      }
      packed = PackInMemory(modifier);
    }
    ASSERT_FALSE(packed.empty());
    EXPECT_LE(ChangedSectors(original, packed), c.maxChangedSectors);
    EXPECT_EQ(packed.size() > original.size(), c.grows);
    for (const std::string& old : c.gone) EXPECT_EQ(packed.find(old), std::string::npos) << old;
    // The system area, the boot catalog and image, an unchanged directory
    // (its Rock Ridge fields included) and the hidden entry stay as they were.
    ISOModifier before(source);
    ISOModifier after(InMemory(packed));
    {
      CaptureOutput quiet;
      ASSERT_EQ(before.LoadImage(), 0);
      ASSERT_EQ(after.LoadImage(), 0);
    }
    EXPECT_EQ(packed.compare(0, 16 * 2048, original, 0, 16 * 2048), 0);
    for (const char* kept : {"I386\\INF", "I386\\INF\\DISK.INF", "BOOT\\BOOT.IMG", "BOOT\\BOOT.CAT"}) {
      const std::uint32_t extent = ExtentOf(before, kept);
      EXPECT_EQ(ExtentOf(after, kept), extent) << kept;
      EXPECT_EQ(packed.compare(extent * 2048u, 2048, original, extent * 2048u, 2048), 0) << kept;
    }
    EXPECT_EQ(RecordBytes(packed, ExtentOf(after, ""), "HIDDEN.TXT;1"),
              RecordBytes(original, ExtentOf(before, ""), "HIDDEN.TXT;1"));
    EXPECT_EQ(RecordBytes(packed, ExtentOf(after, "DOCS"), "README.TXT;1"),
              RecordBytes(original, ExtentOf(before, "DOCS"), "README.TXT;1"));
    // What only Joliet lists, and a directory Rock Ridge relocated, keep their bytes.
    const std::string joliet = JolietNameFromUtf8("JOLIET.TXT");
    ASSERT_FALSE(RecordBytes(original, before.Facts().jolietRootExtent, joliet).empty());
    EXPECT_EQ(RecordBytes(packed, after.Facts().jolietRootExtent, joliet),
              RecordBytes(original, before.Facts().jolietRootExtent, joliet));
    const std::uint32_t relocated = ExtentOf(before, "RR_MOVED\\D8");
    ASSERT_NE(relocated, 0u);
    EXPECT_EQ(packed.compare(relocated * 2048u, 2048, original, relocated * 2048u, 2048), 0);
    // A subdirectory's ".." follows its parent wherever that went.
    EXPECT_EQ(Field32(RecordBytes(packed, ExtentOf(after, "DOCS\\OLD"), "\x01"), 2), ExtentOf(after, "DOCS"));
    // The optional path tables are copies of the mandatory ones.
    for (int i = 0; i < 2; ++i) {
      const std::uint32_t table = Field32(packed, pvd + 140 + i * 8, i == 1);
      const std::uint32_t optional = Field32(packed, pvd + 144 + i * 8, i == 1);
      ASSERT_NE(optional, 0u);
      EXPECT_EQ(packed.compare(optional * 2048u, Field32(packed, pvd + 132), packed, table * 2048u,
                               Field32(packed, pvd + 132)),
                0);
    }
    // Both trees read back with every change, as another reader sees them;
    // a reader that looks at the UDF tree first finds none once the run
    // changed something.
    WriteFile(dir / "packed.iso", packed);
    EXPECT_EQ(RunOutput("7z l -slt " + dir / "packed.iso").find("Type = Udf") != std::string::npos,
              c.maxChangedSectors == 0);
    const std::string script = "import sys\nsys.path.insert(0, '" WPE_SOURCE_DIR "/tests/scripts')\n"
                               "import wpe_testlib\n"
                               "for joliet in (False, True):\n"
                               "  files, dirs = wpe_testlib.read_image(sys.argv[1], joliet)\n"
                               "  for p in sorted(files): print(p.upper(), len(files[p]), files[p][:12])\n";
    WriteFile(dir / "read.py", script);
    const std::string listing = RunOutput("/usr/bin/python3 " + dir / "read.py" + " " + dir / "packed.iso");
    for (const Change& change : c.changes) {
      if (change.directory) continue;
      const std::string data = ReadFile(dir / ("work/" + change.local));
      EXPECT_EQ(listing.find(std::to_string(data.size()) + " b'" + data.substr(0, 5)) != std::string::npos,
                true)
          << listing;
    }
    EXPECT_EQ(listing.find("/PROGRAMS/TOOL/TOOL.EXE 3000") != std::string::npos,
              c.changes[0].local == "progs")
        << listing;
  }
}
