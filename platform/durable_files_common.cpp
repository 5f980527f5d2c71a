#include "platform/durable_files.h"

#include <random>

namespace platform {

std::string RandomSibling(const std::string& base) {
  static const char kLetters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  std::random_device seed;
  std::mt19937 random(seed());
  std::uniform_int_distribution<std::size_t> pick(0, sizeof kLetters - 2);
  std::string name = base + ".";
  for (int i = 0; i < 6; ++i) name += kLetters[pick(random)];
  return name;
}

}  // namespace platform
