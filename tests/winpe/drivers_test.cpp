// Storage driver packages with their WINPEOEM.SIF registration, and network
// driver files spread by extension.
#include <gtest/gtest.h>

#include "tests/winpe/editor_test_fixture.h"

using editor_testing::EditorWorkspace;
using testing_support::CaptureOutput;
using testing_support::FeedStdin;

namespace {

const char kSif[] = "I386/SYSTEM32/WINPEOEM.SIF";

struct NameResult {
  int result;
  std::string out, file;
};

NameResult AddNames(const std::string& content, const std::vector<std::string>& names) {
  EditorWorkspace ws;
  ws.Write(kSif, content);
  auto editor = ws.Editor();
  CaptureOutput capture;
  int result = 0;
  for (const std::string& name : names) {
    result = editor->AddDriverName(name);
    if (result != 0) break;
  }
  return {result, capture.Stdout(), ws.Read(kSif)};
}

}  // namespace

TEST(AddDriverName, RegistersNamesUnderOemDriverParams) {
  struct Case {
    const char* what;
    std::string before;
    std::vector<std::string> names;
    std::string after;
  };
  const Case cases[] = {
      {"commented lines are opened", "[Misc]\r\n;[OemDriverParams]\r\n;OemDriverRoot=\"\"\r\n;OemDriverDirs=\r\n",
       {"drv1", "drv2"},
       "[Misc]\r\n[OemDriverParams]\r\nOemDriverRoot=\"Drivers\"\r\nOemDriverDirs=drv1, drv2\r\n"},
      {"blank after the equals sign", "[OemDriverParams]\nOemDriverRoot=x\nOemDriverDirs=  \n",
       {"drv"}, "[OemDriverParams]\r\nOemDriverRoot=\"Drivers\"\r\nOemDriverDirs=  drv\r\n"},
      {"existing names", "[OemDriverParams]\r\nOemDriverRoot=\"Drivers\"\r\nOemDriverDirs=a, b  \r\n",
       {"c"}, "[OemDriverParams]\r\nOemDriverRoot=\"Drivers\"\r\nOemDriverDirs=a, b  , c\r\n"},
      {"no equals sign", "[OemDriverParams]\r\nOemDriverRoot\r\nOemDriverDirs\r\n", {"d"},
       "[OemDriverParams]\r\nOemDriverRoot=\"Drivers\"\r\nOemDriverDirs, d\r\n"},
      {"second header handled alike",
       "[OemDriverParams]\r\nOemDriverRoot=\r\nOemDriverDirs=\r\n;[OemDriverParams]\r\nOemDriverRoot=\r\n;OemDriverDirs=x\r\n",
       {"d"},
       "[OemDriverParams]\r\nOemDriverRoot=\"Drivers\"\r\nOemDriverDirs=d\r\n"
       "[OemDriverParams]\r\nOemDriverRoot=\"Drivers\"\r\nOemDriverDirs=x, d\r\n"},
      {"no header: unchanged", "[Misc]\nA=1", {"d"}, "[Misc]\r\nA=1\r\n"},
  };
  for (const Case& c : cases) {
    NameResult r = AddNames(c.before, c.names);
    EXPECT_EQ(0, r.result) << c.what;
    EXPECT_EQ(c.after, r.file) << c.what;
  }
  NameResult r = AddNames("", {"drv"});
  EXPECT_EQ("Log: adding driver name drv\nLog: adding driver name succeeded\n", r.out);
}

