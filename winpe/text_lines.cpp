// Line lists of the WinPE text files. A file is read as the entries between
// LF characters (a CR just before an LF belongs to the line end), so a final
// line end yields an empty last entry; lines of any length are kept whole.
// Writing ends every entry with CR LF and leaves out an empty last entry, so
// a CR LF file read and written unchanged keeps its bytes.
#include <cerrno>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <string>

#include "winpe/winpe_editor.h"

bool WinpeEditor::ReadTextLines(const std::string& path, StringList& lines) {
  std::ifstream in(path, std::ios::binary);
  if (!in.is_open()) return false;
  // End of file sets failbit on the last read, so only a real read error throws.
  in.exceptions(std::ios::badbit);
  for (;;) {
    std::string line;
    std::getline(in, line);
    bool endedByLineFeed = !in.eof();
    if (endedByLineFeed && !line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
    if (!endedByLineFeed) break;
  }
  return true;
}

bool WinpeEditor::WriteTextLines(const std::string& path, const StringList& lines) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out.is_open()) return false;
  out.exceptions(std::ios::badbit | std::ios::failbit);
  try {
    for (StringList::size_type i = 0; i < lines.size(); ++i) {
      if (i + 1 == lines.size() && lines[i].empty()) break;
      out << lines[i] << "\r\n";
    }
    out.close();
  } catch (const std::ios_base::failure&) {
    // The stream's own text says neither which file nor why.
    throw std::runtime_error("cannot write " + path + ": " + std::strerror(errno));
  }
  return true;
}
