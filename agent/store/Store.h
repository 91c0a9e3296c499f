// The vault file store as the request channel uses it: stored names turned
// into logical names and back, new files, meta text updates and folder
// deletion. File keys go to the driver as values of the file key table.
#pragma once

#include <windows.h>
#include <wincrypt.h>

#include "VaultWire.h"

#define STORE_PATH_CHARS MAX_PATH_CHARS

typedef enum _FOLDER_PATH_RESULT {
    FOLDER_PATH_FORMED,
    FOLDER_PATH_NO_DOS_NAME,   // the volume has no drive letter
    FOLDER_PATH_TOO_LONG,
} FOLDER_PATH_RESULT;

// The vault folder of a request: the DOS form of the volume (a network
// volume as it stands) followed by the parent folder, in 260 characters.
FOLDER_PATH_RESULT FormVaultFolderPath(LPCWSTR pwszVolume, BOOLEAN bIsNetwork, LPCWSTR pwszParentDir,
                                       WCHAR* wszPath);

// What an operation writes when the vault folder path cannot be formed
// because the volume has no DOS name: a trace line, an error record (when
// pszErrorRecord is given) and a log line with the volume.
typedef struct _FOLDER_PATH_FAILURE {
    const char* pszTrace;
    const char* pszErrorRecord;
    int         nErrorLine;
    const char* pszLogFormat;
    const char* pszLogLine;       // a further log line, or NULL
} FOLDER_PATH_FAILURE;

// FormVaultFolderPath with the failure reported: TRUE when the path is formed.
BOOL FormFolderPathOrReport(LPCWSTR pwszVolume, BOOLEAN bIsNetwork, LPCWSTR pwszParentDir, WCHAR* wszPath,
                            const char* pszOperation, const FOLDER_PATH_FAILURE* pFailure);

// Logical names compare with only A to Z folded.
BOOL LogicalNamesEqual(LPCWSTR pwszFirst, LPCWSTR pwszSecond);

// The logical name, size and key text of the stored file whose meta file
// is pwszStoredName in the folder.
BOOL GetRealFileName(HCRYPTKEY hVaultKey, LPCWSTR pwszFolder, LPCWSTR pwszStoredName, WCHAR* wszNameOut,
                     LARGE_INTEGER* pliSizeOut, WCHAR* wszKeyTextOut, DWORD cchKeyTextOut);
// Searches the folder for the logical name in wszName (260 characters); on
// success wszName holds the data file name instead.
BOOL GetDataFileName(HCRYPTKEY hVaultKey, LPCWSTR pwszFolder, WCHAR* wszName, LARGE_INTEGER* pliSizeOut,
                     WCHAR* wszKeyTextOut, DWORD cchKeyTextOut);

// GetFileNameFromVault: the meta text in Notification.Data into the reply's
// VaultFile part; *pulFSKHandle the file key when it could be imported.
BOOL CheckVaultFileName(Notification* pNotification, VAULT_FILE* pVaultFile, ULONG* pulFSKHandle);
// GetLogicalFileDetails: name, size and file key of a stored data file.
BOOL GetVaultFileDetails(LPCWSTR pwszFolderPath, LPCWSTR pwszDataFileName, WCHAR* wszNameOut,
                         ULONG* pulFSKHandle, LARGE_INTEGER* pliFileSize, ULONG* pulCipherBlockBytes);
// GetLogicalFileDetailsExCmd: the same from a meta text, into the reply's LogicalFile part.
BOOL GetLogicalFileDetailsEx(Notification* pNotification, struct ReplyMessage* pReplyMessage);

// CreateFileInVault: the new file's key and meta text. The text replaces
// Notification.Data; *pdwKeyLength: capacity of wszKeyText in, the wrapped
// key's byte length out.
BOOL CreateVaultFile(Notification* pNotification, LARGE_INTEGER liSize, ULONG* pulFSKHandle,
                     ULONG* pulCipherBlockBytes, WCHAR* wszKeyText, DWORD* pdwKeyLength);

// A meta text rebuilt with a new logical name or a new size, into Reply.Buffer.
BOOL UpdateNameInMetaFile(Notification* pNotification, struct ReplyMessage* pReplyMessage);
BOOL UpdateMetaFileSizeFunc2(Notification* pNotification, struct ReplyMessage* pReplyMessage);

// DeleteFolder: the folder Volume + ParentDir + FileName and all it holds.
BOOL DeleteFilesInFolder(Notification* pNotification);
BOOL DeleteDirectory(LPCWSTR pwszFolder);
