// A registry hive file loaded for editing: load it under a key name,
// create keys, set values, close keys and unload it, each step failing on
// its own so that it can be reported as such.
//
// On Windows the hive goes through the registry functions: it is loaded
// under HKEY_LOCAL_MACHINE\<key name>, which needs the restore privilege
// (EnableHivePrivilege). Elsewhere the file is edited directly through
// libhivex: no privilege is needed, the key name is not used, and the
// unload is what writes the file.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace platform {

constexpr std::uint32_t kRegSz = 1;
constexpr std::uint32_t kRegBinary = 3;

// Which step of enabling the privilege failed, if one did.
enum class HivePrivilege { Enabled, NoProcessToken, NoPrivilegeValue, NotEnabled };

// Enables the privilege a process needs to load a hive (always Enabled
// where none is needed). The privilege stays enabled for the process.
HivePrivilege EnableHivePrivilege();

class RegistryHive {
 public:
  using Key = std::size_t;  // opaque key handle

  RegistryHive();
  // Releases a hive still loaded, without reporting: on Windows it is
  // unloaded, elsewhere its unsaved changes are dropped.
  ~RegistryHive();
  RegistryHive(const RegistryHive&) = delete;
  RegistryHive& operator=(const RegistryHive&) = delete;

  // Loads the hive file under the fresh key name `keyName`. False when it
  // cannot be loaded (not a hive, no privilege).
  bool Load(const std::string& keyName, const std::string& hivePath);
  // Opens or creates the key `subkey` ("A\B\C", relative to the hive's root).
  bool CreateKey(const std::string& subkey, Key& key);
  // Sets one value, with data as the registry's narrow functions take it:
  // REG_SZ as the text (UTF-8) with its terminating NUL, which the
  // registry stores as UTF-16LE; other types byte for byte.
  bool SetValue(Key key, const std::string& name, std::uint32_t type,
                const std::vector<std::uint8_t>& data);
  // Reads one value as stored (REG_SZ as UTF-16LE). False when the key has
  // no value of that name, or on an error.
  bool GetValue(Key key, const std::string& name, std::uint32_t& type,
                std::vector<std::uint8_t>& data);
  bool CloseKey(Key key);
  // Unloads the hive; its file then holds every change. Elsewhere than on
  // Windows the file is written back (atomically) only when a key was
  // created or a value set: a hive that was only read keeps its file as it
  // was, byte for byte. (The Windows registry itself may touch the file of
  // a hive it loaded.)
  bool Unload();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl;
};

// The REG_SZ argument for a text: its bytes and the terminating NUL.
std::vector<std::uint8_t> RegSzArgument(const std::string& text);

// The text as the registry stores a REG_SZ value: UTF-16LE plus NUL.
std::vector<std::uint8_t> RegSzData(const std::string& text);

// What the registry keeps for a SetValue argument: REG_SZ text as
// UTF-16LE (its NUL included when given), other types as they are.
std::vector<std::uint8_t> StoredValue(std::uint32_t type, const std::vector<std::uint8_t>& argument);

}  // namespace platform
