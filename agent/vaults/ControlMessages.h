// Control messages to the driver: which vaults exist, which are logged in,
// which went away, and the request to dump open files.
#pragma once

#include <windows.h>

#include "VaultWire.h"
#include "vaults/VaultCache.h"

// Sends one message on the filter port with a reply buffer of cbReply bytes
// (which nobody reads) and returns the driver's result.
HRESULT SendControlMessage(VaultControlMessage* pMessage, DWORD cbReply);

// VAULT_LOGGED_IN (TRUE) or VAULT_LOGGED_OUT (FALSE) for the record's
// folder. Always TRUE.
BOOL SendLoginStatusToFilter(const VaultCacheEntry* pRecord, BOOL bLoggedIn);
// DUMP_OPEN_FILES, between two message boxes.
void SendDumpMessageToFilter(void);

// The SID text of the thread's user for a message: its length in
// characters (0 when it cannot be made; *ppwszText may still need freeing).
// bLogSteps logs the last error after getting the SID and before its text.
DWORD GetSidTextForMessage(LPWSTR* ppwszText, BOOL bLogSteps);
// Converts the text into the message's SID fields and frees it. FALSE when
// the conversion fails (the text is freed all the same).
BOOL PutSidIntoMessage(LPWSTR pwszText, DWORD dwChars, VaultControlMessage* pMessage);
