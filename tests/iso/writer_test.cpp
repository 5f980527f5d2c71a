// The ISO writer: the layout's sector map and records, and a packed image's bytes and lines.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "iso/iso_reader.h"
#include "iso/iso_writer.h"
#include "iso/joliet_names.h"
#include "iso/joliet_tree.h"
#include "tests/iso/memory_image.h"
#include "tests/iso/record_list.h"
#include "tests/test_support.h"

using namespace testing_support;

namespace {

// A writer over a tree built in memory; counts directory and file sectors.
struct TreeWriter : ISOWriter {
  TreeWriter() : ISOWriter("", "") { root = NewRecordList(); }
  std::pair<std::uint32_t, std::uint32_t> LayOut() {
    std::uint32_t directories = 0, files = 0;
    LayOutDirectory(nullptr, nullptr, root, directories, files);
    return {directories, files};
  }
};

const std::uint8_t* At(const std::string& image, std::size_t offset) {
  return reinterpret_cast<const std::uint8_t*>(image.data()) + offset;
}

std::string StepLines() {
  auto step = [](const std::string& name) { return "  " + name + " ...\n  " + name + " done\n"; };
  std::string marks;
  for (int i = 0; i <= 100; ++i) marks += i % 10 == 0 ? std::to_string(i) + "%" : ".";
  return "pack the ISO image ...\n" + step("load source directory & boot image file") +
         step("write system reserved sector") + step("write primary volume descriptor") +
         step("write boot record") + step("write volume descriptor set terminator") +
         step("write boot image") + step("write path tables") +
         "  write directory record and files ...\n" + marks +
         "\n  write directory record and files done\npack ISO image succeeded\n";
}

}  // namespace

TEST(WriterLayout, SectorMap) {
  const struct {
    std::uint32_t pathTable, directories, files;
    bool boot;
    std::uint64_t bootBytes;
    std::uint32_t jolietPathTable;
    // T, boot record, terminator, catalog, L, M, dirs, K, boot, files, total[, Joliet SVD T L M]
    std::vector<std::uint32_t> expected;
  } cases[] = {
      {10, 1, 0, false, 0, 0, {1, 0, 17, 0, 18, 19, 20, 0, 0, 21, 21}},    // root only
      {2047, 1, 0, false, 0, 0, {1, 0, 17, 0, 18, 19, 20, 0, 0, 21, 21}},  // table one byte short
      {2048, 1, 5, false, 0, 0, {2, 0, 17, 0, 18, 20, 22, 0, 0, 23, 28}},  // full block: spare sector
      {4096, 3, 7, true, 2049, 0, {3, 17, 18, 19, 20, 23, 26, 2, 29, 31, 38}},  // K rounds up
      // Joliet: its descriptor before the terminator, its tables after the primary's.
      {10, 6, 7, true, 2048, 14, {1, 17, 19, 20, 21, 22, 25, 1, 31, 32, 39, 18, 1, 23, 24}},
      {10, 2, 0, false, 0, 2048, {1, 0, 18, 0, 19, 20, 25, 0, 0, 27, 27, 17, 2, 21, 23}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.pathTable);
    const SectorLayout l = ComputeSectorLayout(c.pathTable, c.directories, c.files, c.boot,
                                               c.bootBytes, c.jolietPathTable);
    std::vector<std::uint32_t> actual{
        l.pathTableSectors, l.bootRecord,     l.terminator,         l.bootCatalog,
        l.typeLPathTable,   l.typeMPathTable, l.directoryAreaStart, l.bootImageSectors,
        l.bootImageStart,   l.fileAreaStart,  l.totalSectors};
    if (l.hasJoliet) {
      actual.insert(actual.end(), {l.jolietVolumeDescriptor, l.jolietPathTableSectors,
                                   l.jolietTypeLPathTable, l.jolietTypeMPathTable});
    }
    EXPECT_EQ(actual, c.expected);
  }
}

