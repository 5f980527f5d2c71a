// Layout of the ISO writer: trees built from local directories, path table
// numbering and size, record/directory/file positions and the sector map.
#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "iso/iso_writer.h"
#include "tests/test_support.h"

using testing_support::CaptureOutput;
using testing_support::MakeDirs;
using testing_support::ScratchDir;
using testing_support::WriteFile;

namespace {

// Builds trees in memory; the writer's layout works on them without I/O.
class TreeBuilder {
 public:
  // A new directory list with its "." and ".." nodes.
  static DirectoryRecord* List() {
    auto* self = Node(".", kTypeDirectory);
    self->next = Node("..", kTypeDirectory);
    return self;
  }
  static DirectoryRecord* Node(const std::string& name, std::uint32_t type,
                               std::uint32_t size = 0) {
    auto* node = new DirectoryRecord;
    node->name = name;
    node->identifier = name;
    node->type = type;
    node->size = size;
    return node;
  }
  static DirectoryRecord* AddFile(DirectoryRecord* list, const std::string& name,
                                  std::uint32_t size) {
    return Append(list, Node(name, kTypeFile, size));
  }
  static DirectoryRecord* AddDir(DirectoryRecord* list, const std::string& name) {
    DirectoryRecord* node = Append(list, Node(name, kTypeDirectory));
    node->child = List();
    return node;
  }
  static DirectoryRecord* Append(DirectoryRecord* list, DirectoryRecord* node) {
    DirectoryRecord* last = list;
    while (last->next) last = last->next;
    last->next = node;
    return node;
  }
  static DirectoryRecord* Find(DirectoryRecord* list, const std::string& name) {
    for (DirectoryRecord* node = list; node; node = node->next) {
      if (node->name == name) return node;
    }
    return nullptr;
  }
};

class LayoutWriter : public ISOWriter {
 public:
  LayoutWriter() : ISOWriter("", "") {}
  using ISOWriter::LoadLocalDirectoryTree;
};

struct Counters {
  std::uint32_t directories = 0;
  std::uint32_t files = 0;
};

Counters LayOut(ISOWriter& writer, DirectoryRecord* rootList) {
  Counters c;
  writer.LayOutDirectory(nullptr, nullptr, rootList, c.directories, c.files);
  return c;
}

std::string Repeat(char c, std::size_t n) { return std::string(n, c); }

}  // namespace

TEST(WriterLayout, EmptyDirectoryTakesOneSectorWithTwoRecords) {
  ScratchDir dir;
  LayoutWriter writer;
  writer.root = writer.LoadLocalDirectory(dir.path());
  ASSERT_NE(writer.root, nullptr);
  ASSERT_NE(writer.root->next, nullptr);
  EXPECT_EQ(writer.root->name, ".");
  EXPECT_EQ(writer.root->next->name, "..");
  EXPECT_EQ(writer.root->next->next, nullptr);

  Counters c = LayOut(writer, writer.root);
  EXPECT_EQ(writer.root->size, 68u);
  EXPECT_EQ(writer.root->next->recordOffset, 34u);
  EXPECT_EQ(c.directories, 1u);
  EXPECT_EQ(c.files, 0u);
}

TEST(WriterLayout, RecordsFillingABlockExactlyStayInOneSector) {
  LayoutWriter writer;
  writer.root = TreeBuilder::List();
  // 68 for "." and "..", 48 records of 40 bytes (7-byte names, no pad),
  // one of 60 bytes (27-byte name): exactly 2048.
  for (int i = 0; i < 48; ++i) {
    TreeBuilder::AddFile(writer.root, "F" + std::to_string(100000 + i), 0);
  }
  DirectoryRecord* filler = TreeBuilder::AddFile(writer.root, Repeat('Z', 27), 0);
  Counters c = LayOut(writer, writer.root);
  EXPECT_EQ(filler->recordLength, 60u);
  EXPECT_EQ(filler->recordSector, 0u);
  EXPECT_EQ(filler->recordOffset, 1988u);
  EXPECT_EQ(writer.root->size, 2048u);
  EXPECT_EQ(c.directories, 1u);

  // One more record (a 1-byte name: 34 bytes) opens the second sector.
  LayoutWriter second;
  second.root = TreeBuilder::List();
  for (int i = 0; i < 48; ++i) {
    TreeBuilder::AddFile(second.root, "F" + std::to_string(100000 + i), 0);
  }
  TreeBuilder::AddFile(second.root, Repeat('Z', 27), 0);
  DirectoryRecord* extra = TreeBuilder::AddFile(second.root, "Z", 0);
  c = LayOut(second, second.root);
  EXPECT_EQ(extra->recordSector, 1u);
  EXPECT_EQ(extra->recordOffset, 0u);
  EXPECT_EQ(second.root->size, 2048u + 34u);
  EXPECT_EQ(c.directories, 2u);
}

