// Opening an image file for reading and reading bytes at a position, with
// failures turned into exceptions whose text names the file and the place.
#pragma once

#include <cstddef>
#include <cstdint>
#include <fstream>
#include <string>

// Opens `path` for binary reading with failbit and badbit raising
// exceptions. Throws std::runtime_error when it cannot be opened.
void OpenImage(std::ifstream& in, const std::string& path);

// Reads `length` bytes at byte `position`. Throws std::runtime_error when
// the image is shorter or unreadable.
void ReadAt(std::ifstream& in, const std::string& path, std::uint64_t position, void* buffer,
            std::size_t length);