TEST(WriterLayout, DirectorySizeAtTheSectorBoundary) {
  for (bool oneMore : {false, true}) {
    // "." and ".." (68) + 48 records of 40 bytes + one of 60 fill 2048 exactly.
    TreeWriter writer;
    for (int i = 0; i < 48; ++i) {
      AddRecord(writer.root, "F" + std::to_string(100000 + i), kTypeFile);  // 7-byte names
    }
    DirectoryRecord* filler = AddRecord(writer.root, std::string(27, 'Z'), kTypeFile);
    // A record never straddles two sectors: a 34-byte one opens the next.
    DirectoryRecord* last = oneMore ? AddRecord(writer.root, "Z", kTypeFile) : filler;
    EXPECT_EQ(writer.LayOut().first, oneMore ? 2u : 1u);
    EXPECT_EQ(filler->recordSector * 2048 + filler->recordOffset, 1988u);
    EXPECT_EQ(last->recordSector * 2048 + last->recordOffset, oneMore ? 2048u : 1988u);
    EXPECT_EQ(writer.root->size, oneMore ? 2048u + 34u : 2048u);
  }
}

TEST(WriterLayout, FileExtentsAndDirectoryNumbers) {
  TreeWriter writer;
  DirectoryRecord* empty = AddRecord(writer.root, "A0", kTypeFile, 0);
  DirectoryRecord* one = AddRecord(writer.root, "A1", kTypeFile, 1);
  DirectoryRecord* block = AddRecord(writer.root, "A2048", kTypeFile, 2048);
  DirectoryRecord* over = AddRecord(writer.root, "A2049", kTypeFile, 2049);
  DirectoryRecord* a = AddRecord(writer.root, "A", kTypeDirectory);
  DirectoryRecord* b = AddRecord(writer.root, "B", kTypeDirectory);
  DirectoryRecord* a1 = AddRecord(a->child, "A1", kTypeDirectory);
  DirectoryRecord* bFile = AddRecord(b->child, "BF", kTypeFile, 10);
  DirectoryRecord* a1File = AddRecord(a1->child, "A1F", kTypeFile, 10);

  // Path table: root 10, A 10, B 10, A1 10; numbered breadth first.
  EXPECT_EQ(writer.ComputePathTableSize(writer.root), 40u);
  EXPECT_EQ(std::vector<int>({a->directoryNumber, b->directoryNumber, a1->directoryNumber,
                              a1->parentNumber, a->child->parentNumber}),
            std::vector<int>({2, 3, 4, 2, 2}));
  // Directory area depth first; a directory's files before its subdirectories'.
  EXPECT_EQ(writer.LayOut(), std::make_pair(4u, 6u));
  // An even-length identifier takes a pad byte; a carried 222-byte one has no room for it.
  EXPECT_EQ(std::make_pair(empty->recordLength, over->recordLength), std::make_pair(36u, 38u));
  EXPECT_EQ(DirectoryRecordLength(kLongestRecordedIdentifier), 255u);
  EXPECT_EQ(std::vector<std::uint32_t>({a->extent, a1->extent, b->extent, empty->extent,
                                        one->extent, block->extent, over->extent, a1File->extent,
                                        bFile->extent}),
            std::vector<std::uint32_t>({1, 2, 3, 0, 0, 1, 2, 4, 5}));
  // "." repeats the parent's record of the directory, ".." the parent's own.
  EXPECT_EQ(a1->child->next->extent, a->extent);
  EXPECT_EQ(a->child->size, a->size);
  EXPECT_EQ(writer.root->next->extent, writer.root->extent);
}

