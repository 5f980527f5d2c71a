// Shared base of the image classes: bounded copies, path trimming, releasing
// the directory tree and the percentage display of long copies.
#include "iso/iso_manipulator.h"

#include <cstring>
#include <iostream>
#include <stdexcept>

ISOManipulator::~ISOManipulator() {
  FreeRecordList(root);
  root = nullptr;
}

void ISOManipulator::SafeCopy(void* destination, std::size_t destinationSize, const void* source,
                              std::size_t length) {
  if (destinationSize < length) {
    // The message keeps its historic wording; callers and tests match it.
    throw std::runtime_error(
        "safe memcpy exception: destionation size smaller than length of data to be copied -"
        " destination size " +
        std::to_string(destinationSize) + ", request size " + std::to_string(length));
  }
  if (length != 0) std::memcpy(destination, source, length);
}

static bool IsSeparator(char c) { return c == '\\' || c == '/'; }

std::string ISOManipulator::TrimLeadingSeparators(std::string path) {
  std::size_t first = 0;
  while (first < path.size() && IsSeparator(path[first])) ++first;
  path.erase(0, first);
  return path;
}

std::string ISOManipulator::TrimTrailingSeparators(std::string path) {
  while (!path.empty() && IsSeparator(path.back())) path.pop_back();
  return path;
}

void ISOManipulator::FreeRecordList(DirectoryRecord* head) {
  // Directories can hold tens of thousands of entries: walk `next` in a loop
  // and recurse only into `child`, whose depth is that of the tree.
  while (head != nullptr) {
    DirectoryRecord* following = head->next;
    FreeRecordList(head->child);
    delete head;
    head = following;
  }
}

void ISOManipulator::ShowProgress(std::uint64_t n) {
  doneBytes += n;
  // Nothing to measure against: avoid dividing by zero (and an endless run
  // of marks from an infinite ratio).
  if (totalBytes == 0) return;
  const double ratio = static_cast<double>(doneBytes) / static_cast<double>(totalBytes);
  const double threshold = percentShown * 0.01;
  if (ratio < threshold) return;
  const auto k = static_cast<std::int64_t>((ratio - threshold) * 100.0);
  for (std::int64_t i = 0; i <= k; ++i) {
    if (percentShown % 10 == 0) {
      std::cout << percentShown << "%";
      if (percentShown == 100) std::cout << '\n';
    } else {
      std::cout << ".";
    }
    ++percentShown;
  }
  std::cout.flush();
}
