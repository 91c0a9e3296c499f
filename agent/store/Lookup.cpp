// Stored names turned into logical names, and logical names into stored
// data files.
//
// A request may name a file by its short (8.3) form. Such a request is
// compared with the long logical name only: a stored file has no short form
// of its own (its stem is the driver's choice), so a short name finds
// nothing rather than risk finding the wrong file.
#include <windows.h>
#include <fltuser.h>
#include <strsafe.h>

#include "diag/Diag.h"
#include "keys/FileKeyTable.h"
#include "keys/Crypt.h"
#include "keys/VaultKeys.h"
#include "store/FileKeys.h"
#include "store/MetaText.h"
#include "store/Store.h"

#define META_FILE_READ_BYTES 1031
#define DATA_FILE_SUFFIX_CHARS 4   // ".tmp"

FOLDER_PATH_RESULT FormVaultFolderPath(LPCWSTR pwszVolume, BOOLEAN bIsNetwork, LPCWSTR pwszParentDir,
                                       WCHAR* wszPath)
{
    if (bIsNetwork) {
        if (FAILED(StringCchCopyW(wszPath, STORE_PATH_CHARS, pwszVolume)))
            return FOLDER_PATH_TOO_LONG;
    } else if (FAILED(FilterGetDosName(pwszVolume, wszPath, STORE_PATH_CHARS))) {
        return FOLDER_PATH_NO_DOS_NAME;
    }
    return SUCCEEDED(StringCchCatW(wszPath, STORE_PATH_CHARS, pwszParentDir)) ? FOLDER_PATH_FORMED
                                                                                : FOLDER_PATH_TOO_LONG;
}

BOOL FormFolderPathOrReport(LPCWSTR pwszVolume, BOOLEAN bIsNetwork, LPCWSTR pwszParentDir, WCHAR* wszPath,
                            const char* pszOperation, const FOLDER_PATH_FAILURE* pFailure)
{
    switch (FormVaultFolderPath(pwszVolume, bIsNetwork, pwszParentDir, wszPath)) {
    case FOLDER_PATH_FORMED:
        return TRUE;
    case FOLDER_PATH_NO_DOS_NAME:
        WriteTrace("%s", pFailure->pszTrace);
        if (pFailure->pszErrorRecord != NULL)
            LogError(pFailure->pszErrorRecord, "CreateFile", pFailure->nErrorLine);
        WriteLog(pFailure->pszLogFormat, pwszVolume);
        if (pFailure->pszLogLine != NULL)
            WriteLog("%s", pFailure->pszLogLine);
        return FALSE;
    case FOLDER_PATH_TOO_LONG:
        break;
    }
    WriteTrace("%s() - vault folder path too long - Failed!", pszOperation);
    return FALSE;
}

static WCHAR FoldAscii(WCHAR wc)
{
    return (wc >= L'A' && wc <= L'Z') ? (WCHAR)(wc - L'A' + L'a') : wc;
}

BOOL LogicalNamesEqual(LPCWSTR pwszFirst, LPCWSTR pwszSecond)
{
    for (;; pwszFirst++, pwszSecond++) {
        if (FoldAscii(*pwszFirst) != FoldAscii(*pwszSecond))
            return FALSE;
        if (*pwszFirst == L'\0')
            return TRUE;
    }
}

// ---------------------------------------------------------------------------
// One meta file from disk.

typedef enum _META_READ { META_READ_DONE, META_READ_MISSING, META_READ_FAILED } META_READ;

// The search that tells a meta file that is not there (or cannot be
// reached) from one that cannot be opened: its lines, without the End line.
static META_READ ReportMissingMetaFile(void)
{
    WriteTrace("GetRealFileName() - FindFirstFileExW Failed - Failed!");
    WriteLog("FindFirstFileExW failed\n");
    return META_READ_MISSING;
}

