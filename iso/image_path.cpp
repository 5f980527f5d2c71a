// Image names and paths; see image_path.h for the rules.
#include "iso/image_path.h"

#include <cstddef>
#include <initializer_list>
#include <stdexcept>

#include "iso/iso_structures.h"

namespace image_path {

namespace {

const char kWindowsForbidden[] = "<>:\"/\\|";

// ISO 9660's version: ";" and one or more digits at the end.
std::string WithoutVersion(const std::string& identifier) {
  const std::size_t semicolon = identifier.rfind(';');
  if (semicolon == std::string::npos || semicolon + 1 == identifier.size()) return identifier;
  for (std::size_t i = semicolon + 1; i < identifier.size(); ++i) {
    if (identifier[i] < '0' || identifier[i] > '9') return identifier;
  }
  return identifier.substr(0, semicolon);
}

char FoldAscii(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

bool EqualsFolded(const std::string& text, const char* upper) {
  std::size_t i = 0;
  for (; i < text.size() && upper[i] != '\0'; ++i) {
    if (FoldAscii(text[i]) != upper[i]) return false;
  }
  return i == text.size() && upper[i] == '\0';
}

// The port number of COMn and LPTn: a digit, or a superscript 1, 2 or 3
// (UTF-8 "\xC2\xB9", "\xC2\xB2", "\xC2\xB3"), which Windows reads as one.
bool IsPortNumber(const std::string& text) {
  if (text.size() == 1) return text[0] >= '0' && text[0] <= '9';
  return text.size() == 2 && text[0] == '\xC2' &&
         (text[1] == '\xB9' || text[1] == '\xB2' || text[1] == '\xB3');
}

}  // namespace

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

std::string TrimLeading(std::string path) {
  std::size_t first = 0;
  while (first < path.size() && IsSeparator(path[first])) ++first;
  path.erase(0, first);
  return path;
}

std::string TrimTrailing(std::string path) {
  while (!path.empty() && IsSeparator(path.back())) path.pop_back();
  return path;
}

std::vector<std::string> Split(const std::string& path) {
  std::vector<std::string> names;
  std::string current;
  for (char c : path) {
    if (!IsSeparator(c)) {
      current += c;
    } else if (!current.empty()) {
      names.push_back(current);
      current.clear();
    }
  }
  if (!current.empty()) names.push_back(current);
  return names;
}

std::string Join(const std::vector<std::string>& names) {
  std::string path;
  for (const std::string& name : names) {
    if (!path.empty()) path += '\\';
    path += name;
  }
  return path;
}

std::string Join(const std::string& parent, const std::string& name) {
  if (parent.empty()) return name;
  if (IsSeparator(parent.back())) return parent + name;
  return parent + "\\" + name;
}

std::string Leaf(const std::string& path) {
  const std::string trimmed = TrimTrailing(path);
  const std::size_t separator = trimmed.find_last_of("\\/");
  return separator == std::string::npos ? trimmed : trimmed.substr(separator + 1);
}

std::string Parent(const std::string& path) {
  std::vector<std::string> names = Split(path);
  if (!names.empty()) names.pop_back();
  return Join(names);
}

bool IsWindowsName(const std::string& name) {
  if (name.empty() || name.back() == ' ') return false;
  for (char c : name) {
    if (static_cast<unsigned char>(c) < 0x20) return false;
    for (const char* f = kWindowsForbidden; *f; ++f) {
      if (c == *f) return false;
    }
  }
  return name.back() != '.' || IsDotName(name);
}

bool IsDeviceName(const std::string& name) {
  // Windows looks only at what comes before the first dot, without
  // trailing spaces.
  std::string stem = name.substr(0, name.find('.'));
  while (!stem.empty() && stem.back() == ' ') stem.pop_back();
  for (const char* device : {"CON", "PRN", "AUX", "NUL"}) {
    if (EqualsFolded(stem, device)) return true;
  }
  return stem.size() >= 4 && (EqualsFolded(stem.substr(0, 3), "COM") ||
                              EqualsFolded(stem.substr(0, 3), "LPT")) &&
         IsPortNumber(stem.substr(3));
}

std::string BaseName(const std::string& identifier) {
  std::string base = WithoutVersion(identifier);
  // An empty extension leaves its separator behind: "NAME." is "NAME".
  if (base.size() > 1 && base.back() == '.') base.pop_back();
  return base;
}

std::string EntryName(const std::string& identifier) {
  std::string base = BaseName(identifier);
  return IsWindowsName(base) ? base : identifier;
}

bool IsRecordedNameAccepted(const std::string& identifier) {
  // "..;1" or "..." would be taken for the parent directory once the
  // version or the dot is dropped.
  if (IsDotName(identifier) || IsDotName(WithoutVersion(identifier)) ||
      IsDotName(BaseName(identifier))) {
    return false;
  }
  return IsWindowsName(EntryName(identifier));
}

bool AnswersTo(const std::string& identifier, const std::string& name) {
  return identifier == name || EntryName(identifier) == name;
}

bool SameEntry(const std::string& a, const std::string& b) {
  const std::string x = EntryName(a), y = EntryName(b);
  if (x.size() != y.size()) return false;
  for (std::size_t i = 0; i < x.size(); ++i) {
    if (FoldAscii(x[i]) != FoldAscii(y[i])) return false;
  }
  return true;
}

std::string NewNameProblem(const std::string& name) {
  if (name.empty()) return "is empty";
  if (name.size() > kMaxFileIdentifier) {
    return "is longer than " + std::to_string(kMaxFileIdentifier) + " bytes";
  }
  if (IsDotName(name)) return "is \".\" or \"..\"";
  for (char c : name) {
    if (static_cast<unsigned char>(c) < 0x20) return "holds a control character";
    for (const char* f = kWindowsForbidden; *f; ++f) {
      if (c == *f) return std::string("holds the character '") + c + "'";
    }
  }
  if (name.front() == ' ') return "begins with a space";
  if (name.back() == ' ') return "ends with a space";
  if (name.back() == '.') return "ends with '.'";
  if (!IsRecordedNameAccepted(name)) return "would read back as \".\" or \"..\"";
  if (IsDeviceName(EntryName(name))) return "is a device name on Windows";
  return "";
}

void CheckNewName(const std::string& name) {
  const std::string problem = NewNameProblem(name);
  if (!problem.empty()) throw std::invalid_argument("invalid name \"" + name + "\": it " + problem);
}

}  // namespace image_path
