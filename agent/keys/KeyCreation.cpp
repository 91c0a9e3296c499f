// The keys of a new vault.
#include <windows.h>
#include <wincrypt.h>

#include "diag/Diag.h"
#include "keys/Crypt.h"
#include "keys/VaultKeys.h"
#include "vaults/VaultRecords.h"

#define VAULT_KEY_PATH_CHARS 520

// A failed GenUserXKey hands back no context: releases it, keeps the error.
static DWORD DropProvider(HCRYPTPROV* phProv, DWORD dwError)
{
    CryptReleaseContext(*phProv, 0);
    *phProv = 0;
    SetLastError(dwError);
    return dwError;
}

DWORD GenUserXKey(LPCWSTR pwszContainer, HCRYPTPROV* phProv, HCRYPTKEY* phKey)
{
    DWORD dwError;

    WriteLog("RARI:GenUserXKey - used");
    if (!IsCryptInitialised())
        return KEY_RESULT_NOT_INITIALISED;
    if (pwszContainer == NULL || phProv == NULL || phKey == NULL)
        return KEY_RESULT_MISSING_ARG;

    WriteLog("RARI:MyCryptAcquireContext-before");
    if (!CryptAcquireContextW(phProv, pwszContainer, GetVaultProviderName(), PROV_RSA_FULL, 0)) {
        dwError = GetLastError();
        WriteLog("RARI:MyCryptAcquireContext -after");
        if (dwError != (DWORD)NTE_KEYSET_NOT_DEF && dwError != (DWORD)NTE_BAD_KEYSET)
            return dwError;
        WriteLog("RARI:MyCryptAcquireContext newkey - before");
        if (!CryptAcquireContextW(phProv, pwszContainer, GetVaultProviderName(), PROV_RSA_FULL,
                                  CRYPT_NEWKEYSET)) {
            WriteLog("RARI:MyCryptAcquireContext newkey - after");
            dwError = LastErrorOr((DWORD)NTE_BAD_KEYSET);
            if (*phProv != 0)
                CryptReleaseContext(*phProv, 0);
            *phProv = 0;
            return dwError;
        }
    } else {
        WriteLog("RARI:MyCryptAcquireContext -after");
    }

    WriteLog("RARI:MyCryptGetUserKey");
    if (CryptGetUserKey(*phProv, AT_KEYEXCHANGE, phKey)) {
        WriteLog("RARI:MyCryptGetUserKey - sucess");
        return KEY_RESULT_OK;
    }
    dwError = GetLastError();
    if (dwError != (DWORD)NTE_NO_KEY)
        return DropProvider(phProv, dwError);
    WriteLog("RARI:MyCryptGetUserKey - after - error");
    WriteLog("RARI:MyCryptGenKey - before");
    if (!CryptGenKey(*phProv, AT_KEYEXCHANGE, CRYPT_EXPORTABLE | CRYPT_USER_PROTECTED, phKey)) {
        dwError = LastErrorOr((DWORD)NTE_FAIL);
        WriteLog("RARI:MyCryptGenKey - after");
        WriteLog("RARI:MyCryptGenKey - error");
        return DropProvider(phProv, dwError);
    }
    WriteLog("RARI:MyCryptGenKey - after");
    WriteLog("RARI:MyCryptGenKey - sucess");
    return KEY_RESULT_OK;
}

// 3DES when the provider lists it, else DES.
static ALG_ID ChooseVaultKeyAlgorithm(HCRYPTPROV hProv)
{
    PROV_ENUMALGS algorithm;
    DWORD cbAlgorithm = sizeof(algorithm);
    DWORD dwFlags = CRYPT_FIRST;

    while (CryptGetProvParam(hProv, PP_ENUMALGS, (BYTE*)&algorithm, &cbAlgorithm, dwFlags)) {
        if (algorithm.aiAlgid == CALG_3DES)
            return CALG_3DES;
        dwFlags = 0;
        cbAlgorithm = sizeof(algorithm);
    }
    return CALG_DES;
}

// The subkey is opened, never created: a vault the companion did not record
// gets no key.
static DWORD StoreWrappedKey(LPCWSTR pwszDrive, const BYTE* pbBlob, DWORD cbBlob)
{
    WCHAR wszKeyPath[VAULT_KEY_PATH_CHARS];
    HKEY hKey = NULL;
    LONG lResult;

    if (!FormVaultKeyPath(pwszDrive, wszKeyPath, ARRAYSIZE(wszKeyPath)))
        return ERROR_BUFFER_OVERFLOW;
    lResult = RegOpenKeyExW(HKEY_CURRENT_USER, wszKeyPath, 0, KEY_ALL_ACCESS, &hKey);
    if (lResult != ERROR_SUCCESS)
        return (DWORD)lResult;
    lResult = RegSetValueExW(hKey, L"Key", 0, REG_BINARY, pbBlob, cbBlob);
    RegCloseKey(hKey);
    return (DWORD)lResult;
}

