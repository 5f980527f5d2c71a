#include "app/command_line.h"

#include <exception>
#include <iostream>
#include <sstream>
#include <stdexcept>

#include <boost/program_options.hpp>

#include "common/console.h"

namespace po = boost::program_options;

namespace {

using StringList = std::vector<std::string>;

constexpr unsigned kLineLength = 80;

// The shown options, in the order the help text lists them.
po::options_description OpenOptions() {
  po::options_description open("Open options", kLineLength);
  open.add_options()
      ("help,h", "produce help message")
      ("image,i", po::value<std::string>(), "specify image file")
      ("binary,b", po::value<StringList>(), "binary files to add")
      ("start_binary,B", po::value<StringList>(), "binary files to add and automatically start")
      ("vnc,v", po::value<std::string>(), "vnc package to be added")
      ("package,p", po::value<StringList>(), "software package to be added")
      ("start_package,P", po::value<StringList>(), "package to be added and automatically start")
      ("disable_firewall,f", "disable firewall")
      ("storage_driver,d", po::value<StringList>(), "add storage device driver")
      ("network_driver,n", po::value<StringList>(), "add network device driver")
      ("tmp,t", po::value<std::string>(), "specify a temporary directory");
  return open;
}

// Accepted on the command line but never shown.
po::options_description HiddenOptions() {
  po::options_description hidden("Hidden options", kLineLength);
  hidden.add_options()
      ("dir,X", po::value<StringList>(), "add directory")
      ("file,Y", po::value<StringList>(), "add file");
  return hidden;
}

void PrintOpenOptions(const po::options_description& open) { std::cout << open << std::endl; }

// Arguments that belong to no option would otherwise be dropped without a
// word; the commonest is an image given without -i.
void RefuseStrayArguments(const po::parsed_options& parsed) {
  const StringList stray = po::collect_unrecognized(parsed.options, po::include_positional);
  if (stray.empty()) return;
  std::string named;
  for (const std::string& argument : stray) named += (named.empty() ? "'" : ", '") + argument + "'";
  throw std::invalid_argument(
      std::string(stray.size() == 1 ? "argument " : "arguments ") + named +
      (stray.size() == 1 ? " is" : " are") +
      " not the value of any option; every value follows its option, the image as -i IMAGE");
}

// Reads a list option; marks a useful option when present.
void ReadList(const po::variables_map& vm, const char* name, StringList& list, bool& useful) {
  if (vm.count(name)) {
    list = vm[name].as<StringList>();
    useful = true;
  }
}

}  // namespace

std::string OpenOptionsHelp() {
  std::ostringstream text;
  text << OpenOptions();
  return text.str();
}

CommandLineOutcome ParseCommandLine(int argc, const char* const argv[], OptionValues& values) {
  try {
    po::options_description open = OpenOptions();
    po::options_description all("All options", kLineLength);
    all.add(open).add(HiddenOptions());

    po::variables_map vm;
    const po::parsed_options parsedOptions = po::parse_command_line(argc, argv, all);
    po::store(parsedOptions, vm);
    po::notify(vm);

    if (vm.count("help")) {
      PrintOpenOptions(open);
      return CommandLineOutcome::Help;
    }
    RefuseStrayArguments(parsedOptions);

    OptionValues parsed;
    bool& useful = parsed.usefulOption;
    if (vm.count("image")) parsed.image = vm["image"].as<std::string>();
    ReadList(vm, "storage_driver", parsed.storageDrivers, useful);
    ReadList(vm, "network_driver", parsed.networkDrivers, useful);
    if (vm.count("tmp")) parsed.tmp = vm["tmp"].as<std::string>();
    if (vm.count("vnc")) {
      parsed.vnc = vm["vnc"].as<std::string>();
      useful = true;
    }
    ReadList(vm, "binary", parsed.binaries, useful);
    ReadList(vm, "start_binary", parsed.startBinaries, useful);
    ReadList(vm, "package", parsed.packages, useful);
    ReadList(vm, "start_package", parsed.startPackages, useful);
    if (vm.count("disable_firewall")) {
      parsed.disableFirewall = true;
      useful = true;
    }
    ReadList(vm, "dir", parsed.directories, useful);
    ReadList(vm, "file", parsed.files, useful);

    if (!useful && !vm.count("image")) {
      PrintOpenOptions(open);
      return CommandLineOutcome::Usage;
    }
    if (!useful) throw std::invalid_argument("should specify at least one useful option");

    values = parsed;
    return CommandLineOutcome::Run;
  } catch (const std::exception& e) {
    Warning("parsing option error, exeption: %s", e.what());
    return CommandLineOutcome::Refused;
  }
}
