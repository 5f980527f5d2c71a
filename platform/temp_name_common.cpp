#include "platform/temp_name.h"

#include <cstdlib>
#include <random>

namespace platform {

bool FreeTempName(const std::string& directory, const std::string& prefix,
                  const std::function<bool(const std::string&)>& isFree, std::string& name) {
  // Runs started in the same millisecond (parallel jobs) would draw the
  // same numbers from the tick count alone, and the second would take the
  // first one's workspace before it exists: a nondeterministic source is
  // mixed into the seed.
  unsigned seed = TickCount();
  try {
    std::random_device entropy;
    seed ^= entropy();
  } catch (const std::exception&) {
    // None on this system: the tick count alone.
  }
  std::srand(seed);
  for (int attempt = 0; attempt < 1000; ++attempt) {
    int number = 0;
    while (number == 0) number = std::rand();
    std::string formed;
    if (!FormTempName(directory, prefix, static_cast<unsigned>(number), formed)) return false;
    if (isFree(formed)) {
      name = formed;
      return true;
    }
  }
  return false;
}

}  // namespace platform
