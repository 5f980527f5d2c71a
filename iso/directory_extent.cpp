#include "iso/directory_extent.h"

#include <algorithm>
#include <stdexcept>

#include "iso/iso_manipulator.h"

namespace {

// Smallest well-formed directory record: 33 fixed bytes, a one-byte
// identifier and no pad byte.
constexpr std::uint32_t kMinRecordLength = dir_record::self_record_length;

}  // namespace

DirectoryExtent::DirectoryExtent(ImageSource& image, std::uint32_t extent)
    : data_(kBlockSize), extent_(extent) {
  const std::uint64_t position = SectorOffset(extent);
  image.ReadAt(position, data_.data(), data_.size());

  // The extent must open with its self record, whose data length is the
  // size of the whole extent.
  if (data_[dir_record::length] < kMinRecordLength ||
      data_[dir_record::identifier_length] == 0 || data_[dir_record::identifier] != 0x00) {
    throw std::runtime_error(Where() + " does not start with its self record");
  }
  size_ = get_le32(data_.data() + dir_record::data_length);
  if (size_ == 0) throw std::runtime_error(Where() + " has a size of 0");
  if (size_ > kBlockSize) {
    if (position + size_ > image.Size()) {
      throw std::runtime_error(Where() + " runs past the end of the image");
    }
    data_.resize(size_);
    image.ReadAt(position + kBlockSize, data_.data() + kBlockSize, size_ - kBlockSize);
  }
}

bool DirectoryExtent::Next(RawDirectoryRecord& record) {
  const std::uint8_t* bytes = NextBytes();
  if (bytes == nullptr) return false;
  record = RawDirectoryRecord{};
  ISOManipulator::SafeCopy(&record, sizeof record, bytes, bytes[dir_record::length]);
  return true;
}

const std::uint8_t* DirectoryExtent::NextBytes() {
  while (position_ < size_) {
    const std::uint32_t recordLength = data_[position_];
    if (recordLength == 0) {
      // The rest of this block is unused; records go on in the next one.
      position_ = (position_ / kBlockSize + 1) * kBlockSize;
      continue;
    }
    if (recordLength < kMinRecordLength || position_ + recordLength > size_ ||
        dir_record::fixed_part + data_[position_ + dir_record::identifier_length] >
            recordLength) {
      throw std::runtime_error("malformed directory record at byte " +
                               std::to_string(position_) + " of " + Where());
    }
    lastOffset_ = static_cast<std::uint32_t>(position_);
    position_ += recordLength;
    return data_.data() + lastOffset_;
  }
  return nullptr;
}

void DirectoryWalkGuard::Clear() {
  enclosing_.clear();
  visited_.clear();
  parentOf_.clear();
}

void DirectoryWalkGuard::Enter(std::uint32_t extent, std::uint32_t parent) {
  // The enclosing directories, the parent first, rebuilt from what each
  // was entered from.
  enclosing_.clear();
  for (std::uint32_t at = parent; at != kNoParent && enclosing_.size() <= maxDepth_;) {
    enclosing_.push_back(at);
    const auto up = parentOf_.find(at);
    at = up == parentOf_.end() ? kNoParent : up->second;
  }
  { Visit visit(*this, extent); }
  enclosing_.clear();
  parentOf_[extent] = parent;
}

DirectoryWalkGuard::Visit::Visit(DirectoryWalkGuard& guard, std::uint32_t extent)
    : guard_(guard) {
  const std::string where = "directory extent at block " + std::to_string(extent);
  if (std::find(guard.enclosing_.begin(), guard.enclosing_.end(), extent) !=
      guard.enclosing_.end()) {
    throw std::runtime_error(where + " points back at an enclosing directory");
  }
  if (guard.enclosing_.size() > guard.maxDepth_) {
    throw std::runtime_error("directory tree deeper than " + std::to_string(guard.maxDepth_) +
                             " levels at block " + std::to_string(extent));
  }
  if (!guard.visited_.insert(extent).second) {
    throw std::runtime_error(where + " belongs to more than one directory");
  }
  guard.enclosing_.push_back(extent);
}
