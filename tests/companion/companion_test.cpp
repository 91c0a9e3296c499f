// The companion commands of a real agent served by the driver simulator:
// share and unshare, backup and restore through the vault-manager library,
// moving configuration, removing files and launching the explorer, each
// through its section and registered message.
#include <windows.h>
#include <shlobj.h>

#include <gtest/gtest.h>

#include <thread>

#include "AgentHarness.h"
#include "CompanionSession.h"
#include "DriverSim.h"
#include "ServingAgent.h"
#include "VaultExplorer.h"

using namespace harness;

namespace {

const DWORD kStartMs = 20000;
const std::wstring kRoot = L"C:\\VuzCompanion";

bool Exists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

// A folder under the test root, emptied.
std::wstring Folder(const std::wstring& name)
{
    const std::wstring folder = kRoot + L"\\" + name;
    RemoveTree(folder);
    CreateDirectoryW(kRoot.c_str(), nullptr);
    CreateDirectoryW(folder.c_str(), nullptr);
    return folder;
}

void PutNarrow(char* slot, const std::wstring& path) { strcpy_s(slot, COMPANION_PATH_BYTES, Narrow(path).c_str()); }

class CompanionTest : public ServedAgentTest {
protected:
    void SetUp() override
    {
        ServedAgentTest::SetUp();
        StartAgent();
    }
};

// The two files move independently: a missing first one stops nothing.
// (vaultctl_test's session moves both, over older ones.)
TEST_F(CompanionTest, ShareMovesTheConfigurationFilesThatAreThere)
{
    const std::wstring from = Folder(L"ShareFrom"), to = Folder(L"ShareTo");
    WriteFileText(from + L"\\keyArchive.xml", "new");
    Section section(SECTION_VAULT_SHARE, sizeof(VAULT_SHARE_SECTION));
    wcscpy_s(section.As<VAULT_SHARE_SECTION>()->wszSource, from.c_str());
    wcscpy_s(section.As<VAULT_SHARE_SECTION>()->wszDestination, to.c_str());
    bool answered = false;
    EXPECT_EQ(0, SendToAgent(MSG_NAME_VAULT_SHARE, 10000, &answered));
    EXPECT_TRUE(answered);
    EXPECT_FALSE(Exists(from + L"\\keyArchive.xml"));
    EXPECT_EQ("new", ReadFileText(to + L"\\keyArchive.xml"));
    EXPECT_FALSE(Exists(to + L"\\vault3.cfg"));
}

TEST_F(CompanionTest, SharedStatusAnswersInItsFirstByteAndNoSectionIsOnlyTraced)
{
    const std::wstring folder = Folder(L"Status");
    const std::wstring config = folder + L"\\vault3.cfg", archive = folder + L"\\keyArchive.xml";
    WriteFileText(archive, "archive");
    auto check = [&](const std::wstring& first, const std::wstring& second) {
        Section section(SECTION_SHARE_CHECK, sizeof(TWO_FILES_SECTION));
        TWO_FILES_SECTION* view = section.As<TWO_FILES_SECTION>();
        PutNarrow(view->szFirst, first);
        PutNarrow(view->szSecond, second);
        if (first.size() == COMPANION_PATH_BYTES - 1)   // a full slot: its last byte is no part of the path
            view->szFirst[COMPANION_PATH_BYTES - 1] = 'X';
        EXPECT_EQ(1, SendToAgent(MSG_NAME_CHECK_SHARED_STATUS));
        EXPECT_EQ(Narrow(first).substr(1), std::string(view->szFirst + 1, first.size() - 1))
            << "only the first byte is the answer";
        return int(view->bResult);
    };
    EXPECT_EQ(0, check(config, archive)) << "only the second exists";
    WriteFileText(config, "config");
    EXPECT_EQ(1, check(config, archive));
    const std::wstring full = folder + L"\\" + std::wstring(COMPANION_PATH_BYTES - 2 - folder.size(), L'f');
    WriteFileText(full, "full");
    EXPECT_EQ(1, check(full, archive)) << "the longest path, its slot filled to the last byte";

    // Without its section a command only says so.
    const size_t traced = ReadFileText(TraceFilePath()).size();
    SendToAgent(MSG_NAME_VAULT_SHARE);
    SendToAgent(MSG_NAME_CHECK_SHARED_STATUS);
    const std::string trace = ReadFileText(TraceFilePath()).substr(traced);
    EXPECT_EQ(1u, CountOf(trace, "VaultShare() - OpenFileMappingA() failed - Failed!")) << trace;
    EXPECT_EQ(1u, CountOf(trace, "CheckSharedStatus() - OpenFileMappingA() failed - Failed")) << trace;
    EXPECT_EQ(0u, CountOf(trace, "Exception occured")) << trace;
}

TEST_F(CompanionTest, BackupMarksAFailureAndRestoreCallsBackIntoTheDriver)
{
    const std::wstring vault = Folder(L"Vault"), backups = Folder(L"Backups");
    WriteFileText(vault + L"\\vault3.cfg", "config");
    WriteFileText(vault + L"\\keyArchive.xml", "archive");
    WriteFileText(vault + L"\\Doc1", "meta");
    auto backup = [&](const std::wstring& from, const std::wstring& to) {
        Section section(SECTION_BACKUP, sizeof(BACKUP_SECTION));
        PutNarrow(section.As<BACKUP_SECTION>()->szFirst, from);
        PutNarrow(section.As<BACKUP_SECTION>()->szSecond, to);
        section.As<BACKUP_SECTION>()->dwFailed = 0x55;
        EXPECT_EQ(0, SendToAgent(MSG_NAME_VAULT_BACKUP));
        return section.As<BACKUP_SECTION>()->dwFailed;
    };
    EXPECT_EQ(0x55u, backup(vault, backups + L"\\One")) << "success leaves the companion's value";
    EXPECT_EQ(1u, backup(kRoot + L"\\NoSuchVault", backups + L"\\Two")) << "failure mark";

    // A missing section is the one a backup reports in a box. (A section
    // too short to map cannot be made here: Wine maps whole pages.)
    std::thread send([] { SendToAgent(MSG_NAME_VAULT_BACKUP, 20000); });
    EXPECT_EQ(L"mapFile == NULL", TakeMessageBox(L"VaultService", kStartMs));
    send.join();

    // The folder pair a restore tells the driver, in one line: device,
    // directory and name of each folder.
    auto restore = [&](DWORD target) {
        Section section(SECTION_RESTORE, sizeof(RESTORE_SECTION));
        strcpy_s(section.As<RESTORE_SECTION>()->szPath, Narrow(backups + L"\\One").c_str());
        section.As<RESTORE_SECTION>()->dwTarget = target;
        Event done(EVENT_RESTORE);
        const size_t before = sim.Controls().size();
        SendToAgent(MSG_NAME_RESTOREVAULT);
        EXPECT_TRUE(done.Wait(kStartMs)) << "RestoreEvent, target " << target;
        EXPECT_TRUE(sim.WaitForControls(before + 1, 5000));
        const auto controls = sim.Controls();
        const auto& m = *reinterpret_cast<const VaultControlMessage*>(controls.back().data());
        EXPECT_EQ(VAULT_PATH_PAIR, m.dwCommand);
        EXPECT_EQ(0u, m.dwCount + m.dwSidLength + m.wszExt1[0] + m.wszExt2[0]);
        return std::wstring(m.wszDevice1) + m.wszDir1 + m.wszName1 + L" " + m.wszDevice2 + m.wszDir2 + m.wszName2;
    };
    const std::wstring root = DeviceOf(kRoot) + L"\\";
    WriteFileText(vault + L"\\Doc1", "damaged");
    EXPECT_EQ(root + L"Backups\\One " + root + L"Vault", restore(0));
    EXPECT_EQ("meta", ReadFileText(vault + L"\\Doc1")) << "restored into the current vault";
    EXPECT_EQ(root + L"Backups\\One " + root + L"Backups\\Vault", restore(1)) << "a new vault beside the backup";
    EXPECT_EQ("config", ReadFileText(backups + L"\\Vault\\vault3.cfg"));
}

TEST_F(CompanionTest, ARestoreArmedAfterALoginReplacesIt)
{
    Section login(SECTION_VAULT_DESCRIPTION, sizeof(VAULT_DESCRIPTION_SECTION));
    wcscpy_s(login.As<VAULT_PATH_SECTION>()->wszPath, (kRoot + L"\\Anything").c_str());
    Event loginDone(EVENT_LOGIN);
    Section restore(SECTION_RESTORE, sizeof(RESTORE_SECTION));
    strcpy_s(restore.As<RESTORE_SECTION>()->szPath, Narrow(kRoot + L"\\NotABackup").c_str());
    Event restoreDone(EVENT_RESTORE);
    SendToAgent(MSG_NAME_LOGIN_VAULTS);
    SendToAgent(MSG_NAME_RESTOREVAULT);
    EXPECT_TRUE(restoreDone.Wait(kStartMs));
    EXPECT_FALSE(loginDone.Wait(2000)) << "the login timer was replaced";
}

// (vaultctl_test's session starts two explorers.)
TEST_F(CompanionTest, AMissingExplorerIsOnlyTraced)
{
    StopAgent(agent);
    const std::wstring alone = Folder(L"AgentAlone");
    for (const wchar_t* file : {L"VuvUDOVU.exe", L"ZedIDurOvaZiz.dll"})
        CopyFileW((ExeDir() + L"\\" + file).c_str(), (alone + L"\\" + file).c_str(), FALSE);
    StartAgent(alone + L"\\VuvUDOVU.exe");
    const size_t traced = ReadFileText(TraceFilePath()).size();
    SendToAgent(MSG_NAME_LAUNCH_EXPLORE_VAULT);
    EXPECT_NE(std::string::npos, ReadFileText(TraceFilePath()).find(
                                     "LaunchVododizEveru() - CreateProcess() failed with error code = 2 - Failed!", traced));
}

}  // namespace
