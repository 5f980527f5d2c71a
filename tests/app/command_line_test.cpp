// Command-line decisions: help, usage, refusals and the values handed on.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
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

TEST(CommandLine, HelpAndUsagePrintTheOpenOptions) {
  const std::string help = Parse({"--help"}).out;
  EXPECT_EQ(help.rfind("Open options:", 0), 0u);
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
    EXPECT_EQ(parsed.out, help);
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
      {{"x.iso"}, "argument 'x.iso' is not"},  // not usage: something was meant
      {{"-f", "a", "--", "-b"}, "arguments 'a', '-b' are not"},
      {{"-f", "--on-conflict", "skip"}, "'skip' is not a value of --on-conflict"},
      {{"-f", "--vnc-password-file", "pw"}, "--vnc-password-file gives the password of"},
      {{"-v", "p%s.exe%typed", "--vnc-password-file", "pw"}, "give the password in one place"},
      {{"-v", "p%s.exe%"}, "the -v value ends in an empty password"},  // an unset $PASSWORD
      {{"--disable-firewall", "--disable_firewall"}, "cannot be specified more than once"},
      {{"-o", "out.iso", "--on-conflict=abort"}, "no image given; --output works on one"},
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

TEST(CommandLine, UsefulOptionsStartARun) {
  // Lists keep their order across spellings; the first options' prefixes
  // stay theirs after later options share them.
  Parsed parsed = Parse({"-b", "one.exe", "--binary", "two.exe", "--vn", "v%s.exe"});
  ASSERT_EQ(parsed.outcome, CommandLineOutcome::Run) << parsed.err;
  EXPECT_EQ(parsed.values.binaries, (Strings{"one.exe", "two.exe"}));
  EXPECT_EQ(parsed.values.vnc, "v%s.exe");
  EXPECT_EQ(Parse({"--v=w%s.exe"}).values.vnc, "w%s.exe");

  // Every long option answers to its dashed spelling too (an unknown one is refused).
  parsed = Parse({"--start-binary", "a.exe", "--start_binary=b.exe", "--start-binary=c.exe",
                  "--storage-driver", "d", "--network-driver", "n", "--start-package", "p%x",
                  "--disable-firewall", "-b", "--binary-not-an-option", "--on_conflict=abort",
                  "-o", "out.iso"});
  ASSERT_EQ(parsed.outcome, CommandLineOutcome::Run) << parsed.err;
  EXPECT_EQ(parsed.values.startBinaries, (Strings{"a.exe", "b.exe", "c.exe"}));
  EXPECT_EQ(parsed.values.binaries, (Strings{"--binary-not-an-option"}));  // a value stays as typed
  EXPECT_EQ(parsed.values.onConflict, ConflictMode::Abort);
  EXPECT_EQ(parsed.values.output, "out.iso");

  // Each useful option alone is enough, an empty VNC value included.
  for (const auto& args : {std::initializer_list<const char*>{"-f"}, {"-X", "d"}, {"-Y", "f"},
                           {"-v", ""}, {"-n", "x"}}) {
    EXPECT_EQ(Parse(args).outcome, CommandLineOutcome::Run) << *args.begin();
  }
}

TEST(CommandLine, VersionIsOneLine) {
  Parsed parsed = Parse({"--version", "-i", "x.iso"});
  EXPECT_EQ(parsed.outcome, CommandLineOutcome::Version);
  EXPECT_EQ(parsed.out, std::string("winpe-customize ") + WPE_PROJECT_VERSION + "\n");
  EXPECT_EQ(parsed.err, "");
}

TEST(CommandLine, SourceDateEpochIsAWholeNumberOfSeconds) {
  const struct {
    const char* value;
    bool accepted;
  } rows[] = {{"0", true}, {"01700000000", true}, {"5869583999", true},  // the end of 2155
              {"5869584000", false}, {"99999999999999999999999", false}, {"", false},
              {"-1", false}, {"17e8", false}, {" 1700000000", false}, {"1700000000.5", false}};
  for (const auto& row : rows) {
    // Windows keeps no variable with an empty value: setting one removes it.
    if (*row.value == '\0' && !testing_support::kLinuxHost) continue;
    testing_support::SetEnvironment("SOURCE_DATE_EPOCH", row.value);
    Parsed parsed = Parse({"-f"});
    testing_support::SetEnvironment("SOURCE_DATE_EPOCH", nullptr);
    EXPECT_EQ(parsed.outcome, row.accepted ? CommandLineOutcome::Run : CommandLineOutcome::Refused)
        << row.value;
    if (row.accepted) {
      EXPECT_EQ(*parsed.values.sourceDateEpoch, std::stoll(row.value));
    } else {
      EXPECT_EQ(parsed.err.rfind(std::string("Warning: invalid SOURCE_DATE_EPOCH \"") + row.value +
                                 "\" - give the time",
                                 0),
                0u)
          << parsed.err;
    }
  }
}

TEST(CommandLine, VncPasswordFileGivesTheFirstLine) {
  testing_support::ScratchDir dir;
  const std::string missing = "missing";
  const struct {
    std::string content;
    const char* vnc;  // the -v value after the run's parse, or the warning's start
    bool accepted;
  } rows[] = {
      {"s3cret\r\nnext line\n", "pkg%run.exe%s3cret", true},
      {"with%percent, no line end", "pkg%run.exe%with%percent, no line end", true},
      // The byte order marks of Windows editors and shells are read, not stored.
      {"\xEF\xBB\xBFpw\xC3\xA9\n", "pkg%run.exe%pw\xC3\xA9", true},
      {std::string("\xFF\xFEp\0w\0\r\0\n\0", 10), "pkg%run.exe%pw", true},
      {"\nsecret on line two\n", "Warning: the first line of ", false},
      {std::string("\x7F" "ELF\0\1", 6), "Warning: the first line of ", false},
      {"pw\xE9\n", "Warning: the first line of ", false},  // not UTF-8
      {std::string("\xFF\xFEp", 3), "Warning: cannot read the VNC password from ", false},
      {missing, "Warning: cannot read the VNC password from ", false},
  };
  for (const auto& row : rows) {
    const std::string file = dir / "password";
    std::remove(file.c_str());
    if (row.content != missing) testing_support::WriteFile(file, row.content);
    // With the password field left empty, the file fills it.
    Parsed parsed = Parse({"-v", "pkg%run.exe%", "--vnc-password-file", file.c_str()});
    EXPECT_EQ(parsed.outcome, row.accepted ? CommandLineOutcome::Run : CommandLineOutcome::Refused)
        << row.vnc;
    if (row.accepted) {
      EXPECT_EQ(parsed.values.vnc, row.vnc);
      EXPECT_EQ(parsed.values.vncPasswordFile, file);
    } else {
      EXPECT_EQ(parsed.err.rfind(row.vnc, 0), 0u) << parsed.err;
    }
  }
}
