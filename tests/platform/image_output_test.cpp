// New files hold the bytes written, copied and punched, holes kept; failures name file and reason.
#include "platform/image_output.h"
#include "platform/new_file.h"

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
  platform::NewFile file;
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
  void Punch(std::uint64_t at, std::uint64_t length) {
    file.PunchHole(at, length);
    Put(at, std::string(length, '\0'));
  }
  void Put(std::uint64_t at, const std::string& data) {
    if (expected.size() < at + data.size()) expected.resize(at + data.size());
    expected.replace(at, data.size(), data);
  }
};

TEST(NewFile, WritesTheBytesAskedForAndKeepsHoles) {
  ScratchDir dir;
  WriteFile(dir / "source", Random(3 * MiB, 2));
  std::ofstream sparse(dir / "sparse", std::ios::binary);  // seeks past the end leave holes
  sparse.seekp(4 * MiB) << "data";
  sparse.seekp(20 * MiB + 5) << "in-the-middle";
  sparse.seekp(64 * MiB - 1).put('\0').flush();
  const std::string big = Random(3 * MiB + 17, 1);
  // Clones (where the file system shares extents), the kernel's copy and
  // the copy through the buffer must give the same bytes.
  using platform::NewFile;
  for (const unsigned ways : {+NewFile::kAllCopyWays, +NewFile::kKernelCopy, 0u}) {
    NewFile::AllowCopyWays(ways);
    Both out;
    out.file.Create(dir / ("actual" + std::to_string(ways)));
    // Pieces of many sizes, back into what was written, runs of other files
    // starting, ending or lying wholly in holes, one buffer's worth exactly,
    // holes punched into written data, across block edges and past the end.
    out.Copy(dir / "source", 0, 3 * MiB, 0);  // the whole file
    out.Write(0, "head");  // still buffered when the next copy starts
    out.Copy(dir / "source", 2048, 2 * MiB + 1, 4);
    out.Write(40000, big);
    out.Write(100, "overwritten");
    for (std::uint64_t i = 0, at = 9 * MiB; i < 5000; at += 1 + i % 700, ++i) {
      out.Write(at, big.substr(i, 1 + i % 700));
    }
    out.Punch(9 * MiB + 1000, MiB);
    out.Copy(dir / "sparse", MiB, 40 * MiB, 12 * MiB);
    out.Copy(dir / "sparse", 1024, 4 * MiB - 1024, 52 * MiB);  // ends in a hole
    out.Write(4096 + 7, big.substr(0, MiB));
    out.Punch(2 * MiB, 2 * MiB);
    out.Punch(56 * MiB - 3, MiB);
    out.file.Close();
    EXPECT_TRUE(ReadFile(dir / ("actual" + std::to_string(ways))) == out.expected) << ways;
    // Where the system finds holes, they were skipped, not filled with
    // written zeros, and punched ones given back.
    if (kLinuxHost) {
      EXPECT_LT(AllocatedBytes(dir / ("actual" + std::to_string(ways))), 4 * MiB) << ways;
    }
  }
  NewFile::AllowCopyWays(NewFile::kAllCopyWays);
}

TEST(NewFile, FailuresNameTheFileAndTheReason) {
  ScratchDir dir;
  platform::NewFile file;
  std::uint64_t size = 0;
  EXPECT_EQ(Failure([&] { file.Create(dir / "no-such-dir/out"); }),
            "cannot create " + dir / "no-such-dir/out" + ": No such file or directory");
  // A source that ends before the run asked of it.
  WriteFile(dir / "short", std::string(5000, 's'));
  const platform::NativeFile source = platform::OpenInputFile(dir / "short", size);
  file.Create(dir / "out");
  EXPECT_EQ(Failure([&] { file.CopyFrom(source, dir / "short", 4096, 905, 0); }),
            "cannot read " + dir / "short" + ": it ended at byte 5000, before the 5001 bytes it " +
                "had when the copy began");
  platform::CloseNativeFile(source);
  file.Close();
}

}  // namespace
