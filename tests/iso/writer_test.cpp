// Pack of the ISO writer: the console lines of each step and the bytes of
// every structure of the image (descriptors, boot catalog and image, path
// tables, records, file data), plus the two date formats.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "iso/iso_writer.h"
#include "tests/test_support.h"

using testing_support::CaptureOutput;
using testing_support::MakeDirs;
using testing_support::ReadFile;
using testing_support::ScratchDir;
using testing_support::WriteFile;

namespace {

const std::uint8_t* Bytes(const std::string& s, std::size_t offset) {
  return reinterpret_cast<const std::uint8_t*>(s.data()) + offset;
}

std::string Sector(const std::string& image, std::uint32_t sector) {
  return image.substr(std::size_t{sector} * 2048, 2048);
}

// The marks of a complete progress display: 0% . . . 100% and a line end.
std::string FullMarks() {
  std::string marks;
  for (int i = 0; i <= 100; ++i) marks += i % 10 == 0 ? std::to_string(i) + "%" : ".";
  return marks + "\n";
}

std::string Pattern(std::size_t n, unsigned seed) {
  std::string data(n, '\0');
  for (std::size_t i = 0; i < n; ++i) data[i] = static_cast<char>((i * 131 + seed * 7 + i / 251) & 0xFF);
  return data;
}

std::string StepLines(bool withBoot, const std::string& marks) {
  std::string lines =
      "pack the ISO image ...\n"
      "  load source directory & boot image file ...\n"
      "  load source directory & boot image file done\n"
      "  write system reserved sector ...\n"
      "  write system reserved sector done\n"
      "  write primary volume descriptor ...\n"
      "  write primary volume descriptor done\n";
  if (withBoot) lines += "  write boot record ...\n  write boot record done\n";
  lines +=
      "  write volume descriptor set terminator ...\n"
      "  write volume descriptor set terminator done\n";
  if (withBoot) lines += "  write boot image ...\n  write boot image done\n";
  lines +=
      "  write path tables ...\n"
      "  write path tables done\n"
      "  write directory record and files ...\n" +
      marks +
      "  write directory record and files done\n"
      "pack ISO image succeeded\n";
  return lines;
}

struct PathTableEntry {
  std::string identifier;
  std::uint32_t extent;
  std::uint16_t parent;
  bool operator==(const PathTableEntry& o) const {
    return identifier == o.identifier && extent == o.extent && parent == o.parent;
  }
};

std::vector<PathTableEntry> ParsePathTable(const std::string& image, std::uint32_t sector,
                                           std::uint32_t size, bool bigEndian) {
  std::vector<PathTableEntry> entries;
  std::size_t pos = std::size_t{sector} * 2048;
  const std::size_t end = pos + size;
  while (pos < end) {
    const std::uint8_t* p = Bytes(image, pos);
    const std::uint8_t length = p[0];
    PathTableEntry e;
    e.extent = bigEndian ? get_be32(p + 2) : get_le32(p + 2);
    e.parent = bigEndian ? get_be16(p + 6) : get_le16(p + 6);
    e.identifier = image.substr(pos + 8, length);
    entries.push_back(e);
    pos += PathTableRecordLength(length);
  }
  EXPECT_EQ(pos, end);
  return entries;
}

// A writer that packs a tree made in memory instead of a local directory.
class MemoryWriter : public ISOWriter {
 public:
  explicit MemoryWriter(const std::string& sourceImage = "") : ISOWriter("", sourceImage) {
    root = List();
  }
  DirectoryRecord* LoadLocalDirectory(const std::string&) override { return root; }