TEST(WriterPack, BootableImageHasEveryStructureInPlace) {
  ScratchDir dir;
  const std::string small(1000, 's'), inner(3000, 'i'), boot(2048, 'b');
  MakeDirs(dir / "src/DIR");
  WriteFile(dir / "src/f1000.bin", small);
  WriteFile(dir / "src/DIR/inner", inner);
  WriteFile(dir / "boot.img", boot);
  ISOWriter writer(dir / "src", "");
  CaptureOutput capture;
  const std::string image = PackInMemory(writer, dir / "boot.img");
  EXPECT_EQ(capture.Stdout(), StepLines());

  // P = 10 + 12 ("DIR"), T = 1: L 20, M 21, dirs 22-23, boot image 24, files 25-27.
  ASSERT_EQ(image.size(), 28u * 2048u);
  EXPECT_EQ(image.substr(0, 16 * 2048), std::string(16 * 2048, '\0'));
  const std::size_t pvd = 16 * 2048;
  EXPECT_EQ(image.substr(pvd, 7), std::string("\x01" "CD001\x01", 7));
  EXPECT_EQ(get_be32(At(image, pvd + 84)), 28u);
  EXPECT_EQ(get_le32(At(image, pvd + 132)), 22u);
  EXPECT_EQ(get_le32(At(image, pvd + 140)), 20u);
  EXPECT_EQ(get_be32(At(image, pvd + 148)), 21u);
  EXPECT_EQ(image.substr(17 * 2048, 39),
            std::string("\0CD001\x01", 7) + kElToritoIdentifier + std::string(9, '\0'));
  EXPECT_EQ(get_le32(At(image, 17 * 2048 + 71)), 19u);
  EXPECT_EQ(image.substr(18 * 2048, 7), std::string("\xff" "CD001\x01", 7));

  const std::string catalog = image.substr(19 * 2048, 2048);
  EXPECT_EQ(catalog.substr(0, 4) + catalog.substr(28, 6),
            std::string("\x01\0\0\0\x4c\x49\x55\xaa\x88\x00", 10));  // checksum: words sum to 0
  EXPECT_EQ(get_le16(At(catalog, 38)), 4u);   // 512-byte sectors
  EXPECT_EQ(get_le32(At(catalog, 40)), 24u);  // load RBA
  EXPECT_EQ(catalog.substr(64), std::string(2048 - 64, '\0'));
  EXPECT_EQ(image.substr(24 * 2048, 2048), boot);

  // L and M tables: root then "DIR", parent 1, zeros to the end of the sector.
  const std::string entry = std::string("\x01\0", 2), dirEntry = std::string("\x03\0", 2);
  EXPECT_EQ(image.substr(20 * 2048, 2048),
            entry + std::string("\x16\0\0\0\x01\0\0\0", 8) + dirEntry +
                std::string("\x17\0\0\0\x01\0" "DIR\0", 10) + std::string(2048 - 22, '\0'));
  EXPECT_EQ(image.substr(21 * 2048, 22),
            entry + std::string("\0\0\0\x16\0\x01\0\0", 8) + dirEntry +
                std::string("\0\0\0\x17\0\x01" "DIR\0", 10));
  // The root's records of DIR and f1000.bin; each file's last sector zero-filled.
  EXPECT_EQ(get_le32(At(image, 22 * 2048 + 68 + 2)), 23u);
  EXPECT_EQ(get_le32(At(image, 22 * 2048 + 104 + 2)), 25u);
  EXPECT_EQ(image.substr(25 * 2048), small + std::string(1048, '\0') + inner +
                                         std::string(1096, '\0'));
}

TEST(WriterPack, FailuresPrintTheirStepLines) {
  ScratchDir dir;
  MakeDirs(dir / "src");
  const std::string start = "pack the ISO image ...\n";
  const std::string load = "  load source directory & boot image file ";
  const struct {
    std::string source, output, boot, first, last;  // the output's start and end
  } cases[] = {
      {dir / "src", dir / "no/out.iso", "", start + "pack ISO image failed, IO exception: ", ""},
      {dir / "absent", dir / "a.iso", "", start + load + "...\n",
       load + "failed - can not load souce directory\n"},  // after the directory's own line
  };
  for (const auto& c : cases) {
    CaptureOutput capture;
    EXPECT_EQ(ISOWriter(c.source, "").Pack(c.output, c.boot), 1);
    const std::string out = capture.Stdout();
    EXPECT_EQ(out.substr(0, c.first.size()), c.first);
    EXPECT_EQ(out.substr(out.size() - std::min(out.size(), c.last.size())), c.last);
  }
}

TEST(WriterDates, FieldsAreGmtAndTheOffsetIsLocalMinusGmt) {
  const char* savedTz = std::getenv("TZ");
  const std::string saved = savedTz ? savedTz : "";
  const struct {
    const char* tz;
    std::time_t when;
    const char* digits;  // the 16 ASCII digits of the volume date
    std::int8_t offset;  // in 15-minute units
    bool utc;            // recorded as UTC whatever the zone (a fixed pack time)
  } cases[] = {
      {"UTC0", 1796443506, "2026120504050600", 0, false},    // 5 Dec 2026 04:05:06 GMT
      {"UTC-1", 1796443506, "2026120504050600", 4, false},   // one hour east
      {"UTC+1", 1796443506, "2026120504050600", -4, false},  // one hour west
      {"UTC-1", 1798761600, "2027010100000000", 4, false},   // midnight GMT on New Year's Day
      {"UTC+1", 1798761600, "2027010100000000", -4, false},  // local date still 31 December
      {"UTC+1", 1798761600, "2027010100000000", 0, true},
  };
  for (const auto& c : cases) {
    testing_support::SetEnvironment("TZ", c.tz);
    ::tzset();
    std::uint8_t volume[17], record[7];
    ISOWriter::MakeVolumeDate(volume, c.when, c.utc);
    ISOWriter::MakeRecordDate(record, c.when, c.utc);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(volume), 16), c.digits) << c.tz;
    EXPECT_EQ(static_cast<std::int8_t>(volume[16]), c.offset) << c.tz;
    EXPECT_EQ(static_cast<std::int8_t>(record[6]), c.offset) << c.tz;
    EXPECT_EQ(record[0] + 1900, std::stoi(std::string(c.digits, 4))) << c.tz;
  }
  testing_support::SetEnvironment("TZ", savedTz ? saved.c_str() : nullptr);
  ::tzset();
}

