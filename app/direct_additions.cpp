#include "app/direct_additions.h"

#include "iso/image_path.h"
#include "iso/iso_modifier.h"
#include "iso/iso_reader.h"
#include "winpe/addition_flow.h"

namespace {

// A place in the new image: the source image decides what is taken and
// whether the parent exists; the modifier holds what this run has added.
class ImagePlace : public AdditionPlace {
 public:
  ImagePlace(const std::string& place, ISOReader& reader, ISOModifier& modifier)
      : place_(place), parent_(image_path::Split(place)), reader_(reader), modifier_(modifier) {}

  bool ParentExists() override { return reader_.DirectoryExists(image_path::Join(parent_)); }

  bool TakenInImage(const std::string& name) override {
    return reader_.SameEntryType(image_path::Join(place_, name)) != 0;
  }

  std::string AddedEarlier(const std::string& name) override {
    return modifier_.AddedEntryName(image_path::Join(place_, name));
  }

  bool Put(const Addition& addition, const std::string& name, const std::string&) override {
    // The modifier replaces the entry of the same name, whoever put it there.
    const std::string target = image_path::Join(place_, name);
    return (addition.isDirectory ? modifier_.AddSingleDirectory(addition.source, target, true)
                                 : modifier_.AddSingleFile(addition.source, target, true)) == 0;
  }

  std::string ImagePath(const std::string& name) const override {
    return "\\" + image_path::Join(image_path::Join(parent_), name);
  }

 private:
  std::string place_;  // as given: F keeps its separators
  std::vector<std::string> parent_;
  ISOReader& reader_;
  ISOModifier& modifier_;
};

int AddToImage(bool isDirectory, const std::string& localPath, const std::string& place,
               ISOReader* reader, ISOModifier* modifier, ConflictMode mode) {
  if (reader == nullptr || modifier == nullptr) return 1;
  Addition addition;
  addition.source = localPath;
  addition.isDirectory = isDirectory;
  addition.conflictKind = isDirectory ? ConflictKind::DirectDirectory : ConflictKind::DirectFile;
  addition.mode = mode;
  ImagePlace target(place, *reader, *modifier);
  return AddUnderFreeName(addition, target).empty() ? 1 : 0;
}

}  // namespace

int AddDirectoryToImage(const std::string& localPath, const std::string& place, ISOReader* reader,
                        ISOModifier* modifier, ConflictMode mode) {
  return AddToImage(true, localPath, place, reader, modifier, mode);
}

int AddFileToImage(const std::string& localPath, const std::string& place, ISOReader* reader,
                   ISOModifier* modifier, ConflictMode mode) {
  return AddToImage(false, localPath, place, reader, modifier, mode);
}
