// Registry hive access on Windows: the hive file is loaded into the
// registry under HKEY_LOCAL_MACHINE\<key name>, edited through the
// registry's narrow functions, and unloaded, which writes it back.
#include "platform/registry_hive.h"

#include <algorithm>
#include <system_error>

#include "platform/windows_support.h"

namespace platform {

HivePrivilege EnableHivePrivilege() {
  HANDLE token = nullptr;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token)) {
    return HivePrivilege::NoProcessToken;
  }
  // Loading a hive is documented to need the backup privilege beside the
  // restore privilege; an administrator holds both.
  struct {
    DWORD PrivilegeCount;
    LUID_AND_ATTRIBUTES Privileges[2];
  } privileges = {};
  privileges.PrivilegeCount = 2;
  if (!::LookupPrivilegeValueA(nullptr, "SeRestorePrivilege", &privileges.Privileges[0].Luid) ||
      !::LookupPrivilegeValueA(nullptr, "SeBackupPrivilege", &privileges.Privileges[1].Luid)) {
    ::CloseHandle(token);
    return HivePrivilege::NoPrivilegeValue;
  }
  privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
  privileges.Privileges[1].Attributes = SE_PRIVILEGE_ENABLED;
  const BOOL adjusted =
      ::AdjustTokenPrivileges(token, FALSE, reinterpret_cast<PTOKEN_PRIVILEGES>(&privileges),
                              sizeof privileges, nullptr, nullptr);
  ::CloseHandle(token);
  return adjusted ? HivePrivilege::Enabled : HivePrivilege::NotEnabled;
}

struct RegistryHive::Impl {
  std::string keyName;  // empty while no hive is loaded
  // Open keys by handle; slot 0 is never used, a closed key holds null.
  std::vector<HKEY> keys{nullptr};
};

RegistryHive::RegistryHive() : impl(new Impl) {}

RegistryHive::~RegistryHive() {
  for (HKEY key : impl->keys) {
    if (key != nullptr) ::RegCloseKey(key);
  }
  // A hive left loaded would stay in the system's registry until restart.
  if (!impl->keyName.empty()) ::RegUnLoadKeyA(HKEY_LOCAL_MACHINE, impl->keyName.c_str());
}

bool RegistryHive::Load(const std::string& keyName, const std::string& hivePath) {
  if (!impl->keyName.empty() || keyName.empty()) return false;
  std::string filePath = hivePath;
  std::replace(filePath.begin(), filePath.end(), '/', '\\');
  // The W function: the hive lies in the workspace, whose long form an A
  // function may cut at MAX_PATH.
  std::wstring wideKey, wideFile;
  try {
    wideKey = WidePath(keyName);
    wideFile = WidePath(filePath);
  } catch (const std::system_error&) {
    return false;
  }
  if (::RegLoadKeyW(HKEY_LOCAL_MACHINE, wideKey.c_str(), wideFile.c_str()) != ERROR_SUCCESS) {
    return false;
  }
  impl->keyName = keyName;
  return true;
}

bool RegistryHive::CreateKey(const std::string& subkey, Key& key) {
  if (impl->keyName.empty()) return false;
  std::string path = impl->keyName + "\\" + subkey;
  std::replace(path.begin(), path.end(), '/', '\\');
  HKEY handle = nullptr;
  if (::RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                        &handle, nullptr) != ERROR_SUCCESS) {
    return false;
  }
  impl->keys.push_back(handle);
  key = impl->keys.size() - 1;
  return true;
}

bool RegistryHive::SetValue(Key key, const std::string& name, std::uint32_t type,
                            const std::vector<std::uint8_t>& data) {
  if (key == 0 || key >= impl->keys.size() || impl->keys[key] == nullptr) return false;
  return ::RegSetValueExA(impl->keys[key], name.c_str(), 0, type, data.data(),
                          static_cast<DWORD>(data.size())) == ERROR_SUCCESS;
}

bool RegistryHive::GetValue(Key key, const std::string& name, std::uint32_t& type,
                            std::vector<std::uint8_t>& data) {
  if (key == 0 || key >= impl->keys.size() || impl->keys[key] == nullptr) return false;
  // The wide function gives the value as stored; the narrow one would turn
  // text into the code page.
  const std::wstring wideName(name.begin(), name.end());  // value names are ASCII
  DWORD valueType = 0, size = 0;
  if (::RegQueryValueExW(impl->keys[key], wideName.c_str(), nullptr, &valueType, nullptr,
                         &size) != ERROR_SUCCESS) {
    return false;
  }
  data.resize(size);
  if (::RegQueryValueExW(impl->keys[key], wideName.c_str(), nullptr, &valueType,
                         data.empty() ? nullptr : data.data(), &size) != ERROR_SUCCESS) {
    return false;
  }
  data.resize(size);
  type = valueType;
  return true;
}

bool RegistryHive::CloseKey(Key key) {
  if (key == 0 || key >= impl->keys.size() || impl->keys[key] == nullptr) return false;
  HKEY handle = impl->keys[key];
  impl->keys[key] = nullptr;
  return ::RegCloseKey(handle) == ERROR_SUCCESS;
}

bool RegistryHive::Unload() {
  if (impl->keyName.empty()) return false;
  const std::string keyName = impl->keyName;
  if (::RegUnLoadKeyA(HKEY_LOCAL_MACHINE, keyName.c_str()) != ERROR_SUCCESS) return false;
  impl->keyName.clear();
  return true;
}

}  // namespace platform
