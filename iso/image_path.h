// Names and paths inside an image: how they are split, joined, trimmed,
// checked and compared. Every part of the tool that handles an image name
// goes through these functions.
//
// Image paths: names with "\" (or "/") between them, as in
// "\I386\SYSTEM32\WINPEOEM.SIF". Leading and trailing separators are
// ignored, and a run of separators counts as one.
//
// Recorded identifiers: mastering tools write ISO 9660's separators and
// version into a file identifier: "WINBOM.INI;1", "DEFAULT.;1" or "DEFAULT."
// for a name without an extension. The base name drops them ("WINBOM.INI",
// "DEFAULT"), as every other reader does. The entry name is the name an entry
// answers to and is copied out under: its base name, or the identifier as
// recorded when the base name is no valid Windows file name.
//
// Three comparisons:
//  - Lookups (the reader): an entry answers to its identifier and to its
//    entry name; letter case matters. An exact identifier wins.
//  - The same entry (the modifier's replacement and every conflict check):
//    entry names equal with letter case ignored, as Windows compares them.
//    Only ASCII letters are folded; other bytes compare as they are.
//  - Names going into an image must be valid Windows file names, at most
//    kMaxFileIdentifier bytes long, that the reader accepts again, and no
//    device names: a WinPE CD's files are copied out on Windows.
//  - Names copied out of an image (Unpack, RetrieveDir) are entry names and
//    never device names, on every system, so that a copy made here can be
//    made on Windows too.
#pragma once

#include <string>
#include <vector>

namespace image_path {

bool IsSeparator(char c);
std::string TrimLeading(std::string path);
std::string TrimTrailing(std::string path);

// The names of a path, without empty ones ("\A\\B\" gives A, B).
std::vector<std::string> Split(const std::string& path);
// The names joined with "\" between them.
std::string Join(const std::vector<std::string>& names);
// `name` below `parent`: "\" between them, none when `parent` is empty or
// already ends in a separator.
std::string Join(const std::string& parent, const std::string& name);
// The last name of a path after its trailing separators ("" for none).
std::string Leaf(const std::string& path);
// Every name of a path but the last, joined with "\" ("" for the root).
std::string Parent(const std::string& path);

// Not empty, no byte 0x00 to 0x1F, none of < > : " / \ |, no space at the
// end, no "." at the end unless it is "." or "..". Windows takes a leading
// space, so a recorded name may have one; NewNameProblem keeps it out of
// the names the tool adds.
bool IsWindowsName(const std::string& name);

// Windows opens a device for these names in any directory, whatever the
// extension and letter case: CON, PRN, AUX, NUL, COM0 to COM9, LPT0 to
// LPT9 and COM or LPT with a superscript 1, 2 or 3 ("nul.txt", "Com1 .log").
bool IsDeviceName(const std::string& name);

// "NAME.EXT;N" gives "NAME.EXT"; "NAME.;N" and "NAME." give "NAME".
std::string BaseName(const std::string& identifier);
// The base name when it is a valid Windows file name, else the identifier.
std::string EntryName(const std::string& identifier);
// Whether the reader accepts an identifier recorded in an image: its entry
// name is a valid Windows file name and neither it nor its base name is a
// "." or ".." in disguise.
bool IsRecordedNameAccepted(const std::string& identifier);

// A lookup for `name` finds an entry recorded as `identifier`.
bool AnswersTo(const std::string& identifier, const std::string& name);
// Two names denote the same entry: equal entry names, ASCII case ignored.
bool SameEntry(const std::string& a, const std::string& b);

// Why `name` cannot go into an image ("" when it can), as a phrase that
// follows the name: "holds the character ':'".
std::string NewNameProblem(const std::string& name);
// Throws std::invalid_argument naming `name` and its problem, if it has one.
void CheckNewName(const std::string& name);

}  // namespace image_path
