// Joliet names: what a new name may hold, made names, and pairing with the primary tree.
#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <string>

#include "iso/iso_manipulator.h"
#include "iso/joliet_names.h"
#include "iso/joliet_tree.h"
#include "tests/iso/record_list.h"
#include "tests/test_support.h"

namespace {

TEST(JolietNames, NewNamesFitOrAreRefusedWithTheReason) {
  const std::string longest(64, 'n');
  const struct {
    std::string name;
    std::string reason;  // "" when accepted
  } cases[] = {
      {"Gr\xc3\xbc\xc3\x9f" "e & Co.exe", ""},
      {longest, ""},
      {longest + "n", "it is 65 characters long, at most 64 fit"},
      {"a:b", "it holds \":\", which Joliet names may not hold"},
      {"setup.exe;1", "it holds \";\", which Joliet names may not hold"},
      {"tab\tname", "it holds the control character U+0009"},
      {"smile\xf0\x9f\x98\x80", "it holds U+1F600, a character outside the Basic Multilingual Plane"},
      {"latin\xe9", "it is not UTF-8"},
  };
  for (const auto& c : cases) {
    std::string joliet;
    const std::string failure =
        testing_support::Failure([&] { joliet = JolietNameFromUtf8(c.name); });
    if (c.reason.empty()) {
      EXPECT_EQ(Utf8FromJolietName(joliet), c.name);
    } else {
      EXPECT_EQ(failure, "the Joliet tree of this image cannot hold the name \"" + c.name +
                             "\": " + c.reason + "; rename it");
    }
  }
  // Two characters, big-endian.
  EXPECT_EQ(JolietNameFromUtf8("A\xc3\xa9"), std::string("\0A\0\xe9", 4));
}

TEST(JolietNames, MadeFromRecordedIsoNames) {
  const struct {
    std::string identifier, expected;
  } cases[] = {
      {"DEFAULT.;1", "DEFAULT"},  // what the entry answers to
      {"NAME;X", "NAME_X"},             // not a version: the ";" is replaced
      {"caf\xe9", "caf\xc3\xa9"},       // not UTF-8: Latin-1
      {std::string(70, 'L'), std::string(64, 'L')},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Utf8FromJolietName(JolietNameFromPrimary(c.identifier)), c.expected) << c.identifier;
  }
}

// ---- pairing ------------------------------------------------------------------

struct Primary {
  DirectoryRecord* root = NewRecordList();
  ~Primary() { ISOManipulator::FreeRecordList(root); }
  // Appends an entry read from an image.
  static DirectoryRecord* Add(DirectoryRecord* list, const std::string& identifier,
                              std::uint32_t extent, std::uint32_t size, bool directory = false) {
    DirectoryRecord* node =
        AddRecord(list, identifier, directory ? kTypeDirectory : kTypeFile, size);
    node->sourceExtent = node->extent = extent;
    node->sourceSize = size;
    node->fromImage = 1;
    return node;
  }
};

JolietEntry& AddJoliet(JolietEntry& directory, const std::string& name, std::uint32_t extent,
                       std::uint32_t size, bool isDirectory = false) {
  JolietEntry entry;
  entry.identifier = JolietNameFromUtf8(name);
  entry.extent = extent;
  entry.size = size;
  entry.directory = isDirectory;
  directory.entries.push_back(entry);
  return directory.entries.back();
}

// Every entry's Joliet name as UTF-8 ("" when not determined), by path.
void Names(const DirectoryRecord* list, const std::string& parent,
           std::map<std::string, std::string>& names) {
  for (const DirectoryRecord* node = list; node; node = node->next) {
    if (IsDotName(node->name)) continue;
    const std::string path = parent + "/" + node->identifier;
    names[path] = Utf8FromJolietName(node->jolietIdentifier);
    if (node->child) Names(node->child, path, names);
  }
}

TEST(JolietPairing, ByDataThenByNameElseUndetermined) {
  Primary primary;
  DirectoryRecord* root = primary.root;
  Primary::Add(root, "LONGNA_1.TXT", 30, 100);
  Primary::Add(root, "EMPTY_1.TXT", 31, 0);  // two empty files share one extent
  Primary::Add(root, "EMPTY_2.TXT", 31, 0);
  Primary::Add(root, "GONE.TXT", 32, 5);
  DirectoryRecord* longDirectory = Primary::Add(root, "LONGDI_1", 50, 2048, true);
  Primary::Add(longDirectory->child, "A.TXT", 40, 10);
  DirectoryRecord* nested = Primary::Add(longDirectory->child, "DEEP", 51, 2048, true);
  Primary::Add(nested->child, "B.TXT", 41, 20);
  Primary::Add(root, "EMPTY_DIR", 52, 2048, true);  // no files below
  Primary::Add(root, "CUT_DIRE", 55, 2048, true);   // ... and its name cut to 8.3
  DirectoryRecord* noFiles = Primary::Add(root, "NOFILES", 53, 2048, true);
  Primary::Add(noFiles->child, "INNER", 54, 2048, true);

  JolietEntry joliet;
  joliet.directory = true;
  AddJoliet(joliet, "Long name one.txt", 30, 100);
  AddJoliet(joliet, "Other empty", 31, 0);
  AddJoliet(joliet, "empty_1.txt", 31, 0);
  AddJoliet(joliet, "GONE.TXT", 99, 5);  // same name, other data: another file
  JolietEntry& directory = AddJoliet(joliet, "Long directory", 60, 2048, true);
  AddJoliet(directory, "a.txt", 40, 10);
  AddJoliet(AddJoliet(directory, "Deep", 61, 2048, true), "b.txt", 41, 20);
  AddJoliet(joliet, "Empty Dir", 62, 2048, true);
  AddJoliet(joliet, "Cut directory", 65, 2048, true);
  AddJoliet(AddJoliet(joliet, "Unrelated", 63, 2048, true), "Inner", 64, 2048, true);

  MapJolietNames(root, joliet);
  std::map<std::string, std::string> names;
  Names(root, "", names);
  EXPECT_EQ(names, (std::map<std::string, std::string>{
                       {"/LONGNA_1.TXT", "Long name one.txt"},
                       {"/EMPTY_1.TXT", "empty_1.txt"},  // the name decides
                       {"/EMPTY_2.TXT", ""},             // ... or nothing does
                       {"/GONE.TXT", ""},
                       {"/LONGDI_1", "Long directory"},  // by the files below it
                       {"/LONGDI_1/A.TXT", "a.txt"},
                       {"/LONGDI_1/DEEP", "Deep"},
                       {"/LONGDI_1/DEEP/B.TXT", "b.txt"},
                       {"/EMPTY_DIR", "Empty Dir"},  // no files: by name, as translated
                       {"/CUT_DIRE", "Cut directory"},  // ... or as cut
                       {"/NOFILES", ""},
                       {"/NOFILES/INNER", ""},  // nothing below an unpaired directory
                   }));
  // What stays undetermined takes its ISO 9660 name into a new image.
  EXPECT_EQ(Utf8FromJolietName(JolietNameFor(*root->next->next->next->next)), "EMPTY_2.TXT");
}

}  // namespace
