#include "platform/utf8.h"

namespace platform {

std::size_t DecodeUtf8At(const std::string& text, std::size_t at, char32_t& codePoint,
                         bool surrogates) {
  const auto lead = static_cast<unsigned char>(text[at]);
  if (lead < 0x80) {
    codePoint = lead;
    return 1;
  }
  // A continuation byte without its lead, or a lead past U+10FFFF.
  if (lead < 0xC0 || lead > 0xF4) return 0;
  const std::size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2;
  if (text.size() - at < length) return 0;
  char32_t value = lead & (0x7Fu >> length);
  for (std::size_t k = 1; k < length; ++k) {
    const auto next = static_cast<unsigned char>(text[at + k]);
    if ((next & 0xC0) != 0x80) return 0;
    value = (value << 6) | (next & 0x3F);
  }
  static const char32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
  if (value < kSmallest[length] || value > 0x10FFFF ||
      (!surrogates && value >= 0xD800 && value <= 0xDFFF)) {
    return 0;
  }
  codePoint = value;
  return length;
}

}  // namespace platform
