// Drive icons of vaults.
#include <windows.h>
#include <shlobj.h>
#include <shellapi.h>
#include <strsafe.h>

#include "diag/Diag.h"
#include "drives/DriveIcons.h"

#define ICON_KEY_CHARS      520
#define ICON_LOCATION_CHARS (MAX_PATH + 16)

static const WCHAR wszMountPoints[] =
    L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\MountPoints2\\";
static const WCHAR wszDriveIcons[] =
    L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\DriveIcons\\";
static const WCHAR wszExplorerDrives[] = L"Software\\Classes\\Applications\\explorer.exe\\Drives\\";

static BOOL FileOrFolderExists(LPCWSTR pwszPath)
{
    return GetFileAttributesW(pwszPath) != INVALID_FILE_ATTRIBUTES;
}

static BOOL HoldsFile(LPCWSTR pwszFolder, LPCWSTR pwszName)
{
    WCHAR wszPath[MAX_PATH];

    return SUCCEEDED(StringCchPrintfW(wszPath, MAX_PATH, L"%ws\\%ws", pwszFolder, pwszName)) &&
           FileOrFolderExists(wszPath);
}

DWORD IsShared(const VaultCacheEntry* pRecord)
{
    LPCWSTR pwszFolder = pRecord->wszPath;

    WriteTrace("IsShared() - Start");
    if (pRecord->dwSettings & VAULT_SETTING_NETWORK) {
        if (!FileOrFolderExists(pRecord->wszMapName)) {
            WriteTrace("IsShared() - Vault not found");
            return VAULT_NOT_FOUND;
        }
        pwszFolder = pRecord->wszMapName;
    }
    if (HoldsFile(pwszFolder, L"vault3.cfg") && HoldsFile(pwszFolder, L"keyArchive.xml")) {
        WriteTrace("IsShared() - End");
        return VAULT_SHARED;
    }
    WriteTrace("IsShared() - Vault not shared");
    return VAULT_NOT_SHARED;
}

// Icons by sharing state (not found, not shared, shared).
static const DWORD g_adwUnlockedIcons[3] = { ICON_UNLOCKED_NOT_FOUND, ICON_UNLOCKED, ICON_UNLOCKED_SHARED };
static const DWORD g_adwLockedIcons[3] = { ICON_LOCKED_NOT_FOUND, ICON_LOCKED, ICON_LOCKED_SHARED };

void RefreshVaultIcon(const VaultCacheEntry* pRecord, BOOL bUnlocked)
{
    DWORD dwState = IsShared(pRecord);

    if (dwState <= VAULT_SHARED)
        ChangeIcon(pRecord, bUnlocked ? g_adwUnlockedIcons[dwState] : g_adwLockedIcons[dwState]);
}

static BOOL OpenOrCreateKey(LPCWSTR pwszPath, HKEY* phKey)
{
    if (RegOpenKeyExW(HKEY_CURRENT_USER, pwszPath, 0, KEY_ALL_ACCESS, phKey) == ERROR_SUCCESS)
        return TRUE;
    return RegCreateKeyExW(HKEY_CURRENT_USER, pwszPath, 0, NULL, REG_OPTION_NON_VOLATILE,
                           KEY_ALL_ACCESS, NULL, phKey, NULL) == ERROR_SUCCESS;
}

// The three key paths: the mount point of the map name (backslashes as
// "#"), and the drive letter's entries under DriveIcons and explorer's Drives.
static BOOL FormIconKeyPaths(const VaultCacheEntry* pRecord, WCHAR wszKeys[3][ICON_KEY_CHARS])
{
    WCHAR wszMapName[VAULT_STRING_CHARS];
    WCHAR wcDrive = pRecord->wszDrive[0];

    StringCchCopyW(wszMapName, VAULT_STRING_CHARS, pRecord->wszMapName);
    for (WCHAR* p = wszMapName; *p != L'\0'; p++)
        if (*p == L'\\')
            *p = L'#';
    return SUCCEEDED(StringCchPrintfW(wszKeys[0], ICON_KEY_CHARS, L"%ws%ws\\DefaultIcon",
                                      wszMountPoints, wszMapName)) &&
           SUCCEEDED(StringCchPrintfW(wszKeys[1], ICON_KEY_CHARS, L"%ws%wc\\DefaultIcon",
                                      wszDriveIcons, wcDrive)) &&
           SUCCEEDED(StringCchPrintfW(wszKeys[2], ICON_KEY_CHARS, L"%ws%wc\\DefaultIcon",
                                      wszExplorerDrives, wcDrive));
}

