// Providers, containers, block primitives and the provider release table.
#include <windows.h>
#include <wincrypt.h>
#include <strsafe.h>

#include "diag/Diag.h"
#include "keys/Crypt.h"

#define CRYPT_BLOCK_BYTES 8

// Written by InitCrypt on the main thread, read by every thread after it.
static volatile LONG g_lUseSoftwareProvider;
static volatile LONG g_lCryptInitialised;

static HCRYPTPROV g_hReleaseProviders[RELEASE_TABLE_SIZE];
static LONG       g_lReleaseProviderCount;

DWORD LastErrorOr(DWORD dwFallback)
{
    DWORD dwError = GetLastError();
    return dwError != 0 ? dwError : dwFallback;
}

static BOOL CapiKeyPresent(void)
{
    HKEY hKey = NULL;

    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, CAPI_KEY_PATH, 0, KEY_QUERY_VALUE, &hKey) != ERROR_SUCCESS)
        return FALSE;
    RegCloseKey(hKey);
    return TRUE;
}

void InitCrypt(void)
{
    OpenLogFile();
    if (CapiKeyPresent())
        g_lUseSoftwareProvider = 1;
    WriteLog("InitCrypt succeed");
    g_lCryptInitialised = 1;
}

BOOL IsCryptInitialised(void)
{
    return g_lCryptInitialised != 0;
}

LPCWSTR GetVaultProviderName(void)
{
    return g_lUseSoftwareProvider ? SOFTWARE_PROVIDER_NAME : TCG_PROVIDER_NAME;
}

LPCWSTR ChooseVaultProviderName(void)
{
    return CapiKeyPresent() ? SOFTWARE_PROVIDER_NAME : TCG_PROVIDER_NAME;
}

void ResetCryptState(void)
{
    g_lUseSoftwareProvider = 0;
    g_lCryptInitialised = 0;
    g_lReleaseProviderCount = 0;
}

// ---------------------------------------------------------------------------
// The guarded wrappers.

BOOL MyCryptAcquireContext(HCRYPTPROV* phProv, LPCWSTR pwszContainer, LPCWSTR pwszProvider,
                           DWORD dwProvType, DWORD dwFlags)
{
    if (pwszContainer == NULL || pwszProvider == NULL)
        return KEY_RESULT_MISSING_ARG;
    return CryptAcquireContextW(phProv, pwszContainer, pwszProvider, dwProvType, dwFlags);
}

BOOL MyCryptReleaseContext(HCRYPTPROV hProv, DWORD dwFlags)
{
    if (hProv == 0)
        return KEY_RESULT_MISSING_ARG;
    return CryptReleaseContext(hProv, dwFlags);
}

BOOL MyCryptDestroyKey(HCRYPTKEY hKey)
{
    if (hKey == 0)
        return KEY_RESULT_MISSING_ARG;
    return CryptDestroyKey(hKey);
}

BOOL MyCryptGenKey(HCRYPTPROV hProv, ALG_ID algId, DWORD dwFlags, HCRYPTKEY* phKey)
{
    if (hProv == 0)
        return KEY_RESULT_MISSING_ARG;
    return CryptGenKey(hProv, algId, dwFlags, phKey);
}

BOOL MyCryptSetKeyParam(HCRYPTKEY hKey, DWORD dwParam, const BYTE* pbData, DWORD dwFlags)
{
    if (hKey == 0 || pbData == NULL)
        return KEY_RESULT_MISSING_ARG;
    return CryptSetKeyParam(hKey, dwParam, pbData, dwFlags);
}

BOOL MyCryptGetUserKey(HCRYPTPROV hProv, DWORD dwKeySpec, HCRYPTKEY* phKey)
{
    if (hProv == 0)
        return KEY_RESULT_MISSING_ARG;
    return CryptGetUserKey(hProv, dwKeySpec, phKey);
}

BOOL MyCryptDecrypt(HCRYPTKEY hKey, HCRYPTHASH hHash, BOOL bFinal, DWORD dwFlags, BYTE* pbData,
                    DWORD* pdwDataLength)
{
    if (hKey == 0 || pbData == NULL)
        return KEY_RESULT_MISSING_ARG;
    return CryptDecrypt(hKey, hHash, bFinal, dwFlags, pbData, pdwDataLength);
}

BOOL MyCryptEncrypt(HCRYPTKEY hKey, HCRYPTHASH hHash, BOOL bFinal, DWORD dwFlags, BYTE* pbData,
                    DWORD* pdwDataLength, DWORD dwBufferLength)
{
    if (hKey == 0 || pbData == NULL)
        return KEY_RESULT_MISSING_ARG;
    return CryptEncrypt(hKey, hHash, bFinal, dwFlags, pbData, pdwDataLength, dwBufferLength);
}

// ---------------------------------------------------------------------------
// Containers.

