// Shared base of the image classes: bounded copies, path trimming, releasing
// the directory tree and the percentage display of long copies.
#include "iso/iso_manipulator.h"

#include <algorithm>
#include <cstring>
#include <iostream>
#include <stdexcept>
#include <utility>

#include "iso/image_path.h"

ISOManipulator::~ISOManipulator() {
  FreeRecordList(root);
  root = nullptr;
}

void ISOManipulator::SafeCopy(void* destination, std::size_t destinationSize, const void* source,
                              std::size_t length) {
  if (destinationSize < length) {
    // Callers print this text as it is, and tests match it.
    throw std::runtime_error(
        "safe memcpy exception: destionation size smaller than length of data to be copied -"
        " destination size " +
        std::to_string(destinationSize) + ", request size " + std::to_string(length));
  }
  if (length != 0) std::memcpy(destination, source, length);
}

std::string ISOManipulator::TrimLeadingSeparators(std::string path) {
  return image_path::TrimLeading(std::move(path));
}

std::string ISOManipulator::TrimTrailingSeparators(std::string path) {
  return image_path::TrimTrailing(std::move(path));
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

void ISOManipulator::StartProgress(std::uint64_t total) {
  totalBytes = total;
  doneBytes = 0;
  percentShown = 0;
}

void ISOManipulator::ShowProgress(std::uint64_t n) {
  doneBytes += n;
  // Nothing to measure against: no marks at all.
  if (totalBytes == 0) return;
  // Whole percents in integers: the last chunk always reaches 100 exactly,
  // which a ratio in floating point can miss by a hair, and nothing goes
  // past it when more bytes arrive than were counted.
  const std::int64_t reached =
      static_cast<std::int64_t>(std::min<std::uint64_t>(100, doneBytes * 100 / totalBytes));
  if (percentShown > reached) return;
  for (; percentShown <= reached; ++percentShown) {
    if (percentShown % 10 == 0) {
      std::cout << percentShown << "%";
      if (percentShown == 100) std::cout << '\n';
    } else {
      std::cout << ".";
    }
  }
  std::cout.flush();
}
