// Loading a vault key at login and handing it to the workers.
#include <windows.h>
#include <wincrypt.h>
#include <strsafe.h>

#include "diag/Diag.h"
#include "drives/DriveIcons.h"
#include "keys/Crypt.h"
#include "keys/VaultKeys.h"

#define LOGIN_MUTEX_NAME_CHARS 260
#define KEY_EXCHANGE_BYTES     256

static SRWLOCK g_srwVaultKeyUse = SRWLOCK_INIT;

void BeginVaultKeyUse(void)
{
    AcquireSRWLockShared(&g_srwVaultKeyUse);
}

void EndVaultKeyUse(void)
{
    ReleaseSRWLockShared(&g_srwVaultKeyUse);
}

void ReleaseVaultKeys(VaultCacheEntry* pVault)
{
    HCRYPTKEY hKeys[3];
    HCRYPTPROV hUserProv;

    // Lookups stop handing the keys out before they are destroyed.
    pVault->bLoggedIn = 0;
    AcquireSRWLockExclusive(&g_srwVaultKeyUse);
    hKeys[0] = pVault->hUserXKey;
    hKeys[1] = pVault->hIpcXKey;
    hKeys[2] = pVault->hVaultKey;
    hUserProv = pVault->hUserProv;
    pVault->hUserXKey = 0;
    pVault->hIpcXKey = 0;
    pVault->hVaultKey = 0;
    pVault->hUserProv = 0;
    ReleaseSRWLockExclusive(&g_srwVaultKeyUse);
    for (int i = 0; i < 3; i++)
        if (hKeys[i] != 0)
            CryptDestroyKey(hKeys[i]);
    if (hUserProv != 0)
        CryptReleaseContext(hUserProv, 0);
    if (pVault->hIpcProv != 0)
        AddToReleaseTable(pVault->hIpcProv);
}

HANDLE OpenLoginMutex(WCHAR wcDrive, WCHAR* wszName, size_t cchName)
{
    StringCchPrintfW(wszName, cchName, LOGIN_MUTEX_FORMAT, wcDrive);
    return CreateMutexW(NULL, FALSE, wszName);
}

BOOL WaitForLoginMutex(HANDLE hMutex)
{
    DWORD dwWait = WaitForSingleObject(hMutex, LOGIN_MUTEX_WAIT_MS);

    // An abandoned mutex is owned all the same.
    return dwWait == WAIT_OBJECT_0 || dwWait == WAIT_ABANDONED;
}

GUARDED_BODY static BOOL HandOutVaultKeys(const VaultCacheEntry* pVault, HCRYPTKEY* phKey, HCRYPTPROV* phProv)
{
    WriteLog("Keys successfully retrieved\n");
    *phKey = pVault->hVaultKey;
    *phProv = pVault->hIpcProv;
    WriteLog("keys successfully retrieved2 \n");
    return TRUE;
}

static BOOL LookUpKeys(LPCWSTR pwszPath, HCRYPTKEY* phKey, HCRYPTPROV* phProv)
{
    VaultCacheEntry* pVault;

    WriteLog("DIR --- Inside GetKeysForVault\n");
    WriteLog("DIR --- Retrieving Vault keys for path %ws\n", pwszPath);
    pVault = GetVaultInCache2(pwszPath);
    if (pVault == NULL) {
        WriteTrace("GetKeysForVault() - File Path %ws not found in cache ", pwszPath);
        WriteLog("DIR --- File Path not found in cache %ws\n", pwszPath);
        return FALSE;
    }
    return HandOutVaultKeys(pVault, phKey, phProv);
}

BOOL GetKeysForVault(LPCWSTR pwszPath, HCRYPTKEY* phKey, HCRYPTPROV* phProv)
{
    BOOL bFound = FALSE;

    WriteTrace("GetKeysForVault() - Start");
    __try {
        bFound = LookUpKeys(pwszPath, phKey, phProv);
    } __except (EXCEPTION_EXECUTE_HANDLER) {
        WriteTrace("GetKeysForVault() - Exception occured");
        WriteLog("Error occurred while manipulating keys\n");
        bFound = FALSE;
    }
    WriteTrace("GetKeysForVault() - End");
    return bFound;
}