  static DirectoryRecord* List() {
    auto* self = Node(".", kTypeDirectory);
    self->next = Node("..", kTypeDirectory);
    return self;
  }
  static DirectoryRecord* Node(const std::string& name, std::uint32_t type, std::uint32_t size = 0) {
    auto* node = new DirectoryRecord;
    node->name = name;
    node->identifier = name;
    node->type = type;
    node->size = size;
    return node;
  }
  void Add(DirectoryRecord* node) {
    DirectoryRecord* last = root;
    while (last->next) last = last->next;
    last->next = node;
  }
};

class ScopedTimeZone {
 public:
  explicit ScopedTimeZone(const char* zone) {
    const char* old = std::getenv("TZ");
    hadOld_ = old != nullptr;
    if (hadOld_) old_ = old;
    setenv("TZ", zone, 1);
    tzset();
  }
  ~ScopedTimeZone() {
    if (hadOld_) {
      setenv("TZ", old_.c_str(), 1);
    } else {
      unsetenv("TZ");
    }
    tzset();
  }

 private:
  bool hadOld_ = false;
  std::string old_;
};

std::time_t Utc(int year, int month, int day, int hour, int minute, int second) {
  std::tm tm{};
  tm.tm_year = year - 1900;
  tm.tm_mon = month - 1;
  tm.tm_mday = day;
  tm.tm_hour = hour;
  tm.tm_min = minute;
  tm.tm_sec = second;
  return timegm(&tm);
}

}  // namespace

