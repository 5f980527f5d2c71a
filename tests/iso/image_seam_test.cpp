// Image sources and sinks: short reads fail alike, copies agree for files and memory.
#include <gtest/gtest.h>

#include <string>

#include "tests/iso/memory_image.h"
#include "tests/test_support.h"

using namespace testing_support;

namespace {

TEST(ImageSeam, ShortReadsFailAlikeAndCopiesAgree) {
  ScratchDir dir;
  const std::string bytes = "0123456789";
  WriteFile(dir / "src", bytes);
  const ImageOrigin origins[] = {ImageOrigin(dir / "src"), InMemory(bytes, dir / "src")};
  for (const ImageOrigin& origin : origins) {
    const auto source = origin.Open();
    char buffer[4] = {};
    source->ReadAt(10, buffer, 0);  // nothing to read is never short
    EXPECT_EQ(Failure([&] { source->ReadAt(8, buffer, 3); }),
              "cannot read 3 bytes at byte 8 of " + dir / "src" +
                  " (the image is shorter or unreadable)");
    MemoryImageSink memory;
    FileImageSink file(dir / "out");
    for (ImageSink* sink : {static_cast<ImageSink*>(&memory), static_cast<ImageSink*>(&file)}) {
      sink->WriteAt(6, "ab", 2);
      sink->CopyRange(*source, 2, 3, 1);  // bytes before the first write read 0x00
      sink->Close();
    }
    const std::string expected("\0" "234\0\0ab", 8);
    EXPECT_EQ(std::string(memory.Bytes().begin(), memory.Bytes().end()), expected);
    EXPECT_EQ(ReadFile(dir / "out"), expected);
  }
  EXPECT_EQ(Failure([&] { ImageOrigin(dir / "absent").Open(); }),
            "cannot open " + dir / "absent" + " for reading: No such file or directory");
}

}  // namespace
