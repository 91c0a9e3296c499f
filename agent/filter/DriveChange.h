// Vaults whose volume came back under another NT name.
#pragma once

#include <windows.h>

// Moves the vaults of the drive that wszNewVolume now names to that volume;
// wszOldVolume (260 characters, empty on entry) receives the first one's
// old volume name. TRUE when a vault matched. No vault is known yet.
BOOL UpdateDriveList(LPCWSTR wszNewVolume, WCHAR* wszOldVolume);
