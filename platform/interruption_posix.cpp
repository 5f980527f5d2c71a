// Interruptions on POSIX systems: SIGINT, SIGTERM and SIGHUP are blocked in
// every thread and taken by one thread that waits for them with sigwait(2);
// the handler then runs as ordinary code, not in a signal handler.
#include "platform/interruption.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <system_error>
#include <thread>

namespace platform {
namespace {

struct Named {
  int number;
  const char* name;
};
const Named kInterruptions[] = {{SIGINT, "SIGINT"}, {SIGTERM, "SIGTERM"}, {SIGHUP, "SIGHUP"}};

sigset_t InterruptionSet() {
  sigset_t set;
  sigemptyset(&set);
  for (const Named& n : kInterruptions) sigaddset(&set, n.number);
  return set;
}

}  // namespace

void HandleInterruptions(InterruptionHandler handler) {
  const sigset_t set = InterruptionSet();
  // Blocked here, before the thread starts, so that every thread inherits
  // the mask and only sigwait takes these signals.
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  try {
    std::thread([handler, set] {
      int number = 0;
      while (sigwait(&set, &number) != 0) {
      }
      for (const Named& n : kInterruptions) {
        if (n.number == number) handler(Interruption{n.name, 128 + number});
      }
      EndProcess(128 + number);
    }).detach();
  } catch (const std::system_error&) {
    // Without the thread the signals keep their default action rather than
    // being blocked for good.
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
  }
}

void EndProcess(int exitCode) { ::_exit(exitCode); }

}  // namespace platform
