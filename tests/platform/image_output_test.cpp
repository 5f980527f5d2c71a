// The image output file: the same bytes as an emulation in memory for any
// mix of positioned writes and copies from other files (sparse ones
// included), holes kept, and failures that name the file and the reason.
#include "platform/image_output.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <random>

#include "tests/test_support.h"

namespace {

using namespace testing_support;
const std::uint64_t MiB = 1024 * 1024;

std::string Random(std::size_t size, unsigned seed) {
  std::string s(size, '\0');
  std::generate(s.begin(), s.end(), std::mt19937(seed));
  return s;
}

// The output file and what it must hold, side by side.
struct Both {
  platform::ImageOutputFile file;
  std::string expected;

  void Write(std::uint64_t at, const std::string& data) {
    file.WriteAt(at, data.data(), data.size());
    Put(at, data);
  }
  void Copy(const std::string& path, std::uint64_t from, std::uint64_t length, std::uint64_t at) {
    std::uint64_t size = 0;
    const platform::NativeFile source = platform::OpenInputFile(path, size);
    file.CopyFrom(source, path, from, length, at);
    platform::CloseNativeFile(source);
    Put(at, ReadFile(path).substr(from, length));
  }
  void Put(std::uint64_t at, const std::string& data) {
    if (expected.size() < at + data.size()) expected.resize(at + data.size());
    expected.replace(at, data.size(), data);
  }
};

TEST(ImageOutputFile, WritesTheBytesAskedForAndKeepsHoles) {
  ScratchDir dir;
  WriteFile(dir / "source", Random(3 * MiB, 2));
  std::ofstream sparse(dir / "sparse", std::ios::binary);  // seeks past the end leave holes
  sparse.seekp(4 * MiB) << "data";
  sparse.seekp(20 * MiB + 5) << "in-the-middle";
  sparse.seekp(64 * MiB - 1).put('\0').flush();
  const std::string big = Random(3 * MiB + 17, 1);
  Both out;
  out.file.Open(dir / "actual");
  // Pieces of many sizes, back into what was written, runs of other files
  // starting, ending or lying wholly in holes, one buffer's worth exactly.
  out.Write(0, "head");  // still buffered when the first copy starts
  out.Copy(dir / "source", 2048, 2 * MiB + 1, 4);
  out.Write(40000, big);
  out.Write(100, "overwritten");
  for (std::uint64_t i = 0, at = 9 * MiB; i < 5000; at += 1 + i % 700, ++i) {
    out.Write(at, big.substr(i, 1 + i % 700));
  }
  out.Copy(dir / "sparse", MiB, 40 * MiB, 12 * MiB);
  out.Copy(dir / "sparse", 1024, 4 * MiB - 1024, 52 * MiB);  // ends in a hole
  out.Write(4096 + 7, big.substr(0, MiB));
  out.file.Close();
  EXPECT_TRUE(ReadFile(dir / "actual") == out.expected);
  // Where the system finds holes, they were skipped, not filled with
  // written zeros.
  if (kLinuxHost) {
    EXPECT_LT(AllocatedBytes(dir / "actual"), 24 * MiB);
  }
}

TEST(ImageOutputFile, FailuresNameTheFileAndTheReason) {
  ScratchDir dir;
  platform::ImageOutputFile file;
  std::uint64_t size = 0;
  EXPECT_EQ(Failure([&] { platform::OpenInputFile(dir / "absent", size); }),
            "cannot open " + dir / "absent" + " for reading: No such file or directory");
  EXPECT_EQ(Failure([&] { file.Open(dir / "no-such-dir/out"); }),
            "cannot open " + dir / "no-such-dir/out" + " for writing: No such file or directory");
  // A source that ends before the run asked of it.
  WriteFile(dir / "short", std::string(5000, 's'));
  const platform::NativeFile source = platform::OpenInputFile(dir / "short", size);
  file.Open(dir / "out");
  EXPECT_EQ(Failure([&] { file.CopyFrom(source, dir / "short", 4096, 905, 0); }),
            "cannot read " + dir / "short" + ": it ended at byte 5000, before the 5001 bytes it " +
                "had when the copy began");
  platform::CloseNativeFile(source);
  file.Close();
}

TEST(ImageOutputFile, AFullDeviceFailsTheWrite) {
  WPE_LINUX_ONLY("needs /dev/full");
  platform::ImageOutputFile file;
  // A buffered write fails at Close, a large one at once.
  const std::string full = "cannot write /dev/full: No space left on device";
  file.Open("/dev/full");
  file.WriteAt(0, "f", 1);
  EXPECT_EQ(Failure([&] { file.Close(); }), full);
  file.Open("/dev/full");  // Close closed it all the same
  const std::string large(4 * MiB, 'f');
  EXPECT_EQ(Failure([&] { file.WriteAt(0, large.data(), large.size()); }), full);
  file.Close();
}

TEST(ImageOutputFile, NeverWritesThroughAnotherName) {
  ScratchDir dir;
  WriteFile(dir / "victim", "keep me");
  ASSERT_TRUE(MakeHardLink(dir / "victim", dir / "second"));
  WriteFile(dir / "old", std::string(10000, 'o'));
  platform::ImageOutputFile file;
  EXPECT_NE(Failure([&] { file.Open(dir / "second"); }).find("other names"), std::string::npos);
  if (MakeSymbolicLink(dir / "victim", dir / "link")) {
    EXPECT_NE(Failure([&] { file.Open(dir / "link"); }).find("symbolic link"), std::string::npos);
  }
  EXPECT_EQ(ReadFile(dir / "victim"), "keep me");
  // A file with one name is emptied and written as before.
  file.Open(dir / "old");
  file.WriteAt(0, "new", 3);
  file.Close();
  EXPECT_EQ(ReadFile(dir / "old"), "new");
}

}  // namespace
