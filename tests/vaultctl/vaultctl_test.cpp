// vaultctl as a person runs it: a process started with a command line, its
// output and exit code, and what it changed in the registry and on disk.
#include <gtest/gtest.h>
#include <shlobj.h>

#include <atomic>
#include <filesystem>
#include <functional>
#include <optional>
#include <set>
#include <thread>

#include "AgentHarness.h"
#include "Companion.h"
#include "ControlWindow.h"
#include "DriverSim.h"
#include "ExplorerRecord.h"
#include "ServingAgent.h"
#include "VaultExplorer.h"

using namespace harness;
using std::wstring;
namespace fs = std::filesystem;

namespace {

const wchar_t kVaultsKey[] = L"Software\\Revedi Zadoder Avir.\\Vuzaziz\\Vaults\\";
const wstring kRoot = L"C:\\vaultctl-test";

// The one assertion: runs vaultctl.exe with a command line tail and checks
// its exit code and a text each in its stdout and stderr (empty: anything).
void Expect(const wstring& args, long code, const wstring& out, const wstring& err = L"")
{
    std::string text[2];
    const long got = RunProgram(ExeDir() + L"\\vaultctl.exe", args, &text[0], &text[1]);
    const std::string what = "vaultctl " + Narrow(args) + "\n--- stdout:\n" + text[0] + "--- stderr:\n" + text[1];
    EXPECT_EQ(code, got) << what;
    EXPECT_NE(std::string::npos, text[0].find(Narrow(out))) << "stdout lacks \"" << Narrow(out) << "\"\n" << what;
    EXPECT_NE(std::string::npos, text[1].find(Narrow(err))) << "stderr lacks \"" << Narrow(err) << "\"\n" << what;
}

// One command of a session: its exit code, its output, and a check of what it did.
struct Step {
    wstring args;
    long code;
    wstring out;
    std::function<void()> check = {};
};

void Play(const std::vector<Step>& steps)
{
    for (const Step& step : steps) {
        SCOPED_TRACE(Narrow(step.args));
        Expect(step.args, step.code, step.out);
        if (step.check)
            step.check();
    }
}

wstring Hex(const void* p, size_t n)
{
    wstring text;
    for (const BYTE* b = static_cast<const BYTE*>(p); n--; b++)
        text += {L"0123456789abcdef"[*b >> 4], L"0123456789abcdef"[*b & 15]};
    return text;
}

// The files of a folder: "name=content ..." by name.
std::string Files(const wstring& folder)
{
    std::set<std::string> files;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(folder, ec))
        files.insert(entry.path().filename().string() + "=" + ReadFileText(entry.path().wstring()));
    std::string text;
    for (const std::string& file : files)
        text += (text.empty() ? "" : " ") + file;
    return text;
}

// A vault record in one line: "Name=value;" for each value it has, numbers
// and bytes in hex; empty when there is none.
wstring Record(const wstring& subkey)
{
    wstring text;
    for (const wchar_t* name : {L"Path", L"Label", L"Container", L"MapName", L"Settings", L"Key"}) {
        wchar_t value[512];
        DWORD cb = sizeof(value), dwType = 0;
        if (!RegGetValueW(HKEY_CURRENT_USER, (kVaultsKey + subkey).c_str(), name, RRF_RT_ANY, &dwType, value, &cb))
            text += wstring(name) + L"=" + (dwType == REG_SZ ? value : Hex(value, cb)) + L";";
    }
    return text;
}

wstring AppData()
{
    wchar_t path[MAX_PATH] = {};
    SHGetFolderPathW(nullptr, CSIDL_APPDATA, nullptr, 0, path);
    return path;
}

// What the tests leave: records, drive V:, files (read-only ones too),
// explorers started by the agent and their record.
void Clean()
{
    for (const wchar_t* subkey : {L"Q", L"V"})
        RegDeleteKeyW(HKEY_CURRENT_USER, (kVaultsKey + wstring(subkey)).c_str());
    while (DefineDosDeviceW(DDD_REMOVE_DEFINITION, L"V:", nullptr))
        continue;
    RemoveTree(kRoot);
    for (const wchar_t* name : {L"\\Vault3.cfg", L"\\KeyArchive.xml"})
        DeleteFileW((AppData() + name).c_str());
    HWND hExplorer = nullptr;
    for (int i = 0; i < 10 && (hExplorer = FindWindowW(VAULT_EXPLORER_CLASS, nullptr)); i++) {
        PostMessageW(hExplorer, WM_CLOSE, 0, 0);
        WaitUntil([&] { return !IsWindow(hExplorer); }, 5000);
    }
    DeleteFileW((ExeDir() + L"\\" EXPLORER_RECORD_FILE).c_str());
}

