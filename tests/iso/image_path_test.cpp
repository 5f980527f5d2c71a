// Image names: lookups, the same entry, and names that may go into an image.
#include <gtest/gtest.h>

#include <string>

#include "iso/image_path.h"
#include "tests/test_support.h"

namespace {

TEST(ImagePath, RecordedIdentifiers) {
  const struct {
    const char* identifier;
    const char* entryName;  // what it answers to besides itself; "" when refused on load
  } rows[] = {
      {"WINBOM.INI;1", "WINBOM.INI"},
      {"DEFAULT.;1", "DEFAULT"},
      {"DEFAULT.", "DEFAULT"},
      {"DEFAULT;32767", "DEFAULT"},
      {"A.B.C;2", "A.B.C"},
      {"PROGRAMS", "PROGRAMS"},
      {"NAME;X", "NAME;X"},    // not a version: kept whole
      {"NAME;", "NAME;"},
      {"A ;1", "A ;1"},        // the base name would end in a space: kept whole
      {" LEAD.TXT;1", " LEAD.TXT"},  // Windows takes a leading space
      {"A..;1", "A..;1"},
      {";1", ";1"},
      {"..;1", ""},            // the parent directory in disguise
      {".;1", ""},
      {"...", ""},
      {"A.", "A"},
      {"A:B;1", ""},           // no valid Windows name either way
      {"TAB\t.TXT;1", ""},
      {"END.;", "END.;"},      // no version follows the ";"
  };
  for (const auto& row : rows) {
    const bool accepted = *row.entryName != '\0';
    EXPECT_EQ(image_path::IsRecordedNameAccepted(row.identifier), accepted) << row.identifier;
    if (!accepted) continue;
    EXPECT_EQ(image_path::EntryName(row.identifier), row.entryName) << row.identifier;
    EXPECT_TRUE(image_path::AnswersTo(row.identifier, row.identifier)) << row.identifier;
    EXPECT_TRUE(image_path::AnswersTo(row.identifier, row.entryName)) << row.identifier;
  }
  EXPECT_FALSE(image_path::AnswersTo("WINBOM.INI;1", "winbom.ini"));  // lookups keep case
  EXPECT_FALSE(image_path::AnswersTo("WINBOM.INI;1", "WINBOM.INI;2"));
}

TEST(ImagePath, SameEntryIgnoresCaseAndVersion) {
  const struct {
    const char *a, *b;
    bool same;
  } rows[] = {
      {"WINBOM.INI;1", "winbom.ini", true},
      {"WINBOM.INI;1", "WinBom.Ini;2", true},
      {"DEFAULT.", "default", true},
      {"DEFAULT.;1", "Default", true},
      {"UTILS", "utils", true},
      {"TOOL.EXE", "TOOL.EX", false},
      {"TOOL.EXE", "TOOL.EXE.", true},   // a trailing dot is ISO 9660's separator
      {"\xc3\x89T\xc3\x89", "\xc3\xa9t\xc3\xa9", false},  // only ASCII letters fold
      {"A_B", "a_b", true},
      {"[", "{", false},  // no folding beyond the letters
  };
  for (const auto& row : rows) {
    EXPECT_EQ(image_path::SameEntry(row.a, row.b), row.same) << row.a << " / " << row.b;
    EXPECT_EQ(image_path::SameEntry(row.b, row.a), row.same) << row.b << " / " << row.a;
  }
}

TEST(ImagePath, NamesGoingIntoAnImage) {
  const struct {
    std::string name, problem;
  } rows[] = {
      {"R&D Tools.exe", ""},
      {"caf\xc3\xa9 menu", ""},
      {std::string(221, 'n'), ""},
      {"WINBOM.INI;1", ""},
      {std::string(222, 'n'), "is longer than 221 bytes"},
      {"", "is empty"},
      {"..", "is \".\" or \"..\""},
      {"a:b", "holds the character ':'"},
      {"a|b", "holds the character '|'"},
      {"a\\b", "holds the character '\\'"},
      {std::string("a\x01", 2), "holds a control character"},
      {"name.", "ends with '.'"},
      {"name ", "ends with a space"},
      {" name", "begins with a space"},
      {"..;1", "would read back as \".\" or \"..\""},
      {"CONSOLE.TXT", ""},
      {"COM10", ""},
      {"LPT", ""},
      {"NULL", ""},
      {"my nul.txt", ""},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(image_path::NewNameProblem(row.name), row.problem) << row.name;
    // Whatever may go in, the reader accepts again.
    if (row.problem.empty()) {
      EXPECT_TRUE(image_path::IsRecordedNameAccepted(row.name)) << row.name;
    }
  }
  // Devices in every directory on Windows, whatever the case and extension;
  // "LPT³" with a superscript three, "CON;1" as it reads back.
  for (const char* device : {"NUL", "nul.txt", "Aux.tar.gz", "Com1 .log", "lpt9", "COM0",
                             "LPT\xC2\xB3.txt", "CON;1"}) {
    EXPECT_EQ(image_path::NewNameProblem(device), "is a device name on Windows") << device;
  }
  EXPECT_EQ(testing_support::Failure([] { image_path::CheckNewName("a:b"); }),
            "invalid name \"a:b\": it holds the character ':'");
}

}  // namespace
