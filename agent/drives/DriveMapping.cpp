// Drive mapping of vaults.
#include <windows.h>
#include <winnetwk.h>
#include <stdio.h>
#include <stdlib.h>
#include <strsafe.h>

#include "diag/Diag.h"
#include "drives/DriveIcons.h"
#include "drives/DriveMapping.h"
#include "keys/VaultKeys.h"
#include "res/resource.h"

#define DRIVE_LETTERS       26
#define MUTEX_NAME_CHARS    260
#define BOX_TEXT_CHARS      512
#define DEVICE_CHARS        260
#define SPLIT_DRIVE_CHARS   10
// A substitution's target begins with the object manager's "\??\".
#define SUBST_PREFIX_CHARS  4

// One byte per letter, written whole; read and written without a lock.
static volatile BYTE g_abVaultAvailable[DRIVE_LETTERS];

static int LetterIndex(WCHAR wcDrive)
{
    WCHAR wcUpper = (WCHAR)towupper(wcDrive);
    return (wcUpper >= L'A' && wcUpper <= L'Z') ? wcUpper - L'A' : -1;
}

DWORD GetUsedDriveMask(void)
{
    DWORD dwMask = GetLogicalDrives();
    WCHAR wszKey[16];
    HKEY hKey;

    for (int i = 0; i < DRIVE_LETTERS; i++) {
        if (dwMask & (1u << i))
            continue;
        StringCchPrintfW(wszKey, ARRAYSIZE(wszKey), L"Network\\%wc", (WCHAR)(L'A' + i));
        if (RegOpenKeyExW(HKEY_CURRENT_USER, wszKey, 0, KEY_READ, &hKey) == ERROR_SUCCESS) {
            dwMask |= 1u << i;
            RegCloseKey(hKey);
        }
    }
    return dwMask;
}

BOOL QueryMapping(LPCWSTR pwszDrive, LPCWSTR pwszPath)
{
    WCHAR wszDrive[3] = { pwszDrive[0], pwszDrive[0] ? pwszDrive[1] : L'\0', L'\0' };
    WCHAR wszTarget[DEVICE_CHARS];

    if (QueryDosDeviceW(wszDrive, wszTarget, DEVICE_CHARS) == 0 ||
        wcslen(wszTarget) < SUBST_PREFIX_CHARS)
        return FALSE;
    return _wcsicmp(wszTarget + SUBST_PREFIX_CHARS, pwszPath) == 0;
}

// The first target of the drive, or the drive itself when it has none.
static void DriveTarget(LPCWSTR pwszDrive, WCHAR* wszTarget)
{
    if (pwszDrive[0] == L'\0' || QueryDosDeviceW(pwszDrive, wszTarget, DEVICE_CHARS) == 0)
        StringCchCopyW(wszTarget, DEVICE_CHARS, pwszDrive);
}

void GetDeviceName(LPCWSTR pwszPath, WCHAR* wszDevicePath)
{
    WCHAR wszDrive[SPLIT_DRIVE_CHARS];
    WCHAR wszDir[MAX_PATH];
    WCHAR wszName[MAX_PATH];
    WCHAR wszExt[MAX_PATH];

    wszDevicePath[0] = L'\0';
    if (_wsplitpath_s(pwszPath, wszDrive, SPLIT_DRIVE_CHARS, wszDir, MAX_PATH, wszName, MAX_PATH,
                      wszExt, MAX_PATH) != 0)
        return;
    DriveTarget(wszDrive, wszDevicePath);
    if (FAILED(StringCchCatW(wszDevicePath, DEVICE_CHARS, wszDir)) ||
        FAILED(StringCchCatW(wszDevicePath, DEVICE_CHARS, wszName)) ||
        FAILED(StringCchCatW(wszDevicePath, DEVICE_CHARS, wszExt)))
        wszDevicePath[0] = L'\0';
    WriteTrace("GetDeviceName() - PhysicalDevice %ws", wszDevicePath);
    WriteLog("INSTANCE PhysicalDevice %ws\n", wszDevicePath);
}

BOOL GetPhysicalDeviceName(LPCWSTR pwszPath, WCHAR* wszDevice)
{
    WCHAR wszDrive[SPLIT_DRIVE_CHARS];

    wszDevice[0] = L'\0';
    if (_wsplitpath_s(pwszPath, wszDrive, SPLIT_DRIVE_CHARS, NULL, 0, NULL, 0, NULL, 0) == 0)
        DriveTarget(wszDrive, wszDevice);
    return TRUE;
}

