// Interruptions of a run by the user or the system: Ctrl-C, a request to
// terminate, the terminal going away. Each is handled in a thread of its
// own, so that the handler may remove what the run made with ordinary calls
// while the rest of the process stays where it was (at a prompt, say).
#pragma once

namespace platform {

struct Interruption {
  const char* name;  // "SIGINT", ...
  int exitCode;      // what the process ends with (128 + the signal number)
};

using InterruptionHandler = void (*)(const Interruption&);

// From now on each interruption calls `handler` in a thread of its own; the
// handler ends the process with EndProcess. Call once, at start-up, before
// any other thread is started.
void HandleInterruptions(InterruptionHandler handler);

// Ends the process at once with `exitCode`, without destructors or exit
// handlers (the other threads may be in the middle of anything).
[[noreturn]] void EndProcess(int exitCode);

}  // namespace platform