TEST(WriterPack, BootableImageHasEveryStructureInPlace) {
  ScratchDir dir;
  const std::string small = Pattern(1000, 1);
  const std::string inner = Pattern(3000, 2);
  const std::string boot = Pattern(2048, 3);
  MakeDirs(dir / "src/DIR");
  WriteFile(dir / "src/f1000.bin", small);
  WriteFile(dir / "src/DIR/inner", inner);
  WriteFile(dir / "boot.img", boot);

  ISOWriter writer(dir / "src", "");
  CaptureOutput capture;
  ASSERT_EQ(writer.Pack(dir / "out.iso", dir / "boot.img"), 0);
  EXPECT_EQ(capture.Stdout(), StepLines(true, FullMarks()));

  // P = 10 + 12 ("DIR") = 22, T = 1; D = 2, K = 1, F = 1 + 2.
  // L 20, M 21, directories 22-23, boot image 24, files 25-27.
  const std::string image = ReadFile(dir / "out.iso");
  ASSERT_EQ(image.size(), 28u * 2048u);
  EXPECT_EQ(image.substr(0, 16 * 2048), std::string(16 * 2048, '\0'));

  const std::string pvd = Sector(image, 16);
  EXPECT_EQ(pvd.substr(0, 7), std::string("\x01" "CD001\x01", 7));
  EXPECT_EQ(get_le32(Bytes(pvd, 80)), 28u);
  EXPECT_EQ(get_be32(Bytes(pvd, 84)), 28u);
  EXPECT_EQ(get_le16(Bytes(pvd, 128)), 2048u);
  EXPECT_EQ(get_be16(Bytes(pvd, 130)), 2048u);
  EXPECT_EQ(get_le32(Bytes(pvd, 132)), 22u);
  EXPECT_EQ(get_be32(Bytes(pvd, 136)), 22u);
  EXPECT_EQ(get_le32(Bytes(pvd, 140)), 20u);
  EXPECT_EQ(get_be32(Bytes(pvd, 148)), 21u);
  EXPECT_EQ(pvd.substr(40, 32), std::string("CD_ROM") + std::string(26, '\0'));
  EXPECT_EQ(pvd.substr(318, 128), std::string("TALVEN CORPORATION") + std::string(110, '\0'));
  EXPECT_EQ(pvd.substr(446, 20), "TALVEN CORPORATION, ");
  EXPECT_EQ(pvd.substr(574, 6), std::string("riduz\0", 6));
  EXPECT_EQ(pvd[881], 1);
  // Root record in the descriptor: 34 bytes, extent 22, length of the root.
  const std::uint32_t rootSize = 68 + 36 + 42;
  EXPECT_EQ(Bytes(pvd, 156)[0], 34);
  EXPECT_EQ(get_le32(Bytes(pvd, 158)), 22u);
  EXPECT_EQ(get_le32(Bytes(pvd, 166)), rootSize);
  EXPECT_EQ(Bytes(pvd, 156)[25], kFlagDirectory);

  const std::string bootRecord = Sector(image, 17);
  EXPECT_EQ(bootRecord.substr(0, 7), std::string("\0CD001\x01", 7));
  EXPECT_EQ(bootRecord.substr(7, 32), std::string("EL TORITO SPECIFICATION") + std::string(9, '\0'));
  EXPECT_EQ(get_le32(Bytes(bootRecord, 71)), 19u);

  EXPECT_EQ(Sector(image, 18).substr(0, 7), std::string("\xff" "CD001\x01", 7));

  const std::string catalog = Sector(image, 19);
  std::uint16_t sum = 0;
  for (int i = 0; i < 32; i += 2) sum = static_cast<std::uint16_t>(sum + get_le16(Bytes(catalog, i)));
  EXPECT_EQ(sum, 0);
  EXPECT_EQ(catalog.substr(28, 4), "\x4c\x49\x55\xaa");
  EXPECT_EQ(static_cast<std::uint8_t>(catalog[32]), 0x88);
  EXPECT_EQ(catalog[33], 0);
  EXPECT_EQ(get_le16(Bytes(catalog, 38)), 4u);
  EXPECT_EQ(get_le32(Bytes(catalog, 40)), 24u);
  EXPECT_EQ(catalog.substr(64), std::string(2048 - 64, '\0'));
  EXPECT_EQ(Sector(image, 24), boot);

  // Both path tables describe the same directories; the rest of their
  // sectors stays zero.
  const std::vector<PathTableEntry> expected = {{std::string(1, '\0'), 22, 1}, {"DIR", 23, 1}};
  EXPECT_EQ(ParsePathTable(image, 20, 22, false), expected);
  EXPECT_EQ(ParsePathTable(image, 21, 22, true), expected);
  EXPECT_EQ(Sector(image, 20).substr(22), std::string(2048 - 22, '\0'));

  // Root directory: ".", ".." (same as "."), "DIR", "f1000.bin".
  const std::string rootDir = Sector(image, 22);
  for (std::size_t offset : {0u, 34u}) {
    EXPECT_EQ(Bytes(rootDir, offset)[0], 34);
    EXPECT_EQ(get_le32(Bytes(rootDir, offset + 2)), 22u);
    EXPECT_EQ(get_be32(Bytes(rootDir, offset + 6)), 22u);
    EXPECT_EQ(get_le32(Bytes(rootDir, offset + 10)), rootSize);
    EXPECT_EQ(Bytes(rootDir, offset)[32], 1);
  }
  EXPECT_EQ(rootDir[33], '\0');
  EXPECT_EQ(rootDir[34 + 33], '\x01');
  EXPECT_EQ(Bytes(rootDir, 68)[0], 36);
  EXPECT_EQ(rootDir.substr(68 + 33, 3), "DIR");
  EXPECT_EQ(get_le32(Bytes(rootDir, 68 + 2)), 23u);
  EXPECT_EQ(Bytes(rootDir, 104)[0], 42);
  EXPECT_EQ(rootDir.substr(104 + 33, 9), "f1000.bin");
  EXPECT_EQ(get_le32(Bytes(rootDir, 104 + 2)), 25u);
  EXPECT_EQ(get_le32(Bytes(rootDir, 104 + 10)), 1000u);
  EXPECT_EQ(Bytes(rootDir, 104)[25], 0);
  EXPECT_EQ(get_le16(Bytes(rootDir, 104 + 28)), 1u);
  EXPECT_EQ(rootDir.substr(rootSize), std::string(2048 - rootSize, '\0'));
  // The recording date is the time of writing (years since 1900).
  EXPECT_GE(Bytes(rootDir, 104)[18], 120);
  EXPECT_GE(Bytes(rootDir, 104)[19], 1);

  const std::string subDir = Sector(image, 23);
  EXPECT_EQ(get_le32(Bytes(subDir, 2)), 23u);
  EXPECT_EQ(get_le32(Bytes(subDir, 34 + 2)), 22u);
  EXPECT_EQ(get_le32(Bytes(subDir, 34 + 10)), rootSize);
  EXPECT_EQ(get_le32(Bytes(subDir, 68 + 2)), 26u);

  // File data, each file's last sector completed with zeros.
  EXPECT_EQ(image.substr(25 * 2048, 2048), small + std::string(1048, '\0'));
  EXPECT_EQ(image.substr(26 * 2048, 4096), inner + std::string(1096, '\0'));
}

