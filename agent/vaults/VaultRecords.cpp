// Reading one vault record from the registry.
#include <windows.h>
#include <strsafe.h>

#include "diag/Diag.h"
#include "vaults/VaultRecords.h"

#define VAULT_KEY_PATH_CHARS 520

BOOL FormVaultKeyPath(LPCWSTR pwszSubkeyName, LPWSTR pwszPath, size_t cchPath)
{
    return SUCCEEDED(StringCchPrintfW(pwszPath, cchPath, L"%ws\\%ws", VAULTS_KEY_PATH,
                                      pwszSubkeyName));
}

// A string value as stored, whatever its registry type, at most 259
// characters and always terminated. A longer value is a broken record.
static BOOL ReadStringValue(HKEY hKey, LPCWSTR pwszName, WCHAR* wszValue)
{
    DWORD cbValue = VAULT_STRING_CHARS * sizeof(WCHAR);

    ZeroMemory(wszValue, cbValue);
    if (RegQueryValueExW(hKey, pwszName, NULL, NULL, (LPBYTE)wszValue, &cbValue) != ERROR_SUCCESS)
        return FALSE;
    wszValue[VAULT_STRING_CHARS - 1] = L'\0';
    return TRUE;
}

static BOOL ReadRecordValues(HKEY hKey, VaultCacheEntry* pRecord)
{
    DWORD cbSettings = sizeof(pRecord->dwSettings);
    DWORD cbKey = VAULT_KEY_BYTES;

    if (!ReadStringValue(hKey, L"Path", pRecord->wszPath))
        return FALSE;
    WriteLog("RegQueryValueEx Succesfull");
    if (!ReadStringValue(hKey, L"Label", pRecord->wszLabel) ||
        !ReadStringValue(hKey, L"Container", pRecord->wszContainer) ||
        !ReadStringValue(hKey, L"MapName", pRecord->wszMapName))
        return FALSE;
    pRecord->dwSettings = 0;
    if (RegQueryValueExW(hKey, L"Settings", NULL, NULL, (LPBYTE)&pRecord->dwSettings,
                         &cbSettings) != ERROR_SUCCESS)
        return FALSE;
    ZeroMemory(pRecord->abKey, sizeof(pRecord->abKey));
    if (RegQueryValueExA(hKey, "Key", NULL, NULL, pRecord->abKey, &cbKey) == ERROR_SUCCESS)
        pRecord->dwKeySize = cbKey;
    else
        pRecord->dwKeySize = 0;
    return TRUE;
}

BOOL ReadVaultRecord(LPCWSTR pwszSubkeyName, VaultCacheEntry* pRecord)
{
    WCHAR wszKeyPath[VAULT_KEY_PATH_CHARS];
    HKEY hKey = NULL;
    BOOL bRead;

    StringCchPrintfW(pRecord->wszDrive, VAULT_DRIVE_CHARS, L"%wc:", pwszSubkeyName[0]);
    if (!FormVaultKeyPath(pwszSubkeyName, wszKeyPath, ARRAYSIZE(wszKeyPath)) ||
        RegOpenKeyExW(HKEY_CURRENT_USER, wszKeyPath, 0, KEY_READ, &hKey) != ERROR_SUCCESS)
        return FALSE;
    WriteLog("RegOpenKeyEx Succesfull");
    bRead = ReadRecordValues(hKey, pRecord);
    RegCloseKey(hKey);
    return bRead;
}
