// Runs the image fuzz target once on each file given, or on every file of
// each directory given: the seed corpus and the crash reproducers become a
// plain regression test that needs no fuzzing engine.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>
#include <vector>

#include <boost/filesystem.hpp>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace fs = boost::filesystem;

int main(int argc, char** argv) {
  std::vector<fs::path> inputs;
  for (int i = 1; i < argc; ++i) {
    const fs::path argument(argv[i]);
    if (fs::is_directory(argument)) {
      for (const auto& entry : fs::directory_iterator(argument)) {
        if (fs::is_regular_file(entry.path()) && entry.path().filename().string()[0] != '.') {
          inputs.push_back(entry.path());
        }
      }
    } else if (fs::exists(argument)) {
      inputs.push_back(argument);
    } else {
      std::cerr << "no such input: " << argument.string() << std::endl;
      return 1;
    }
  }
  std::sort(inputs.begin(), inputs.end());
  if (inputs.empty()) {
    std::cerr << "no inputs given" << std::endl;
    return 1;
  }
  for (const fs::path& input : inputs) {
    std::cerr << "running " << input.string() << std::endl;
    std::ifstream in(input.string(), std::ios::binary);
    const std::vector<char> bytes((std::istreambuf_iterator<char>(in)),
                                  std::istreambuf_iterator<char>());
    LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
  }
  std::cerr << inputs.size() << " inputs ran without a fault" << std::endl;
  return 0;
}
