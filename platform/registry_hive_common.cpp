// The registry's text forms, the same on every system.
#include "platform/registry_hive.h"

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

std::vector<std::uint8_t> StoredValue(std::uint32_t type, const std::vector<std::uint8_t>& argument) {
  if (type != kRegSz) return argument;
  const bool terminated = !argument.empty() && argument.back() == 0;
  std::vector<std::uint8_t> stored =
      RegSzData(std::string(argument.begin(), argument.end() - (terminated ? 1 : 0)));
  if (!terminated) stored.resize(stored.size() - 2);
  return stored;
}

}  // namespace platform
