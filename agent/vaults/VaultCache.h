// The vault cache: one record per registered vault, in insertion order.
//
// Lookups hand out the cached record itself; callers read and update it in
// place. A record stays valid for the life of the process, also after its
// removal, so a worker that still holds one never touches freed memory.
#pragma once

#include <windows.h>
#include <wincrypt.h>

#define VAULT_STRING_CHARS 260
#define VAULT_KEY_BYTES    260
#define VAULT_DRIVE_CHARS  4
// Bit of dwSettings: the vault lives on a network share, reached through wszMapName.
#define VAULT_SETTING_NETWORK 0x2

typedef struct _VaultCacheEntry {
    WCHAR      wszLabel[VAULT_STRING_CHARS];
    WCHAR      wszPath[VAULT_STRING_CHARS];
    WCHAR      wszContainer[VAULT_STRING_CHARS];
    WCHAR      wszMapName[VAULT_STRING_CHARS];
    BYTE       abKey[VAULT_KEY_BYTES];
    WCHAR      wszDrive[VAULT_DRIVE_CHARS];
    DWORD      dwSettings;
    DWORD      dwKeySize;
    HCRYPTPROV hUserProv;
    HCRYPTPROV hIpcProv;
    HCRYPTKEY  hUserXKey;
    HCRYPTKEY  hIpcXKey;
    HCRYPTKEY  hVaultKey;
    DWORD      dwReserved;
    BYTE       bLoggedIn;
    WCHAR      wszPhysicalDevice[VAULT_STRING_CHARS];
    struct _VaultCacheEntry* pNext;
} VaultCacheEntry;

// Appends a copy of the record (a network vault is keyed by its map name)
// and returns the cached copy, or NULL when no memory was left.
VaultCacheEntry* AddVaultinCache(VaultCacheEntry* pRecord);
// The first record whose folder holds the path, if it is logged in.
VaultCacheEntry* GetVaultInCache2(LPCWSTR pwszPath);
// The first record whose folder holds the path, logged in or not.
VaultCacheEntry* GetVaultInCacheEx(LPCWSTR pwszPath);
// Unlinks the first match and deletes its key container unless another
// record still uses it. Always TRUE.
BOOL RemoveVaultFromCache(LPCWSTR pwszPath);

// Calls pfnVisit for every record from the head until it returns FALSE.
// Visitors may look records up but must not insert or remove.
typedef BOOL (*PFN_VAULT_VISIT)(VaultCacheEntry* pRecord, void* pContext);
void WalkVaultCache(PFN_VAULT_VISIT pfnVisit, void* pContext);

// The same walk with the cache held exclusively: the visitor may rewrite
// wszPhysicalDevice, which nobody reads meanwhile.
void WalkVaultCacheForUpdate(PFN_VAULT_VISIT pfnVisit, void* pContext);

// TRUE when pwszPath is the folder pwszVaultPath or lies below it.
BOOL VaultPathMatches(LPCWSTR pwszVaultPath, LPCWSTR pwszPath);

// For in-process tests: forgets every record, as before start-up.
void ResetVaultCache(void);