wstring Long(size_t chars) { return kRoot + L"\\" + wstring(chars - kRoot.size() - 1, L'a'); }

// Every command, with arguments that pass the checks made before the agent
// is looked for.
const wchar_t* const kValidCommands[] = {
    L"create Q: --path C:\\vaultctl-test\\q", L"login C:\\Vault1", L"status C:\\Vault1",
    L"logout C:\\Vault1", L"disconnect C:\\Vault1", L"dump", L"share C:\\a C:\\b",
    L"check-shared C:\\a C:\\b", L"unshare C:\\a", L"backup C:\\a C:\\b 7", L"restore C:\\a --new",
    L"move-config C:\\a", L"remove-files C:\\a", L"remove-files", L"explore", L"quit"};

}  // namespace

// Help, refused arguments (exit 2) and no agent (exit 3): nothing is done.
TEST(Vaultctl, AloneItHelpsRefusesBadArgumentsAndFindsNoAgent)
{
    ASSERT_EQ(nullptr, FindWindowW(CONTROL_WINDOW_CLASS, CONTROL_WINDOW_TITLE)) << "an agent is running";
    Clean();
    for (const wchar_t* args : {L"--help", L"help", L"-h"})
        Expect(args, 0, L"Exit codes:\r\n  0  done");
    Expect(L"help status", 0, L"usage: vaultctl status PATH");
    for (const wstring command : kValidCommands) {
        const wstring name = command.substr(0, command.find(L' '));
        Expect(name + L" --help", 0, L"usage: vaultctl " + name);
        Expect(command, 3, L"", L"vaultctl: no agent is running in this session");
    }
    // The longest paths the agent's slots hold pass.
    Expect(L"status " + Long(259), 3, L"");
    Expect(L"restore " + Long(255), 3, L"");
    EXPECT_EQ(L"", Record(L"Q")) << "create wrote a record with no agent to serve it";

    const std::pair<wstring, wstring> cases[] = {
        {L"", L"no command given"},
        {L"frob", L"unknown command \"frob\""},
        {L"status", L"too few arguments\r\nusage: vaultctl status PATH"},
        {L"status C:\\a C:\\b", L"too many arguments"},
        {L"remove-files C:\\a C:\\b C:\\c", L"too many arguments"},
        {L"status C:\\a --new", L"unknown option --new for status"},
        {L"--timeout 0 status C:\\a", L"--timeout takes a number of seconds"},
        {L"status C:\\a --timeout", L"--timeout needs a value"},
        {L"create 1: --path C:\\v", L"a letter from A to Z, not \"1:\""},
        {L"create QR --path C:\\v", L"a letter from A to Z"},
        {L"create Q:", L"--path FOLDER is required"},
        {L"create Q: --path C:\\v --settings 2x", L"--settings must be a 32-bit number"},
        {L"create Q: --path C:\\v --container \"\"", L"--container must not be empty"},
        {L"create Q: --path " + Long(260), L"is 260 characters long; the agent takes at most 259"},
        {L"create Q: --path " + Long(258) + L" --label " + wstring(260, L'l'), L"--label is 260"},
        {L"status " + Long(260), L"the agent takes at most 259"},
        {L"restore " + Long(256), L"256 characters long; the agent takes at most 255"},
        {L"backup C:\\a C:\\b seven", L"FLAGS must be a 32-bit number"},
        {L"check-shared C:\\\x6587 C:\\b", L"the system code page cannot hold"},
    };
    for (const auto& [args, err] : cases)
        Expect(args, 2, L"", err);
}

