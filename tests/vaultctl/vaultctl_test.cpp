// vaultctl as a person runs it: a process started with a command line,
// its output and its exit code.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <functional>
#include <thread>

#include "AgentHarness.h"
#include "Companion.h"
#include "ControlWindow.h"
#include "DriverSim.h"

using namespace harness;

namespace {

struct Result {
    long code = -1;
    std::string out, err;
    std::wstring line;
};

std::string ReadAll(HANDLE h)
{
    std::string text;
    char buf[4096];
    DWORD n = 0;
    SetFilePointer(h, 0, nullptr, FILE_BEGIN);
    while (ReadFile(h, buf, sizeof(buf), &n, nullptr) && n > 0)
        text.append(buf, n);
    return text;
}

HANDLE TempFile()
{
    wchar_t dir[MAX_PATH], path[MAX_PATH];
    GetTempPathW(MAX_PATH, dir);
    GetTempFileNameW(dir, L"vct", 0, path);
    SECURITY_ATTRIBUTES sa{sizeof(sa), nullptr, TRUE};
    return CreateFileW(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &sa,
                       CREATE_ALWAYS, FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
}

// Runs vaultctl.exe with a command line tail and waits for it to end.
Result Vaultctl(const std::wstring& args)
{
    Result r;
    r.line = L"vaultctl " + args;
    HANDLE hOut = TempFile(), hErr = TempFile();
    STARTUPINFOW si{};
    si.cb = sizeof(si);
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdOutput = hOut;
    si.hStdError = hErr;
    std::wstring cmd = L"\"" + ExeDir() + L"\\vaultctl.exe\" " + args;
    PROCESS_INFORMATION pi{};
    if (CreateProcessW(nullptr, cmd.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi)) {
        if (WaitForSingleObject(pi.hProcess, 120000) == WAIT_OBJECT_0) {
            DWORD code = 0;
            GetExitCodeProcess(pi.hProcess, &code);
            r.code = static_cast<long>(code);
        } else {
            TerminateProcess(pi.hProcess, 99);
        }
        CloseHandle(pi.hProcess);
        CloseHandle(pi.hThread);
    }
    r.out = ReadAll(hOut);
    r.err = ReadAll(hErr);
    CloseHandle(hOut);
    CloseHandle(hErr);
    return r;
}

std::string Utf8(const std::wstring& text)
{
    std::string s(text.size() * 3, '\0');
    s.resize(WideCharToMultiByte(CP_UTF8, 0, text.data(), (int)text.size(), s.data(), (int)s.size(),
                                 nullptr, nullptr));
    return s;
}

// The one assertion: exit code, and a text each in stdout and stderr (empty: anything).
void Expect(const Result& r, long code, const std::string& out, const std::string& err = "")
{
    const std::string what = Utf8(r.line) + "\n--- stdout:\n" + r.out + "--- stderr:\n" + r.err;
    EXPECT_EQ(code, r.code) << what;
    EXPECT_NE(std::string::npos, r.out.find(out)) << "stdout lacks \"" << out << "\"\n" << what;
    EXPECT_NE(std::string::npos, r.err.find(err)) << "stderr lacks \"" << err << "\"\n" << what;
}

const wchar_t kVaultsKey[] = L"Software\\Revedi Zadoder Avir.\\Vuzaziz\\Vaults\\";
const std::wstring kRoot = L"C:\\vaultctl-test";

std::wstring RegString(const std::wstring& subkey, const wchar_t* name)
{
    wchar_t value[300] = {};
    DWORD cb = sizeof(value) - 2;
    RegGetValueW(HKEY_CURRENT_USER, (kVaultsKey + subkey).c_str(), name, RRF_RT_REG_SZ, nullptr, value, &cb);
    return value;
}

std::vector<BYTE> RegBytes(const std::wstring& subkey, const wchar_t* name)
{
    std::vector<BYTE> value(300);
    DWORD cb = static_cast<DWORD>(value.size());
    if (RegGetValueW(HKEY_CURRENT_USER, (kVaultsKey + subkey).c_str(), name, RRF_RT_ANY, nullptr, value.data(),
                     &cb) != ERROR_SUCCESS)
        return {};
    value.resize(cb);
    return value;
}

void RemoveRecord(const std::wstring& subkey) { RegDeleteKeyW(HKEY_CURRENT_USER, (kVaultsKey + subkey).c_str()); }

std::wstring Long(size_t chars) { return kRoot + L"\\" + std::wstring(chars - kRoot.size() - 1, L'a'); }

// Every command, with arguments that pass the checks made before the agent
// is looked for.
const wchar_t* const kValidCommands[] = {
    L"create Q: --path C:\\vaultctl-test\\q", L"login C:\\Vault1", L"status C:\\Vault1",
    L"logout C:\\Vault1", L"disconnect C:\\Vault1", L"dump", L"share C:\\a C:\\b",
    L"check-shared C:\\a C:\\b", L"unshare C:\\a", L"backup C:\\a C:\\b 7", L"restore C:\\a --new",
    L"move-config C:\\a", L"remove-files C:\\a", L"remove-files", L"explore", L"quit"};

}  // namespace

TEST(Vaultctl, HelpForTheWholeAndEveryCommand)
{
    for (const wchar_t* args : {L"--help", L"help", L"-h"})
        Expect(Vaultctl(args), 0, "Exit codes:\r\n  0  done");
    Expect(Vaultctl(L"help status"), 0, "usage: vaultctl status PATH");
    std::wstring last;
    for (const std::wstring command : kValidCommands) {
        const std::wstring name = command.substr(0, command.find(L' '));
        if (name != last)
            Expect(Vaultctl(name + L" --help"), 0, "usage: vaultctl " + Utf8(name));
        last = name;
    }
}

TEST(Vaultctl, UsageErrorsExitTwoBeforeLookingForTheAgent)
{
    const struct {
        std::wstring args;
        std::string err;
    } cases[] = {
        {L"", "no command given"},
        {L"frob", "unknown command \"frob\""},
        {L"status", "too few arguments\r\nusage: vaultctl status PATH"},
        {L"status C:\\a C:\\b", "too many arguments"},
        {L"remove-files C:\\a C:\\b C:\\c", "too many arguments"},
        {L"status C:\\a --new", "unknown option --new for status"},
        {L"--timeout 0 status C:\\a", "--timeout takes a number of seconds"},
        {L"status C:\\a --timeout", "--timeout needs a value"},
        {L"create 1: --path C:\\v", "a letter from A to Z, not \"1:\""},
        {L"create QR --path C:\\v", "a letter from A to Z"},
        {L"create Q:", "--path FOLDER is required"},
        {L"create Q: --path C:\\v --settings 2x", "--settings must be a 32-bit number"},
        {L"create Q: --path C:\\v --container \"\"", "--container must not be empty"},
        {L"create Q: --path " + Long(260), "is 260 characters long; the agent takes at most 259"},
        {L"create Q: --path " + Long(258) + L" --label " + std::wstring(260, L'l'), "--label is 260"},
        {L"status " + Long(260), "the agent takes at most 259"},
        {L"restore " + Long(256), "256 characters long; the agent takes at most 255"},
        {L"backup C:\\a C:\\b seven", "FLAGS must be a 32-bit number"},
        {L"check-shared C:\\\x6587 C:\\b", "the system code page cannot hold"},
    };
    for (const auto& c : cases)
        Expect(Vaultctl(c.args), 2, "", c.err);
}

TEST(Vaultctl, EveryCommandSaysSoWhenNoAgentRuns)
{
    ASSERT_EQ(nullptr, FindWindowW(CONTROL_WINDOW_CLASS, CONTROL_WINDOW_TITLE)) << "an agent is running";
    RemoveRecord(L"Q");
    for (const wchar_t* args : kValidCommands)
        Expect(Vaultctl(args), 3, "", "vaultctl: no agent is running in this session");
    // The longest paths the agent's slots hold pass.
    Expect(Vaultctl(L"status " + Long(259)), 3, "");
    Expect(Vaultctl(L"restore " + Long(255)), 3, "");
    EXPECT_TRUE(RegString(L"Q", L"Path").empty()) << "create wrote a record with no agent to serve it";
}

// A window with the agent's class and title in this process: it takes the
// messages and, as told, never answers, hangs, or shows the dump's boxes.
class StandIn : public ::testing::Test {
protected:
    enum class Mode { kSilent, kHang, kDumpBoxes };
    static inline std::atomic<Mode> s_mode{Mode::kSilent};
    static inline VAULT_DESCRIPTION_SECTION s_lastDescription;
    static inline std::wstring s_secondBox;

