// Direct additions: any local directory or file put at a chosen place in
// the new image, with a change-name / overwrite / abort prompt when the name
// is already taken there (by the source image or an earlier addition).
#pragma once

#include <string>

class ISOReader;
class ISOModifier;

// `place` is an image directory ("" or "\" for the root). 0 when the item
// was handed to the modifier.
int AddDirectoryToImage(const std::string& localPath, const std::string& place, ISOReader* reader,
                        ISOModifier* modifier);
int AddFileToImage(const std::string& localPath, const std::string& place, ISOReader* reader,
                   ISOModifier* modifier);

// Splits a `dir` / `file` option value at its first "%" into the local path
// and the place in the image ("" without a "%").
void SplitPlacement(const std::string& value, std::string& localPath, std::string& place);
