// The driver's AuthenticateUser: is the vault of this file logged in now?
#include <windows.h>
#include <fltuser.h>
#include <strsafe.h>

#include "diag/Diag.h"
#include "keys/ForcedLogin.h"
#include "keys/VaultKeys.h"

#define FORCED_LOGIN_PATH_CHARS 260

// The DOS path of the file (the network volume as it stands); FALSE when it
// cannot be formed in 260 characters.
static BOOL FormFilePath(const Notification* pNotification, WCHAR* wszPath)
{
    HRESULT hr = S_OK;

    if (pNotification->IsNetwork) {
        hr = StringCchCopyW(wszPath, FORCED_LOGIN_PATH_CHARS, pNotification->Volume);
    } else if (FAILED(FilterGetDosName(pNotification->Volume, wszPath, FORCED_LOGIN_PATH_CHARS))) {
        WriteTrace("ForcedLogin() - Call to FilterGetDosName() Failed");
        LogError("FilterGetDosName failed", "CreateFile", 1037);
        return FALSE;
    }
    return SUCCEEDED(hr) &&
           SUCCEEDED(StringCchCatW(wszPath, FORCED_LOGIN_PATH_CHARS, pNotification->ParentDir)) &&
           SUCCEEDED(StringCchCatW(wszPath, FORCED_LOGIN_PATH_CHARS, pNotification->FileName));
}

GUARDED_BODY static BOOL CheckLogin(const Notification* pNotification)
{
    WCHAR wszPath[FORCED_LOGIN_PATH_CHARS];
    HCRYPTKEY hKey = 0;
    HCRYPTPROV hProv = 0;
    BOOL bLoggedIn;

    WriteLog("ForcedLogin - entered------------------------\n");
    WriteLog("notification->Volume: %ws", pNotification->Volume);
    WriteLog("notification->Volume length: %d", (int)wcslen(pNotification->Volume));
    WriteLog("notification->ParentDir: %ws", pNotification->ParentDir);
    WriteLog("notification->ParentDir length: %d", (int)wcslen(pNotification->ParentDir));
    WriteLog("notification->FileName: %ws", pNotification->FileName);
    WriteLog("notification->FileName length: %d", (int)wcslen(pNotification->FileName));
    if (!FormFilePath(pNotification, wszPath))
        return FALSE;
    WriteLog("File Path after filename ------------------------- %ws\n", wszPath);
    bLoggedIn = GetKeysForVault(wszPath, &hKey, &hProv);
    if (bLoggedIn) {
        WriteLog("Successfully got keys\n");
    } else {
        WriteTrace("ForcedLogin() - failed to get keys");
        WriteLog("failed to get keys\n");
    }
    WriteLog("ForcedLogin - Exit------------------------\n");
    return bLoggedIn;
}

BOOL ForcedLogin(Notification* pNotification)
{
    BOOL bLoggedIn = FALSE;

    WriteTrace("ForcedLogin() - Start");
    __try {
        bLoggedIn = CheckLogin(pNotification);
    } __except (EXCEPTION_EXECUTE_HANDLER) {
        WriteTrace("ForcedLogin() - Exception occured");
        bLoggedIn = FALSE;
    }
    WriteTrace("ForcedLogin() - End");
    return bLoggedIn;
}
