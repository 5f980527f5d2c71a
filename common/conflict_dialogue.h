// The dialogue that settles a name already taken where something is to be
// added: the same steps for every kind of addition, with the texts of each
// kind in one table. How it is settled is the run's choice: ask on the
// console, or decide without reading standard input (for scripts).
#pragma once

#include <string>

// What the run does at a conflict: ask (the prompt), abort the run, or let
// the new item replace the entry that has the name.
enum class ConflictMode { Ask, Abort, Overwrite };

// "ask", "abort", "overwrite"; false for anything else.
bool ParseConflictMode(const std::string& text, ConflictMode& mode);

// The additions that may meet a taken name. The editor's kinds offer "c"
// or abort at the prompt; the direct additions also offer "o".
enum class ConflictKind { File, Directory, StorageDriver, DirectFile, DirectDirectory };

enum class ConflictOutcome { NewName, Overwrite, Abort };

// Settles one conflict about `name`. NewName leaves the typed word in
// `name` (the caller checks it and tests again); Abort has printed the
// kind's abort warning; Overwrite keeps the name.
ConflictOutcome ResolveConflict(ConflictKind kind, ConflictMode mode, std::string& name);