DWORD GenPapMgrKey(LPCWSTR pwszDrive, HCRYPTPROV hProv, HCRYPTKEY hXKey, BYTE* pbBlob,
                   DWORD* pdwBlobLength)
{
    HCRYPTKEY hVaultKey = 0;
    DWORD dwCapacity;
    DWORD dwResult;

    WriteLog("RARI:GenPapMgrKey");
    if (hProv == 0 || hXKey == 0 || pwszDrive == NULL || pbBlob == NULL || pdwBlobLength == NULL)
        return KEY_RESULT_MISSING_ARG;
    dwCapacity = *pdwBlobLength;
    if (!CryptGenKey(hProv, ChooseVaultKeyAlgorithm(hProv), CRYPT_EXPORTABLE, &hVaultKey))
        return LastErrorOr((DWORD)NTE_FAIL);
    dwResult = KEY_RESULT_OK;
    if (!CryptExportKey(hVaultKey, hXKey, SIMPLEBLOB, 0, NULL, pdwBlobLength))
        dwResult = LastErrorOr((DWORD)NTE_FAIL);
    else if (*pdwBlobLength > dwCapacity)
        dwResult = ERROR_INSUFFICIENT_BUFFER;
    else if (!CryptExportKey(hVaultKey, hXKey, SIMPLEBLOB, 0, pbBlob, pdwBlobLength))
        dwResult = LastErrorOr((DWORD)NTE_FAIL);
    // The wrapped blob is the only product; the usable key comes from the
    // IPC provider later.
    CryptDestroyKey(hVaultKey);
    if (dwResult == KEY_RESULT_OK && *pdwBlobLength != 0)
        dwResult = StoreWrappedKey(pwszDrive, pbBlob, *pdwBlobLength);
    return dwResult;
}

GUARDED_BODY static DWORD MakeVaultKeys(LPCWSTR pwszDrive, LPCWSTR pwszContainer, HCRYPTPROV* phUserProv,
                           HCRYPTPROV* phIpcProv, HCRYPTKEY* phUserXKey, HCRYPTKEY* phIpcXKey,
                           HCRYPTKEY* phVaultKey, BYTE* pbKey, DWORD* pdwKeyLength, BOOL bGenerate)
{
    // No more than the vault record and the registry walk hold: a longer
    // key would work until the first logout and never load again.
    BYTE abBlob[VAULT_KEY_BYTES];
    DWORD cbBlob = sizeof(abBlob);
    DWORD dwResult;

    dwResult = GenUserXKey(pwszContainer, phUserProv, phUserXKey);
    if (dwResult != KEY_RESULT_OK)
        return dwResult;
    if (bGenerate) {
        dwResult = GenPapMgrKey(pwszDrive, *phUserProv, *phUserXKey, abBlob, &cbBlob);
        if (dwResult != KEY_RESULT_OK)
            return dwResult;
        if (*pdwKeyLength != 0) {
            if (cbBlob > *pdwKeyLength)
                return ERROR_INSUFFICIENT_BUFFER;
            CopyMemory(pbKey, abBlob, cbBlob);
            *pdwKeyLength = cbBlob;
        }
    }
    dwResult = GetIPCXKey(phIpcProv, phIpcXKey);
    if (dwResult != KEY_RESULT_OK)
        return dwResult;
    return GetVaultSymmetricKey(*phUserProv, *phIpcProv, *phIpcXKey, *phUserXKey, pbKey,
                                *pdwKeyLength, phVaultKey);
}

void DiscardNewVaultKeys(VaultCacheEntry* pRecord)
{
    HCRYPTKEY* aphKeys[3] = { &pRecord->hVaultKey, &pRecord->hUserXKey, &pRecord->hIpcXKey };
    HCRYPTPROV* aphProvs[2] = { &pRecord->hUserProv, &pRecord->hIpcProv };

    for (int i = 0; i < 3; i++) {
        if (*aphKeys[i] != 0)
            CryptDestroyKey(*aphKeys[i]);
        *aphKeys[i] = 0;
    }
    for (int i = 0; i < 2; i++) {
        if (*aphProvs[i] != 0)
            CryptReleaseContext(*aphProvs[i], 0);
        *aphProvs[i] = 0;
    }
}

DWORD CreateVaultKeys(LPCWSTR pwszDrive, LPCWSTR pwszContainer, HCRYPTPROV* phUserProv,
                      HCRYPTPROV* phIpcProv, HCRYPTKEY* phUserXKey, HCRYPTKEY* phIpcXKey,
                      HCRYPTKEY* phVaultKey, BYTE* pbKey, DWORD* pdwKeyLength, BOOL bGenerate)
{
    DWORD dwResult;
    DWORD dwCode = 0;

    WriteLog("RARI:CreateVaultKeys");
    if (phUserProv == NULL || phIpcProv == NULL || phUserXKey == NULL || phIpcXKey == NULL ||
        phVaultKey == NULL || pbKey == NULL || pdwKeyLength == NULL)
        return KEY_RESULT_MISSING_ARG;
    __try {
        dwResult = MakeVaultKeys(pwszDrive, pwszContainer, phUserProv, phIpcProv, phUserXKey,
                                 phIpcXKey, phVaultKey, pbKey, pdwKeyLength, bGenerate);
    } __except (dwCode = GetExceptionCode(), EXCEPTION_EXECUTE_HANDLER) {
        // Never 0: the caller would take a half-made vault for a working one.
        WriteTrace("CreateVaultKeys() - Exception occured - Failed!");
        WriteLog("CreateVaultKeys exception %ld", (long)dwCode);
        dwResult = dwCode != 0 ? dwCode : (DWORD)E_UNEXPECTED;
    }
    return dwResult;
}
