// Hybrid partition tables kept valid as the image grows; UDF bridges invalidated.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "iso/system_area.h"
#include "iso/udf_bridge.h"
#include "tests/iso/memory_image.h"
#include "tests/test_support.h"

using namespace testing_support;

namespace {

constexpr char kHybridFlags[] =
    "-isohybrid-mbr /usr/lib/ISOLINUX/isohdpfx.bin -b isolinux/isolinux.bin -no-emul-boot "
    "-boot-load-size 4";

// An image of `tree` made by xorriso (or genisoimage) with `flags`.
std::string MakeImage(const ScratchDir& scratch, const std::string& tool,
                      const std::string& flags) {
  const std::string tree = scratch / "tree";
  MakeDirs(tree + "/isolinux");
  WriteFile(tree + "/isolinux/isolinux.bin", ReadFile("/usr/lib/ISOLINUX/isolinux.bin"));
  WriteFile(tree + "/a.txt", "a");
  const std::string image = scratch / "image.iso";
  const std::string command = tool == "xorriso" ? "xorriso -as mkisofs" : tool;
  EXPECT_EQ(testing_support::Run(command + " -quiet " + flags + " -o '" + image + "' '" + tree + "' >/dev/null 2>&1"),
            0);
  return image;
}

// Applies `writes` to the image grown to `sectors` sectors.
void Apply(const std::string& image, const std::vector<AreaWrite>& writes, std::uint32_t sectors) {
  std::string bytes = ReadFile(image);
  bytes.resize(std::size_t{sectors} * 2048, '\0');
  for (const AreaWrite& write : writes) {
    ASSERT_LE(write.offset + write.bytes.size(), bytes.size());
    bytes.replace(write.offset, write.bytes.size(),
                  std::string(write.bytes.begin(), write.bytes.end()));
  }
  WriteFile(image, bytes);
}

SystemAreaPatch Resize(const std::string& image, std::uint32_t oldSectors,
                       std::uint32_t newSectors) {
  FileImageSource source(image);
  return ResizeSystemArea(source, oldSectors, newSectors);
}

}  // namespace

TEST(SystemArea, Crc32IsTheOneGptUses) {
  const std::string check = "123456789";
  EXPECT_EQ(Crc32(reinterpret_cast<const std::uint8_t*>(check.data()), check.size()),
            0xCBF43926u);
}

TEST(SystemArea, HybridMbrGrowsWithItsGeometry) {
  WPE_LINUX_ONLY("the image is made by xorriso and checked by sfdisk");
  ScratchDir scratch;
  const std::string image = MakeImage(scratch, "xorriso", kHybridFlags);
  const SystemAreaPatch patch = Resize(image, 512, 5000);
  ASSERT_EQ(patch.warning, "");
  Apply(image, patch.writes, 5000);
  // The whole image from LBA 0, and the end CHS isohybrid would write with
  // 64 heads x 32 sectors: LBA 19999 = cylinder 9, head 48, sector 32.
  const std::string mbr = ReadFile(image).substr(446, 16);
  EXPECT_EQ(mbr, std::string("\x80\x00\x01\x00\x17\x30\x20\x09\0\0\0\0\x20\x4e\0\0", 16));
}

TEST(SystemArea, HybridGptMovesItsBackupToTheNewEnd) {
  WPE_LINUX_ONLY("the image is made by xorriso and checked by sgdisk");
  ScratchDir scratch;
  const std::string image =
      MakeImage(scratch, "xorriso", std::string(kHybridFlags) + " -isohybrid-gpt-basdat");
  const std::string verdict = RunOutput("sgdisk -v '" + image + "' 2>&1");
  const SystemAreaPatch patch = Resize(image, 512, 1000);
  ASSERT_EQ(patch.warning, "");
  EXPECT_EQ(patch.backupGptBytes, 63u * 512);
  Apply(image, patch.writes, 1000);
  // sgdisk checks both headers, their CRCs and the backup's place; it finds
  // only the overlaps xorriso's hybrid layout has anyway.
  EXPECT_EQ(RunOutput("sgdisk -v '" + image + "' 2>&1"), verdict);
  EXPECT_EQ(verdict.find("CRC"), std::string::npos);
  // The partition that held the ISO 9660 volume reaches the new last usable LBA.
  EXPECT_EQ(get_le64(reinterpret_cast<const std::uint8_t*>(ReadFile(image).data()) + 1024 + 40),
            3935u);
}

TEST(SystemArea, TablesThatCannotBeKeptAreClearedWithAReason) {
  WPE_LINUX_ONLY("the image is made by xorriso");
  ScratchDir scratch;
  const std::string image =
      MakeImage(scratch, "xorriso", std::string(kHybridFlags) + " -isohybrid-gpt-basdat");
  // Told that the volume ended earlier, its partitions reach past it.
  const SystemAreaPatch patch = Resize(image, 400, 1000);
  EXPECT_EQ(patch.warning,
            "the image's system area (hybrid boot record) is cleared: a partition of its GPT "
            "lies after the ISO 9660 volume; the new image boots as a CD only");
  ASSERT_EQ(patch.writes.size(), 1u);
  EXPECT_EQ(patch.writes[0].bytes, std::vector<std::uint8_t>(16 * 2048, 0));

  // Without any table there is nothing to do.
  const std::string plain = MakeImage(scratch, "xorriso", "");
  const SystemAreaPatch none = Resize(plain, 200, 1000);
  EXPECT_TRUE(none.writes.empty() && none.warning.empty());
}

TEST(UdfBridge, RecognitionAndAnchorsAreFoundAndZeroed) {
  WPE_LINUX_ONLY("the images are made by genisoimage");
  ScratchDir scratch;
  for (const bool joliet : {false, true}) {
    const std::string image = MakeImage(scratch, "genisoimage", joliet ? "-udf -J" : "-udf");
    const std::uint64_t last = ReadFile(image).size() / 2048 - 1;
    UdfBridge bridge;
    {
      FileImageSource source(image);
      bridge = FindUdfBridge(source);
    }
    ASSERT_TRUE(bridge.present);
    std::vector<std::uint64_t> sectors;
    for (const ByteRange& range : bridge.invalidate) sectors.push_back(range.offset / 2048);
    // BEA01, NSR02 and TEA01 after the terminator (and the Joliet
    // descriptor), then the anchors.
    const std::uint64_t bea = joliet ? 19 : 18;
    EXPECT_EQ(sectors, (std::vector<std::uint64_t>{bea, bea + 1, bea + 2, 256, last}));
    EXPECT_NE(bridge.warning.find(joliet ? "Windows now reads the image's Joliet names"
                                         : "Windows now reads the image's ISO 9660 names"),
              std::string::npos);

    std::vector<AreaWrite> zeros;
    for (const ByteRange& range : bridge.invalidate) {
      zeros.push_back({range.offset, std::vector<std::uint8_t>(range.length, 0)});
    }
    Apply(image, zeros, static_cast<std::uint32_t>(last + 1));
    FileImageSource after(image);
    EXPECT_FALSE(FindUdfBridge(after).present);
    EXPECT_EQ(testing_support::Run("isoinfo -i '" + image + "' -f >/dev/null 2>&1"), 0);
  }
  const std::string plain = MakeImage(scratch, "genisoimage", "");
  FileImageSource source(plain);
  EXPECT_FALSE(FindUdfBridge(source).present);
}
