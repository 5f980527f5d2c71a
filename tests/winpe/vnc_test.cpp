// The VNC password cipher (DES with the key bits mirrored), the settings it
// writes into the default user hive, and the VNC package as a whole.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>

#include "tests/winpe/editor_test_fixture.h"
#include "tools/minimal_hive.h"
#include "winpe/vnc_cipher.h"

using editor_testing::EditorWorkspace;
using testing_support::CaptureOutput;
using testing_support::RunOutput;

namespace {

const char kHive[] = "I386/SYSTEM32/CONFIG/DEFAULT";
const char kXml[] =
    "<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n<redoDozad>\r\n"
    "<exec processName=\"X:\\I386\\SYSTEM32\\WPEINIT.EXE\" />\r\n</redoDozad>\r\n";

DesBlock FromHex(const std::string& hex) {
  DesBlock block{};
  for (std::size_t i = 0; i < block.size(); ++i) {
    block[i] = static_cast<std::uint8_t>(std::stoul(hex.substr(2 * i, 2), nullptr, 16));
  }
  return block;
}

std::string ToHex(const std::uint8_t* bytes, std::size_t size) {
  std::string hex;
  char digits[3];
  for (std::size_t i = 0; i < size; ++i) {
    std::snprintf(digits, sizeof digits, "%02x", bytes[i]);
    hex += digits;
  }
  return hex;
}

std::string ToHex(const std::string& bytes) {
  return ToHex(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
}

// The stored password block as an independent DES gives it: Cryptodome's
// DES with the fixed key's bits mirrored by hand.
std::string IndependentVncCipherHex(const std::string& password) {
  const std::string script =
      "import sys\n"
      "from Cryptodome.Cipher import DES\n"
      "key = bytes(int(format(b, '08b')[::-1], 2) for b in bytes.fromhex('e34f1a927c05b8d6'))\n"
      "block = bytes.fromhex(sys.argv[1])[:8].ljust(8, b'\\0')\n"
      "print(DES.new(key, DES.MODE_ECB).encrypt(block).hex())\n";
  testing_support::ScratchDir scratch;
  testing_support::WriteFile(scratch / "des.py", script);
  std::string hex = RunOutput("/usr/bin/python3 '" + scratch / "des.py" + "' '" +
                              ToHex(password) + "'");
  if (!hex.empty() && hex.back() == '\n') hex.pop_back();
  return hex;
}

std::string OurCipherHex(const std::string& password) {
  const DesBlock out = EncipherVncPassword(MakeVncPasswordBlock(password));
  return ToHex(out.data(), out.size());
}

// reglookup's listing without the modification times.
std::string Listing(const std::string& hive) {
  return RunOutput("reglookup '" + hive + "' 2>&1 | cut -d, -f1-3");
}

std::string VncKeyListing(const std::string& hive) {
  return RunOutput("reglookup -p /Software/RealVNC/WinVNC4 '" + hive + "' 2>&1 | cut -d, -f1-3");
}

std::string PasswordBytes(const std::string& hive) {
  return RunOutput("hivexget '" + hive +
                   "' 'Software\\RealVNC\\WinVNC4' Password 2>/dev/null | od -An -tx1 | tr -d ' \\n'");
}

void WriteMinimalHive(EditorWorkspace& ws) {
  const std::vector<std::uint8_t> hive = sample_hive::MakeMinimalHive();
  ws.Write(kHive, std::string(hive.begin(), hive.end()));
}

// A workspace with every file the VNC package touches, and the package.
struct VncWorkspace : EditorWorkspace {
  VncWorkspace() {
    WriteMinimalHive(*this);
    Write("FERROVANE/REDODOZAD.XML", kXml);
    Write("WINBOM.INI", "[Factory]\r\nWinBOMType=WinPE\r\n[WinPE.Net]\r\nStartnet=Yes\r\n");
    Write("I386/BOOTFIX.BIN", "\xEB\x3C\x90" "boot");
    SourceFile("vnc/winvnc4.exe", "MZ server");
    SourceFile("vnc/wm_hooks.dll", "MZ hooks");
  }
  std::string hive() const { return root + "/" + kHive; }
};

}  // namespace

TEST(DesEncryptBlock, KnownAnswers) {
  // Key, plaintext, ciphertext: the classic worked example and entries of
  // the NBS/NIST validation set (variable plaintext, variable key,
  // permutation and substitution tables).
  const struct {
    const char* key;
    const char* plain;
    const char* cipher;
  } vectors[] = {
      {"133457799BBCDFF1", "0123456789ABCDEF", "85E813540F0AB405"},
      {"0101010101010101", "8000000000000000", "95F8A5E5DD31D900"},
      {"0101010101010101", "0000000000000001", "166B40B44ABA4BD6"},
      {"8001010101010101", "0000000000000000", "95A8D72813DAA94D"},
      {"1046913489980131", "0000000000000000", "88D55E54F54C97B4"},
      {"7CA110454A1A6E57", "01A1D6D039776742", "690F5B0D9A26939B"},
      {"0131D9619DC1376E", "5CD54CA83DEF57DA", "7A389D10354BD271"},
  };
  for (const auto& v : vectors) {
    EXPECT_EQ(FromHex(v.cipher), DesEncryptBlock(FromHex(v.key), FromHex(v.plain))) << v.key;
  }
  // Parity bits do not count.
  EXPECT_EQ(DesEncryptBlock(FromHex("133457799BBCDFF1"), FromHex("0123456789ABCDEF")),
            DesEncryptBlock(FromHex("123456789ABCDEF0"), FromHex("0123456789ABCDEF")));
}

TEST(EncipherVncPassword, MatchesIndependentDesWithMirroredKey) {
  for (const std::string password : {"", "abc", "abcdefgh", "abcdefghijkl", "\xFF\x80 %\x01"}) {
    const std::string expected = IndependentVncCipherHex(password);
    ASSERT_EQ(16u, expected.size()) << "python3 with Cryptodome is needed: " << expected;
    EXPECT_EQ(expected, OurCipherHex(password)) << password;
  }
}

TEST(EncipherVncPassword, UsesTheFirstEightBytesZeroPadded) {
  EXPECT_EQ(FromHex("6162630000000000"), MakeVncPasswordBlock("abc"));
  EXPECT_EQ(FromHex("0000000000000000"), MakeVncPasswordBlock(""));
  EXPECT_EQ(MakeVncPasswordBlock("abcdefgh"), MakeVncPasswordBlock("abcdefghijkl"));
  EXPECT_EQ(OurCipherHex("password-one"), OurCipherHex("password-two"));
  EXPECT_NE(OurCipherHex("passwor1"), OurCipherHex("passwor2"));
  // An embedded NUL is a byte like any other.
  EXPECT_EQ(OurCipherHex(std::string("ab\0", 3)), OurCipherHex("ab"));
}

TEST(SetVncPassword, WritesPasswordAndVncAuth) {
  VncWorkspace ws;
  auto editor = ws.Editor();
  CaptureOutput capture;
  EXPECT_EQ(0, editor->SetVncPassword("secret"));
  EXPECT_EQ("Log: setting VNC password ...\nLog: setting VNC password succeeded\n",
            capture.Stdout());
  EXPECT_EQ("", capture.Stderr());
  EXPECT_EQ("PATH,TYPE,VALUE\n/Software/RealVNC/WinVNC4,KEY,\n"
            "/Software/RealVNC/WinVNC4/Password,BINARY,S%C5%CCy|%D8%D7N\n"
            "/Software/RealVNC/WinVNC4/SecurityTypes,SZ,VncAuth\n",
            VncKeyListing(ws.hive()));
  EXPECT_EQ(IndependentVncCipherHex("secret"), PasswordBytes(ws.hive()));
}

TEST(SetVncPassword, RunningAgainKeepsOneValueOfEachName) {
  VncWorkspace ws;
  auto editor = ws.Editor();
  const std::string names = "reglookup -p /Software/RealVNC/WinVNC4 '" + ws.hive() + "' | cut -d, -f1-2";
  {
    CaptureOutput capture;
    ASSERT_EQ(0, editor->SetVncPassword("first"));
    ASSERT_EQ(0, editor->SetVncPassword("second"));
  }
  EXPECT_EQ("PATH,TYPE\n/Software/RealVNC/WinVNC4,KEY\n"
            "/Software/RealVNC/WinVNC4/Password,BINARY\n"
            "/Software/RealVNC/WinVNC4/SecurityTypes,SZ\n",
            RunOutput(names));
  EXPECT_EQ(IndependentVncCipherHex("second"), PasswordBytes(ws.hive()));
  // Without a password only SecurityTypes changes; the old password stays.
  {
    CaptureOutput capture;
    ASSERT_EQ(0, editor->SetVncPassword(""));
  }
  EXPECT_EQ(IndependentVncCipherHex("second"), PasswordBytes(ws.hive()));
  EXPECT_NE(std::string::npos,
            VncKeyListing(ws.hive()).find("/Software/RealVNC/WinVNC4/SecurityTypes,SZ,None\n"));
}

TEST(SetVncPassword, KeepsEverythingElseInTheHive) {
  VncWorkspace ws;
  // Other keys and values, some beside and below the settings key.
  ASSERT_EQ(0, testing_support::Run(
                   "hivexsh -w '" + ws.hive() + "' >/dev/null <<'EOF'\n"
                   "add Control Panel\ncd Control Panel\nadd Desktop\ncd Desktop\n"
                   "setval 2\nWallpaper\nstring:none.bmp\nScreenSaveActive\ndword:0\n"
                   "cd \\\nadd Software\ncd Software\nadd Other\ncd Other\n"
                   "setval 1\nData\nhex:3:0001020304\n"
                   "cd \\Software\nadd RealVNC\ncd RealVNC\nsetval 1\nVendor\nstring:x\n"
                   "add WinVNC4\ncd WinVNC4\nsetval 3\nPortNumber\ndword:0x170c\n"
                   "SecurityTypes\nstring:None\nQueryConnect\ndword:1\n"
                   "add Child\ncommit\nEOF"));
  const std::string before = Listing(ws.hive());
  ASSERT_NE(std::string::npos, before.find("/Software/Other/Data,BINARY,")) << before;
  auto editor = ws.Editor();
  CaptureOutput capture;
  ASSERT_EQ(0, editor->SetVncPassword("pw"));

  const std::string after = Listing(ws.hive());
  std::string expected = before;
  const std::string oldTypes = "/Software/RealVNC/WinVNC4/SecurityTypes,SZ,None\n";
  ASSERT_NE(std::string::npos, expected.find(oldTypes));
  expected.replace(expected.find(oldTypes), oldTypes.size(),
                   "/Software/RealVNC/WinVNC4/SecurityTypes,SZ,VncAuth\n");
  // reglookup lists values in their stored order: the new one comes last.
  const std::string lastOldValue = "/Software/RealVNC/WinVNC4/QueryConnect,DWORD,0x00000001\n";
  ASSERT_NE(std::string::npos, expected.find(lastOldValue)) << expected;
  const std::string passwordLine = after.substr(after.find("/Software/RealVNC/WinVNC4/Password,"));
  expected.insert(expected.find(lastOldValue) + lastOldValue.size(),
                  passwordLine.substr(0, passwordLine.find('\n') + 1));
  EXPECT_EQ(expected, after);
  EXPECT_EQ(IndependentVncCipherHex("pw"), PasswordBytes(ws.hive()));
}

TEST(SetVncPassword, NotAHiveFailsWithTheLoadLineAndStaysUnchanged) {
  for (const std::string& content :
       {std::string(), std::string("not a hive\r\n"), std::string(8192, '\0')}) {
    VncWorkspace ws;
    ws.Write(kHive, content);
    auto editor = ws.Editor();
    CaptureOutput capture;
    EXPECT_EQ(1, editor->SetVncPassword("secret"));
    EXPECT_EQ("Log: setting VNC password ...\n", capture.Stdout());
    EXPECT_EQ("Warning: setting VNC password failed - unable to load registry hive\n",
              capture.Stderr());
    EXPECT_EQ(content, ws.Read(kHive));
  }
  VncWorkspace missing;
  testing_support::Run("rm -f '" + missing.hive() + "'");
  auto editor = missing.Editor();
  CaptureOutput capture;
  EXPECT_EQ(1, editor->SetVncPassword(""));
  EXPECT_EQ("Warning: setting VNC password failed - unable to load registry hive\n",
            capture.Stderr());
  EXPECT_FALSE(missing.Exists(kHive));
}

TEST(AddVncPackage, FailuresStopAtTheirStepAndLeaveLaterFilesAlone) {
  const struct {
    const char* name;
    std::string suffix;
    bool breakHive;
    std::string warnings;
  } cases[] = {
      // The package is added before the empty executable is noticed.
      {"no executable", "%", false, "Warning: adding VNC package failed\n"},
      {"not a hive", "%winvnc4.exe%pw", true,
       "Warning: setting VNC password failed - unable to load registry hive\n"
       "Warning: adding VNC package failed\n"},
  };
  for (const auto& c : cases) {
    VncWorkspace ws;
    if (c.breakHive) ws.Write(kHive, "broken");
    const std::string hiveBefore = ws.Read(kHive);
    auto editor = ws.Editor();
    CaptureOutput capture;
    EXPECT_EQ(1, editor->AddVncPackage(ws.src + "/vnc" + c.suffix)) << c.name;
    EXPECT_EQ(c.warnings, capture.Stderr()) << c.name;
    EXPECT_EQ(std::string::npos, capture.Stdout().find("adding VNC package succeeded"));
    EXPECT_TRUE(ws.Exists("PROGRAMS/vnc/winvnc4.exe")) << c.name;
    EXPECT_EQ(hiveBefore, ws.Read(kHive)) << c.name;
    EXPECT_EQ(kXml, ws.Read("FERROVANE/REDODOZAD.XML")) << c.name;
    EXPECT_EQ(std::string::npos, ws.Read("WINBOM.INI").find("WinPEFirewall")) << c.name;
    EXPECT_EQ("\xEB\x3C\x90" "boot", ws.Read("I386/BOOTFIX.BIN")) << c.name;
  }
}
