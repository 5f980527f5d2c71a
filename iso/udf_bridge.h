// A UDF file system beside the ISO 9660 one (a "bridge" image): its volume
// recognition sequence follows the ISO 9660 descriptors, its anchors sit at
// sector 256 and at the end of the volume. A run that cannot update it
// invalidates it, so that no reader sees the old tree.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "iso/image_source.h"

struct ByteRange {
  std::uint64_t offset = 0;
  std::uint64_t length = 0;
};

struct UdfBridge {
  bool present = false;
  // What to zero so that readers no longer find it: the extended area of
  // the recognition sequence and every anchor at 256, N-256 and N-1.
  std::vector<ByteRange> invalidate;
  // The Warning line saying so and what Windows reads instead.
  std::string warning;
};

// Looks for a UDF bridge in `image`; read failures count as none.
UdfBridge FindUdfBridge(ImageSource& image);