    void SetUp() override
    {
        std::filesystem::remove_all(kRoot);
        RemoveRecord(L"Q");
        s_mode = Mode::kSilent;
        m_thread = std::thread([this] { Serve(); });
        ASSERT_NE(nullptr, FindControlWindow(5000));
    }
    void TearDown() override
    {
        PostMessageW(m_hWnd, WM_QUIT, 0, 0);
        m_thread.join();
        RemoveRecord(L"Q");
        std::filesystem::remove_all(kRoot);
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
        if (uMessage >= 0xC000 && s_mode == Mode::kHang)
            Sleep(3000);
        if (uMessage == RegisterWindowMessageW(MSG_NAME_RARI_DUMP_FILES) && s_mode == Mode::kDumpBoxes) {
            MessageBoxW(nullptr, L"Sending DUMP_OPEN_FILES message", L"Vault service", MB_OK);
            MessageBoxW(nullptr, s_secondBox.c_str(), L"Vault service", MB_OK);
        }
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

    std::thread m_thread;
    std::atomic<HWND> m_hWnd{nullptr};
};

TEST_F(StandIn, NoAnswerInTimeExitsFour)
{
    // Commands run on the agent's timer wait for their event; the others
    // for the window procedure, here held up for three seconds.
    for (const wchar_t* args : {L"login C:\\Vault1", L"restore C:\\a"})
        Expect(Vaultctl(L"--timeout 1 " + std::wstring(args)), 4, "", "did not answer within 1 s");
    s_mode = Mode::kHang;
    for (const wchar_t* args : {L"status C:\\Vault1", L"check-shared C:\\a C:\\b", L"quit"})
        Expect(Vaultctl(L"--timeout 0.5 " + std::wstring(args)), 4, "", "within 0.5 s");
}

TEST_F(StandIn, CreateWritesTheRecordAndFillsTheSectionBeforeWaiting)
{
    const std::wstring folder = kRoot + L"\\deep\\q";
    Expect(Vaultctl(L"--timeout 1 create q --path " + folder + L"\\ --label \"My vault\" --settings 0x10"), 4, "",
           "the vault record Q stays written");
    EXPECT_EQ(folder, RegString(L"Q", L"Path"));
    EXPECT_EQ(L"My vault", RegString(L"Q", L"Label"));
    EXPECT_EQ(L"Vuzaziz-Q", RegString(L"Q", L"Container"));
    EXPECT_EQ(L"", RegString(L"Q", L"MapName"));
    EXPECT_EQ((std::vector<BYTE>{0x10, 0, 0, 0}), RegBytes(L"Q", L"Settings"));
    EXPECT_TRUE(RegBytes(L"Q", L"Key").empty()) << "the agent writes the key it generates";
    EXPECT_TRUE(std::filesystem::is_directory(folder));
    const VAULT_DESCRIPTION_SECTION& d = s_lastDescription;
    EXPECT_EQ(std::wstring(L"My vault"), d.wszLabel);
    EXPECT_EQ(folder, d.wszPath);
    EXPECT_EQ(std::wstring(L"Vuzaziz-Q"), d.wszContainer);
    EXPECT_EQ(std::wstring(L"Q"), d.wszDrive) << "the record's subkey name";
    EXPECT_EQ(0x10u, d.dwSettings);
    EXPECT_EQ(1, d.bGenerate);
    EXPECT_EQ(0u, d.dwKeyLength);

    Expect(Vaultctl(L"create Q: --path " + folder), 2, "", "a vault record for Q: exists already");

    // An existing wrapped key replaces generation, and goes into the record
    // itself; a map name makes a network vault unless settings say otherwise.
    const std::wstring keyFile = kRoot + L"\\key.bin";
    const std::vector<BYTE> key = {1, 2, 0, 0, 3, 0x66, 0, 0, 0xA4, 0xFF};
    FILE* f = _wfopen(keyFile.c_str(), L"wb");
    ASSERT_NE(nullptr, f);
    fwrite(key.data(), 1, key.size(), f);
    fclose(f);
    Expect(Vaultctl(L"--timeout 1 create Q: --force --path " + folder + L" --map-name \\\\srv\\v --key-file " +
                    keyFile + L" --container C1"),
           4, "", "did not answer");
    EXPECT_EQ(key, RegBytes(L"Q", L"Key"));
    EXPECT_EQ((std::vector<BYTE>{2, 0, 0, 0}), RegBytes(L"Q", L"Settings"));
    EXPECT_EQ(L"q", RegString(L"Q", L"Label")) << "the folder's name by default";
    EXPECT_EQ(0, d.bGenerate);
    EXPECT_EQ(key.size(), d.dwKeyLength);
    EXPECT_EQ(0, memcmp(key.data(), d.abKey, key.size()));
    EXPECT_EQ(std::wstring(L"\\\\srv\\v"), d.wszMapName);
}

TEST_F(StandIn, DismissPrintsAndClosesTheBoxes)
{
    s_mode = Mode::kDumpBoxes;
    const struct {
        const wchar_t* second;
        long code;
        const char* last;
    } cases[] = {{L"Message Sent successfully", 0, "dump: request sent to the driver"},
                 {L"Message Sent failed", 1, "dump: the driver refused the request"}};
    for (const auto& c : cases) {
        s_secondBox = c.second;
        Expect(Vaultctl(L"--timeout 20 dump --dismiss"), c.code,
               "agent message box \"Vault service\": Sending DUMP_OPEN_FILES message [closed]\r\n"
               "agent message box \"Vault service\": " + Utf8(c.second) + " [closed]\r\n" + c.last);
    }
    s_mode = Mode::kSilent;
    Expect(Vaultctl(L"dump --dismiss"), 4, "", "it showed no message box");
}

// A real agent served by the driver simulator.
class WithAgent : public ::testing::Test {
protected:
    driversim::DriverSim sim;
    AgentProcess agent;

