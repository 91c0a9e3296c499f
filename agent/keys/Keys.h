// What the request channel asks of the key subsystem.
#pragma once

#include <windows.h>
#include "VaultWire.h"

// TRUE when the user is (now) logged in to the vault of Volume/ParentDir.
// Until vault keys can be loaded no vault is logged in.
BOOL ForcedLogin(Notification* pNotification);
