// Direct additions: placement, the change / overwrite / abort prompt, and
// what reaches the modifier.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "app/direct_additions.h"
#include "iso/iso_modifier.h"
#include "iso/iso_reader.h"
#include "tests/test_support.h"

using testing_support::CaptureOutput;
using testing_support::FeedStdin;

namespace {

// Answers from a fixed set of image paths (leading separators ignored).
class FakeReader : public ISOReader {
 public:
  FakeReader(std::set<std::string> files, std::set<std::string> dirs)
      : ISOReader("unused.iso"), files_(std::move(files)), dirs_(std::move(dirs)) {}
  bool FileExists(const std::string& path) override { return files_.count(Trim(path)) > 0; }
  bool DirectoryExists(const std::string& path) override {
    return dirs_.count(TrimTrailingSeparators(Trim(path))) > 0;
  }

 private:
  static std::string Trim(const std::string& path) { return TrimLeadingSeparators(path); }
  std::set<std::string> files_, dirs_;
};

struct Call {
  bool directory;
  std::string local, image;
  bool replace;
  bool operator==(const Call& o) const {
    return directory == o.directory && local == o.local && image == o.image && replace == o.replace;
  }
};

class RecordingModifier : public ISOModifier {
 public:
  RecordingModifier() : ISOModifier("unused.iso") {}
  int AddSingleFile(const std::string& local, const std::string& image, bool replace) override {
    calls.push_back({false, local, image, replace});
    return result;
  }
  int AddSingleDirectory(const std::string& local, const std::string& image, bool replace) override {
    calls.push_back({true, local, image, replace});
    return result;
  }
  std::vector<Call> calls;
  int result = 0;
};

// The image: \I386 (a directory), \I386\TAKEN (a file), \PROGRAMS\tool (a directory).
FakeReader Image() {
  return FakeReader({"I386\\TAKEN", "NEW"}, {"", "I386", "PROGRAMS", "PROGRAMS\\tool"});
}

struct Outcome {
  int result;
  std::string out, err;
};

Outcome AddDir(FakeReader& reader, RecordingModifier& modifier, const std::string& local,
               const std::string& place, const std::string& input = "") {
  FeedStdin feed(input);
  CaptureOutput capture;
  int result = AddDirectoryToImage(local, place, &reader, &modifier);
  return {result, capture.Stdout(), capture.Stderr()};
}

Outcome AddFile(FakeReader& reader, RecordingModifier& modifier, const std::string& local,
                const std::string& place, const std::string& input = "") {
  FeedStdin feed(input);
  CaptureOutput capture;
  int result = AddFileToImage(local, place, &reader, &modifier);
  return {result, capture.Stdout(), capture.Stderr()};
}

const std::string kDirPrompt =
    "Log: a file or directory with same name exists\n"
    "Log: change the destination directory name, overwrite or abort\n"
    "Log: press 'c' to change name, 'o' to overwrite, other key to abort\n";
const std::string kFilePrompt =
    "Log: a file or directory with same name exists\n"
    "Log: change the destination file name, overwrite or abort\n"
    "Log: press 'c' to change name, 'o' to overwrite, other key to abort\n";

}  // namespace

TEST(DirectAdditions, SplitAtTheFirstPercent) {
  std::string local, place;
  SplitPlacement("C:/data%\\I386%x", local, place);
  EXPECT_EQ(local, "C:/data");
  EXPECT_EQ(place, "\\I386%x");
  SplitPlacement("/src/dir", local, place);
  EXPECT_EQ(local, "/src/dir");
  EXPECT_EQ(place, "");
  SplitPlacement("/src/dir%", local, place);
  EXPECT_EQ(local, "/src/dir");
  EXPECT_EQ(place, "");
}

TEST(DirectAdditions, PlacementBuildsTheImagePath) {
  struct Case {
    const char* local;
    const char* place;
    const char* image;  // what the modifier receives
  };
  const Case cases[] = {
      {"/src/data", "", "data"},                  // root without "%"
      {"/src/data", "\\", "\\data"},              // "\" as the place
      {"/src/data/", "\\I386", "\\I386\\data"},   // trailing separator keeps the name
      {"/src/data//", "\\I386\\", "\\I386\\data"},  // no second "\"
      {"/src/data", "/I386/", "/I386/data"},    // "/" accepted as well
  };
  for (const Case& c : cases) {
    FakeReader reader = Image();
    RecordingModifier modifier;
    Outcome o = AddDir(reader, modifier, c.local, c.place);
    EXPECT_EQ(o.result, 0) << c.local << " " << c.place;
    EXPECT_EQ(o.out, "Log: adding directory data ...\nLog: adding directory data succeeded\n");
    EXPECT_EQ(o.err, "");
    ASSERT_EQ(modifier.calls.size(), 1u);
    EXPECT_EQ(modifier.calls[0], (Call{true, c.local, c.image, true}));
  }
}

