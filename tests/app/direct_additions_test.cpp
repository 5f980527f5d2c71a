// Direct additions: placement, the change / overwrite / abort prompt, and
// what reaches the modifier.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "app/direct_additions.h"
#include "iso/iso_modifier.h"
#include "iso/iso_reader.h"
#include "tests/fake_entries.h"
#include "tests/test_support.h"

namespace {

// The source image's directories: the parent of an addition must be one.
class FakeReader : public ISOReader {
 public:
  FakeReader() : ISOReader("unused.iso") {}
  bool DirectoryExists(const std::string& path) override {
    return std::set<std::string>{"", "I386", "PROGRAMS", "PROGRAMS\\tool"}.count(
               TrimTrailingSeparators(TrimLeadingSeparators(path))) > 0;
  }
};

// Records "D local image" / "F local image" for each call (replace flag set).
// Names are taken in what it holds so far: the source image (\I386 holding
// the file TAKEN;1, \PROGRAMS\tool, \NEW) and an earlier addition,
// \I386\EARLIER.
class RecordingModifier : public ISOModifier {
 public:
  RecordingModifier() : ISOModifier("unused.iso") {}
  std::uint32_t SameEntryType(const std::string& path) override {
    return testing_support::SameEntryTypeIn({"I386\\TAKEN;1", "NEW", "I386\\EARLIER"},
                                            {"I386", "PROGRAMS", "PROGRAMS\\tool"}, path);
  }
  int AddSingleFile(const std::string& local, const std::string& image, bool replace) override {
    calls.push_back("F " + local + " " + image + (replace ? "" : " !replace"));
    return result;
  }
  int AddSingleDirectory(const std::string& local, const std::string& image, bool replace) override {
    calls.push_back("D " + local + " " + image + (replace ? "" : " !replace"));
    return result;
  }
  std::vector<std::string> calls;
  int result = 0;
};

struct Outcome {
  int result;
  std::string out, err;
  std::vector<std::string> calls;
  std::string unread;  // standard input left unread
};

Outcome Add(bool directory, const std::string& local, const std::string& place,
            const std::string& input = "", int modifierResult = 0,
            ConflictMode mode = ConflictMode::Ask) {
  FakeReader reader;
  RecordingModifier modifier;
  modifier.result = modifierResult;
  testing_support::FeedStdin feed(input);
  testing_support::CaptureOutput capture;
  int result = directory ? AddDirectoryToImage(local, place, &reader, &modifier, mode)
                         : AddFileToImage(local, place, &reader, &modifier, mode);
  return {result, capture.Stdout(), capture.Stderr(), modifier.calls, feed.Unread()};
}

std::string Prompt(const char* kind) {
  return std::string("Log: a file or directory with same name exists\n") +
         "Log: change the destination " + kind + " name, overwrite or abort\n" +
         "Log: press 'c' to change name, 'o' to overwrite, other key to abort\n";
}

}  // namespace

TEST(DirectAdditions, PlacementBuildsTheImagePath) {
  struct Case {
    const char* local;
    const char* place;
    const char* call;  // what the modifier receives
  } cases[] = {
      {"/src/data", "", "D /src/data data"},                    // the root without "%"
      {"/src/data", "\\", "D /src/data \\data"},                // "\" as the place
      {"/src/data//", "\\I386\\", "D /src/data// \\I386\\data"},  // trailing separators keep the name
      {"/src/data", "/I386/", "D /src/data /I386/data"},        // "/" accepted as well
  };
  for (const Case& c : cases) {
    Outcome o = Add(true, c.local, c.place);
    EXPECT_EQ(o.result, 0);
    EXPECT_EQ(o.out, "Log: adding directory data ...\nLog: adding directory data succeeded\n");
    EXPECT_EQ(o.calls, std::vector<std::string>{c.call});
  }
}

TEST(DirectAdditions, Failures) {
  // The parent must be a directory of the source image.
  Outcome o = Add(false, "/src/a.txt", "\\ONLY\\ADDED");
  EXPECT_EQ(o.result, 1);
  EXPECT_EQ(o.err, "Warning: adding file a.txt failed - parent directory does not exists\n");
  EXPECT_TRUE(o.calls.empty());
  o = Add(true, "/src/d", "\\ONLY");
  EXPECT_EQ(o.err, "Warning: adding directory d failed - parent directory does not exist\n");
  // The modifier refuses.
  o = Add(false, "/src/a.txt", "\\I386", "", 1);
  EXPECT_EQ(o.err, "Warning: adding file a.txt failed - failed to add file into ISO\n");
}

TEST(DirectAdditions, ConflictPrompt) {
  // A directory clashing with a file: "c" with a taken name, then a free one
  // (key and name on one line, then on two).
  Outcome o = Add(true, "/src/TAKEN", "\\I386", "c TAKEN\nc\nfree\n");
  EXPECT_EQ(o.result, 0);
  EXPECT_EQ(o.out, "Log: adding directory TAKEN ...\n" + Prompt("directory") +
                       "Log: please enter the new name for the directory TAKEN\n" +
                       Prompt("directory") +
                       "Log: please enter the new name for the directory TAKEN\n"
                       "Log: adding directory free succeeded\n");
  EXPECT_EQ(o.calls, std::vector<std::string>{"D /src/TAKEN \\I386\\free"});

  // "o" keeps the name.
  o = Add(false, "/src/TAKEN", "\\I386", "o\n");
  EXPECT_EQ(o.out, "Log: adding file TAKEN ...\n" + Prompt("file") + "Log: adding file TAKEN succeeded\n");
  EXPECT_EQ(o.calls, std::vector<std::string>{"F /src/TAKEN \\I386\\TAKEN"});

  // Another key, an upper-case C, end of input at either prompt: abort.
  for (const char* input : {"x\n", "C\n", "", "c\n"}) {
    o = Add(false, "/src/NEW", "", input);
    EXPECT_EQ(o.result, 1) << input;
    EXPECT_EQ(o.err, "Warning: adding file NEW failed - file name conflict, aborted by user\n");
    EXPECT_TRUE(o.calls.empty());
  }
  // Names compare without case and version, against earlier additions too.
  for (const char* local : {"/src/new", "/src/taken", "/src/Earlier"}) {
    o = Add(false, local, std::string(local) == "/src/new" ? "" : "\\I386", "x\n");
    EXPECT_EQ(o.result, 1) << local;
    EXPECT_EQ(o.out.find(Prompt("file")), o.out.find('\n') + 1) << local;
  }
  // A new name that no image can hold.
  o = Add(false, "/src/NEW", "", "c a:b\n");
  EXPECT_EQ(o.err, "Warning: adding file failed, exception: invalid name \"a:b\": it holds the "
                   "character ':'\n");
  o = Add(true, "/src/tool", "\\PROGRAMS", "n\n");
  EXPECT_EQ(o.err, "Warning: adding directory tool failed - package name conflict, aborted by user\n");

  // --on-conflict=overwrite (abort is the editor's test): the answer waiting stays there.
  o = Add(false, "/src/TAKEN", "\\I386", "x\n", 0, ConflictMode::Overwrite);
  EXPECT_EQ(o.result, 0);
  EXPECT_EQ(o.out, "Log: adding file TAKEN ...\nLog: a file or directory with same name exists\n"
                   "Log: TAKEN replaces it (--on-conflict=overwrite)\n"
                   "Log: adding file TAKEN succeeded\n");
  EXPECT_EQ(o.calls, std::vector<std::string>{"F /src/TAKEN \\I386\\TAKEN"});
  EXPECT_EQ(o.unread, "x\n");
}