// A window with the agent's class and title in this process: it takes the
// messages and, as told, never answers or hangs.
class StandIn : public ::testing::Test {
protected:
    static inline std::atomic<bool> s_hang{false};
    static inline VAULT_DESCRIPTION_SECTION s_lastDescription;

    void SetUp() override
    {
        Clean();
        s_hang = false;
        m_thread = std::thread([this] { Serve(); });
        ASSERT_NE(nullptr, FindControlWindow(5000));
    }
    void TearDown() override
    {
        PostMessageW(m_hWnd, WM_QUIT, 0, 0);
        m_thread.join();
        Clean();
    }

    static LRESULT CALLBACK Proc(HWND hWnd, UINT uMessage, WPARAM wParam, LPARAM lParam)
    {
        if (uMessage == RegisterWindowMessageW(MSG_NAME_INITIALIZE_VAULTS)) {
            HANDLE hMap = OpenFileMappingA(FILE_MAP_ALL_ACCESS, FALSE, SECTION_VAULT_DESCRIPTION);
            if (void* view = hMap ? MapViewOfFile(hMap, FILE_MAP_ALL_ACCESS, 0, 0, 0) : nullptr) {
                memcpy(&s_lastDescription, view, sizeof(s_lastDescription));
                UnmapViewOfFile(view);
            }
            if (hMap)
                CloseHandle(hMap);
        }
        if (uMessage >= 0xC000 && s_hang)
            Sleep(3000);
        return DefWindowProcW(hWnd, uMessage, wParam, lParam);
    }

    void Serve()
    {
        WNDCLASSW wc{};
        wc.lpfnWndProc = Proc;
        wc.hInstance = GetModuleHandleW(nullptr);
        wc.lpszClassName = CONTROL_WINDOW_CLASS;
        RegisterClassW(&wc);
        m_hWnd = CreateWindowW(CONTROL_WINDOW_CLASS, CONTROL_WINDOW_TITLE, WS_OVERLAPPEDWINDOW, 0, 0, 0, 0,
                               nullptr, nullptr, wc.hInstance, nullptr);
        MSG msg;
        while (GetMessageW(&msg, nullptr, 0, 0) > 0)
            DispatchMessageW(&msg);
        DestroyWindow(m_hWnd);
        UnregisterClassW(CONTROL_WINDOW_CLASS, wc.hInstance);
    }

    // The last creation's section as the window read it, in one line.
    static wstring Described()
    {
        const VAULT_DESCRIPTION_SECTION& d = s_lastDescription;
        return wstring(d.wszLabel) + L"|" + d.wszPath + L"|" + d.wszContainer + L"|" + d.wszMapName + L"|" +
               d.wszDrive + L"|" + Hex(&d.dwSettings, 4) + L"|" + std::to_wstring(d.bGenerate) + L"|" +
               Hex(d.abKey, std::min<size_t>(d.dwKeyLength, sizeof(d.abKey)));
    }

    std::thread m_thread;
    std::atomic<HWND> m_hWnd{nullptr};
};

