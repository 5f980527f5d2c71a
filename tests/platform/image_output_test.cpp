// The image output buffer: the same bytes as a file stream for any mix of
// seeks and writes, copies of runs of another file, sparse sources,
// and the refusals that leave the caller its ordinary road.
#include "platform/image_output.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <ostream>
#include <random>
#include <string>

#include "tests/test_support.h"

namespace {

using testing_support::ReadFile;
using testing_support::ScratchDir;
using testing_support::WriteFile;

std::string Pattern(std::size_t size, unsigned seed) {
  std::mt19937 rng(seed);
  std::string s(size, '\0');
  for (auto& c : s) c = static_cast<char>(rng());
  return s;
}

// Writes with one stream what a writer does: seek, write pieces of many
// sizes, seek back, write again; the expected file comes from std::ofstream.
template <typename Stream>
void WriteScript(Stream& out) {
  const std::string big = Pattern(3 * 1024 * 1024 + 17, 1);
  out.seekp(0);
  out.write(Pattern(2048, 2).data(), 2048);
  out.seekp(40000);
  out.write("abc", 3);
  out.put('x');
  out.write(big.data(), static_cast<std::streamsize>(big.size()));
  out.seekp(100);  // back into what was written
  out.write("overwritten", 11);
  out.seekp(5 * 1024 * 1024);
  for (int i = 0; i < 5000; ++i) out.write(big.data() + i, 1 + i % 700);
  out.seekp(4096 + 7);
  out.write(big.data(), 1024 * 1024);  // exactly one buffer's worth
}

TEST(ImageOutputBuffer, WritesTheSameBytesAsAFileStream) {
  ScratchDir dir;
  {
    std::ofstream expected(dir / "expected", std::ios::binary | std::ios::trunc);
    WriteScript(expected);
  }
  platform::ImageOutputBuffer buffer;
  ASSERT_TRUE(buffer.Open(dir / "actual"));
  {
    std::ostream actual(&buffer);
    actual.exceptions(std::ios::failbit | std::ios::badbit);
    WriteScript(actual);
    EXPECT_EQ(actual.tellp(), std::streampos(4096 + 7 + 1024 * 1024));
  }
  ASSERT_TRUE(buffer.Close());
  EXPECT_TRUE(ReadFile(dir / "expected") == ReadFile(dir / "actual"));
}

TEST(ImageOutputBuffer, OpenFailsWhereNoFileCanBeMade) {
  ScratchDir dir;
  platform::ImageOutputBuffer buffer;
  EXPECT_FALSE(buffer.Open(dir / "missing/out.iso"));
  EXPECT_FALSE(buffer.Close());
}

TEST(ImageOutputBuffer, CopiesRunsOfAnotherFileAtTheCurrentPosition) {
  ScratchDir dir;
  const std::string source = Pattern(5 * 1024 * 1024 + 333, 3);
  WriteFile(dir / "source", source);
  WriteFile(dir / "other", "0123456789");
  platform::ImageOutputBuffer buffer;
  ASSERT_TRUE(buffer.Open(dir / "out"));
  std::ostream out(&buffer);
  out.exceptions(std::ios::failbit | std::ios::badbit);
  out.write("head", 4);  // still buffered when the copy starts
  ASSERT_TRUE(buffer.CopyFrom(dir / "source", 2048, 4 * 1024 * 1024 + 1, true));
  out.write("mid", 3);
  ASSERT_TRUE(buffer.CopyFrom(dir / "other", 3, 4, false));
  ASSERT_TRUE(buffer.CopyFrom(dir / "source", 0, 10, true));  // the kept source again
  out.seekp(1);
  out.write("E", 1);
  ASSERT_TRUE(buffer.Close());

  const std::string expected = "hEad" + source.substr(2048, 4 * 1024 * 1024 + 1) + "mid" +
                               "3456" + source.substr(0, 10);
  EXPECT_TRUE(ReadFile(dir / "out") == expected);
}

TEST(ImageOutputBuffer, RefusesSourcesItCannotCopyWholeAndWritesNothing) {
  ScratchDir dir;
  WriteFile(dir / "short", std::string(5000, 's'));
  platform::ImageOutputBuffer buffer;
  ASSERT_TRUE(buffer.Open(dir / "out"));
  std::ostream out(&buffer);
  out.write("x", 1);
  EXPECT_FALSE(buffer.CopyFrom(dir / "absent", 0, 1, true));
  EXPECT_FALSE(buffer.CopyFrom(dir / "short", 4096, 905, true));  // one byte beyond its end
  EXPECT_FALSE(buffer.CopyFrom(dir / "short", 6144, 1, false));   // starts beyond its end
  EXPECT_FALSE(buffer.CopyFrom(dir.path(), 0, 1, false));         // not a file
  EXPECT_TRUE(buffer.CopyFrom(dir / "short", 4096, 904, true));   // the last byte exactly
  ASSERT_TRUE(buffer.Close());
  EXPECT_EQ(ReadFile(dir / "out"), "x" + std::string(904, 's'));
}

TEST(ImageOutputBuffer, HolesOfASparseSourceReadBackAsZerosUpToTheRunsEnd) {
  ScratchDir dir;
  const std::string sourcePath = dir / "sparse";
  const std::uint64_t size = 64ull * 1024 * 1024;
  {
    int fd = ::open(sourcePath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::ftruncate(fd, static_cast<off_t>(size)), 0);
    ASSERT_EQ(::pwrite(fd, "data-in-the-middle", 18, 20 * 1024 * 1024 + 5), 18);
    ::close(fd);
  }
  platform::ImageOutputBuffer buffer;
  ASSERT_TRUE(buffer.Open(dir / "out"));
  std::ostream out(&buffer);
  out.seekp(2048);
  // The run starts and ends inside holes of the source.
  ASSERT_TRUE(buffer.CopyFrom(sourcePath, 1024 * 1024, 40 * 1024 * 1024, true));
  ASSERT_TRUE(buffer.Close());

  const std::string actual = ReadFile(dir / "out");
  std::string expected(2048 + 40 * 1024 * 1024, '\0');
  expected.replace(2048 + 19 * 1024 * 1024 + 5, 18, "data-in-the-middle");
  EXPECT_EQ(actual.size(), expected.size());
  EXPECT_TRUE(actual == expected);
  // The holes were skipped, not filled with written zeros.
  struct stat st;
  ASSERT_EQ(::stat((dir / "out").c_str(), &st), 0);
  EXPECT_LT(static_cast<std::uint64_t>(st.st_blocks) * 512, 8u * 1024 * 1024);
}

TEST(ImageOutputBuffer, ARunOfHoleEndingWhereDataBeginsStillReachesItsEnd) {
  ScratchDir dir;
  const std::string sourcePath = dir / "sparse";
  const off_t dataAt = 4 * 1024 * 1024;
  {
    int fd = ::open(sourcePath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::pwrite(fd, "data", 4, dataAt), 4);
    ::close(fd);
  }
  platform::ImageOutputBuffer buffer;
  ASSERT_TRUE(buffer.Open(dir / "out"));
  std::ostream out(&buffer);
  out.write("x", 1);
  ASSERT_TRUE(buffer.CopyFrom(sourcePath, 1024, static_cast<std::uint64_t>(dataAt) - 1024, true));
  ASSERT_TRUE(buffer.Close());
  EXPECT_TRUE(ReadFile(dir / "out") == "x" + std::string(static_cast<std::size_t>(dataAt) - 1024, '\0'));
}

}  // namespace