    static void Clean()
    {
        RemoveRecord(L"V");
        while (DefineDosDeviceW(DDD_REMOVE_DEFINITION, L"V:", nullptr)) {
        }
        std::filesystem::remove_all(kRoot);
    }
    void SetUp() override
    {
        SetLevels(2, 2);
        Clean();
        std::filesystem::create_directory(kRoot);
        ASSERT_TRUE(sim.Load());
        ASSERT_TRUE(agent.Start());
        ASSERT_TRUE(sim.WaitForAgent(20000)) << "the agent did not connect";
        std::vector<uint8_t> reply;
        ASSERT_TRUE(sim.Request(MakeNotification(DeviceUnpluggedNotice), &reply, 20000));
    }
    void TearDown() override
    {
        if (agent.Running()) {
            PostQuitToAgent(2000);
            agent.WaitForExit(10000);
        }
        Clean();
    }
    // The driver's view of the vault at a DOS path, if it knows one.
    const driversim::DriverSim::Vault* Known(const std::wstring& path)
    {
        wchar_t volume[MAX_PATH] = {};
        QueryDosDeviceW(path.substr(0, 2).c_str(), volume, MAX_PATH);
        m_known = sim.Vaults();
        for (const auto& v : m_known)
            if (_wcsicmp(v.devicePath.c_str(), (volume + path.substr(2)).c_str()) == 0)
                return &v;
        return nullptr;
    }
    size_t ControlsOf(DWORD command)
    {
        size_t n = 0;
        for (const auto& bytes : sim.Controls())
            n += bytes.size() >= 4 && *reinterpret_cast<const DWORD*>(bytes.data()) == command;
        return n;
    }
    std::vector<driversim::DriverSim::Vault> m_known;
};

TEST_F(WithAgent, AVaultFromCreationToDisconnection)
{
    const std::wstring vault = kRoot + L"\\Vault1";
    const std::string vault8 = Utf8(vault);
    Expect(Vaultctl(L"create v: --path " + vault + L" --label Work"), 0,
           "created vault V: at " + vault8 + " (label \"Work\", container \"Vuzaziz-V\"), logged in");
    ASSERT_NE(nullptr, Known(vault)) << "no ADD_VAULTS for the new vault";
    EXPECT_TRUE(Known(vault)->newVault);
    EXPECT_FALSE(RegBytes(L"V", L"Key").empty()) << "the agent keeps the generated key in the record";
    Expect(Vaultctl(L"create V: --path " + vault), 2, "", "exists already");

    const struct {
        std::wstring args;
        long code;
        std::string out;
        std::function<void()> check;
    } steps[] = {
        {L"status " + vault + L"\\sub\\file.txt", 0, "logged in: " + vault8 + "\\sub\\file.txt", {}},
        {L"status " + kRoot + L"\\Vault10", 1, "not logged in: " + Utf8(kRoot) + "\\Vault10", {}},
        {L"logout " + vault + L"\\", 0, "logged out: " + vault8 + " (status before: logged in, now: not logged in)",
         [&] { EXPECT_EQ(1u, ControlsOf(VAULT_LOGGED_OUT)); }},
        {L"status " + vault, 1, "not logged in: " + vault8, {}},
        {L"login " + vault, 0, "logged in: " + vault8,
         [&] {
             ASSERT_NE(nullptr, Known(vault));
             EXPECT_TRUE(Known(vault)->loggedIn);
         }},
        {L"login " + kRoot + L"\\Vault10", 1, "not logged in: " + Utf8(kRoot) + "\\Vault10 (no vault holds this path)",
         [&] { EXPECT_EQ(1u, ControlsOf(VAULT_LOGGED_IN)); }},
        {L"dump --dismiss", 0,
         "agent message box \"Vault service\": Sending DUMP_OPEN_FILES message [closed]\r\n"
         "agent message box \"Vault service\": Message Sent successfully [closed]\r\n"
         "dump: request sent to the driver",
         [&] {
             EXPECT_EQ(1u, ControlsOf(DUMP_OPEN_FILES));
             sim.SetControlAnswer(E_FAIL);
         }},
        {L"dump --dismiss", 1, "Message Sent failed [closed]\r\ndump: the driver refused the request",
         [&] { sim.SetControlAnswer(S_OK); }},
        {L"disconnect " + vault, 0, "disconnected: " + vault8 + " (status before: logged in, now: not logged in)",
         [&] { EXPECT_EQ(nullptr, Known(vault)) << "the driver still lists the vault"; }},
        {L"status " + vault, 1, "not logged in", {}},
        {L"quit", 0, "the agent (pid " + std::to_string(agent.Pid()) + ") ended",
         [&] { EXPECT_EQ(0, agent.WaitForExit(0)); }},
    };
    for (const auto& step : steps) {
        Expect(Vaultctl(step.args), step.code, step.out);
        if (step.check)
            step.check();
    }
}

TEST_F(WithAgent, AVaultWhoseKeysCannotBeMadeIsTakenBack)
{
    // A wrapped key that no container of this user unwraps.
    const std::wstring keyFile = kRoot + L"\\broken.key";
    std::vector<BYTE> blob(140, 0x5A);
    FILE* f = _wfopen(keyFile.c_str(), L"wb");
    ASSERT_NE(nullptr, f);
    fwrite(blob.data(), 1, blob.size(), f);
    fclose(f);
    const std::wstring vault = kRoot + L"\\Broken";
    Expect(Vaultctl(L"create V: --path " + vault + L" --key-file " + keyFile), 1,
           "not created: the agent could not make the keys of vault V:");
    EXPECT_TRUE(RegString(L"V", L"Path").empty()) << "the record stays behind";
    EXPECT_FALSE(std::filesystem::exists(vault)) << "the new folder stays behind";
    EXPECT_EQ(nullptr, Known(vault));
}
