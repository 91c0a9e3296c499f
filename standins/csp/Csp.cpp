// A CryptoAPI service provider of type PROV_RSA_FULL that hands every call to
// Wine's software provider rsaenh.dll and adds what rsaenh lacks: the
// SYMMETRICWRAPKEYBLOB key wrap (KeyWrap.cpp), and key pairs that reach
// their container as soon as they are generated. Every handle is rsaenh's.
#include "Csp.h"

#include <map>
#include <set>
#include <string>
#include <vector>

// rsaenh picks its personality by the provider name; under whichever name
// it was registered, this provider is the strong software one.
static const char kStrongName[] = "Microsoft Strong Cryptographic Provider";

static Rsaenh    g_rsa;
static INIT_ONCE g_loadOnce = INIT_ONCE_STATIC_INIT;

// Contexts acquired with CRYPT_VERIFYCONTEXT: they have no container to store
// a pair in.
static SRWLOCK              g_verifyLock = SRWLOCK_INIT;
static std::set<HCRYPTPROV> g_verifyContexts;
// The name each context was acquired under: PP_NAME answers with it, as the
// provider registered under that name would.
static std::map<HCRYPTPROV, std::string> g_contextNames;

const Rsaenh& Rsa() { return g_rsa; }

static BOOL CALLBACK LoadRsaenh(PINIT_ONCE, PVOID, PVOID*)
{
    // advapi32 loads a provider with each context and unloads it with the
    // context, while rsaenh holds every context's handles: both DLLs stay
    // loaded for the life of the process.
    HMODULE hSelf;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                       (LPCWSTR)&LoadRsaenh, &hSelf);
    WCHAR wszPath[MAX_PATH];
    UINT cch = GetSystemDirectoryW(wszPath, MAX_PATH);
    if (cch == 0 || cch + 12 > MAX_PATH)
        return FALSE;
    lstrcatW(wszPath, L"\\rsaenh.dll");
    HMODULE hRsaenh = LoadLibraryW(wszPath);
    if (hRsaenh == NULL)
        return FALSE;
