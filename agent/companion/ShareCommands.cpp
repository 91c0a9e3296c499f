// Sharing: the vault's configuration and key archive moved between folders,
// checked and deleted for the companion programs.
#include <windows.h>
#include <shlwapi.h>
#include <strsafe.h>

#include "Companion.h"
#include "companion/Commands.h"
#include "companion/Sections.h"
#include "diag/Diag.h"

#define SHARE_PATH_CHARS 260

static const WCHAR* const g_apwszConfigFiles[2] = { L"vault3.cfg", L"keyArchive.xml" };

// One file moved: the source is the folder with the name appended, the
// destination the folder, a backslash and the name. TRUE when it moved.
static BOOL MoveConfigFile(LPCWSTR pwszSource, LPCWSTR pwszDestination, int iFile)
{
    WCHAR wszFrom[SHARE_PATH_CHARS];
    WCHAR wszTo[SHARE_PATH_CHARS];

    if (PathCombineW(wszFrom, pwszSource, g_apwszConfigFiles[iFile]) == NULL ||
        FAILED(StringCchPrintfW(wszTo, SHARE_PATH_CHARS, L"%ws\\%ws", pwszDestination, g_apwszConfigFiles[iFile])))
        return FALSE;
    if (iFile == 0) {
        WriteLogW(L"CopyFile3 called for %ws, %ws\n", wszFrom, wszTo);
        WriteTrace("VaultShare() - CopyFile() called for %ws, %ws", wszFrom, wszTo);
    } else {
        WriteLogW(L"CopyFile4 called for %ws, %ws\n", wszFrom, wszTo);
    }
    if (!CopyFileW(wszFrom, wszTo, FALSE))
        return FALSE;
    DeleteFileW(wszFrom);
    return TRUE;
}

GUARDED_BODY static DWORD MoveConfigFiles(void* pSection)
{
    const VAULT_SHARE_SECTION* pView = (const VAULT_SHARE_SECTION*)pSection;
    WCHAR wszSource[SHARE_PATH_CHARS];
    WCHAR wszDestination[SHARE_PATH_CHARS];
    BYTE bMoved = 0;

    CopySectionPath(pView->wszSource, wszSource);
    CopySectionPath(pView->wszDestination, wszDestination);
    // The two files are independent: a failure with one does not stop the other.
    for (int i = 0; i < 2; i++)
        if (MoveConfigFile(wszSource, wszDestination, i))
            bMoved = 1;
    return bMoved;
}

BYTE VaultShare(void)
{
    return (BYTE)RunSectionCommand(SECTION_VAULT_SHARE, sizeof(VAULT_SHARE_SECTION), "VaultShare", "Failed!", TRUE,
                                   MoveConfigFiles);
}

// A narrow path of at most 259 characters from its slot, terminated.
static void CopyNarrowPath(const char* pszSlot, char* szPath)
{
    CopyMemory(szPath, pszSlot, COMPANION_PATH_BYTES);
    szPath[COMPANION_PATH_BYTES - 1] = '\0';
}

GUARDED_BODY static DWORD AnswerSharedStatus(void* pSection)
{
    TWO_FILES_SECTION* pView = (TWO_FILES_SECTION*)pSection;
    char szFirst[COMPANION_PATH_BYTES];
    char szSecond[COMPANION_PATH_BYTES];
    BYTE bShared;

    CopyNarrowPath(pView->szFirst, szFirst);
    CopyNarrowPath(pView->szSecond, szSecond);
    bShared = (PathFileExistsA(szFirst) && PathFileExistsA(szSecond)) ? 1 : 0;
    pView->bResult = bShared;
    return bShared;
}

BYTE CheckSharedStatus(void)
{
    return (BYTE)RunSectionCommand(SECTION_SHARE_CHECK, sizeof(TWO_FILES_SECTION), "CheckSharedStatus", "Failed",
                                   FALSE, AnswerSharedStatus);
}

GUARDED_BODY static DWORD DeleteSharedFile(void* pSection)
{
    UNSHARE_SECTION* pView = (UNSHARE_SECTION*)pSection;
    char szPath[COMPANION_PATH_BYTES];
    BYTE bDeleted = 0;

    CopyNarrowPath(pView->szPath, szPath);
    if (PathFileExistsA(szPath) && DeleteFileA(szPath))
        bDeleted = 1;
    pView->bResult = bDeleted;
    return bDeleted;
}

BYTE UnshareVault(void)
{
    return (BYTE)RunSectionCommand(SECTION_UNSHARE, sizeof(UNSHARE_SECTION), "UnshareVault", "Failed!", FALSE,
                                   DeleteSharedFile);
}
