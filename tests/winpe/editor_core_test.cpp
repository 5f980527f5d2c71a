// Programs and packages under "\PROGRAMS", the name-conflict dialogue, the
// directory copy and the order of ApplyChanges.
#include <gtest/gtest.h>

#include <algorithm>
#include <iostream>
#include <stdexcept>

#include "tests/winpe/editor_test_fixture.h"

using editor_testing::EditorOptions;
using editor_testing::EditorWorkspace;
using testing_support::CaptureOutput;
using testing_support::FeedStdin;

namespace {

const char kPromptHead[] =
    "Log: a file or directory with same name exists\n"
    "Log: change the destination file name or abort\n"
    "Log: press 'c' to change name, other key to abort\n";

}  // namespace

TEST(AddBinary, CopiesUnderProgramsAndCreatesTheDirectory) {
  EditorWorkspace ws;
  std::string source = ws.SourceFile("tool.exe", "MZ tool");
  // A name differing only in case is no conflict: the image compares bytes.
  ws.reader.AddDirectory("\\PROGRAMS");
  ws.reader.AddFile("PROGRAMS\\TOOL.EXE");
  auto editor = ws.Editor();
  CaptureOutput capture;
  EXPECT_EQ("tool.exe", editor->AddBinary(source));
  EXPECT_EQ("Log: adding file tool.exe ...\nLog: adding file tool.exe succeeded\n",
            capture.Stdout());
  EXPECT_EQ("", capture.Stderr());
  EXPECT_EQ("MZ tool", ws.Read("PROGRAMS/tool.exe"));
}

TEST(AddBinary, ConflictChangeNameUntilFree) {
  EditorWorkspace ws;
  std::string source = ws.SourceFile("tool.exe", "x");
  ws.reader.AddFile("PROGRAMS\\tool.exe");
  ws.reader.AddDirectory("PROGRAMS\\taken.exe");
  auto editor = ws.Editor();
  FeedStdin input("c taken.exe\n c\nnew.exe\n");
  CaptureOutput capture;
  EXPECT_EQ("new.exe", editor->AddBinary(source));
  EXPECT_EQ(std::string("Log: adding file tool.exe ...\n") + kPromptHead +
                "Log: please enter the new name for the binary file tool.exe\n" + kPromptHead +
                "Log: please enter the new name for the binary file taken.exe\n"
                "Log: adding file new.exe succeeded\n",
            capture.Stdout());
  EXPECT_EQ("", capture.Stderr());
  EXPECT_EQ("x", ws.Read("PROGRAMS/new.exe"));
  EXPECT_FALSE(ws.Exists("PROGRAMS/tool.exe"));
  EXPECT_FALSE(ws.Exists("PROGRAMS/taken.exe"));
}

TEST(AddBinary, AnythingButLowerCaseCAborts) {
  for (const char* answer : {"x\n", "C\n", "", "   \n\n", "c\n"}) {
    EditorWorkspace ws;
    std::string source = ws.SourceFile("tool.exe");
    ws.reader.AddFile("PROGRAMS\\tool.exe");
    auto editor = ws.Editor();
    FeedStdin input(answer);
    CaptureOutput capture;
    EXPECT_EQ("", editor->AddBinary(source)) << answer;
    EXPECT_EQ("Warning: adding file tool.exe failed - file name conflict, aborted by user\n",
              capture.Stderr())
        << answer;
    EXPECT_FALSE(ws.Exists("PROGRAMS/tool.exe"));
  }
}

TEST(AddBinary, NewNameIsOneWordAndTheRestStaysInTheInput) {
  EditorWorkspace ws;
  std::string a = ws.SourceFile("a/tool.exe");
  std::string b = ws.SourceFile("b/other.exe");
  ws.reader.AddFile("PROGRAMS\\tool.exe");
  ws.reader.AddFile("PROGRAMS\\other.exe");
  auto editor = ws.Editor();
  FeedStdin input("c new name.exe\n");
  CaptureOutput capture;
  EXPECT_EQ("new", editor->AddBinary(a));
  // The next prompt reads "n" of "name.exe" and aborts.
  EXPECT_EQ("", editor->AddBinary(b));
  EXPECT_EQ("Warning: adding file other.exe failed - file name conflict, aborted by user\n",
            capture.Stderr());
  EXPECT_TRUE(ws.Exists("PROGRAMS/new"));
  std::string rest;
  EXPECT_TRUE(static_cast<bool>(std::cin >> rest));
  EXPECT_EQ("ame.exe", rest);
}

