// The stand-ins for the product's pieces around the agent, each met the way
// the agent meets it: the icon library in the prefix's system folder, the
// vault explorer as separate processes told by window messages, the
// vault-manager library imported at load time, and the crypto provider
// through CryptoAPI.
#include <windows.h>
#include <shellapi.h>
#include <wincrypt.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "AgentHarness.h"
#include "ExplorerRecord.h"
#include "VaultExplorer.h"
#include "VaultManager.h"

namespace fs = std::filesystem;
using harness::ExeDir;
using harness::ReadFileText;
using harness::WaitUntil;

namespace {

// ---- Drive icons ----------------------------------------------------------

// The icon's size and its colour and mask pixels, 32 bits each.
std::pair<int, std::vector<uint32_t>> IconPixels(HICON hIcon)
{
    ICONINFO ii{};
    if (!hIcon || !GetIconInfo(hIcon, &ii))
        return {0, {}};
    BITMAP bm{};
    GetObjectW(ii.hbmColor, sizeof(bm), &bm);
    std::vector<uint32_t> pixels(2 * bm.bmWidth * bm.bmHeight);
    BITMAPINFO bi{};
    bi.bmiHeader = {sizeof(BITMAPINFOHEADER), bm.bmWidth, -bm.bmHeight, 1, 32, BI_RGB};
    HDC hdc = GetDC(nullptr);
    GetDIBits(hdc, ii.hbmColor, 0, bm.bmHeight, pixels.data(), &bi, DIB_RGB_COLORS);
    GetDIBits(hdc, ii.hbmMask, 0, bm.bmHeight, pixels.data() + bm.bmWidth * bm.bmHeight, &bi,
              DIB_RGB_COLORS);
    ReleaseDC(nullptr, hdc);
    DeleteObject(ii.hbmColor);
    DeleteObject(ii.hbmMask);
    return {bm.bmWidth == bm.bmHeight ? bm.bmWidth : -1, pixels};
}

BOOL CALLBACK CollectGroup(HMODULE, LPCWSTR, LPWSTR wszName, LONG_PTR lParam)
{
    reinterpret_cast<std::vector<LPCWSTR>*>(lParam)->push_back(wszName);
    return TRUE;
}

// The width of the image that a group offers for a size, 0 if none fits.
int ImageWidthFor(HMODULE hLib, LPCWSTR wszGroup, int cx)
{
    HRSRC hGroup = FindResourceW(hLib, wszGroup, RT_GROUP_ICON);
    auto* pDir = (BYTE*)LockResource(LoadResource(hLib, hGroup));
    int id = pDir ? LookupIconIdFromDirectoryEx(pDir, TRUE, cx, cx, 0) : 0;
    HRSRC hImage = id ? FindResourceW(hLib, MAKEINTRESOURCEW(id), RT_ICON) : nullptr;
    auto* pHeader = (BITMAPINFOHEADER*)LockResource(LoadResource(hLib, hImage));
    return pHeader && pHeader->biBitCount == 32 ? pHeader->biWidth : 0;
}

TEST(Icons, SixDistinctIconsFromTheSystemFolder)
{
    wchar_t wszSystem[MAX_PATH];
    GetSystemDirectoryW(wszSystem, MAX_PATH);
    const std::wstring lib = std::wstring(wszSystem) + L"\\vidizer.dll";
    EXPECT_EQ(ReadFileText(lib), ReadFileText(ExeDir() + L"\\vidizer.dll"))
        << "the system folder's copy is not the one just built";
    ASSERT_EQ(ExtractIconExW(lib.c_str(), -1, nullptr, nullptr, 0), 6u);

    std::set<std::vector<uint32_t>> large;   // the icons' pixels, each once
    for (int i = 0; i < 6; i++) {
        HICON hLarge = nullptr;
        ExtractIconExW(lib.c_str(), i, &hLarge, nullptr, 1);
        auto [cx, pixels] = IconPixels(hLarge);
        EXPECT_EQ(cx, 32) << "icon " << i;
        large.insert(pixels);
        DestroyIcon(hLarge);
    }
    EXPECT_EQ(6u, large.size()) << "icons alike";

    // Wine's ExtractIconExW shrinks the large image for the small icon, so
    // the drawn 16-pixel images are checked in the resources themselves.
    HMODULE hLib = LoadLibraryExW(lib.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(hLib, nullptr);
    std::vector<LPCWSTR> groups;
    EnumResourceNamesW(hLib, RT_GROUP_ICON, CollectGroup, (LONG_PTR)&groups);
    ASSERT_EQ(groups.size(), 6u);
    for (size_t i = 0; i < groups.size(); i++)
        for (int cx : {16, 32})
            EXPECT_EQ(ImageWidthFor(hLib, groups[i], cx), cx) << "icon " << i << " at " << cx;
    FreeLibrary(hLib);
}

// ---- Vault explorer -------------------------------------------------------

// Explorers started as the agent starts them; any still running at the end
// of a test are ended.
class Explorer : public ::testing::Test {
protected:
    void SetUp() override { DeleteFileW(RecordPath().c_str()); }

    static std::wstring RecordPath() { return ExeDir() + L"\\" EXPLORER_RECORD_FILE; }

    // Starts one explorer and returns its window, once its start is recorded.
    std::pair<DWORD, HWND> Launch()
    {
        m_started.push_back(std::make_unique<harness::AgentProcess>());
        if (!m_started.back()->Start(ExeDir() + L"\\" VAULT_EXPLORER_PROGRAM, L""))
            return {0, nullptr};
        const DWORD pid = m_started.back()->Pid();
        unsigned long linePid = 0;
        unsigned long long window = 0;
        WaitUntil([&] {
            const std::vector<std::string> lines = Lines(pid);
            return !lines.empty() && sscanf(lines[0].c_str(), EXPLORER_RECORD_START, &linePid, &window) == 2;
        }, 10000);
        return {pid, (HWND)(ULONG_PTR)window};
    }

    // The record's lines of one explorer, in order.
    static std::vector<std::string> Lines(DWORD pid)
    {
        std::vector<std::string> lines;
        std::string text = ReadFileText(RecordPath());
        unsigned long linePid = 0;
        for (size_t at = 0, end; (end = text.find("\r\n", at)) != std::string::npos; at = end + 2)
            if (sscanf(text.c_str() + at, "%*s pid=%lu", &linePid) == 1 && linePid == pid)
                lines.push_back(text.substr(at, end - at + 2));
        return lines;
    }

    static std::string Line(const char* szFormat, DWORD pid, unsigned long long a = 0,
                            unsigned long long b = 0)
    {
        char line[160];
        snprintf(line, sizeof(line), szFormat, pid, a, b);
        return line;
    }

    std::vector<std::unique_ptr<harness::AgentProcess>> m_started;
};

// Two launches are two hidden top-level windows of two processes, ended by
// WM_CLOSE and by WM_QUIT; the first records message 0x598 from another
// process exactly, and nothing else.
TEST_F(Explorer, TwoInstancesRecordMessage0x598ExactlyAndEndByCloseAndQuit)
{
    auto [pid, hWnd] = Launch();
    auto [pid2, hWnd2] = Launch();
    ASSERT_TRUE(IsWindow(hWnd) && IsWindow(hWnd2)) << "a start was not recorded";
    EXPECT_NE(hWnd, hWnd2);
    // Both windows, and only they, of the explorer's class.
    std::set<HWND> windows;
    for (HWND h = nullptr; (h = FindWindowExW(nullptr, h, VAULT_EXPLORER_CLASS, nullptr));)
        windows.insert(h);
    EXPECT_EQ(windows, (std::set<HWND>{hWnd, hWnd2}));
    EXPECT_EQ(GetAncestor(hWnd, GA_PARENT), GetDesktopWindow()) << "not a top-level window";
    EXPECT_FALSE(IsWindowVisible(hWnd));

    struct Case {
        UINT uMsg;
        unsigned long long wParam, lParam;
        bool bPost;
    };
    const Case cases[] = {
        {WM_VAULT_DRIVE_UNPLUGGED, 'E', 0, true},  // as the agent posts it
        {WM_VAULT_DRIVE_UNPLUGGED, 'Z', 0, false},
        {WM_VAULT_DRIVE_UNPLUGGED + 1, 'F', 0, true},  // not recorded
        {WM_VAULT_DRIVE_UNPLUGGED, 0x41, 0x12345678, true},
        {WM_VAULT_DRIVE_UNPLUGGED, ~0ull, 0x8000000000000001ull, false},  // all 64 bits
    };
    std::vector<std::string> expected = {Line(EXPLORER_RECORD_START, pid, (ULONG_PTR)hWnd)};
    for (const Case& c : cases) {
        if (c.bPost)
            PostMessageW(hWnd, c.uMsg, (WPARAM)c.wParam, (LPARAM)c.lParam);
        else
            SendMessageTimeoutW(hWnd, c.uMsg, (WPARAM)c.wParam, (LPARAM)c.lParam, SMTO_BLOCK, 5000,
                                nullptr);
        if (c.uMsg == WM_VAULT_DRIVE_UNPLUGGED)
            expected.push_back(Line(EXPLORER_RECORD_MESSAGE, pid, c.wParam, c.lParam));
    }
    PostMessageW(hWnd, WM_CLOSE, 0, 0);
    PostMessageW(hWnd2, WM_QUIT, 0, 0);
    for (auto& explorer : m_started)
        EXPECT_EQ(explorer->WaitForExit(10000), 0) << "explorer " << explorer->Pid();
    expected.push_back(Line(EXPLORER_RECORD_END, pid));
    // A sent message overtakes the posted ones still queued: compare the
    // messages in between as a set.
    std::vector<std::string> lines = Lines(pid);
    ASSERT_EQ(expected.size(), lines.size());
    std::sort(expected.begin() + 1, expected.end() - 1);
    std::sort(lines.begin() + 1, lines.end() - 1);
    EXPECT_EQ(lines, expected);
    EXPECT_EQ(Lines(pid2), (std::vector<std::string>{Line(EXPLORER_RECORD_START, pid2, (ULONG_PTR)hWnd2),
                                                     Line(EXPLORER_RECORD_END, pid2)}));
}

// ---- Vault-manager library --------------------------------------------------

std::vector<std::pair<std::wstring, std::wstring>> g_restored;

void WINAPI OnRestored(LPCWSTR wszBackupFolder, LPCWSTR wszVaultFolder)
{
    g_restored.emplace_back(wszBackupFolder, wszVaultFolder);
}

// Relative path -> content, "<folder>" for a folder: two trees are equal
// byte for byte when their snapshots are.
using Snapshot = std::map<fs::path, std::string>;

Snapshot Take(const fs::path& root)
{
    Snapshot snapshot;
    for (const auto& entry : fs::recursive_directory_iterator(root))
        snapshot[entry.path().lexically_relative(root)] =
            entry.is_directory() ? "<folder>" : ReadFileText(entry.path().wstring());
    return snapshot;
}

void Write(const fs::path& file, const std::string& content)
{
    fs::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary) << content;
}

const DWORD kAnyFailure = ~0u;

// The one check of a library result: a Win32 code, or any failure.
void ExpectResult(DWORD result, DWORD expected, const std::string& what)
{
    if (expected == kAnyFailure)
        EXPECT_NE(result, (DWORD)ERROR_SUCCESS) << what;
    else
        EXPECT_EQ(result, expected) << what;
}

// A scratch folder with a vault in it; narrow paths, as the agent passes them.
class VaultManager : public ::testing::Test {
protected:
    void SetUp() override
    {
        char szTemp[MAX_PATH];
        GetTempPathA(MAX_PATH, szTemp);
        m_root = fs::path(szTemp) / ("vaultmgr-" + std::to_string(GetCurrentProcessId()));
        fs::remove_all(m_root);
        m_vault = m_root / "Vaults" / "Work";
        const std::vector<uint8_t> big = harness::Pattern(1 << 20, 3);
        Write(m_vault / "vault3.cfg", "<config version=\"3\"/>");
        Write(m_vault / "keyArchive.xml", "<keys>wrapped</keys>");
        Write(m_vault / "a.txt", "alpha\r\n");
        Write(m_vault / "empty.bin", "");
        Write(m_vault / "sub" / "deep" / "big.bin", std::string(big.begin(), big.end()));
        Write(m_vault / "sub" / L"\u00dcn\u00efc\u00f8d\u00e9 \u2603.txt", "named");
        fs::create_directories(m_vault / "hollow");
        g_restored.clear();
        SetVServiceCalBak(OnRestored);
    }
    void TearDown() override
    {
        SetVServiceCalBak(nullptr);
        fs::remove_all(m_root);
    }

