// The vault lifecycle through a real agent served by the driver simulator:
// start-up registration, the companion commands (new vault, login, status,
// logout, removal), the control window, forced login and drive changes;
// and, in process, the drive mapping of one vault.
#include <windows.h>
#include <dbt.h>
#include <wincrypt.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <thread>

#include "AgentHarness.h"
#include "CompanionSession.h"
#include "DriverSim.h"
#include "ServingAgent.h"
#include "VaultExplorer.h"
#include "drives/DriveMapping.h"

using namespace harness;

namespace {

const DWORD kStartMs = 20000;
const std::wstring kRoot = L"C:\\VuzLifecycle";

void RemoveSubst(wchar_t letter)
{
    const wchar_t drive[3] = {letter, L':', 0};
    while (DefineDosDeviceW(DDD_REMOVE_DEFINITION, drive, nullptr)) {
    }
}

bool AllZero(const void* p, size_t n)
{
    const BYTE* b = static_cast<const BYTE*>(p);
    return std::all_of(b, b + n, [](BYTE x) { return x == 0; });
}

// A file request as the driver sends it for a DOS path.
Notification FileRequest(ULONG command, const std::wstring& folder, const std::wstring& file)
{
    Notification n = MakeNotification(command);
    wcscpy_s(n.Volume, DeviceOf(folder.substr(0, 2)).c_str());
    wcscpy_s(n.ParentDir, (folder.substr(2) + L"\\").c_str());
    wcscpy_s(n.FileName, file.c_str());
    return n;
}

class Lifecycle : public ServedAgentTest {
protected:
    void SetUp() override
    {
        CreateDirectoryW(kRoot.c_str(), nullptr);
        ServedAgentTest::SetUp();
    }
    void TearDown() override
    {
        ServedAgentTest::TearDown();
        DeleteVaultRecords();
        for (wchar_t letter : std::wstring(L"EFGHIKMNPQRSTY"))
            RemoveSubst(letter);
    }
    std::wstring Folder(const std::wstring& name)
    {
        const std::wstring folder = kRoot + L"\\" + name;
        CreateDirectoryW(folder.c_str(), nullptr);
        return folder;
    }
    VaultRecordValues Values(const std::wstring& subkey, const std::wstring& folderName, long settings = 0)
    {
        return {subkey, Folder(folderName), L"Vault " + subkey, L"VuzLifecycle-" + subkey, L"", settings};
    }
    VaultRecordValues NewVault(const std::wstring& subkey, const std::wstring& folderName)
    {
        const VaultRecordValues record = Values(subkey, folderName);
        WriteVaultRecord(record);
        EXPECT_EQ(1, CreateVault(record, true)) << Narrow(subkey);
        return record;
    }
    bool Authenticated(const std::wstring& folder, const std::wstring& file)
    {
        std::vector<uint8_t> reply;
        EXPECT_TRUE(sim.Request(FileRequest(AuthenticateUser, folder, file), &reply, kStartMs));
        ExpectReply(reply, 0, 1, "AuthenticateUser");
        return AsReply(reply)->Reply.Login.LoggedIn == 1;
    }
};

// ---------------------------------------------------------------------------
// Start-up registration.

TEST_F(Lifecycle, RegistrationSendsBatchesOfTenAndTheDriverKnowsEveryVault)
{
    // -1: no Vaults key at all; 0: the key without subkeys. Either way the
    // agent sends nothing and serves.
    struct { int vaults; std::vector<DWORD> counts; } cases[] = {
        {23, {10, 10, 3}}, {10, {10}}, {11, {10, 1}}, {0, {}}, {-1, {}}};
    sim.Unload();
    for (const auto& c : cases) {
        DeleteVaultRecords();
        if (c.vaults < 0)
            RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\Revedi Zadoder Avir.\\Vuzaziz\\Vaults");
        std::vector<VaultRecordValues> records;
        for (int i = 0; i < c.vaults; i++) {
            wchar_t subkey[8];
            swprintf(subkey, 8, L"K%02d", i);
            records.push_back(Values(subkey, L"Batch" + std::to_wstring(i), i));
            records.back().mapName = L"\\\\server\\map" + std::to_wstring(i);
            WriteVaultRecord(records.back());
        }
        driversim::DriverSim batchSim;
        ASSERT_TRUE(batchSim.Load());
        StartServing(batchSim, agent);   // the workers start after the registration
        ASSERT_TRUE(batchSim.WaitForControls(c.counts.size(), kStartMs));
        Sleep(300);
        const auto adds = ControlsOf(batchSim, ADD_VAULTS);
        ASSERT_EQ(c.counts.size(), adds.size()) << c.vaults << " vaults";
        for (size_t m = 0; m < adds.size(); m++) {
            EXPECT_EQ(c.counts[m], adds[m].dwCount) << c.vaults << " vaults, message " << m;
            EXPECT_EQ(0, adds[m].bNewVault);
            const DWORD n = adds[m].dwCount;
            EXPECT_TRUE(AllZero(adds[m].wszDevicePath[n], sizeof(adds[m].wszDevicePath[0]) * (10 - n)) &&
                        AllZero(&adds[m].dwSettings[n], 4 * (10 - n)) &&
                        AllZero(adds[m].wszMapName[n], sizeof(adds[m].wszMapName[0]) * (10 - n)))
                << "entries beyond dwCount are zero, message " << m;
        }
        const auto vaults = batchSim.Vaults();
        ASSERT_EQ(static_cast<size_t>(std::max(c.vaults, 0)), vaults.size());
        for (int i = 0; i < c.vaults; i++) {
            EXPECT_EQ(DeviceOf(records[i].path), vaults[i].devicePath) << i;
            EXPECT_EQ(static_cast<DWORD>(i), vaults[i].settings) << i;
            EXPECT_EQ(records[i].mapName, vaults[i].mapName) << i;
            EXPECT_EQ(ProcessUserSidText(), vaults[i].sid) << i;
            EXPECT_FALSE(vaults[i].loggedIn);
        }
        StopAgent(agent);
        RemoveSubst(L'K');
    }
}

TEST_F(Lifecycle, ABrokenRecordEndsTheWalkAndABlankPathIsShownAndLeftOut)
{
    WriteVaultRecord(Values(L"E", L"WalkE"));
    WriteVaultRecord(Values(L"F", L"WalkF", -1));   // no "Settings"
    WriteVaultRecord(Values(L"G", L"WalkG"));
    StartAgent();
    ASSERT_TRUE(sim.WaitForControls(1, kStartMs));
    auto vaults = sim.Vaults();
    ASSERT_EQ(1u, vaults.size());
    EXPECT_EQ(DeviceOf(kRoot + L"\\WalkE"), vaults[0].devicePath);
    StopAgent(agent);

    DeleteVaultRecords();
    VaultRecordValues blank = Values(L"H", L"WalkH");
    blank.path = L"";
    WriteVaultRecord(blank);
    WriteVaultRecord(Values(L"I", L"WalkI"));
    driversim::DriverSim second;
    sim.Unload();
    ASSERT_TRUE(second.Load());
    ASSERT_TRUE(agent.Start());
    // An empty path cannot be substituted either: that box comes first.
    const std::wstring error = TakeMessageBox(L"Error", kStartMs);
    EXPECT_EQ(0u, error.find(L"\"H:, Vault not accessible,\r\n reason: ")) << Narrow(error);
    EXPECT_EQ(L" Path for vault (H:) found blank, Vault could not be mapped", TakeMessageBox(L"Vuzaziz", kStartMs));
    ASSERT_TRUE(second.WaitForControls(1, kStartMs));
    const auto adds = ControlsOf(second, ADD_VAULTS);
    ASSERT_EQ(1u, adds.size());
    EXPECT_EQ(1u, adds[0].dwCount);
    EXPECT_EQ(DeviceOf(kRoot + L"\\WalkI"), std::wstring(adds[0].wszDevicePath[0])) << "I takes H's slot";

    const std::string batch = ReadFileText(LogFolder().substr(0, LogFolder().rfind(L'\\')) + L"\\DirIZorEduzo.bat");
    EXPECT_NE(std::string::npos, batch.find("subst I: \"" + Narrow(kRoot) + "\\WalkI\"")) << batch;
    StopAgent(agent);
}

// ---------------------------------------------------------------------------
// Companion commands.

TEST_F(Lifecycle, ANewVaultIsUsableAtOnceAndLogsOutAndInAgainAndANetworkVaultMapsToItsShare)
{
    StartAgent();
    const VaultRecordValues record = NewVault(L"N", L"Vault1");
    const auto adds = ControlsOf(sim, ADD_VAULTS);
    ASSERT_EQ(1u, adds.size());
    EXPECT_EQ(1, adds[0].bNewVault);
    EXPECT_EQ(1u, adds[0].dwCount);
    EXPECT_EQ(DeviceOf(record.path), std::wstring(adds[0].wszDevicePath[0]));
    // Every byte the agent did not fill is zero, the strings' tails too.
    VaultControlMessage rest = adds[0];
    rest.dwCommand = rest.dwCount = rest.dwSidLength = rest.dwSettings[0] = rest.bNewVault = 0;
    memset(rest.szSid, 0, strlen(rest.szSid));
    memset(rest.wszDevicePath[0], 0, wcslen(rest.wszDevicePath[0]) * sizeof(WCHAR));
    memset(rest.wszMapName[0], 0, wcslen(rest.wszMapName[0]) * sizeof(WCHAR));
    EXPECT_TRUE(std::all_of(reinterpret_cast<const BYTE*>(&rest), reinterpret_cast<const BYTE*>(&rest + 1),
                            [](BYTE b) { return b == 0; }))
        << "the message carries bytes of the agent's stack";
    EXPECT_TRUE(Authenticated(record.path, L"report.txt")) << "keys usable at once";
    EXPECT_FALSE(Authenticated(kRoot + L"\\Vault10", L"report.txt")) << "outside every vault";

    struct { std::wstring path; long loggedIn; } status[] = {
        {record.path, 1}, {record.path + L"\\sub\\file.txt", 1}, {kRoot + L"\\Vault10", 0}, {kRoot, 0}};
    for (const auto& s : status)
        EXPECT_EQ(s.loggedIn, LoggedIn(s.path)) << Narrow(s.path);

    const size_t before = sim.Controls().size();
    LogoutVault(kRoot + L"\\NotAVault");
    EXPECT_EQ(before, sim.Controls().size()) << "logout of a vault that is not cached sends nothing";
    bool answered = false;
    SendToAgent(MSG_NAME_LOGGEDINVAULTS, 5000, &answered);   // no section: nothing to answer
    EXPECT_TRUE(answered);
    Sleep(1500);   // its timer has run
    EXPECT_EQ(1, LoggedIn(record.path)) << "and the next status is answered";
    // A request that holds its worker (its box open) and uses no vault key
    // does not hold the logout up.
    const uint64_t held = sim.Send(MakeNotification(NetworkEditMsg));
    HWND hEditBox = FindMessageBox(L"Error", kStartMs);
    ASSERT_NE(nullptr, hEditBox);
    LogoutVault(record.path);
    ASSERT_TRUE(sim.WaitForControls(before + 1, kStartMs));
    const auto outs = ControlsOf(sim, VAULT_LOGGED_OUT);
    ASSERT_EQ(1u, outs.size());
    EXPECT_EQ(1u, outs[0].dwCount);
    EXPECT_TRUE(AllZero(outs[0].szSid, 524)) << "no SID in a logout";
    EXPECT_EQ(0, LoggedIn(record.path));
    EXPECT_FALSE(Authenticated(record.path, L"report.txt"));
    DismissMessageBox(hEditBox);
    std::vector<uint8_t> editReply;
    EXPECT_TRUE(sim.Await(held, &editReply, kStartMs));

    // Two logins within a second are one login.
    Event loginDone(EVENT_LOGIN);
    Section section(SECTION_VAULT_DESCRIPTION, sizeof(VAULT_DESCRIPTION_SECTION));
    wcscpy_s(section.As<VAULT_PATH_SECTION>()->wszPath, record.path.c_str());
    SendToAgent(MSG_NAME_LOGIN_VAULTS);
    SendToAgent(MSG_NAME_LOGIN_VAULTS);
    ASSERT_TRUE(loginDone.Wait(kStartMs));
    EXPECT_EQ(1u, section.As<VAULT_PATH_SECTION>()->dwResult);
    EXPECT_TRUE(section.AllZero(4));
    Sleep(1500);
    const auto ins = ControlsOf(sim, VAULT_LOGGED_IN);
    ASSERT_EQ(1u, ins.size());
    EXPECT_EQ(DeviceOf(record.path), std::wstring(ins[0].wszDevicePath[0]));
    EXPECT_TRUE(Authenticated(record.path, L"report.txt"));

    std::vector<BYTE> after;
    EXPECT_EQ(0, LoginVault(kRoot + L"\\Unknown", &after));
    EXPECT_TRUE(AllZero(after.data(), after.size())) << "unknown path: section all zero";
    EXPECT_EQ(nullptr, FindMessageBox(L"Vuzaziz", 500)) << "and no box";

    // A network vault's letter points at its share, not at its local path.
    VaultRecordValues net = Values(L"E", L"NetLocal", 2);
    net.mapName = L"\\\\127.0.0.1\\vuzshare\\NetVault";
    WriteVaultRecord(net);
    ASSERT_EQ(1, CreateVault(net, true));
    wchar_t target[MAX_PATH] = {};
    ASSERT_NE(0u, QueryDosDeviceW(L"E:", target, MAX_PATH));
    EXPECT_EQ(L"\\??\\UNC" + net.mapName.substr(1), std::wstring(target)) << "the share, as the system names it";
    EXPECT_EQ(net.mapName, std::wstring(ControlsOf(sim, ADD_VAULTS).back().wszMapName[0]));
}

TEST_F(Lifecycle, ANewVaultWithAGivenKeyUsesItAndVaultsThatCannotBeMadeSafelyAreRefused)
{
    StartAgent();
    const VaultRecordValues first = NewVault(L"P", L"Given1");
    std::vector<BYTE> key(260);
    DWORD cb = static_cast<DWORD>(key.size());
    ASSERT_EQ(ERROR_SUCCESS, RegGetValueW(HKEY_CURRENT_USER, L"Software\\Revedi Zadoder Avir.\\Vuzaziz\\Vaults\\P",
                                          L"Key", RRF_RT_REG_BINARY, nullptr, key.data(), &cb));
    key.resize(cb);

    VaultRecordValues second = Values(L"Q", L"Given2");
    second.container = first.container;
    WriteVaultRecord(second);
    ASSERT_EQ(1, CreateVault(second, false, key));
    EXPECT_TRUE(Authenticated(second.path, L"a.txt"));

    // Refused, with failure answered, no key written and nothing announced:
    // a key that does not unwrap, a vault that would open the user's default
    // container, and one whose letter another process holds for longer than
    // the 5-second wait.
    VaultRecordValues broken = Values(L"R", L"Given3"), blank = Values(L"U", L"NoContainer");
    const VaultRecordValues held = Values(L"Y", L"Held");
    broken.container = first.container;
    blank.container = L"";
    key[30] ^= 0x55;
    AgentProcess holder;
    ASSERT_TRUE(StartMutexHolder(holder, L"ReriroVivAviVurazY", 8000));
    for (const auto& record : {held, broken, blank}) {   // held first, while it is held
        WriteVaultRecord(record);
        const bool bGiven = record.subkey == L"R";
        EXPECT_EQ(0, CreateVault(record, !bGiven, bGiven ? key : std::vector<BYTE>{})) << Narrow(record.subkey);
        EXPECT_FALSE(Authenticated(record.path, L"a.txt")) << Narrow(record.subkey);
        EXPECT_EQ(0, LoggedIn(record.path)) << Narrow(record.subkey);
        EXPECT_NE(ERROR_SUCCESS, RegGetValueW(HKEY_CURRENT_USER, (L"Software\\Revedi Zadoder Avir.\\Vuzaziz\\Vaults\\" + record.subkey).c_str(),
                                              L"Key", RRF_RT_REG_BINARY, nullptr, nullptr, nullptr)) << Narrow(record.subkey);
    }
    EXPECT_EQ(2u, ControlsOf(sim, ADD_VAULTS).size()) << "the refused vaults are not announced";

    // Removal: its lines follow the calls they name.
    const size_t logBefore = ReadFileText(LogFilePath()).size();
    DisconnectVault(second.path);
    std::string removalLog;
    EXPECT_TRUE(WaitUntil([&] {
        removalLog = ReadFileText(LogFilePath()).substr(logBefore);
        return CountOf(removalLog, "Retriving vault from cache\r") == 1;   // not the GetVaultInCache2 line
    }, 5000)) << removalLog;
    const size_t obtained = removalLog.find("Successfully obtain the user sid");
    EXPECT_NE(std::string::npos, obtained) << removalLog;
    EXPECT_LT(obtained, removalLog.find("After calling ObtainUserSid")) << removalLog;
    EXPECT_LT(removalLog.find("After calling ObtainUserSid"), removalLog.find("Before calling ConvertSidToStringSid"));
    const auto removes = ControlsOf(sim, REMOVE_VAULT);
    ASSERT_EQ(1u, removes.size());
    EXPECT_EQ(ProcessUserSidText(), std::string(removes[0].szSid, removes[0].dwSidLength));
    EXPECT_EQ(0, LoggedIn(second.path));
    EXPECT_EQ(1, LoggedIn(first.path));
}

// A vault that cannot log in says why in one box, and stays out: its folder
// absent, or its keys gone (the container deleted after a logout).
TEST_F(Lifecycle, VaultsThatCannotLogInSaySoAndStayOut)
{
    VaultRecordValues absent = Values(L"S", L"Removable");
    absent.path = kRoot + L"\\NotPluggedIn";
    WriteVaultRecord(absent);
    StartAgent();
    const VaultRecordValues keyless = NewVault(L"G", L"Keyless");
    LogoutVault(keyless.path);
    for (const wchar_t* provider : {L"Microsoft Strong Cryptographic Provider", L"Zidoru TCG Enabled CSP"}) {
        HCRYPTPROV hProv = 0;
        CryptAcquireContextW(&hProv, keyless.container.c_str(), provider, PROV_RSA_FULL, CRYPT_DELETEKEYSET);
    }
    struct { std::wstring path, text; } cases[] = {
        {absent.path, L"This vault is currently not available. If it was created on a removable device, ensure "
                      L"that the device is accessible."},
        {keyless.path, L" Failed to connect to Vault G(G:)"},
    };
    for (const auto& c : cases) {
        std::vector<BYTE> after;
        long result = -2;
        std::thread login([&] { result = LoginVault(c.path, &after); });
        EXPECT_NE(nullptr, FindMessageBox(L"Vuzaziz", kStartMs)) << Narrow(c.path);
        // A login asked for while the box is up fires inside the box's
        // modal loop: the one running already keeps it from a second box.
        Section again(SECTION_VAULT_DESCRIPTION, sizeof(VAULT_DESCRIPTION_SECTION));
        wcscpy_s(again.As<VAULT_PATH_SECTION>()->wszPath, c.path.c_str());
        SendToAgent(MSG_NAME_LOGIN_VAULTS);
        Sleep(1500);
        EXPECT_EQ(1u, FindMessageBoxesWithText(c.text).size()) << Narrow(c.path);
        ZeroMemory(again.Bytes(), sizeof(VAULT_PATH_SECTION));
        EXPECT_EQ(c.text, TakeMessageBox(L"Vuzaziz", 0)) << Narrow(c.path);
        login.join();
        EXPECT_EQ(0, result) << Narrow(c.path);
        EXPECT_TRUE(AllZero(after.data(), after.size())) << Narrow(c.path);
        EXPECT_EQ(0, LoggedIn(c.path)) << "flag back to 0: " << Narrow(c.path);
    }
    EXPECT_TRUE(ControlsOf(sim, VAULT_LOGGED_IN).empty());
}

TEST_F(Lifecycle, TheControlWindowClosesNothingAndSurvivesAFaultingHandlerButNotALoopFault)
{
    StartAgent(ExeDir() + L"\\VuvUDOVU_faults.exe");
    const VaultRecordValues record = NewVault(L"T", L"Window");
    HWND hWnd = FindControlWindow(kStartMs);
    DWORD_PTR result = 1;
    ASSERT_TRUE(SendMessageTimeoutW(hWnd, WM_CLOSE, 0, 0, SMTO_NORMAL, 5000, &result));
    EXPECT_EQ(0u, result);
    ASSERT_EQ(1u, ControlsOf(sim, VAULT_LOGGED_OUT).size()) << "WM_CLOSE tells the driver";
    EXPECT_EQ(1, LoggedIn(record.path)) << "while the agent's flag stays";
    SendMessageTimeoutW(hWnd, WM_DESTROY, 0, 0, SMTO_NORMAL, 5000, &result);
    bool answered = false;
    EXPECT_EQ(0, SendToAgent(L"VUZ_NOT_A_COMMAND", 5000, &answered));
    EXPECT_TRUE(answered);

    const std::string traceBefore = ReadFileText(TraceFilePath());
    std::thread fault([] { SendToAgent(L"VUZ_TEST_ACCESS_VIOLATION", 20000); });
    EXPECT_EQ(L"Exception occured - code 0xC0000005", TakeMessageBox(L"VuvuDovu", kStartMs));
    fault.join();
    EXPECT_NE(std::string::npos, ReadFileText(TraceFilePath()).find(
                                     "WndProc() - Exception occured - code 0xC0000005 - Failed", traceBefore.size()));
    EXPECT_TRUE(agent.Running());
    EXPECT_EQ(1, LoggedIn(record.path)) << "the agent keeps serving";

    // A fault outside every handler's guard ends the agent through its exit steps.
    const size_t traceAt = ReadFileText(TraceFilePath()).size();
    ASSERT_TRUE(PostMessageW(hWnd, RegisterWindowMessageW(L"VUZ_TEST_LOOP_FAULT"), 0, 0));
    EXPECT_EQ(0, agent.WaitForExit(kStartMs));
    const std::string trace = ReadFileText(TraceFilePath()).substr(traceAt);
    const size_t loopFault = trace.find("WinMain() - Exception occured - Failed!");
    ASSERT_NE(std::string::npos, loopFault) << trace;
    EXPECT_NE(std::string::npos, trace.find("WinMain() - End", loopFault)) << trace;
}

// ---------------------------------------------------------------------------
// Drive changes.

std::vector<std::string> ExplorerRecordLines()
{
    std::ifstream in(Narrow(ExeDir() + L"\\VododizEveru.record.txt"));
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);)
        if (line.rfind("0x598", 0) == 0)
            lines.push_back(line);
    return lines;
}

