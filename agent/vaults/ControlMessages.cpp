// Control messages to the driver.
#include <windows.h>
#include <fltuser.h>

#include "diag/Diag.h"
#include "diag/UserSid.h"
#include "drives/DriveMapping.h"
#include "host/Host.h"
#include "vaults/ControlMessages.h"

HRESULT SendControlMessage(VaultControlMessage* pMessage, DWORD cbReply)
{
    BYTE abReply[VAULT_CONTROL_REPLY_SIZE];
    DWORD dwReturned = 0;

    return FilterSendMessage(g_hFilterPort, pMessage, sizeof(*pMessage), abReply, cbReply,
                             &dwReturned);
}

BOOL SendLoginStatusToFilter(const VaultCacheEntry* pRecord, BOOL bLoggedIn)
{
    VaultControlMessage message;

    WriteTrace("SendLoginStatusToFilter() - Start");
    ZeroMemory(&message, sizeof(message));
    message.dwCommand = bLoggedIn ? VAULT_LOGGED_IN : VAULT_LOGGED_OUT;
    message.dwCount = 1;
    GetDeviceName(pRecord->wszPath, message.wszDevicePath[0]);
    SendControlMessage(&message, VAULT_CONTROL_REPLY_SIZE);
    WriteTrace("SendLoginStatusToFilter() - End");
    return TRUE;
}

void SendDumpMessageToFilter(void)
{
    VaultControlMessage message;
    HRESULT hr;

    WriteTrace("SendDumpMessageToFilter() - Start");
    ZeroMemory(&message, sizeof(message));
    message.dwCommand = DUMP_OPEN_FILES;
    MessageBoxW(GetActiveWindow(), L"Sending DUMP_OPEN_FILES message", L"Vault service", MB_OK);
    hr = SendControlMessage(&message, VAULT_CONTROL_SHORT_REPLY);
    if (SUCCEEDED(hr)) {
        MessageBoxW(GetActiveWindow(), L"Message Sent successfully", L"Vault service", MB_OK);
    } else {
        WriteTrace("SendDumpMessageToFilter() - FilterSendMessage() failed - Failed!");
        MessageBoxW(GetActiveWindow(), L"Message Sent failed", L"Vault service", MB_OK);
    }
    WriteTrace("SendDumpMessageToFilter() - End");
}

DWORD GetSidTextForMessage(LPWSTR* ppwszText, BOOL bLogSteps)
{
    PSID pSid = NULL;
    BOOL bObtained;

    *ppwszText = NULL;
    bObtained = ObtainUserSid(GetCurrentThreadId(), GetCurrentProcessId(), &pSid);
    if (bLogSteps)
        WriteLog("After calling ObtainUserSid: %d\n", (int)GetLastError());
    if (!bObtained) {
        if (pSid != NULL)
            HeapFree(GetProcessHeap(), 0, pSid);
        return 0;
    }
    if (bLogSteps)
        WriteLog("Before calling ConvertSidToStringSid: %d\n", (int)GetLastError());
    SidToText(pSid, ppwszText);
    HeapFree(GetProcessHeap(), 0, pSid);
    return *ppwszText != NULL ? (DWORD)lstrlenW(*ppwszText) : 0;
}

BOOL PutSidIntoMessage(LPWSTR pwszText, DWORD dwChars, VaultControlMessage* pMessage)
{
    char szSid[sizeof(pMessage->szSid)];
    DWORD dwError;
    int cbSid;

    ZeroMemory(szSid, sizeof(szSid));
    cbSid = WideCharToMultiByte(CP_UTF8, 0, pwszText, (int)dwChars, szSid, sizeof(szSid), NULL, NULL);
    dwError = GetLastError();
    if (LocalFree(pwszText) != NULL)
        WriteLog("LocalFree failed :%d\n", (int)GetLastError());
    if (cbSid == 0) {
        // The caller reports the conversion's error.
        SetLastError(dwError);
        return FALSE;
    }
    CopyMemory(pMessage->szSid, szSid, sizeof(szSid));
    pMessage->dwSidLength = dwChars;
    return TRUE;
}
