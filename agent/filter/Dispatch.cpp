// One request, one reply: the dispatch on the command code and the commands
// that work on vault files, users and drives.
#include <windows.h>
#include <fltuser.h>
#include <strsafe.h>

#include "diag/Diag.h"
#include "filter/BlockCommands.h"
#include "filter/DriveChange.h"
#include "filter/RequestCheck.h"
#include "filter/ScannerWorker.h"
#include "keys/ForcedLogin.h"
#include "keys/VaultKeys.h"
#include "res/resource.h"
#include "store/Store.h"

#define NETWORK_EDIT_TEXT_CHARS 512

void NullInitializeReply(struct Reply* pReply)
{
    WriteTrace("NullInitializeReply() - Start");
    ZeroMemory((BYTE*)pReply + REPLY_CLEAR_FIRST, REPLY_CLEAR_END - REPLY_CLEAR_FIRST);
    WriteTrace("NullInitializeReply() - End");
}

// The driver names a network vault's share without its first backslash;
// the commands want a UNC path. The request checks left room for it.
static void PrepareVolume(const Notification* pNotification, WCHAR* wszVolume,
                          LPCWSTR pwszFieldName)
{
    WCHAR wszCopy[MAX_PATH_CHARS];

    if (!pNotification->IsNetwork) {
        WriteLogW(L"Notification->%ws, %ws\n", pwszFieldName, wszVolume);
        return;
    }
    WriteLogW(L"Original Notification->%ws %ws", pwszFieldName, wszVolume);
    StringCchCopyW(wszCopy, ARRAYSIZE(wszCopy), wszVolume);
    StringCchPrintfW(wszVolume, MAX_PATH_CHARS, L"\\%ws", wszCopy);
    WriteLogW(L"Final Notification->%ws, %ws", pwszFieldName, wszVolume);
}

// Succeeded follows the callee's result; each outcome has its own lines.
static void ReportOutcome(struct Reply* pReply, BOOL bDone, const char* pszDoneTrace,
                          const char* pszFailedTrace, const char* pszFailedLog)
{
    if (bDone) {
        pReply->Succeeded = 1;
        WriteTrace("%s", pszDoneTrace);
    } else {
        WriteTrace("%s", pszFailedTrace);
        if (pszFailedLog != NULL)
            WriteLog("%s", pszFailedLog);
    }
}

static void OnCreateFileInVault(Notification* pNotification, struct Reply* pReply)
{
    VAULT_FILE* pVaultFile = &pReply->VaultFile;
    LARGE_INTEGER liNewFileSize;
    ULONG ulFSKHandle = 0;
    ULONG ulCipherBlockBytes = 0;
    DWORD dwKeyLength = FSK_BLOB_CHARS;

    WriteTrace("ScannerWorker() - CreateFileInVault command received");
    PrepareVolume(pNotification, pNotification->Volume, L"Volume");
    WriteTrace("ScannerWorker() - CreateVaultFile() calling with Parent dir: %ws and File name: %ws",
               pNotification->ParentDir, pNotification->FileName);
    liNewFileSize.QuadPart = 0;
    if (!CreateVaultFile(pNotification, liNewFileSize, &ulFSKHandle, &ulCipherBlockBytes, pVaultFile->FSKBlob,
                         &dwKeyLength) ||
        pNotification->DataLength > MAX_DATA_LENGTH) {
        WriteTrace("ScannerWorker() - CreateVaultFile() failed - Failed!");
        WriteLog("ERRROR!!! CreateVaultfile() failed ----");
    } else {
        pReply->Succeeded = 1;
        CopyMemory(pVaultFile->Data, pNotification->Data, pNotification->DataLength);
        pVaultFile->DataLength = pNotification->DataLength;
        WriteLog("Size set to %d\n", (int)pVaultFile->DataLength);
        pVaultFile->FileFound = 0;
        pVaultFile->CipherBlockSize = ulCipherBlockBytes;
        if (ulFSKHandle == 0)
            WriteLog("FSK Key not returned by CreateVaultFile\n");
        pVaultFile->FSKHandle = ulFSKHandle;
        pVaultFile->FileSize.QuadPart = 0;
    }
    WriteTrace("ScannerWorker() - CreateFileInVault processed");
}

