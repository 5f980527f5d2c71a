// Registry hive access on POSIX systems through libhivex: the hive file is
// opened for writing in place of loading it into a registry, and written
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

bool HivePrivilegesNeeded() { return false; }

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

bool RegistryHive::Load(const std::string& hivePath) {
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
  std::vector<std::uint8_t> bytes = data;  // hivex takes non-const pointers
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

std::vector<std::uint8_t> RegSzData(const std::string& text) {
  // The text is read as UTF-8; a byte that does not start a valid sequence
  // stands for itself (Latin-1), so that plain bytes survive.
  std::vector<std::uint8_t> data;
  auto putUnit = [&data](std::uint32_t unit) {
    data.push_back(static_cast<std::uint8_t>(unit & 0xFFu));
    data.push_back(static_cast<std::uint8_t>((unit >> 8) & 0xFFu));
  };
  const std::size_t size = text.size();
  for (std::size_t i = 0; i < size;) {
    const auto lead = static_cast<std::uint8_t>(text[i]);
    std::size_t length = 1;
    std::uint32_t codePoint = lead;
    if (lead >= 0xC2 && lead <= 0xF4) {
      length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2;
      codePoint = lead & (0x7Fu >> length);
      bool valid = i + length <= size;
      for (std::size_t k = 1; valid && k < length; ++k) {
        const auto next = static_cast<std::uint8_t>(text[i + k]);
        valid = (next & 0xC0u) == 0x80u;
        codePoint = (codePoint << 6) | (next & 0x3Fu);
      }
      const std::uint32_t minimum = length == 2 ? 0x80u : length == 3 ? 0x800u : 0x10000u;
      if (!valid || codePoint < minimum || codePoint > 0x10FFFFu ||
          (codePoint >= 0xD800u && codePoint <= 0xDFFFu)) {
        length = 1;
        codePoint = lead;
      }
    }
    if (codePoint >= 0x10000u) {
      codePoint -= 0x10000u;
      putUnit(0xD800u | (codePoint >> 10));
      putUnit(0xDC00u | (codePoint & 0x3FFu));
    } else {
      putUnit(codePoint);
    }
    i += length;
  }
  putUnit(0);
  return data;
}

}  // namespace platform
