// The forwarding crypto provider as the prefix serves it, through CryptoAPI:
// its key wrap against OpenSSL's (run natively on the same key bytes), the
// blobs and keys it refuses, key pairs that other contexts and processes find
// at once, and the pass-through under the TCG-enabled provider's name. Key
// handles are not destroyed one by one: they last as long as this short
// process.
#include <windows.h>
#include <wincrypt.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "AgentHarness.h"

namespace {

using harness::DosName;

using Bytes = std::vector<BYTE>;
const wchar_t kStrong[] = L"Microsoft Strong Cryptographic Provider";
const wchar_t kTcg[] = L"Zidoru TCG Enabled CSP";

// The one assertion helper: a CryptoAPI result against the error expected of
// it (0: success).
::testing::AssertionResult Capi(BOOL bOk, DWORD dwExpected = 0)
{
    DWORD dwError = bOk ? 0 : GetLastError();
    char text[64];
    snprintf(text, sizeof text, "error 0x%08lx, expected 0x%08lx", dwError, dwExpected);
    return dwError == dwExpected ? ::testing::AssertionSuccess() : ::testing::AssertionFailure() << text;
}

// A context, released at the end; with a tag, on a container of this process
// (one made with CRYPT_NEWKEYSET is deleted at the end too).
struct Context {
    std::wstring name;
    DWORD dwFlags;
    HCRYPTPROV h = 0;
    Context(const wchar_t* pwszProvider, const wchar_t* pwszTag = nullptr, DWORD dwFlags = CRYPT_VERIFYCONTEXT)
        : name(pwszTag ? L"csp-test-" + std::to_wstring(GetCurrentProcessId()) + L"-" + pwszTag : L""),
          dwFlags(dwFlags)
    {
        EXPECT_TRUE(Capi(CryptAcquireContextW(&h, pwszTag ? name.c_str() : nullptr, pwszProvider, PROV_RSA_FULL,
                                              dwFlags)));
    }
    ~Context()
    {
        CryptReleaseContext(h, 0);
        if (dwFlags & CRYPT_NEWKEYSET)
            CryptAcquireContextW(&h, name.c_str(), kTcg, PROV_RSA_FULL, CRYPT_DELETEKEYSET);
    }
};

std::string Hex(const Bytes& b)
{
    std::string s;
    char two[3];
    for (BYTE x : b) s += (snprintf(two, sizeof two, "%02x", x), two);
    return s;
}

Bytes Export(HCRYPTKEY hKey, HCRYPTKEY hExpKey, DWORD dwType)
{
    DWORD cb = 0;
    Bytes b;
    EXPECT_TRUE(Capi(CryptExportKey(hKey, hExpKey, dwType, 0, nullptr, &cb) &&
                     (b.resize(cb), CryptExportKey(hKey, hExpKey, dwType, 0, b.data(), &cb))))
        << "export of blob type " << dwType;
    return b;
}

HCRYPTKEY Import(HCRYPTPROV hProv, const Bytes& blob, HCRYPTKEY hImpKey, DWORD dwFlags)
{
    HCRYPTKEY h = 0;
    EXPECT_TRUE(Capi(CryptImportKey(hProv, blob.data(), (DWORD)blob.size(), hImpKey, dwFlags, &h)))
        << "import of " << Hex(blob);
    return h;
}

HCRYPTKEY ImportPlain(HCRYPTPROV hProv, ALG_ID alg, const Bytes& key, DWORD dwFlags = CRYPT_EXPORTABLE)
{
    struct { BLOBHEADER hdr; DWORD cb; BYTE key[24]; } blob = {{PLAINTEXTKEYBLOB, CUR_BLOB_VERSION, 0, alg}};
    blob.cb = (DWORD)key.size();
    memcpy(blob.key, key.data(), key.size());
    return Import(hProv, Bytes((BYTE*)&blob, blob.key + key.size()), 0, dwFlags);
}

Bytes Random(DWORD cb)
{
    static std::mt19937 rng(std::random_device{}());
    Bytes b(cb);
    for (BYTE& x : b) x = (BYTE)rng();
    return b;
}

Bytes MaskParity(Bytes key) { for (BYTE& x : key) x &= 0xFE; return key; }

// Sixteen bytes encrypted with a duplicate of the key, as the agent's block
// commands do; with an IV for CBC.
Bytes Encrypt(HCRYPTKEY hKey, DWORD dwMode, const Bytes& iv = {})
{
    Bytes data(16, 0x5A);
    HCRYPTKEY hDup;
    DWORD cb = 16;
    EXPECT_TRUE(Capi(CryptDuplicateKey(hKey, nullptr, 0, &hDup) &&
                     CryptSetKeyParam(hDup, KP_MODE, (BYTE*)&dwMode, 0) &&
                     (iv.empty() || CryptSetKeyParam(hDup, KP_IV, iv.data(), 0)) &&
                     CryptEncrypt(hDup, 0, FALSE, 0, data.data(), &cb, 16) && CryptDestroyKey(hDup)));
    return data;
}

DWORD KeyParam(HCRYPTKEY hKey, DWORD dwParam)
{
    DWORD dw = 0, cb = sizeof dw;
    EXPECT_TRUE(Capi(CryptGetKeyParam(hKey, dwParam, (BYTE*)&dw, &cb, 0)));
    return dw;
}

// OpenSSL's enc on the given bytes. Wine starts a Linux program from a
// Windows one, but hands back neither its process handle nor its standard
// handles: the command works on files and leaves a marker when it ends.
Bytes OpenSsl(const std::string& args, const Bytes& in)
{
    const std::string dir = "/tmp/csp-test-" + std::to_string(GetCurrentProcessId());
    const std::wstring win = DosName(dir);
    CreateDirectoryW(win.c_str(), nullptr);
    FILE* f = _wfopen((win + L"\\in").c_str(), L"wb");
    fwrite(in.data(), 1, in.size(), f);
    fclose(f);
    std::string sh = "sh -c \"cd " + dir + " && openssl enc " + args +
                     " -in in -out out 2>err; echo $? >done.tmp && mv done.tmp done\"";
    std::wstring cmd(sh.begin(), sh.end());
    STARTUPINFOW si = {sizeof si};
    PROCESS_INFORMATION pi = {};
    EXPECT_TRUE(Capi(CreateProcessW(DosName("/bin/sh").c_str(), cmd.data(), nullptr, nullptr, FALSE, 0,
                                    nullptr, nullptr, &si, &pi)));
    int rc = -1;
    for (int i = 0; i < 1000 && !(f = _wfopen((win + L"\\done").c_str(), L"rb")); i++) Sleep(20);
    if (f) fscanf(f, "%d", &rc), fclose(f);
    Bytes out;
    if ((f = _wfopen((win + (rc == 0 ? L"\\out" : L"\\err")).c_str(), L"rb"))) {
        for (int c; (c = fgetc(f)) != EOF;) out.push_back((BYTE)c);
        fclose(f);
    }
    for (const wchar_t* name : {L"\\in", L"\\out", L"\\err", L"\\done"}) DeleteFileW((win + name).c_str());
    RemoveDirectoryW(win.c_str());
    EXPECT_EQ(0, rc) << "openssl enc " << args << ": " << std::string(out.begin(), out.end());
    return rc == 0 ? out : Bytes();
}

// Under both names, as the agent uses them: an exportable key wrapped through
// duplicates unwraps with OpenSSL, and OpenSSL's wrap unwraps here; the
// stand-in's blob unwraps without CRYPT_EXPORTABLE to a key that encrypts as
// the original.
TEST(Csp, WrapAgreesWithOpenSslBothWays)
{
    Bytes pattern(24), odd = Random(24);
    for (int i = 0; i < 24; i++) pattern[i] = (BYTE)(i * 11 + 1);
    for (BYTE& x : odd) x = (BYTE)((x & 0xFE) | !__builtin_parity(x & 0xFE));
    struct { const wchar_t* provider; Bytes key; } cases[] = {
        {kStrong, Random(24)}, {kTcg, Random(24)}, {kStrong, pattern}, {kTcg, odd}};
    for (const auto& c : cases) {
        SCOPED_TRACE("key " + Hex(c.key));
        Context p(c.provider);
        const Bytes kekBytes = Random(24);
        HCRYPTKEY kek = ImportPlain(p.h, CALG_3DES, kekBytes), key = ImportPlain(p.h, CALG_3DES, c.key);
        HCRYPTKEY kekDup, keyDup;
        ASSERT_TRUE(Capi(CryptDuplicateKey(kek, nullptr, 0, &kekDup) && CryptDuplicateKey(key, nullptr, 0, &keyDup)));
        const Bytes blob = Export(keyDup, kekDup, SYMMETRICWRAPKEYBLOB);
        ASSERT_EQ(48u, blob.size());
        EXPECT_EQ("0b02000003660000", Hex(Bytes(blob.begin(), blob.begin() + 8)));
        EXPECT_NE(blob, Export(keyDup, kekDup, SYMMETRICWRAPKEYBLOB)) << "each wrap draws a new IV";
        HCRYPTKEY back = Import(p.h, blob, kekDup, 0);
        EXPECT_EQ(Encrypt(key, CRYPT_MODE_ECB), Encrypt(back, CRYPT_MODE_ECB));
        EXPECT_EQ(0u, KeyParam(back, KP_PERMISSIONS) & CRYPT_EXPORT);

        const std::string wrap = "-des3-wrap -K " + Hex(kekBytes);
        Bytes unwrapped = OpenSsl("-d " + wrap, Bytes(blob.begin() + 8, blob.end()));
        EXPECT_EQ(MaskParity(c.key), MaskParity(unwrapped));
        for (BYTE x : unwrapped) EXPECT_TRUE(__builtin_parity(x)) << "odd parity in " << Hex(unwrapped);
        Bytes wrapped = OpenSsl(wrap, c.key);
        ASSERT_EQ(40u, wrapped.size());
        wrapped.insert(wrapped.begin(), blob.begin(), blob.begin() + 8);
        Bytes plain = Export(Import(p.h, wrapped, kek, CRYPT_EXPORTABLE), 0, PLAINTEXTKEYBLOB);
        EXPECT_EQ(MaskParity(c.key), MaskParity(Bytes(plain.begin() + 12, plain.end())));
    }
}

TEST(Csp, WrapRefusesDamagedBlobsAndUnfitKeys)
{
    Context p(kStrong);
    HCRYPTKEY kek = ImportPlain(p.h, CALG_3DES, Random(24)), key = ImportPlain(p.h, CALG_3DES, Random(24));
    HCRYPTKEY locked = ImportPlain(p.h, CALG_3DES, Random(24), 0), otherKek = ImportPlain(p.h, CALG_3DES, Random(24));
    HCRYPTKEY des = ImportPlain(p.h, CALG_DES, Random(8));
    const Bytes blob = Export(key, kek, SYMMETRICWRAPKEYBLOB);
    struct { const char* what; size_t at; BYTE flip; size_t size; HCRYPTKEY hKek; DWORD dwError; } unwraps[] = {
        {"the blob as made", 0, 0, 48, kek, 0},
        {"first wrapped byte flipped", 8, 0x01, 48, kek, (DWORD)NTE_BAD_DATA},
        {"middle byte flipped", 27, 0x10, 48, kek, (DWORD)NTE_BAD_DATA},
        {"last byte flipped", 47, 0x80, 48, kek, (DWORD)NTE_BAD_DATA},
        {"another unwrapping key", 0, 0, 48, otherKek, (DWORD)NTE_BAD_DATA},
        {"a DES unwrapping key", 0, 0, 48, des, (DWORD)NTE_BAD_ALGID},
        {"no unwrapping key", 0, 0, 48, 0, (DWORD)NTE_BAD_KEY},
        {"one byte short", 0, 0, 47, kek, (DWORD)NTE_BAD_LEN},
        {"one byte long", 0, 0, 49, kek, (DWORD)NTE_BAD_LEN},
        {"header only", 0, 0, 8, kek, (DWORD)NTE_BAD_LEN},
        {"blob version 3", 1, 0x01, 48, kek, (DWORD)NTE_BAD_VER},
        {"reserved field set", 2, 0x01, 48, kek, (DWORD)NTE_BAD_DATA},
        {"CALG_DES in the header", 4, 0x02, 48, kek, (DWORD)NTE_BAD_ALGID},
    };
    for (const auto& c : unwraps) {
        Bytes b = blob;
        b.resize(c.size);
        b[c.at] ^= c.flip;
        HCRYPTKEY h;
        EXPECT_TRUE(Capi(CryptImportKey(p.h, b.data(), (DWORD)b.size(), c.hKek, 0, &h), c.dwError)) << c.what;
    }
    struct { const char* what; HCRYPTKEY hKey, hWrapKey; DWORD cb, dwError; } wraps[] = {
        {"DES key wrapped", des, kek, 48, (DWORD)NTE_BAD_ALGID},
        {"DES wrapping key", key, des, 48, (DWORD)NTE_BAD_ALGID},
        {"key not exportable", locked, kek, 48, (DWORD)NTE_BAD_KEY_STATE},
        {"no wrapping key", key, 0, 48, (DWORD)NTE_BAD_KEY},
        {"buffer one byte short", key, kek, 47, (DWORD)ERROR_MORE_DATA},
    };
    for (const auto& c : wraps) {
        BYTE buf[64];
        DWORD cb = c.cb;
        EXPECT_TRUE(Capi(CryptExportKey(c.hKey, c.hWrapKey, SYMMETRICWRAPKEYBLOB, 0, buf, &cb), c.dwError)) << c.what;
    }
}

// This program's second role: another process that looks for the pair of a
// container and compares its public key blob.
int FindPair(const char* pszContainer, DWORD dwSpec, const char* pszPublicHex)
{
    HCRYPTPROV h;
    HCRYPTKEY k;
    BYTE blob[1024];
    DWORD cb = sizeof blob;
    if (!CryptAcquireContextA(&h, pszContainer, "Zidoru TCG Enabled CSP", PROV_RSA_FULL, 0) ||
        !CryptGetUserKey(h, dwSpec, &k) || !CryptExportKey(k, 0, PUBLICKEYBLOB, 0, blob, &cb))
        return (int)GetLastError();
    return Hex(Bytes(blob, blob + cb)) == pszPublicHex ? 0 : 1;
}

DWORD FindPairElsewhere(const std::wstring& container, DWORD dwSpec, const Bytes& pub)
{
    wchar_t exe[MAX_PATH];
    GetModuleFileNameW(nullptr, exe, MAX_PATH);
    std::string args = " " + std::to_string(dwSpec) + " " + Hex(pub);
    std::wstring cmd = L"csp_test --find-pair " + container + std::wstring(args.begin(), args.end());
    STARTUPINFOW si = {sizeof si};
    PROCESS_INFORMATION pi = {};
    DWORD dwExit = STILL_ACTIVE;
    if (CreateProcessW(exe, cmd.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) {
        WaitForSingleObject(pi.hProcess, 30000);
        GetExitCodeProcess(pi.hProcess, &dwExit);
        CloseHandle(pi.hProcess);
        CloseHandle(pi.hThread);
    }
    return dwExit;
}

TEST(Csp, GeneratedPairIsInItsContainerAtOnce)
{
    struct { const wchar_t* tag; ALG_ID alg; DWORD dwSpec, dwFlags, dwBits; } cases[] = {
        {L"protected", AT_KEYEXCHANGE, AT_KEYEXCHANGE, CRYPT_EXPORTABLE | CRYPT_USER_PROTECTED, 1024},
        {L"locked", AT_KEYEXCHANGE, AT_KEYEXCHANGE, 0, 1024},
        {L"sized", AT_SIGNATURE, AT_SIGNATURE, (512u << 16) | CRYPT_EXPORTABLE, 512},
        {L"by-alg", CALG_RSA_KEYX, AT_KEYEXCHANGE, CRYPT_EXPORTABLE, 1024},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.tag);
        Context box(kTcg, c.tag, CRYPT_NEWKEYSET);
        HCRYPTKEY pair, found;
        ASSERT_TRUE(Capi(CryptGenKey(box.h, c.alg, c.dwFlags, &pair)));
        Context second(kTcg, c.tag, 0);
        ASSERT_TRUE(Capi(CryptGetUserKey(second.h, c.dwSpec, &found)));
        BYTE priv[1024];
        DWORD cb = sizeof priv;
        const Bytes pub = Export(pair, 0, PUBLICKEYBLOB);
        EXPECT_EQ(pub, Export(found, 0, PUBLICKEYBLOB));
        EXPECT_EQ(c.dwBits, KeyParam(found, KP_KEYLEN));
        EXPECT_TRUE(Capi(CryptExportKey(found, 0, PRIVATEKEYBLOB, 0, priv, &cb),
                         (c.dwFlags & CRYPT_EXPORTABLE) ? 0 : NTE_BAD_KEY_STATE));
        EXPECT_EQ(0u, FindPairElsewhere(box.name, c.dwSpec, pub)) << "another process looking for the pair";
    }
}

// rsaenh's behaviour, unchanged under the TCG-enabled name: a 3DES key moved
// as SIMPLEBLOB from one container to another encrypts as the original.
TEST(Csp, PassThroughUnderTcgName)
{
    std::wstring name;
    {
        Context a(kTcg, L"a", CRYPT_NEWKEYSET), b(kTcg, L"b", CRYPT_NEWKEYSET);
        name = a.name;
        PROV_ENUMALGS alg;
        bool b3Des = false;
        for (DWORD cb = sizeof alg, f = CRYPT_FIRST; CryptGetProvParam(a.h, PP_ENUMALGS, (BYTE*)&alg, &cb, f); f = 0)
            b3Des |= alg.aiAlgid == CALG_3DES;
        EXPECT_TRUE(b3Des) << "CALG_3DES listed";
        HCRYPTKEY xa, xb, xaDup, k;
        ASSERT_TRUE(Capi(CryptGenKey(a.h, AT_KEYEXCHANGE, CRYPT_EXPORTABLE | CRYPT_USER_PROTECTED, &xa) &&
                         CryptGenKey(b.h, AT_KEYEXCHANGE, CRYPT_EXPORTABLE | CRYPT_USER_PROTECTED, &xb) &&
                         CryptDuplicateKey(xa, nullptr, 0, &xaDup) &&
                         CryptGenKey(a.h, CALG_3DES, CRYPT_EXPORTABLE, &k)));
        Bytes simple = Export(k, xa, SIMPLEBLOB), pub = Export(xb, 0, PUBLICKEYBLOB);
        EXPECT_EQ(140u, simple.size());
        EXPECT_EQ(148u, pub.size());
        HCRYPTKEY kA = Import(a.h, simple, xaDup, CRYPT_EXPORTABLE), pubB = Import(a.h, pub, 0, 0);
        HCRYPTKEY kB = Import(b.h, Export(kA, pubB, SIMPLEBLOB), xb, 0);
        EXPECT_EQ((DWORD)CALG_3DES, KeyParam(kB, KP_ALGID));
        const Bytes iv = {1, 2, 3, 4, 5, 6, 7, 8};
        EXPECT_EQ(Encrypt(k, CRYPT_MODE_ECB), Encrypt(kB, CRYPT_MODE_ECB));
        EXPECT_EQ(Encrypt(k, CRYPT_MODE_CBC, iv), Encrypt(kB, CRYPT_MODE_CBC, iv));
        EXPECT_NE(Encrypt(k, CRYPT_MODE_ECB), Encrypt(k, CRYPT_MODE_CBC, iv));
    }
    HCRYPTPROV gone;  // deleted when its context ended, like a container that never was
    EXPECT_TRUE(Capi(CryptAcquireContextW(&gone, name.c_str(), kTcg, PROV_RSA_FULL, 0), NTE_BAD_KEYSET));
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc == 5 && std::string(argv[1]) == "--find-pair")
        return FindPair(argv[2], (DWORD)std::stoul(argv[3]), argv[4]);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
