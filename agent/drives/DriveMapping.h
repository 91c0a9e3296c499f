// Mapping vaults to their drive letters, the per-letter availability flags,
// and the device names that the driver sees.
#pragma once

#include <windows.h>
#include <stdio.h>

#include "vaults/VaultCache.h"

#define CONNECT_VAULT_FAILED (-1)

// Maps the vault's letter (a substitution for a local vault, a network
// connection for a network vault) under the letter's login mutex and sets
// its locked icon. 0, -1, or the network error of a failed connection. A
// local mapping appends its "subst" line to pBatch when one is given.
int Connect_Vault(VaultCacheEntry* pRecord, FILE* pBatch);
// 1 when the vault's drive is usable, mapping it first if it is not yet.
int IsVaultFunctional(VaultCacheEntry* pRecord);
void SetVaultAvailableFlag(VaultCacheEntry* pRecord, BYTE bFlag);
// TRUE when the drive is substituted to exactly this path.
BOOL QueryMapping(LPCWSTR pwszDrive, LPCWSTR pwszPath);
// Letters in use (bit 0 = A): logical drives and remembered network drives.
DWORD GetUsedDriveMask(void);
// The path with its drive replaced by the drive's device target.
void GetDeviceName(LPCWSTR pwszPath, WCHAR* wszDevicePath);
// The device target of the path's drive (or the drive itself). Always TRUE.
BOOL GetPhysicalDeviceName(LPCWSTR pwszPath, WCHAR* wszDevice);