TEST(WriterLayout, FileExtentsForZeroOneBlockAndJustOverBlock) {
  LayoutWriter writer;
  writer.root = TreeBuilder::List();
  DirectoryRecord* empty = TreeBuilder::AddFile(writer.root, "A0", 0);
  DirectoryRecord* one = TreeBuilder::AddFile(writer.root, "A1", 1);
  DirectoryRecord* block = TreeBuilder::AddFile(writer.root, "A2048", 2048);
  DirectoryRecord* over = TreeBuilder::AddFile(writer.root, "A2049", 2049);
  DirectoryRecord* after = TreeBuilder::AddFile(writer.root, "B", 5);
  Counters c = LayOut(writer, writer.root);
  EXPECT_EQ(empty->extent, 0u);
  EXPECT_EQ(one->extent, 0u);
  EXPECT_EQ(block->extent, 1u);
  EXPECT_EQ(over->extent, 2u);
  EXPECT_EQ(after->extent, 4u);
  EXPECT_EQ(c.files, 5u);
  // Layout never changes input sizes.
  EXPECT_EQ(over->size, 2049u);
}

TEST(WriterLayout, BreadthFirstNumbersAndDepthFirstDirectoryArea) {
  LayoutWriter writer;
  writer.root = TreeBuilder::List();
  DirectoryRecord* a = TreeBuilder::AddDir(writer.root, "A");
  DirectoryRecord* b = TreeBuilder::AddDir(writer.root, "B");
  DirectoryRecord* a1 = TreeBuilder::AddDir(a->child, "A1");
  DirectoryRecord* rootFile = TreeBuilder::AddFile(writer.root, "R", 10);
  DirectoryRecord* aFile = TreeBuilder::AddFile(a->child, "AF", 10);
  DirectoryRecord* a1File = TreeBuilder::AddFile(a1->child, "A1F", 10);
  DirectoryRecord* bFile = TreeBuilder::AddFile(b->child, "BF", 10);

  // root 10, A 8+1+1, B 10, A1 8+2 = 40.
  EXPECT_EQ(writer.ComputePathTableSize(writer.root), 40u);
  EXPECT_EQ(writer.root->parentNumber, 1u);
  EXPECT_EQ(a->directoryNumber, 2u);
  EXPECT_EQ(b->directoryNumber, 3u);
  EXPECT_EQ(a1->directoryNumber, 4u);
  EXPECT_EQ(a->parentNumber, 1u);
  EXPECT_EQ(b->parentNumber, 1u);
  EXPECT_EQ(a1->parentNumber, 2u);
  EXPECT_EQ(a->child->parentNumber, 2u);

  Counters c = LayOut(writer, writer.root);
  EXPECT_EQ(c.directories, 4u);
  EXPECT_EQ(writer.root->extent, 0u);
  EXPECT_EQ(a->extent, 1u);
  EXPECT_EQ(a1->extent, 2u);
  EXPECT_EQ(b->extent, 3u);
  // A directory's "." matches its entry in the parent; ".." names the parent.
  EXPECT_EQ(a->child->extent, a->extent);
  EXPECT_EQ(a->child->size, a->size);
  EXPECT_EQ(a1->child->next->extent, a->extent);
  EXPECT_EQ(a1->child->next->size, a->size);
  EXPECT_EQ(b->child->next->extent, writer.root->extent);
  EXPECT_EQ(b->child->next->size, writer.root->size);
  // The root is its own parent.
  EXPECT_EQ(writer.root->next->extent, writer.root->extent);
  EXPECT_EQ(writer.root->next->size, writer.root->size);
  // File area: a directory's files before its subdirectories' files.
  EXPECT_EQ(rootFile->extent, 0u);
  EXPECT_EQ(aFile->extent, 1u);
  EXPECT_EQ(a1File->extent, 2u);
  EXPECT_EQ(bFile->extent, 3u);
  EXPECT_EQ(c.files, 4u);
}

TEST(WriterLayout, SectorMapWithAndWithoutBootImage) {
  // Root only: P = 10, T = 1, D = 1, no files.
  SectorLayout plain = ComputeSectorLayout(10, 1, 0, false, 0);
  EXPECT_EQ(plain.pathTableSectors, 1u);
  EXPECT_EQ(plain.terminator, 17u);
  EXPECT_EQ(plain.typeLPathTable, 18u);
  EXPECT_EQ(plain.typeMPathTable, 19u);
  EXPECT_EQ(plain.directoryAreaStart, 20u);
  EXPECT_EQ(plain.fileAreaStart, 21u);
  EXPECT_EQ(plain.totalSectors, 21u);
  EXPECT_FALSE(plain.hasBootImage);

  // A table of exactly one block still gets a spare sector.
  EXPECT_EQ(ComputeSectorLayout(2047, 1, 0, false, 0).pathTableSectors, 1u);
  EXPECT_EQ(ComputeSectorLayout(2048, 1, 0, false, 0).pathTableSectors, 2u);
  EXPECT_EQ(ComputeSectorLayout(4096, 1, 0, false, 0).pathTableSectors, 3u);

  SectorLayout boot = ComputeSectorLayout(10, 3, 7, true, 2048);
  EXPECT_EQ(boot.bootRecord, 17u);
  EXPECT_EQ(boot.terminator, 18u);
  EXPECT_EQ(boot.bootCatalog, 19u);
  EXPECT_EQ(boot.typeLPathTable, 20u);
  EXPECT_EQ(boot.typeMPathTable, 21u);
  EXPECT_EQ(boot.directoryAreaStart, 22u);
  EXPECT_EQ(boot.bootImageSectors, 1u);
  EXPECT_EQ(boot.bootImageStart, 25u);
  EXPECT_EQ(boot.fileAreaStart, 26u);
  EXPECT_EQ(boot.totalSectors, 33u);

  SectorLayout bigTable = ComputeSectorLayout(2048, 3, 7, true, 2049);
  EXPECT_EQ(bigTable.typeMPathTable, 22u);
  EXPECT_EQ(bigTable.directoryAreaStart, 24u);
  EXPECT_EQ(bigTable.bootImageSectors, 2u);
  EXPECT_EQ(bigTable.fileAreaStart, 24u + 3u + 2u);
}

