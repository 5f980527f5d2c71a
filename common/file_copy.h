// Copying one local file without ever overwriting the target.
#pragma once

#include <string>

// Copies `from` to a new file `to`. Throws boost::filesystem::filesystem_error
// when `to` already exists or either file cannot be read or written; a
// partly written target is removed again. Works across file systems (plain
// reads and writes, no kernel copy shortcuts that refuse to cross devices).
void CopyFileNoOverwrite(const std::string& from, const std::string& to);
