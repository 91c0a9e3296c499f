// Backup and restore through the vault-manager library, and the callback
// with which the library hands restored configuration back to the agent.
#include <windows.h>
#include <fltuser.h>
#include <shlwapi.h>
#include <stdlib.h>
#include <strsafe.h>

#include "Companion.h"
#include "VaultManager.h"
#include "companion/Commands.h"
#include "companion/Sections.h"
#include "diag/Diag.h"
#include "vaults/ControlMessages.h"

#define SPLIT_DRIVE_CHARS 40
#define SPLIT_PART_CHARS  200
#define SPLIT_EXT_CHARS   10
#define CONFIG_PATH_CHARS 260

GUARDED_BODY static DWORD RunBackup(BACKUP_SECTION* pView)
{
    char szFirst[COMPANION_PATH_BYTES];
    char szSecond[COMPANION_PATH_BYTES];
    DWORD dwValue;

    CopyMemory(szFirst, pView->szFirst, sizeof(szFirst));
    CopyMemory(szSecond, pView->szSecond, sizeof(szSecond));
    szFirst[sizeof(szFirst) - 1] = '\0';
    szSecond[sizeof(szSecond) - 1] = '\0';
    dwValue = pView->dwValue;
    if (VaultBackup(szFirst, szSecond, dwValue) == 0)
        return 0;
    WriteTrace("ServiceVaultBackup() - VaultBackup() failed - Failed!");
    pView->dwFailed = 1;
    return 1;
}

DWORD ServiceVaultBackup(void)
{
    COMPANION_SECTION section = { NULL, NULL };
    DWORD dwResult = 0;

    WriteTrace("ServiceVaultBackup() - Start");
    __try {
        switch (OpenCompanionSection(SECTION_BACKUP, sizeof(BACKUP_SECTION), &section)) {
        case SECTION_NOT_OPENED:
            WriteTrace("ServiceVaultBackup() - OpenFileMappingA failed - Failed!");
            MessageBoxW(NULL, L"mapFile == NULL", L"VaultService", MB_OK);
            break;
        case SECTION_NOT_MAPPED:
            WriteTrace("ServiceVaultBackup() - MapViewOfFile failed - Failed!");
            MessageBoxW(NULL, L"buffer == NULL", L"VaultService", MB_OK);
            break;
        case SECTION_OPENED:
            dwResult = RunBackup((BACKUP_SECTION*)section.pView);
            break;
        }
    } __except (ExceptionFilter(GetExceptionInformation())) {
        WriteTrace("ServiceVaultBackup() - Exception occured - Failed!");
    }
    CloseCompanionSection(&section);
    WriteTrace("ServiceVaultBackup() - End");
    return dwResult;
}

GUARDED_BODY static void RunRestore(const RESTORE_SECTION* pView, HANDLE* phEvent)
{
    char szPath[sizeof(pView->szPath)];
    DWORD dwTarget;

    *phEvent = OpenCompanionEvent(EVENT_RESTORE);
    if (*phEvent == NULL)
        WriteTrace("VaultMgrService() - OpenEventA() failed - Failed!");
    CopyMemory(szPath, pView->szPath, sizeof(szPath));
    szPath[sizeof(szPath) - 1] = '\0';
    dwTarget = pView->dwTarget;
    SetVServiceCalBak(CopyVaultConfigCallback);
    if (dwTarget != 0)
        VaultRestoreToNewVault(szPath);
    else
        VaultRestoreToCurrentVault(szPath);
    SignalCompanionEvent(phEvent);
}

DWORD VaultMgrService(void)
{
    COMPANION_SECTION section = { NULL, NULL };
    HANDLE hEvent = NULL;

    WriteTrace("VaultMgrService() - Start");
    __try {
        if (OpenCommandSection(SECTION_RESTORE, sizeof(RESTORE_SECTION), &section, "VaultMgrService", "Failed!"))
            RunRestore((const RESTORE_SECTION*)section.pView, &hEvent);
    } __except (ExceptionFilter(GetExceptionInformation())) {
        WriteTrace("VaultMgrService() - Exception occured - Failed!");
    }
    // An exception before the restore ended leaves the event unset.
    if (hEvent != NULL)
        CloseHandle(hEvent);
    CloseCompanionSection(&section);
    WriteTrace("VaultMgrService() - End");
    return 0;
}

// One folder's parts into its slots: the drive's device target, the
// directory, the name with its extension, and the extension.
static void SplitFolder(LPCWSTR pwszFolder, WCHAR* wszDevice, WCHAR* wszDir, WCHAR* wszName, WCHAR* wszExt)
{
    WCHAR wszDrive[SPLIT_DRIVE_CHARS];
    WCHAR wszFileName[SPLIT_PART_CHARS];

    if (_wsplitpath_s(pwszFolder, wszDrive, SPLIT_DRIVE_CHARS, wszDir, SPLIT_PART_CHARS, wszFileName,
                      SPLIT_PART_CHARS, wszExt, SPLIT_EXT_CHARS) != 0) {
        wszDir[0] = wszExt[0] = L'\0';
        return;
    }
    StringCchPrintfW(wszName, SPLIT_PART_CHARS, L"%ws%ws", wszFileName, wszExt);
    if (wszDrive[0] != L'\0' && QueryDosDeviceW(wszDrive, wszDevice, SPLIT_DRIVE_CHARS) == 0)
        wszDevice[0] = L'\0';
}

static void CopyConfigFile(LPCWSTR pwszFirst, LPCWSTR pwszSecond, LPCWSTR pwszName)
{
    WCHAR wszFrom[CONFIG_PATH_CHARS];
    WCHAR wszTo[CONFIG_PATH_CHARS];

    if (PathCombineW(wszFrom, pwszFirst, pwszName) != NULL && PathCombineW(wszTo, pwszSecond, pwszName) != NULL)
        CopyFileW(wszFrom, wszTo, FALSE);
}

void WINAPI CopyVaultConfigCallback(LPCWSTR pwszFirst, LPCWSTR pwszSecond)
{
    VaultControlMessage* pMessage;

    pMessage = (VaultControlMessage*)HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(*pMessage));
    if (pMessage == NULL)
        return;
    pMessage->dwCommand = VAULT_PATH_PAIR;
    SplitFolder(pwszFirst, pMessage->wszDevice1, pMessage->wszDir1, pMessage->wszName1, pMessage->wszExt1);
    SplitFolder(pwszSecond, pMessage->wszDevice2, pMessage->wszDir2, pMessage->wszName2, pMessage->wszExt2);
    CopyConfigFile(pwszFirst, pwszSecond, L"keyArchive.xml");
    CopyConfigFile(pwszFirst, pwszSecond, L"vault3.cfg");
    SendControlMessage(pMessage, VAULT_CONTROL_SHORT_REPLY);
    HeapFree(GetProcessHeap(), 0, pMessage);
}
