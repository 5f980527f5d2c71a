// One way to add a file or directory under a free name: the start line, the
// parent check, the conflict dialogue, the copy and the closing line are the
// same whether the entry goes into the workspace (the editor) or straight
// into the new image (the direct additions); only the place differs.
//
// A name is taken when the source image holds the same entry (case and
// version ignored); then the dialogue settles it. An entry that this run
// has added earlier is no conflict: the new item replaces it, and a log
// line names both.
#pragma once

#include <string>

#include "common/conflict_dialogue.h"

// What is added and how a taken name is settled.
struct Addition {
  std::string source;  // the local file or directory
  bool isDirectory = false;
  ConflictKind conflictKind = ConflictKind::File;
  ConflictMode mode = ConflictMode::Ask;
};

// Where an addition goes.
class AdditionPlace {
 public:
  virtual ~AdditionPlace() = default;
  virtual bool ParentExists() = 0;
  // Checks the source again right before the copy (the dialogue may have
  // waited while it was swapped); false after a warning saying why.
  virtual bool SourceStillFits(const Addition&) { return true; }
  // The source image holds the same entry as `name` there.
  virtual bool TakenInImage(const std::string& name) = 0;
  // The name of the same entry as `name` that this run has put there
  // earlier; "" when there is none.
  virtual std::string AddedEarlier(const std::string& name) = 0;
  // Puts the item there under `name`, in place of `replaced` (an earlier
  // addition, "" for none) or of the image's entry. False when refused;
  // throws on a failed copy.
  virtual bool Put(const Addition& addition, const std::string& name,
                   const std::string& replaced) = 0;
  // "\DIR\NAME" for the log line.
  virtual std::string ImagePath(const std::string& name) const = 0;
};

// Checks `name`, runs the dialogue while the source image holds it, and
// logs which earlier addition of this run the item replaces (left in
// `replaced`, "" for none). False after the dialogue aborted; throws on a
// name that cannot go into an image.
bool SettleName(const Addition& addition, AdditionPlace& place, std::string& name,
                std::string& replaced);

// The whole addition, its lines included; the name given, "" on failure.
std::string AddUnderFreeName(const Addition& addition, AdditionPlace& place);
