// Logging a vault in, and whether a vault is logged in.
#include <windows.h>
#include <shlwapi.h>
#include <strsafe.h>

#include "Companion.h"
#include "companion/Commands.h"
#include "companion/Sections.h"
#include "diag/Diag.h"
#include "drives/DriveMapping.h"
#include "keys/VaultKeys.h"
#include "res/resource.h"
#include "vaults/ControlMessages.h"

#define BOX_TEXT_CHARS 512

static void LoadText(UINT uId, LPCWSTR pwszFallback, WCHAR* wszText)
{
    if (LoadStringW(GetModuleHandleW(NULL), uId, wszText, BOX_TEXT_CHARS) == 0)
        StringCchCopyW(wszText, BOX_TEXT_CHARS, pwszFallback);
}

static void ShowVaultUnavailable(void)
{
    WCHAR wszText[BOX_TEXT_CHARS];
    WCHAR wszCaption[BOX_TEXT_CHARS];

    LoadText(IDS_VAULT_UNAVAILABLE, L"This vault is currently not available. If it was created on a "
             L"removable device, ensure that the device is accessible.", wszText);
    LoadText(IDS_PRODUCT_NAME, L"Vuzaziz", wszCaption);
    MessageBoxW(GetActiveWindow(), wszText, wszCaption, MB_OK);
}

static void ShowConnectFailed(const VaultCacheEntry* pVault)
{
    WCHAR wszFormat[BOX_TEXT_CHARS];
    WCHAR wszText[BOX_TEXT_CHARS];
    WCHAR wszCaption[BOX_TEXT_CHARS];

    LoadText(IDS_CONNECT_FAILED, L" Failed to connect to %ws(%ws)", wszFormat);
    LoadText(IDS_PRODUCT_NAME, L"Vuzaziz", wszCaption);
    StringCchPrintfW(wszText, BOX_TEXT_CHARS, wszFormat, pVault->wszLabel, pVault->wszDrive);
    MessageBoxW(GetActiveWindow(), wszText, wszCaption, MB_OK | MB_ICONERROR);
}

// The login itself; the view's 520 bytes are cleared and hold the answer.
GUARDED_BODY static void LogIn(VAULT_PATH_SECTION* pView)
{
    WCHAR wszPath[COMPANION_PATH_CHARS];
    VaultCacheEntry* pVault;
    HCRYPTKEY hKey = 0;
    HCRYPTPROV hProv = 0;

    CopySectionPath(pView->wszPath, wszPath);
    ZeroMemory(pView, sizeof(*pView));
    pVault = GetVaultInCacheEx(wszPath);
    if (pVault == NULL)
        return;
    // Key loading only accepts logged-in vaults.
    pVault->bLoggedIn = 1;
    if (!PathFileExistsW(wszPath) || !IsVaultFunctional(pVault)) {
        ShowVaultUnavailable();
        ZeroMemory(pView, sizeof(*pView));
        pVault->bLoggedIn = 0;
        return;
    }
    if (GetKeysForVaultEx(wszPath, &hKey, &hProv)) {
        WriteLog("CALLING SendLoginStatus to Filter with TRUE");
        SendLoginStatusToFilter(pVault, TRUE);
        ZeroMemory(pView, sizeof(*pView));
        pView->dwResult = 1;
        SetVaultAvailableFlag(pVault, 1);
    } else {
        ZeroMemory(pView, sizeof(*pView));
        pVault->bLoggedIn = 0;
        ShowConnectFailed(pVault);
    }
}

BOOL SetLoggedInStatus(void)
{
    COMPANION_SECTION section = { NULL, NULL };
    HANDLE hEvent = NULL;
    BOOL bResult = FALSE;

    WriteTrace("SetLoggedInStatus() - Start");
    if (!OpenCommandSection(SECTION_VAULT_DESCRIPTION, sizeof(VAULT_PATH_SECTION), &section, "SetLoggedInStatus",
                            "Failed!"))
        return FALSE;
    __try {
        hEvent = OpenCompanionEvent(EVENT_LOGIN);
        LogIn((VAULT_PATH_SECTION*)section.pView);
        WriteLog("___________All Well in create______ \n");
        bResult = TRUE;
    } __except (ExceptionFilter(GetExceptionInformation())) {
        WriteTrace("SetLoggedInStatus() - Exception occured - Failed!");
        bResult = FALSE;
    }
    CloseCompanionSection(&section);
    SignalCompanionEvent(&hEvent);
    if (bResult)
        WriteTrace("SetLoggedInStatus() - End");
    return bResult;
}

GUARDED_BODY static void AnswerLoginStatus(VAULT_PATH_SECTION* pView, HANDLE* phEvent)
{
    WCHAR wszPath[COMPANION_PATH_CHARS];

    *phEvent = OpenCompanionEvent(EVENT_LOGIN_STATUS);
    CopySectionPath(pView->wszPath, wszPath);
    ZeroMemory(pView, sizeof(*pView));
    if (GetVaultInCache2(wszPath) != NULL)
        pView->dwResult = 1;
    SignalCompanionEvent(phEvent);
    WriteLog("___________All Well in create______ \n");
}

BOOL GetLoggedInStatus(void)
{
    COMPANION_SECTION section = { NULL, NULL };
    HANDLE hEvent = NULL;
    BOOL bResult = FALSE;

    WriteTrace("GetLoggedInStatus() - Start");
    __try {
        if (OpenCommandSection(SECTION_LOGIN_STATUS, sizeof(VAULT_PATH_SECTION), &section, "GetLoggedInStatus",
                               "Failed!")) {
            AnswerLoginStatus((VAULT_PATH_SECTION*)section.pView, &hEvent);
            bResult = TRUE;
        }
    } __except (ExceptionFilter(GetExceptionInformation())) {
        WriteTrace("GetLoggedInStatus() - Exception occured - Failed!");
        bResult = FALSE;
    }
    if (hEvent != NULL)
        CloseHandle(hEvent);
    CloseCompanionSection(&section);
    WriteTrace("GetLoggedInStatus() - End");
    return bResult;
}
