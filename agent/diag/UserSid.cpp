#include "diag/UserSid.h"
BOOL ObtainUserSid(DWORD, DWORD, PSID*) { return FALSE; }
BOOL SidToText(PSID, LPWSTR*) { return FALSE; }
LPCWSTR GetUserSidString(void) { return NULL; }
