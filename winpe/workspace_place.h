// A directory of the workspace as the place of an addition: the reader
// knows what the source image holds there, the workspace what this run has
// put there.
#pragma once

#include <string>

#include "winpe/addition_flow.h"
#include "winpe/winpe_editor.h"

class WinpeEditor::WorkspacePlace : public AdditionPlace {
 public:
  // `relativeDirectory`: the image directory, relative to the root.
  WorkspacePlace(WinpeEditor& editor, const std::string& relativeDirectory);

  bool ParentExists() override;
  bool SourceStillFits(const Addition& addition) override {
    return CheckBeforeCopy(addition.source, false);
  }
  bool TakenInImage(const std::string& name) override;
  std::string AddedEarlier(const std::string& name) override;
  bool Put(const Addition& addition, const std::string& name,
           const std::string& replaced) override;
  std::string ImagePath(const std::string& name) const override;

 private:
  WinpeEditor& editor_;
  std::string relative_;
  std::string local_;
};