TEST(AddBinary, NewNameThatIsNotOneEntryFails) {
  EditorWorkspace ws;
  std::string source = ws.SourceFile("tool.exe");
  ws.reader.AddFile("PROGRAMS\\tool.exe");
  auto editor = ws.Editor();
  FeedStdin input("c ../escape.exe\n");
  CaptureOutput capture;
  EXPECT_EQ("", editor->AddBinary(source));
  EXPECT_EQ("Warning: adding file failed, exception: invalid name \"../escape.exe\" for a new entry\n",
            capture.Stderr());
  EXPECT_FALSE(ws.Exists("escape.exe"));
}

TEST(AddBinary, ProgramsFileInImageAndDuplicateLeaf) {
  EditorWorkspace ws;
  std::string first = ws.SourceFile("a/tool.exe");
  std::string second = ws.SourceFile("b/tool.exe");
  {
    auto editor = ws.Editor();
    CaptureOutput capture;
    EXPECT_EQ("tool.exe", editor->AddBinary(first));
    EXPECT_EQ("", editor->AddBinary(second));
    std::string err = capture.Stderr();
    EXPECT_EQ(0u, err.find("Warning: adding file failed, exception: ")) << err;
    EXPECT_EQ(1, std::count(err.begin(), err.end(), '\n'));
  }
  ws.reader.AddFile("\\PROGRAMS");
  for (bool package : {false, true}) {
    auto editor = ws.Editor();
    CaptureOutput capture;
    EXPECT_EQ("", package ? editor->AddPackage(ws.SourceDir("pkg")) : editor->AddBinary(first));
    EXPECT_EQ("", capture.Stdout());
    EXPECT_EQ(
        "Warning: adding binary file failed - a file named \"PROGRAMS\" exists,\n"
        "Warning:  manually delete it to allow create \"PROGRAMS\" directory\n",
        capture.Stderr());
  }
}

TEST(AddPackage, TrailingSeparatorConflictAndExistingDestination) {
  EditorWorkspace ws;
  std::string pkg = ws.SourceDir("tool");
  ws.SourceFile("tool/bin/run.exe", "run");
  ws.SourceFile("tool/readme.txt", "hi");
  ws.reader.AddDirectory("\\PROGRAMS\\tool");
  auto editor = ws.Editor();
  {
    FeedStdin input("c tool2\n");
    CaptureOutput capture;
    EXPECT_EQ("tool2", editor->AddPackage(pkg + "/"));
    EXPECT_EQ(
        "Log: adding directory tool ...\n"
        "Log: a file or directory with same name exists\n"
        "Log: change the destination directory name, abort\n"
        "Log: press 'c' to change name, other key to abort\n"
        "Log: please enter the new name for the directory tool\n"
        "Log: adding directory tool2 succeeded\n",
        capture.Stdout());
  }
  EXPECT_EQ("run", ws.Read("PROGRAMS/tool2/bin/run.exe"));
  EXPECT_EQ("hi", ws.Read("PROGRAMS/tool2/readme.txt"));
  {
    // A second package with the same leaf meets the workspace copy; the
    // failure goes to standard output.
    std::string other = ws.SourceDir("x/tool2");
    CaptureOutput capture;
    EXPECT_EQ("", editor->AddPackage(other + "//"));
    EXPECT_EQ(
        "Log: adding directory tool2 ...\n"
        "Log: adding directory failed, exception: copy_directory fails: a directory with same "
        "name exists\n",
        capture.Stdout());
    EXPECT_EQ("", capture.Stderr());
  }
  {
    FeedStdin input("x");
    CaptureOutput capture;
    EXPECT_EQ("", editor->AddPackage(pkg));
    EXPECT_EQ("Warning: adding directory tool failed - package name conflict, aborted by user\n",
              capture.Stderr());
  }
}

TEST(AddToWorkspace, MissingParentDirectory) {
  EditorWorkspace ws;
  auto editor = ws.Editor();
  CaptureOutput capture;
  EXPECT_EQ("", editor->AddFileToWorkspace(ws.SourceFile("a.txt"), "NOPE"));
  EXPECT_EQ("", editor->AddDirectoryToWorkspace(ws.SourceDir("d"), "NOPE\\"));
  EXPECT_EQ(
      "Warning: adding file a.txt failed - parent directory does not exists\n"
      "Warning: adding directory d failed - parent directory does not exist\n",
      capture.Stderr());
}

TEST(CopyDirectory, CopiesTreeAndRefusesExistingDestination) {
  EditorWorkspace ws;
  std::string source = ws.SourceDir("tree");
  ws.SourceFile("tree/a.txt", "a");
  ws.SourceFile("tree/sub/deeper/b.bin", std::string("\0\1\2", 3));
  ws.SourceDir("tree/empty");
  std::string target = ws.scratch / "copy";
  WinpeEditor::copy_directory(source, target);
  EXPECT_EQ("a", testing_support::ReadFile(target + "/a.txt"));
  EXPECT_EQ(std::string("\0\1\2", 3), testing_support::ReadFile(target + "/sub/deeper/b.bin"));
  EXPECT_TRUE(testing_support::Exists(target + "/empty"));

  try {
    WinpeEditor::copy_directory(source, target);
    FAIL() << "no exception";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ("copy_directory fails: a directory with same name exists", e.what());
  }
  try {
    WinpeEditor::copy_directory(source, target + "/a.txt");
    FAIL() << "no exception";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ("copy_directory fails: a file with same name exists", e.what());
  }
}

