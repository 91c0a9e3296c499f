// Deleting a vault folder with everything in it. Works on stored names
// alone: no key is needed and no meta text is read.
#include <windows.h>
#include <io.h>
#include <strsafe.h>
#include <sys/stat.h>

#include "diag/Diag.h"
#include "store/Store.h"
#include "vaults/VaultCache.h"

// One entry of the folder; FALSE stops the deletion.
static BOOL DeleteEntry(LPCWSTR pwszPrefix, const WIN32_FIND_DATAW* pEntry)
{
    WCHAR wszPath[STORE_PATH_CHARS];

    if (FAILED(StringCchPrintfW(wszPath, STORE_PATH_CHARS, L"%ws%ws", pwszPrefix, pEntry->cFileName))) {
        WriteTrace("DeleteDirectory - path too long - Failed!");
        return FALSE;
    }
    // A junction or link goes itself: what it points at may lie outside
    // the vault, and is never the deletion's to remove.
    if ((pEntry->dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) ==
        (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) {
        WriteLog("Removing link %ws", wszPath);
        if (!RemoveDirectoryW(wszPath)) {
            WriteTrace("DeleteDirectory - directory couldn't be deleted");
            return FALSE;
        }
        return TRUE;
    }
    if (pEntry->dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        WriteLog("Recursing directory %ws\n", wszPath);
        if (!DeleteDirectory(wszPath)) {
            WriteTrace("DeleteDirectory - directory couldn't be deleted");
            return FALSE;
        }
        WriteLog("Removing empty directory %ws", wszPath);
        return TRUE;
    }
    if (pEntry->dwFileAttributes & FILE_ATTRIBUTE_READONLY)
        _wchmod(wszPath, _S_IWRITE);
    WriteLog("Deleting file %ws", wszPath);
    if (!DeleteFileW(wszPath)) {
        WriteTrace("DeleteDirectory - File couldn't be deleted");
        return FALSE;
    }
    return TRUE;
}

BOOL DeleteDirectory(LPCWSTR pwszFolder)
{
    WCHAR wszPattern[STORE_PATH_CHARS];
    WCHAR wszPrefix[STORE_PATH_CHARS];
    WIN32_FIND_DATAW entry;
    HANDLE hFind;
    DWORD dwError;

    WriteTrace("DeleteDirectory - Start");
    if (FAILED(StringCchPrintfW(wszPattern, STORE_PATH_CHARS, L"%ws\\*", pwszFolder)) ||
        FAILED(StringCchPrintfW(wszPrefix, STORE_PATH_CHARS, L"%ws\\", pwszFolder))) {
        WriteTrace("DeleteDirectory - path too long - Failed!");
        return FALSE;
    }
    WriteLog("Deleting directory %ws\n", wszPattern);
    hFind = FindFirstFileW(wszPattern, &entry);
    if (hFind == INVALID_HANDLE_VALUE) {
        WriteTrace("DeleteDirectory - INVALID_HANDLE_VALUE from FindFirstFile");
        return FALSE;
    }
    // The first entry is examined too: a file system need not list "." first.
    do {
        if (wcscmp(entry.cFileName, L".") == 0 || wcscmp(entry.cFileName, L"..") == 0)
            continue;
        if (!DeleteEntry(wszPrefix, &entry)) {
            FindClose(hFind);
            return FALSE;
        }
    } while (FindNextFileW(hFind, &entry));
    dwError = GetLastError();
    FindClose(hFind);
    if (dwError != ERROR_NO_MORE_FILES)
        return FALSE;
    WriteTrace("DeleteDirectory - End");
    return RemoveDirectoryW(pwszFolder);
}

// Whether the name has a "." or ".." step.
static BOOL HasRelativeStep(LPCWSTR pwszPath)
{
    LPCWSTR pwszStep = pwszPath;

    for (LPCWSTR p = pwszPath;; p++) {
        if (*p == L'\\' || *p == L'/' || *p == L'\0') {
            size_t cch = (size_t)(p - pwszStep);
            if ((cch == 1 && pwszStep[0] == L'.') || (cch == 2 && pwszStep[0] == L'.' && pwszStep[1] == L'.'))
                return TRUE;
            if (*p == L'\0')
                return FALSE;
            pwszStep = p + 1;
        }
    }
}

typedef struct _INSIDE_VAULT {
    LPCWSTR pwszPath;
    BOOL    bInside;
    size_t  cchVault;   // of the enclosing vault folder's path
} INSIDE_VAULT;

static BOOL FindEnclosingVault(VaultCacheEntry* pRecord, void* pContext)
{
    INSIDE_VAULT* pInside = (INSIDE_VAULT*)pContext;

    // Below the vault folder, and not the folder itself.
    if (VaultPathMatches(pRecord->wszPath, pInside->pwszPath) &&
        !VaultPathMatches(pInside->pwszPath, pRecord->wszPath)) {
        pInside->bInside = TRUE;
        pInside->cchVault = wcslen(pRecord->wszPath);
        return FALSE;
    }
    return TRUE;
}

// Only a folder inside a registered vault folder is ever deleted; the
// length of that vault folder's path comes back.
static BOOL IsVaultSubfolder(LPCWSTR pwszFileName, LPCWSTR pwszPath, size_t* pcchVault)
{
    INSIDE_VAULT inside = { pwszPath, FALSE, 0 };

    // A name of separators alone would name the vault folder itself.
    if (pwszFileName[wcsspn(pwszFileName, L"\\/")] == L'\0' || HasRelativeStep(pwszPath))
        return FALSE;
    WalkVaultCache(FindEnclosingVault, &inside);
    *pcchVault = inside.cchVault;
    return inside.bInside;
}

#define LINK_NONE    0
#define LINK_ITSELF  1   // the requested folder is a link
#define LINK_ON_WAY  2   // a folder between the vault folder and it is one

// Whether a step of the path below the vault folder is a junction or link:
// what lies past one may be outside every vault.
static int LinkOnPath(LPWSTR pwszPath, size_t cchVault)
{
    size_t cch = wcslen(pwszPath);

    for (size_t i = cchVault + 1; i <= cch; i++) {
        WCHAR wc = pwszPath[i];
        DWORD dwAttributes;

        if (wc != L'\\' && wc != L'/' && wc != L'\0')
            continue;
        pwszPath[i] = L'\0';
        dwAttributes = GetFileAttributesW(pwszPath);
        pwszPath[i] = wc;
        if (dwAttributes != INVALID_FILE_ATTRIBUTES && (dwAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
            return pwszPath[i + wcsspn(pwszPath + i, L"\\/")] == L'\0' ? LINK_ITSELF : LINK_ON_WAY;
    }
    return LINK_NONE;
}

GUARDED_BODY static BOOL DeleteRequestedFolder(Notification* pNotification, BOOL* pbEnd)
{
    WCHAR wszPath[STORE_PATH_CHARS];
    size_t cchVault = 0;

    static const FOLDER_PATH_FAILURE failure = {
        "DeleteFilesInFolder() - FilterGetDosName failed - Failed!", "FilterGetDosName failed in DeleteFilesInFolder()",
        1571, "FilterGetDosName failed in DeleteFilesInFolder for %ws", NULL};

    if (!FormFolderPathOrReport(pNotification->Volume, pNotification->IsNetwork, pNotification->ParentDir, wszPath,
                                "DeleteFilesInFolder", &failure)) {
        *pbEnd = FALSE;
        return FALSE;
    }
    WriteLog("Parent Dir concatinated to path %ws\n", pNotification->ParentDir);
    WriteLog("path after parent dir concatinated to path %ws\n", wszPath);
    WriteLog("File Name concatinated to path %ws\n", pNotification->FileName);
    if (FAILED(StringCchCatW(wszPath, STORE_PATH_CHARS, pNotification->FileName))) {
        WriteTrace("DeleteFilesInFolder() - folder path too long - Failed!");
        return FALSE;
    }
    if (!IsVaultSubfolder(pNotification->FileName, wszPath, &cchVault)) {
        WriteTrace("DeleteFilesInFolder() - folder not inside a vault - Failed!");
        return FALSE;
    }
    switch (LinkOnPath(wszPath, cchVault)) {
    case LINK_ITSELF:   // the link goes, never what it points at
        WriteLog("Removing link %ws", wszPath);
        return RemoveDirectoryW(wszPath);
    case LINK_ON_WAY:
        WriteTrace("DeleteFilesInFolder() - folder reached through a link - Failed!");
        return FALSE;
    }
    return DeleteDirectory(wszPath);
}

BOOL DeleteFilesInFolder(Notification* pNotification)
{
    BOOL bDeleted = FALSE;
    BOOL bEnd = TRUE;

    WriteTrace("DeleteFilesInFolder() - Start");
    __try {
        bDeleted = DeleteRequestedFolder(pNotification, &bEnd);
    } __except (EXCEPTION_EXECUTE_HANDLER) {
        WriteTrace("DeleteFilesInFolder() - Exception occurred - Failed!");
        bDeleted = FALSE;
    }
    if (bEnd)
        WriteTrace("DeleteFilesInFolder() - End");
    return bDeleted;
}