// The driver learns the outcome from FileFound, so the command itself
// always succeeds, even when reading the meta text blew up.
static void OnGetFileNameFromVault(Notification* pNotification, struct Reply* pReply)
{
    VAULT_FILE* pVaultFile = &pReply->VaultFile;
    ULONG ulFSKHandle = 0;
    DWORD dwCode = 0;

    WriteTrace("ScannerWorker() - GetFileNameFromVault command received");
    pVaultFile->FileFound = 0;
    PrepareVolume(pNotification, pNotification->Volume, L"Volume");
    __try {
        if (CheckVaultFileName(pNotification, pVaultFile, &ulFSKHandle)) {
            if (ulFSKHandle != 0)
                pVaultFile->FSKHandle = ulFSKHandle;
            else
                WriteTrace("ScannerWorker() - GetFileNameFromVault - fskHandle() could not be retrieved - Failed!");
            WriteTrace("ScannerWorker() - GetFileNameFromVault - replyMessage.Reply.VaultFile.FileSize.HighPart: %d",
                       (int)pVaultFile->FileSize.HighPart);
            WriteTrace("ScannerWorker() - GetFileNameFromVault - replyMessage.Reply.VaultFile.FileSize.LowPart: %d",
                       (int)pVaultFile->FileSize.LowPart);
            WriteTrace("ScannerWorker() - GetFileNameFromVault - replyMessage.Reply.VaultFile.CipherBlockSize: %d",
                       (int)pVaultFile->CipherBlockSize);
        } else {
            WriteTrace("ScannerWorker() - CheckVaultFileName failed - Failed!");
        }
    } __except (dwCode = GetExceptionCode(), EXCEPTION_EXECUTE_HANDLER) {
        WriteTrace("ScannerWorker() - GetFileNameFromVault() error code: %ld - Failed!", (long)dwCode);
    }
    pReply->Succeeded = 1;
    if (!pVaultFile->FileFound)
        WriteTrace("ScannerWorker() - GetFileNameFromVault GetFileNameFromVault processed returns with file found = FALSE");
    WriteLog("GetFileNameFromVault processed..........");
}

static void OnAuthenticateUser(Notification* pNotification, struct Reply* pReply)
{
    WriteTrace("ScannerWorker() - AuthenticateUser command received");
    PrepareVolume(pNotification, pNotification->Volume, L"Volume");
    pReply->Login.LoggedIn = ForcedLogin(pNotification) ? 1 : 0;
    if (pReply->Login.LoggedIn)
        WriteTrace("ScannerWorker() - AuthenticateUser - ForcedLogin() returned successsful login");
    else
        WriteTrace("ScannerWorker() - AuthenticateUser - ForcedLogin() returned failure");
    pReply->Succeeded = 1;
    WriteTrace("ScannerWorker() - AuthenticateUser processed");
}

static void OnUpdateMetaFileName(Notification* pNotification, struct ReplyMessage* pReplyMessage)
{
    WriteTrace("ScannerWorker() - UpdateMetaFileName command received");
    PrepareVolume(pNotification, pNotification->NewVolume, L"NewVolume");
    ReportOutcome(&pReplyMessage->Reply, UpdateNameInMetaFile(pNotification, pReplyMessage),
                  "ScannerWorker() - UpdateNameInMetaFile() succeeded ---",
                  "ScannerWorker() - UpdateNameInMetaFile() failed ---",
                  "ERROR!!! UpdateMetaFileName command failed....\n");
    WriteTrace("ScannerWorker() - UpdateMetaFileName processed");
}

static void OnDeleteFolder(Notification* pNotification, struct Reply* pReply)
{
    WriteTrace("ScannerWorker() - DeleteFolder command received");
    PrepareVolume(pNotification, pNotification->Volume, L"Volume");
    ReportOutcome(pReply, DeleteFilesInFolder(pNotification),
                  "ScannerWorker() - DeleteFilesInFolder() succeeded",
                  "ScannerWorker() - DeleteFilesInFolder() failed", NULL);
    WriteTrace("ScannerWorker() - DeleteFolder processed");
}

