// Commands of the companion programs, each served on the main thread from
// its registered message (or its timer).
#pragma once

#include <windows.h>

// "LOGIN_VAULTS" (through the login timer) and "LOGGEDINVAULTS". TRUE when
// the section could be opened and mapped, whatever the answer.
BOOL SetLoggedInStatus(void);
BOOL GetLoggedInStatus(void);

// "VAULT_SHARE", "CHECK_SHARED_STATUS", "UNSHARE_VAULT": the vault's two
// configuration files moved, checked, or one of them deleted. Each returns
// its result (1 or 0).
BYTE VaultShare(void);
BYTE CheckSharedStatus(void);
BYTE UnshareVault(void);

// "VAULT_BACKUP": 1 when the vault-manager library reports a failure.
DWORD ServiceVaultBackup(void);
// "RESTOREVAULT" (through the restore timer): always 0.
DWORD VaultMgrService(void);
// Called by the vault-manager library after a restore: the two configuration
// files copied from the first folder to the second, and the driver told.
void WINAPI CopyVaultConfigCallback(LPCWSTR pwszFirst, LPCWSTR pwszSecond);

// "VAULT_CONNECT": 1 when both configuration files were copied.
DWORD MoveVaultFiles(void);
// "REM_REST_FILE": up to two files deleted; no result and no diagnostics.
void RemoveRestFiles(void);
// "LAUNCH_EXPLORE_VAULT": the vault explorer beside the agent, started.
void LaunchVododizEveru(void);
