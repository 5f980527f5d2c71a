#include "common/prompt.h"

#include <iostream>

bool ReadPromptKey(char& key) {
  std::cout.flush();
  return static_cast<bool>(std::cin >> key);
}

bool ReadPromptWord(std::string& word) {
  std::cout.flush();
  return static_cast<bool>(std::cin >> word);
}
