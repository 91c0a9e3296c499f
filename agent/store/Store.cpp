#include "store/Store.h"

BOOL CreateVaultFile(Notification*, LONGLONG, ULONG*, ULONG*, WCHAR*, DWORD) { return FALSE; }
BOOL CheckVaultFileName(Notification*, VAULT_FILE*, ULONG*) { return FALSE; }
BOOL GetVaultFileDetails(LPCWSTR, LPCWSTR, WCHAR*, ULONG*, LARGE_INTEGER*, ULONG*) { return FALSE; }
BOOL GetLogicalFileDetailsEx(Notification*, struct ReplyMessage*) { return FALSE; }
BOOL UpdateNameInMetaFile(Notification*, struct ReplyMessage*) { return FALSE; }
BOOL UpdateMetaFileSizeFunc2(Notification*, struct ReplyMessage*) { return FALSE; }
BOOL DeleteFilesInFolder(Notification*) { return FALSE; }