static void ShowNotAccessible(LPCWSTR pwszDrive)
{
    WCHAR wszReason[BOX_TEXT_CHARS] = L"";
    WCHAR wszFormat[BOX_TEXT_CHARS];
    WCHAR wszText[BOX_TEXT_CHARS];

    FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, NULL, GetLastError(),
                   0, wszReason, BOX_TEXT_CHARS, NULL);
    if (LoadStringW(GetModuleHandleW(NULL), IDS_VAULT_NOT_ACCESSIBLE, wszFormat, BOX_TEXT_CHARS) == 0)
        StringCchCopyW(wszFormat, BOX_TEXT_CHARS, L"\"%ws, Vault not accessible,\r\n reason: %ws\"");
    StringCchPrintfW(wszText, BOX_TEXT_CHARS, wszFormat, pwszDrive, wszReason);
    MessageBoxW(NULL, wszText, NULL, MB_OK | MB_ICONINFORMATION);
}

static int ConnectNetworkVault(VaultCacheEntry* pRecord, LPWSTR pwszDrive)
{
    NETRESOURCEW resource;
    DWORD dwResult;

    ZeroMemory(&resource, sizeof(resource));
    resource.dwType = RESOURCETYPE_DISK;
    resource.lpLocalName = pwszDrive;
    resource.lpRemoteName = pRecord->wszMapName;
    dwResult = WNetAddConnection2W(&resource, NULL, NULL, CONNECT_INTERACTIVE);
    if (dwResult != NO_ERROR) {
        WriteTrace("Connect_Vault() - WNetAddConnection2() failed eith error code %d - Failed!", (int)dwResult);
        WriteLog("WNetAddConnection2 failed with error code %d \n", (int)dwResult);
    }
    return (int)dwResult;
}

static int ConnectLocalVault(VaultCacheEntry* pRecord, LPCWSTR pwszDrive, FILE* pBatch)
{
    int iLetter = LetterIndex(pwszDrive[0]);

    if (iLetter >= 0 && (GetUsedDriveMask() & (1u << iLetter))) {
        if (!QueryMapping(pwszDrive, pRecord->wszPath)) {
            WriteTrace("Connect_Vault() - Drive already Mapped");
            return CONNECT_VAULT_FAILED;
        }
    } else if (!DefineDosDeviceW(0, pwszDrive, pRecord->wszPath)) {
        WriteTrace("Connect_Vault() - DefineDosDeviceW() failed - Failed!");
        ShowNotAccessible(pwszDrive);
        return CONNECT_VAULT_FAILED;
    }
    if (pBatch != NULL)
        fwprintf(pBatch, L"subst %ls \"%ls\"\r\n", pwszDrive, pRecord->wszPath);
    return 0;
}

int Connect_Vault(VaultCacheEntry* pRecord, FILE* pBatch)
{
    WCHAR wszDrive[3] = { pRecord->wszDrive[0], pRecord->wszDrive[0] ? pRecord->wszDrive[1] : L'\0', L'\0' };
    WCHAR wszMutexName[MUTEX_NAME_CHARS];
    HANDLE hMutex;
    int iResult = 0;

    WriteTrace("Connect_Vault() - Start");
    hMutex = OpenLoginMutex(wszDrive[0], wszMutexName, MUTEX_NAME_CHARS);
    if (hMutex == NULL) {
        WriteTrace("Connect_Vault() - CreateMutexW() failed for ReriroVivAviVuraz - Failed!");
        WriteLog("Connect_Vault() Could not create mutex %ws", wszMutexName);
        return CONNECT_VAULT_FAILED;
    }
    if (!WaitForLoginMutex(hMutex)) {
        WriteTrace("Connect_Vault() - Could not acquire mutex %ws", wszMutexName);
        WriteLog("Connect_Vault() Could not acquire mutex %ws", wszMutexName);
    } else {
        WriteLog("Connect_Vault() mutex successfully acquired %ws", wszMutexName);
        if (pRecord->dwSettings & VAULT_SETTING_NETWORK)
            iResult = ConnectNetworkVault(pRecord, wszDrive);
        else
            iResult = ConnectLocalVault(pRecord, wszDrive, pBatch);
        ReleaseMutex(hMutex);
    }
    CloseHandle(hMutex);
    RefreshVaultIcon(pRecord, FALSE);
    WriteTrace("Connect_Vault() - End");
    return iResult;
}

int IsVaultFunctional(VaultCacheEntry* pRecord)
{
    int iLetter = LetterIndex(pRecord->wszDrive[0]);

    WriteTrace("IsVaultFunctional() - Start");
    if (iLetter < 0) {
        WriteTrace("IsVaultFunctional() - A to Z not available");
        return 0;
    }
    if (g_abVaultAvailable[iLetter] == 0 && Connect_Vault(pRecord, NULL) == 0)
        g_abVaultAvailable[iLetter] = 1;
    WriteTrace("IsVaultFunctional() - End");
    return g_abVaultAvailable[iLetter];
}

void SetVaultAvailableFlag(VaultCacheEntry* pRecord, BYTE bFlag)
{
    int iLetter = LetterIndex(pRecord->wszDrive[0]);

    if (iLetter < 0) {
        WriteTrace("SetVaultAvailableFlag() - A to Z not available");
        return;
    }
    g_abVaultAvailable[iLetter] = bFlag;
}
