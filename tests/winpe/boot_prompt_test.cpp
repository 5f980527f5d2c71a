// The 0xCB byte in front of BOOTFIX.BIN.
#include <gtest/gtest.h>

#include "tests/winpe/editor_test_fixture.h"

using editor_testing::EditorWorkspace;
using testing_support::CaptureOutput;

namespace {

std::string Pattern(std::size_t size) {
  std::string bytes(size, '\0');
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 7 + i / 256) & 0xFF);
  return bytes;
}

}  // namespace

TEST(DisablePressAnyKey, PrependsFarReturn) {
  for (std::size_t size : {0u, 1u, 1024u, 2048u, 5000u}) {
    EditorWorkspace ws;
    std::string before = Pattern(size);
    ws.Write("I386/BOOTFIX.BIN", before);
    auto editor = ws.Editor();
    CaptureOutput capture;
    EXPECT_EQ(0, editor->DisablePressAnyKey()) << size;
    EXPECT_EQ("Log: disabling the \"press any key\" option ...\n", capture.Stdout());
    EXPECT_EQ("", capture.Stderr());
    EXPECT_EQ("\xCB" + before, ws.Read("I386/BOOTFIX.BIN")) << size;
    EXPECT_FALSE(ws.Exists("I386/BOOTFIX.BIN.bak"));
  }
}

TEST(DisablePressAnyKey, TwiceGivesTwoBytes) {
  EditorWorkspace ws;
  ws.Write("I386/BOOTFIX.BIN", "\xEB\x3C");
  auto editor = ws.Editor();
  CaptureOutput capture;
  EXPECT_EQ(0, editor->DisablePressAnyKey());
  EXPECT_EQ(0, editor->DisablePressAnyKey());
  EXPECT_EQ("\xCB\xCB\xEB\x3C", ws.Read("I386/BOOTFIX.BIN"));
}

TEST(DisablePressAnyKey, LeftoverBackupOrMissingFileFailsBeforeTouching) {
  EditorWorkspace ws;
  ws.Write("I386/BOOTFIX.BIN", "boot");
  ws.Write("I386/BOOTFIX.BIN.bak", "old");
  auto editor = ws.Editor();
  {
    CaptureOutput capture;
    EXPECT_EQ(1, editor->DisablePressAnyKey());
    std::string err = capture.Stderr();
    EXPECT_EQ(0u, err.find("Warning: disabling the \"press any key\" option failed - exception "))
        << err;
  }
  EXPECT_EQ("boot", ws.Read("I386/BOOTFIX.BIN"));
  EXPECT_EQ("old", ws.Read("I386/BOOTFIX.BIN.bak"));

  EditorWorkspace empty;
  auto other = empty.Editor();
  CaptureOutput capture;
  EXPECT_EQ(1, other->DisablePressAnyKey());
  EXPECT_FALSE(empty.Exists("I386/BOOTFIX.BIN"));
  EXPECT_FALSE(empty.Exists("I386/BOOTFIX.BIN.bak"));
}
