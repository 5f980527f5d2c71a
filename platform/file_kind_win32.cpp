// What stands at a path on Windows: the path is opened as itself (a link
// as the link) with no access rights, which never disturbs another
// process's use of the file, and the handle tells the rest. Paths of the
// device namespace are told by name, since opening one may reach a device
// or connect to a pipe.
#include "platform/file_kind.h"

#include "platform/windows_support.h"

namespace platform {

FileKind KindOf(const std::string& path) {
  if (path.empty()) return FileKind::None;
  bool pipe = false;
  if (IsDevicePath(path, pipe)) return pipe ? FileKind::Fifo : FileKind::Device;
  HANDLE file = OpenUnfollowed(path, 0);
  if (file == INVALID_HANDLE_VALUE) {
    if (NothingThere(::GetLastError())) return FileKind::None;
    ThrowLastError("cannot examine", path);
  }
  // Reserved names (NUL, CON, COM1, "nul.txt") open the device they name.
  FileKind kind = FileKind::Other;
  switch (::GetFileType(file)) {
    case FILE_TYPE_CHAR:
      kind = FileKind::Device;
      break;
    case FILE_TYPE_PIPE:
      kind = FileKind::Fifo;
      break;
    case FILE_TYPE_DISK: {
      OpenFileFacts facts;
      if (!FactsOf(file, facts)) break;
      if (facts.link) {
        kind = FileKind::Link;
      } else {
        const bool directory = facts.attributes & FILE_ATTRIBUTE_DIRECTORY;
        kind = directory ? FileKind::Directory : FileKind::Regular;
      }
      break;
    }
    default:
      break;
  }
  ::CloseHandle(file);
  return kind;
}

}  // namespace platform
