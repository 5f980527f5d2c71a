#include "platform/temp_name.h"

#include <cstdlib>

namespace platform {

bool FreeTempName(const std::string& directory, const std::string& prefix,
                  const std::function<bool(const std::string&)>& isFree, std::string& name) {
  std::srand(TickCount());
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
