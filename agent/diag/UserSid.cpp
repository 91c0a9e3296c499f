// The user's SID and its text form.
#include <windows.h>
#include <strsafe.h>

#include "diag/Diag.h"
#include "diag/UserSid.h"

// Made at the very start of the process, before any worker thread exists.
static LPWSTR wcSidString;

BOOL ObtainUserSid(DWORD dwThreadId, DWORD dwProcessId, PSID* ppSid)
{
    BOOL bResult = FALSE;
    HANDLE hThread = NULL;
    HANDLE hProcess = NULL;
    HANDLE hToken = NULL;
    PTOKEN_USER pTokenUser = NULL;
    PSID pSid = NULL;
    DWORD dwSize = 0;
    DWORD dwSidLength;
    DWORD dwError;

    WriteTrace("ObtainUserSid - Start");
    __try {
        __try {
            hThread = OpenThread(READ_CONTROL | THREAD_IMPERSONATE | THREAD_QUERY_INFORMATION,
                                 FALSE, dwThreadId);
            if (!hThread) {
                dwError = GetLastError();
                WriteTrace("ObtainUserSid - OpenThreadToken Error");
                WriteLog("OpenThreadToken Error: %d\n", dwError);
                __leave;
            }

            // Open as self: the impersonated user may not be allowed to open
            // its own token. No token means the thread runs as the process.
            if (!OpenThreadToken(hThread, TOKEN_ALL_ACCESS, TRUE, &hToken)) {
                dwError = GetLastError();
                hToken = NULL;
                if (dwError == ERROR_NO_TOKEN) {
                    CloseHandle(hThread);
                    hThread = NULL;
                    hProcess = OpenProcess(READ_CONTROL | PROCESS_QUERY_INFORMATION, FALSE, dwProcessId);
                    if (!hProcess)
                        dwError = GetLastError();
                }
                if (!hProcess) {
                    WriteTrace("ObtainUserSid - OpenProcessToken or OpenThreadToken Error");
                    WriteLog("OpenProcessToken or OpenThreadToken Error: %d\n", dwError);
                    __leave;
                }
                if (!OpenProcessToken(hProcess, TOKEN_ALL_ACCESS, &hToken)) {
                    dwError = GetLastError();
                    hToken = NULL;
                    WriteTrace("ObtainUserSid - OpenProcessToken Error");
                    WriteLog("OpenProcessToken Error code : %d\n", dwError);
                    __leave;
                }
            }

            if (GetTokenInformation(hToken, TokenUser, NULL, 0, &dwSize)) {
                WriteLog("Failed determine the size of the buffer error :%d\n", GetLastError());
                __leave;
            }
            dwError = GetLastError();
            if (dwError != ERROR_INSUFFICIENT_BUFFER) {
                WriteLog("GetTokenInformation is intended to fail intentionally error  :%d\n", dwError);
                __leave;
            }

            pTokenUser = (PTOKEN_USER)HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, dwSize);
            if (!pTokenUser)
                __leave;
            if (!GetTokenInformation(hToken, TokenUser, pTokenUser, dwSize, &dwSize)) {
                dwError = GetLastError();
                WriteTrace("ObtainUserSid - Failed inside GetTokenInformation");
                WriteLog("Failed inside GetTokenInformation %d\n", dwError);
                __leave;
            }

            if (!IsValidSid(pTokenUser->User.Sid)) {
                WriteLog("Failed IsValidSid error :%d\n", GetLastError());
                __leave;
            }
            dwSidLength = GetLengthSid(pTokenUser->User.Sid);
            pSid = HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, dwSidLength);
            if (!pSid) {
                WriteLog("Failed (PSID)HeapAlloc error: %d\n", GetLastError());
                __leave;
            }
            if (!CopySid(dwSidLength, pSid, pTokenUser->User.Sid)) {
                dwError = GetLastError();
                HeapFree(GetProcessHeap(), 0, pSid);
                pSid = NULL;
                WriteTrace("ObtainUserSid - Failed CopySid function error");
                WriteLog("Failed CopySid function error: %d\n", dwError);
                __leave;
            }

            WriteLog("Successfully obtain the user sid\n");
            *ppSid = pSid;
            bResult = TRUE;
        } __finally {
            if (pTokenUser)
                HeapFree(GetProcessHeap(), 0, pTokenUser);
            if (hToken)
                CloseHandle(hToken);
            if (hThread)
                CloseHandle(hThread);
            if (hProcess)
                CloseHandle(hProcess);
        }
    } __except (EXCEPTION_EXECUTE_HANDLER) {
        if (!bResult && pSid)
            HeapFree(GetProcessHeap(), 0, pSid);
        WriteTrace("ObtainUserSid - Exception occured - Failed!");
    }
    WriteTrace("ObtainUserSid - End");
    return bResult;
}

