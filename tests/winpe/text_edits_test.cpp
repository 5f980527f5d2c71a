// Line lists and the two text edits built on them: start-up entries in
// redodozad.xml and the firewall switch in WINBOM.INI.
#include <gtest/gtest.h>

#include "tests/winpe/editor_test_fixture.h"

using editor_testing::EditorWorkspace;
using testing_support::CaptureOutput;
using testing_support::ReadFile;
using testing_support::WriteFile;

namespace {

using Lines = WinpeEditor::StringList;

Lines ReadLines(const std::string& path) {
  Lines lines;
  EXPECT_TRUE(WinpeEditor::ReadTextLines(path, lines));
  return lines;
}

std::string Rewrite(const std::string& path, const std::string& content) {
  WriteFile(path, content);
  Lines lines = ReadLines(path);
  EXPECT_TRUE(WinpeEditor::WriteTextLines(path, lines));
  return ReadFile(path);
}

}  // namespace

TEST(TextLines, SplitAndRewrite) {
  testing_support::ScratchDir dir;
  std::string path = dir / "f.txt";
  WriteFile(path, "a\r\nb\r\n");
  EXPECT_EQ((Lines{"a", "b", ""}), ReadLines(path));
  EXPECT_EQ("a\r\nb\r\n", Rewrite(path, "a\r\nb\r\n"));

  WriteFile(path, "a\nb");
  EXPECT_EQ((Lines{"a", "b"}), ReadLines(path));
  EXPECT_EQ("a\r\nb\r\n", Rewrite(path, "a\nb"));     // LF becomes CR LF, a final end is added
  EXPECT_EQ("", Rewrite(path, ""));                    // one empty entry, nothing written
  EXPECT_EQ("\r\n\r\nx\r\n", Rewrite(path, "\n\r\nx"));  // empty lines in between are kept
  // Only a CR right before LF belongs to the line end.
  EXPECT_EQ("a\rb\r\r\n", Rewrite(path, "a\rb\r\r\n"));

  std::string longLine(5000, 'x');
  longLine[4000] = 'y';
  WriteFile(path, "first\r\n" + longLine + "\r\nlast\r\n");
  EXPECT_EQ((Lines{"first", longLine, "last", ""}), ReadLines(path));

  Lines none;
  EXPECT_FALSE(WinpeEditor::ReadTextLines(dir / "missing.txt", none));
  EXPECT_FALSE(WinpeEditor::WriteTextLines(dir / "no/such/dir.txt", Lines{"a"}));
}

namespace {

struct StartUpResult {
  int result;
  std::string out, err, file;
};

StartUpResult AddStartUps(const std::string& content, const std::vector<std::string>& programs) {
  EditorWorkspace ws;
  ws.Write("FERROVANE/REDODOZAD.XML", content);
  auto editor = ws.Editor();
  CaptureOutput capture;
  int result = 0;
  for (const std::string& program : programs) {
    result = editor->AddStartUp(program);
    if (result != 0) break;
  }
  return {result, capture.Stdout(), capture.Stderr(), ws.Read("FERROVANE/REDODOZAD.XML")};
}

}  // namespace

TEST(AddStartUp, EntriesGoAboveTheFirstClosingLine) {
  StartUpResult r = AddStartUps("<redoDozad>\r\n\t<x/>\r\n</redoDozad>\r\n", {"tool.exe"});
  EXPECT_EQ(0, r.result);
  EXPECT_EQ("Log: adding start up ...\nLog: adding start up succeeded\n", r.out);
  EXPECT_EQ(
      "<redoDozad>\r\n\t<x/>\r\n"
      "<exec processName=\"\\PROGRAMS\\tool.exe\" currentDir=\"\\PROGRAMS\\\" />\r\n"
      "</redoDozad>\r\n",
      r.file);

  // LF file, two entries in call order, two closing lines: the first one wins.
  r = AddStartUps("<redoDozad>\n</redoDozad>\n</redoDozad>", {"a.exe", "pkg\\bin\\run.exe"});
  EXPECT_EQ(0, r.result);
  EXPECT_EQ(
      "<redoDozad>\r\n"
      "<exec processName=\"\\PROGRAMS\\a.exe\" currentDir=\"\\PROGRAMS\\\" />\r\n"
      "<exec processName=\"\\PROGRAMS\\pkg\\bin\\run.exe\" currentDir=\"\\PROGRAMS\\pkg\\bin\" />\r\n"
      "</redoDozad>\r\n</redoDozad>\r\n",
      r.file);
}