// The meta file's first 1,031 bytes, terminated. The file is opened
// directly, without a directory search for every stored file of a folder;
// only a failed open searches, so that every failure writes the lines the
// search would have written.
static META_READ ReadMetaFile(LPCWSTR pwszPath, char* pszText)
{
    WIN32_FIND_DATAW entry;
    HANDLE hFile;
    HANDLE hFind;
    DWORD cbRead = 0;
    BOOL bRead;

    hFile = CreateFileW(pwszPath, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING,
                        FILE_ATTRIBUTE_NORMAL, NULL);
    if (hFile == INVALID_HANDLE_VALUE) {
        hFind = FindFirstFileExW(pwszPath, FindExInfoStandard, &entry, FindExSearchNameMatch, NULL, 0);
        if (hFind == INVALID_HANDLE_VALUE)
            return ReportMissingMetaFile();
        FindClose(hFind);
        WriteTrace("GetRealFileName() - File could not be opened - Failed!");
        WriteLog("File could not be opened\n");
        return META_READ_FAILED;
    }
    bRead = ReadFile(hFile, pszText, META_FILE_READ_BYTES, &cbRead, NULL);
    CloseHandle(hFile);
    if (!bRead) {
        WriteTrace("GetRealFileName() - ReadFile failed - Failed!");
        WriteLog("read failed");
        WriteLog("could not read meta file \n");
        return META_READ_FAILED;
    }
    pszText[cbRead] = '\0';
    return META_READ_DONE;
}

// FALSE with *pbEnd FALSE means: failed without the End line.
GUARDED_BODY static BOOL ReadStoredName(HCRYPTKEY hVaultKey, LPCWSTR pwszFolder, LPCWSTR pwszStoredName,
                                        WCHAR* wszNameOut, LARGE_INTEGER* pliSizeOut, WCHAR* wszKeyTextOut,
                                        DWORD cchKeyTextOut, BOOL* pbEnd)
{
    WCHAR wszPath[STORE_PATH_CHARS];
    char szText[META_FILE_READ_BYTES + 1];

    *pbEnd = FALSE;
    if (pwszStoredName[0] == L'\0') {
        WriteTrace("GetRealFileName() - filename is empty");
        WriteLog("wcslen(logicalFileName)==0) failed");
        wszNameOut[0] = L'\0';
        return FALSE;
    }
    // A path too long for the search fails as the search would.
    if (FAILED(StringCchPrintfW(wszPath, STORE_PATH_CHARS, L"%ws\\%ws", pwszFolder, pwszStoredName))) {
        ReportMissingMetaFile();
        return FALSE;
    }
    switch (ReadMetaFile(wszPath, szText)) {
    case META_READ_MISSING:
        return FALSE;
    case META_READ_FAILED:
        *pbEnd = TRUE;
        return FALSE;
    case META_READ_DONE:
        *pbEnd = TRUE;
        break;
    }
    WriteLog("Trying to retrieve file name from xml\n");
    if (!GetFileDetailsFromXML(hVaultKey, szText, wszNameOut, pliSizeOut, wszKeyTextOut, cchKeyTextOut)) {
        WriteTrace("GetRealFileName() - Could not retrieve file name from xml");
        WriteLog("Could not retrieve file name from xml\n");
        return FALSE;
    }
    WriteLog("After GetFileDetailsFromXML File size High %d\n", (int)pliSizeOut->HighPart);
    WriteLog("After GetFileDetailsFromXML File size Low %d\n", (int)pliSizeOut->LowPart);
    WriteLog("File name successfully retrieved");
    WriteLog("File name successfully retrieved %ws\n", wszNameOut);
    return TRUE;
}

BOOL GetRealFileName(HCRYPTKEY hVaultKey, LPCWSTR pwszFolder, LPCWSTR pwszStoredName, WCHAR* wszNameOut,
                     LARGE_INTEGER* pliSizeOut, WCHAR* wszKeyTextOut, DWORD cchKeyTextOut)
{
    BOOL bFound = FALSE;
    BOOL bEnd = TRUE;
    DWORD dwCode = 0;

    WriteTrace("GetRealFileName() - Start");
    __try {
        bFound = ReadStoredName(hVaultKey, pwszFolder, pwszStoredName, wszNameOut, pliSizeOut,
                                wszKeyTextOut, cchKeyTextOut, &bEnd);
    } __except (dwCode = GetExceptionCode(), EXCEPTION_EXECUTE_HANDLER) {
        WriteTrace("GetRealFileName() - Exception occurred");
        WriteLog("Exception occurred in GetRealFileName() %d", (int)dwCode);
        bFound = FALSE;
        bEnd = TRUE;
    }
    if (bEnd)
        WriteTrace("GetRealFileName() - End");
    return bFound;
}

