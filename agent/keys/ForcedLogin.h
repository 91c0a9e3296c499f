// What the request channel asks of the key subsystem.
#pragma once

#include <windows.h>
#include "VaultWire.h"

// TRUE when the vault that holds Volume + ParentDir + FileName is logged in;
// nothing is loaded and nobody is asked.
BOOL ForcedLogin(Notification* pNotification);
