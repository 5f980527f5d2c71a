// Option value checks made before the workspace exists.
#include <gtest/gtest.h>

#include <stdexcept>

#include "tests/winpe/editor_test_fixture.h"

using editor_testing::EditorOptions;
using editor_testing::EditorWorkspace;
using testing_support::CaptureOutput;

namespace {

struct CheckResult {
  int result;
  std::string out, err;
};

CheckResult RunCheckOptions(EditorWorkspace& ws, const EditorOptions& options) {
  auto editor = ws.Editor(options);
  CaptureOutput capture;
  int result = editor->CheckOptions();
  return {result, capture.Stdout(), capture.Stderr()};
}

CheckResult RunCheckFiles(EditorWorkspace& ws, const EditorOptions& options) {
  auto editor = ws.Editor(options);
  CaptureOutput capture;
  int result = editor->CheckFileExistence();
  return {result, capture.Stdout(), capture.Stderr()};
}

}  // namespace

TEST(EditorConstruction, NullReaderIsRefused) {
  std::vector<std::string> none;
  try {
    WinpeEditor editor(none, none, none, none, none, none, none, none, "", false, "/tmp/x",
                       nullptr);
    FAIL() << "no exception";
  } catch (const std::invalid_argument& e) {
    EXPECT_STREQ("null ISOReader pointer", e.what());
  }
}

TEST(CheckOptions, StartPackagesAndVncNeedAPercent) {
  EditorWorkspace ws;
  EditorOptions good;
  good.startPackages = {"pkg%run.exe", "a%b%c"};
  good.vnc = "";  // an empty value is not tested
  CheckResult r = RunCheckOptions(ws, good);
  EXPECT_EQ(0, r.result);
  EXPECT_EQ("Log: checking options ...\n", r.out);
  EXPECT_EQ("", r.err);

  EditorOptions badStart;
  badStart.startPackages = {"ok%x.exe", "pkgonly", "other"};
  r = RunCheckOptions(ws, badStart);
  EXPECT_EQ(1, r.result);
  EXPECT_EQ(
      "Warning: invalid option format: pkgonly\n"
      "Warning: need to use '%' to specify the start up executable\n",
      r.err);

  EditorOptions badVnc;
  badVnc.vnc = "vncdir";
  r = RunCheckOptions(ws, badVnc);
  EXPECT_EQ(1, r.result);
  EXPECT_EQ(
      "Warning: invalid option format: vncdir\n"
      "Warning: need to use '%' to specify the start up executable\n",
      r.err);
}

TEST(CheckFileExistence, AllSourcesPresent) {
  EditorWorkspace ws;
  EditorOptions o;
  o.storageDrivers = {ws.SourceDir("storage")};
  o.networkDrivers = {ws.SourceDir("net")};
  o.binaries = {ws.SourceFile("a.exe")};
  o.startBinaries = {ws.SourceFile("b.exe")};
  o.packages = {ws.SourceDir("pkg")};
  // Two "%": the package is the text before the last one.
  o.startPackages = {ws.SourceDir("sp%x") + "%run.exe"};
  o.files = {ws.SourceFile("f.txt") + "%\\I386", ws.SourceFile("g.txt")};
  o.directories = {ws.SourceDir("d") + "%\\X", ws.SourceDir("e")};
  o.vnc = "/does/not/exist%vnc.exe";  // not tested here
  CheckResult r = RunCheckFiles(ws, o);
  EXPECT_EQ(0, r.result) << r.err;
  EXPECT_EQ("Log: checking file existence ...\n", r.out);
  EXPECT_EQ("", r.err);
}

TEST(CheckFileExistence, WrongTypeOrMissingSourceIsReported) {
  EditorWorkspace ws;
  std::string file = ws.SourceFile("a.exe");
  std::string dir = ws.SourceDir("pkg");
  std::string missing = ws.src + "/missing";
  struct Case {
    const char* what;
    EditorOptions options;
    std::string warning;
  };
  std::vector<Case> cases;
  {
    EditorOptions o;
    o.storageDrivers = {dir, file};
    cases.push_back({"storage driver naming a file", o,
                     "Warning: can not find storage driver package " + file + "\n"});
  }
  {
    EditorOptions o;
    o.networkDrivers = {missing};
    cases.push_back({"missing network driver", o,
                     "Warning: can not find network driver package " + missing + "\n"});
  }
  {
    EditorOptions o;
    o.binaries = {dir};
    cases.push_back({"binary naming a directory", o, "Warning: can not find binary file " + dir + "\n"});
  }
  {
    EditorOptions o;
    o.startBinaries = {missing};
    cases.push_back({"missing start binary", o, "Warning: can not find binary file " + missing + "\n"});
  }
  {
    EditorOptions o;
    o.packages = {file};
    cases.push_back({"package naming a file", o,
                     "Warning: can not find software package " + file + "\n"});
  }
  {
    EditorOptions o;
    // The directory exists as "pkg", but the tested text is before the last "%".
    o.startPackages = {dir + "%bin%run.exe"};
    cases.push_back({"start package split at the last %", o,
                     "Warning: can not find software package " + dir + "%bin\n"});
  }
  {
    EditorOptions o;
    o.files = {dir + "%\\I386"};
    cases.push_back({"file naming a directory", o,
                     "Warning: can not find file " + dir + "%\\I386\n"});
  }
  {
    EditorOptions o;
    o.directories = {file + "%\\X"};
    cases.push_back({"dir naming a file", o, "Warning: can not find directory " + file + "%\\X\n"});
  }
  {
    // Only the first failure in table order is reported: storage before binaries.
    EditorOptions o;
    o.binaries = {missing};
    o.storageDrivers = {missing};
    cases.push_back({"first failure only", o,
                     "Warning: can not find storage driver package " + missing + "\n"});
  }
  for (const Case& c : cases) {
    CheckResult r = RunCheckFiles(ws, c.options);
    EXPECT_EQ(1, r.result) << c.what;
    EXPECT_EQ(c.warning, r.err) << c.what;
  }
}