TEST(AddDriverName, MalformedSectionFailsWithoutRewriting) {
  const char* cases[] = {
      "[OemDriverParams]",                                   // header is the last line
      "[OemDriverParams]\r\n",                               // followed by the empty last entry
      "[OemDriverParams]\r\nOemDriverDirs=\r\nOemDriverRoot=\r\n",  // keys swapped
      "[OemDriverParams]\r\nOemDriverRoot=\r\n",             // no dirs line
      "[OemDriverParams]\r\nOemDriverRoot=\r\nOemDriverDirs=\r\n[OemDriverParams]\r\nX\r\n",
  };
  for (const char* content : cases) {
    NameResult r = AddNames(content, {"drv"});
    EXPECT_EQ(1, r.result) << content;
    EXPECT_EQ("Log: adding driver name drv\n", r.out) << content;
    EXPECT_EQ(content, r.file) << content;
  }

  EditorWorkspace ws;
  auto editor = ws.Editor();
  CaptureOutput capture;
  EXPECT_EQ(1, editor->AddDriverName("drv"));
  EXPECT_EQ("Log: adding driver name drv\nLog: adding driver name failed - unable to open file " +
                ws.root + "/I386/SYSTEM32/WINPEOEM.SIF\n",
            capture.Stdout());
}

namespace {

const char kSifTemplate[] =
    "[OemDriverParams]\r\nOemDriverRoot=\"\"\r\nOemDriverDirs=\r\n";

}  // namespace

TEST(AddStorageDriver, CopiesAndRegisters) {
  EditorWorkspace ws;
  ws.Write(kSif, kSifTemplate);
  std::string package = ws.SourceDir("RAID");
  ws.SourceFile("RAID/raid.sys", "sys");
  ws.SourceFile("RAID/txtsetup.oem", "oem");
  auto editor = ws.Editor();
  {
    CaptureOutput capture;
    EXPECT_EQ(0, editor->AddStorageDriver(package + "/"));
    EXPECT_EQ(
        "Log: adding storage driver RAID\n"
        "Log: adding driver name RAID\n"
        "Log: adding driver name succeeded\n"
        "Log: adding storage driver RAID succeeded\n",
        capture.Stdout());
    EXPECT_EQ("", capture.Stderr());
  }
  EXPECT_EQ("sys", ws.Read("I386/SYSTEM32/DRIVERS/RAID/raid.sys"));
  EXPECT_EQ("oem", ws.Read("I386/SYSTEM32/DRIVERS/RAID/txtsetup.oem"));
  EXPECT_EQ("[OemDriverParams]\r\nOemDriverRoot=\"Drivers\"\r\nOemDriverDirs=RAID\r\n", ws.Read(kSif));

  // The same package again meets its workspace copy.
  CaptureOutput capture;
  EXPECT_EQ(1, editor->AddStorageDriver(package));
  EXPECT_EQ(
      "Warning: adding storage driver failed - exception: copy_directory fails: a directory with "
      "same name exists\n",
      capture.Stderr());
}

TEST(AddStorageDriver, ConflictRenamesDirectoryAndRegistration) {
  EditorWorkspace ws;
  ws.Write(kSif, kSifTemplate);
  std::string package = ws.SourceDir("RAID");
  ws.SourceFile("RAID/raid.sys");
  ws.reader.AddDirectory("\\I386\\SYSTEM32\\DRIVERS\\RAID");
  auto editor = ws.Editor();
  {
    FeedStdin input("c RAID2\n");
    CaptureOutput capture;
    EXPECT_EQ(0, editor->AddStorageDriver(package));
    EXPECT_EQ(
        "Log: adding storage driver RAID\n"
        "Log: a file or directory with same name exists\n"
        "Log: change the storage driver package name or abort\n"
        "Log: press 'c' to change name, other key to abort\n"
        "Log: please enter the new name for the storage driver RAID\n"
        "Log: adding driver name RAID2\n"
        "Log: adding driver name succeeded\n"
        "Log: adding storage driver RAID2 succeeded\n",
        capture.Stdout());
  }
  EXPECT_TRUE(ws.Exists("I386/SYSTEM32/DRIVERS/RAID2/raid.sys"));
  EXPECT_FALSE(ws.Exists("I386/SYSTEM32/DRIVERS/RAID"));
  EXPECT_EQ("[OemDriverParams]\r\nOemDriverRoot=\"Drivers\"\r\nOemDriverDirs=RAID2\r\n", ws.Read(kSif));

  ws.reader.AddFile("I386/SYSTEM32/DRIVERS/OTHER");
  FeedStdin input("n\n");
  CaptureOutput capture;
  EXPECT_EQ(1, editor->AddStorageDriver(ws.SourceDir("OTHER")));
  EXPECT_EQ(
      "Warning: adding storage driver package OTHER failed - file name conflict, aborted by user\n",
      capture.Stderr());
  EXPECT_FALSE(ws.Exists("I386/SYSTEM32/DRIVERS/OTHER"));
}

