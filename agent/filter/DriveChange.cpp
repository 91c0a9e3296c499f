// Drive-letter change tracking.
#include <windows.h>
#include <dbt.h>
#include <fltuser.h>
#include <strsafe.h>

#include "VaultExplorer.h"
#include "diag/Diag.h"
#include "drives/DriveMapping.h"
#include "filter/DriveChange.h"
#include "vaults/VaultCache.h"

#define DRIVE_LETTERS 26
#define DRIVE_CHARS   3

WCHAR FirstDriveFromMask(DWORD dwUnitMask)
{
    int i;

    for (i = 0; i < DRIVE_LETTERS; i++)
        if (dwUnitMask & (1u << i))
            break;
    return (WCHAR)(L'A' + i);
}

void Handler_OnDeviceChange(HWND hWnd, WPARAM wParam, LPARAM lParam)
{
    const DEV_BROADCAST_HDR* pHeader = (const DEV_BROADCAST_HDR*)lParam;
    WCHAR wszDrive[DRIVE_CHARS];

    (void)hWnd;
    WriteTrace("Handler_OnDeviceChange() - wParam value = %d", (int)wParam);
    if (wParam != DBT_DEVICEREMOVECOMPLETE || pHeader == NULL ||
        pHeader->dbch_devicetype != DBT_DEVTYP_VOLUME)
        return;
    StringCchPrintfW(wszDrive, DRIVE_CHARS, L"%wc:",
                     FirstDriveFromMask(((const DEV_BROADCAST_VOLUME*)pHeader)->dbcv_unitmask));
    DriveUnpluggedHandler(wszDrive);
}

// The first vault whose mapped drive (or, for bByFolder, whose folder's
// drive) is the given one.
typedef struct _DRIVE_WALK {
    LPCWSTR pwszDrive;
    BOOL bByFolder;
    VaultCacheEntry* pFound;
} DRIVE_WALK;

static BOOL FindVaultOfDrive(VaultCacheEntry* pRecord, void* pContext)
{
    DRIVE_WALK* pWalk = (DRIVE_WALK*)pContext;
    LPCWSTR pwszDrive = pWalk->bByFolder ? pRecord->wszPath : pRecord->wszDrive;

    if (_wcsnicmp(pwszDrive, pWalk->pwszDrive, 2) != 0)
        return TRUE;
    pWalk->pFound = pRecord;
    return FALSE;
}

BOOL DoUnpluggedDriveMap(LPCWSTR pwszDrive)
{
    DRIVE_WALK walk = { pwszDrive, FALSE, NULL };

    WalkVaultCache(FindVaultOfDrive, &walk);
    // Mapping may wait for the letter's mutex: outside the walk.
    if (walk.pFound != NULL)
        IsVaultFunctional(walk.pFound);
    return TRUE;
}

BOOL DriveUnpluggedHandler(LPCWSTR pwszDrive)
{
    DRIVE_WALK walk = { pwszDrive, TRUE, NULL };
    HWND hExplorer;

    DoUnpluggedDriveMap(pwszDrive);
    WalkVaultCache(FindVaultOfDrive, &walk);
    // One message per drive: every vault on it would only repeat the letter.
    if (walk.pFound != NULL) {
        hExplorer = FindWindowW(VAULT_EXPLORER_CLASS, NULL);
        if (hExplorer != NULL) {
            WriteTrace("DriveUnpluggedHandler() - Post Message to VoVizazuvAzevo");
            PostMessageW(hExplorer, WM_VAULT_DRIVE_UNPLUGGED, (WPARAM)pwszDrive[0], 0);
        }
    }
    return TRUE;
}

typedef struct _VOLUME_WALK {
    WCHAR   wszDosName[MAX_PATH];
    LPCWSTR pwszNewVolume;
    WCHAR*  wszOldVolume;
    BOOL    bFound;
} VOLUME_WALK;

static BOOL MoveVaultToVolume(VaultCacheEntry* pRecord, void* pContext)
{
    VOLUME_WALK* pWalk = (VOLUME_WALK*)pContext;

    if (_wcsnicmp(pRecord->wszPath, pWalk->wszDosName, 2) != 0)
        return TRUE;
    pWalk->bFound = TRUE;
    if (pWalk->wszOldVolume[0] == L'\0')
        StringCchCopyW(pWalk->wszOldVolume, MAX_PATH, pRecord->wszPhysicalDevice);
    WriteTrace("UpdateDriveList() - INSTANCE old drive: %ws with new: %ws\n", pRecord->wszPhysicalDevice,
               pWalk->pwszNewVolume);
    StringCchCopyW(pRecord->wszPhysicalDevice, VAULT_STRING_CHARS, pWalk->pwszNewVolume);
    return TRUE;
}

BOOL UpdateDriveList(LPCWSTR wszNewVolume, WCHAR* wszOldVolume)
{
    VOLUME_WALK walk;

    walk.pwszNewVolume = wszNewVolume;
    walk.wszOldVolume = wszOldVolume;
    walk.bFound = FALSE;
    if (FAILED(FilterGetDosName(wszNewVolume, walk.wszDosName, MAX_PATH))) {
        WriteTrace("UpdateDriveList() - Drive not Found");
        return FALSE;
    }
    WalkVaultCacheForUpdate(MoveVaultToVolume, &walk);
    if (!walk.bFound)
        WriteTrace("UpdateDriveList() - INSTANCE Drive Letter not found");
    return walk.bFound;
}
