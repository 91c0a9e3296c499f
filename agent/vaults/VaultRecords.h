// The user's vault records in the registry, one subkey per drive letter.
#pragma once

#include <windows.h>

#include "vaults/VaultCache.h"

#define VAULTS_KEY_PATH L"Software\\Revedi Zadoder Avir.\\Vuzaziz\\Vaults"

// Reads the subkey's "Path", "Label", "Container", "MapName" and "Settings"
// (all required) and "Key" (optional) into the record, and forms wszDrive
// from the name's first character. FALSE when the subkey cannot be opened
// or a required value cannot be read; the record is then partly filled.
BOOL ReadVaultRecord(LPCWSTR pwszSubkeyName, VaultCacheEntry* pRecord);

// "Software\...\Vaults\<name>" into a buffer of cchPath characters.
BOOL FormVaultKeyPath(LPCWSTR pwszSubkeyName, LPWSTR pwszPath, size_t cchPath);
