// winpe-customize: customizes the ISO 9660 image of a bootable WinPE CD.
#include <exception>

#include "app/command_line.h"
#include "app/customization_run.h"
#include "app/run_guard.h"
#include "common/console.h"
#include "platform/interruption.h"
#include "platform/process_setup.h"

int main(int argc, char* argv[]) {
  platform::PrepareProcess();
  platform::HandleInterruptions(run_guard::OnInterruption);
  OptionValues values;
  switch (ParseCommandLine(argc, argv, values)) {
    case CommandLineOutcome::Help:
    case CommandLineOutcome::Usage:
    case CommandLineOutcome::Version:
      return 0;
    case CommandLineOutcome::Refused:
      return 1;
    case CommandLineOutcome::Run:
      break;
  }
  int code = 1;
  try {
    code = RunCustomization(values);
  } catch (const std::exception& e) {
    Warning("exception: %s", e.what());
  }
  run_guard::AwaitInterruption();
  return code;
}