// "<system folder>\vidizer.dll,<index>"
static BOOL FormIconLocation(DWORD dwIcon, WCHAR* wszLocation, DWORD* pcbLocation)
{
    WCHAR wszSystem[MAX_PATH];

    if (FAILED(SHGetFolderPathW(NULL, CSIDL_SYSTEM, NULL, SHGFP_TYPE_CURRENT, wszSystem)) ||
        FAILED(StringCchPrintfW(wszLocation, ICON_LOCATION_CHARS, L"%ws%ws,%d", wszSystem,
                                ICON_LIBRARY_NAME, (int)dwIcon)))
        return FALSE;
    *pcbLocation = (DWORD)((wcslen(wszLocation) + 1) * sizeof(WCHAR));
    return TRUE;
}

static void RefreshDriveImage(WCHAR wcDrive)
{
    WCHAR wszRoot[4] = { wcDrive, L':', L'\\', L'\0' };
    SHFILEINFOW sfiLocation;
    SHFILEINFOW sfiIndex;

    ZeroMemory(&sfiLocation, sizeof(sfiLocation));
    ZeroMemory(&sfiIndex, sizeof(sfiIndex));
    SHGetFileInfoW(wszRoot, 0, &sfiLocation, sizeof(sfiLocation), SHGFI_ICONLOCATION);
    SHGetFileInfoW(wszRoot, 0, &sfiIndex, sizeof(sfiIndex), SHGFI_SYSICONINDEX);
    SHUpdateImageW(sfiLocation.szDisplayName, sfiLocation.iIcon, 0, sfiIndex.iIcon);
}

static const char* const szCreateFailures[3] = {
    "ChangeIcon() - RegCreateKeyExW() failed - Failed!",
    "ChangeIcon() - RegCreateKeyExW()2 failed - Failed!",
    "ChangeIcon() - RegCreateKeyExW()3 failed - Failed!",
};

// Every key it opened is closed on every path.
GUARDED_BODY static void WriteIconKeys(const VaultCacheEntry* pRecord, DWORD dwIcon)
{
    WCHAR wszKeys[3][ICON_KEY_CHARS];
    WCHAR wszLocation[ICON_LOCATION_CHARS];
    HKEY hKeys[3] = { NULL, NULL, NULL };
    DWORD cbLocation = 0;
    BOOL bWritten = FALSE;

    if (!FormIconKeyPaths(pRecord, wszKeys)) {
        WriteTrace("ChangeIcon() - icon key path too long - Failed!");
        return;
    }
    __try {
        for (int i = 0; i < 3; i++) {
            if (!OpenOrCreateKey(wszKeys[i], &hKeys[i])) {
                WriteTrace("%s", szCreateFailures[i]);
                if (i == 0)
                    LogError("RegCreateKeyExW failed for subste1", "ConnectVault", __LINE__);
                __leave;
            }
        }
        if (!FormIconLocation(dwIcon, wszLocation, &cbLocation)) {
            WriteTrace("ChangeIcon() - SHGetFolderPath() failed - Failed!");
            __leave;
        }
        for (int i = 0; i < 3; i++) {
            if (RegSetValueExW(hKeys[i], NULL, 0, REG_SZ, (const BYTE*)wszLocation,
                               cbLocation) != ERROR_SUCCESS) {
                WriteTrace("ChangeIcon() - RegSetValueExW() failed - Failed!");
                __leave;
            }
        }
        bWritten = TRUE;
    } __finally {
        for (int i = 0; i < 3; i++)
            if (hKeys[i] != NULL)
                RegCloseKey(hKeys[i]);
    }
    if (bWritten)
        RefreshDriveImage(pRecord->wszDrive[0]);
}

void ChangeIcon(const VaultCacheEntry* pRecord, DWORD dwIcon)
{
    WriteTrace("ChangeIcon() - Start");
    __try {
        WriteIconKeys(pRecord, dwIcon);
    } __except (EXCEPTION_EXECUTE_HANDLER) {
        WriteTrace("ChangeIcon() - Exception occured - Failed!");
    }
    WriteTrace("ChangeIcon() - End");
}