// Path table numbers are 16-bit: 65535 directories pack, one more is refused first.
TEST(WriterPack, DirectoryCountIsBoundByThePathTableNumbers) {
  WPE_LINUX_ONLY("the bound is the same on every system, and its tree of 65,536 directories "
                 "takes ten times as long under Wine");
  struct WideTree : TreeWriter {
    explicit WideTree(std::uint32_t subdirectories) {
      DirectoryRecord* tail = root->next;  // ".."
      for (std::uint32_t i = 0; i < subdirectories; ++i) {
        tail = tail->next = AddRecord(nullptr, "D" + std::to_string(i), kTypeDirectory);
      }
    }
    DirectoryRecord* LoadLocalDirectory(const std::string&) override { return root; }
  };
  const std::string refusal =
      "  load source directory & boot image file failed - too many directories for the path "
      "tables (65536, at most 65535)\n";
  for (const std::uint32_t subdirectories : {65534u, 65535u}) {
    CaptureOutput capture;
    // Nothing is read back: a sink that drops every byte is enough.
    struct NullSink : ImageSink {
      void WriteAt(std::uint64_t, const void*, std::size_t) override {}
      void CopyRange(ImageSource&, std::uint64_t, std::uint64_t, std::uint64_t) override {}
      void Close() override {}
    } sink;
    const int result = WideTree(subdirectories).Pack(sink, "");
    const std::string out = capture.Stdout();
    if (subdirectories == 65534) {
      EXPECT_EQ(result, 0);
      EXPECT_NE(out.find("pack ISO image succeeded\n"), std::string::npos);
    } else {
      EXPECT_EQ(result, 1);
      EXPECT_EQ(out.substr(out.size() - std::min(out.size(), refusal.size())), refusal);
    }
  }
}

