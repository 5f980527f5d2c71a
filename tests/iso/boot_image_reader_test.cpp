// ISOBootImageReader on El Torito images made by genisoimage and xorriso,
// and on copies with a broken boot record or catalog.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>

#include "iso/iso_boot_image_reader.h"
#include "iso/iso_structures.h"
#include "tests/test_support.h"

using testing_support::CaptureOutput;
using testing_support::Exists;
using testing_support::MakeDirs;
using testing_support::MakeGenisoimage;
using testing_support::ReadFile;
using testing_support::ScratchDir;
using testing_support::WriteFile;

namespace {

const char kLoaded[] = "load boot image ...\nload boot image succeeded\n";
const char kInvalid[] = "load boot image ...\nload boot image failed - invalid boot CD\n";
const char kExtracted[] = "extract boot image ...\nextract boot image succeeded\n";
const char kNotLoaded[] =
    "extract boot image ...\nextract boot image failed - image hasn't been loaded\n";

std::string BootImage() {
  std::string data(2048, '\0');
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7 + 3);
  data[510] = static_cast<char>(0x55);
  data[511] = static_cast<char>(0xAA);
  return data;
}

std::size_t CatalogOffset(const std::string& image) {
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(image.data());
  return static_cast<std::size_t>(
             get_le32(bytes + kBootRecordSector * kBlockSize + boot_record::boot_catalog_sector)) *
         kBlockSize;
}

class BootImageReaderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    MakeDirs(dir / "tree/boot");
    WriteFile(dir / "tree/boot/boot.bin", BootImage());
    WriteFile(dir / "tree/README.TXT", "readme");
    ASSERT_EQ(MakeGenisoimage(dir / "tree", image, "boot/boot.bin"), 0);
  }

  // Copy of the image with `corrupt` applied.
  std::string Corrupted(const std::function<void(std::string&, std::size_t catalog)>& corrupt) {
    std::string data = ReadFile(image);
    corrupt(data, CatalogOffset(data));
    const std::string path = dir / ("copy" + std::to_string(copies++) + ".iso");
    WriteFile(path, data);
    return path;
  }

  ScratchDir dir;
  std::string image = dir / "boot.iso";
  int copies = 0;
};

TEST_F(BootImageReaderTest, ExtractsTheBootImageOfGenisoimageAndXorriso) {
  const std::string xorrisoImage = dir / "xorriso.iso";
  ASSERT_EQ(testing_support::Run("xorriso -as mkisofs -quiet -b boot/boot.bin -no-emul-boot"
                                 " -boot-load-size 4 -o '" +
                                 xorrisoImage + "' '" + dir.path() + "/tree' >/dev/null 2>&1"),
            0);
  for (const std::string& path : {image, xorrisoImage}) {
    SCOPED_TRACE(path);
    ISOBootImageReader reader(path);
    const std::string out = path + ".bin";
    CaptureOutput capture;
    EXPECT_EQ(reader.LoadBootImage(), 0);
    EXPECT_EQ(reader.ExtractBootImage(out), 0);
    EXPECT_EQ(reader.ExtractBootImage(out), 0);  // rewrites, does not append
    EXPECT_EQ(capture.Stdout(), std::string(kLoaded) + kExtracted + kExtracted);
    EXPECT_EQ(ReadFile(out), BootImage());
  }
}

