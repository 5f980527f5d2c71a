// UTF-8 as file names and registry values hold it.
#pragma once

#include <cstddef>
#include <string>

namespace platform {

// The code point of the UTF-8 sequence that starts at `text[at]`; returns
// its length in bytes, or 0 when no well-formed sequence starts there
// (overlong forms, surrogates, values past U+10FFFF and cut sequences
// included). With `surrogates`, the three bytes of a lone surrogate are
// taken too: text decoded from UTF-16 that held one keeps it that way.
std::size_t DecodeUtf8At(const std::string& text, std::size_t at, char32_t& codePoint,
                         bool surrogates = false);

}  // namespace platform
