// ISOManipulator helpers: the bounded copy, separator trimming, releasing long
// lists and the percentage display.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <stdexcept>
#include <string>

#include "iso/iso_manipulator.h"
#include "tests/test_support.h"

using testing_support::CaptureOutput;

namespace {

class Manipulator : public ISOManipulator {
 public:
  using ISOManipulator::ShowProgress;
};

std::string Marks(int from, int to) {
  std::string marks;
  for (int percent = from; percent <= to; ++percent) {
    marks += percent % 10 == 0 ? std::to_string(percent) + "%" : ".";
    if (percent == 100) marks += "\n";
  }
  return marks;
}

TEST(SafeCopy, CopiesWhatFitsAndNamesBothSizesOtherwise) {
  RawDirectoryRecord record{};
  const std::string source(600, 'x');
  ISOManipulator::SafeCopy(record.identifier, sizeof record.identifier, source.data(), 512);
  EXPECT_EQ(record.identifier[511], 'x');
  EXPECT_EQ(record.fixed[0], 0);
  ISOManipulator::SafeCopy(record.identifier, 0, nullptr, 0);
  try {
    ISOManipulator::SafeCopy(record.identifier, sizeof record.identifier, source.data(), 600);
    FAIL() << "no exception";
  } catch (const std::exception& e) {
    EXPECT_STREQ(e.what(),
                 "safe memcpy exception: destionation size smaller than length of data to be "
                 "copied - destination size 512, request size 600");
  }
}

TEST(TrimSeparators, RemovesRunsOfBothSeparatorsAtOneEndOnly) {
  const struct {
    const char* path;
    const char* leading;
    const char* trailing;
  } cases[] = {
      {"", "", ""},
      {"\\", "", ""},
      {"/\\/", "", ""},
      {"\\I386\\SYSTEM32\\", "I386\\SYSTEM32\\", "\\I386\\SYSTEM32"},
      {"//A/B//", "A/B//", "//A/B"},
      {"A\\B", "A\\B", "A\\B"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ISOManipulator::TrimLeadingSeparators(c.path), c.leading) << c.path;
    EXPECT_EQ(ISOManipulator::TrimTrailingSeparators(c.path), c.trailing) << c.path;
  }
}

TEST(FreeRecordList, ReleasesVeryLongListsAndNestedChildren) {
  // A recursive walk along `next` would exhaust the stack on this list.
  DirectoryRecord* head = nullptr;
  for (int i = 0; i < 300000; ++i) {
    auto node = new DirectoryRecord;
    node->next = head;
    head = node;
  }
  head->child = new DirectoryRecord;
  head->child->next = new DirectoryRecord;
  head->child->next->child = new DirectoryRecord;
  ISOManipulator::FreeRecordList(head);
  ISOManipulator::FreeRecordList(nullptr);
}

TEST(ShowProgress, PrintsEveryMarkOnceWhateverTheChunking) {
  const std::string all = Marks(0, 100);
  for (std::uint64_t chunk : {1000u, 1u, 7u, 333u, 999u}) {
    SCOPED_TRACE(chunk);
    Manipulator progress;
    progress.totalBytes = 1000;
    CaptureOutput capture;
    for (std::uint64_t done = 0; done < 1000; done += chunk) {
      progress.ShowProgress(std::min<std::uint64_t>(chunk, 1000 - done));
    }
    EXPECT_EQ(capture.Stdout(), all);
    EXPECT_EQ(progress.doneBytes, 1000u);
    EXPECT_EQ(progress.percentShown, 101);
  }
}

TEST(ShowProgress, HalfwayAndBeyondTheTotal) {
  Manipulator progress;
  progress.totalBytes = 200;
  CaptureOutput capture;
  progress.ShowProgress(100);
  EXPECT_EQ(capture.Stdout(), Marks(0, 50));

  // A second pass over the same total goes on past 100, as the counters are
  // never reset.
  Manipulator again;
  again.totalBytes = 10;
  CaptureOutput second;
  again.ShowProgress(10);
  again.ShowProgress(1);
  EXPECT_EQ(second.Stdout(), Marks(0, 110));
}

TEST(ShowProgress, BigImagesDoNotWrapAndAnEmptyTotalPrintsNothing) {
  Manipulator big;
  big.totalBytes = 6ull << 30;  // 6 GiB
  CaptureOutput capture;
  big.ShowProgress(3ull << 30);
  EXPECT_EQ(capture.Stdout(), Marks(0, 50));

  Manipulator empty;
  CaptureOutput none;
  empty.ShowProgress(0);
  empty.ShowProgress(5);
  EXPECT_EQ(none.Stdout(), "");
}

}  // namespace
