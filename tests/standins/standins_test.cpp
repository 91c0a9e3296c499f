// The stand-ins for the product's pieces around the agent, each met the way
// the agent meets it: the icon library in the prefix's system folder, the
// vault explorer as separate processes told by window messages, and the
// vault-manager library imported at load time.
#include <windows.h>
#include <shellapi.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
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

std::wstring SystemIconLibrary()
{
    wchar_t wszSystem[MAX_PATH];
    GetSystemDirectoryW(wszSystem, MAX_PATH);
    return std::wstring(wszSystem) + L"\\vidizer.dll";
}

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
    const std::wstring lib = SystemIconLibrary();
    EXPECT_EQ(ReadFileText(lib), ReadFileText(ExeDir() + L"\\vidizer.dll"))
        << "the system folder's copy is not the one just built";
    ASSERT_EQ(ExtractIconExW(lib.c_str(), -1, nullptr, nullptr, 0), 6u);

    std::vector<std::vector<uint32_t>> large, small;
    for (int i = 0; i < 6; i++) {
        HICON hLarge = nullptr, hSmall = nullptr;
        ExtractIconExW(lib.c_str(), i, &hLarge, &hSmall, 1);
        auto [cxLarge, pxLarge] = IconPixels(hLarge);
        auto [cxSmall, pxSmall] = IconPixels(hSmall);
        EXPECT_EQ(cxLarge, 32) << "icon " << i;
        EXPECT_EQ(cxSmall, 16) << "icon " << i;
        large.push_back(pxLarge);
        small.push_back(pxSmall);
        DestroyIcon(hLarge);
        DestroyIcon(hSmall);
    }
    for (int i = 0; i < 6; i++)
        for (int j = i + 1; j < 6; j++) {
            EXPECT_NE(large[i], large[j]) << "large icons " << i << " and " << j;
            EXPECT_NE(small[i], small[j]) << "small icons " << i << " and " << j;
        }

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
    void TearDown() override
    {
        for (PROCESS_INFORMATION& pi : m_started) {
            if (WaitForSingleObject(pi.hProcess, 0) == WAIT_TIMEOUT)
                TerminateProcess(pi.hProcess, 1);
            CloseHandle(pi.hProcess);
            CloseHandle(pi.hThread);
        }
    }

    static std::wstring RecordPath() { return ExeDir() + L"\\" EXPLORER_RECORD_FILE; }

    // Starts one explorer and returns its window, once its start is recorded.
    std::pair<DWORD, HWND> Launch()
    {
        std::wstring program = ExeDir() + L"\\" VAULT_EXPLORER_PROGRAM;
        STARTUPINFOW si = {sizeof(si)};
        PROCESS_INFORMATION pi{};
        if (!CreateProcessW(program.c_str(), nullptr, nullptr, nullptr, FALSE, 0, nullptr,
                            ExeDir().c_str(), &si, &pi))
            return {0, nullptr};
        m_started.push_back(pi);
        unsigned long long window = 0;
        WaitUntil([&] { return StartedWindow(pi.dwProcessId, &window); }, 10000);
        return {pi.dwProcessId, (HWND)(ULONG_PTR)window};
    }

    static bool StartedWindow(DWORD pid, unsigned long long* pWindow)
    {
        for (const std::string& line : Lines()) {
            unsigned long linePid = 0;
            if (sscanf(line.c_str(), EXPLORER_RECORD_START, &linePid, pWindow) == 2 &&
                linePid == pid)
                return true;
        }
        return false;
    }

    static std::vector<std::string> Lines()
    {
        std::vector<std::string> lines;
        std::string text = ReadFileText(RecordPath());
        for (size_t at = 0, end; (end = text.find("\r\n", at)) != std::string::npos; at = end + 2)
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

    // Exit code of a started explorer once it ended, -1 if it did not.
    long ExitCode(DWORD pid)
    {
        for (PROCESS_INFORMATION& pi : m_started) {
            DWORD code = 0;
            if (pi.dwProcessId == pid && WaitForSingleObject(pi.hProcess, 10000) == WAIT_OBJECT_0 &&
                GetExitCodeProcess(pi.hProcess, &code))
                return (long)code;
        }
        return -1;
    }

    std::vector<PROCESS_INFORMATION> m_started;
};

TEST_F(Explorer, RecordsMessage0x598FromAnotherProcessExactly)
{
    auto [pid, hWnd] = Launch();
    ASSERT_TRUE(IsWindow(hWnd)) << "no start recorded";
    wchar_t wszClass[64] = {};
    GetClassNameW(hWnd, wszClass, 64);
    EXPECT_STREQ(wszClass, VAULT_EXPLORER_CLASS);
    EXPECT_EQ(FindWindowW(VAULT_EXPLORER_CLASS, nullptr), hWnd);
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
    EXPECT_EQ(ExitCode(pid), 0);
    expected.push_back(Line(EXPLORER_RECORD_END, pid));
    // A sent message overtakes the posted ones still queued: compare the
    // messages in between as a set.
    std::vector<std::string> lines = Lines();
    ASSERT_EQ(expected.size(), lines.size());
    std::sort(expected.begin() + 1, expected.end() - 1);
    std::sort(lines.begin() + 1, lines.end() - 1);
    EXPECT_EQ(lines, expected);
}

TEST_F(Explorer, TwoLaunchesAreTwoInstancesEndedByCloseAndQuit)
{
    auto [pid1, hWnd1] = Launch();
    auto [pid2, hWnd2] = Launch();
    ASSERT_TRUE(IsWindow(hWnd1) && IsWindow(hWnd2)) << "a start was not recorded";
    EXPECT_NE(pid1, pid2);
    EXPECT_NE(hWnd1, hWnd2);
    int windows = 0;
    for (HWND h = nullptr; (h = FindWindowExW(nullptr, h, VAULT_EXPLORER_CLASS, nullptr));)
        windows++;
    EXPECT_EQ(windows, 2);

    PostMessageW(hWnd1, WM_CLOSE, 0, 0);
    PostMessageW(hWnd2, WM_QUIT, 0, 0);
    EXPECT_EQ(ExitCode(pid1), 0);
    EXPECT_EQ(ExitCode(pid2), 0);
    std::vector<std::string> lines = Lines();
    for (DWORD pid : {pid1, pid2})
        EXPECT_EQ(std::count(lines.begin(), lines.end(), Line(EXPLORER_RECORD_END, pid)), 1)
            << "pid " << pid;
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
        std::string big(1 << 20, '\0');
        for (size_t i = 0; i < big.size(); i++)
            big[i] = (char)((i * 2654435761u) >> 13);
        Write(m_vault / "vault3.cfg", "<config version=\"3\"/>");
        Write(m_vault / "keyArchive.xml", "<keys>wrapped</keys>");
        Write(m_vault / "a.txt", "alpha\r\n");
        Write(m_vault / "empty.bin", "");
        Write(m_vault / "sub" / "deep" / "big.bin", big);
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

}  // namespace