TEST(WriterPack, WithoutBootImageTheTerminatorFollowsTheDescriptor) {
  ScratchDir dir;
  MakeDirs(dir / "src");
  WriteFile(dir / "src/a.txt", "hello");
  ISOWriter writer(dir / "src", "");
  CaptureOutput capture;
  ASSERT_EQ(writer.Pack(dir / "out.iso", ""), 0);
  EXPECT_EQ(capture.Stdout(), StepLines(false, FullMarks()));

  const std::string image = ReadFile(dir / "out.iso");
  // L 18, M 19, root 20, file 21.
  ASSERT_EQ(image.size(), 22u * 2048u);
  EXPECT_EQ(Sector(image, 17).substr(0, 7), std::string("\xff" "CD001\x01", 7));
  EXPECT_EQ(get_le32(Bytes(image, 16 * 2048 + 80)), 22u);
  EXPECT_EQ(get_le32(Bytes(image, 16 * 2048 + 140)), 18u);
  EXPECT_EQ(get_be32(Bytes(image, 16 * 2048 + 148)), 19u);
  EXPECT_EQ(get_le32(Bytes(image, 18 * 2048 + 2)), 20u);
  EXPECT_EQ(get_be32(Bytes(image, 19 * 2048 + 2)), 20u);
  EXPECT_EQ(image.substr(21 * 2048, 5), "hello");
}

