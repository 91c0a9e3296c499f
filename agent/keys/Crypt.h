// The crypto layer: provider choice, the user's and the agent's key
// containers, the block primitives of the driver's block requests, checked
// import and export, and the providers released at exit.
#pragma once

#include <windows.h>
#include <wincrypt.h>

// Result codes of the key functions; any other value is the failing call's
// last error.
#define KEY_RESULT_OK              0
#define KEY_RESULT_MISSING_ARG     1280
#define KEY_RESULT_BAD_LENGTH      1281
#define KEY_RESULT_NOT_INITIALISED 1282

#define SOFTWARE_PROVIDER_NAME L"Microsoft Strong Cryptographic Provider"
#define TCG_PROVIDER_NAME      L"Zidoru TCG Enabled CSP"
#define IPC_CONTAINER_NAME     L"IPC-659A872A-56DA-4352-9606-C62C4AD5CDE6"
// Present under HKEY_LOCAL_MACHINE: vault containers live in the software provider.
#define CAPI_KEY_PATH          L"Software\\Revedi Zadoder Avir.\\Common\\CAPI"

#define RELEASE_TABLE_SIZE 26

// The thread's last error, or dwFallback when a failed call left none: a
// key function never reports a failure as 0.
DWORD LastErrorOr(DWORD dwFallback);

// Reopens the log, chooses the vault provider and lets the key functions work.
void InitCrypt(void);
BOOL IsCryptInitialised(void);

// The provider of vault containers as InitCrypt chose it, and the same
// choice made afresh from the registry.
LPCWSTR GetVaultProviderName(void);
LPCWSTR ChooseVaultProviderName(void);

// The vault container's existing exchange pair; creates nothing.
DWORD GetUserXKey(LPCWSTR pwszContainer, HCRYPTPROV* phProv, HCRYPTKEY* phKey);
// The agent's own container and pair, opened when *phProv is 0, repaired
// when damaged and created when absent.
DWORD GetIPCXKey(HCRYPTPROV* phProv, HCRYPTKEY* phKey);

// ECB over whole 8-byte blocks in place, on a duplicate of hKey: the
// caller's key keeps its mode and chaining state.
DWORD EncryptBuffer(HCRYPTKEY hKey, BYTE* pbBuffer, DWORD dwLength);
DWORD DecryptBuffer(HCRYPTKEY hKey, BYTE* pbBuffer, DWORD* pdwLength);

// Import and export that work on duplicates of the caller's import or
// export key, so its state never changes. Return the CryptoAPI result; the
// import's own last error survives the clean-up.
BOOL ImportKeyChecked(HCRYPTPROV hProv, const BYTE* pbBlob, DWORD cbBlob, HCRYPTKEY hImportKey,
                      DWORD dwFlags, HCRYPTKEY* phKey);
BOOL ExportKeyChecked(HCRYPTKEY hKey, HCRYPTKEY hExportKey, DWORD dwBlobType, DWORD dwFlags,
                      BYTE* pbData, DWORD* pdwDataLength);

// One CryptoAPI call each; KEY_RESULT_MISSING_ARG without calling when a
// required handle or pointer is missing.
BOOL MyCryptAcquireContext(HCRYPTPROV* phProv, LPCWSTR pwszContainer, LPCWSTR pwszProvider,
                           DWORD dwProvType, DWORD dwFlags);
BOOL MyCryptReleaseContext(HCRYPTPROV hProv, DWORD dwFlags);
BOOL MyCryptDestroyKey(HCRYPTKEY hKey);
BOOL MyCryptGenKey(HCRYPTPROV hProv, ALG_ID algId, DWORD dwFlags, HCRYPTKEY* phKey);
BOOL MyCryptSetKeyParam(HCRYPTKEY hKey, DWORD dwParam, const BYTE* pbData, DWORD dwFlags);
BOOL MyCryptGetUserKey(HCRYPTPROV hProv, DWORD dwKeySpec, HCRYPTKEY* phKey);
BOOL MyCryptDecrypt(HCRYPTKEY hKey, HCRYPTHASH hHash, BOOL bFinal, DWORD dwFlags, BYTE* pbData,
                    DWORD* pdwDataLength);
BOOL MyCryptEncrypt(HCRYPTKEY hKey, HCRYPTHASH hHash, BOOL bFinal, DWORD dwFlags, BYTE* pbData,
                    DWORD* pdwDataLength, DWORD dwBufferLength);

// IPC providers of logged-out vaults, released at exit. Each is listed once;
// a full table takes no more.
void ResetReleaseTable(void);
void AddToReleaseTable(HCRYPTPROV hProv);
void ReleaseProviderTable(void);
LONG GetReleaseTableCount(void);

// For in-process tests: the state before InitCrypt.
void ResetCryptState(void);