TEST_F(Lifecycle, ARemovedDriveIsToldOnceAndAReturningVolumeMovesItsVaults)
{
    // Mapped to K:, stored on Y:.
    for (const wchar_t* name : {L"1", L"2"})
        WriteVaultRecord({std::wstring(L"K") + name, std::wstring(L"Y:\\V") + name, L"On Y", L"VuzLifecycle-Y", L"", 0});
    StartAgent();
    DeleteFileW((ExeDir() + L"\\VododizEveru.record.txt").c_str());
    AgentProcess explorer;
    ASSERT_TRUE(explorer.Start(ExeDir() + L"\\" + VAULT_EXPLORER_PROGRAM, L""));
    ASSERT_TRUE(WaitUntil([] { return FindWindowW(VAULT_EXPLORER_CLASS, nullptr) != nullptr; }, kStartMs));

    auto removeDrive = [&](DWORD unitMask) {
        DEV_BROADCAST_VOLUME volume{sizeof(volume), DBT_DEVTYP_VOLUME, 0, unitMask, 0};
        DWORD_PTR ignored;
        SendMessageTimeoutW(FindControlWindow(kStartMs), WM_DEVICECHANGE, DBT_DEVICEREMOVECOMPLETE,
                            reinterpret_cast<LPARAM>(&volume), SMTO_NORMAL, 10000, &ignored);
    };
    removeDrive(1u << ('W' - 'A'));          // holds no vault
    removeDrive(0);                          // names no drive
    removeDrive(1u << ('Y' - 'A'));
    Sleep(500);
    const auto lines = ExplorerRecordLines();
    ASSERT_EQ(1u, lines.size()) << "one message for the drive, none for W:";
    EXPECT_NE(std::string::npos, lines[0].find("wparam=0x59 lparam=0x0")) << lines[0];
    PostMessageW(FindWindowW(VAULT_EXPLORER_CLASS, nullptr), WM_CLOSE, 0, 0);

    // Y: comes back as another volume: both vaults move to it.
    ASSERT_TRUE(DefineDosDeviceW(DDD_RAW_TARGET_PATH, L"Y:", L"\\Device\\HarddiskVolume77"));
    auto oldDrive = [&] {
        Notification n = MakeNotification(GetOldDriveName);
        wcscpy_s(n.Volume, L"\\Device\\HarddiskVolume77");
        std::vector<uint8_t> reply;
        EXPECT_TRUE(sim.Request(n, &reply, kStartMs));
        ExpectReply(reply, 0, 1, "GetOldDriveName");
        const auto& old = AsReply(reply)->Reply.OldDrive;
        return std::make_pair(old.Found, std::wstring(old.OldVolume));
    };
    EXPECT_EQ(std::make_pair(BOOLEAN(1), std::wstring(L"Y:")), oldDrive()) << "the first vault's old volume";
    DisconnectVault(L"Y:\\V1");
    EXPECT_EQ(std::make_pair(BOOLEAN(1), std::wstring(L"\\Device\\HarddiskVolume77")), oldDrive())
        << "the second vault moved too";
}

