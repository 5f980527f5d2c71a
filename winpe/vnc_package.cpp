// The VNC server package: placed under "\PROGRAMS", started at boot, with
// the firewall off and the boot prompt removed, and its settings written
// into the WinPE default user hive ("Password", DES-enciphered, and
// "SecurityTypes" under Software\RealVNC\WinVNC4).
#include <cstdlib>
#include <exception>
#include <vector>

#include "common/console.h"
#include "platform/registry_hive.h"
#include "platform/temp_name.h"
#include "winpe/option_values.h"
#include "winpe/vnc_cipher.h"
#include "winpe/winpe_editor.h"
#include "winpe/winpe_files.h"

namespace {

const char kPackageFailed[] = "adding VNC package failed";
const char kNoTokenFailed[] = "setting VNC password failed - unable to get process token";
const char kNoPrivilegeValueFailed[] =
    "setting VNC password failed - unable to look up privilege value";
const char kPrivilegeFailed[] = "setting VNC password failed - unable to enable privilege";
const char kLoadFailed[] = "setting VNC password failed - unable to load registry hive";
const char kCreateKeyFailed[] = "setting VNC password failed - unable to create registry key";
// Both texts are fixed; the first one really ends in "valuen".
const char kPasswordValueFailed[] =
    "setting VNC password failed - unable to set registry key valuen";
const char kSecurityTypesValueFailed[] =
    "setting VNC password failed - unable to set registry key value";
// The dash of the two continuation lines stands under the dash of
// "setting VNC password failed - ...".
const char kCloseFailedAfterFailure[] = "                            - unable to close registry key";
const char kUnloadFailedAfterFailure[] = "                            - unable to unload registry key";
const char kCloseFailedAfterSuccess[] = "setting VNC password error - unable to close registry key";

const char kSettingsParentKey[] = "Software\\RealVNC";
const char kSettingsKey[] = "Software\\RealVNC\\WinVNC4";

// Closes the keys (innermost first) and unloads the hive after a failure,
// reporting each step that fails.
void ReleaseAfterFailure(platform::RegistryHive& hive,
                         const std::vector<platform::RegistryHive::Key>& keys) {
  for (auto key = keys.rbegin(); key != keys.rend(); ++key) {
    if (!hive.CloseKey(*key)) Warning("%s", kCloseFailedAfterFailure);
  }
  if (!hive.Unload()) Warning("%s", kUnloadFailedAfterFailure);
}

// K, the fresh key name the hive is loaded under: a formed temporary
// name without its leading separator ("WPE" + hex + ".TMP").
bool FormHiveKeyName(std::string& keyName) {
  std::string formedName;
  const auto longEnough = [](const std::string& name) { return name.size() >= 2; };
  if (!platform::FreeTempName("", "WPE", longEnough, formedName)) {
    Warning("can not generate random temporary directory name");
    return false;
  }
  keyName = formedName.substr(1);
  return true;
}

// Enables the privilege that loading the hive needs; false, with the
// failed step's line, when it cannot.
bool EnableHivePrivilege() {
  switch (platform::EnableHivePrivilege()) {
    case platform::HivePrivilege::Enabled:
      return true;
    case platform::HivePrivilege::NoProcessToken:
      Warning("%s", kNoTokenFailed);
      return false;
    case platform::HivePrivilege::NoPrivilegeValue:
      Warning("%s", kNoPrivilegeValueFailed);
      return false;
    case platform::HivePrivilege::NotEnabled:
      break;
  }
  Warning("%s", kPrivilegeFailed);
  return false;
}

// Sets a value unless it already holds exactly this, so that a second run
// of the same command leaves the hive file as the first one made it.
// `argument` as SetValue takes it.
bool SetChangedValue(platform::RegistryHive& hive, platform::RegistryHive::Key key,
                     const char* name, std::uint32_t type,
                     const std::vector<std::uint8_t>& argument) {
  std::uint32_t storedType = 0;
  std::vector<std::uint8_t> stored;
  if (hive.GetValue(key, name, storedType, stored) && storedType == type &&
      stored == platform::StoredValue(type, argument)) {
    return true;
  }
  return hive.SetValue(key, name, type, argument);
}

// "Password" (with a password) and "SecurityTypes". Returns the failure
// line of the value that could not be set, or nullptr.
const char* WriteVncSettings(platform::RegistryHive& hive, platform::RegistryHive::Key key,
                             const std::string& password) {
  if (password.empty()) {
    return SetChangedValue(hive, key, "SecurityTypes", platform::kRegSz,
                           platform::RegSzArgument("None"))
               ? nullptr
               : kSecurityTypesValueFailed;
  }
  const DesBlock enciphered = EncipherVncPassword(MakeVncPasswordBlock(password));
  if (!SetChangedValue(hive, key, "Password", platform::kRegBinary,
                       std::vector<std::uint8_t>(enciphered.begin(), enciphered.end()))) {
    return kPasswordValueFailed;
  }
  return SetChangedValue(hive, key, "SecurityTypes", platform::kRegSz,
                         platform::RegSzArgument("VncAuth"))
             ? nullptr
             : kSecurityTypesValueFailed;
}

}  // namespace

