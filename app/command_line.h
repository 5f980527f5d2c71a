// The tool's options: declaration, parsing, and the decision between help,
// usage, refusal and a customization run.
#pragma once

#include <string>
#include <vector>

// Plain values of a parsed command line; the libraries never see argv.
struct OptionValues {
  std::string image;
  std::string tmp;
  std::string vnc;
  std::vector<std::string> storageDrivers;
  std::vector<std::string> networkDrivers;
  std::vector<std::string> binaries;
  std::vector<std::string> startBinaries;
  std::vector<std::string> packages;
  std::vector<std::string> startPackages;
  std::vector<std::string> directories;
  std::vector<std::string> files;
  bool disableFirewall = false;
  bool usefulOption = false;
};

enum class CommandLineOutcome { Help, Usage, Refused, Run };

// Parses argv. Help and usage print the "Open options" group to standard
// output; a refusal prints one warning. Only Run fills `values` for a run.
CommandLineOutcome ParseCommandLine(int argc, const char* const argv[], OptionValues& values);

// The "Open options" group as the help text prints it (without the final
// line end).
std::string OpenOptionsHelp();
