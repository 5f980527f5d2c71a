// POSIX: new files private until they take attributes; FIFOs never waited on.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/new_file.h"
#include "platform/file_kind.h"
#include "platform/file_lock.h"
#include "tests/test_support.h"

namespace {

using namespace testing_support;

unsigned ModeOf(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

TEST(NewFile, IsPrivateUntilItTakesTheTargetsAttributes) {
  ScratchDir dir;
  platform::NewFile file;
  file.Create(dir / "new");
  EXPECT_EQ(ModeOf(dir / "new"), 0600u);
}

TEST(FileKindAndLock, AFifoIsToldApartAndNeverWaitedOn) {
  ScratchDir dir;
  ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);  // no writer: opening must not wait
  EXPECT_EQ(platform::KindOf(dir / "fifo"), platform::FileKind::Fifo);
  platform::FileLock lock;
  EXPECT_EQ(lock.Acquire(dir / "fifo", platform::FileLock::Mode::Exclusive),
            platform::FileLock::Result::NotRegular);
}

}  // namespace
