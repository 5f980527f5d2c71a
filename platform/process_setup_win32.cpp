#include "platform/process_setup.h"

#include <cstdlib>

#include "platform/windows_support.h"

namespace platform {
namespace {

UINT savedOutputCodePage = 0;

}  // namespace

void RestoreProcessSettings() {
  if (savedOutputCodePage != 0) ::SetConsoleOutputCP(savedOutputCodePage);
}

void PrepareProcess() {
  // A drive without a medium (an empty CD drive named on the command line)
  // is then an error the run reports, not a dialog box that stops a script.
  ::SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
  // Names reach the console as UTF-8 (the manifest's code page); the
  // console shows them as such while the tool runs and gets its own code
  // page back afterwards.
  savedOutputCodePage = ::GetConsoleOutputCP();
  if (savedOutputCodePage != 0 && savedOutputCodePage != CP_UTF8 &&
      ::SetConsoleOutputCP(CP_UTF8)) {
    std::atexit(RestoreProcessSettings);
  } else {
    savedOutputCodePage = 0;
  }
}

}  // namespace platform
