// Command-line decisions: help, usage, refusals and the values handed on.
#include <gtest/gtest.h>

#include <algorithm>
#include <initializer_list>
#include <string>
#include <vector>

#include "app/command_line.h"
#include "tests/test_support.h"

using testing_support::CaptureOutput;

namespace {

struct Parsed {
  CommandLineOutcome outcome;
  OptionValues values;
  std::string out;
  std::string err;
};

Parsed Parse(std::initializer_list<const char*> args) {
  std::vector<const char*> argv{"winpe-customize"};
  argv.insert(argv.end(), args.begin(), args.end());
  Parsed parsed{};
  CaptureOutput capture;
  parsed.outcome = ParseCommandLine(static_cast<int>(argv.size()), argv.data(), parsed.values);
  parsed.out = capture.Stdout();
  parsed.err = capture.Stderr();
  return parsed;
}

const std::string kRefusal = "Warning: parsing option error, exeption: ";

}  // namespace

TEST(CommandLine, HelpListsTheOpenOptionsOnly) {
  std::string help = OpenOptionsHelp();
  EXPECT_EQ(help.rfind("Open options:", 0), 0u) << help;
  const char* shown[] = {"--help",         "--image",           "--binary",
                         "--start_binary", "--vnc",             "--package",
                         "--start_package", "--disable_firewall", "--storage_driver",
                         "--network_driver", "--tmp"};
  size_t last = 0;
  for (const char* option : shown) {
    size_t at = help.find(option);
    ASSERT_NE(at, std::string::npos) << option;
    EXPECT_GT(at, last) << option << " is out of order";
    last = at;
  }
  EXPECT_EQ(help.find("--dir"), std::string::npos);
  EXPECT_EQ(help.find("--file"), std::string::npos);
  EXPECT_NE(help.find("package to be added and automatically start"), std::string::npos);
}

TEST(CommandLine, HelpAndUsagePrintTheOpenOptions) {
  struct Case {
    std::initializer_list<const char*> args;
    CommandLineOutcome outcome;
  };
  const Case cases[] = {
      {{}, CommandLineOutcome::Usage},                              // nothing at all
      {{"-h"}, CommandLineOutcome::Help},                           // help
      {{"--help", "-i", "x.iso", "-f"}, CommandLineOutcome::Help},  // help wins over a run
      {{"-t", "/tmp/w"}, CommandLineOutcome::Usage},                // tmp is not useful
  };
  for (const Case& c : cases) {
    Parsed parsed = Parse(c.args);
    EXPECT_EQ(parsed.outcome, c.outcome);
    EXPECT_EQ(parsed.out, OpenOptionsHelp() + "\n");
    EXPECT_EQ(parsed.err, "");
  }
}

TEST(CommandLine, RefusalsCarryTheLibraryText) {
  struct Case {
    std::initializer_list<const char*> args;
    const char* text;  // part of the warning after the fixed prefix
  };
  const Case cases[] = {
      {{"-i", "x.iso"}, "should specify at least one useful option"},
      {{"-i", "x.iso", "-t", "w"}, "should specify at least one useful option"},
      {{"-i", "a.iso", "-i", "b.iso", "-f"}, "cannot be specified more than once"},
      {{"--bogus", "-f"}, "'--bogus'"},
      {{"-f", "-i"}, "missing"},
      {{"-f=1"}, ""},
  };
  for (const Case& c : cases) {
    Parsed parsed = Parse(c.args);
    EXPECT_EQ(parsed.outcome, CommandLineOutcome::Refused);
    EXPECT_EQ(parsed.out, "");
    EXPECT_EQ(parsed.err.rfind(kRefusal, 0), 0u) << parsed.err;
    EXPECT_NE(parsed.err.find(c.text), std::string::npos) << parsed.err;
    EXPECT_EQ(parsed.err.back(), '\n');
    EXPECT_EQ(std::count(parsed.err.begin(), parsed.err.end(), '\n'), 1);
  }
}

TEST(CommandLine, UsefulOptionsStartARunWithTheirValuesInOrder) {
  Parsed parsed = Parse({"-b", "one.exe", "--binary", "two.exe", "-X", "dir%\\I386", "-Y",
                         "file.txt", "-P", "pkg%run.exe", "-v", "vnc%s.exe%pw", "-d", "drv",
                         "-n", "net", "-p", "pkg", "-B", "start.exe", "-t", "work"});
  ASSERT_EQ(parsed.outcome, CommandLineOutcome::Run);
  const OptionValues& v = parsed.values;
  EXPECT_EQ(v.image, "");
  EXPECT_EQ(v.tmp, "work");
  EXPECT_EQ(v.binaries, (std::vector<std::string>{"one.exe", "two.exe"}));
  EXPECT_EQ(v.directories, (std::vector<std::string>{"dir%\\I386"}));
  EXPECT_EQ(v.files, (std::vector<std::string>{"file.txt"}));
  EXPECT_EQ(v.startPackages, (std::vector<std::string>{"pkg%run.exe"}));
  EXPECT_EQ(v.vnc, "vnc%s.exe%pw");
  EXPECT_EQ(v.storageDrivers, (std::vector<std::string>{"drv"}));
  EXPECT_EQ(v.networkDrivers, (std::vector<std::string>{"net"}));
  EXPECT_EQ(v.packages, (std::vector<std::string>{"pkg"}));
  EXPECT_EQ(v.startBinaries, (std::vector<std::string>{"start.exe"}));
  EXPECT_FALSE(v.disableFirewall);
  EXPECT_TRUE(v.usefulOption);
}

TEST(CommandLine, EachUsefulOptionAloneStartsARun) {
  const std::initializer_list<const char*> cases[] = {
      {"-f"}, {"-X", "d"}, {"-Y", "f"}, {"-v", ""}, {"-d", "x"}, {"-n", "x"},
      {"-b", "x"}, {"-B", "x"}, {"-p", "x"}, {"-P", "x"},
  };
  for (const auto& args : cases) {
    Parsed parsed = Parse(args);
    EXPECT_EQ(parsed.outcome, CommandLineOutcome::Run) << *args.begin();
    EXPECT_EQ(parsed.err, "");
  }
  EXPECT_TRUE(Parse({"-f"}).values.disableFirewall);
}