TEST_F(StandIn, CreateWritesRecordAndSectionBeforeWaitingAndNoAnswerExitsFour)
{
    const wstring folder = kRoot + L"\\deep\\q";
    Expect(L"--timeout 1 create q --path " + folder + L"\\ --label \"My vault\" --settings 0x10", 4, L"",
           L"the vault record Q stays written");
    // No Key: the agent writes the key it generates. The drive is the record's subkey name.
    EXPECT_EQ(L"Path=" + folder + L";Label=My vault;Container=Vuzaziz-Q;MapName=;Settings=10000000;", Record(L"Q"));
    EXPECT_TRUE(fs::is_directory(folder));
    EXPECT_EQ(L"My vault|" + folder + L"|Vuzaziz-Q||Q|10000000|1|", Described());

    Expect(L"create Q: --path " + folder, 2, L"", L"a vault record for Q: exists already");
    Expect(L"create R: --path " + folder, 2, L"", L"is the vault of record Q already");

    // An existing wrapped key replaces generation, and goes into the record
    // itself; a map name makes a network vault unless settings say otherwise.
    WriteFileText(kRoot + L"\\key.bin", std::string("\x01\x02\0\0\x03\x66\0\0\xA4\xFF", 10));
    Expect(L"--timeout 1 create Q: --force --path " + folder + L" --map-name \\\\srv\\v --key-file " + kRoot +
               L"\\key.bin --container C1",
           4, L"", L"did not answer");
    const wstring key = L"0102000003660000a4ff";
    EXPECT_EQ(L"Path=" + folder + L";Label=q;Container=C1;MapName=\\\\srv\\v;Settings=02000000;Key=" + key + L";",
              Record(L"Q"));
    EXPECT_EQ(L"q|" + folder + L"|C1|\\\\srv\\v|Q|02000000|0|" + key, Described());

    // Commands run on the agent's timer wait for their event; the others
    // for the window procedure, here held up for three seconds.
    for (const wstring args : {L"login C:\\Vault1", L"restore C:\\a"})
        Expect(L"--timeout 1 " + args, 4, L"", L"did not answer within 1 s");
    // A section of the same name still open (the agent closes its own just
    // after it answers) is waited for, and refused when it stays.
    HANDLE hHeld =
        CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 4096, SECTION_VAULT_DESCRIPTION);
    Expect(L"--timeout 1 login C:\\Vault1", 5, L"", L"is held by another program that is in the middle of a command");
    std::thread letGo([&] { Sleep(1000); CloseHandle(hHeld); });
    Expect(L"--timeout 1 login C:\\Vault1", 4, L"", L"did not answer within 1 s");
    letGo.join();
    // The agent always shows the dump's boxes: none means it did not take the command.
    Expect(L"dump --dismiss", 4, L"", L"it showed no message box");
    s_hang = true;
    // quit, last, ends the stand-in.
    for (const wstring args : {L"status C:\\Vault1", L"check-shared C:\\a C:\\b", L"quit"})
        Expect(L"--timeout 0.5 " + args, 4, L"", L"within 0.5 s");
}

// A real agent served by the driver simulator.
class WithAgent : public ServedAgentTest {
protected:
    void SetUp() override
    {
        Clean();
        fs::create_directory(kRoot);
        ServedAgentTest::SetUp();
        StartAgent();
    }
    void TearDown() override
    {
        ServedAgentTest::TearDown();
        Clean();
    }
    using Vault = driversim::DriverSim::Vault;
    // The driver's view of the vault at a DOS path, if it knows one.
    std::optional<Vault> Known(const wstring& path)
    {
        for (const auto& v : sim.Vaults())
            if (_wcsicmp(v.devicePath.c_str(), DeviceOf(path).c_str()) == 0)
                return v;
        return std::nullopt;
    }
    size_t Told(DWORD command) { return ControlsOf(sim, command).size(); }
    // The folder pairs that restores told the driver about, one line each:
    // device, directory, name and (extension) of each folder.
    wstring PathPairs()
    {
        wstring text;
        for (const auto& m : ControlsOf(sim, VAULT_PATH_PAIR))
            text += wstring(m.wszDevice1) + m.wszDir1 + m.wszName1 + L"(" + m.wszExt1 + L") " + m.wszDevice2 +
                    m.wszDir2 + m.wszName2 + L"(" + m.wszExt2 + L")\n";
        return text;
    }
};

