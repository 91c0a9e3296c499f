// The forwarding crypto provider: the CryptoAPI service provider entry
// points (the CSP interface that advapi32 calls), and the table of the same
// entry points in Wine's software provider rsaenh.dll, which does the work.
#pragma once
#include <windows.h>
#include <wincrypt.h>

// What advapi32 hands to a provider's acquire (the SDK's VTableProvStruc,
// which the mingw headers keep only for old targets).
struct ProvVTable {
    DWORD   Version;
    FARPROC FuncVerifyImage;
    FARPROC FuncReturnhWnd;
    DWORD   dwProvType;
    BYTE*   pbContextInfo;
    DWORD   cbContextInfo;
    LPSTR   pszProvName;
};

extern "C" {
BOOL WINAPI CPAcquireContext(HCRYPTPROV* phProv, LPSTR pszContainer, DWORD dwFlags,
                             ProvVTable* pVTable);
BOOL WINAPI CPReleaseContext(HCRYPTPROV hProv, DWORD dwFlags);
BOOL WINAPI CPGenKey(HCRYPTPROV hProv, ALG_ID Algid, DWORD dwFlags, HCRYPTKEY* phKey);
BOOL WINAPI CPDeriveKey(HCRYPTPROV hProv, ALG_ID Algid, HCRYPTHASH hBaseData, DWORD dwFlags,
                        HCRYPTKEY* phKey);
BOOL WINAPI CPDestroyKey(HCRYPTPROV hProv, HCRYPTKEY hKey);
BOOL WINAPI CPSetKeyParam(HCRYPTPROV hProv, HCRYPTKEY hKey, DWORD dwParam, const BYTE* pbData,
                          DWORD dwFlags);
BOOL WINAPI CPGetKeyParam(HCRYPTPROV hProv, HCRYPTKEY hKey, DWORD dwParam, BYTE* pbData,
                          DWORD* pcbData, DWORD dwFlags);
BOOL WINAPI CPSetProvParam(HCRYPTPROV hProv, DWORD dwParam, const BYTE* pbData, DWORD dwFlags);
BOOL WINAPI CPGetProvParam(HCRYPTPROV hProv, DWORD dwParam, BYTE* pbData, DWORD* pcbData,
                           DWORD dwFlags);
BOOL WINAPI CPSetHashParam(HCRYPTPROV hProv, HCRYPTHASH hHash, DWORD dwParam,
                           const BYTE* pbData, DWORD dwFlags);
BOOL WINAPI CPGetHashParam(HCRYPTPROV hProv, HCRYPTHASH hHash, DWORD dwParam, BYTE* pbData,
                           DWORD* pcbData, DWORD dwFlags);
BOOL WINAPI CPExportKey(HCRYPTPROV hProv, HCRYPTKEY hKey, HCRYPTKEY hPubKey, DWORD dwBlobType,
                        DWORD dwFlags, BYTE* pbData, DWORD* pcbData);
BOOL WINAPI CPImportKey(HCRYPTPROV hProv, const BYTE* pbData, DWORD cbData, HCRYPTKEY hPubKey,
                        DWORD dwFlags, HCRYPTKEY* phKey);
BOOL WINAPI CPEncrypt(HCRYPTPROV hProv, HCRYPTKEY hKey, HCRYPTHASH hHash, BOOL bFinal,
                      DWORD dwFlags, BYTE* pbData, DWORD* pcbData, DWORD cbBuffer);
BOOL WINAPI CPDecrypt(HCRYPTPROV hProv, HCRYPTKEY hKey, HCRYPTHASH hHash, BOOL bFinal,
                      DWORD dwFlags, BYTE* pbData, DWORD* pcbData);
BOOL WINAPI CPCreateHash(HCRYPTPROV hProv, ALG_ID Algid, HCRYPTKEY hKey, DWORD dwFlags,
                         HCRYPTHASH* phHash);
BOOL WINAPI CPHashData(HCRYPTPROV hProv, HCRYPTHASH hHash, const BYTE* pbData, DWORD cbData,
                       DWORD dwFlags);
BOOL WINAPI CPHashSessionKey(HCRYPTPROV hProv, HCRYPTHASH hHash, HCRYPTKEY hKey, DWORD dwFlags);
BOOL WINAPI CPSignHash(HCRYPTPROV hProv, HCRYPTHASH hHash, DWORD dwKeySpec,
                       LPCWSTR pszDescription, DWORD dwFlags, BYTE* pbSignature,
                       DWORD* pcbSignature);
BOOL WINAPI CPDestroyHash(HCRYPTPROV hProv, HCRYPTHASH hHash);
BOOL WINAPI CPVerifySignature(HCRYPTPROV hProv, HCRYPTHASH hHash, const BYTE* pbSignature,
                              DWORD cbSignature, HCRYPTKEY hPubKey, LPCWSTR pszDescription,
                              DWORD dwFlags);
BOOL WINAPI CPGenRandom(HCRYPTPROV hProv, DWORD cbBuffer, BYTE* pbBuffer);
BOOL WINAPI CPGetUserKey(HCRYPTPROV hProv, DWORD dwKeySpec, HCRYPTKEY* phUserKey);
BOOL WINAPI CPDuplicateHash(HCRYPTPROV hProv, HCRYPTHASH hHash, DWORD* pdwReserved,
                            DWORD dwFlags, HCRYPTHASH* phHash);
BOOL WINAPI CPDuplicateKey(HCRYPTPROV hProv, HCRYPTKEY hKey, DWORD* pdwReserved, DWORD dwFlags,
                           HCRYPTKEY* phKey);
}

#define CSP_ENTRY_POINTS(X)                                                                \
    X(CPAcquireContext) X(CPReleaseContext) X(CPGenKey) X(CPDeriveKey) X(CPDestroyKey)     \
    X(CPSetKeyParam) X(CPGetKeyParam) X(CPSetProvParam) X(CPGetProvParam)                  \
    X(CPSetHashParam) X(CPGetHashParam) X(CPExportKey) X(CPImportKey) X(CPEncrypt)         \
    X(CPDecrypt) X(CPCreateHash) X(CPHashData) X(CPHashSessionKey) X(CPSignHash)           \
    X(CPDestroyHash) X(CPVerifySignature) X(CPGenRandom) X(CPGetUserKey) X(CPDuplicateHash) \
    X(CPDuplicateKey)

// rsaenh's entry points, each named and typed like ours.
struct Rsaenh {
#define CSP_MEMBER(name) decltype(&::name) name;
    CSP_ENTRY_POINTS(CSP_MEMBER)
#undef CSP_MEMBER
};

// rsaenh, loaded by the first acquire; every handle that this provider hands
// out is rsaenh's own.
const Rsaenh& Rsa();

// SYMMETRICWRAPKEYBLOB, which rsaenh lacks: the Triple-DES key wrap of
// RFC 3217. Both set the last error and return FALSE on failure.
BOOL ExportWrappedKey(HCRYPTPROV hProv, HCRYPTKEY hKey, HCRYPTKEY hWrapKey, DWORD dwFlags,
                      BYTE* pbData, DWORD* pcbData);
BOOL ImportWrappedKey(HCRYPTPROV hProv, const BYTE* pbData, DWORD cbData, HCRYPTKEY hWrapKey,
                      DWORD dwFlags, HCRYPTKEY* phKey);