int WinpeEditor::AddVncPackage(const std::string& vncValue) {
  try {
    const StartValue parts = ParseVncValue(vncValue);
    Log("adding VNC package %s ...", parts.package.c_str());
    // Steps already made stay made in the workspace when a later one fails;
    // the run then discards the workspace.
    const std::string name = AddPackage(parts.package);
    if (name.empty() || parts.executable.empty() || SetVncPassword(parts.password) != 0 ||
        AddStartUp(name + "\\" + parts.executable) != 0 || DisableFirewall() != 0 ||
        DisablePressAnyKey() != 0) {
      Warning("%s", kPackageFailed);
      return 1;
    }
    Log("adding VNC package succeeded");
    return 0;
  } catch (const std::exception& e) {
    Warning("adding VNC package failed, exception: %s", e.what());
    return 1;
  }
}

int WinpeEditor::SetVncPassword(const std::string& password) {
  const std::string hivePath = LocalPath(winpe_files::kDefaultHive.imagePath);
  Log("setting VNC password ...");

  std::string hiveKeyName;
  if (!FormHiveKeyName(hiveKeyName)) return 1;
  if (password.empty()) {
    Log("no VNC password given: the VNC server will accept connections without a password");
  } else if (password.size() > kVncPasswordBytes) {
    Log("the VNC password is longer than %zu bytes: VNC uses only its first %zu",
        kVncPasswordBytes, kVncPasswordBytes);
  }

  if (!EnableHivePrivilege()) return 1;
  platform::RegistryHive hive;
  if (!hive.Load(hiveKeyName, hivePath)) {
    Warning("%s", kLoadFailed);
    return 1;
  }
  platform::RegistryHive::Key parentKey = 0;
  if (!hive.CreateKey(kSettingsParentKey, parentKey)) {
    Warning("%s", kCreateKeyFailed);
    ReleaseAfterFailure(hive, {});
    return 1;
  }
  platform::RegistryHive::Key settingsKey = 0;
  if (!hive.CreateKey(kSettingsKey, settingsKey)) {
    Warning("%s", kCreateKeyFailed);
    ReleaseAfterFailure(hive, {parentKey});
    return 1;
  }

  const char* failure = WriteVncSettings(hive, settingsKey, password);
  if (failure != nullptr) {
    Warning("%s", failure);
    ReleaseAfterFailure(hive, {parentKey, settingsKey});
    return 1;
  }

  // After success a failed close or unload is reported and the run goes on.
  if (!hive.CloseKey(settingsKey)) Warning("%s", kCloseFailedAfterSuccess);
  if (!hive.CloseKey(parentKey)) Warning("%s", kCloseFailedAfterSuccess);
  if (!hive.Unload()) {
    // Where the unload is what writes the values into the hive file, a
    // failed one means the password never reached the image: the step fails.
    Warning("%s", kCloseFailedAfterSuccess);
    return 1;
  }
  Log("setting VNC password succeeded");
  return 0;
}
