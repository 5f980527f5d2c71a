// Command-line decisions: help, usage, refusals and the values handed on.
#include <gtest/gtest.h>

#include <algorithm>
#include <initializer_list>
#include <string>
#include <vector>

#include "app/command_line.h"
#include "tests/test_support.h"

namespace {

struct Parsed {
  CommandLineOutcome outcome;
  OptionValues values;
  std::string out, err;
};

Parsed Parse(std::initializer_list<const char*> args) {
  std::vector<const char*> argv{"winpe-customize"};
  argv.insert(argv.end(), args.begin(), args.end());
  Parsed parsed{};
  testing_support::CaptureOutput capture;
  parsed.outcome = ParseCommandLine(static_cast<int>(argv.size()), argv.data(), parsed.values);
  parsed.out = capture.Stdout();
  parsed.err = capture.Stderr();
  return parsed;
}

using Strings = std::vector<std::string>;

}  // namespace

TEST(CommandLine, HelpAndUsagePrintTheOpenOptionsInOrder) {
  const std::string help = OpenOptionsHelp();
  size_t last = 0;
  for (const char* option : {"Open options:", "--help", "--image", "--binary", "--start_binary",
                             "--vnc", "--package", "--start_package", "--disable_firewall",
                             "--storage_driver", "--network_driver", "--tmp"}) {
    size_t at = help.find(option);
    ASSERT_NE(at, std::string::npos) << option;
    EXPECT_GE(at, last) << option << " is out of order";
    last = at;
  }
  EXPECT_EQ(help.find("--dir"), std::string::npos);  // hidden options are never shown
  EXPECT_EQ(help.find("--file"), std::string::npos);

  struct Case {
    std::initializer_list<const char*> args;
    CommandLineOutcome outcome;
  } cases[] = {
      {{}, CommandLineOutcome::Usage},
      {{"--help", "-i", "x.iso", "-f"}, CommandLineOutcome::Help},  // help wins over a run
      {{"-t", "/tmp/w"}, CommandLineOutcome::Usage},                // tmp is not a useful option
  };
  for (const Case& c : cases) {
    Parsed parsed = Parse(c.args);
    EXPECT_EQ(parsed.outcome, c.outcome);
    EXPECT_EQ(parsed.out, help + "\n");
    EXPECT_EQ(parsed.err, "");
  }
}

TEST(CommandLine, RefusalsAreOneWarningLine) {
  struct Case {
    std::initializer_list<const char*> args;
    const char* text;  // part of the library's (or our) text after the fixed prefix
  } cases[] = {
      {{"-i", "x.iso", "-t", "w"}, "should specify at least one useful option"},
      {{"-i", "a.iso", "-i", "b.iso", "-f"}, "cannot be specified more than once"},
      {{"--bogus", "-f"}, "'--bogus'"},
      {{"-f", "-i"}, "missing"},
      // Arguments that are no option's value are named, a forgotten -i first of all.
      {{"x.iso", "-f"}, "argument 'x.iso' is not the value of any option"},
      {{"-i", "x.iso", "-f", "extra"}, "argument 'extra' is not"},
      {{"x.iso"}, "argument 'x.iso' is not"},  // not usage: something was meant
      {{"-f", "a", "--", "-b"}, "arguments 'a', '-b' are not"},
  };
  for (const Case& c : cases) {
    Parsed parsed = Parse(c.args);
    EXPECT_EQ(parsed.outcome, CommandLineOutcome::Refused);
    EXPECT_EQ(parsed.out, "");
    EXPECT_EQ(parsed.err.rfind("Warning: parsing option error, exeption: ", 0), 0u) << parsed.err;
    EXPECT_NE(parsed.err.find(c.text), std::string::npos) << parsed.err;
    EXPECT_EQ(std::count(parsed.err.begin(), parsed.err.end(), '\n'), 1);
  }
}

TEST(CommandLine, UsefulOptionsStartARunWithTheirValuesInOrder) {
  Parsed parsed = Parse({"-b", "one.exe", "--binary", "two.exe", "-X", "dir%\\I386", "-Y", "f.txt",
                         "-P", "pkg%run.exe", "-v", "vnc%s.exe%pw", "-d", "drv", "-n", "net",
                         "-p", "pkg", "-B", "start.exe", "-t", "work"});
  ASSERT_EQ(parsed.outcome, CommandLineOutcome::Run);
  const OptionValues& v = parsed.values;
  EXPECT_EQ(v.image, "");  // no image is not refused here: the run stops at its first step
  EXPECT_EQ(v.tmp, "work");
  EXPECT_EQ(v.binaries, (Strings{"one.exe", "two.exe"}));
  EXPECT_EQ(v.directories, (Strings{"dir%\\I386"}));
  EXPECT_EQ(v.files, (Strings{"f.txt"}));
  EXPECT_EQ(v.startPackages, (Strings{"pkg%run.exe"}));
  EXPECT_EQ(v.vnc, "vnc%s.exe%pw");
  EXPECT_EQ(v.storageDrivers, (Strings{"drv"}));
  EXPECT_EQ(v.networkDrivers, (Strings{"net"}));
  EXPECT_EQ(v.packages, (Strings{"pkg"}));
  EXPECT_EQ(v.startBinaries, (Strings{"start.exe"}));
  EXPECT_FALSE(v.disableFirewall);

  // Each useful option alone is enough, an empty VNC value included.
  for (const auto& args : {std::initializer_list<const char*>{"-f"}, {"-X", "d"}, {"-Y", "f"},
                           {"-v", ""}, {"-n", "x"}}) {
    EXPECT_EQ(Parse(args).outcome, CommandLineOutcome::Run) << *args.begin();
  }
}
