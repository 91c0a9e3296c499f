// Vault keys: loading a logged-in vault's key at login, handing it to the
// workers, and making the keys of a new vault.
#pragma once

#include <windows.h>
#include <wincrypt.h>

#include "vaults/VaultCache.h"

// One mutex per drive letter serialises mapping, key loading and new-vault
// registration of that letter across threads and processes.
#define LOGIN_MUTEX_FORMAT   L"ReriroVivAviVuraz%wc"
#define LOGIN_MUTEX_WAIT_MS  5000

// Creates or opens the letter's mutex; NULL on failure (the name is returned
// either way, for the caller's messages).
HANDLE OpenLoginMutex(WCHAR wcDrive, WCHAR* wszName, size_t cchName);
// TRUE when the mutex is owned within 5 seconds.
BOOL WaitForLoginMutex(HANDLE hMutex);

// The logged-in vault of the path: its key and provider as they stand.
BOOL GetKeysForVault(LPCWSTR pwszPath, HCRYPTKEY* phKey, HCRYPTPROV* phProv);
// The same, loading the key under the login mutex when it is not loaded yet.
BOOL GetKeysForVaultEx(LPCWSTR pwszPath, HCRYPTKEY* phKey, HCRYPTPROV* phProv);

// Workers use vault keys between BeginVaultKeyUse and EndVaultKeyUse;
// ReleaseVaultKeys destroys a vault's keys only while no worker is using
// any, so no worker is ever left with a destroyed handle.
void BeginVaultKeyUse(void);
void EndVaultKeyUse(void);
// Logout: the keys destroyed, the user provider released, the IPC provider
// kept in the record and listed for release at exit, the vault logged out.
void ReleaseVaultKeys(VaultCacheEntry* pVault);

// Unwraps the stored vault key in the user's provider and re-imports it into
// the IPC provider.
DWORD GetVaultSymmetricKey(HCRYPTPROV hUserProv, HCRYPTPROV hIpcProv, HCRYPTKEY hIpcXKey,
                           HCRYPTKEY hUserXKey, const BYTE* pbBlob, DWORD cbBlob,
                           HCRYPTKEY* phVaultKey);

// The keys of a new vault; with bGenerate a new vault key is made, wrapped
// into pbKey (*pdwKeyLength its size) and stored as the record's "Key".
DWORD CreateVaultKeys(LPCWSTR pwszDrive, LPCWSTR pwszContainer, HCRYPTPROV* phUserProv,
                      HCRYPTPROV* phIpcProv, HCRYPTKEY* phUserXKey, HCRYPTKEY* phIpcXKey,
                      HCRYPTKEY* phVaultKey, BYTE* pbKey, DWORD* pdwKeyLength, BOOL bGenerate);
// What a failed CreateVaultKeys left in a record that never reached the
// cache: every key destroyed and both providers released.
void DiscardNewVaultKeys(VaultCacheEntry* pRecord);
// Opens or creates the container and its exchange pair; a failure holds no
// context.
DWORD GenUserXKey(LPCWSTR pwszContainer, HCRYPTPROV* phProv, HCRYPTKEY* phKey);
// Generates the vault key, wraps it under the exchange key and writes it to
// the vault's registry subkey (which must exist). *pdwBlobLength is the
// blob's capacity on entry: a longer blob is refused before anything is
// written.
DWORD GenPapMgrKey(LPCWSTR pwszDrive, HCRYPTPROV hProv, HCRYPTKEY hXKey, BYTE* pbBlob,
                   DWORD* pdwBlobLength);
