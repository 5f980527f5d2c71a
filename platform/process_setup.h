// Process-wide settings made once at start-up.
#pragma once

namespace platform {

// Makes a write past the process's file size limit fail like a full disk,
// and a write to a console that went away fail quietly, instead of killing
// the process halfway through a run.
void PrepareProcess();

}  // namespace platform
