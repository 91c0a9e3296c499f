// Registration of the user's vaults with the driver, and the changes that
// companion programs ask for later.
#pragma once

#include <windows.h>

// Start-up: every vault record is mapped, cached and sent in batches of ten.
BOOL SendDocVaultsToFilter(void);

// "RezodService" commands: a new vault, a vault removed, a vault logged out.
BOOL SendNewVaultToFilter(void);
BOOL RemoveVaultFromFilter(void);
BOOL LogoutVaultFromFilter(void);
