// Process-wide settings made once at start-up.
#pragma once

namespace platform {

// Makes a write past the process's file size limit fail like a full disk
// (so the run reports it and cleans up) instead of killing the process.
void PrepareProcess();

}  // namespace platform
