#include "app/command_line.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <fstream>
#include <iostream>
#include <stdexcept>
#include <utility>

#include <boost/program_options.hpp>

#include "common/console.h"
#include "common/text_encoding.h"
#include "winpe/option_values.h"

namespace po = boost::program_options;

namespace {

using StringList = std::vector<std::string>;

constexpr unsigned kLineLength = 80;
// The last moment a record date can hold: its year is a byte counted from 1900.
constexpr long long kLatestRecordableTime = 5869583999;  // 2155-12-31 23:59:59 UTC
// A password file's first line is short; this bounds what is read of one
// that never ends a line.
constexpr std::size_t kLongestPasswordLine = 4096;

// Every long option answers to its name with "_" and with "-" between its
// words; help shows the first spelling.
std::string Names(const std::string& name, const char* shortName = nullptr) {
  std::string names = name;
  std::string other = name;
  for (char& c : other) c = c == '_' ? '-' : c == '-' ? '_' : c;
  if (other != name) names += "," + other;
  if (shortName) names += std::string(",") + shortName;
  return names;
}

// The shown options, in the order the help text lists them; the options
// for scripts follow the table's.
po::options_description OpenOptions() {
  po::options_description open("Open options", kLineLength);
  open.add_options()
      (Names("help", "h").c_str(), "produce help message")
      (Names("image", "i").c_str(), po::value<std::string>(), "specify image file")
      (Names("binary", "b").c_str(), po::value<StringList>(), "binary files to add")
      (Names("start_binary", "B").c_str(), po::value<StringList>(),
       "binary files to add and automatically start")
      (Names("vnc", "v").c_str(), po::value<std::string>(), "vnc package to be added")
      (Names("package", "p").c_str(), po::value<StringList>(), "software package to be added")
      (Names("start_package", "P").c_str(), po::value<StringList>(),
       "package to be added and automatically start")
      (Names("disable_firewall", "f").c_str(), "disable firewall")
      (Names("storage_driver", "d").c_str(), po::value<StringList>(), "add storage device driver")
      (Names("network_driver", "n").c_str(), po::value<StringList>(), "add network device driver")
      (Names("tmp", "t").c_str(), po::value<std::string>(), "specify a temporary directory")
      (Names("output", "o").c_str(), po::value<std::string>(),
       "write the new image to this file and leave the image as it is")
      (Names("on-conflict").c_str(), po::value<std::string>(),
       "what to do when a name is taken: ask (the default), abort or overwrite")
      (Names("layout").c_str(), po::value<std::string>(),
       "keep (the default: change only what the run changes) or compact (a fresh, packed image)")
      (Names("vnc-password-file").c_str(), po::value<std::string>(),
       "read the VNC password from the first line of this file")
      (Names("version").c_str(), "print the version number");
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

// The long options of the first releases. A prefix that named exactly one
// of them ("--vn" for --vnc) keeps naming it, although options added since
// (--vnc-password-file, --version) would make it ambiguous.
const char* const kFirstLongNames[] = {
    "help", "image", "binary", "start_binary", "vnc", "package", "start_package",
    "disable_firewall", "storage_driver", "network_driver", "tmp", "dir", "file"};

// An option argument "--PREFIX" or "--PREFIX=VALUE" that is such a prefix
// becomes that option; anything else is left to the library.
std::pair<std::string, std::string> FirstOptionPrefix(const po::options_description& all,
                                                      const std::string& argument) {
  if (argument.compare(0, 2, "--") != 0) return {};
  const std::size_t equals = argument.find('=');
  const std::string prefix = argument.substr(2, equals == std::string::npos ? equals : equals - 2);
  if (prefix.empty() || all.find_nothrow(prefix, false) != nullptr) return {};
  const char* named = nullptr;
  for (const char* name : kFirstLongNames) {
    if (std::string(name).compare(0, prefix.size(), prefix) != 0) continue;
    if (named != nullptr) return {};
    named = name;
  }
  if (named == nullptr) return {};
  return {named, equals == std::string::npos ? "" : argument.substr(equals + 1)};
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

// The options for scripts, after the table's; throws on a value that is
// not one they take.
void ReadScriptOptions(const po::variables_map& vm, OptionValues& values) {
  if (vm.count("output")) values.output = vm["output"].as<std::string>();
  if (vm.count("on-conflict")) {
    const std::string mode = vm["on-conflict"].as<std::string>();
    if (!ParseConflictMode(mode, values.onConflict)) {
      throw std::invalid_argument("'" + mode + "' is not a value of --on-conflict; give ask, "
                                  "abort or overwrite");
    }
  }
  if (vm.count("layout")) {
    const std::string layout = vm["layout"].as<std::string>();
    if (layout != "keep" && layout != "compact") {
      throw std::invalid_argument("'" + layout + "' is not a value of --layout; give keep or compact");
    }
    values.layout = layout == "keep" ? ImageLayout::Keep : ImageLayout::Compact;
  }
  if (vm.count("vnc-password-file")) {
    values.vncPasswordFile = vm["vnc-password-file"].as<std::string>();
    if (values.vnc.empty()) {
      throw std::invalid_argument("--vnc-password-file gives the password of the VNC package "
                                  "of -v; give -v PACKAGE%EXECUTABLE with it");
    }
    if (!ParseVncValue(values.vnc).password.empty()) {
      throw std::invalid_argument("the -v value holds a password and --vnc-password-file gives "
                                  "one too; give the password in one place only");
    }
  }
}

// The first line of the file, without its line end (LF or CR LF), decoded
// by its byte order mark (what Windows editors and shells write). False
// after a warning line when there is no such line to read.
bool ReadPasswordLine(const std::string& path, std::string& password) {
  std::ifstream in(path, std::ios::binary);
  // Room for the longest line in UTF-16, its mark and its line end.
  std::string bytes(2 * kLongestPasswordLine + 8, '\0');
  if (in.is_open()) in.read(&bytes[0], static_cast<std::streamsize>(bytes.size()));
  if (!in.is_open() || in.bad()) {
    Warning("cannot read the VNC password from %s: %s", path.c_str(), std::strerror(errno));
    return false;
  }
  bytes.resize(static_cast<std::size_t>(in.gcount()));
  std::string text;
  try {
    TextEncoding encoding;
    text = DecodeText(bytes, encoding);
  } catch (const std::runtime_error& e) {
    Warning("cannot read the VNC password from %s: %s", path.c_str(), e.what());
    return false;
  }
  const std::size_t lineEnd = text.find('\n');
  password = text.substr(0, lineEnd);
  if (lineEnd != std::string::npos && !password.empty() && password.back() == '\r') {
    password.pop_back();
  }
  if (password.size() > kLongestPasswordLine) {
    Warning("the first line of %s is longer than %zu bytes; it is not a VNC password file",
            path.c_str(), kLongestPasswordLine);
    return false;
  }
  if (password.empty()) {
    Warning("the first line of %s is empty; write the VNC password there, or leave out "
            "--vnc-password-file for a server without a password",
            path.c_str());
    return false;
  }
  if (!IsPrintableUtf8(password)) {
    Warning("the first line of %s is not text (UTF-8, or UTF-16 with its byte order mark); it "
            "is not a VNC password file",
            path.c_str());
    return false;
  }
  return true;
}

// A password from a file joins the -v value, which then holds the whole
// VNC setting as if it had been typed (only never on the command line).
bool TakeVncPasswordFile(OptionValues& values) {
  if (values.vncPasswordFile.empty()) return true;
  StartValue vnc = ParseVncValue(values.vnc);
  // A value without "%" is refused by the option checks, as it always is.
  if (!vnc.hasPercent) return true;
  if (!ReadPasswordLine(values.vncPasswordFile, vnc.password)) return false;
  values.vnc = VncValueText(vnc);
  return true;
}

// SOURCE_DATE_EPOCH, the build pipelines' fixed time: a decimal number of
// seconds since 1970-01-01 00:00:00 UTC. False after a warning line when it
// is set to anything else.
bool ReadSourceDateEpoch(OptionValues& values) {
  const char* text = std::getenv("SOURCE_DATE_EPOCH");
  if (text == nullptr) return true;
  const std::string value = text;
  // Digit by digit, so that no value is too long to judge.
  long long seconds = 0;
  bool valid = !value.empty();
  for (const char c : value) {
    valid = valid && c >= '0' && c <= '9' && seconds <= kLatestRecordableTime;
    if (!valid) break;
    seconds = seconds * 10 + (c - '0');
  }
  valid = valid && seconds <= kLatestRecordableTime;
  if (valid) {
    values.sourceDateEpoch = static_cast<std::time_t>(seconds);
  } else {
    Warning("invalid SOURCE_DATE_EPOCH \"%s\" - give the time the image is to record as a whole "
            "number of seconds since 1970-01-01 00:00:00 UTC (date +%%s), at most %lld, or "
            "unset it",
            value.c_str(), kLatestRecordableTime);
  }
  return valid;
}

// The options that change the image, and whether any was given.
void ReadRunOptions(const po::variables_map& vm, OptionValues& parsed) {
  bool& useful = parsed.usefulOption;
  if (vm.count("image")) parsed.image = vm["image"].as<std::string>();
  ReadList(vm, "storage_driver", parsed.storageDrivers, useful);
  ReadList(vm, "network_driver", parsed.networkDrivers, useful);
  if (vm.count("tmp")) parsed.tmp = vm["tmp"].as<std::string>();
  if (vm.count("vnc")) {
    parsed.vnc = vm["vnc"].as<std::string>();
    useful = true;
    // An unset variable in PACKAGE%EXECUTABLE%$PASSWORD would otherwise
    // make a server that anyone can reach.
    const StartValue vnc = ParseVncValue(parsed.vnc);
    if (vnc.hasPasswordField && vnc.password.empty() && !vm.count("vnc-password-file")) {
      throw std::invalid_argument("the -v value ends in an empty password; give it after the "
                                  "second \"%\", or leave out that \"%\" for a server "
                                  "without a password");
    }
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
}

}  // namespace

CommandLineOutcome ParseCommandLine(int argc, const char* const argv[], OptionValues& values) {
  OptionValues parsed;
  try {
    po::options_description open = OpenOptions();
    po::options_description all("All options", kLineLength);
    all.add(open).add(HiddenOptions());

    po::variables_map vm;
    const po::parsed_options parsedOptions =
        po::command_line_parser(argc, argv)
            .options(all)
            .extra_parser([&all](const std::string& a) { return FirstOptionPrefix(all, a); })
            .run();
    po::store(parsedOptions, vm);
    po::notify(vm);

    if (vm.count("help")) {
      PrintOpenOptions(open);
      return CommandLineOutcome::Help;
    }
    if (vm.count("version")) {
      std::cout << "winpe-customize " << WPE_VERSION << std::endl;
      return CommandLineOutcome::Version;
    }
    RefuseStrayArguments(parsedOptions);

    ReadRunOptions(vm, parsed);
    const bool useful = parsed.usefulOption;

    if (!useful && !vm.count("image")) {
      // The options for scripts work on an image: without one they were
      // meant for a run, not a request for the usage.
      for (const char* name : {"output", "on-conflict", "vnc-password-file"}) {
        if (vm.count(name)) {
          throw std::invalid_argument(std::string("no image given; --") + name +
                                      " works on one: give it as -i IMAGE");
        }
      }
      PrintOpenOptions(open);
      return CommandLineOutcome::Usage;
    }
    if (!useful) throw std::invalid_argument("should specify at least one useful option");
    ReadScriptOptions(vm, parsed);
  } catch (const std::exception& e) {
    Warning("parsing option error, exeption: %s", e.what());
    return CommandLineOutcome::Refused;
  }
  if (!ReadSourceDateEpoch(parsed) || !TakeVncPasswordFile(parsed)) {
    return CommandLineOutcome::Refused;
  }
  values = parsed;
  return CommandLineOutcome::Run;
}
