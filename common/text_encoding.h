// The byte forms a Windows text file comes in, told apart by its byte order
// mark: none (bytes kept as they are), UTF-8, UTF-16 little- or big-endian.
// Text inside the program is UTF-8; a file decoded and encoded again with
// the encoding it was read with gets back its bytes, so an edit of a few
// lines changes only those lines.
#pragma once

#include <cstdint>
#include <string>

enum class TextEncoding { Plain, Utf8Bom, Utf16Le, Utf16Be };

// The file's encoding from its first bytes, and its text in UTF-8 without
// the mark. Throws std::runtime_error with the reason when a UTF-16 file
// has an odd number of bytes. A UTF-16 unit without its surrogate partner
// is carried through as a three-byte sequence, so that it is written back
// as it was.
std::string DecodeText(const std::string& bytes, TextEncoding& encoding);

// The mark and the text in `encoding`. Throws std::runtime_error when
// text for UTF-16 is not UTF-8.
std::string EncodeText(const std::string& text, TextEncoding encoding);

// Whether `text` is UTF-8 without control characters other than tab and
// without a lone surrogate.
bool IsPrintableUtf8(const std::string& text);

// Appends the UTF-8 bytes of the code point `code` to `out`.
void AppendUtf8(std::uint32_t code, std::string& out);