// ---------------------------------------------------------------------------
// The folder search.

static BOOL IsStoredMetaFile(const WIN32_FIND_DATAW* pEntry)
{
    return !(pEntry->dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && wcschr(pEntry->cFileName, L'.') == NULL;
}

// One entry; TRUE when it is the wanted file (wszName then names its data file).
GUARDED_BODY static BOOL MatchEntry(HCRYPTKEY hVaultKey, LPCWSTR pwszFolder, LPCWSTR pwszEntry, WCHAR* wszName,
                                    LARGE_INTEGER* pliSizeOut, WCHAR* wszKeyTextOut, DWORD cchKeyTextOut)
{
    WCHAR wszDecoded[STORE_PATH_CHARS];

    ZeroMemory(wszDecoded, sizeof(wszDecoded));
    if (!GetRealFileName(hVaultKey, pwszFolder, pwszEntry, wszDecoded, pliSizeOut, wszKeyTextOut,
                         cchKeyTextOut)) {
        WriteTrace("GetDataFileName() - GetRealFilename() Failed ");
        WriteLog("Get real file name failed\n");
        return FALSE;
    }
    WriteLog("File retrieved GetRealFileName\n");
    WriteLog("After GetRealFileName File size High part %d\n", (int)pliSizeOut->HighPart);
    WriteLog("After GetRealFileName File size Low part %d\n", (int)pliSizeOut->LowPart);
    if (!LogicalNamesEqual(wszDecoded, wszName)) {
        WriteLog("File name do not match\n");
        return FALSE;
    }
    WriteLog("File matched\n");
    return SUCCEEDED(StringCchPrintfW(wszName, STORE_PATH_CHARS, L"%ws.tmp", pwszEntry));
}

BOOL GetDataFileName(HCRYPTKEY hVaultKey, LPCWSTR pwszFolder, WCHAR* wszName, LARGE_INTEGER* pliSizeOut,
                     WCHAR* wszKeyTextOut, DWORD cchKeyTextOut)
{
    WCHAR wszPattern[STORE_PATH_CHARS];
    WIN32_FIND_DATAW entry;
    HANDLE hFind;
    BOOL bMatched = FALSE;
    DWORD dwCode = 0;

    WriteTrace("GetDataFileName() - Start");
    WriteLog("inside GetDataFileName\n");
    if (FAILED(StringCchPrintfW(wszPattern, STORE_PATH_CHARS, L"%ws\\*.*", pwszFolder)) ||
        (hFind = FindFirstFileExW(wszPattern, FindExInfoStandard, &entry, FindExSearchNameMatch, NULL, 0)) ==
            INVALID_HANDLE_VALUE) {
        WriteTrace("GetRealFileName() - Invalid searchHandle");
        return FALSE;
    }
    do {
        if (!IsStoredMetaFile(&entry))
            continue;
        __try {
            bMatched = MatchEntry(hVaultKey, pwszFolder, entry.cFileName, wszName, pliSizeOut, wszKeyTextOut,
                                  cchKeyTextOut);
        } __except (dwCode = GetExceptionCode(), EXCEPTION_EXECUTE_HANDLER) {
            WriteTrace("GetDataFileName() - Exception occurred");
            LogError("VUVUDOVU SRV ERROR!!! --- Exception occurred in GetDataFileName()", "CreateFile", 430);
            WriteLog("Exception occurred in GetDataFileName %ld", (long)dwCode);
            bMatched = FALSE;
        }
    } while (!bMatched && FindNextFileW(hFind, &entry));
    FindClose(hFind);
    WriteTrace("GetDataFileName() - End");
    return bMatched;
}

// ---------------------------------------------------------------------------
// The request handlers.

// The file key of a key text, handed to the driver; 0 when it cannot be imported.
static BOOL ImportForDriver(HCRYPTPROV hProv, HCRYPTKEY hVaultKey, LPCWSTR pwszKeyText, ULONG* pulFSKHandle)
{
    HCRYPTKEY hFileKey = 0;
    ULONG ulValue;

    if (ImportFileSymmetricKey(hProv, hVaultKey, pwszKeyText, &hFileKey) != KEY_RESULT_OK)
        return FALSE;
    ulValue = HandOutFileKey(hFileKey);
    if (ulValue == 0) {
        SetLastError(ERROR_TOO_MANY_OPEN_FILES);
        return FALSE;
    }
    *pulFSKHandle = ulValue;
    return TRUE;
}

GUARDED_BODY static BOOL ReadRequestMetaText(Notification* pNotification, VAULT_FILE* pVaultFile,
                                             ULONG* pulFSKHandle)
{
    WCHAR wszPath[STORE_PATH_CHARS];
    WCHAR wszFileName[STORE_PATH_CHARS];
    HCRYPTKEY hVaultKey = 0;
    HCRYPTPROV hProv = 0;

    WriteLog("VUVUDOVU SRV ----------------------- Inside GetVaultFileName ---------------------------\n");
    WriteLog("VUVUDOVU SRV --- Volume: %ws\n", pNotification->Volume);
    static const FOLDER_PATH_FAILURE failure = {
        "CheckVaultFileName() - FilterGetDosName failed", "FilterGetDosName failed in GetVaultFileName()", 1717,
        "FilterGetDosName failed in GetVaultFileName for %ws\n", NULL};

    if (!FormFolderPathOrReport(pNotification->Volume, pNotification->IsNetwork, pNotification->ParentDir, wszPath,
                                "CheckVaultFileName", &failure))
        return FALSE;
    if (pNotification->IsNetwork)
        WriteLog("notification->IsNetwork :::::::: network vault accessed\n");
    StringCchCopyW(wszFileName, STORE_PATH_CHARS, pNotification->FileName);
    WriteLog("File Path: %ws\n", wszPath);
    WriteLog("File Name: %ws\n", wszFileName);
    if (!GetKeysForVault(wszPath, &hVaultKey, &hProv)) {
        WriteTrace("CheckVaultFileName() - GetKeysForVault() failed - Failed!");
        LogError("VUVUDOVU SRV ERROR!!! --- GetKeysForVault failed", "CreateFile", 1740);
        return FALSE;
    }
    WriteLog("GetKeysForVault() succeeded.\n");
    if (!GetCipherBlockBytes(hVaultKey, &pVaultFile->CipherBlockSize)) {
        WriteTrace("CheckVaultFileName() - CryptGetKeyParam failed - Failed!");
        LogError("ERROR!!! ---CryptGetKeyParam() Failed", "CreateFile", 1750);
        return FALSE;
    }
    WriteLog("Cipher size successfully retrieved");
    WriteLog("Cipher length retrieved %d\n", (int)pVaultFile->CipherBlockSize);
    WriteLog("(char*)notification->Data %ws\n", L"");
    if (!GetFileDetailsFromXML(hVaultKey, (char*)pNotification->Data, pVaultFile->FileName,
                               &pVaultFile->FileSize, pVaultFile->FSKBlob, FSK_BLOB_CHARS)) {
        WriteTrace("CheckVaultFileName() -  GetDataFileName() failed");
        LogError("VUVUDOVU SRV --- GetDataFileName() failed", "CreateFile", 1804);
        return FALSE;
    }
    WriteLog("After GetFileDetailsFromXML FileSize High part %d\n", (int)pVaultFile->FileSize.HighPart);
    WriteLog("After GetFileDetailsFromXML FileSize Low part %d\n", (int)pVaultFile->FileSize.LowPart);
    WriteLog("File name retrieved by GetDataFileName %ws\n", pVaultFile->FileName);
    WriteLog("FSK Blob retrieved by GetDataFileName %ws\n", pVaultFile->FSKBlob);
    if (ImportForDriver(hProv, hVaultKey, pVaultFile->FSKBlob, pulFSKHandle)) {
        WriteLog("FSK imported successfully\n");
    } else {
        WriteTrace("CheckVaultFileName() - FSK could not be imported");
        LogError("VUVUDOVU SRV ERROR!!! ---ImportFileSymmetricKey failed", "CreateFile", 1781);
        WriteLog("FSK could not be imported 0X%X\n", (unsigned)GetLastError());
    }
    pVaultFile->FileFound = LogicalNamesEqual(wszFileName, pVaultFile->FileName) ? 1 : 0;
    return TRUE;
}

BOOL CheckVaultFileName(Notification* pNotification, VAULT_FILE* pVaultFile, ULONG* pulFSKHandle)
{
    BOOL bRead = FALSE;
    DWORD dwCode = 0;

    WriteTrace("CheckVaultFileName() - Start");
    __try {
        bRead = ReadRequestMetaText(pNotification, pVaultFile, pulFSKHandle);
    } __except (dwCode = GetExceptionCode(), EXCEPTION_EXECUTE_HANDLER) {
        WriteTrace("CheckVaultFileName() -  Exception occurred");
        WriteLog("VUVUDOVU SRV ERROR!!! --- Exception occurred %d\n", (int)dwCode);
        return FALSE;
    }
    WriteTrace("CheckVaultFileName() - End");
    return bRead;
}

GUARDED_BODY static BOOL ReadDataFileDetails(LPCWSTR pwszFolderPath, LPCWSTR pwszDataFileName,
                                             WCHAR* wszNameOut, ULONG* pulFSKHandle, LARGE_INTEGER* pliFileSize,
                                             ULONG* pulCipherBlockBytes)
{
    WCHAR wszMetaName[STORE_PATH_CHARS];
    WCHAR wszName[STORE_PATH_CHARS];
    WCHAR wszKeyText[KEY_TEXT_CHARS];
    HCRYPTKEY hVaultKey = 0;
    HCRYPTPROV hProv = 0;
    size_t cchData;

    if (!GetKeysForVault(pwszFolderPath, &hVaultKey, &hProv)) {
        WriteTrace("GetVaultFileDetails() - GetKeysForVault Failed-Failed!");
        LogError("GetKeysForVault() failed in GetVaultFileDetails() function", "CreateFile", 1615);
        WriteLog("GetKeysForVault failed in GetVaultFileDetails()\n");
        return FALSE;
    }
    if (!GetCipherBlockBytes(hVaultKey, pulCipherBlockBytes)) {
        WriteTrace("GetVaultFileDetails() - CryptGetKeyParam Failed-Failed!");
        WriteLog("Cipher size could not be retrieved\n");
        return FALSE;
    }
    ZeroMemory(wszMetaName, sizeof(wszMetaName));
    StringCchCopyW(wszMetaName, STORE_PATH_CHARS, pwszDataFileName);
    cchData = wcslen(wszMetaName);
    if (cchData >= DATA_FILE_SUFFIX_CHARS)
        wszMetaName[cchData - DATA_FILE_SUFFIX_CHARS] = L'\0';
    WriteLog("Meta file name %ws\n", wszMetaName);
    WriteLog("VSK Key %d\n", (int)hVaultKey);
    WriteLog("vaultFilePath %ws\n", pwszFolderPath);
    WriteLog("metafile naem %ws\n", wszMetaName);
    ZeroMemory(wszName, sizeof(wszName));
    ZeroMemory(wszKeyText, sizeof(wszKeyText));
    if (!GetRealFileName(hVaultKey, pwszFolderPath, wszMetaName, wszName, pliFileSize, wszKeyText,
                         KEY_TEXT_CHARS)) {
        WriteTrace("GetVaultFileDetails() - GetRealFileName failed");
        WriteLog("GetRealFileName failed\n");
        return FALSE;
    }
    WriteLog("FSKBlob %ws\n", wszKeyText);
    WriteLog("FSKKeySize %d\n", KEY_TEXT_CHARS);
    StringCchCopyW(wszNameOut, STORE_PATH_CHARS, wszName);
    WriteLog("Cypto provider %d\n", (int)hProv);
    if (!ImportForDriver(hProv, hVaultKey, wszKeyText, pulFSKHandle)) {
        WriteTrace("GetVaultFileDetails() - CreateFileSymmetricKey failed");
        WriteLog("CreateFileSymmetricKey failed\n");
        return FALSE;
    }
    return TRUE;
}

BOOL GetVaultFileDetails(LPCWSTR pwszFolderPath, LPCWSTR pwszDataFileName, WCHAR* wszNameOut,
                         ULONG* pulFSKHandle, LARGE_INTEGER* pliFileSize, ULONG* pulCipherBlockBytes)
{
    BOOL bRead = FALSE;
    DWORD dwCode = 0;

    WriteTrace("GetVaultFileDetails() - Start");
    __try {
        bRead = ReadDataFileDetails(pwszFolderPath, pwszDataFileName, wszNameOut, pulFSKHandle, pliFileSize,
                                    pulCipherBlockBytes);
    } __except (dwCode = GetExceptionCode(), EXCEPTION_EXECUTE_HANDLER) {
        WriteTrace("GetVaultFileDetails() - Exception occurred");
        WriteLog("Exception occurred in GetVaultFileDetails %d \n", (int)dwCode);
        bRead = FALSE;
    }
    WriteTrace("GetVaultFileDetails() - End");
    return bRead;
}

GUARDED_BODY static BOOL ReadLogicalDetails(Notification* pNotification, LOGICAL_FILE* pLogicalFile)
{
    WCHAR wszPath[STORE_PATH_CHARS];
    WCHAR wszName[STORE_PATH_CHARS];
    WCHAR wszKeyText[KEY_TEXT_CHARS];
    LARGE_INTEGER liSize;
    HCRYPTKEY hVaultKey = 0;
    HCRYPTPROV hProv = 0;
    ULONG ulCipherBlockBytes = 0;
    ULONG ulFSKHandle = 0;
    BOOL bResult = TRUE;

    static const FOLDER_PATH_FAILURE failure = {
        "GetLogicalFileDetailsEx() - FilterGetDosName failed - Failed!", "FilterGetDosName failed", 1143,
        "FilterGetDosName failed in GetVaultFileName for %ws", NULL};

    if (!FormFolderPathOrReport(pNotification->Volume, pNotification->IsNetwork, pNotification->ParentDir, wszPath,
                                "GetLogicalFileDetailsEx", &failure))
        return FALSE;
    WriteLog("File path %ws\n", wszPath);
    if (!GetKeysForVault(wszPath, &hVaultKey, &hProv)) {
        // Without a vault key the parse below fails too, with its own lines.
        WriteTrace("GetLogicalFileDetailsEx() - GetKeysForVault failed");
        WriteLog("Get keys for vault failed in GetVaultFileName\n");
        bResult = FALSE;
    }
    ZeroMemory(wszKeyText, sizeof(wszKeyText));
    ZeroMemory(wszName, sizeof(wszName));
    liSize.QuadPart = 0;
    if (!GetFileDetailsFromXML(hVaultKey, (char*)pNotification->Data, wszName, &liSize, wszKeyText,
                               KEY_TEXT_CHARS)) {
        WriteTrace("GetLogicalFileDetailsEx() - GetFileDetailsFromXML failed - Failed!");
        WriteLog("GetFileDetailsFromXML Failed in Update Meta File Size\n");
        return FALSE;
    }
    WriteLog("MOVE FSKBlob: %ws\n", wszKeyText);
    if (!GetCipherBlockBytes(hVaultKey, &ulCipherBlockBytes)) {
        WriteTrace("GetLogicalFileDetailsEx() - CryptGetKeyParam failed - Failed!");
        LogError("ERROR!!! ---CryptGetKeyParam() Failed", "CreateFile", 1188);
        return FALSE;
    }
    WriteLog("Cipher size successfully retrieved");
    // A key text that does not import leaves the handle 0; the details still go back.
    ImportForDriver(hProv, hVaultKey, wszKeyText, &ulFSKHandle);
    WriteLog("Copying file name \n");
    StringCchCopyW(pLogicalFile->FileName, MAX_PATH_CHARS, wszName);
    pLogicalFile->FSKHandle = ulFSKHandle;
    pLogicalFile->FileSize = liSize;
    pLogicalFile->CipherBlockSize = ulCipherBlockBytes;
    WriteLog("GetLogicalFileDetailsEx() succeeded file name returned %ws\n", wszName);
    return bResult;
}

BOOL GetLogicalFileDetailsEx(Notification* pNotification, struct ReplyMessage* pReplyMessage)
{
    BOOL bRead = FALSE;
    DWORD dwCode = 0;

    WriteTrace("GetLogicalFileDetailsEx() - Start");
    __try {
        bRead = ReadLogicalDetails(pNotification, &pReplyMessage->Reply.LogicalFile);
    } __except (dwCode = GetExceptionCode(), EXCEPTION_EXECUTE_HANDLER) {
        WriteTrace("GetLogicalFileDetailsEx() - Exception occurred");
        WriteLog("Exception occurred in GetLogicalFileDetailsEx() 0x%x\n", (unsigned)dwCode);
        bRead = FALSE;
    }
    WriteTrace("GetLogicalFileDetailsEx() - End");
    return bRead;
}
