#include "iso/joliet_names.h"

#include "common/text_encoding.h"
#include "iso/image_path.h"
#include "platform/utf8.h"

#include <cstdint>
#include <cstdio>
#include <stdexcept>
#include <vector>

namespace {

constexpr char32_t kReplacement = U'_';

// The code points of a UTF-8 string; false when it is not well-formed.
bool DecodeUtf8(const std::string& text, std::vector<char32_t>& out) {
  out.clear();
  for (std::size_t i = 0; i < text.size();) {
    char32_t value = 0;
    const std::size_t length = platform::DecodeUtf8At(text, i, value);
    if (length == 0) return false;
    out.push_back(value);
    i += length;
  }
  return true;
}

bool IsForbidden(char32_t c) {
  return c < 0x20 || c == U'*' || c == U'/' || c == U':' || c == U';' || c == U'?' ||
         c == U'\\';
}

std::string Ucs2(const std::vector<char32_t>& characters) {
  std::string bytes;
  for (char32_t c : characters) {
    bytes += static_cast<char>(c >> 8);
    bytes += static_cast<char>(c & 0xFF);
  }
  return bytes;
}

std::string CodePoint(char32_t c) {
  char text[16];
  std::snprintf(text, sizeof text, "U+%04X", static_cast<unsigned>(c));
  return text;
}

}  // namespace

std::string JolietNameFromUtf8(const std::string& name) {
  const std::string start = "the Joliet tree of this image cannot hold the name \"" + name + "\": ";
  const std::string end = "; rename it";
  std::vector<char32_t> characters;
  if (!DecodeUtf8(name, characters)) throw std::invalid_argument(start + "it is not UTF-8" + end);
  for (char32_t c : characters) {
    if (c > 0xFFFF) {
      throw std::invalid_argument(start + "it holds " + CodePoint(c) +
                                  ", a character outside the Basic Multilingual Plane" + end);
    }
    if (c < 0x20) {
      throw std::invalid_argument(start + "it holds the control character " + CodePoint(c) + end);
    }
    if (IsForbidden(c)) {
      throw std::invalid_argument(start + "it holds \"" + std::string(1, static_cast<char>(c)) +
                                  "\", which Joliet names may not hold" + end);
    }
  }
  if (characters.size() > kMaxJolietNameCharacters) {
    throw std::invalid_argument(start + "it is " + std::to_string(characters.size()) +
                                " characters long, at most " +
                                std::to_string(kMaxJolietNameCharacters) + " fit" + end);
  }
  return Ucs2(characters);
}

std::string JolietNameFromPrimary(const std::string& identifier) {
  const std::string base = image_path::BaseName(identifier);
  std::vector<char32_t> characters;
  if (!DecodeUtf8(base, characters)) {
    characters.assign(base.begin(), base.end());
    for (char32_t& c : characters) c &= 0xFF;  // Latin-1
  }
  for (char32_t& c : characters) {
    if (c > 0xFFFF || IsForbidden(c)) c = kReplacement;
  }
  if (characters.size() > kMaxJolietNameCharacters) characters.resize(kMaxJolietNameCharacters);
  if (characters.empty()) characters.push_back(kReplacement);
  return Ucs2(characters);
}

std::string Utf8FromJolietName(const std::string& joliet) {
  std::string text;
  for (std::size_t i = 0; i + 1 < joliet.size(); i += 2) {
    char32_t unit = (static_cast<unsigned char>(joliet[i]) << 8) |
                    static_cast<unsigned char>(joliet[i + 1]);
    // Some writers record UTF-16: a pair of surrogates is one character.
    if (unit >= 0xD800 && unit <= 0xDBFF && i + 3 < joliet.size()) {
      const char32_t low = (static_cast<unsigned char>(joliet[i + 2]) << 8) |
                           static_cast<unsigned char>(joliet[i + 3]);
      if (low >= 0xDC00 && low <= 0xDFFF) {
        unit = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
        i += 2;
      }
    }
    if (unit >= 0xD800 && unit <= 0xDFFF) unit = 0xFFFD;
    AppendUtf8(unit, text);
  }
  return text;
}

std::string ComparableName(const std::string& name) {
  const std::string base = image_path::BaseName(name);
  std::vector<char32_t> characters;
  if (!DecodeUtf8(base, characters)) characters.assign(base.begin(), base.end());
  std::size_t lastDot = characters.size();
  for (std::size_t i = 0; i < characters.size(); ++i) {
    if (characters[i] == U'.') lastDot = i;
  }
  std::string folded;
  for (std::size_t i = 0; i < characters.size(); ++i) {
    const char32_t c = characters[i];
    if (c >= U'a' && c <= U'z') {
      folded += static_cast<char>(c - U'a' + 'A');
    } else if ((c >= U'A' && c <= U'Z') || (c >= U'0' && c <= U'9') ||
               (c == U'.' && i == lastDot)) {
      folded += static_cast<char>(c);
    } else {
      folded += '_';
    }
  }
  return folded;
}
