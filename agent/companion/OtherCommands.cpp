// Moving a vault's configuration to the user's application data, removing
// stored files, and launching the vault explorer.
#include <windows.h>
#include <shlobj.h>
#include <shlwapi.h>
#include <stdlib.h>
#include <strsafe.h>

#include "Companion.h"
#include "VaultExplorer.h"
#include "companion/Commands.h"
#include "companion/Sections.h"
#include "diag/Diag.h"

#define CONNECT_PATH_CHARS 260

static BOOL CopyToAppData(LPCWSTR pwszFolder, LPCWSTR pwszAppData, LPCWSTR pwszName, LPCWSTR pwszLogFormat,
                          const char* pszFailedTrace)
{
    WCHAR wszFrom[CONNECT_PATH_CHARS];
    WCHAR wszTo[CONNECT_PATH_CHARS];

    StringCchPrintfW(wszFrom, CONNECT_PATH_CHARS, L"%ws\\%ws", pwszFolder, pwszName);
    StringCchPrintfW(wszTo, CONNECT_PATH_CHARS, L"%ws\\%ws", pwszAppData, pwszName);
    WriteLogW(pwszLogFormat, wszFrom, wszTo);
    if (CopyFileW(wszFrom, wszTo, FALSE))
        return TRUE;
    WriteTrace(pszFailedTrace, wszFrom, wszTo);
    return FALSE;
}

GUARDED_BODY static DWORD CopyConfiguration(void* pSection)
{
    CONNECT_SECTION* pView = (CONNECT_SECTION*)pSection;
    WCHAR wszAppData[MAX_PATH];
    WCHAR wszFolder[CONNECT_PATH_CHARS];

    if (FAILED(SHGetFolderPathW(NULL, CSIDL_APPDATA | CSIDL_FLAG_CREATE, NULL, SHGFP_TYPE_CURRENT, wszAppData))) {
        WriteTrace("MoveVaultFiles() - SHGetFolderPath() failed - Failed!");
        return 0;
    }
    CopySectionPath(pView->wszFolder, wszFolder);
    if (!CopyToAppData(wszFolder, wszAppData, L"Vault3.cfg", L"CopyFile called for %ws, %ws\n",
                       "MoveVaultFiles() - CopyFile() failed for %ws  %ws - Failed!") ||
        !CopyToAppData(wszFolder, wszAppData, L"KeyArchive.xml", L"CopyFile2 called for %ws, %ws\n",
                       "MoveVaultFiles() - CopyFile()2 failed for %ws  %ws - Failed!"))
        return 0;
    StringCchCopyW(pView->wszAppData, COMPANION_PATH_CHARS, wszAppData);
    return 1;
}

DWORD MoveVaultFiles(void)
{
    return RunSectionCommand(SECTION_CONNECT, sizeof(CONNECT_SECTION), "MoveVaultFiles", "Failed!", FALSE,
                             CopyConfiguration);
}

GUARDED_BODY static void DeleteListedFiles(const TWO_FILES_SECTION* pView)
{
    TWO_FILES_SECTION copy;

    CopyMemory(&copy, pView, sizeof(copy));
    copy.szFirst[COMPANION_PATH_BYTES - 1] = '\0';
    copy.szSecond[COMPANION_PATH_BYTES - 1] = '\0';
    if (copy.szFirst[0] != '\0' && PathFileExistsA(copy.szFirst))
        DeleteFileA(copy.szFirst);
    if (copy.szSecond[0] != '\0' && PathFileExistsA(copy.szSecond))
        DeleteFileA(copy.szSecond);
}

void RemoveRestFiles(void)
{
    COMPANION_SECTION section = { NULL, NULL };

    __try {
        if (OpenCompanionSection(SECTION_REMOVE_FILES, sizeof(TWO_FILES_SECTION), &section) == SECTION_OPENED)
            DeleteListedFiles((const TWO_FILES_SECTION*)section.pView);
    } __except (EXCEPTION_EXECUTE_HANDLER) {
    }
    CloseCompanionSection(&section);
}

void LaunchVododizEveru(void)
{
    WCHAR wszModule[MAX_PATH];
    WCHAR wszDrive[_MAX_DRIVE];
    WCHAR wszDir[MAX_PATH];
    WCHAR wszFolder[MAX_PATH];
    WCHAR wszProgram[MAX_PATH];
    STARTUPINFOW startup;
    PROCESS_INFORMATION process;

    WriteTrace("LaunchVododizEveru() - Start");
    GetModuleFileNameW(NULL, wszModule, MAX_PATH);
    _wsplitpath_s(wszModule, wszDrive, _MAX_DRIVE, wszDir, MAX_PATH, NULL, 0, NULL, 0);
    StringCchPrintfW(wszFolder, MAX_PATH, L"%ws%ws", wszDrive, wszDir);
    StringCchPrintfW(wszProgram, MAX_PATH, L"%ws%ws", wszFolder, VAULT_EXPLORER_PROGRAM);
    ZeroMemory(&startup, sizeof(startup));
    startup.cb = sizeof(startup);
    if (CreateProcessW(wszProgram, NULL, NULL, NULL, FALSE, 0, NULL, wszFolder, &startup, &process)) {
        CloseHandle(process.hProcess);
        CloseHandle(process.hThread);
    } else {
        WriteTrace("LaunchVododizEveru() - CreateProcess() failed with error code = %d - Failed!",
                   (int)GetLastError());
    }
    WriteTrace("LaunchVododizEveru() - End");
}
