#include "platform/process_setup.h"

#include <csignal>

namespace platform {

void PrepareProcess() {
  // With SIGXFSZ ignored, write() returns EFBIG and the stream fails.
  std::signal(SIGXFSZ, SIG_IGN);
  // A console that went away (a closed pipe) must not kill the run halfway:
  // writes to it fail instead, and the run ends as it would have, cleaning
  // up after itself.
  std::signal(SIGPIPE, SIG_IGN);
}

}  // namespace platform
