// The Windows side of the test helpers (run under Wine, without the Linux tools).
#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <stdexcept>
#include <vector>

#include "tests/test_support.h"

namespace testing_support {

const bool kLinuxHost = false;
const char* const kNullDevice = "NUL";
const char* const kNoSymbolicLinks =
    "no symbolic links here (Windows without developer mode or administrator rights, or Wine, "
    "whose CreateSymbolicLinkW creates nothing)";

namespace {

std::wstring WideText(const std::string& text) {
  std::wstring wide(text.size() + 1, L'\0');
  const int n = ::MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, &wide[0],
                                      static_cast<int>(wide.size()));
  wide.resize(n > 0 ? static_cast<std::size_t>(n - 1) : 0);
  return wide;
}

// A path for the W functions, with the system's separator.
std::wstring Wide(const std::string& path) {
  std::wstring wide = WideText(path);
  std::replace(wide.begin(), wide.end(), L'/', L'\\');
  return wide;
}

// Wine's CreateSymbolicLinkW makes nothing, but Wine runs Unix programs, and
// shows a Unix link to a directory as a reparse point, as users meet it
// there (a link to a file it shows as the file); it cannot remove one
// either. Runs `command` on the given paths, on drive Z: (the Unix root)
// and needing no quoting, under Wine only.
void RunUnixCommand(std::string command, const std::vector<std::string>& paths) {
  if (::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "wine_get_version") == nullptr) return;
  for (std::string path : paths) {
    if (path.size() < 3 || (path.compare(0, 2, "Z:") != 0 && path.compare(0, 2, "z:") != 0) ||
        path.find_first_of(" \"&^%") != std::string::npos) {
      return;
    }
    std::replace(path.begin(), path.end(), '\\', '/');
    command += " " + path.substr(2);
  }
  std::system(("start /wait /unix " + command).c_str());
}

bool Stands(const std::string& path) {
  return ::GetFileAttributesW(Wide(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

}  // namespace

bool MakeSymbolicLink(const std::string& target, const std::string& link, bool directory) {
  const DWORD unprivileged = 0x2;  // SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE
  ::CreateSymbolicLinkW(Wide(link).c_str(), Wide(target).c_str(),
                        unprivileged | (directory ? SYMBOLIC_LINK_FLAG_DIRECTORY : 0));
  // Judged by what stands there afterwards, not by the answer.
  const DWORD attributes = ::GetFileAttributesW(Wide(link).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

bool MakeDirectoryLink(const std::string& target, const std::string& link) {
  if (MakeSymbolicLink(target, link, true)) return true;
  RunUnixCommand("/bin/ln -s", {target, link});
  const DWORD attributes = ::GetFileAttributesW(Wide(link).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

bool RemoveSymbolicLink(const std::string& link) {
  if (!::RemoveDirectoryW(Wide(link).c_str())) ::DeleteFileW(Wide(link).c_str());
  RunUnixCommand("/bin/rm -f", {link});  // Wine says it removed it, but did not
  return !Stands(link);
}

std::string FileIdentityOf(const std::string& path) {
  HANDLE file = ::CreateFileW(Wide(path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING,
                              FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (file == INVALID_HANDLE_VALUE) return "";
  BY_HANDLE_FILE_INFORMATION info;
  const bool known = ::GetFileInformationByHandle(file, &info);
  ::CloseHandle(file);
  if (!known) return "";
  return std::to_string(info.dwVolumeSerialNumber) + ":" + std::to_string(info.nFileIndexHigh) +
         ":" + std::to_string(info.nFileIndexLow);
}

void SetEnvironment(const std::string& name, const char* value) {
  // "NAME=" removes the variable in this runtime.
  const std::string entry = name + "=" + (value ? value : "");
  ::_putenv(entry.c_str());
}

int Run(const std::string& command) { return std::system(command.c_str()); }

std::uint64_t AllocatedBytes(const std::string& path) {
  struct _stat64 st;
  return ::_stat64(path.c_str(), &st) == 0 ? static_cast<std::uint64_t>(st.st_size) : 0;
}

int OpenCaptureFile(const std::string& path) {
  // Binary: a text-mode descriptor would turn every "\n" into "\r\n".
  return ::_open(path.c_str(), _O_WRONLY | _O_CREAT | _O_TRUNC | _O_BINARY, _S_IREAD | _S_IWRITE);
}

}  // namespace testing_support

namespace testing_support {
bool InterruptThisProcess(InterruptionKind what, std::string& why) {
  if (what == InterruptionKind::HangUp) {
    why = "closing a console cannot be caused by a program";
    return false;
  }
  const DWORD event = what == InterruptionKind::Interrupt ? CTRL_C_EVENT : CTRL_BREAK_EVENT;
  if (::GenerateConsoleCtrlEvent(event, 0)) return true;
  why = "GenerateConsoleCtrlEvent failed with error " + std::to_string(::GetLastError());
  return false;
}

struct ChildProcess::Impl {
  HANDLE process = nullptr;
  HANDLE output = nullptr;
  int status = -1;
};

ChildProcess::ChildProcess(const std::vector<std::string>& arguments) : impl_(new Impl) {
  SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
  HANDLE readEnd = nullptr, writeEnd = nullptr;
  if (arguments.empty() || !::CreatePipe(&readEnd, &writeEnd, &inherit, 0)) {
    throw std::runtime_error("cannot make a pipe");
  }
  ::SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
  std::wstring command;
  for (const std::string& a : arguments) command += L"\"" + WideText(a) + L"\" ";
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = nullptr;
  startup.hStdOutput = writeEnd;
  startup.hStdError = writeEnd;
  PROCESS_INFORMATION started = {};
  // A console of its own, without a window.
  const BOOL ok = ::CreateProcessW(nullptr, &command[0], nullptr, nullptr, TRUE,
                                   CREATE_NO_WINDOW, nullptr, nullptr, &startup, &started);
  ::CloseHandle(writeEnd);
  if (!ok) {
    ::CloseHandle(readEnd);
    throw std::runtime_error("cannot start " + arguments[0]);
  }
  ::CloseHandle(started.hThread);
  impl_->process = started.hProcess;
  impl_->output = readEnd;
}

ChildProcess::~ChildProcess() {
  if (impl_->status < 0) {
    ::TerminateProcess(impl_->process, 9);
    Wait();
  }
  ::CloseHandle(impl_->output);
  ::CloseHandle(impl_->process);
  delete impl_;
}

std::string ChildProcess::ReadRest() {
  std::string rest;
  char buffer[4096];
  DWORD got = 0;
  while (::ReadFile(impl_->output, buffer, sizeof buffer, &got, nullptr) && got > 0) {
    rest.append(buffer, got);
  }
  rest.erase(std::remove(rest.begin(), rest.end(), '\r'), rest.end());
  return rest;
}

int ChildProcess::Wait() {
  if (impl_->status >= 0) return impl_->status;
  ::WaitForSingleObject(impl_->process, INFINITE);
  DWORD code = 0;
  ::GetExitCodeProcess(impl_->process, &code);
  impl_->status = static_cast<int>(code);
  return impl_->status;
}

}  // namespace testing_support