// Builds the vault folder path itself: Volume stays as the driver sent it.
static void OnGetLogicalFileDetails(Notification* pNotification, struct Reply* pReply)
{
    LOGICAL_FILE* pLogicalFile = &pReply->LogicalFile;
    WCHAR wszPath[MAX_PATH_CHARS];
    HRESULT hr;

    if (pNotification->IsNetwork) {
        WriteTrace("ScannerWorker() - GetLogicalFileDetails command received for network vault");
        hr = StringCchPrintfW(wszPath, ARRAYSIZE(wszPath), L"\\%ws", pNotification->Volume);
    } else {
        WriteTrace("ScannerWorker() - GetLogicalFileDetails command received for local vault");
        hr = FilterGetDosName(pNotification->Volume, wszPath, ARRAYSIZE(wszPath));
        if (FAILED(hr)) {
            WriteTrace("ScannerWorker() - FilterGetDosName() failed - Failed!");
            LogError("FilterGetDosName failed", "VaultService", 342);
            WriteLogW(L"FilterGetDosName failed in GetVaultFileName for %ws", pNotification->Volume);
            return;
        }
    }
    if (SUCCEEDED(hr))
        hr = StringCchCatW(wszPath, ARRAYSIZE(wszPath), pNotification->ParentDir);
    if (FAILED(hr)) {
        WriteTrace("ScannerWorker() - GetLogicalFileDetails - vault folder path too long - Failed!");
        return;
    }
    pReply->Succeeded = GetVaultFileDetails(wszPath, pNotification->FileName,
                                            pLogicalFile->FileName, &pLogicalFile->FSKHandle,
                                            &pLogicalFile->FileSize,
                                            &pLogicalFile->CipherBlockSize) ? 1 : 0;
    WriteTrace("ScannerWorker() - GetLogicalFileDetails processed");
}

// Blocks this worker until the user has read the warning.
static void OnNetworkEditMsg(struct Reply* pReply)
{
    WCHAR wszText[NETWORK_EDIT_TEXT_CHARS];

    WriteTrace("ScannerWorker() - NetworkEditMsg command recieved");
    if (LoadStringW(GetModuleHandleW(NULL), IDS_NETWORK_EDIT, wszText, ARRAYSIZE(wszText)) > 0)
        MessageBoxW(GetActiveWindow(), wszText, NULL, MB_OK);
    else
        MessageBoxW(GetActiveWindow(), L"Edit on Network Vaults is not supported", L"VuvuDovu", MB_OK);
    pReply->Succeeded = 1;
    WriteTrace("ScannerWorker() - NetworkEditMsg processed");
}

static void OnUpdateMetaFileSize2(Notification* pNotification, struct ReplyMessage* pReplyMessage)
{
    WriteTrace("ScannerWorker() - UpdateMetaFileSize2 command received");
    PrepareVolume(pNotification, pNotification->Volume, L"Volume");
    ReportOutcome(&pReplyMessage->Reply, UpdateMetaFileSizeFunc2(pNotification, pReplyMessage),
                  "ScannerWorker() - UpdateMetaFileSize2() succeeded",
                  "ScannerWorker() - UpdateMetaFileSize2() failed", NULL);
}

static void OnGetLogicalFileDetailsExCmd(Notification* pNotification,
                                         struct ReplyMessage* pReplyMessage)
{
    WriteTrace("ScannerWorker() - GetLogicalFileDetailsExCmd command received");
    PrepareVolume(pNotification, pNotification->Volume, L"Volume");
    ReportOutcome(&pReplyMessage->Reply, GetLogicalFileDetailsEx(pNotification, pReplyMessage),
                  "ScannerWorker() - GetLogicalFileDetailsEx() succeeded ---",
                  "ScannerWorker() - GetLogicalFileDetailsEx() failed",
                  "ERROR!!! GetLogicalFileDetailsEx command failed....\n");
    WriteTrace("ScannerWorker() - GetLogicalFileDetailsExCmd processed");
}

