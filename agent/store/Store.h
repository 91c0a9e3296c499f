// What the request channel asks of the vault file store. Each returns TRUE
// when it did its job; until the store is built they all report failure.
#pragma once

#include <windows.h>
#include "VaultWire.h"

// Meta text and file key of a new file: the text replaces Notification.Data,
// the key text goes to wszKeyText.
BOOL CreateVaultFile(Notification* pNotification, LONGLONG llFileSize, ULONG* pulFSKHandle,
                     ULONG* pulCipherBlockBytes, WCHAR* wszKeyText, DWORD cchKeyText);

// Reads the meta text in Notification.Data into the reply's VaultFile part.
BOOL CheckVaultFileName(Notification* pNotification, VAULT_FILE* pVaultFile,
                        ULONG* pulFSKHandle);

// Logical name, size and file key of a stored data file in a vault folder.
BOOL GetVaultFileDetails(LPCWSTR pwszFolderPath, LPCWSTR pwszDataFileName, WCHAR* wszNameOut,
                         ULONG* pulFSKHandle, LARGE_INTEGER* pliFileSize,
                         ULONG* pulCipherBlockBytes);

// The same from a meta text, into the reply's LogicalFile part.
BOOL GetLogicalFileDetailsEx(Notification* pNotification, struct ReplyMessage* pReplyMessage);

// A meta text rebuilt with a new logical name or a new size, into Reply.Buffer.
BOOL UpdateNameInMetaFile(Notification* pNotification, struct ReplyMessage* pReplyMessage);
BOOL UpdateMetaFileSizeFunc2(Notification* pNotification, struct ReplyMessage* pReplyMessage);

// Deletes the vault folder Volume + ParentDir + FileName.
BOOL DeleteFilesInFolder(Notification* pNotification);