TEST(AddStartUp, ClosingTagNotAloneOrMissingFileFails) {
  for (const char* content : {"<redoDozad>\r\n  </redoDozad>\r\n", "<redoDozad>\n</redoDozad> \n",
                              "<redoDozad><x/></redoDozad>\n", "<redodozad>\n</redodozad>\n"}) {
    StartUpResult r = AddStartUps(content, {"tool.exe"});
    EXPECT_EQ(1, r.result) << content;
    EXPECT_EQ("Warning: adding start up failed - unexpected file format at redodozad.xml\n", r.err);
    EXPECT_EQ(content, r.file);  // untouched, line ends included
  }

  EditorWorkspace ws;
  auto editor = ws.Editor();
  CaptureOutput capture;
  EXPECT_EQ(1, editor->AddStartUp("tool.exe"));
  EXPECT_EQ("Log: adding start up ...\nLog: adding start up failed - unable to open file " +
                ws.root + "/FERROVANE/REDODOZAD.XML\n",
            capture.Stdout());
  EXPECT_EQ("", capture.Stderr());
}

namespace {

std::string Firewall(const std::string& content, int times = 1) {
  EditorWorkspace ws;
  ws.Write("WINBOM.INI", content);
  auto editor = ws.Editor();
  for (int i = 0; i < times; ++i) {
    CaptureOutput capture;
    EXPECT_EQ(0, editor->DisableFirewall());
    EXPECT_EQ("Log: disabling firewall ...\nLog: disabling firewall succeeded\n", capture.Stdout());
  }
  return ws.Read("WINBOM.INI");
}

}  // namespace

TEST(DisableFirewall, ReplacesInsertsOrPrepends) {
  struct Case {
    const char* what;
    std::string before, after;
  };
  const Case cases[] = {
      {"replacement", "[WinPE.Net]\r\nWinPEFirewall=on\r\nStartnet=x\r\n",
       "[WinPE.Net]\r\nWinPEFirewall=off\r\nStartnet=x\r\n"},
      {"commented key elsewhere, nothing inserted", "[A]\r\n; WinPEFirewall=on\r\n[WinPE.Net]\r\nK=v\r\n",
       "[A]\r\nWinPEFirewall=off\r\n[WinPE.Net]\r\nK=v\r\n"},
      {"below the first section line", "[Factory]\r\n[WinPE.Net]\r\nK=v\r\n[WinPE.Net]\r\n",
       "[Factory]\r\n[WinPE.Net]\r\nWinPEFirewall=off\r\nK=v\r\n[WinPE.Net]\r\n"},
      {"no section: at the very top", "[Factory]\nK=v\n",
       "[WinPE.Net]\r\nWinPEFirewall=off\r\n[Factory]\r\nK=v\r\n"},
      {"empty file", "", "[WinPE.Net]\r\nWinPEFirewall=off\r\n"},
      {"case as written", "[winpe.net]\r\nwinpefirewall=on\r\n",
       "[WinPE.Net]\r\nWinPEFirewall=off\r\n[winpe.net]\r\nwinpefirewall=on\r\n"},
      // The replaced line no longer names the section, so the file has none;
      // the key was found, so nothing is added either.
      {"one line holding both", "[WinPE.Net] WinPEFirewall=on\r\n", "WinPEFirewall=off\r\n"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.after, Firewall(c.before)) << c.what;
    EXPECT_EQ(c.after, Firewall(c.before, 2)) << c.what << " (twice)";
  }
}

TEST(DisableFirewall, MissingFileFails) {
  EditorWorkspace ws;
  auto editor = ws.Editor();
  CaptureOutput capture;
  EXPECT_EQ(1, editor->DisableFirewall());
  EXPECT_EQ("Warning: disabling firewall failed - unable to open file " + ws.root + "/WINBOM.INI\n",
            capture.Stderr());
  EXPECT_FALSE(ws.Exists("WINBOM.INI"));
}
