// Meta texts rebuilt after a size change or a rename. Both rebuild the text
// from its parsed parts, so every updated meta file has the one form; the
// file key passes through as text and is never unwrapped here.
#include <windows.h>
#include <fltuser.h>
#include <strsafe.h>

#include "diag/Diag.h"
#include "keys/Crypt.h"
#include "keys/VaultKeys.h"
#include "store/FileKeys.h"
#include "store/MetaText.h"
#include "store/Store.h"

// The text and its terminating zero into the reply's buffer.
static void WriteMetaReply(const META_TEXT* pMetaText, struct ReplyMessage* pReplyMessage)
{
    REPLY_BUFFER* pBuffer = &pReplyMessage->Reply.Buffer;

    pBuffer->Length = pMetaText->cbText;
    WriteLog("size of buffer found on service %d \n", (int)pBuffer->Length);
    CopyMemory(pBuffer->Data, pMetaText->szText, pMetaText->cbText + 1);
    WriteLog("EncryptDecrypt bolck after copymemory on service %s \n", pMetaText->szText);
}

GUARDED_BODY static BOOL RebuildWithSize(Notification* pNotification, struct ReplyMessage* pReplyMessage)
{
    WCHAR wszPath[STORE_PATH_CHARS];
    WCHAR wszFileName[STORE_PATH_CHARS];
    WCHAR wszName[STORE_PATH_CHARS];
    WCHAR wszKeyText[KEY_TEXT_CHARS];
    LARGE_INTEGER liOldSize;
    META_TEXT metaText;
    HCRYPTKEY hVaultKey = 0;
    HCRYPTPROV hProv = 0;

    static const FOLDER_PATH_FAILURE failure = {
        "UpdateMetaFileSizeFunc2() - Call to FilterGetDosName Failed - Failed!", "FilterGetDosName failed", 1278,
        "FilterGetDosName failed in GetVaultFileName for %ws", NULL};

    if (!FormFolderPathOrReport(pNotification->Volume, pNotification->IsNetwork, pNotification->ParentDir, wszPath,
                                "UpdateMetaFileSizeFunc2", &failure))
        return FALSE;
    StringCchCopyW(wszFileName, STORE_PATH_CHARS, pNotification->FileName);
    WriteLog("File path %ws\n", wszPath);
    WriteLog("File name %ws\n", wszFileName);
    if (!GetKeysForVault(wszPath, &hVaultKey, &hProv)) {
        // Without a vault key the parse below fails too, with its own lines.
        WriteTrace("UpdateMetaFileSizeFunc2() - Call to GetKeysForVault Failed - Failed!");
        WriteLog("Get keys for vault failed in GetVaultFileName\n");
    }
    ZeroMemory(wszName, sizeof(wszName));
    ZeroMemory(wszKeyText, sizeof(wszKeyText));
    if (!GetFileDetailsFromXML(hVaultKey, (char*)pNotification->Data, wszName, &liOldSize, wszKeyText,
                               KEY_TEXT_CHARS)) {
        WriteTrace("UpdateMetaFileSizeFunc2() - Call to GetFileDetailsFromXML Failed - Failed!");
        WriteLog("GetFileDetailsFromXML Failed in Update Meta File Size\n");
        return FALSE;
    }
    if (GetEncodedFileName(hVaultKey, wszName, (DWORD)wcslen(wszName) + 1) != KEY_RESULT_OK) {
        WriteTrace("UpdateMetaFileSizeFunc2() - Call to GetEncodedFileName Failed - Failed!");
        WriteLog("Get Encoded File Name failed in GetMetaFize Size \n");
        return FALSE;
    }
    WriteLog("file size high %d\n", (int)pNotification->FileSize.HighPart);
    WriteLog("file size low %d\n", (int)pNotification->FileSize.LowPart);
    if (!BuildMetaXml(wszName, wszKeyText, pNotification->FileSize, &metaText))
        return FALSE;
    WriteLog("dumping xml\n");
    WriteLog("%s", metaText.szText);
    WriteLog("end of dumping.....................\n");
    WriteMetaReply(&metaText, pReplyMessage);
    return hVaultKey != 0;
}

BOOL UpdateMetaFileSizeFunc2(Notification* pNotification, struct ReplyMessage* pReplyMessage)
{
    BOOL bBuilt = FALSE;

    WriteTrace("UpdateMetaFileSizeFunc2() - Start");
    __try {
        bBuilt = RebuildWithSize(pNotification, pReplyMessage);
    } __except (EXCEPTION_EXECUTE_HANDLER) {
        WriteTrace("UpdateMetaFileSizeFunc2() - Exception occured");
        bBuilt = FALSE;
    }
    WriteTrace("UpdateMetaFileSizeFunc2() - End");
    return bBuilt;
}

