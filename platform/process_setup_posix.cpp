#include "platform/process_setup.h"

#include <csignal>

namespace platform {

void PrepareProcess() {
  // With SIGXFSZ ignored, write() returns EFBIG and the stream fails.
  std::signal(SIGXFSZ, SIG_IGN);
}

}  // namespace platform
