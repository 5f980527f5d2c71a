// One directory extent of an image, read whole, and the walk over its
// directory records. Shared by the loads of the primary and the Joliet
// trees, so both refuse a damaged extent the same way and never read past
// the buffer.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "iso/image_source.h"
#include "iso/iso_structures.h"

class DirectoryExtent {
 public:
  // Reads the extent at `extent`; its size is the data length of its first
  // record, which must be the directory's self record. Throws
  // std::runtime_error naming the block when the extent is malformed or
  // runs past the end of the image.
  DirectoryExtent(ImageSource& image, std::uint32_t extent);

  // The next record (hidden ones and those without identifier included);
  // false after the last. Throws on a record that is malformed.
  bool Next(RawDirectoryRecord& record);
  // The same, as the record's bytes in the extent (its fixed part and
  // identifier checked to lie within it), without a copy; null after the
  // last.
  const std::uint8_t* NextBytes();

  // "directory extent at block N", for messages about this extent.
  std::string Where() const { return "directory extent at block " + std::to_string(extent_); }
  // The extent's size in bytes, as its self record gives it.
  std::uint32_t Size() const { return size_; }
  // Where the record Next gave last starts in the extent.
  std::uint32_t LastOffset() const { return lastOffset_; }

 private:
  std::vector<std::uint8_t> data_;
  std::uint32_t size_ = 0;
  std::uint64_t position_ = 0;  // 64-bit: stepping to the next block must not wrap
  std::uint32_t lastOffset_ = 0;
  std::uint32_t extent_ = 0;
};

// The fields of a record NextBytes gave, read in place.
inline const RawDirectoryRecord& AsRecord(const std::uint8_t* bytes) {
  return *reinterpret_cast<const RawDirectoryRecord*>(bytes);
}

// Keeps a walk over a directory tree finite on a damaged image: a directory
// extent that points back at an enclosing one, one reached a second time
// (which would multiply the tree without bound) and a tree deeper than the
// limit are refused.
class DirectoryWalkGuard {
 public:
  static constexpr std::uint32_t kNoParent = 0xFFFFFFFF;

  explicit DirectoryWalkGuard(std::size_t maxDepth) : maxDepth_(maxDepth) {}
  void Clear();

  // For walks that enter one directory at a time, whenever it is first
  // needed: checks the directory at `extent`, entered from the one at
  // `parent` (kNoParent for a root), as Visit does, and remembers it.
  void Enter(std::uint32_t extent, std::uint32_t parent);

  // Held while one directory extent is being loaded. Throws
  // std::runtime_error naming the block when the walk may not enter it.
  class Visit {
   public:
    Visit(DirectoryWalkGuard& guard, std::uint32_t extent);
    ~Visit() { guard_.enclosing_.pop_back(); }
    Visit(const Visit&) = delete;
    Visit& operator=(const Visit&) = delete;

   private:
    DirectoryWalkGuard& guard_;
  };

 private:
  std::size_t maxDepth_;
  std::vector<std::uint32_t> enclosing_;  // extents on the path being loaded, root first
  std::unordered_set<std::uint32_t> visited_;
  std::unordered_map<std::uint32_t, std::uint32_t> parentOf_;  // for Enter
};
