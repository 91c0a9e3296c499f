// SYMMETRICWRAPKEYBLOB: a Triple-DES key wrapped by another Triple-DES key
// with the key wrap of RFC 3217, built from rsaenh's own Triple-DES, SHA-1 and
// random numbers. The key bytes leave and re-enter rsaenh only here, as a
// PLAINTEXTKEYBLOB. The wrap is defined for three-key Triple-DES (and RC2)
// alone: a DES key, or a DES wrapping key, is refused with NTE_BAD_ALGID.
//
// Blob: BLOBHEADER {0x0B, 2, 0, CALG_3DES}, then the 40-byte wrapped key.
// Refusals: a blob of another length NTE_BAD_LEN, another version
// NTE_BAD_VER, a non-zero reserved field or a failed integrity check
// NTE_BAD_DATA, another algorithm NTE_BAD_ALGID, no wrapping key NTE_BAD_KEY,
// a key that is not exportable NTE_BAD_KEY_STATE.
#include "Csp.h"

#include <algorithm>
#include <cstring>

namespace {

const DWORD kKeyLen = 24;                         // three-key Triple-DES
const DWORD kWrappedLen = 40;                     // random IV, key, checksum
const DWORD kBlobLen = sizeof(BLOBHEADER) + kWrappedLen;
const BYTE  kOuterIv[8] = {0x4a, 0xdd, 0xa2, 0x2c, 0x79, 0xe8, 0x21, 0x05};

struct PlainKeyBlob {
    BLOBHEADER hdr;
    DWORD      cbKey;
    BYTE       key[kKeyLen];
};
static_assert(sizeof(PlainKeyBlob) == 36, "rsaenh's Triple-DES PLAINTEXTKEYBLOB");

// Key material on the stack is cleared on every way out.
struct Wipe {
    void*  p;
    size_t cb;
    ~Wipe() { SecureZeroMemory(p, cb); }
};

BOOL Fail(DWORD dwError)
{
    SetLastError(dwError);
    return FALSE;
}

BOOL GetKeyDword(HCRYPTPROV hProv, HCRYPTKEY hKey, DWORD dwParam, DWORD* pdw)
{
    DWORD cb = sizeof(*pdw);
    return Rsa().CPGetKeyParam(hProv, hKey, dwParam, (BYTE*)pdw, &cb, 0);
}

BOOL CheckWrapKey(HCRYPTPROV hProv, HCRYPTKEY hWrapKey)
{
    DWORD alg;
    if (hWrapKey == 0)
        return Fail(NTE_BAD_KEY);
    if (!GetKeyDword(hProv, hWrapKey, KP_ALGID, &alg))
        return FALSE;
    return alg == CALG_3DES ? TRUE : Fail(NTE_BAD_ALGID);
}

// One CBC pass of whole blocks with the wrapping key. It runs on a duplicate,
// so the caller's key keeps its mode, IV and chaining state.
BOOL Cbc(HCRYPTPROV hProv, HCRYPTKEY hWrapKey, const BYTE* pbIv, BYTE* pb, DWORD cb,
         bool bEncrypt)
{
    const Rsaenh& rsa = Rsa();
    HCRYPTKEY hDup;
    if (!rsa.CPDuplicateKey(hProv, hWrapKey, NULL, 0, &hDup))
        return FALSE;
    DWORD dwMode = CRYPT_MODE_CBC, cbDone = cb;
    BOOL bOk = rsa.CPSetKeyParam(hProv, hDup, KP_MODE, (const BYTE*)&dwMode, 0) &&
               rsa.CPSetKeyParam(hProv, hDup, KP_IV, pbIv, 0) &&
               (bEncrypt ? rsa.CPEncrypt(hProv, hDup, 0, FALSE, 0, pb, &cbDone, cb)
                         : rsa.CPDecrypt(hProv, hDup, 0, FALSE, 0, pb, &cbDone));
    DWORD dwError = bOk && cbDone != cb ? NTE_FAIL : GetLastError();
    rsa.CPDestroyKey(hProv, hDup);
    SetLastError(dwError);
    return bOk && cbDone == cb;
}

// The key checksum: the first 8 bytes of the key's SHA-1.
BOOL Checksum(HCRYPTPROV hProv, const BYTE* pbKey, BYTE* pbIcv)
{
    const Rsaenh& rsa = Rsa();
    HCRYPTHASH hHash;
    BYTE digest[20];
    DWORD cb = sizeof(digest);
    if (!rsa.CPCreateHash(hProv, CALG_SHA1, 0, 0, &hHash))
        return FALSE;
    BOOL bOk = rsa.CPHashData(hProv, hHash, pbKey, kKeyLen, 0) &&
               rsa.CPGetHashParam(hProv, hHash, HP_HASHVAL, digest, &cb, 0);
    DWORD dwError = GetLastError();
    rsa.CPDestroyHash(hProv, hHash);
    SetLastError(dwError);
    if (bOk)
        memcpy(pbIcv, digest, 8);
    return bOk;
}

// DES keys carry a parity bit in each byte; the wrap makes it odd before the
// checksum, as the RFC asks.
void SetOddParity(BYTE* pbKey)
{
    for (DWORD i = 0; i < kKeyLen; i++)
        pbKey[i] = (BYTE)((pbKey[i] & 0xFE) | !__builtin_parity(pbKey[i] & 0xFE));
}

}  // namespace

