#include "Access.h"

#include <sddl.h>

#include <string>

namespace driversim {

PSECURITY_DESCRIPTOR OwnerOnlyDescriptor(const wchar_t* pwszRights)
{
    HANDLE hToken = NULL;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &hToken))
        return NULL;
    BYTE user[SECURITY_MAX_SID_SIZE + sizeof(TOKEN_USER)];
    DWORD cb = 0;
    BOOL bOk = GetTokenInformation(hToken, TokenUser, user, sizeof(user), &cb);
    CloseHandle(hToken);
    LPWSTR pwszSid = NULL;
    if (!bOk || !ConvertSidToStringSidW(((TOKEN_USER*)user)->User.Sid, &pwszSid))
        return NULL;
    const std::wstring rights = pwszRights;
    std::wstring sddl = L"D:P(A;;" + rights + L";;;" + pwszSid + L")(A;;" + rights + L";;;SY)";
    LocalFree(pwszSid);
    PSECURITY_DESCRIPTOR pSd = NULL;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &pSd, NULL))
        return NULL;
    return pSd;
}

DWORD WaitedTransfer(HANDLE h, bool bWrite, void* p, DWORD cb, DWORD* pcbDone, HANDLE hEvent, HANDLE hStop,
                     DWORD timeoutMs)
{
    OVERLAPPED ov = {};
    ov.hEvent = hEvent;
    *pcbDone = 0;
    BOOL bOk = bWrite ? WriteFile(h, p, cb, NULL, &ov) : ReadFile(h, p, cb, NULL, &ov);
    DWORD dwError = bOk ? 0 : GetLastError();
    if (dwError != 0 && dwError != ERROR_IO_PENDING && dwError != ERROR_MORE_DATA)
        return dwError;
    HANDLE waits[2] = {hEvent, hStop};
    DWORD dwWait = dwError == 0 ? WAIT_OBJECT_0 : WaitForMultipleObjects(2, waits, FALSE, timeoutMs);
    if (dwWait == WAIT_OBJECT_0)
        return GetOverlappedResult(h, &ov, pcbDone, FALSE) ? 0 : GetLastError();
    CancelIoEx(h, &ov);
    GetOverlappedResult(h, &ov, pcbDone, TRUE);
    return dwWait == WAIT_TIMEOUT ? ERROR_TIMEOUT : ERROR_OPERATION_ABORTED;
}

}  // namespace driversim
