// Registry hive access on POSIX systems through libhivex: the hive file is
// opened for writing in place of loading it into a registry (the key name
// it would be loaded under is not needed), and written
// back with one commit to a file beside it that is renamed over the hive,
// so that a failed write never leaves half a hive behind.
#include "platform/registry_hive.h"

#include <hivex.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace platform {

HivePrivilege EnableHivePrivilege() { return HivePrivilege::Enabled; }

namespace {

struct HiveCloser {
  void operator()(hive_h* handle) const { hivex_close(handle); }
};
using HiveHandle = std::unique_ptr<hive_h, HiveCloser>;

// Splits "A\B\C" into its non-empty components.
std::vector<std::string> SplitKeyPath(const std::string& subkey) {
  std::vector<std::string> components;
  std::string current;
  for (char c : subkey) {
    if (c == '\\' || c == '/') {
      if (!current.empty()) components.push_back(current);
      current.clear();
    } else {
      current += c;
    }
  }
  if (!current.empty()) components.push_back(current);
  return components;
}

}  // namespace

struct RegistryHive::Impl {
  HiveHandle hive;
  std::string path;
  // Open keys by handle; slot 0 is the root, a closed key holds 0.
  std::vector<hive_node_h> nodes;
  bool changed = false;  // a key was added or a value set since loading
};

RegistryHive::RegistryHive() : impl(new Impl) {}

// A hive still open here is closed without writing it back.
RegistryHive::~RegistryHive() = default;

bool RegistryHive::Load(const std::string& /*keyName*/, const std::string& hivePath) {
  if (impl->hive) return false;
  HiveHandle hive(hivex_open(hivePath.c_str(), HIVEX_OPEN_WRITE));
  if (!hive) return false;
  const hive_node_h root = hivex_root(hive.get());
  if (root == 0) return false;
  impl->hive = std::move(hive);
  impl->path = hivePath;
  impl->nodes.assign(1, root);
  impl->changed = false;
  return true;
}

bool RegistryHive::CreateKey(const std::string& subkey, Key& key) {
  if (!impl->hive) return false;
  hive_h* hive = impl->hive.get();
  hive_node_h node = impl->nodes[0];
  for (const std::string& name : SplitKeyPath(subkey)) {
    // hivex tells "no such child" from an error only through errno.
    errno = 0;
    hive_node_h child = hivex_node_get_child(hive, node, name.c_str());
    if (child == 0) {
      if (errno != 0) return false;
      child = hivex_node_add_child(hive, node, name.c_str());
      if (child == 0) return false;
      impl->changed = true;
    }
    node = child;
  }
  impl->nodes.push_back(node);
  key = impl->nodes.size() - 1;
  return true;
}

bool RegistryHive::SetValue(Key key, const std::string& name, std::uint32_t type,
                            const std::vector<std::uint8_t>& data) {
  if (!impl->hive || key >= impl->nodes.size() || impl->nodes[key] == 0) return false;
  std::string keyName = name;
  // hivex takes non-const pointers, and text as the registry stores it.
  std::vector<std::uint8_t> bytes = StoredValue(type, data);
  hive_set_value value;
  value.key = &keyName[0];
  value.t = static_cast<hive_type>(type);
  value.len = bytes.size();
  value.value = bytes.empty() ? nullptr : reinterpret_cast<char*>(bytes.data());
  if (hivex_node_set_value(impl->hive.get(), impl->nodes[key], &value, 0) != 0) return false;
  impl->changed = true;
  return true;
}

bool RegistryHive::GetValue(Key key, const std::string& name, std::uint32_t& type,
                            std::vector<std::uint8_t>& data) {
  if (!impl->hive || key >= impl->nodes.size() || impl->nodes[key] == 0) return false;
  hive_h* hive = impl->hive.get();
  const hive_value_h value = hivex_node_get_value(hive, impl->nodes[key], name.c_str());
  if (value == 0) return false;
  hive_type valueType;
  std::size_t length = 0;
  char* bytes = hivex_value_value(hive, value, &valueType, &length);
  if (bytes == nullptr) return false;
  type = static_cast<std::uint32_t>(valueType);
  data.assign(bytes, bytes + length);
  std::free(bytes);
  return true;
}

bool RegistryHive::CloseKey(Key key) {
  // The root stays open for as long as the hive is loaded.
  if (!impl->hive || key == 0 || key >= impl->nodes.size() || impl->nodes[key] == 0) {
    return false;
  }
  impl->nodes[key] = 0;
  return true;
}

bool RegistryHive::Unload() {
  if (!impl->hive) return false;
  HiveHandle hive = std::move(impl->hive);
  impl->nodes.clear();
  // Nothing to write back: the file keeps its bytes (a commit would still
  // renumber the hive's header).
  if (!impl->changed) return true;

  std::string temporary = impl->path + ".XXXXXX";
  const int descriptor = ::mkstemp(&temporary[0]);
  if (descriptor < 0) return false;
  // Keep the hive file's permissions rather than mkstemp's 0600.
  struct stat status;
  if (::stat(impl->path.c_str(), &status) == 0) ::fchmod(descriptor, status.st_mode & 07777);
  ::close(descriptor);
  if (hivex_commit(hive.get(), temporary.c_str(), 0) != 0) {
    std::remove(temporary.c_str());
    return false;
  }
  if (std::rename(temporary.c_str(), impl->path.c_str()) != 0) {
    std::remove(temporary.c_str());
    return false;
  }
  return true;
}

}  // namespace platform