TEST(WriterPack, FailuresPrintTheirStepLines) {
  ScratchDir dir;
  MakeDirs(dir / "src");
  WriteFile(dir / "src/a.txt", "x");
  WriteFile(dir / "short.img", std::string(2049, 'b'));
  struct Case {
    std::string source, output, boot, expectedPrefix, expectedLast;
  };
  const std::vector<Case> cases = {
      // The output cannot be created.
      {dir / "src", dir / "absent/out.iso", "",
       "pack the ISO image ...\npack ISO image failed, IO exception: ", ""},
      // The source directory is missing: its own line, then the step's.
      {dir / "absent", dir / "out1.iso", "",
       "pack the ISO image ...\n  load source directory & boot image file ...\n",
       "  load source directory & boot image file failed - can not load souce directory\n"},
      // The boot image is missing.
      {dir / "src", dir / "out2.iso", dir / "none.img",
       "pack the ISO image ...\n  load source directory & boot image file ...\n"
       "  load source directory & boot image file failed - IO exception: ",
       ""},
      // A boot image that is not a whole number of blocks comes short.
      {dir / "src", dir / "out3.iso", dir / "short.img", "pack the ISO image ...\n",
       "  write boot image failed - IO error\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.output);
    ISOWriter writer(c.source, "");
    CaptureOutput capture;
    EXPECT_EQ(writer.Pack(c.output, c.boot), 1);
    const std::string out = capture.Stdout();
    EXPECT_EQ(out.substr(0, c.expectedPrefix.size()), c.expectedPrefix);
    if (!c.expectedLast.empty()) {
      ASSERT_GE(out.size(), c.expectedLast.size());
      EXPECT_EQ(out.substr(out.size() - c.expectedLast.size()), c.expectedLast);
    }
    EXPECT_EQ(out.find("succeeded"), std::string::npos);
  }
  // The short boot image stops after the catalog: nothing follows it.
  const std::string partial = ReadFile(dir / "out3.iso");
  EXPECT_EQ(static_cast<std::uint8_t>(partial[19 * 2048 + 32]), 0x88);
}

TEST(WriterPack, OverlongIdentifiersFailInTheirSteps) {
  ScratchDir dir;
  {
    MemoryWriter writer;
    DirectoryRecord* directory = MemoryWriter::Node(std::string(600, 'D'), kTypeDirectory);
    directory->child = MemoryWriter::List();
    writer.Add(directory);
    CaptureOutput capture;
    EXPECT_EQ(writer.Pack(dir / "dir.iso", ""), 1);
    const std::string out = capture.Stdout();
    EXPECT_NE(out.find("  write path tables ...\n"), std::string::npos);
    EXPECT_NE(out.find("\n  write path table failed - IO error\n"), std::string::npos);
  }
  {
    WriteFile(dir / "data", "abc");
    MemoryWriter writer;
    DirectoryRecord* file = MemoryWriter::Node(std::string(600, 'F'), kTypeFile, 3);
    file->parentPath = dir.path();
    file->name = "data";
    writer.Add(file);
    CaptureOutput capture;
    EXPECT_EQ(writer.Pack(dir / "file.iso", ""), 1);
    const std::string out = capture.Stdout();
    EXPECT_NE(out.find("  write path tables done\n"), std::string::npos);
    EXPECT_NE(out.find("\n  write directory record and file failed - IO error\n"),
              std::string::npos);
  }
}

TEST(WriterPack, LargeFilesAndImageSourcesAreCopiedExactly) {
  ScratchDir dir;
  // More than one large read, ending in a partial sector.
  const std::string big = Pattern(3 * 1024 * 1024 + 3000, 5);
  WriteFile(dir / "big.bin", big);
  // A "source image" whose sector 3 holds the data of an untouched file.
  const std::string fromImage = Pattern(2500, 6);
  WriteFile(dir / "source.iso", std::string(3 * 2048, 'S') + fromImage + std::string(100, 'S'));

  MemoryWriter writer(dir / "source.iso");
  DirectoryRecord* local = MemoryWriter::Node("BIG.BIN", kTypeFile, static_cast<std::uint32_t>(big.size()));
  local->parentPath = dir.path();
  local->name = "big.bin";
  DirectoryRecord* old = MemoryWriter::Node("OLD.BIN", kTypeFile, 2500);
  old->fromImage = 1;
  old->sourceExtent = 3;
  writer.Add(local);
  writer.Add(old);
  writer.totalBytes = big.size() + fromImage.size();

  CaptureOutput capture;
  ASSERT_EQ(writer.Pack(dir / "out.iso", ""), 0);
  EXPECT_EQ(capture.Stdout(), StepLines(false, FullMarks()));
  const std::string image = ReadFile(dir / "out.iso");
  // Root only: files start at sector 21.
  const std::size_t bigSectors = (big.size() + 2047) / 2048;
  EXPECT_EQ(image.substr(21 * 2048, big.size()), big);
  EXPECT_EQ(image.substr(21 * 2048 + big.size(), bigSectors * 2048 - big.size()),
            std::string(bigSectors * 2048 - big.size(), '\0'));
  EXPECT_EQ(image.substr((21 + bigSectors) * 2048), fromImage + std::string(4096 - 2500, '\0'));
}

TEST(WriterPack, ShortSourceStopsAfterTheLastCompleteSector) {
  ScratchDir dir;
  // The tree says 5000 bytes, the file holds 3000: the first sector is
  // written, the second read fails.
  const std::string data = Pattern(3000, 7);
  WriteFile(dir / "shrunk", data);
  MemoryWriter writer;
  DirectoryRecord* file = MemoryWriter::Node("SHRUNK", kTypeFile, 5000);
  file->parentPath = dir.path();
  file->name = "shrunk";
  writer.Add(file);
  writer.totalBytes = 5000;

  CaptureOutput capture;
  EXPECT_EQ(writer.Pack(dir / "out.iso", ""), 1);
  const std::string out = capture.Stdout();
  // 2048 of 5000 bytes: marks 0 to 40.
  std::string marks;
  for (int i = 0; i <= 40; ++i) marks += i % 10 == 0 ? std::to_string(i) + "%" : ".";
  EXPECT_NE(out.find("  write directory record and files ...\n" + marks), std::string::npos);
  EXPECT_EQ(out.find(marks + "."), std::string::npos);
  EXPECT_NE(out.find("\n  write directory record and file failed - IO error\n"),
            std::string::npos);
  const std::string image = ReadFile(dir / "out.iso");
  ASSERT_GE(image.size(), 21u * 2048u + 2048u);
  EXPECT_EQ(image.substr(21 * 2048, 2048), data.substr(0, 2048));
}

TEST(WriterPack, TwentyThousandEntriesInOneDirectory) {
  ScratchDir dir;
  MemoryWriter writer;
  DirectoryRecord* last = writer.root->next;
  for (int i = 0; i < 20000; ++i) {
    DirectoryRecord* node = MemoryWriter::Node("D" + std::to_string(100000 + i), kTypeDirectory);
    node->child = MemoryWriter::List();
    last->next = node;
    last = node;
  }
  CaptureOutput capture;
  ASSERT_EQ(writer.Pack(dir / "many.iso", ""), 0);
  const std::string image = ReadFile(dir / "many.iso");
  // The last directory's own "." record names its extent.
  const std::uint32_t directoryAreaStart = 18 + 2 * ((10 + 20000 * 16) / 2048 + 1);
  const std::size_t lastDir = std::size_t{last->extent} + directoryAreaStart;
  EXPECT_EQ(get_le32(Bytes(image, lastDir * 2048 + 2)), lastDir);
  EXPECT_EQ(image.size(), (lastDir + 1) * 2048 - (2048 - 68));
}

TEST(WriterDates, VolumeAndRecordDatesInGmtWithLocalOffset) {
  const std::time_t when = Utc(2026, 12, 5, 4, 5, 6);
  std::uint8_t volume[17];
  std::uint8_t record[7];
  {
    ScopedTimeZone zone("UTC0");
    ISOWriter::MakeVolumeDate(volume, when);
    ISOWriter::MakeRecordDate(record, when);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(volume), 16), "2026120504050600");
    EXPECT_EQ(volume[16], 0);
    const std::uint8_t expected[7] = {126, 12, 5, 4, 5, 6, 0};
    EXPECT_EQ(std::memcmp(record, expected, 7), 0);
  }
  struct Case {
    const char* zone;
    std::time_t when;
    std::uint8_t offset;
  };
  const Case cases[] = {
      {"<+01>-1", when, 4},                            // one hour east
      {"<-01>1", when, 0xFC},                          // one hour west
      {"<-01>1", Utc(2027, 1, 1, 0, 30, 0), 0xFC},     // local still 31 December
      {"<+01>-1", Utc(2026, 12, 31, 23, 30, 0), 4},    // local already 1 January
      {"<-10>10", Utc(2026, 3, 1, 5, 0, 0), 0xD8},     // local still 28 February
      {"<+0530>-5:30", when, 22},                      // half-hour zone
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.zone);
    ScopedTimeZone zone(c.zone);
    ISOWriter::MakeVolumeDate(volume, c.when);
    ISOWriter::MakeRecordDate(record, c.when);
    EXPECT_EQ(volume[16], c.offset);
    EXPECT_EQ(record[6], c.offset);
  }
  // The date fields stay GMT whatever the zone.
  ScopedTimeZone zone("<+01>-1");
  ISOWriter::MakeVolumeDate(volume, Utc(2026, 12, 31, 23, 30, 0));
  EXPECT_EQ(std::string(reinterpret_cast<char*>(volume), 16), "2026123123300000");
}