TEST(DirectAdditions, ParentMustExistInTheSourceImage) {
  FakeReader reader = Image();
  RecordingModifier modifier;
  Outcome o = AddFile(reader, modifier, "/src/a.txt", "\\ONLY\\ADDED");
  EXPECT_EQ(o.result, 1);
  EXPECT_EQ(o.out, "Log: adding file a.txt ...\n");
  EXPECT_EQ(o.err, "Warning: adding file a.txt failed - parent directory does not exists\n");
  EXPECT_TRUE(modifier.calls.empty());

  o = AddDir(reader, modifier, "/src/d", "\\ONLY");
  EXPECT_EQ(o.err, "Warning: adding directory d failed - parent directory does not exist\n");
}

TEST(DirectAdditions, ConflictPromptChangeOverwriteAbort) {
  {  // a directory that clashes with a file: change twice, then a free name
    FakeReader reader = Image();
    RecordingModifier modifier;
    Outcome o = AddDir(reader, modifier, "/src/TAKEN", "\\I386", "c TAKEN\nc\nfree\n");
    EXPECT_EQ(o.result, 0);
    EXPECT_EQ(o.out, "Log: adding directory TAKEN ...\n" + kDirPrompt +
                         "Log: please enter the new name for the directory TAKEN\n" + kDirPrompt +
                         "Log: please enter the new name for the directory TAKEN\n"
                         "Log: adding directory free succeeded\n");
    ASSERT_EQ(modifier.calls.size(), 1u);
    EXPECT_EQ(modifier.calls[0], (Call{true, "/src/TAKEN", "\\I386\\free", true}));
  }
  {  // overwrite keeps the name and the replace flag
    FakeReader reader = Image();
    RecordingModifier modifier;
    Outcome o = AddFile(reader, modifier, "/src/TAKEN", "\\I386", "o\n");
    EXPECT_EQ(o.result, 0);
    EXPECT_EQ(o.out, "Log: adding file TAKEN ...\n" + kFilePrompt + "Log: adding file TAKEN succeeded\n");
    ASSERT_EQ(modifier.calls.size(), 1u);
    EXPECT_EQ(modifier.calls[0], (Call{false, "/src/TAKEN", "\\I386\\TAKEN", true}));
  }
  // Abort: another key, upper-case C, end of input at either prompt.
  for (const char* input : {"x\n", "C\n", "", "c\n"}) {
    FakeReader reader = Image();
    RecordingModifier modifier;
    Outcome o = AddFile(reader, modifier, "/src/NEW", "", input);
    EXPECT_EQ(o.result, 1) << input;
    EXPECT_EQ(o.err, "Warning: adding file NEW failed - file name conflict, aborted by user\n");
    EXPECT_TRUE(modifier.calls.empty());
  }
  {  // the directory variant of the abort line
    FakeReader reader = Image();
    RecordingModifier modifier;
    Outcome o = AddDir(reader, modifier, "/src/tool", "\\PROGRAMS", "n\n");
    EXPECT_EQ(o.err, "Warning: adding directory tool failed - package name conflict, aborted by user\n");
  }
}

TEST(DirectAdditions, ModifierFailureIsReported) {
  FakeReader reader = Image();
  RecordingModifier modifier;
  modifier.result = 1;
  Outcome o = AddFile(reader, modifier, "/src/a.txt", "\\I386");
  EXPECT_EQ(o.result, 1);
  EXPECT_EQ(o.err, "Warning: adding file a.txt failed - failed to add file into ISO\n");
  o = AddDir(reader, modifier, "/src/d", "");
  EXPECT_EQ(o.err, "Warning: adding directory d failed - failed to add file into ISO\n");
}

TEST(DirectAdditions, MissingReaderOrModifierFailsSilently) {
  RecordingModifier modifier;
  CaptureOutput capture;
  EXPECT_EQ(AddFileToImage("/a", "", nullptr, &modifier), 1);
  EXPECT_EQ(capture.Stdout() + capture.Stderr(), "");
}