static void OnGetOldDriveName(Notification* pNotification, struct Reply* pReply)
{
    WCHAR wszVolume[MAX_PATH_CHARS];

    WriteTrace("ScannerWorker() - GetOldDriveName command received");
    StringCchCopyW(wszVolume, ARRAYSIZE(wszVolume), pNotification->Volume);
    pReply->OldDrive.Found = UpdateDriveList(wszVolume, pReply->OldDrive.OldVolume) ? 1 : 0;
    pReply->Succeeded = 1;
}

static BOOL UsesVaultKeys(ULONG eCommandType);
static void DispatchCommand(Notification* pNotification, struct ReplyMessage* pReplyMessage);

void DispatchRequest(Notification* pNotification, struct ReplyMessage* pReplyMessage)
{
    char szFault[128];
    DWORD dwFields;
    BOOL bUsesVaultKeys;

    if (!GetCommandFields(pNotification->eCommandType, &dwFields)) {
        WriteTrace("ScannerWorker() - command not handled - Failed");
        return;
    }
    if (!CheckRequestFields(pNotification, dwFields, szFault, sizeof(szFault))) {
        WriteTrace("ScannerWorker() - Malformed request refused, %s - Failed!", szFault);
        return;
    }

    // A vault's keys are not destroyed while a command may be using them.
    bUsesVaultKeys = UsesVaultKeys(pNotification->eCommandType);
    if (bUsesVaultKeys)
        BeginVaultKeyUse();
    __try {
        DispatchCommand(pNotification, pReplyMessage);
    } __finally {
        if (bUsesVaultKeys)
            EndVaultKeyUse();
    }
}

static BOOL UsesVaultKeys(ULONG eCommandType)
{
    switch (eCommandType) {
    case CreateFileInVault:
    case GetFileNameFromVault:
    case ParsedFileNew:
    case PreDirBrowsing:
    case UpdateMetaFileName:
    case GetLogicalFileDetails:
    case UpdateMetaFileSize2:
    case GetLogicalFileDetailsExCmd:
        return TRUE;
    }
    return FALSE;
}

static void DispatchCommand(Notification* pNotification, struct ReplyMessage* pReplyMessage)
{
    struct Reply* pReply = &pReplyMessage->Reply;

    switch (pNotification->eCommandType) {
    case CreateFileInVault:
        OnCreateFileInVault(pNotification, pReply);
        break;
    case GetFileNameFromVault:
        OnGetFileNameFromVault(pNotification, pReply);
        break;
    case AuthenticateUser:
        OnAuthenticateUser(pNotification, pReply);
        break;
    case EncryptBlock:
        OnEncryptBlock(pNotification, pReply);
        break;
    case GetNormalBuffer:
        OnGetNormalBuffer(pNotification, pReply);
        break;
    case ReleaseFSK:
        OnReleaseFSK(pNotification, pReply);
        break;
    case ParsedFileNew:
        OnParsedFileNew(pNotification, pReply);
        break;
    case PreDirBrowsing:
        OnPreDirBrowsing(pNotification, pReply);
        break;
    case UpdateMetaFileName:
        OnUpdateMetaFileName(pNotification, pReplyMessage);
        break;
    case DeleteFolder:
        OnDeleteFolder(pNotification, pReply);
        break;
    case GetLogicalFileDetails:
        OnGetLogicalFileDetails(pNotification, pReply);
        break;
    case NetworkEditMsg:
        OnNetworkEditMsg(pReply);
        break;
    case UpdateMetaFileSize2:
        OnUpdateMetaFileSize2(pNotification, pReplyMessage);
        break;
    case GetLogicalFileDetailsExCmd:
        OnGetLogicalFileDetailsExCmd(pNotification, pReplyMessage);
        break;
    case GetOldDriveName:
        OnGetOldDriveName(pNotification, pReply);
        break;
    case DeviceUnpluggedNotice:
        WriteTrace("ScannerWorker() - DeviceUnpluggedNotice command received");
        pReply->Succeeded = 1;
        break;
    }
}
