// The option values that hold more than one thing, split once, at the edge,
// into plain fields:
//   -P  PACKAGE%EXECUTABLE
//   -v  PACKAGE%EXECUTABLE[%PASSWORD]
//   -X  DIRECTORY[%PLACE], -Y  FILE[%PLACE]
// Every value splits at its first "%"; a -v value also at the next "%"
// after it, and its password is the rest, which may itself hold "%". The
// checks and the additions work on these fields, so they always agree on
// what a value names.
#pragma once

#include <string>

struct StartValue {
  std::string package;     // the text before the first "%", or the whole value
  std::string executable;  // after it (for -v up to the next "%"); "" without one
  std::string password;    // -v only: after the second "%"; "" when none
  bool hasPasswordField = false;  // -v only: there is a second "%"
  bool hasPercent = false;
};

StartValue ParseStartPackage(const std::string& value);
StartValue ParseVncValue(const std::string& value);
// The -v text of a value, for one whose password was given apart from it.
std::string VncValueText(const StartValue& value);

struct Placement {
  std::string local;  // the local file or directory
  std::string place;  // the image directory that receives it; "" for the root
};

Placement ParsePlacement(const std::string& value);