    std::string A(const fs::path& p) const { return p.string(); }
    std::wstring W(const fs::path& p) const { return p.wstring(); }

    fs::path m_root, m_vault;
};

TEST_F(VaultManager, BackupAndRestoreRoundTripAndTellTheCallback)
{
    const Snapshot original = Take(m_vault);
    const fs::path backup = m_root / "Backups" / "Work-1";
    ASSERT_EQ(VaultBackup(A(m_vault).c_str(), A(backup).c_str(), 0), (DWORD)ERROR_SUCCESS);
    // The agent's callback copies the configuration from the backup's top.
    for (const char* name : {"vault3.cfg", "keyArchive.xml"})
        EXPECT_EQ(ReadFileText(W(backup / name)), ReadFileText(W(m_vault / name))) << name;

    fs::remove(m_vault / "a.txt");
    fs::remove_all(m_vault / "sub" / "deep");
    Write(m_vault / "vault3.cfg", "damaged");
    Write(m_vault / "later.txt", "made after the backup");
    Snapshot expected = original;
    expected["later.txt"] = "made after the backup";  // a restore deletes nothing
    ExpectResult(VaultRestoreToCurrentVault(A(backup).c_str()), ERROR_SUCCESS, "to current");
    EXPECT_EQ(Take(m_vault), expected);

    const fs::path fresh[] = {m_root / "Backups" / "Work", m_root / "Backups" / "Work (2)"};
    for (const fs::path& folder : fresh) {
        ExpectResult(VaultRestoreToNewVault(A(backup).c_str()), ERROR_SUCCESS, A(folder));
        EXPECT_EQ(Take(folder), original) << folder;
    }
    using Call = std::pair<std::wstring, std::wstring>;
    EXPECT_EQ(g_restored, (std::vector<Call>{{W(backup), W(m_vault)},
                                             {W(backup), W(fresh[0])},
                                             {W(backup), W(fresh[1])}}));

    // A second backup into the same folder only replaces it when asked, and
    // then keeps nothing of the first.
    ExpectResult(VaultBackup(A(m_vault).c_str(), A(backup).c_str(), 0), ERROR_ALREADY_EXISTS,
                 "backup over a backup");
    ASSERT_EQ(VaultBackup(A(m_vault).c_str(), A(backup).c_str(), VAULT_BACKUP_REPLACE),
              (DWORD)ERROR_SUCCESS);
    ExpectResult(VaultRestoreToNewVault(A(backup).c_str()), ERROR_SUCCESS, "replaced backup");
    EXPECT_EQ(Take(m_root / "Backups" / "Work (3)"), Take(m_vault));
}

TEST_F(VaultManager, FailuresAreReportedAndLeaveNothingBehind)
{
    const fs::path file = m_root / "file.txt", other = m_root / "other";
    const fs::path done = m_root / "done", damaged = m_root / "damaged";
    Write(file, "a file");
    Write(other / "unrelated.txt", "not a backup");
    ASSERT_EQ(VaultBackup(A(m_vault).c_str(), A(done).c_str(), 0), (DWORD)ERROR_SUCCESS);
    ASSERT_EQ(VaultBackup(A(m_vault).c_str(), A(damaged).c_str(), 0), (DWORD)ERROR_SUCCESS);
    fs::remove(damaged / "Vault" / "a.txt");
    std::string missingDrive = "?:\\backup";
    for (char c = 'Z'; c >= 'D'; c--)
        if (!(GetLogicalDrives() & (1u << (c - 'A'))))
            missingDrive[0] = c;

    struct Case {
        const char* what;
        std::string vault, backup;
        DWORD dwFlags, expected;
    };
    const Case backups[] = {
        {"missing vault", A(m_root / "none"), A(m_root / "b1"), 0, ERROR_PATH_NOT_FOUND},
        {"vault is a file", A(file), A(m_root / "b2"), 0, ERROR_DIRECTORY},
        {"empty vault path", "", A(m_root / "b3"), 0, ERROR_INVALID_PARAMETER},
        {"unknown flag", A(m_vault), A(m_root / "b4"), 2, ERROR_INVALID_FLAGS},
        {"backup is a file", A(m_vault), A(file), 0, ERROR_DIRECTORY},
        {"backup under a file", A(m_vault), A(file / "b5"), 0, kAnyFailure},
        {"backup on a missing drive", A(m_vault), missingDrive, 0, kAnyFailure},
        {"backup inside the vault", A(m_vault), A(m_vault / "b6"), 0, ERROR_INVALID_PARAMETER},
        {"vault inside the backup", A(m_vault), A(m_root), VAULT_BACKUP_REPLACE,
         ERROR_INVALID_PARAMETER},
        {"folder that holds other files", A(m_vault), A(other), 0, ERROR_DIR_NOT_EMPTY},
    };
    for (const Case& c : backups) {
        bool bExisted = fs::exists(c.backup);
        ExpectResult(VaultBackup(c.vault.c_str(), c.backup.c_str(), c.dwFlags), c.expected, c.what);
        EXPECT_EQ(fs::exists(c.backup), bExisted) << c.what;
    }

    // A file that cannot be read stops the copy half-way: nothing is kept.
    HANDLE hLocked = CreateFileW(W(m_vault / "sub" / "deep" / "big.bin").c_str(), GENERIC_READ, 0,
                                 nullptr, OPEN_EXISTING, 0, nullptr);
    ExpectResult(VaultBackup(A(m_vault).c_str(), A(m_root / "b7").c_str(), 0),
                 ERROR_SHARING_VIOLATION, "locked vault file");
    CloseHandle(hLocked);
    EXPECT_FALSE(fs::exists(m_root / "b7"));

    const Snapshot before = Take(m_root);
    const Case restores[] = {
        {"missing backup", "", A(m_root / "none"), 0, ERROR_PATH_NOT_FOUND},
        {"not a backup", "", A(other), 0, ERROR_BAD_FORMAT},
        {"backup that lost a file", "", A(damaged), 0, ERROR_FILE_CORRUPT},
    };
    for (const Case& c : restores) {
        ExpectResult(VaultRestoreToCurrentVault(c.backup.c_str()), c.expected, c.what);
        ExpectResult(VaultRestoreToNewVault(c.backup.c_str()), c.expected, c.what);
    }
    EXPECT_TRUE(g_restored.empty()) << "the callback was told of a failed restore";
    EXPECT_EQ(Take(m_root), before) << "a failed restore changed files";
}

// ---- Crypto provider ------------------------------------------------------
// The forwarding crypto provider as the prefix serves it:
// its key wrap against OpenSSL's (run natively on the same key bytes), the
// blobs and keys it refuses, key pairs that other contexts and processes find
// at once, and the pass-through under the TCG-enabled provider's name. Key
// handles are not destroyed one by one: they last as long as this short
// process.

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

// OpenSSL's enc on the given bytes, through files: its output is moved to
// "ok" only when it succeeded.
Bytes OpenSsl(const std::string& args, const Bytes& in)
{
    const std::string dir = "/tmp/csp-test-" + std::to_string(GetCurrentProcessId());
    const std::wstring win = DosName(dir);
    CreateDirectoryW(win.c_str(), nullptr);
    harness::WriteFileText(win + L"\\in", std::string(in.begin(), in.end()));
    const bool ok = harness::RunShell("cd " + dir + " && openssl enc " + args + " -in in -out out 2>err && mv out ok",
                                      win + L"\\done") &&
                    GetFileAttributesW((win + L"\\ok").c_str()) != INVALID_FILE_ATTRIBUTES;
    const std::string out = ReadFileText(win + L"\\ok"), err = ReadFileText(win + L"\\err");
    for (const wchar_t* name : {L"\\in", L"\\out", L"\\err", L"\\ok"}) DeleteFileW((win + name).c_str());
    RemoveDirectoryW(win.c_str());
    EXPECT_TRUE(ok) << "openssl enc " << args << ": " << err;
    return ok ? Bytes(out.begin(), out.end()) : Bytes();
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

long FindPairElsewhere(const std::wstring& container, DWORD dwSpec, const Bytes& pub)
{
    const std::string args = " " + std::to_string(dwSpec) + " " + Hex(pub);
    harness::AgentProcess finder;
    return finder.Start(harness::SelfPath(), L"--find-pair " + container + std::wstring(args.begin(), args.end()))
               ? finder.WaitForExit(30000)
               : -1;
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
        EXPECT_EQ(0, FindPairElsewhere(box.name, c.dwSpec, pub)) << "another process looking for the pair";
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
