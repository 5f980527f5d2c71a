// Start-up entries: one exec line per program in redodozad.xml, placed just
// above the closing tag of the document, its values escaped for XML.
#include <algorithm>
#include <string>
#include <vector>

#include "common/console.h"
#include "common/directory_listing.h"
#include "iso/image_path.h"
#include "winpe/ini_lines.h"
#include "winpe/winpe_editor.h"
#include "winpe/winpe_files.h"

namespace {

// An attribute value: names may hold "&", quotes and angle brackets.
std::string XmlEscape(const std::string& text) {
  std::string escaped;
  for (char c : text) {
    switch (c) {
      case '&': escaped += "&amp;"; break;
      case '<': escaped += "&lt;"; break;
      case '>': escaped += "&gt;"; break;
      case '"': escaped += "&quot;"; break;
      case '\'': escaped += "&apos;"; break;
      default: escaped += c;
    }
  }
  return escaped;
}

}  // namespace

int WinpeEditor::AddStartUp(const std::string& programPath) {
  Log("adding start up ...");
  std::string filePath = LocalPath(winpe_files::kRedoDozad.imagePath);
  StringList lines;
  TextFormat format;
  if (!ReadTextLines(filePath, lines, format)) {
    Log("adding start up failed - unable to open file %s", filePath.c_str());
    return 1;
  }

  // The CD's paths take "\" only, whichever separator the user typed. The
  // CD finds names in any case; the entry names the program as the CD will
  // hold it, in the case of its copy under the workspace's PROGRAMS.
  const std::vector<std::string> typed = image_path::Split(programPath);
  const std::vector<std::string> found = NamesAsFound(LocalPath("PROGRAMS"), typed);
  const std::string program = image_path::Join(found.empty() ? typed : found);
  const std::string entry = "<exec processName=\"\\PROGRAMS\\" + XmlEscape(program) +
                            "\" currentDir=\"\\PROGRAMS\\" +
                            XmlEscape(image_path::Parent(program)) + "\" />";

  // The closing tag must stand alone on its line; anything else means the
  // file is not laid out as expected and is left alone.
  auto closing = std::find(lines.begin(), lines.end(), "</redoDozad>");
  if (closing == lines.end()) {
    Warning("adding start up failed - unexpected file format at redodozad.xml");
    return 1;
  }
  // A program already started at boot is not started twice (the same
  // command run again on its own result, or a name given twice in another
  // case: the CD's names are compared without case).
  const auto started = std::find_if(lines.begin(), lines.end(), [&entry](const std::string& line) {
    const std::size_t first = line.find_first_not_of(" \t");
    const std::size_t last = line.find_last_not_of(" \t");
    return first != std::string::npos && ini_lines::SameName(line.substr(first, last - first + 1), entry);
  });
  if (started != lines.end()) {
    Log("redodozad.xml already starts \\PROGRAMS\\%s; it is left as it is", program.c_str());
    Log("adding start up succeeded");
    return 0;
  }
  lines.insert(closing, entry);

  if (!WriteTextLines(filePath, lines, format)) {
    Warning("adding start up failed - unable to open file %s", filePath.c_str());
    return 1;
  }
  Log("adding start up succeeded");
  return 0;
}
