// The image output buffer: the same bytes as a file stream for any mix of
// seeks, writes and copies from other files (sparse ones included), and
// failures that reach the caller.
#include "platform/image_output.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <random>

#include "tests/test_support.h"

namespace {

using namespace testing_support;
using CopyRun = std::function<void(const std::string&, std::uint64_t, std::uint64_t)>;
const std::uint64_t MiB = 1024 * 1024;

std::string Random(std::size_t size, unsigned seed) {
  std::string s(size, '\0');
  std::generate(s.begin(), s.end(), std::mt19937(seed));
  return s;
}

// What a writer does: seeks, pieces of many sizes, seeks back, and runs of
// other files, some starting, ending or lying wholly in holes of a sparse one.
void WriteScript(std::ostream& out, const std::string& dir, const CopyRun& copy) {
  const std::string big = Random(3 * MiB + 17, 1);
  out.write("head", 4);  // still buffered when the first copy starts
  copy(dir + "/source", 2048, 2 * MiB + 1);
  out.seekp(40000);
  out.write(big.data(), static_cast<std::streamsize>(big.size()));
  out.seekp(100);  // back into what was written
  out.write("overwritten", 11);
  out.seekp(9 * MiB);
  for (int i = 0; i < 5000; ++i) out.write(big.data() + i, 1 + i % 700);
  copy(dir + "/sparse", MiB, 40 * MiB);
  copy(dir + "/sparse", 1024, 4 * MiB - 1024);
  copy(dir + "/source", 0, 10);
  out.seekp(4096 + 7);
  out.write(big.data(), MiB);  // exactly one buffer's worth
}

TEST(ImageOutputBuffer, WritesTheSameBytesAsAFileStream) {
  ScratchDir dir;
  WriteFile(dir / "source", Random(3 * MiB, 2));
  std::ofstream sparse(dir / "sparse", std::ios::binary);  // seeks past the end leave holes
  sparse.seekp(4 * MiB) << "data";
  sparse.seekp(20 * MiB + 5) << "in-the-middle";
  sparse.seekp(64 * MiB - 1).put('\0').flush();
  std::ofstream expected(dir / "expected", std::ios::binary);
  WriteScript(expected, dir.path(), [&](const std::string& from, std::uint64_t at, std::uint64_t n) {
    expected << ReadFile(from).substr(at, n);
  });
  expected.close();

  platform::ImageOutputBuffer buffer;
  buffer.Open(dir / "actual");
  std::ostream actual(&buffer);
  actual.exceptions(std::ios::failbit | std::ios::badbit);
  WriteScript(actual, dir.path(), [&](const std::string& from, std::uint64_t at, std::uint64_t n) {
    EXPECT_TRUE(buffer.CopyFrom(from, at, n, from == dir / "source"));
  });
  buffer.Close();
  EXPECT_TRUE(ReadFile(dir / "expected") == ReadFile(dir / "actual"));
  struct stat st;  // the holes were skipped, not filled with written zeros
  EXPECT_TRUE(::stat((dir / "actual").c_str(), &st) == 0 && st.st_blocks * 512 < 24 * 1024 * 1024);
}

TEST(ImageOutputBuffer, FailuresReachTheCallerNamingTheFileAndTheReason) {
  ScratchDir dir;
  platform::ImageOutputBuffer buffer;
  std::ostream out(&buffer);
  out.exceptions(std::ios::failbit | std::ios::badbit);
  // A source it cannot copy whole is refused before anything is written.
  WriteFile(dir / "short", std::string(5000, 's'));
  buffer.Open(dir / "out");
  out.write("x", 1);
  EXPECT_FALSE(buffer.CopyFrom(dir / "absent", 0, 1, true));
  EXPECT_FALSE(buffer.CopyFrom(dir / "short", 4096, 905, true));  // one byte beyond its end
  EXPECT_TRUE(buffer.CopyFrom(dir / "short", 4096, 904, true));   // the last byte exactly
  buffer.Close();
  EXPECT_EQ(ReadFile(dir / "out"), "x" + std::string(904, 's'));
  // On a full device a buffered write fails at Close, a large one at once.
  const std::string full = "cannot write /dev/full: No space left on device";
  buffer.Open("/dev/full");
  out.write("f", 1);
  EXPECT_EQ(Failure([&] { buffer.Close(); }), full);
  buffer.Open("/dev/full");  // Close closed it all the same
  EXPECT_EQ(Failure([&] { out.write(std::string(4 * MiB, 'f').data(), 4 * MiB); }), full);
  out.clear();
  buffer.Close();
  EXPECT_EQ(Failure([&] { buffer.Open(dir / "no-such-dir/out"); }),
            "cannot open " + dir / "no-such-dir/out" + " for writing: No such file or directory");
}

TEST(ImageOutputBuffer, NeverWritesThroughAnotherName) {
  ScratchDir dir;
  WriteFile(dir / "victim", "keep me");
  ASSERT_EQ(::symlink((dir / "victim").c_str(), (dir / "link").c_str()), 0);
  ASSERT_EQ(::link((dir / "victim").c_str(), (dir / "second").c_str()), 0);
  WriteFile(dir / "old", std::string(10000, 'o'));
  platform::ImageOutputBuffer buffer;
  EXPECT_NE(Failure([&] { buffer.Open(dir / "link"); }).find("symbolic links"), std::string::npos);
  EXPECT_NE(Failure([&] { buffer.Open(dir / "second"); }).find("other names"), std::string::npos);
  EXPECT_EQ(ReadFile(dir / "victim"), "keep me");
  // A file with one name is emptied and written as before.
  buffer.Open(dir / "old");
  std::ostream(&buffer).write("new", 3);
  buffer.Close();
  EXPECT_EQ(ReadFile(dir / "old"), "new");
}

}  // namespace
