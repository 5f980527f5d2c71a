// What stands at a path, told without following a link. A run refuses to
// read, rename or remove anything that is not the kind of file it expects
// there, before it does any work.
#pragma once

#include <string>

namespace platform {

enum class FileKind { None, Regular, Directory, Link, Device, Fifo, Socket, Other };

// The kind of what `path` names itself (a link is a Link, whatever it
// points at). None when nothing is there. Throws std::system_error naming
// the path when it cannot be examined.
FileKind KindOf(const std::string& path);

// Where `path` leads once every link in it is followed: an absolute path
// without links, in the system's own form, so that two of them compare as
// strings. Throws std::system_error naming the path when it leads nowhere
// (a dangling link, a loop of links).
std::string FinalPath(const std::string& path);

// Whether the final path `path` is `directory` or lies below it (both as
// FinalPath gives them).
bool LiesWithin(const std::string& path, const std::string& directory);

// True when `path` is a directory, or a link, junction or mount point that
// leads to one: a place where a new file can be made. False when nothing
// is there or something else is. Throws std::system_error naming the path
// when it cannot be examined.
bool LeadsToDirectory(const std::string& path);

// "a directory", "a symbolic link", ... for messages.
const char* Describe(FileKind kind);

}  // namespace platform
