// Start-up entries: one exec line per program in redodozad.xml, placed just
// above the closing tag of the document.
#include <algorithm>
#include <string>

#include "common/console.h"
#include "winpe/winpe_editor.h"

int WinpeEditor::AddStartUp(const std::string& programPath) {
  Log("adding start up ...");
  std::string filePath = LocalPath("FERROVANE\\REDODOZAD.XML");
  StringList lines;
  if (!ReadTextLines(filePath, lines)) {
    Log("adding start up failed - unable to open file %s", filePath.c_str());
    return 1;
  }

  std::string::size_type lastSeparator = programPath.rfind('\\');
  std::string programDirectory =
      lastSeparator == std::string::npos ? std::string() : programPath.substr(0, lastSeparator);
  std::string entry = "<exec processName=\"\\PROGRAMS\\" + programPath +
                      "\" currentDir=\"\\PROGRAMS\\" + programDirectory + "\" />";

  // The closing tag must stand alone on its line; anything else means the
  // file is not laid out as expected and is left alone.
  auto closing = std::find(lines.begin(), lines.end(), "</redoDozad>");
  if (closing == lines.end()) {
    Warning("adding start up failed - unexpected file format at redodozad.xml");
    return 1;
  }
  lines.insert(closing, entry);

  if (!WriteTextLines(filePath, lines)) {
    Warning("adding start up failed - unable to open file %s", filePath.c_str());
    return 1;
  }
  Log("adding start up succeeded");
  return 0;
}