DWORD GetUserXKey(LPCWSTR pwszContainer, HCRYPTPROV* phProv, HCRYPTKEY* phKey)
{
    DWORD dwError;

    if (!IsCryptInitialised())
        return KEY_RESULT_NOT_INITIALISED;
    if (pwszContainer == NULL || phProv == NULL || phKey == NULL)
        return KEY_RESULT_MISSING_ARG;
    if (!CryptAcquireContextW(phProv, pwszContainer, GetVaultProviderName(), PROV_RSA_FULL, 0)) {
        dwError = GetLastError();
        if (dwError != 0)
            return dwError;
    }
    if (!CryptGetUserKey(*phProv, AT_KEYEXCHANGE, phKey))
        return GetLastError();
    return KEY_RESULT_OK;
}

static void DropProvider(HCRYPTPROV* phProv)
{
    if (*phProv != 0)
        CryptReleaseContext(*phProv, 0);
    *phProv = 0;
}

// The agent's container could not be opened: a bad keyset is deleted first,
// then a new one is made. 0 when a provider is held afterwards.
static DWORD RepairIpcContainer(HCRYPTPROV* phProv, DWORD dwOpenError)
{
    HCRYPTPROV hDeleted = 0;
    DWORD dwResult = dwOpenError;

    WriteLog("RARI:keyset not defined or bad keyset ");
    if (dwOpenError == (DWORD)NTE_BAD_KEYSET) {
        WriteLog("RARI:bad keyset");
        if (!CryptAcquireContextW(&hDeleted, IPC_CONTAINER_NAME, SOFTWARE_PROVIDER_NAME,
                                  PROV_RSA_FULL, CRYPT_DELETEKEYSET)) {
            WriteLog("RARI:keyset wont delete");
            WriteLog("RARI:result=%x", dwOpenError);
            dwResult = GetLastError();
            DropProvider(phProv);
        }
    }
    WriteLog("RARI:create new keyset");
    if (CryptAcquireContextW(phProv, IPC_CONTAINER_NAME, SOFTWARE_PROVIDER_NAME, PROV_RSA_FULL,
                             CRYPT_NEWKEYSET)) {
        WriteLog("RARI:ERROR_SUCCESS");
        return KEY_RESULT_OK;
    }
    WriteLog("RARI:new keyset failed");
    WriteLog("RARI:result=%x", dwOpenError);
    dwResult = LastErrorOr((DWORD)NTE_BAD_KEYSET);
    DropProvider(phProv);
    return dwResult;
}

static DWORD GetOrMakeIpcPair(HCRYPTPROV hProv, HCRYPTKEY* phKey)
{
    DWORD dwError;

    if (CryptGetUserKey(hProv, AT_KEYEXCHANGE, phKey))
        return KEY_RESULT_OK;
    dwError = GetLastError();
    if (dwError != (DWORD)NTE_NO_KEY)
        return dwError;
    if (!CryptGenKey(hProv, AT_KEYEXCHANGE, CRYPT_EXPORTABLE, phKey)) {
        dwError = GetLastError();
        WriteLog("RARI:user exchange key can not be created  result=%x", dwError);
        return dwError;
    }
    return KEY_RESULT_OK;
}

GUARDED_BODY static DWORD OpenIpcPair(HCRYPTPROV* phProv, HCRYPTKEY* phKey)
{
    DWORD dwError;

    if (*phProv == 0 &&
        !CryptAcquireContextW(phProv, IPC_CONTAINER_NAME, SOFTWARE_PROVIDER_NAME, PROV_RSA_FULL, 0)) {
        dwError = GetLastError();
        WriteLog("RARI:failed to open CryptIPCContext");
        if (dwError != (DWORD)NTE_KEYSET_NOT_DEF && dwError != (DWORD)NTE_BAD_KEYSET)
            return dwError;
        dwError = RepairIpcContainer(phProv, dwError);
        if (dwError != KEY_RESULT_OK)
            return dwError;
    }
    if (*phProv == 0)
        return KEY_RESULT_OK;
    return GetOrMakeIpcPair(*phProv, phKey);
}

DWORD GetIPCXKey(HCRYPTPROV* phProv, HCRYPTKEY* phKey)
{
    char szLine[64];
    DWORD dwResult;

    if (!IsCryptInitialised())
        return KEY_RESULT_NOT_INITIALISED;
    if (phProv == NULL || phKey == NULL)
        return KEY_RESULT_MISSING_ARG;
    __try {
        dwResult = OpenIpcPair(phProv, phKey);
    } __except (EXCEPTION_EXECUTE_HANDLER) {
        dwResult = GetLastError();
        StringCchPrintfA(szLine, ARRAYSIZE(szLine), "exception: result=%x", dwResult);
        OutputDebugStringA(szLine);
    }
    return dwResult;
}

// ---------------------------------------------------------------------------
// Block primitives: a duplicate in ECB mode per call. The duplicate is
// destroyed on every path.

