// Windows: security descriptors carried to new files, device paths and reserved names.
#include <windows.h>

#include <aclapi.h>
#include <gtest/gtest.h>
#include <sddl.h>

#include <algorithm>

#include "platform/new_file.h"
#include "platform/file_kind.h"
#include "platform/file_lock.h"
#include "tests/test_support.h"

namespace {

using namespace testing_support;
using platform::FileKind;

std::wstring Wide(std::string path) {
  std::replace(path.begin(), path.end(), '/', '\\');
  return std::wstring(path.begin(), path.end());  // scratch paths are ASCII
}

// The access list of `path` in the system's text form ("D:P(A;;FA;;;WD)").
std::string AccessList(const std::string& path) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  PACL list = nullptr;
  if (::GetNamedSecurityInfoW(Wide(path).c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION,
                              nullptr, nullptr, &list, nullptr, &descriptor) != ERROR_SUCCESS) {
    return "unreadable";
  }
  LPSTR text = nullptr;
  std::string result = "unconvertible";
  if (::ConvertSecurityDescriptorToStringSecurityDescriptorA(
          descriptor, SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &text, nullptr)) {
    result = text;
    ::LocalFree(text);
  }
  ::LocalFree(descriptor);
  return result;
}

bool SetAccessList(const std::string& path, const char* text) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!::ConvertStringSecurityDescriptorToSecurityDescriptorA(text, SDDL_REVISION_1, &descriptor,
                                                              nullptr)) {
    return false;
  }
  BOOL present = FALSE, defaulted = FALSE;
  PACL list = nullptr;
  ::GetSecurityDescriptorDacl(descriptor, &present, &list, &defaulted);
  std::wstring wide = Wide(path);
  const DWORD error = ::SetNamedSecurityInfoW(
      &wide[0], SE_FILE_OBJECT, DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
      nullptr, nullptr, list, nullptr);
  ::LocalFree(descriptor);
  return error == ERROR_SUCCESS;
}

TEST(NewFile, TakesTheHeldFilesSecurityDescriptor) {
  ScratchDir dir;
  WriteFile(dir / "image", "old");
  // Everyone may read and write the image; the new file starts private.
  ASSERT_TRUE(SetAccessList(dir / "image", "D:P(A;;FA;;;WD)"));
  platform::FileLock lock;
  ASSERT_EQ(lock.Acquire(dir / "image", platform::FileLock::Mode::Exclusive),
            platform::FileLock::Result::Locked);
  platform::NewFile file;
  file.Create(dir / "new");
  const std::string image = AccessList(dir / "image");
  const std::string before = AccessList(dir / "new");
  // Wine keeps no access lists of its own: it shows the Unix permission
  // bits as one, which still tell a private file from a shared one.
  EXPECT_NE(before, image);
  EXPECT_EQ(before.find("WD"), std::string::npos) << before;
  file.TakeAttributes(lock.Attributes());
  EXPECT_EQ(AccessList(dir / "new"), image);
}

TEST(FileKind, DevicePathsAndReservedNamesAreDevices) {
  ScratchDir dir;
  WriteFile(dir / "file", "x");
  std::string verbatim = "\\\\?\\" + dir / "file";
  std::replace(verbatim.begin(), verbatim.end(), '/', '\\');
  const struct {
    std::string path;
    FileKind kind;
  } cases[] = {
      {"\\\\.\\COM1", FileKind::Device},         {"//./PhysicalDrive0", FileKind::Device},
      {"\\\\?\\GLOBALROOT\\Device", FileKind::Device}, {"\\\\.\\pipe\\wpe-test", FileKind::Fifo},
      {"NUL", FileKind::Device},                 {dir / "nul.txt", FileKind::Device},
      {verbatim, FileKind::Regular},
  };
  for (const auto& c : cases) EXPECT_EQ(platform::KindOf(c.path), c.kind) << c.path;
  platform::FileLock lock;
  EXPECT_EQ(lock.Acquire("\\\\.\\pipe\\wpe-test", platform::FileLock::Mode::Shared),
            platform::FileLock::Result::NotRegular);
}

}  // namespace
