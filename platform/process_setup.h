// Process-wide settings made once at start-up.
#pragma once

namespace platform {

// Makes a write past the process's file size limit fail like a full disk,
// and a write to a console that went away fail quietly, instead of killing
// the process halfway through a run. On Windows, also shows names as UTF-8
// on the console while the tool runs.
void PrepareProcess();

// Gives back what PrepareProcess changed outside the process (on Windows
// the console's code page). Exit handlers do it at an ordinary end;
// EndProcess, which skips them, calls it itself.
void RestoreProcessSettings();

}  // namespace platform