static DWORD TransformBlocks(HCRYPTKEY hKey, BYTE* pbBuffer, DWORD* pdwLength, BOOL bEncrypt)
{
    HCRYPTKEY hDuplicate = 0;
    DWORD dwMode = CRYPT_MODE_ECB;
    DWORD dwResult = KEY_RESULT_OK;
    BOOL bDone;

    if (!CryptDuplicateKey(hKey, NULL, 0, &hDuplicate))
        return GetLastError();
    bDone = CryptSetKeyParam(hDuplicate, KP_MODE, (const BYTE*)&dwMode, 0);
    if (bDone && bEncrypt)
        bDone = CryptEncrypt(hDuplicate, 0, FALSE, 0, pbBuffer, pdwLength, *pdwLength);
    else if (bDone)
        bDone = CryptDecrypt(hDuplicate, 0, FALSE, 0, pbBuffer, pdwLength);
    if (!bDone)
        dwResult = GetLastError();
    CryptDestroyKey(hDuplicate);
    return dwResult;
}

DWORD EncryptBuffer(HCRYPTKEY hKey, BYTE* pbBuffer, DWORD dwLength)
{
    if (!IsCryptInitialised())
        return KEY_RESULT_NOT_INITIALISED;
    if (hKey == 0 || pbBuffer == NULL)
        return KEY_RESULT_MISSING_ARG;
    if (dwLength % CRYPT_BLOCK_BYTES != 0)
        return KEY_RESULT_BAD_LENGTH;
    return TransformBlocks(hKey, pbBuffer, &dwLength, TRUE);
}

DWORD DecryptBuffer(HCRYPTKEY hKey, BYTE* pbBuffer, DWORD* pdwLength)
{
    if (!IsCryptInitialised())
        return KEY_RESULT_NOT_INITIALISED;
    if (hKey == 0 || pbBuffer == NULL || pdwLength == NULL)
        return KEY_RESULT_MISSING_ARG;
    return TransformBlocks(hKey, pbBuffer, pdwLength, FALSE);
}

// ---------------------------------------------------------------------------
// Checked import and export.

BOOL ImportKeyChecked(HCRYPTPROV hProv, const BYTE* pbBlob, DWORD cbBlob, HCRYPTKEY hImportKey,
                      DWORD dwFlags, HCRYPTKEY* phKey)
{
    HCRYPTKEY hDuplicate = 0;
    DWORD dwError;
    BOOL bImported;

    if (hImportKey == 0)
        return CryptImportKey(hProv, pbBlob, cbBlob, 0, dwFlags, phKey);
    if (!CryptDuplicateKey(hImportKey, NULL, 0, &hDuplicate))
        return FALSE;
    bImported = CryptImportKey(hProv, pbBlob, cbBlob, hDuplicate, dwFlags, phKey);
    dwError = GetLastError();
    CryptDestroyKey(hDuplicate);
    SetLastError(dwError);
    return bImported;
}

BOOL ExportKeyChecked(HCRYPTKEY hKey, HCRYPTKEY hExportKey, DWORD dwBlobType, DWORD dwFlags,
                      BYTE* pbData, DWORD* pdwDataLength)
{
    HCRYPTKEY hKeyCopy = 0;
    HCRYPTKEY hExportCopy = 0;
    DWORD dwError;
    BOOL bExported = FALSE;

    if (dwBlobType != SYMMETRICWRAPKEYBLOB)
        return CryptExportKey(hKey, hExportKey, dwBlobType, dwFlags, pbData, pdwDataLength);
    if (CryptDuplicateKey(hKey, NULL, 0, &hKeyCopy) &&
        CryptDuplicateKey(hExportKey, NULL, 0, &hExportCopy))
        bExported = CryptExportKey(hKeyCopy, hExportCopy, dwBlobType, dwFlags, pbData,
                                   pdwDataLength);
    dwError = GetLastError();
    if (hExportCopy != 0)
        CryptDestroyKey(hExportCopy);
    if (hKeyCopy != 0)
        CryptDestroyKey(hKeyCopy);
    SetLastError(dwError);
    return bExported;
}

// ---------------------------------------------------------------------------
// Providers released at exit.

void ResetReleaseTable(void)
{
    g_lReleaseProviderCount = 0;
}

void AddToReleaseTable(HCRYPTPROV hProv)
{
    for (LONG i = 0; i < g_lReleaseProviderCount; i++)
        if (g_hReleaseProviders[i] == hProv)
            return;
    if (g_lReleaseProviderCount < RELEASE_TABLE_SIZE)
        g_hReleaseProviders[g_lReleaseProviderCount++] = hProv;
}

void ReleaseProviderTable(void)
{
    for (LONG i = 0; i < g_lReleaseProviderCount; i++)
        CryptReleaseContext(g_hReleaseProviders[i], 0);
}

LONG GetReleaseTableCount(void)
{
    return g_lReleaseProviderCount;
}