TEST_F(BootImageReaderTest, ChecksOnlyTheFieldsThatMatter) {
  struct Case {
    const char* what;
    std::function<void(std::string&, std::size_t)> corrupt;
    bool valid;
  };
  const std::size_t record = kBootRecordSector * kBlockSize;
  const Case cases[] = {
      {"wrong checksum", [](std::string& d, std::size_t c) { d[c + 28] ^= 0x5A; }, true},
      {"other platform and ID string",
       [](std::string& d, std::size_t c) {
         d[c + 1] = 1;
         d[c + 4] = 'X';
       },
       true},
      {"hard disk media type", [](std::string& d, std::size_t c) { d[c + 32 + 1] = 4; }, true},
      {"text after the boot system identifier",
       [&](std::string& d, std::size_t) { d[record + 7 + 23] = 'X'; }, true},
      {"not bootable", [](std::string& d, std::size_t c) { d[c + 32] = 0x00; }, false},
      {"catalog header ID 0", [](std::string& d, std::size_t c) { d[c] = 0; }, false},
      {"first key byte", [](std::string& d, std::size_t c) { d[c + 30] = 0x54; }, false},
      {"second key byte", [](std::string& d, std::size_t c) { d[c + 31] = 0x00; }, false},
      {"boot record type 1", [&](std::string& d, std::size_t) { d[record] = 1; }, false},
      {"boot record version 2", [&](std::string& d, std::size_t) { d[record + 6] = 2; }, false},
      {"boot record CD002", [&](std::string& d, std::size_t) { d[record + 5] = '2'; }, false},
      {"boot system identifier", [&](std::string& d, std::size_t) { d[record + 7 + 22] = 'n'; },
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ISOBootImageReader reader(Corrupted(c.corrupt));
    const std::string out = dir / "out.bin";
    CaptureOutput capture;
    EXPECT_EQ(reader.LoadBootImage(), c.valid ? 0 : 1);
    EXPECT_EQ(reader.ExtractBootImage(out), c.valid ? 0 : 1);
    EXPECT_EQ(capture.Stdout(),
              c.valid ? std::string(kLoaded) + kExtracted : std::string(kInvalid) + kNotLoaded);
    EXPECT_EQ(ReadFile(out), c.valid ? BootImage() : "");
  }
}

TEST_F(BootImageReaderTest, SectorCountZeroGivesAnEmptyBootImage) {
  ISOBootImageReader reader(Corrupted([](std::string& d, std::size_t c) {
    d[c + 32 + 6] = 0;
    d[c + 32 + 7] = 0;
  }));
  const std::string out = dir / "empty.bin";
  WriteFile(out, "previous content");
  CaptureOutput capture;
  EXPECT_EQ(reader.LoadBootImage(), 0);
  EXPECT_EQ(reader.ExtractBootImage(out), 0);
  EXPECT_EQ(capture.Stdout(), std::string(kLoaded) + kExtracted);
  EXPECT_EQ(ReadFile(out), "");
}

TEST_F(BootImageReaderTest, ImageWithoutBootRecordIsNoBootCd) {
  // Sector 17 then holds the terminator: catalog and boot image positions
  // come out as 0 and the checks fail.
  MakeDirs(dir / "plain");
  WriteFile(dir / "plain/README.TXT", "readme");
  ASSERT_EQ(MakeGenisoimage(dir / "plain", dir / "plain.iso"), 0);
  ISOBootImageReader reader(dir / "plain.iso");
  CaptureOutput capture;
  EXPECT_EQ(reader.LoadBootImage(), 1);
  EXPECT_EQ(capture.Stdout(), kInvalid);
}

TEST_F(BootImageReaderTest, ReadFailuresAndExtractFailures) {
  const std::string loadFailure = "load boot image ...\nload boot image failed, IO exception: ";
  const std::string extractFailure =
      "extract boot image ...\nextract boot image failed - IO exception: ";
  const std::string cases[] = {
      dir / "missing.iso",
      Corrupted([](std::string& d, std::size_t) { d.resize(17 * 2048 + 100); }),
      Corrupted([](std::string& d, std::size_t c) { d.resize(c + 40); }),
      // Load RBA far beyond the end of the file.
      Corrupted([](std::string& d, std::size_t c) { d[c + 32 + 11] = 0x40; }),
  };
  for (const std::string& path : cases) {
    SCOPED_TRACE(path);
    ISOBootImageReader reader(path);
    CaptureOutput capture;
    EXPECT_EQ(reader.LoadBootImage(), 1);
    EXPECT_EQ(reader.ExtractBootImage(dir / "after-failure.bin"), 1);
    const std::string text = capture.Stdout();
    EXPECT_EQ(text.rfind(loadFailure, 0), 0u) << text;
    EXPECT_EQ(text.substr(text.find('\n', loadFailure.size()) + 1), kNotLoaded);
    EXPECT_TRUE(Exists(dir / "after-failure.bin"));
  }

  ISOBootImageReader reader(image);
  CaptureOutput capture;
  EXPECT_EQ(reader.ExtractBootImage(dir / "never.bin"), 1);
  EXPECT_EQ(reader.LoadBootImage(), 0);
  EXPECT_EQ(reader.ExtractBootImage(dir / "no/such/dir/boot.bin"), 1);
  const std::string text = capture.Stdout();
  EXPECT_EQ(text.rfind(std::string(kNotLoaded) + kLoaded + extractFailure, 0), 0u) << text;
  EXPECT_EQ(ReadFile(dir / "never.bin"), "");
}

TEST_F(BootImageReaderTest, FailedReloadForgetsTheEarlierBootImage) {
  const std::string path = dir / "changing.iso";
  WriteFile(path, ReadFile(image));
  ISOBootImageReader reader(path);
  CaptureOutput capture;
  ASSERT_EQ(reader.LoadBootImage(), 0);
  WriteFile(path, "not an image any more");
  EXPECT_EQ(reader.LoadBootImage(), 1);
  EXPECT_EQ(reader.ExtractBootImage(dir / "stale.bin"), 1);
  EXPECT_NE(capture.Stdout().find(kNotLoaded), std::string::npos);
}

}  // namespace