// ---------------------------------------------------------------------------
// Mapping one vault, in process.

class Mapping : public ::testing::Test {
protected:
    void TearDown() override
    {
        RemoveSubst(L'M');
        RegDeleteKeyW(HKEY_CURRENT_USER, L"Network\\M");
    }
    // Whether another thread can take the letter's mutex now (this test
    // holds a handle, so the mutex outlives the agent's own).
    static bool FreeForOthers(HANDLE hMutex)
    {
        bool bFree = false;
        std::thread([&] {
            bFree = WaitForSingleObject(hMutex, 0) == WAIT_OBJECT_0;
            if (bFree)
                ReleaseMutex(hMutex);
        }).join();
        return bFree;
    }
    VaultCacheEntry Record(const std::wstring& drive, const std::wstring& folder)
    {
        VaultCacheEntry record{};
        wcscpy_s(record.wszDrive, drive.c_str());
        wcscpy_s(record.wszPath, folder.c_str());
        return record;
    }
};

TEST_F(Mapping, AFreeLetterIsSubstitutedAndAUsedOneIsLeftAlone)
{
    CreateDirectoryW(kRoot.c_str(), nullptr);
    VaultCacheEntry own = Record(L"M:", kRoot);
    const std::wstring batchPath = kRoot + L"\\mapping.bat";
    FILE* batch = _wfopen(batchPath.c_str(), L"w+");
    HANDLE hMutex = CreateMutexW(nullptr, FALSE, L"ReriroVivAviVurazM");
    EXPECT_EQ(0, Connect_Vault(&own, batch)) << "free letter";
    EXPECT_TRUE(QueryMapping(L"M:", kRoot.c_str()));
    EXPECT_TRUE(FreeForOthers(hMutex)) << "the letter's mutex was kept after the mapping";
    CloseHandle(hMutex);
    EXPECT_EQ(0, Connect_Vault(&own, batch)) << "already substituted to its own folder";
    VaultCacheEntry other = Record(L"M:", L"C:\\windows");
    EXPECT_EQ(-1, Connect_Vault(&other, nullptr)) << "substituted to another folder";
    VaultCacheEntry disk = Record(L"C:", kRoot);
    EXPECT_EQ(-1, Connect_Vault(&disk, nullptr)) << "a disk";
    fclose(batch);
    const std::string text = ReadFileText(batchPath);
    DeleteFileW(batchPath.c_str());
    EXPECT_EQ(2u, CountOf(text, "subst M: \"" + Narrow(kRoot) + "\"")) << text;

    RemoveSubst(L'M');
    RegSetKeyValueW(HKEY_CURRENT_USER, L"Network\\M", L"RemotePath", REG_SZ, L"", sizeof(wchar_t));
    EXPECT_NE(0u, GetUsedDriveMask() & (1u << ('M' - 'A'))) << "remembered network drive";
    EXPECT_EQ(-1, Connect_Vault(&own, nullptr));
    EXPECT_FALSE(QueryMapping(L"M:", kRoot.c_str()));

    VaultCacheEntry outside = Record(L"9:", kRoot);
    EXPECT_EQ(0, IsVaultFunctional(&outside));
}

TEST_F(Mapping, AHeldLoginMutexMapsNothingButSetsTheIcon)
{
    CreateDirectoryW(kRoot.c_str(), nullptr);
    VaultCacheEntry record = Record(L"M:", kRoot);
    RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\DriveIcons\\M");
    AgentProcess holder;
    ASSERT_TRUE(StartMutexHolder(holder, L"ReriroVivAviVurazM", 7000));
    EXPECT_EQ(0, Connect_Vault(&record, nullptr));
    EXPECT_FALSE(QueryMapping(L"M:", kRoot.c_str()));
    wchar_t system[MAX_PATH];
    GetSystemDirectoryW(system, MAX_PATH);
    EXPECT_EQ(std::wstring(system) + L"\\vidizer.dll,3",
              RegText(L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\DriveIcons\\M\\DefaultIcon"));
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    if (int role = RunTestRole(argc, argv); role >= 0)
        return role;
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