// Joliet: its own descriptor, tables and directories; its files on the primary's extents.
TEST(WriterPack, JolietHierarchyMirrorsThePrimaryAndSharesItsFiles) {
  ScratchDir dir;
  const std::string sub = dir / "src/Sub Dir", umlaut = "Gr\xc3\xbc\xc3\x9f" "e.txt";
  MakeDirs(sub + "/Deeper");
  MakeDirs(dir / "src/Empty Dir");
  WriteFile(dir / "src/Mixed Case & Co.txt", std::string(3000, 'm'));
  WriteFile(dir / "src/empty.txt", "");
  WriteFile(sub + "/" + umlaut, std::string(5000, 'u'));
  WriteFile(sub + "/Deeper/x.bin", "x");
  WriteFile(dir / "boot.img", std::string(2048, 'b'));
  struct JolietWriter : ISOWriter {
    explicit JolietWriter(const std::string& source) : ISOWriter(source, "") { withJoliet = true; }
  } writer(dir / "src");
  std::string image;
  {
    CaptureOutput capture;
    image = PackInMemory(writer, dir / "boot.img");
    EXPECT_NE(capture.Stdout().find("  write boot record done\n  write Joliet volume descriptor ...\n"
                                    "  write Joliet volume descriptor done\n  write volume "
                                    "descriptor set terminator ...\n"),
              std::string::npos);
  }
  for (const auto& d : {std::make_pair(16, '\x01'), std::make_pair(17, '\0'),
                        std::make_pair(18, '\x02'), std::make_pair(19, '\xff')}) {
    EXPECT_EQ(image.substr(d.first * 2048, 7), std::string(1, d.second) + "CD001\x01") << d.first;
  }
  const std::size_t svd = 18 * 2048;
  EXPECT_EQ(image.substr(svd + svd::escape_sequences, 4), std::string("%/E\0", 4));
  EXPECT_EQ(image.substr(svd + pvd::volume_identifier, 12), std::string("\0C\0D\0_\0R\0O\0M", 12));
  EXPECT_EQ(get_le32(At(image, 17 * 2048 + 71)), 20u);  // the catalog follows the terminator

  ISOReader reader(InMemory(image));
  {
    CaptureOutput capture;
    ASSERT_EQ(reader.LoadEverything(), 0);
  }
  const ImageFacts& facts = reader.Facts();
  EXPECT_EQ(facts.jolietDescriptorSector, 18u);

  // Same entries in order, named in UCS-2; files on the primary's extents.
  const JolietEntry joliet = LoadJolietTree(*InMemory(image).Open(), facts.jolietRootExtent);
  std::function<void(const DirectoryRecord*, const JolietEntry&)> compare =
      [&](const DirectoryRecord* list, const JolietEntry& directory) {
        std::size_t i = 0;
        for (const DirectoryRecord* node = list; node; node = node->next) {
          if (IsDotName(node->name)) continue;
          ASSERT_LT(i, directory.entries.size());
          const JolietEntry& entry = directory.entries[i++];
          EXPECT_EQ(Utf8FromJolietName(entry.identifier), node->identifier);
          EXPECT_EQ(node->jolietIdentifier, entry.identifier);  // paired again on load
          if (node->type == kTypeFile) {
            EXPECT_EQ(std::make_pair(entry.extent, std::uint64_t{entry.size}),
                      std::make_pair(node->extent, node->size)) << node->identifier;
          } else {
            EXPECT_NE(entry.extent, node->extent) << node->identifier;
            compare(node->child, entry);
          }
        }
        EXPECT_EQ(i, directory.entries.size());
      };
  compare(reader.root, joliet);
  EXPECT_EQ(joliet.entries.size(), 4u);

  const std::uint32_t l = get_le32(At(image, svd + pvd::type_l_path_table));
  const std::uint32_t m = get_be32(At(image, svd + pvd::type_m_path_table));
  const std::uint32_t size = get_le32(At(image, svd + pvd::path_table_size));
  EXPECT_EQ(size, 10u + 28u + 20u + 20u);  // root, "Empty Dir", "Sub Dir", "Deeper"
  // The tables begin with the Joliet root, in either byte order.
  EXPECT_EQ(get_le32(At(image, l * 2048 + 2)), facts.jolietRootExtent);
  EXPECT_EQ(get_be32(At(image, m * 2048 + 2)), facts.jolietRootExtent);
  EXPECT_EQ(image.substr(l * 2048 + 18, 18), JolietNameFromUtf8("Empty Dir"));
}

// Depth and name length stop where the reader would not load the image again.
TEST(WriterPack, WritesOnlyTreesTheReaderLoadsAgain) {
  const struct {
    std::size_t levels, nameLength;
    bool packs;
  } rows[] = {
      {kMaxDirectoryDepth, 1, true},
      {kMaxDirectoryDepth + 1, 1, false},
      {1, kMaxFileIdentifier, true},
      {1, kMaxFileIdentifier + 1, false},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(std::to_string(row.levels) + " levels, name of " + std::to_string(row.nameLength));
    ScratchDir dir;
    std::string path;
    for (std::size_t i = 0; i < row.levels; ++i) path += "D/";
    path += std::string(row.nameLength, 'n');
    MakeDirs(dir / "src/" + path.substr(0, path.rfind('/')));
    WriteFile(dir / "src/" + path, "deep");
    CaptureOutput capture;
    ISOWriter writer(dir / "src", "");
    const std::string image = PackInMemory(writer);
    ASSERT_EQ(!image.empty(), row.packs);
    if (row.packs) {
      ISOReader reader(InMemory(image));
      EXPECT_EQ(reader.RetrieveFile(path, dir / "back"), 0);
      EXPECT_EQ(ReadFile(dir / "back"), "deep");
    }
    // The reader stops at the same depth in another tool's image (-D keeps deep dirs).
    if (row.nameLength == 1 && kLinuxHost) {
      ASSERT_EQ(MakeGenisoimage(dir / "src", dir / "other.iso", "", "-D"), 0);
      EXPECT_EQ(ISOReader(dir / "other.iso").FileExists(path), row.packs);
    }
  }
}
