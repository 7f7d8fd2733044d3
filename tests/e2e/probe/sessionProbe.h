// What the end-to-end tests ask of the session probe, and what it answers.
#pragma once

#include <windows.h>

enum class SessionProbeCommand : int {
    Install,  // from now on locks are accepted and the session locks with them
    Unlock,   // the user unlocks the session
    Read,     // only report
};

struct SessionProbeRequest {
    SessionProbeCommand command;
    BOOL done;
    LONG acceptedLocks;  // locks the program asked for since the probe was installed
    BOOL locked;
};
