// The hive layer over libhivex, checked with independent readers
// (reglookup, hivexget) on hives built by the sample-CD maker's writer.
#include "platform/registry_hive.h"

#include <gtest/gtest.h>
#include <hivex.h>
#include <sys/stat.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "tests/test_support.h"
#include "tools/minimal_hive.h"

namespace {

using platform::RegistryHive;
using testing_support::ReadFile;
using testing_support::RunOutput;
using testing_support::ScratchDir;

std::string Bytes(const std::vector<std::uint8_t>& data) {
  return std::string(data.begin(), data.end());
}

std::string WriteMinimalHive(const ScratchDir& scratch, const std::string& name = "DEFAULT") {
  const std::string path = scratch / name;
  testing_support::WriteFile(path, Bytes(sample_hive::MakeMinimalHive()));
  return path;
}

// The stored bytes and type of one value, read with libhivex's reading
// side ("" when absent).
std::string RawValue(const std::string& path, const std::string& keyPath, const std::string& name,
                     std::uint32_t& type) {
  hive_h* hive = hivex_open(path.c_str(), 0);
  if (hive == nullptr) return "";
  hive_node_h node = hivex_root(hive);
  std::string rest = keyPath + "\\";
  for (std::size_t slash; node != 0 && (slash = rest.find('\\')) != std::string::npos;
       rest.erase(0, slash + 1)) {
    node = hivex_node_get_child(hive, node, rest.substr(0, slash).c_str());
  }
  std::string data;
  const hive_value_h value = node != 0 ? hivex_node_get_value(hive, node, name.c_str()) : 0;
  if (value != 0) {
    hive_type t;
    std::size_t length = 0;
    char* bytes = hivex_value_value(hive, value, &t, &length);
    if (bytes != nullptr) data.assign(bytes, length);
    std::free(bytes);
    type = static_cast<std::uint32_t>(t);
  }
  hivex_close(hive);
  return data;
}

std::string Reglookup(const std::string& hive) {
  return RunOutput("reglookup '" + hive + "' 2>&1");
}

TEST(RegSzData, IsUtf16LittleEndianWithTerminatingNul) {
  EXPECT_EQ(std::string("V\0n\0c\0A\0u\0t\0h\0\0\0", 16), Bytes(platform::RegSzData("VncAuth")));
  EXPECT_EQ(std::string("N\0o\0n\0e\0\0\0", 10), Bytes(platform::RegSzData("None")));
  EXPECT_EQ(std::string("\0\0", 2), Bytes(platform::RegSzData("")));
  // UTF-8 is decoded; a character outside the BMP becomes a surrogate pair.
  EXPECT_EQ(std::string("\xE9\0\0\0", 4), Bytes(platform::RegSzData("\xC3\xA9")));
  EXPECT_EQ(std::string("\x3D\xD8\x00\xDE\0\0", 6), Bytes(platform::RegSzData("\xF0\x9F\x98\x80")));
  // A byte that starts no valid sequence stands for itself.
  EXPECT_EQ(std::string("\xFF\0a\0\xC3\0\0\0", 8), Bytes(platform::RegSzData("\xFF" "a\xC3")));
}

TEST(RegistryHive, LoadRefusesWhatIsNotAHiveAndLeavesItUnchanged) {
  ScratchDir scratch;
  std::string validHive = ReadFile(WriteMinimalHive(scratch, "valid"));
  std::string badChecksum = validHive;
  badChecksum[0x1FC] ^= 0x01;
  const struct {
    const char* name;
    std::string content;
  } cases[] = {
      {"empty", ""},
      {"text", "this is not a registry hive\r\n"},
      {"truncated base block", validHive.substr(0, 4096)},
      {"bad checksum", badChecksum},
  };
  for (const auto& c : cases) {
    const std::string path = scratch / "hive";
    testing_support::WriteFile(path, c.content);
    RegistryHive hive;
    EXPECT_FALSE(hive.Load(path)) << c.name;
    EXPECT_EQ(c.content, ReadFile(path)) << c.name;
    EXPECT_FALSE(hive.Unload()) << c.name;
  }
  RegistryHive hive;
  EXPECT_FALSE(hive.Load(scratch / "missing"));
}

TEST(RegistryHive, CreatesKeysAndValuesThatReadBack) {
  ScratchDir scratch;
  const std::string path = WriteMinimalHive(scratch);
  {
    RegistryHive hive;
    ASSERT_TRUE(hive.Load(path));
    RegistryHive::Key parent = 0, key = 0;
    ASSERT_TRUE(hive.CreateKey("Software\\RealVNC", parent));
    ASSERT_TRUE(hive.CreateKey("Software\\RealVNC\\WinVNC4", key));
    EXPECT_NE(0u, parent);
    EXPECT_NE(parent, key);
    ASSERT_TRUE(hive.SetValue(key, "Password", platform::kRegBinary,
                              {0x53, 0xC5, 0xCC, 0x79, 0x7C, 0xD8, 0xD7, 0x4E}));
    ASSERT_TRUE(hive.SetValue(key, "SecurityTypes", platform::kRegSz,
                              platform::RegSzData("VncAuth")));
    EXPECT_TRUE(hive.CloseKey(key));
    EXPECT_TRUE(hive.CloseKey(parent));
    EXPECT_TRUE(hive.Unload());
  }
  const std::string listing = Reglookup(path);
  EXPECT_NE(std::string::npos, listing.find("/Software/RealVNC/WinVNC4/SecurityTypes,SZ,VncAuth,"))
      << listing;
  EXPECT_NE(std::string::npos,
            listing.find("/Software/RealVNC/WinVNC4/Password,BINARY,S%C5%CCy|%D8%D7N,"))
      << listing;
  EXPECT_EQ("53 c5 cc 79 7c d8 d7 4e\n",
            RunOutput("hivexget '" + path +
                      "' 'Software\\RealVNC\\WinVNC4' Password | od -An -tx1 | sed 's/^ //'"));
  // The stored REG_SZ bytes, type 1, with the terminating NUL.
  std::uint32_t type = 0;
  EXPECT_EQ(std::string("V\0n\0c\0A\0u\0t\0h\0\0\0", 16),
            RawValue(path, "Software\\RealVNC\\WinVNC4", "SecurityTypes", type));
  EXPECT_EQ(platform::kRegSz, type);
  // No temporary file is left beside the hive.
  EXPECT_EQ("DEFAULT\n", RunOutput("ls '" + scratch.path() + "'"));
}

TEST(RegistryHive, UnloadWithoutWritingLeavesTheFileAsItWas) {
  ScratchDir scratch;
  const std::string path = WriteMinimalHive(scratch);
  ::chmod(path.c_str(), 0644);
  const std::string before = ReadFile(path);
  {
    RegistryHive hive;  // closed by its destructor without a commit
    ASSERT_TRUE(hive.Load(path));
    RegistryHive::Key key = 0;
    ASSERT_TRUE(hive.CreateKey("Software\\Dropped", key));
  }
  EXPECT_EQ(before, ReadFile(path));

  RegistryHive hive;
  ASSERT_TRUE(hive.Load(path));
  ASSERT_TRUE(hive.Unload());
  struct stat status;
  ASSERT_EQ(0, ::stat(path.c_str(), &status));
  EXPECT_EQ(0644u, status.st_mode & 07777u);  // the rename kept the permissions
}

TEST(RegistryHive, UnloadFailsWhenTheHiveCannotBeWrittenBack) {
  ScratchDir scratch;
  testing_support::MakeDirs(scratch / "dir");
  const std::string path = scratch / "dir/DEFAULT";
  testing_support::WriteFile(path, Bytes(sample_hive::MakeMinimalHive()));
  RegistryHive hive;
  ASSERT_TRUE(hive.Load(path));
  // The directory disappears: no file beside the hive can be made.
  ASSERT_EQ(0, testing_support::Run("rm -rf '" + scratch.path() + "/dir'"));
  EXPECT_FALSE(hive.Unload());
  EXPECT_FALSE(hive.Unload());  // the handle is gone either way
}

}  // namespace