TEST(AddStorageDriver, RegistrationFailureEndsWithoutSuccessLine) {
  EditorWorkspace ws;
  ws.Write(kSif, "[OemDriverParams]\r\n");
  std::string package = ws.SourceDir("RAID");
  auto editor = ws.Editor();
  CaptureOutput capture;
  EXPECT_EQ(1, editor->AddStorageDriver(package));
  EXPECT_EQ("Log: adding storage driver RAID\nLog: adding driver name RAID\n", capture.Stdout());
  EXPECT_EQ("", capture.Stderr());
  EXPECT_TRUE(ws.Exists("I386/SYSTEM32/DRIVERS/RAID"));  // stays; the run discards the workspace
}

TEST(AddNetworkDriver, FilesGoWhereTheirExtensionSendsThem) {
  EditorWorkspace ws;
  std::string driver = ws.SourceDir("nic");
  for (const char* name : {"DRIVER.INF", "driver.SYS", "NetLib.Dll", "tool.EXE", "x.din",
                           "notes.txt", "noextension", "sys"}) {
    ws.SourceFile(std::string("nic/") + name, name);
  }
  ws.SourceFile("nic/sub.inf/inner.inf");  // a directory, even with a driver extension
  auto editor = ws.Editor();
  {
    CaptureOutput capture;
    EXPECT_EQ(0, editor->AddNetworkDriver(driver + "/"));
    EXPECT_EQ("Log: adding network driver nic\nLog: adding network driver nic succeeded\n",
              capture.Stdout());
    EXPECT_EQ("", capture.Stderr());
  }
  EXPECT_EQ("DRIVER.INF", ws.Read("I386/INF/DRIVER.INF"));
  EXPECT_EQ("driver.SYS", ws.Read("I386/SYSTEM32/DRIVERS/driver.SYS"));
  EXPECT_EQ("NetLib.Dll", ws.Read("I386/SYSTEM32/NetLib.Dll"));
  EXPECT_EQ("tool.EXE", ws.Read("I386/SYSTEM32/tool.EXE"));
  EXPECT_EQ("x.din", ws.Read("I386/SYSTEM32/x.din"));
  for (const char* skipped :
       {"I386/SYSTEM32/notes.txt", "I386/SYSTEM32/noextension", "I386/SYSTEM32/sys",
        "I386/INF/sub.inf", "I386/INF/inner.inf"}) {
    EXPECT_FALSE(ws.Exists(skipped)) << skipped;
  }

  // A second driver with a file of the same name fails; files before it stay.
  std::string second = ws.SourceDir("nic2");
  ws.SourceFile("nic2/a.inf");
  ws.SourceFile("nic2/driver.SYS");
  ws.SourceFile("nic2/z.dll");
  CaptureOutput capture;
  EXPECT_EQ(1, editor->AddNetworkDriver(second));
  std::string err = capture.Stderr();
  EXPECT_EQ(0u, err.find("Warning: adding network driver failed - exception: ")) << err;
  EXPECT_TRUE(ws.Exists("I386/INF/a.inf"));
  EXPECT_FALSE(ws.Exists("I386/SYSTEM32/z.dll"));
  EXPECT_EQ("driver.SYS", ws.Read("I386/SYSTEM32/DRIVERS/driver.SYS"));
}
