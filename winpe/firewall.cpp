// The WinPE firewall switch in WINBOM.INI. Lines are matched by substring
// with case as written, not parsed as INI, so a commented key line is
// replaced like a live one; a second run leaves the file as the first made it.
#include <string>

#include "common/console.h"
#include "winpe/winpe_editor.h"
#include "winpe/winpe_files.h"

int WinpeEditor::DisableFirewall() {
  static const char kSection[] = "[WinPE.Net]";
  static const char kKey[] = "WinPEFirewall";
  static const char kOff[] = "WinPEFirewall=off";

  Log("disabling firewall ...");
  std::string filePath = LocalPath(winpe_files::kWinbom.imagePath);
  StringList lines;
  if (!ReadTextLines(filePath, lines)) {
    Warning("disabling firewall failed - unable to open file %s", filePath.c_str());
    return 1;
  }

  bool replaced = false;
  bool sectionFound = false;
  StringList::size_type sectionLine = 0;
  for (StringList::size_type i = 0; i < lines.size(); ++i) {
    if (lines[i].find(kKey) != std::string::npos) {
      lines[i] = kOff;
      replaced = true;
    }
    if (!sectionFound && lines[i].find(kSection) != std::string::npos) {
      sectionFound = true;
      sectionLine = i;
    }
  }
  if (!replaced) {
    if (!sectionFound) {
      lines.insert(lines.begin(), {kSection, kOff});
    } else {
      lines.insert(lines.begin() + static_cast<StringList::difference_type>(sectionLine) + 1, kOff);
    }
  }

  if (!WriteTextLines(filePath, lines)) {
    Warning("disabling firewall failed - unable to open file %s", filePath.c_str());
    return 1;
  }
  Log("disabling firewall succeeded");
  return 0;
}