TEST(WriterLayout, LocalDirectoryInByteOrderWithSizesAndSources) {
  ScratchDir dir;
  WriteFile(dir / "b.txt", "bb");
  WriteFile(dir / "B.TXT", "BBBB");
  WriteFile(dir / "a", "");
  MakeDirs(dir / "Sub");
  WriteFile(dir / "Sub/inner.bin", std::string(3000, 'x'));

  LayoutWriter writer;
  writer.root = writer.LoadLocalDirectory(dir.path());
  ASSERT_NE(writer.root, nullptr);
  std::vector<std::string> names;
  for (DirectoryRecord* node = writer.root; node; node = node->next) names.push_back(node->name);
  EXPECT_EQ(names, (std::vector<std::string>{".", "..", "B.TXT", "Sub", "a", "b.txt"}));

  DirectoryRecord* upper = TreeBuilder::Find(writer.root, "B.TXT");
  EXPECT_EQ(upper->identifier, "B.TXT");
  EXPECT_EQ(upper->type, static_cast<std::uint32_t>(kTypeFile));
  EXPECT_EQ(upper->size, 4u);
  EXPECT_EQ(upper->parentPath, dir.path());
  EXPECT_EQ(upper->fromImage, 0);
  DirectoryRecord* sub = TreeBuilder::Find(writer.root, "Sub");
  EXPECT_EQ(sub->type, static_cast<std::uint32_t>(kTypeDirectory));
  ASSERT_NE(sub->child, nullptr);
  EXPECT_EQ(sub->child->parentPath, dir / "Sub");
  DirectoryRecord* inner = TreeBuilder::Find(sub->child, "inner.bin");
  ASSERT_NE(inner, nullptr);
  EXPECT_EQ(inner->parentPath, dir / "Sub");
  EXPECT_EQ(writer.totalBytes, 2u + 4u + 0u + 3000u);
}

TEST(WriterLayout, LocalDirectoryFailuresPrintOncePerLevel) {
  ScratchDir dir;
  MakeDirs(dir / "one/two");
  WriteFile(dir / ("one/two/" + Repeat('n', 222)), "fits");
  WriteFile(dir / "ok.txt", "x");
  {
    LayoutWriter writer;
    CaptureOutput capture;
    writer.root = writer.LoadLocalDirectory(dir.path());
    EXPECT_NE(writer.root, nullptr);
    EXPECT_EQ(capture.Stdout(), "");
  }

  WriteFile(dir / ("one/two/" + Repeat('m', 223)), "too long");
  LayoutWriter writer;
  CaptureOutput capture;
  DirectoryRecord* tree = writer.LoadLocalDirectory(dir.path());
  EXPECT_EQ(tree, nullptr);
  EXPECT_EQ(capture.Stdout(), "identifier too long (223 bytes, at most 222): " + Repeat('m', 223) +
                                  "\n"
                                  "load local directory information failed\n"
                                  "load local directory information failed\n");
}

TEST(WriterLayout, LongListsAndManyDirectoriesLayOutQuickly) {
  // 20,000 subdirectories of the root, each with one file.
  LayoutWriter writer;
  writer.root = TreeBuilder::List();
  DirectoryRecord* last = writer.root->next;
  for (int i = 0; i < 20000; ++i) {
    DirectoryRecord* node = TreeBuilder::Node("D" + std::to_string(100000 + i), kTypeDirectory);
    node->child = TreeBuilder::List();
    node->child->next->next = TreeBuilder::Node("F", kTypeFile, 1);
    last->next = node;
    last = node;
  }
  // 20,000 records of 10-byte names: 8 + 7 + 1 each.
  EXPECT_EQ(writer.ComputePathTableSize(writer.root), 10u + 20000u * 16u);
  EXPECT_EQ(last->directoryNumber, 20001u);
  Counters c = LayOut(writer, writer.root);
  // Root: 68 + 20000 * 40 bytes, 2048 / 40 = 51 records per full sector.
  EXPECT_EQ(c.files, 20000u);
  EXPECT_EQ(last->child->next->next->extent, 19999u);
  EXPECT_EQ(c.directories, (writer.root->size + 2047) / 2048 + 20000u);
}
