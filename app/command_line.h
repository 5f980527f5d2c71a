// The tool's options: declaration, parsing, and the decision between help,
// usage, version, refusal and a customization run.
#pragma once

#include <ctime>
#include <optional>
#include <string>
#include <vector>

#include "common/conflict_dialogue.h"
#include "iso/patch_layout.h"

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

  // For scripts and build pipelines.
  std::string output;  // -o: the new image goes here and the image stays as it is
  ConflictMode onConflict = ConflictMode::Ask;
  // keep: the image with only the changed sectors written; compact: a
  // fresh, packed image.
  ImageLayout layout = ImageLayout::Keep;
  // The file the VNC password was read from; the password itself is
  // already part of `vnc`.
  std::string vncPasswordFile;
  // SOURCE_DATE_EPOCH: the time the new image records, when it is set.
  std::optional<std::time_t> sourceDateEpoch;
};

enum class CommandLineOutcome { Help, Usage, Version, Refused, Run };

// Parses argv (and reads SOURCE_DATE_EPOCH and a VNC password file for a
// run). Help and usage print the "Open options" group to standard output,
// version its one line; a refusal prints one warning. Only Run fills
// `values` for a run.
CommandLineOutcome ParseCommandLine(int argc, const char* const argv[], OptionValues& values);
