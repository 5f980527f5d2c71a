#include "platform/file_kind.h"

namespace platform {

bool LiesWithin(const std::string& path, const std::string& directory) {
  if (directory.empty() || path.compare(0, directory.size(), directory) != 0) return false;
  const auto separator = [](char c) { return c == '/' || c == '\\'; };
  return path.size() == directory.size() || separator(directory.back()) ||
         separator(path[directory.size()]);
}

const char* Describe(FileKind kind) {
  switch (kind) {
    case FileKind::None: return "nothing";
    case FileKind::Regular: return "a regular file";
    case FileKind::Directory: return "a directory";
    case FileKind::Link: return "a symbolic link";
    case FileKind::Device: return "a device";
    case FileKind::Fifo: return "a FIFO";
    case FileKind::Socket: return "a socket";
    case FileKind::Other: break;
  }
  return "an unknown kind of file";
}

}  // namespace platform
