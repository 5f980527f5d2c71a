// Interruptions on Windows: Ctrl-C, Ctrl-Break, the console window being
// closed, the user logging off and the system shutting down reach a
// console handler, which the system calls in a thread of its own; the
// handler runs there as ordinary code, as the signal thread does on other
// systems. Each ends the process with the code a shell reports for the
// matching signal: Ctrl-C as SIGINT (130), Ctrl-Break and shutdown as
// SIGTERM (143), a closed console and logoff as SIGHUP (129). After a
// close, logoff or shutdown the system waits only a few seconds before it
// ends the process itself.
#include "platform/interruption.h"

#include "platform/process_setup.h"
#include "platform/windows_support.h"

namespace platform {
namespace {

struct Named {
  DWORD event;
  Interruption interruption;
};
const Named kInterruptions[] = {
    {CTRL_C_EVENT, {"Ctrl-C", 130}},
    {CTRL_BREAK_EVENT, {"Ctrl-Break", 143}},
    {CTRL_CLOSE_EVENT, {"closing the console", 129}},
    {CTRL_LOGOFF_EVENT, {"logoff", 129}},
    {CTRL_SHUTDOWN_EVENT, {"shutdown", 143}},
};

InterruptionHandler installed = nullptr;

BOOL WINAPI OnConsoleEvent(DWORD event) {
  for (const Named& n : kInterruptions) {
    if (n.event != event) continue;
    installed(n.interruption);
    EndProcess(n.interruption.exitCode);
  }
  return FALSE;  // not ours: the next handler, or the system's default
}

}  // namespace

void HandleInterruptions(InterruptionHandler handler) {
  installed = handler;
  // Without the handler the events keep their default action, which ends
  // the process, as the signals' do elsewhere.
  ::SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

void EndProcess(int exitCode) {
  RestoreProcessSettings();
  // TerminateProcess, not ExitProcess: no library clean-up runs while the
  // other threads may hold its locks.
  ::TerminateProcess(::GetCurrentProcess(), static_cast<UINT>(exitCode));
  for (;;) ::Sleep(INFINITE);  // not reached; the process is ending
}

}  // namespace platform