// FALSE with *pbEnd FALSE: failed without the End line.
GUARDED_BODY static BOOL RebuildWithName(Notification* pNotification, struct ReplyMessage* pReplyMessage,
                                         BOOL* pbEnd)
{
    static const FOLDER_PATH_FAILURE failure = {
        "UpdateNameInMetaFile() - FilterGetDosName failed", "FilterGetDosName failed in UpdateNameInMetaFile()", 1447,
        "FilterGetDosName failed in UpdateNameInMetaFile() for volume: %ws\n", "ERROR!!! --- FilterGetDosName failed\n"};
    WCHAR wszKeyText[KEY_TEXT_CHARS];
    char szKeyUtf8[META_KEY_UTF8_CB];
    char szNameUtf8[META_NAME_UTF8_CB];
    WCHAR wszName[STORE_PATH_CHARS];
    WCHAR wszPath[STORE_PATH_CHARS];
    LARGE_INTEGER liSize;
    META_TEXT metaText;
    HCRYPTKEY hVaultKey = 0;
    HCRYPTPROV hProv = 0;

    ZeroMemory(wszKeyText, sizeof(wszKeyText));
    ZeroMemory(szKeyUtf8, sizeof(szKeyUtf8));
    ZeroMemory(&metaText, sizeof(metaText));
    ZeroMemory(szNameUtf8, sizeof(szNameUtf8));
    ZeroMemory(wszName, sizeof(wszName));
    if (!FormFolderPathOrReport(pNotification->NewVolume, pNotification->IsNetwork, pNotification->NewParentDir,
                                wszPath, "UpdateNameInMetaFile", &failure))
        return FALSE;
    WriteLog("FilterGetDosName() completed successfully\n");
    WriteLog("Meta File Path %ws\n", wszPath);
    if (!GetKeysForVault(wszPath, &hVaultKey, &hProv)) {
        WriteTrace("UpdateNameInMetaFile() - GetKeysForVault failed - Failed!");
        WriteLog("GetKeysForVault failed could not retrieve keys\n");
        *pbEnd = FALSE;
        return FALSE;
    }
    if (!GetFileDetailsFromXML(hVaultKey, (char*)pNotification->Data, wszName, &liSize, wszKeyText,
                               KEY_TEXT_CHARS)) {
        WriteTrace("UpdateNameInMetaFile() - GetFileDetailsFromXML failed - Failed!");
        WriteLog("Could not retrieve details from xml buffer\n");
        return FALSE;
    }
    WriteLog("Begin of FSK Blob----------------------------\n");
    WriteLog("FSK Blob %ws\n", wszKeyText);
    WriteLog("End of FSK Blob------------------------------\n");
    StringCchCopyW(wszName, STORE_PATH_CHARS, pNotification->NewFileName);
    if (GetEncodedFileName(hVaultKey, wszName, (DWORD)wcslen(wszName) + 1) != KEY_RESULT_OK) {
        WriteTrace("UpdateNameInMetaFile() - GetEncodedFileName failed - Failed!");
        WriteLog("Failed GetEncodedFileName %ws\n", wszName);
        return FALSE;
    }
    WriteLog("GetEncodedFileName completed successfully\n");
    if (!BuildMetaXml(wszName, wszKeyText, liSize, &metaText)) {
        WriteTrace("UpdateNameInMetaFile() - File names and key could not be encoded");
        WriteLog("File names and key could not be encoded\n");
        return FALSE;
    }
    WideCharToMultiByte(CP_UTF8, 0, wszKeyText, -1, szKeyUtf8, sizeof(szKeyUtf8), NULL, NULL);
    WriteLog("After WideCharToMultiByte Begin of FSK Blob----------------------------\n");
    WriteLog("%s", szKeyUtf8);
    WriteLog("After WideCharToMultiByte End of FSK Blob------------------------------\n");
    WriteMetaReply(&metaText, pReplyMessage);
    WriteLog("Meta File Updated !!!!!!!!!\n");
    return TRUE;
}

BOOL UpdateNameInMetaFile(Notification* pNotification, struct ReplyMessage* pReplyMessage)
{
    BOOL bBuilt = FALSE;
    BOOL bEnd = TRUE;

    WriteTrace("UpdateNameInMetaFile() - Start");
    __try {
        bBuilt = RebuildWithName(pNotification, pReplyMessage, &bEnd);
    } __except (EXCEPTION_EXECUTE_HANDLER) {
        WriteTrace("UpdateNameInMetaFile() - Exception occurred");
        WriteLog("Exception occurred %d\n", (int)GetLastError());
        bBuilt = FALSE;
        bEnd = TRUE;
    }
    if (bEnd)
        WriteTrace("UpdateNameInMetaFile() - End");
    return bBuilt;
}