// Fills the record's missing handles in order; the ones already held stay,
// so a later call resumes where a failed one stopped.
static BOOL LoadVaultKeys(VaultCacheEntry* pVault)
{
    DWORD dwResult;

    if (pVault->hUserProv == 0 || pVault->hUserXKey == 0) {
        WriteTrace("GetKeysForVaultEx() - Retrieving user exchange key for container");
        WriteLog("Retrieving user exchange key for container %ws\n", pVault->wszContainer);
        if (GetUserXKey(pVault->wszContainer, &pVault->hUserProv, &pVault->hUserXKey) != KEY_RESULT_OK) {
            WriteTrace(" GetKeysForVaultEx() - GetUserXKey failed - Failed!");
            WriteLog("GetUserXKey failed in GetKeysForVaultEx()\n");
            return FALSE;
        }
    }
    if (pVault->hIpcProv == 0 || pVault->hIpcXKey == 0) {
        WriteTrace("GetKeysForVaultEx() - Retrieving IP Exchange key");
        WriteLog("Retrieving IP Exchange key\n");
        if (GetIPCXKey(&pVault->hIpcProv, &pVault->hIpcXKey) != KEY_RESULT_OK) {
            WriteTrace("GetKeysForVaultEx() - GetIPCXKey failed - Failed!");
            WriteLog("GetIPCXKey failed\n");
            return FALSE;
        }
    }
    dwResult = GetVaultSymmetricKey(pVault->hUserProv, pVault->hIpcProv, pVault->hIpcXKey,
                                    pVault->hUserXKey, pVault->abKey, pVault->dwKeySize,
                                    &pVault->hVaultKey);
    if (dwResult != KEY_RESULT_OK) {
        WriteTrace("GetKeysForVaultEx() - GetVaultSymmetricKey failed - Failed!");
        WriteLog("GetVaultSymmetricKey failed\n");
        WriteLog("%d", (int)dwResult);
        return FALSE;
    }
    RefreshVaultIcon(pVault, TRUE);
    return TRUE;
}

GUARDED_BODY static BOOL LoadAndLookUpKeys(LPCWSTR pwszPath, HCRYPTKEY* phKey, HCRYPTPROV* phProv)
{
    WCHAR wszMutexName[LOGIN_MUTEX_NAME_CHARS];
    VaultCacheEntry* pVault;
    HANDLE hMutex = NULL;
    BOOL bOwned = FALSE;
    BOOL bLoaded = TRUE;

    WriteLog("Inside GetKeysForVault\n");
    WriteLog("Retrieving Vault keys for path %ws\n", pwszPath);
    pVault = GetVaultInCache2(pwszPath);
    if (pVault == NULL) {
        WriteTrace("GetKeysForVaultEx() - File Path not found in cache %ws", pwszPath);
        WriteLog("File Path not found in cache %ws\n", pwszPath);
        return FALSE;
    }
    if (pVault->hVaultKey == 0) {
        __try {
            hMutex = OpenLoginMutex(pVault->wszDrive[0], wszMutexName, ARRAYSIZE(wszMutexName));
            if (hMutex == NULL) {
                WriteTrace("GetKeysForVaultEx() - Could not create mutex - Failed!");
                WriteLog("GetKeysForVault() Could not create mutex %ws \n", wszMutexName);
                bLoaded = FALSE;
                __leave;
            }
            bOwned = WaitForLoginMutex(hMutex);
            if (!bOwned) {
                WriteTrace("GetKeysForVaultEx() - Could not acquire ownership of Mutex - Failed!");
                WriteLog("GetKeysForVault() Could not acquire ownership of Mutex %ws\n", wszMutexName);
                bLoaded = FALSE;
                __leave;
            }
            WriteLog("GetKeysForVault() Vault key not found in cache\n");
            // Another thread or process may have loaded it meanwhile.
            if (pVault->hVaultKey == 0)
                bLoaded = LoadVaultKeys(pVault);
        } __finally {
            if (bOwned)
                ReleaseMutex(hMutex);
            if (hMutex != NULL)
                CloseHandle(hMutex);
        }
        if (!bLoaded)
            return FALSE;
    }
    return HandOutVaultKeys(pVault, phKey, phProv);
}

