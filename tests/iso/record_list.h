// Directory record lists built by hand, as the loaders build them.
#pragma once

#include <cstdint>
#include <string>

#include "iso/iso_structures.h"

// Appends a node to `list` (none: starts one) and returns it; a directory
// gets a list of its own with its "." and ".." nodes.
inline DirectoryRecord* AddRecord(DirectoryRecord* list, const std::string& name,
                                  std::uint32_t type, std::uint32_t size = 0) {
  auto* node = new DirectoryRecord;
  node->name = node->identifier = name;
  node->type = type;
  node->size = size;
  while (list && list->next) list = list->next;
  if (list) list->next = node;
  if (type == kTypeDirectory && !IsDotName(name)) {
    node->child = AddRecord(nullptr, ".", kTypeDirectory);
    AddRecord(node->child, "..", kTypeDirectory);
  }
  return node;
}

// A list holding only "." and "..".
inline DirectoryRecord* NewRecordList() {
  DirectoryRecord* self = AddRecord(nullptr, ".", kTypeDirectory);
  AddRecord(self, "..", kTypeDirectory);
  return self;
}
