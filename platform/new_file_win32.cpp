// New files on Windows: CreateFileW with CREATE_NEW, which fails on any
// existing name; FILE_FLAG_OPEN_REPARSE_POINT keeps a link of that name
// from being followed. A private file gets a protected access list that
// lets only the creating user in.
#include "platform/new_file_win32.h"

#include <cerrno>
#include <memory>
#include <system_error>
#include <vector>

#include "platform/windows_support.h"

namespace platform {
namespace {

HANDLE AsHandle(NativeFile file) { return reinterpret_cast<HANDLE>(file); }

// A security descriptor granting the process's user full access and
// nobody else anything, as mode 0600 does on other systems.
class OwnerOnlySecurity {
 public:
  bool Build() {
    HANDLE token = nullptr;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
    DWORD size = 0;
    ::GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    user_.resize(size);
    const bool gotUser =
        size != 0 && ::GetTokenInformation(token, TokenUser, user_.data(), size, &size);
    ::CloseHandle(token);
    if (!gotUser) return false;
    PSID sid = reinterpret_cast<TOKEN_USER*>(user_.data())->User.Sid;
    acl_.resize(sizeof(ACL) + sizeof(ACCESS_ALLOWED_ACE) + ::GetLengthSid(sid));
    auto* acl = reinterpret_cast<PACL>(acl_.data());
    return ::InitializeAcl(acl, static_cast<DWORD>(acl_.size()), ACL_REVISION) &&
           ::AddAccessAllowedAce(acl, ACL_REVISION, FILE_ALL_ACCESS, sid) &&
           ::InitializeSecurityDescriptor(&descriptor_, SECURITY_DESCRIPTOR_REVISION) &&
           ::SetSecurityDescriptorDacl(&descriptor_, TRUE, acl, FALSE) &&
           ::SetSecurityDescriptorControl(&descriptor_, SE_DACL_PROTECTED, SE_DACL_PROTECTED);
  }
  SECURITY_ATTRIBUTES* Attributes() {
    attributes_ = {sizeof attributes_, &descriptor_, FALSE};
    return &attributes_;
  }

 private:
  std::vector<char> user_;
  std::vector<char> acl_;
  SECURITY_DESCRIPTOR descriptor_ = {};
  SECURITY_ATTRIBUTES attributes_ = {};
};

}  // namespace

bool CloseNativeFile(NativeFile file) {
  if (::CloseHandle(AsHandle(file))) return true;
  SetErrnoFromLastError();
  return false;
}

NativeFile CreateNewFile(const std::string& path, NewFileAccess access) {
  std::wstring widePath;
  try {
    widePath = WidePath(path);
  } catch (const std::system_error& e) {
    errno = e.code().value();
    return kNoFile;
  }
  const bool owner = access == NewFileAccess::Private;
  OwnerOnlySecurity security;
  if (owner && !security.Build()) {
    SetErrnoFromLastError();
    return kNoFile;
  }
  // A private file is written through a second handle (see NewFile), and
  // given attributes and flushed through this one; an ordinary one is only
  // written. Others may read and delete it
  // meanwhile, as on other systems. No DELETE right: the C runtime's own
  // opens do not share it.
  const DWORD rights = owner ? GENERIC_READ | GENERIC_WRITE | READ_CONTROL | WRITE_DAC |
                                   WRITE_OWNER
                             : GENERIC_WRITE;
  const DWORD share = owner ? FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE
                            : FILE_SHARE_READ | FILE_SHARE_DELETE;
  HANDLE file = ::CreateFileW(widePath.c_str(), rights, share,
                              owner ? security.Attributes() : nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT |
                                  (owner ? FILE_FLAG_WRITE_THROUGH : 0),
                              nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    SetErrnoFromLastError();
    return kNoFile;
  }
  return reinterpret_cast<NativeFile>(file);
}

}  // namespace platform
