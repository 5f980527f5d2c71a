// Direct additions: any local directory or file put at a chosen place in
// the new image, with a change-name / overwrite / abort prompt when the name
// is already taken in the source image. An earlier addition of the run is
// replaced, with a log line.
#pragma once

#include <string>

#include "common/conflict_dialogue.h"

class ISOReader;
class ISOModifier;

// `place` is an image directory ("" or "\" for the root). 0 when the item
// was handed to the modifier. A taken name is settled as `mode` says.
int AddDirectoryToImage(const std::string& localPath, const std::string& place, ISOReader* reader,
                        ISOModifier* modifier, ConflictMode mode = ConflictMode::Ask);
int AddFileToImage(const std::string& localPath, const std::string& place, ISOReader* reader,
                   ISOModifier* modifier, ConflictMode mode = ConflictMode::Ask);
