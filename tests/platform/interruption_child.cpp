// A run cut short: interruption_child DIR interrupt|terminate|hangup; 77 when it cannot be.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>

#include <boost/filesystem.hpp>

#include "app/image_files.h"
#include "app/run_guard.h"
#include "platform/interruption.h"
#include "tests/test_support.h"

int main(int argc, char* argv[]) {
  using testing_support::InterruptionKind;
  if (argc != 3) return 2;
  const std::string dir = argv[1];
  const InterruptionKind kind = std::strcmp(argv[2], "interrupt") == 0   ? InterruptionKind::Interrupt
                                : std::strcmp(argv[2], "terminate") == 0 ? InterruptionKind::Terminate
                                                                         : InterruptionKind::HangUp;
  platform::HandleInterruptions(run_guard::OnInterruption);
  ImageFiles files(dir + "/image.iso", "");
  {
    auto hold = run_guard::Hold();
    boost::filesystem::create_directory(dir + "/work");
    std::ofstream(dir + "/work/BootImage.bin") << "boot";
    run_guard::WatchWorkspace(dir + "/work", false);
    if (!files.Prepare()) return 3;
    run_guard::WatchImageFiles(&files);
  }
  std::string why;
  if (!testing_support::InterruptThisProcess(kind, why)) {
    std::printf("cannot interrupt: %s\n", why.c_str());
    return 77;
  }
  // The handler ends the process from its own thread.
  std::this_thread::sleep_for(std::chrono::seconds(30));
  return 4;
}
