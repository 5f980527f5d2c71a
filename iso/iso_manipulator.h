// Abstract base of every image class: the directory tree, the progress
// display and a few small helpers shared by reader and writer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "iso/iso_structures.h"

class ISOManipulator {
 public:
  ISOManipulator() = default;
  ISOManipulator(const ISOManipulator&) = delete;
  ISOManipulator& operator=(const ISOManipulator&) = delete;
  virtual ~ISOManipulator() = 0;

  // Copies `length` bytes when the destination holds at least that many;
  // throws std::runtime_error naming both sizes otherwise.
  static void SafeCopy(void* destination, std::size_t destinationSize, const void* source,
                       std::size_t length);
  // Removes leading "\" and "/" characters.
  static std::string TrimLeadingSeparators(std::string path);
  // Removes trailing "\" and "/" characters.
  static std::string TrimTrailingSeparators(std::string path);
  // Releases a list along `next`, each node with its `child` list.
  static void FreeRecordList(DirectoryRecord* head);

 protected:
  // Percentage display: after each chunk of n bytes prints "0%", dots and
  // every tenth mark up to "100%" and a line end, each mark once.
  void ShowProgress(std::uint64_t n);
  // Starts a new display from 0% for `total` bytes.
  void StartProgress(std::uint64_t total);

 public:
  DirectoryRecord* root = nullptr;
  // 64-bit so that images above 4 GiB do not wrap the ratio.
  std::uint64_t totalBytes = 0;
  std::uint64_t doneBytes = 0;
  std::int32_t percentShown = 0;
};
