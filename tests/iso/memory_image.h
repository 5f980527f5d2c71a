// Images held in memory: bytes to read, and a pack into memory.
#pragma once

#include <string>

#include "iso/image_sink.h"
#include "iso/image_source.h"
#include "iso/iso_writer.h"

inline ImageOrigin InMemory(const std::string& bytes, const std::string& name = "memory.iso") {
  return ImageOrigin::InMemory(name, std::vector<std::uint8_t>(bytes.begin(), bytes.end()));
}

// The image `writer` packs, "" when the pack fails.
inline std::string PackInMemory(ISOWriter& writer, const std::string& bootImagePath = "") {
  MemoryImageSink sink;
  if (writer.Pack(sink, bootImagePath) != 0) return "";
  return std::string(sink.Bytes().begin(), sink.Bytes().end());
}
