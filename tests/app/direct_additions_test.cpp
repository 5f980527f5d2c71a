// Direct additions: placement, the conflict prompt, and what reaches the modifier.
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

// The source image: \I386 holding the file TAKEN;1, \PROGRAMS\tool and
// \NEW; its directories are the parents an addition may have.
class FakeReader : public ISOReader {
 public:
  FakeReader() : ISOReader("unused.iso") {}
  bool DirectoryExists(const std::string& path) override {
    return std::set<std::string>{"", "I386", "PROGRAMS", "PROGRAMS\\tool"}.count(
               TrimTrailingSeparators(TrimLeadingSeparators(path))) > 0;
  }
  std::uint32_t SameEntryType(const std::string& path) override {
    return testing_support::SameEntryTypeIn({"I386\\TAKEN;1", "NEW"},
                                            {"I386", "PROGRAMS", "PROGRAMS\\tool"}, path);
  }
};

// Records "D local image" / "F local image" for each call (replace flag
// set); holds \I386\Earlier, an earlier addition of the run.
class RecordingModifier : public ISOModifier {
 public:
  RecordingModifier() : ISOModifier("unused.iso") {}
  std::string AddedEntryName(const std::string& path) override {
    return testing_support::SameEntryTypeIn({"I386\\Earlier"}, {}, path) ? "Earlier" : "";
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
            const std::string& input = "", int modifierResult = 0) {
  FakeReader reader;
  RecordingModifier modifier;
  modifier.result = modifierResult;
  testing_support::FeedStdin feed(input);
  testing_support::CaptureOutput capture;
  int result = directory ? AddDirectoryToImage(local, place, &reader, &modifier)
                         : AddFileToImage(local, place, &reader, &modifier);
  return {result, capture.Stdout(), capture.Stderr(), modifier.calls, feed.Unread()};
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

// What a conflict answer hands on, and where a renamed or kept item goes.
TEST(DirectAdditions, ConflictsAreWithTheSourceImageOnly) {
  // A directory meets a file of another case and version; "c" with a taken
  // name asks again, a free one is placed.
  Outcome o = Add(true, "/src/taken", "\\I386", "c TAKEN\nc\nfree\n");
  EXPECT_EQ(o.result, 0);
  EXPECT_NE(o.out.find("new name for the directory TAKEN\nLog: adding directory free succeeded\n"),
            std::string::npos) << o.out;
  EXPECT_EQ(o.calls, std::vector<std::string>{"D /src/taken \\I386\\free"});

  // "o" keeps the name; an abort hands nothing over.
  o = Add(false, "/src/TAKEN", "\\I386", "o\n");
  EXPECT_EQ(o.calls, std::vector<std::string>{"F /src/TAKEN \\I386\\TAKEN"});
  o = Add(false, "/src/new", "", "x\n");
  EXPECT_EQ(o.result, 1);
  EXPECT_EQ(o.err, "Warning: adding file new failed - file name conflict, aborted by user\n");
  EXPECT_TRUE(o.calls.empty());

  // An earlier addition of the run is replaced without a question.
  o = Add(false, "/src/EARLIER", "\\I386\\", "x\n");
  EXPECT_EQ(o.result, 0);
  EXPECT_EQ(o.out, "Log: adding file EARLIER ...\n"
                   "Log: /src/EARLIER replaces \\I386\\Earlier, added earlier in this run\n"
                   "Log: adding file EARLIER succeeded\n");
  EXPECT_EQ(o.calls, std::vector<std::string>{"F /src/EARLIER \\I386\\EARLIER"});
  EXPECT_EQ(o.unread, "x\n");
}
