// Offline access to a registry hive file: open it, create keys below its
// root, set values exactly as the registry stores them, and write it back.
//
// The steps mirror loading a hive into the registry, creating keys, setting
// values, closing keys and unloading the hive, so that each can fail on its
// own and be reported as such.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace platform {

constexpr std::uint32_t kRegSz = 1;
constexpr std::uint32_t kRegBinary = 3;

// True where a process must enable a privilege before it may load a hive.
bool HivePrivilegesNeeded();

class RegistryHive {
 public:
  using Key = std::size_t;  // opaque key handle; 0 is the hive's root

  RegistryHive();
  ~RegistryHive();
  RegistryHive(const RegistryHive&) = delete;
  RegistryHive& operator=(const RegistryHive&) = delete;

  // "Load": opens the hive file for writing. False when it is not a hive.
  bool Load(const std::string& hivePath);
  // Opens or creates the key `subkey` ("A\B\C", relative to the root).
  bool CreateKey(const std::string& subkey, Key& key);
  // Sets one value; data is stored as given (REG_SZ callers pass UTF-16LE
  // with its terminating NUL).
  bool SetValue(Key key, const std::string& name, std::uint32_t type,
                const std::vector<std::uint8_t>& data);
  // Reads one value as stored. False when the key has no value of that
  // name, or on an error.
  bool GetValue(Key key, const std::string& name, std::uint32_t& type,
                std::vector<std::uint8_t>& data);
  bool CloseKey(Key key);
  // "Unload": writes the hive back to its file (atomically) when a key was
  // created or a value set, and closes it. A hive that was only read keeps
  // its file as it was, byte for byte.
  bool Unload();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl;
};

// The text as the registry stores a REG_SZ value: UTF-16LE plus NUL.
std::vector<std::uint8_t> RegSzData(const std::string& text);

}  // namespace platform
