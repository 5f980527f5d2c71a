// The registry's text forms, the same on every system.
#include "platform/registry_hive.h"
#include "platform/utf8.h"

namespace platform {

std::vector<std::uint8_t> RegSzArgument(const std::string& text) {
  std::vector<std::uint8_t> argument(text.begin(), text.end());
  argument.push_back(0);
  return argument;
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
    char32_t decoded = 0;
    std::size_t length = DecodeUtf8At(text, i, decoded);
    std::uint32_t codePoint = decoded;
    if (length == 0) {
      length = 1;
      codePoint = static_cast<std::uint8_t>(text[i]);
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

std::vector<std::uint8_t> StoredValue(std::uint32_t type, const std::vector<std::uint8_t>& argument) {
  if (type != kRegSz) return argument;
  const bool terminated = !argument.empty() && argument.back() == 0;
  std::vector<std::uint8_t> stored =
      RegSzData(std::string(argument.begin(), argument.end() - (terminated ? 1 : 0)));
  if (!terminated) stored.resize(stored.size() - 2);
  return stored;
}

}  // namespace platform
