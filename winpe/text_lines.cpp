// Line lists of the WinPE text files. A file is decoded by its byte order
// mark (none, UTF-8, UTF-16 either way round) and read as the entries
// between LF characters (a CR just before an LF belongs to the line end),
// so a final line end yields an empty last entry; lines of any length are
// kept whole. Writing encodes the lines as the file was, ends every entry
// with the file's own line end and leaves out an empty last entry, so a
// file read and written unchanged keeps its bytes (it gains a final line
// end if it had none). Windows tools write these files in either encoding
// and WinPE reads them all; a file rewritten in another one, or with LF
// glued to UTF-16, is one WinPE no longer reads.
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>

#include "winpe/ini_lines.h"
#include "winpe/winpe_editor.h"

bool WinpeEditor::ReadTextLines(const std::string& path, StringList& lines, TextFormat& format) {
  std::ifstream in(path, std::ios::binary);
  if (!in.is_open()) return false;
  in.exceptions(std::ios::badbit);
  const std::string bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  std::string text;
  try {
    text = DecodeText(bytes, format.encoding);
  } catch (const std::runtime_error& e) {
    throw std::runtime_error("cannot edit " + path + ": " + e.what());
  }
  // NUL bytes without a mark are most likely UTF-16 whose mark is missing;
  // edited as bytes, it would come out broken.
  if (format.encoding == TextEncoding::Plain && text.find('\0') != std::string::npos) {
    throw std::runtime_error("cannot edit " + path +
                             ": it holds NUL bytes, so it is no text file (UTF-16 needs its "
                             "byte order mark)");
  }
  // The first line end tells the file's own; a file without one gets CR LF.
  const std::size_t firstEnd = text.find('\n');
  format.lineEnd = firstEnd != std::string::npos && (firstEnd == 0 || text[firstEnd - 1] != '\r')
                       ? "\n" : "\r\n";
  for (std::size_t start = 0;;) {
    const std::size_t end = text.find('\n', start);
    std::string line = text.substr(start, end == std::string::npos ? end : end - start);
    if (end != std::string::npos && !line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return true;
}

bool WinpeEditor::WriteTextLines(const std::string& path, const StringList& lines,
                                 const TextFormat& format) {
  std::string text;
  for (StringList::size_type i = 0; i < lines.size(); ++i) {
    if (i + 1 == lines.size() && lines[i].empty()) break;
    text += lines[i] + format.lineEnd;
  }
  std::string bytes;
  try {
    bytes = EncodeText(text, format.encoding);
  } catch (const std::runtime_error& e) {
    throw std::runtime_error("cannot write " + path + ": " + e.what());
  }
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out.is_open()) return false;
  out.exceptions(std::ios::badbit | std::ios::failbit);
  try {
    out << bytes;
    out.close();
  } catch (const std::ios_base::failure&) {
    // The stream's own text says neither which file nor why.
    throw std::runtime_error("cannot write " + path + ": " + std::strerror(errno));
  }
  return true;
}

namespace ini_lines {

namespace {

std::string Trimmed(const std::string& text) {
  const std::size_t first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return "";
  return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

}  // namespace

std::string SectionName(const std::string& line) {
  const std::string text = Trimmed(line);
  const std::size_t close = text.find(']');
  if (text.empty() || text[0] != '[' || close == std::string::npos) return "";
  return Trimmed(text.substr(1, close - 1));
}

std::string KeyName(const std::string& line) {
  const std::string text = Trimmed(line);
  const std::size_t equals = text.find('=');
  if (text.empty() || text[0] == ';' || text[0] == '[' || equals == std::string::npos) return "";
  return Trimmed(text.substr(0, equals));
}

bool SameName(const std::string& a, const std::string& b) {
  const auto lower = [](char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
  };
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

}  // namespace ini_lines