BOOL GetKeysForVaultEx(LPCWSTR pwszPath, HCRYPTKEY* phKey, HCRYPTPROV* phProv)
{
    BOOL bFound = FALSE;

    WriteTrace("GetKeysForVault() - Start");
    __try {
        bFound = LoadAndLookUpKeys(pwszPath, phKey, phProv);
    } __except (EXCEPTION_EXECUTE_HANDLER) {
        WriteTrace("GetKeysForVaultEx() - Exception occured");
        WriteLog("Error occurred while manipulating keys\n");
        bFound = FALSE;
    }
    WriteTrace("GetKeysForVaultEx() - End");
    return bFound;
}

// The vault key travels from the user's provider to the IPC provider as a
// SIMPLEBLOB under the IPC exchange key, whose public half is imported into
// the user's provider for the purpose.
static DWORD RewrapVaultKey(HCRYPTPROV hUserProv, HCRYPTPROV hIpcProv, HCRYPTKEY hIpcXKey,
                            HCRYPTKEY hUserXKey, const BYTE* pbBlob, DWORD cbBlob,
                            HCRYPTKEY* phVaultKey)
{
    BYTE abExchange[KEY_EXCHANGE_BYTES];
    DWORD cbExchange = sizeof(abExchange);
    HCRYPTKEY hTemporaryKey = 0;
    HCRYPTKEY hIpcPublicKey = 0;
    DWORD dwResult = KEY_RESULT_OK;

    if (!ImportKeyChecked(hUserProv, pbBlob, cbBlob, hUserXKey, CRYPT_EXPORTABLE, &hTemporaryKey))
        return LastErrorOr((DWORD)NTE_BAD_DATA);
    // The temporary key stays in the user's provider until logout releases it.
    if (!ExportKeyChecked(hIpcXKey, 0, PUBLICKEYBLOB, 0, abExchange, &cbExchange) ||
        !ImportKeyChecked(hUserProv, abExchange, cbExchange, 0, CRYPT_EXPORTABLE, &hIpcPublicKey)) {
        dwResult = LastErrorOr((DWORD)NTE_FAIL);
    } else {
        cbExchange = sizeof(abExchange);
        if (!ExportKeyChecked(hTemporaryKey, hIpcPublicKey, SIMPLEBLOB, 0, abExchange, &cbExchange) ||
            !ImportKeyChecked(hIpcProv, abExchange, cbExchange, hIpcXKey, CRYPT_EXPORTABLE,
                              phVaultKey))
            dwResult = LastErrorOr((DWORD)NTE_FAIL);
    }
    if (hIpcPublicKey != 0)
        CryptDestroyKey(hIpcPublicKey);
    SecureZeroMemory(abExchange, sizeof(abExchange));
    return dwResult;
}

DWORD GetVaultSymmetricKey(HCRYPTPROV hUserProv, HCRYPTPROV hIpcProv, HCRYPTKEY hIpcXKey,
                           HCRYPTKEY hUserXKey, const BYTE* pbBlob, DWORD cbBlob,
                           HCRYPTKEY* phVaultKey)
{
    if (!IsCryptInitialised())
        return KEY_RESULT_NOT_INITIALISED;
    if (hUserProv == 0 || hIpcProv == 0 || hIpcXKey == 0 || hUserXKey == 0 || pbBlob == NULL ||
        phVaultKey == NULL)
        return KEY_RESULT_MISSING_ARG;
    return RewrapVaultKey(hUserProv, hIpcProv, hIpcXKey, hUserXKey, pbBlob, cbBlob, phVaultKey);
}
