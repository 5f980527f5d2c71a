// Names in a Joliet tree: UCS-2 big-endian bytes, at most 64 characters,
// none of the characters Joliet forbids (U+0000 to U+001F, "*", "/", ":",
// ";", "?" and "\"). Local names are UTF-8.
#pragma once

#include <cstddef>
#include <string>

constexpr std::size_t kMaxJolietNameCharacters = 64;

// The Joliet name of an entry added from a local file. Throws
// std::invalid_argument with a line that names it and says why it cannot
// be recorded.
std::string JolietNameFromUtf8(const std::string& name);

// A Joliet name made from an ISO 9660 identifier recorded in an image, for
// entries whose Joliet name is not known: the identifier without its
// version and trailing dot, bytes that are not UTF-8 taken as Latin-1,
// characters Joliet cannot hold replaced by "_", cut to 64 characters.
std::string JolietNameFromPrimary(const std::string& identifier);

// The UTF-8 text of a Joliet name.
std::string Utf8FromJolietName(const std::string& joliet);

// A name as names are compared between the two trees, in the form mastering
// tools make ISO 9660 names from Joliet ones: without version and trailing
// dot, letters a to z in upper case, every character other than A to Z, 0 to
// 9 and the last dot as "_" ("Empty Dir" and "EMPTY_DIR" compare equal).
// Joliet names go in as UTF-8.
std::string ComparableName(const std::string& name);