#define CSP_RESOLVE(name)                                                      \
    if (!(g_rsa.name = (decltype(g_rsa.name))GetProcAddress(hRsaenh, #name))) \
        return FALSE;
    CSP_ENTRY_POINTS(CSP_RESOLVE)
#undef CSP_RESOLVE
    return TRUE;
}

static bool IsVerifyContext(HCRYPTPROV hProv)
{
    AcquireSRWLockShared(&g_verifyLock);
    bool bVerify = g_verifyContexts.count(hProv) != 0;
    ReleaseSRWLockShared(&g_verifyLock);
    return bVerify;
}

static bool IsKeyPair(ALG_ID Algid)
{
    return Algid == AT_KEYEXCHANGE || Algid == AT_SIGNATURE || Algid == CALG_RSA_KEYX ||
           Algid == CALG_RSA_SIGN;
}

// rsaenh stores a pair made by CPGenKey only when the context is released, so
// another context, here or in another process, finds no pair until then (two
// vaults on one container would each make their own). A private key blob that
// rsaenh imports into a container is stored at once: the pair is generated
// exportable in a context of its own without a container, moved in through
// its blob with the caller's exportability, and the side copy destroyed. The
// blob keeps the key length.
static BOOL GenStoredPair(HCRYPTPROV hProv, ALG_ID Algid, DWORD dwFlags, HCRYPTKEY* phKey)
{
    ProvVTable vt = {3, NULL, NULL, PROV_RSA_FULL, NULL, 0, (LPSTR)kStrongName};
    HCRYPTPROV hSideProv;
    HCRYPTKEY  hSide;
    if (!g_rsa.CPAcquireContext(&hSideProv, NULL, CRYPT_VERIFYCONTEXT, &vt))
        return FALSE;
    std::vector<BYTE> blob;
    DWORD cb = 0;
    BOOL bMade = g_rsa.CPGenKey(hSideProv, Algid, dwFlags | CRYPT_EXPORTABLE, &hSide);
    BOOL bOk = bMade && g_rsa.CPExportKey(hSideProv, hSide, 0, PRIVATEKEYBLOB, 0, NULL, &cb);
    if (bOk) {
        blob.resize(cb);
        bOk = g_rsa.CPExportKey(hSideProv, hSide, 0, PRIVATEKEYBLOB, 0, blob.data(), &cb) &&
              g_rsa.CPImportKey(hProv, blob.data(), cb, 0,
                                dwFlags & (CRYPT_EXPORTABLE | CRYPT_USER_PROTECTED), phKey);
    }
    DWORD dwError = GetLastError();
    SecureZeroMemory(blob.data(), blob.size());
    if (bMade)
        g_rsa.CPDestroyKey(hSideProv, hSide);
    g_rsa.CPReleaseContext(hSideProv, 0);
    SetLastError(dwError);
    return bOk;
}

BOOL WINAPI CPAcquireContext(HCRYPTPROV* phProv, LPSTR pszContainer, DWORD dwFlags,
                             ProvVTable* pVTable)
{
    if (!InitOnceExecuteOnce(&g_loadOnce, LoadRsaenh, NULL, NULL)) {
        SetLastError(NTE_PROVIDER_DLL_FAIL);
        return FALSE;
    }
    ProvVTable vt = {};
    if (pVTable != NULL)
        vt = *pVTable;
    const std::string name = vt.pszProvName != NULL ? vt.pszProvName : kStrongName;
    vt.pszProvName = (LPSTR)kStrongName;
    if (!g_rsa.CPAcquireContext(phProv, pszContainer, dwFlags, &vt))
        return FALSE;
    if (dwFlags & CRYPT_DELETEKEYSET)
        return TRUE;
    AcquireSRWLockExclusive(&g_verifyLock);
    if (dwFlags & CRYPT_VERIFYCONTEXT)
        g_verifyContexts.insert(*phProv);
    g_contextNames[*phProv] = name;
    ReleaseSRWLockExclusive(&g_verifyLock);
    return TRUE;
}

BOOL WINAPI CPReleaseContext(HCRYPTPROV hProv, DWORD dwFlags)
{
    AcquireSRWLockExclusive(&g_verifyLock);
    g_verifyContexts.erase(hProv);
    g_contextNames.erase(hProv);
    ReleaseSRWLockExclusive(&g_verifyLock);
    return g_rsa.CPReleaseContext(hProv, dwFlags);
}

BOOL WINAPI CPGenKey(HCRYPTPROV hProv, ALG_ID Algid, DWORD dwFlags, HCRYPTKEY* phKey)
{
    if (IsKeyPair(Algid) && !IsVerifyContext(hProv))
        return GenStoredPair(hProv, Algid, dwFlags, phKey);
    return g_rsa.CPGenKey(hProv, Algid, dwFlags, phKey);
}

BOOL WINAPI CPExportKey(HCRYPTPROV hProv, HCRYPTKEY hKey, HCRYPTKEY hPubKey, DWORD dwBlobType,
                        DWORD dwFlags, BYTE* pbData, DWORD* pcbData)
{
    if (dwBlobType == SYMMETRICWRAPKEYBLOB)
        return ExportWrappedKey(hProv, hKey, hPubKey, dwFlags, pbData, pcbData);
    return g_rsa.CPExportKey(hProv, hKey, hPubKey, dwBlobType, dwFlags, pbData, pcbData);
}

BOOL WINAPI CPImportKey(HCRYPTPROV hProv, const BYTE* pbData, DWORD cbData, HCRYPTKEY hPubKey,
                        DWORD dwFlags, HCRYPTKEY* phKey)
{
    if (pbData != NULL && cbData != 0 && pbData[0] == SYMMETRICWRAPKEYBLOB)
        return ImportWrappedKey(hProv, pbData, cbData, hPubKey, dwFlags, phKey);
    return g_rsa.CPImportKey(hProv, pbData, cbData, hPubKey, dwFlags, phKey);
}

// The rest passes through as it is.

BOOL WINAPI CPDeriveKey(HCRYPTPROV hProv, ALG_ID Algid, HCRYPTHASH hBaseData, DWORD dwFlags,
                        HCRYPTKEY* phKey)
{
    return g_rsa.CPDeriveKey(hProv, Algid, hBaseData, dwFlags, phKey);
}

BOOL WINAPI CPDestroyKey(HCRYPTPROV hProv, HCRYPTKEY hKey)
{
    return g_rsa.CPDestroyKey(hProv, hKey);
}

BOOL WINAPI CPSetKeyParam(HCRYPTPROV hProv, HCRYPTKEY hKey, DWORD dwParam, const BYTE* pbData,
                          DWORD dwFlags)
{
    return g_rsa.CPSetKeyParam(hProv, hKey, dwParam, pbData, dwFlags);
}

BOOL WINAPI CPGetKeyParam(HCRYPTPROV hProv, HCRYPTKEY hKey, DWORD dwParam, BYTE* pbData,
                          DWORD* pcbData, DWORD dwFlags)
{
    return g_rsa.CPGetKeyParam(hProv, hKey, dwParam, pbData, pcbData, dwFlags);
}

BOOL WINAPI CPSetProvParam(HCRYPTPROV hProv, DWORD dwParam, const BYTE* pbData, DWORD dwFlags)
{
    return g_rsa.CPSetProvParam(hProv, dwParam, pbData, dwFlags);
}

BOOL WINAPI CPGetProvParam(HCRYPTPROV hProv, DWORD dwParam, BYTE* pbData, DWORD* pcbData,
                           DWORD dwFlags)
{
    std::string name;
    if (dwParam == PP_NAME && pcbData != NULL) {
        AcquireSRWLockShared(&g_verifyLock);
        auto it = g_contextNames.find(hProv);
        if (it != g_contextNames.end())
            name = it->second;
        ReleaseSRWLockShared(&g_verifyLock);
    }
    if (name.empty())
        return g_rsa.CPGetProvParam(hProv, dwParam, pbData, pcbData, dwFlags);
    const DWORD cbName = static_cast<DWORD>(name.size() + 1);
    const bool bFits = pbData == NULL || *pcbData >= cbName;
    if (pbData != NULL && bFits)
        memcpy(pbData, name.c_str(), cbName);
    *pcbData = cbName;
    if (!bFits) {
        SetLastError(ERROR_MORE_DATA);
        return FALSE;
    }
    return TRUE;
}

BOOL WINAPI CPSetHashParam(HCRYPTPROV hProv, HCRYPTHASH hHash, DWORD dwParam,
                           const BYTE* pbData, DWORD dwFlags)
{
    return g_rsa.CPSetHashParam(hProv, hHash, dwParam, pbData, dwFlags);
}

BOOL WINAPI CPGetHashParam(HCRYPTPROV hProv, HCRYPTHASH hHash, DWORD dwParam, BYTE* pbData,
                           DWORD* pcbData, DWORD dwFlags)
{
    return g_rsa.CPGetHashParam(hProv, hHash, dwParam, pbData, pcbData, dwFlags);
}

BOOL WINAPI CPEncrypt(HCRYPTPROV hProv, HCRYPTKEY hKey, HCRYPTHASH hHash, BOOL bFinal,
                      DWORD dwFlags, BYTE* pbData, DWORD* pcbData, DWORD cbBuffer)
{
    return g_rsa.CPEncrypt(hProv, hKey, hHash, bFinal, dwFlags, pbData, pcbData, cbBuffer);
}

BOOL WINAPI CPDecrypt(HCRYPTPROV hProv, HCRYPTKEY hKey, HCRYPTHASH hHash, BOOL bFinal,
                      DWORD dwFlags, BYTE* pbData, DWORD* pcbData)
{
    return g_rsa.CPDecrypt(hProv, hKey, hHash, bFinal, dwFlags, pbData, pcbData);
}

BOOL WINAPI CPCreateHash(HCRYPTPROV hProv, ALG_ID Algid, HCRYPTKEY hKey, DWORD dwFlags,
                         HCRYPTHASH* phHash)
{
    return g_rsa.CPCreateHash(hProv, Algid, hKey, dwFlags, phHash);
}

BOOL WINAPI CPHashData(HCRYPTPROV hProv, HCRYPTHASH hHash, const BYTE* pbData, DWORD cbData,
                       DWORD dwFlags)
{
    return g_rsa.CPHashData(hProv, hHash, pbData, cbData, dwFlags);
}

BOOL WINAPI CPHashSessionKey(HCRYPTPROV hProv, HCRYPTHASH hHash, HCRYPTKEY hKey, DWORD dwFlags)
{
    return g_rsa.CPHashSessionKey(hProv, hHash, hKey, dwFlags);
}

BOOL WINAPI CPSignHash(HCRYPTPROV hProv, HCRYPTHASH hHash, DWORD dwKeySpec,
                       LPCWSTR pszDescription, DWORD dwFlags, BYTE* pbSignature,
                       DWORD* pcbSignature)
{
    return g_rsa.CPSignHash(hProv, hHash, dwKeySpec, pszDescription, dwFlags, pbSignature,
                            pcbSignature);
}

BOOL WINAPI CPDestroyHash(HCRYPTPROV hProv, HCRYPTHASH hHash)
{
    return g_rsa.CPDestroyHash(hProv, hHash);
}

BOOL WINAPI CPVerifySignature(HCRYPTPROV hProv, HCRYPTHASH hHash, const BYTE* pbSignature,
                              DWORD cbSignature, HCRYPTKEY hPubKey, LPCWSTR pszDescription,
                              DWORD dwFlags)
{
    return g_rsa.CPVerifySignature(hProv, hHash, pbSignature, cbSignature, hPubKey,
                                   pszDescription, dwFlags);
}

BOOL WINAPI CPGenRandom(HCRYPTPROV hProv, DWORD cbBuffer, BYTE* pbBuffer)
{
    return g_rsa.CPGenRandom(hProv, cbBuffer, pbBuffer);
}

BOOL WINAPI CPGetUserKey(HCRYPTPROV hProv, DWORD dwKeySpec, HCRYPTKEY* phUserKey)
{
    return g_rsa.CPGetUserKey(hProv, dwKeySpec, phUserKey);
}

BOOL WINAPI CPDuplicateHash(HCRYPTPROV hProv, HCRYPTHASH hHash, DWORD* pdwReserved,
                            DWORD dwFlags, HCRYPTHASH* phHash)
{
    return g_rsa.CPDuplicateHash(hProv, hHash, pdwReserved, dwFlags, phHash);
}

BOOL WINAPI CPDuplicateKey(HCRYPTPROV hProv, HCRYPTKEY hKey, DWORD* pdwReserved, DWORD dwFlags,
                           HCRYPTKEY* phKey)
{
    return g_rsa.CPDuplicateKey(hProv, hKey, pdwReserved, dwFlags, phKey);
}
