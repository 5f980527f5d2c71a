#include "common/text_encoding.h"

#include <cstdint>
#include <stdexcept>

#include "platform/utf8.h"

namespace {

const char kUtf8Mark[] = "\xEF\xBB\xBF";

bool StartsWith(const std::string& bytes, const char* mark, std::size_t length) {
  return bytes.compare(0, length, mark, length) == 0;
}

// The code point at `pos`, advancing `pos`; false on a byte sequence that
// is not UTF-8. A lone surrogate's three bytes are accepted: DecodeUtf16
// writes them for one, so that the file goes back as it came.
bool NextCodePoint(const std::string& text, std::size_t& pos, std::uint32_t& code) {
  char32_t decoded = 0;
  const std::size_t length = platform::DecodeUtf8At(text, pos, decoded, true);
  if (length == 0) return false;
  code = decoded;
  pos += length;
  return true;
}

std::string DecodeUtf16(const std::string& bytes, bool bigEndian) {
  if (bytes.size() % 2 != 0) {
    throw std::runtime_error("its UTF-16 text ends in half a character");
  }
  const auto unit = [&](std::size_t i) {
    const auto first = static_cast<std::uint8_t>(bytes[i]);
    const auto second = static_cast<std::uint8_t>(bytes[i + 1]);
    return static_cast<std::uint32_t>(bigEndian ? (first << 8) | second : (second << 8) | first);
  };
  std::string text;
  for (std::size_t i = 2; i < bytes.size(); i += 2) {
    std::uint32_t code = unit(i);
    if (code >= 0xD800 && code < 0xDC00 && i + 3 < bytes.size()) {
      const std::uint32_t low = unit(i + 2);
      if (low >= 0xDC00 && low < 0xE000) {
        code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
        i += 2;
      }
    }
    AppendUtf8(code, text);
  }
  return text;
}

void AppendUtf16(std::uint32_t unit, bool bigEndian, std::string& out) {
  const char high = static_cast<char>(unit >> 8), low = static_cast<char>(unit & 0xFF);
  out += bigEndian ? high : low;
  out += bigEndian ? low : high;
}

std::string EncodeUtf16(const std::string& text, bool bigEndian) {
  std::string bytes;
  AppendUtf16(0xFEFF, bigEndian, bytes);
  for (std::size_t pos = 0; pos < text.size();) {
    std::uint32_t code = 0;
    if (!NextCodePoint(text, pos, code)) {
      throw std::runtime_error("a line to write is not UTF-8 text");
    }
    if (code >= 0x10000) {
      AppendUtf16(0xD800 + ((code - 0x10000) >> 10), bigEndian, bytes);
      AppendUtf16(0xDC00 + ((code - 0x10000) & 0x3FF), bigEndian, bytes);
    } else {
      AppendUtf16(code, bigEndian, bytes);
    }
  }
  return bytes;
}

}  // namespace

void AppendUtf8(std::uint32_t code, std::string& out) {
  if (code < 0x80) {
    out += static_cast<char>(code);
  } else if (code < 0x800) {
    out += static_cast<char>(0xC0 | (code >> 6));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else if (code < 0x10000) {
    out += static_cast<char>(0xE0 | (code >> 12));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (code >> 18));
    out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  }
}

std::string DecodeText(const std::string& bytes, TextEncoding& encoding) {
  if (StartsWith(bytes, kUtf8Mark, 3)) {
    encoding = TextEncoding::Utf8Bom;
    return bytes.substr(3);
  }
  if (StartsWith(bytes, "\xFF\xFE", 2)) {
    encoding = TextEncoding::Utf16Le;
    return DecodeUtf16(bytes, false);
  }
  if (StartsWith(bytes, "\xFE\xFF", 2)) {
    encoding = TextEncoding::Utf16Be;
    return DecodeUtf16(bytes, true);
  }
  encoding = TextEncoding::Plain;
  return bytes;
}

std::string EncodeText(const std::string& text, TextEncoding encoding) {
  switch (encoding) {
    case TextEncoding::Utf8Bom: return kUtf8Mark + text;
    case TextEncoding::Utf16Le: return EncodeUtf16(text, false);
    case TextEncoding::Utf16Be: return EncodeUtf16(text, true);
    case TextEncoding::Plain: break;
  }
  return text;
}

bool IsPrintableUtf8(const std::string& text) {
  for (std::size_t pos = 0; pos < text.size();) {
    std::uint32_t code = 0;
    if (!NextCodePoint(text, pos, code) || (code < 0x20 && code != '\t') || code == 0x7F ||
        (code >= 0xD800 && code < 0xE000)) {
      return false;
    }
  }
  return true;
}