TEST_F(WithAgent, AVaultFromCreationToDisconnection)
{
    const wstring vault = kRoot + L"\\Vault1", vault10 = kRoot + L"\\Vault10";
    // A wrapped key that no container of this user unwraps: the vault is taken back.
    WriteFileText(kRoot + L"\\broken.key", std::string(140, '\x5A'));
    Expect(L"create V: --path " + vault + L" --key-file " + kRoot + L"\\broken.key", 1,
           L"not created: the agent could not make the keys of vault V:");
    EXPECT_EQ(L"", Record(L"V")) << "the record stays behind";
    EXPECT_FALSE(fs::exists(vault)) << "the new folder stays behind";
    EXPECT_FALSE(Known(vault));

    Expect(L"create v: --path " + vault + L" --label Work", 0,
           L"created vault V: at " + vault + L" (label \"Work\", container \"Vuzaziz-V\"), logged in");
    ASSERT_TRUE(Known(vault)) << "no ADD_VAULTS for the new vault";
    EXPECT_TRUE(Known(vault)->newVault);
    EXPECT_NE(wstring::npos, Record(L"V").find(L";Key=")) << "the agent keeps the generated key in the record";
    Expect(L"create V: --path " + vault, 2, L"", L"exists already");

    Play({
        {L"status " + vault + L"\\sub\\file.txt", 0, L"logged in: " + vault + L"\\sub\\file.txt"},
        {L"status " + vault10, 1, L"not logged in: " + vault10},
        {L"logout " + vault + L"\\", 0, L"logged out: " + vault + L" (status before: logged in, now: not logged in)",
         [&] { EXPECT_EQ(1u, Told(VAULT_LOGGED_OUT)); }},
        {L"status " + vault, 1, L"not logged in: " + vault},
        {L"login " + vault, 0, L"logged in: " + vault, [&] { EXPECT_TRUE(Known(vault).value_or(Vault{}).loggedIn); }},
        {L"login " + vault10, 1, L"not logged in: " + vault10 + L" (no vault holds this path)",
         [&] { EXPECT_EQ(1u, Told(VAULT_LOGGED_IN)); }},
        {L"dump --dismiss", 0,
         L"agent message box \"Vault service\": Sending DUMP_OPEN_FILES message [closed]\r\n"
         L"agent message box \"Vault service\": Message Sent successfully [closed]\r\n"
         L"dump: request sent to the driver",
         [&] {
             EXPECT_EQ(1u, Told(DUMP_OPEN_FILES));
             sim.SetControlAnswer(E_FAIL);
         }},
        {L"dump --dismiss", 1, L"Message Sent failed [closed]\r\ndump: the driver refused the request",
         [&] { sim.SetControlAnswer(S_OK); }},
        {L"disconnect " + vault, 0, L"disconnected: " + vault + L" (status before: logged in, now: not logged in)",
         [&] { EXPECT_FALSE(Known(vault)) << "the driver still lists the vault"; }},
        {L"status " + vault, 1, L"not logged in"},
        {L"quit", 0, L"the agent (pid " + std::to_wstring(agent.Pid()) + L") ended",
         [&] { EXPECT_EQ(0, agent.WaitForExit(0)); }},
    });
}