namespace {

const char kRedodozad[] =
    "<?xml version=\"1.0\"?>\r\n<redoDozad>\r\n  <settings />\r\n</redoDozad>\r\n";

}  // namespace

TEST(ApplyChanges, NothingRequestedChangesNothing) {
  EditorWorkspace ws;
  ws.Write("FERROVANE/REDODOZAD.XML", kRedodozad);
  auto editor = ws.Editor();
  CaptureOutput capture;
  EXPECT_EQ(0, editor->ApplyChanges());
  EXPECT_EQ("", capture.Stdout());
  EXPECT_EQ("", capture.Stderr());
  EXPECT_FALSE(ws.Exists("PROGRAMS"));
  EXPECT_EQ(kRedodozad, ws.Read("FERROVANE/REDODOZAD.XML"));
}

TEST(ApplyChanges, ProgramsAndStartEntriesInOrder) {
  EditorWorkspace ws;
  ws.Write("FERROVANE/REDODOZAD.XML", kRedodozad);
  ws.Write("WINBOM.INI", "[Factory]\r\n");
  EditorOptions o;
  o.binaries = {ws.SourceFile("plain.exe")};
  o.startBinaries = {ws.SourceFile("a.exe"), ws.SourceFile("b.exe")};
  o.packages = {ws.SourceDir("lib")};
  ws.SourceFile("tool/bin/run.exe");
  o.startPackages = {ws.src + "/tool%bin\\run.exe"};
  o.disableFirewall = true;
  auto editor = ws.Editor(o);
  CaptureOutput capture;
  EXPECT_EQ(0, editor->ApplyChanges());
  EXPECT_EQ("", capture.Stderr());
  EXPECT_EQ(
      "<?xml version=\"1.0\"?>\r\n<redoDozad>\r\n  <settings />\r\n"
      "<exec processName=\"\\PROGRAMS\\a.exe\" currentDir=\"\\PROGRAMS\\\" />\r\n"
      "<exec processName=\"\\PROGRAMS\\b.exe\" currentDir=\"\\PROGRAMS\\\" />\r\n"
      "<exec processName=\"\\PROGRAMS\\tool\\bin\\run.exe\" currentDir=\"\\PROGRAMS\\tool\\bin\" />\r\n"
      "</redoDozad>\r\n",
      ws.Read("FERROVANE/REDODOZAD.XML"));
  EXPECT_TRUE(ws.Exists("PROGRAMS/plain.exe"));
  EXPECT_TRUE(ws.Exists("PROGRAMS/lib"));
  EXPECT_TRUE(ws.Exists("PROGRAMS/tool/bin/run.exe"));
  EXPECT_EQ("[WinPE.Net]\r\nWinPEFirewall=off\r\n[Factory]\r\n", ws.Read("WINBOM.INI"));
}

TEST(ApplyChanges, FirstFailureStopsTheRest) {
  EditorWorkspace ws;
  ws.Write("FERROVANE/REDODOZAD.XML", kRedodozad);
  EditorOptions o;
  o.binaries = {ws.SourceFile("a.exe"), ws.SourceFile("b.exe")};
  o.packages = {ws.SourceDir("pkg")};
  ws.reader.AddFile("PROGRAMS\\a.exe");
  auto editor = ws.Editor(o);
  FeedStdin input("x\n");
  CaptureOutput capture;
  EXPECT_EQ(1, editor->ApplyChanges());
  EXPECT_FALSE(ws.Exists("PROGRAMS/b.exe"));
  EXPECT_FALSE(ws.Exists("PROGRAMS/pkg"));
}

TEST(ApplyChanges, StartPackageWithoutExecutableFailsAfterAddingThePackage) {
  EditorWorkspace ws;
  ws.Write("FERROVANE/REDODOZAD.XML", kRedodozad);
  EditorOptions o;
  ws.SourceDir("tool");
  o.startPackages = {ws.src + "/tool%"};
  auto editor = ws.Editor(o);
  CaptureOutput capture;
  EXPECT_EQ(1, editor->ApplyChanges());
  EXPECT_TRUE(ws.Exists("PROGRAMS/tool"));
  EXPECT_EQ(kRedodozad, ws.Read("FERROVANE/REDODOZAD.XML"));
  EXPECT_NE(std::string::npos, capture.Stderr().find("no start up executable"));
}
