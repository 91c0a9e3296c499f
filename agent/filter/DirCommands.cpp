// Directory listings under logical names, and the stored data file of a
// logical name. The driver reads the meta files itself and sends their
// texts: a batch costs one vault key lookup and no file I/O.
#include <windows.h>
#include <fltuser.h>
#include <strsafe.h>

#include "diag/Diag.h"
#include "filter/BlockCommands.h"
#include "keys/VaultKeys.h"
#include "store/FileKeys.h"
#include "store/MetaText.h"
#include "store/Store.h"

#define DOS_NAME_CHARS 10

// The DOS path of entry 0: the volume's DOS name (empty when it has none),
// a backslash, and the entry's path on the volume.
static void FormEntryPath(const Notification* pNotification, WCHAR* wszPath)
{
    WCHAR wszDosName[DOS_NAME_CHARS] = L"";
    size_t cchVolume = wcslen(pNotification->Volume);
    LPCWSTR pwszEntry = pNotification->DirFileNames.FileName[0];

    if (FAILED(FilterGetDosName(pNotification->Volume, wszDosName, DOS_NAME_CHARS))) {
        WriteTrace("ScannerWorker() - ParsedFileNew - FilterGetDosName() failed");
        wszDosName[0] = L'\0';
    }
    size_t cchEntry = wcslen(pwszEntry);

    pwszEntry += (cchVolume + 1 < cchEntry) ? cchVolume + 1 : cchEntry;
    StringCchPrintfW(wszPath, STORE_PATH_CHARS, L"%ws\\%ws", wszDosName, pwszEntry);
}

GUARDED_BODY static void ListBatch(Notification* pNotification, struct Reply* pReply)
{
    WCHAR wszPath[STORE_PATH_CHARS];
    WCHAR wszKeyText[KEY_TEXT_CHARS];
    char szSlice[DIR_SLICE_SIZE];
    LARGE_INTEGER liSize;
    HCRYPTKEY hVaultKey = 0;
    HCRYPTPROV hProv = 0;
    DIR_FILE_NAMES* pNames = &pReply->DirFileNames;

    FormEntryPath(pNotification, wszPath);
    if (!GetKeysForVault(wszPath, &hVaultKey, &hProv)) {
        WriteTrace("ScannerWorker() - ParsedFileNew - GetKeysForVault() failed - Failed!");
        WriteLog("DIR --- GetKeysForVault Failed in ParsedFileNew operation\n");
        return;
    }
    for (ULONG i = 0; i <= pNotification->DirFileNames.LastIndex && i < DIR_BATCH_ENTRIES; i++) {
        // Each slice is cut into a buffer of its own, terminated at its end.
        ZeroMemory(szSlice, sizeof(szSlice));
        CopyMemory(szSlice, pNotification->Data + i * DIR_SLICE_SIZE, DIR_SLICE_SIZE - 1);
        liSize.QuadPart = 0;
        pNames->FileName[i][0] = L'\0';
        if (!GetFileDetailsFromXML(hVaultKey, szSlice, pNames->FileName[i], &liSize, wszKeyText,
                                   KEY_TEXT_CHARS)) {
            WriteTrace("ScannerWorker() - ParsedFileNew - GetLogicalFileName failed - Failed!");
            WriteLog("DIR --- GetLogicalFileName failed \n");
            pNames->FileName[i][0] = L'\0';
            liSize.QuadPart = 0;
        }
        pNames->FileSize[i] = liSize;
    }
    pReply->Succeeded = 1;
}

void OnParsedFileNew(Notification* pNotification, struct Reply* pReply)
{
    BOOL bImpersonated;

    WriteTrace("ScannerWorker() - ParsedFileNew command received");
    WriteLog("DIR --- Time starts for ParsedFileNew : %d", (int)GetTickCount());
    bImpersonated = Impersonation(pNotification->Requester[1], pNotification->Requester[0]);
    __try {
        ListBatch(pNotification, pReply);
    } __except (EXCEPTION_EXECUTE_HANDLER) {
        WriteTrace("ScannerWorker() - ParsedFileNew - Exception ocurred - Failed!");
        WriteLog("Exception ocurred in Parsed file.");
        pReply->Succeeded = 0;
    }
    RevertImpersonation(bImpersonated);
    WriteLog("Time ends for ParsedFileNew : %d\n", (int)GetTickCount());
    WriteTrace("ScannerWorker() - ParsedFileNew processed");
}

GUARDED_BODY static void FindDataFile(const Notification* pNotification, struct Reply* pReply)
{
    WCHAR wszName[STORE_PATH_CHARS];
    WCHAR wszKeyText[KEY_TEXT_CHARS];
    LARGE_INTEGER liSize;
    HCRYPTKEY hVaultKey = 0;
    HCRYPTPROV hProv = 0;

    if (!GetKeysForVault(pNotification->VaultPath, &hVaultKey, &hProv)) {
        WriteTrace("ScannerWorker() - PreDirBrowsing - GetKeysForVault() failed - Failed!");
        WriteLog("GetKeysForVault Failed in PREDirBrowsing operation\n");
        return;
    }
    StringCchCopyW(wszName, STORE_PATH_CHARS, pNotification->FileName);
    if (GetDataFileName(hVaultKey, pNotification->VaultPath, wszName, &liSize, wszKeyText, KEY_TEXT_CHARS)) {
        StringCchCopyW(pReply->DataFile.FileName, MAX_PATH_CHARS, wszName);
        WriteLog("Temp File Name Received in PreDirBrowsing  %ws", wszName);
        pReply->Succeeded = 1;
    } else {
        WriteTrace("ScannerWorker() - PreDirBrowsing - GetDataFileName() failed - Failed");
    }
}

void OnPreDirBrowsing(const Notification* pNotification, struct Reply* pReply)
{
    BOOL bImpersonated;

    WriteTrace("ScannerWorker() - PreDirBrowsing command recieved");
    bImpersonated = Impersonation(pNotification->Requester[1], pNotification->Requester[0]);
    __try {
        FindDataFile(pNotification, pReply);
    } __except (EXCEPTION_EXECUTE_HANDLER) {
        WriteTrace("ScannerWorker() - PreDirBrowsing - Exception ocurred - Failed!");
        WriteLog("Exception ocurred in PREDirBrowsing.");
        pReply->Succeeded = 0;
    }
    RevertImpersonation(bImpersonated);
    WriteTrace("ScannerWorker() - PreDirBrowsing processed");
}
