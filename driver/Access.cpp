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

}  // namespace driversim
