// One-character console prompts.
//
// Answers are read from standard input by formatted extraction: white space
// (line ends included) is skipped and the first other character is the key;
// the rest of the line stays for the next read. After "c" a new name is read
// as one white-space-delimited word.
#pragma once

#include <string>

// Reads the next non-blank character. False at end of input or on error.
bool ReadPromptKey(char& key);

// Reads the next white-space-delimited word. False at end of input or on error.
bool ReadPromptWord(std::string& word);
