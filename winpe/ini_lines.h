// The lines of the WinPE INI files (WINBOM.INI, WINPEOEM.SIF) as WinPE
// reads them: "[name]" opens a section, "key=value" sets a key, a line
// whose first non-blank character is ";" is a comment. Section and key
// names are compared without regard to ASCII case, as Windows does.
#pragma once

#include <string>

namespace ini_lines {

// The name between the brackets of a section header line, blanks around
// the line allowed; "" for any other line.
std::string SectionName(const std::string& line);
// The name before the "=" of a key line, without blanks around it; "" for
// a comment, a section header or a line without "=".
std::string KeyName(const std::string& line);
bool SameName(const std::string& a, const std::string& b);

}  // namespace ini_lines
