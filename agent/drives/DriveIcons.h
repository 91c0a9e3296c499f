// The drive icon of a vault: locked or unlocked, shared or not, found or not.
#pragma once

#include <windows.h>

#include "vaults/VaultCache.h"

// Icon indexes in the icon library.
enum VAULT_ICON {
    ICON_LOCKED_NOT_FOUND   = 0,
    ICON_UNLOCKED           = 1,
    ICON_UNLOCKED_SHARED    = 2,
    ICON_LOCKED             = 3,
    ICON_LOCKED_SHARED      = 4,
    ICON_UNLOCKED_NOT_FOUND = 5,
};

// Sharing states.
#define VAULT_NOT_FOUND  0
#define VAULT_NOT_SHARED 1
#define VAULT_SHARED     2

#define ICON_LIBRARY_NAME L"\\vidizer.dll"

// A vault is shared when its folder holds both "vault3.cfg" and "keyArchive.xml".
DWORD IsShared(const VaultCacheEntry* pRecord);
// Writes the icon into the three places the shell reads and refreshes the drive.
void ChangeIcon(const VaultCacheEntry* pRecord, DWORD dwIcon);
// The vault's icon for its sharing state, locked or not.
void RefreshVaultIcon(const VaultCacheEntry* pRecord, BOOL bUnlocked);
