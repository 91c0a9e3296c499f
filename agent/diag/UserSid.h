// The user's SID and its text form (S-1-5-21-...).
#pragma once

#include <windows.h>

// SID of the token under which the thread runs (its impersonation token, or
// the process token). The copy comes from the process heap; the caller frees it.
BOOL ObtainUserSid(DWORD dwThreadId, DWORD dwProcessId, PSID* ppSid);

// Text form of a SID, allocated with LocalAlloc; the caller frees it.
BOOL SidToText(PSID pSid, LPWSTR* ppwszText);

// The process's cached SID text, made on first use; NULL when it cannot be made.
LPCWSTR GetUserSidString(void);

// The cached text as it stands, NULL until GetUserSidString has made it. Line
// prefixes read it this way, since making it writes log lines itself.
LPCWSTR PeekUserSidString(void);

// For in-process tests: frees the cached text, as before start-up.
void ResetUserSidString(void);
