// The WinPE firewall switch in WINBOM.INI: "WinPEFirewall=off" in the
// section [WinPE.Net]. Only key lines of that section (named in any case,
// given any number of times) are changed; comments and other sections are
// left as they are, since WinPE reads the key nowhere else. A second run
// leaves the file as the first made it.
#include <string>

#include "common/console.h"
#include "winpe/ini_lines.h"
#include "winpe/winpe_editor.h"
#include "winpe/winpe_files.h"

int WinpeEditor::DisableFirewall() {
  static const char kSection[] = "[WinPE.Net]";
  static const char kKey[] = "WinPEFirewall";
  static const char kOff[] = "WinPEFirewall=off";

  Log("disabling firewall ...");
  std::string filePath = LocalPath(winpe_files::kWinbom.imagePath);
  StringList lines;
  TextFormat format;
  if (!ReadTextLines(filePath, lines, format)) {
    Warning("disabling firewall failed - unable to open file %s", filePath.c_str());
    return 1;
  }

  const StringList original = lines;
  bool keyFound = false;
  bool inSection = false;
  StringList::size_type sectionLine = lines.size();
  for (StringList::size_type i = 0; i < lines.size(); ++i) {
    const std::string section = ini_lines::SectionName(lines[i]);
    if (!section.empty()) {
      inSection = ini_lines::SameName(section, "WinPE.Net");
      if (inSection && sectionLine == lines.size()) sectionLine = i;
    } else if (inSection && ini_lines::SameName(ini_lines::KeyName(lines[i]), kKey)) {
      lines[i] = kOff;
      keyFound = true;
    }
  }
  if (!keyFound && sectionLine == lines.size()) {
    lines.insert(lines.begin(), {kSection, kOff});
  } else if (!keyFound) {
    lines.insert(lines.begin() + static_cast<StringList::difference_type>(sectionLine) + 1, kOff);
  }

  if (lines != original && !WriteTextLines(filePath, lines, format)) {
    Warning("disabling firewall failed - unable to open file %s", filePath.c_str());
    return 1;
  }
  Log("disabling firewall succeeded");
  return 0;
}
