// What the POSIX systems add to new versions of files and to file locks:
// permission bits, owner, group and access control list, carried from the
// held file to its new version; FIFOs told apart and never waited on.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include "platform/durable_files.h"
#include "platform/file_kind.h"
#include "platform/file_lock.h"
#include "tests/test_support.h"

namespace {

using namespace testing_support;

unsigned ModeOf(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

TEST(ReplacementFile, IsPrivateUntilItTakesTheTargetsAttributes) {
  ScratchDir dir;
  platform::ReplacementFile file;
  file.Create(dir / "new");
  EXPECT_EQ(ModeOf(dir / "new"), 0600u);
}

TEST(ReplacementFile, TakesPermissionsOwnerGroupAndAccessControlList) {
  ScratchDir dir;
  platform::ReplacementFile file;
  file.Create(dir / "new");
  platform::FileAttributes attributes;
  attributes.permissions = 02640;
  const bool root = ::geteuid() == 0;
  if (root) {
    attributes.owner = 1234;
    attributes.group = 5678;
  }
  // user::rw- user:1234:r-- group::r-- mask::r-- other::---, as Linux stores it.
  const unsigned char acl[] = {2, 0, 0, 0,  1, 0, 6, 0, 0xff, 0xff, 0xff, 0xff,
                               2, 0, 4, 0, 0xd2, 4, 0, 0,    4, 0, 4, 0, 0xff, 0xff, 0xff, 0xff,
                               0x10, 0, 4, 0, 0xff, 0xff, 0xff, 0xff,
                               0x20, 0, 0, 0, 0xff, 0xff, 0xff, 0xff};
  const bool aclSupported =
      ::setxattr((dir / "new").c_str(), "system.posix_acl_access", acl, sizeof acl, 0) == 0;
  if (aclSupported) {
    ::removexattr((dir / "new").c_str(), "system.posix_acl_access");
    attributes.accessControlList.assign(reinterpret_cast<const char*>(acl), sizeof acl);
  }
  file.TakeAttributes(attributes);
  struct stat st;
  ASSERT_EQ(::stat((dir / "new").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 02640u);
  if (root) {
    EXPECT_EQ(std::make_pair(st.st_uid, st.st_gid), std::make_pair(1234u, 5678u));
  }
  if (aclSupported) {
    char copied[sizeof acl + 16];
    EXPECT_EQ(::getxattr((dir / "new").c_str(), "system.posix_acl_access", copied, sizeof copied),
              static_cast<ssize_t>(sizeof acl));
  }
}

TEST(FileLock, GivesTheHeldFilesAttributes) {
  ScratchDir dir;
  WriteFile(dir / "image", "old");
  ASSERT_EQ(::chmod((dir / "image").c_str(), 0640), 0);
  platform::FileLock lock;
  ASSERT_EQ(lock.Acquire(dir / "image", platform::FileLock::Mode::Exclusive),
            platform::FileLock::Result::Locked);
  const platform::FileAttributes attributes = lock.Attributes();
  EXPECT_EQ(attributes.permissions, 0640u);
  EXPECT_EQ(attributes.owner, static_cast<long long>(::geteuid()));
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
