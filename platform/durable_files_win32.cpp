// The durable swap on Windows: FlushFileBuffers for the data, a hard link
// for the backup name and one MoveFileExW (replace, write through) for
// the new name. Directory entries cannot be flushed on their own here;
// MOVEFILE_WRITE_THROUGH makes each move return only once it is on disk.
#include "platform/durable_files.h"

#include "platform/windows_support.h"

namespace platform {
namespace {

constexpr DWORD kReplace = MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH;

void Move(const std::string& from, const std::string& to, DWORD flags) {
  if (!::MoveFileExW(WidePath(from).c_str(), WidePath(to).c_str(), flags)) {
    ThrowLastError("cannot rename " + from + " to", to);
  }
}

}  // namespace

void FlushFileToDisk(const std::string& path) {
  // FlushFileBuffers needs a handle with write access.
  HANDLE file = ::CreateFileW(WidePath(path).c_str(), GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) ThrowLastError("cannot open", path);
  if (!::FlushFileBuffers(file)) {
    const DWORD error = ::GetLastError();
    ::CloseHandle(file);
    ::SetLastError(error);
    ThrowLastError("cannot flush", path);
  }
  ::CloseHandle(file);
}

void ReplaceKeepingBackup(const std::string& targetPath, const std::string& newPath,
                          const std::string& backupPath) {
  if (::CreateHardLinkW(WidePath(backupPath).c_str(), WidePath(targetPath).c_str(), nullptr)) {
    // The old image now has two names; the move replaces the target name
    // in one step, so it is never missing.
    try {
      Move(newPath, targetPath, kReplace);
    } catch (...) {
      ::DeleteFileW(WidePath(backupPath).c_str());
      throw;
    }
    return;
  }
  // FAT and some network shares cannot link.
  Move(targetPath, backupPath, MOVEFILE_WRITE_THROUGH);
  Move(newPath, targetPath, kReplace);
}

}  // namespace platform
