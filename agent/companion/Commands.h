// Commands of the companion programs, each served on the main thread from
// its registered message (or its timer).
#pragma once

#include <windows.h>

// "LOGIN_VAULTS" (through the login timer) and "LOGGEDINVAULTS". TRUE when
// the section could be opened and mapped, whatever the answer.
BOOL SetLoggedInStatus(void);
BOOL GetLoggedInStatus(void);