TEST_F(WithAgent, AVaultsFilesBackedUpRestoredSharedCopiedAndRemoved)
{
    const wstring work = kRoot + L"\\Work", work2 = kRoot + L"\\Work (2)", backup = kRoot + L"\\Backup.1",
                  shared = kRoot + L"\\Shared", locked = shared + L"\\locked.txt", none = shared + L"\\none.cfg";
    const wstring record = ExeDir() + L"\\" EXPLORER_RECORD_FILE;
    auto q = [](const wstring& path) { return L"\"" + path + L"\""; };   // "Work (2)" has a space
    for (const auto& [file, text] : {std::pair{work + L"\\vault3.cfg", "config"}, {work + L"\\keyArchive.xml", "keys"},
                                     {work + L"\\notes.txt", "notes"}, {shared + L"\\vault3.cfg", "old"},
                                     {locked, "locked"}, {AppData() + L"\\Vault3.cfg", "old"}}) {
        fs::create_directories(fs::path(file).parent_path());
        WriteFileText(file, text);
    }
    SetFileAttributesW(locked.c_str(), FILE_ATTRIBUTE_READONLY);
    const wstring from = DeviceOf(backup) + L"(.1) " + DeviceOf(kRoot) + L"\\";

    Play({
        // Backups: made, refused over an existing one, replaced when told.
        {L"backup " + work + L" " + backup + L" 0", 0, L"backed up " + work + L" into " + backup},
        {L"backup " + work + L" " + backup + L" 0", 1,
         L"not backed up: the vault-manager library refused to back up " + work + L" into " + backup},
        {L"backup " + work + L" " + backup + L" 1", 0, L"backed up",
         [&] {   // a damaged file, and one that the backup does not know
             WriteFileText(work + L"\\notes.txt", "damaged");
             WriteFileText(work + L"\\extra.txt", "extra");
         }},
        {L"restore " + backup, 0, L"restore of " + backup + L" into the vault it was made from has run",
         [&] {
             EXPECT_EQ("extra.txt=extra keyArchive.xml=keys notes.txt=notes vault3.cfg=config", Files(work));
             EXPECT_EQ(from + L"Work()\n", PathPairs());
         }},
        {L"restore " + backup + L" --new", 0, L"restored into a new vault folder: " + work2 + L"\r\n",
         [&] {
             EXPECT_EQ("keyArchive.xml=keys notes.txt=notes vault3.cfg=config", Files(work2));
             EXPECT_EQ(from + L"Work()\n" + from + L"Work (2)()\n", PathPairs());
         }},
        // A folder that is not a backup: nothing restored, nothing told to the driver.
        {L"restore " + work, 0, L"(the agent does not report whether the library restored anything)"},
        {L"restore " + work + L" --new", 1, L"not restored: no new vault folder appeared beside " + work,
         [&] { EXPECT_EQ(2u, Told(VAULT_PATH_PAIR)); }},

        // Sharing moves the configuration, over what the destination held.
        {L"share " + work + L" " + shared, 0,
         L"vault3.cfg: moved to " + shared + L"\r\nkeyArchive.xml: moved to " + shared,
         [&] {
             EXPECT_EQ("extra.txt=extra notes.txt=notes", Files(work));
             EXPECT_EQ("keyArchive.xml=keys locked.txt=locked vault3.cfg=config", Files(shared));
         }},
        {L"share " + work + L" " + shared, 1, L"vault3.cfg: not in " + work + L"\r\nkeyArchive.xml: not in " + work},
        {L"share " + shared + L" " + kRoot + L"\\none", 1,
         L"vault3.cfg: not moved (there is no folder " + kRoot + L"\\none)\r\nkeyArchive.xml: not moved"},
        {L"check-shared " + shared + L"\\vault3.cfg " + shared + L"\\keyArchive.xml", 0, L"shared: both files exist"},
        {L"check-shared " + none + L" " + shared + L"\\keyArchive.xml", 1, L"not shared: missing " + none + L"\r\n"},
        {L"check-shared " + shared + L"\\vault3.cfg " + none, 1, L"not shared: missing " + none + L"\r\n"},
        {L"unshare " + shared + L"\\vault3.cfg", 0, L"deleted: " + shared + L"\\vault3.cfg"},
        {L"unshare " + shared + L"\\vault3.cfg", 1, L"not deleted: " + shared + L"\\vault3.cfg (no such file)"},
        {L"unshare " + locked, 1, L"not deleted: " + locked + L" (the agent could not delete it)",
         [&] { EXPECT_EQ("keyArchive.xml=keys locked.txt=locked", Files(shared)); }},

        // The configuration copied into the user's application data, over what was there.
        {L"move-config " + q(work2), 0,
         L"copied Vault3.cfg and KeyArchive.xml from " + work2 + L" to " + AppData() + L"\r\n",
         [&] {
             EXPECT_EQ("config|keys", ReadFileText(AppData() + L"\\Vault3.cfg") + "|" + ReadFileText(AppData() + L"\\KeyArchive.xml"));
             EXPECT_EQ("keyArchive.xml=keys notes.txt=notes vault3.cfg=config", Files(work2)) << "sources stay";
         }},
        {L"remove-files \"\" " + q(work2 + L"\\keyArchive.xml"), 0, L"deleted: " + work2 + L"\\keyArchive.xml",
         [&] { WriteFileText(work2 + L"\\vault3.cfg", "config 2"); }},
        {L"move-config " + q(work2), 1,
         L"not copied: " + work2 + L" has no KeyArchive.xml (Vault3.cfg was copied all the same)",
         [&] { EXPECT_EQ("config 2", ReadFileText(AppData() + L"\\Vault3.cfg")); }},
        {L"remove-files " + locked + L" " + none, 1, L"still there: " + locked + L"\r\nwas not there: " + none},

        // Each request starts another explorer beside the agent.
        {L"explore", 0, L"asked the agent to start the vault explorer (" + ExeDir() + L"\\VododizEveru.exe)"},
        {L"explore", 0, L"asked the agent to start the vault explorer",
         [&] { EXPECT_TRUE(WaitUntil([&] { return CountOf(ReadFileText(record), "start pid=") == 2; }, 10000)); }},
    });
}