BOOL ExportWrappedKey(HCRYPTPROV hProv, HCRYPTKEY hKey, HCRYPTKEY hWrapKey, DWORD dwFlags,
                      BYTE* pbData, DWORD* pcbData)
{
    DWORD alg, dwPermissions;
    if (dwFlags != 0)
        return Fail(NTE_BAD_FLAGS);
    if (!GetKeyDword(hProv, hKey, KP_ALGID, &alg) || !CheckWrapKey(hProv, hWrapKey))
        return FALSE;
    if (alg != CALG_3DES)
        return Fail(NTE_BAD_ALGID);
    if (!GetKeyDword(hProv, hKey, KP_PERMISSIONS, &dwPermissions))
        return FALSE;
    if (!(dwPermissions & CRYPT_EXPORT))
        return Fail(NTE_BAD_KEY_STATE);
    if (pbData == NULL || *pcbData < kBlobLen) {
        bool bQuery = pbData == NULL;
        *pcbData = kBlobLen;
        return bQuery ? TRUE : Fail(ERROR_MORE_DATA);
    }

    PlainKeyBlob plain;
    BYTE w[kWrappedLen];   // random IV, then key and checksum: CBC turns them into TEMP1
    Wipe wipePlain{&plain, sizeof(plain)}, wipeW{w, sizeof(w)};
    DWORD cb = sizeof(plain);
    if (!Rsa().CPExportKey(hProv, hKey, 0, PLAINTEXTKEYBLOB, 0, (BYTE*)&plain, &cb))
        return FALSE;
    if (cb != sizeof(plain) || plain.cbKey != kKeyLen)
        return Fail(NTE_BAD_KEY);
    memcpy(w + 8, plain.key, kKeyLen);
    SetOddParity(w + 8);
    if (!Rsa().CPGenRandom(hProv, 8, w) || !Checksum(hProv, w + 8, w + 8 + kKeyLen) ||
        !Cbc(hProv, hWrapKey, w, w + 8, kKeyLen + 8, true))
        return FALSE;
    std::reverse(w, w + kWrappedLen);
    if (!Cbc(hProv, hWrapKey, kOuterIv, w, kWrappedLen, true))
        return FALSE;

    BLOBHEADER hdr = {SYMMETRICWRAPKEYBLOB, CUR_BLOB_VERSION, 0, CALG_3DES};
    memcpy(pbData, &hdr, sizeof(hdr));
    memcpy(pbData + sizeof(hdr), w, kWrappedLen);
    *pcbData = kBlobLen;
    return TRUE;
}

BOOL ImportWrappedKey(HCRYPTPROV hProv, const BYTE* pbData, DWORD cbData, HCRYPTKEY hWrapKey,
                      DWORD dwFlags, HCRYPTKEY* phKey)
{
    BLOBHEADER hdr;
    if (cbData != kBlobLen)
        return Fail(NTE_BAD_LEN);
    memcpy(&hdr, pbData, sizeof(hdr));
    if (hdr.bVersion != CUR_BLOB_VERSION)
        return Fail(NTE_BAD_VER);
    if (hdr.reserved != 0)
        return Fail(NTE_BAD_DATA);
    if (hdr.aiKeyAlg != CALG_3DES)
        return Fail(NTE_BAD_ALGID);
    if (!CheckWrapKey(hProv, hWrapKey))
        return FALSE;

    BYTE w[kWrappedLen], icv[8];
    PlainKeyBlob plain = {{PLAINTEXTKEYBLOB, CUR_BLOB_VERSION, 0, CALG_3DES}, kKeyLen, {}};
    Wipe wipePlain{&plain, sizeof(plain)}, wipeW{w, sizeof(w)};
    memcpy(w, pbData + sizeof(hdr), kWrappedLen);
    if (!Cbc(hProv, hWrapKey, kOuterIv, w, kWrappedLen, false))
        return FALSE;
    std::reverse(w, w + kWrappedLen);
    if (!Cbc(hProv, hWrapKey, w, w + 8, kKeyLen + 8, false) || !Checksum(hProv, w + 8, icv))
        return FALSE;
    // Parity is not checked: an implementation that wraps the key bytes as
    // they are (OpenSSL does) would be refused, and the checksum alone
    // guards the key.
    BYTE diff = 0;
    for (DWORD i = 0; i < 8; i++)
        diff |= (BYTE)(icv[i] ^ w[8 + kKeyLen + i]);
    if (diff != 0)
        return Fail(NTE_BAD_DATA);
    memcpy(plain.key, w + 8, kKeyLen);
    return Rsa().CPImportKey(hProv, (const BYTE*)&plain, sizeof(plain), 0, dwFlags, phKey);
}