BOOL SidToText(PSID pSid, LPWSTR* ppwszText)
{
    BOOL bResult = FALSE;
    LPWSTR pwszText = NULL;
    LPWSTR pwszEnd;
    size_t cchRemaining;
    PSID_IDENTIFIER_AUTHORITY pAuthority;
    DWORD dwSubAuthorities;
    DWORD dwIndex;
    HRESULT hr;

    __try {
        if (!IsValidSid(pSid))
            __leave;

        pAuthority = GetSidIdentifierAuthority(pSid);
        dwSubAuthorities = *GetSidSubAuthorityCount(pSid);
        cchRemaining = 15 + 12 + 12 * dwSubAuthorities + 1;
        pwszText = (LPWSTR)LocalAlloc(LMEM_FIXED, cchRemaining * sizeof(WCHAR));
        if (!pwszText)
            __leave;

        pwszEnd = pwszText;
        hr = StringCchPrintfExW(pwszEnd, cchRemaining, &pwszEnd, &cchRemaining, 0,
                                L"S-%lu-", (ULONG)SID_REVISION);
        if (SUCCEEDED(hr) && (pAuthority->Value[0] != 0 || pAuthority->Value[1] != 0)) {
            hr = StringCchPrintfExW(pwszEnd, cchRemaining, &pwszEnd, &cchRemaining, 0,
                                    L"0x%02hx%02hx%02hx%02hx%02hx%02hx",
                                    (USHORT)pAuthority->Value[0], (USHORT)pAuthority->Value[1],
                                    (USHORT)pAuthority->Value[2], (USHORT)pAuthority->Value[3],
                                    (USHORT)pAuthority->Value[4], (USHORT)pAuthority->Value[5]);
        } else if (SUCCEEDED(hr)) {
            hr = StringCchPrintfExW(pwszEnd, cchRemaining, &pwszEnd, &cchRemaining, 0, L"%lu",
                                    (ULONG)pAuthority->Value[5] + ((ULONG)pAuthority->Value[4] << 8)
                                        + ((ULONG)pAuthority->Value[3] << 16)
                                        + ((ULONG)pAuthority->Value[2] << 24));
        }
        for (dwIndex = 0; SUCCEEDED(hr) && dwIndex < dwSubAuthorities; dwIndex++) {
            hr = StringCchPrintfExW(pwszEnd, cchRemaining, &pwszEnd, &cchRemaining, 0, L"-%lu",
                                    *GetSidSubAuthority(pSid, dwIndex));
        }
        if (FAILED(hr))
            __leave;

        WriteLog("Sid calculated: %ws", pwszText);
        *ppwszText = pwszText;
        bResult = TRUE;
    } __except (EXCEPTION_EXECUTE_HANDLER) {
        bResult = FALSE;
    }
    if (!bResult && pwszText)
        LocalFree(pwszText);
    return bResult;
}

LPCWSTR GetUserSidString(void)
{
    PSID pSid = NULL;
    LPWSTR pwszText = NULL;

    if (wcSidString)
        return wcSidString;
    if (ObtainUserSid(GetCurrentThreadId(), GetCurrentProcessId(), &pSid)) {
        if (SidToText(pSid, &pwszText))
            wcSidString = pwszText;
        HeapFree(GetProcessHeap(), 0, pSid);
    }
    return wcSidString;
}

LPCWSTR PeekUserSidString(void)
{
    return wcSidString;
}

void ResetUserSidString(void)
{
    if (wcSidString)
        LocalFree(wcSidString);
    wcSidString = NULL;
}
