// The request channel: the limits checked before a command runs, and a real
// agent serving the driver simulator through the port.
#include <gtest/gtest.h>

#include <random>

#include "AgentHarness.h"
#include "ServingAgent.h"
#include "filter/RequestCheck.h"
#include "filter/ScannerWorker.h"

using namespace harness;

namespace {

const DWORD kReplyWaitMs = 10000;

// The fault that the check of a request's fields gives, "" when it passes.
std::string Fault(const Notification& n)
{
    DWORD fields = 0;
    if (!GetCommandFields(n.eCommandType, &fields))
        return "not a command";
    char fault[128] = {};
    return CheckRequestFields(&n, fields, fault, sizeof(fault)) ? "" : fault;
}

void Fill(WCHAR* field, size_t chars, WCHAR c = L'x')
{
    for (size_t i = 0; i < chars; i++)
        field[i] = c;
}

// A batch whose third meta text has no terminator, its last index `last`.
void UnterminatedSlice2(Notification& n, ULONG last)
{
    n.DirFileNames.LastIndex = last;
    memset(n.Data + 2 * DIR_SLICE_SIZE, 'a', DIR_SLICE_SIZE);
}

// Each case: a request to `command` (on a network volume when bNetwork) that
// `set` filled in, and the fault its check gives ("" when it passes).
using N = Notification;
struct LimitCase { ULONG command; BOOLEAN bNetwork; void (*set)(N&); const char* fault; } const kLimitCases[] = {
    {CreateFileInVault, 0, [](N& n) { Fill(n.Volume, 259); }, ""},   // fits a 260-character buffer
    {CreateFileInVault, 0, [](N& n) { Fill(n.Volume, 260); }, "Volume longer than 259 characters"},
    {EncryptBlock, 0, [](N& n) { Fill(n.Volume, 260); }, ""},   // does not read Volume
    {CreateFileInVault, 1, [](N& n) { Fill(n.Volume, 258); }, ""},
    // A network volume needs room for its backslash.
    {CreateFileInVault, 1, [](N& n) { Fill(n.Volume, 259); }, "Volume longer than 258 characters"},
    {GetOldDriveName, 1, [](N& n) { Fill(n.Volume, 259); }, ""},   // does not prefix the volume
    {UpdateMetaFileName, 1, [](N& n) { Fill(n.NewVolume, 259); }, "NewVolume longer than 258 characters"},
    {UpdateMetaFileName, 0, [](N& n) { Fill(n.NewFileName, ARRAYSIZE(n.NewFileName)); },
     "NewFileName longer than 259 characters"},   // no terminator at all
    {PreDirBrowsing, 0, [](N& n) { Fill(n.VaultPath, 260); }, "VaultPath longer than 259 characters"},
    {EncryptBlock, 0, [](N& n) { n.DataLength = MAX_DATA_LENGTH; }, ""},
    {EncryptBlock, 0, [](N& n) { n.DataLength = MAX_DATA_LENGTH + 1; }, "DataLength 16385 above 16384"},
    {ParsedFileNew, 0, [](N& n) { n.DirFileNames.LastIndex = 9; }, ""},   // ten zeroed slices are terminated
    {ParsedFileNew, 0, [](N& n) { n.DirFileNames.LastIndex = 10; }, "LastIndex 10 above 9"},
    {ParsedFileNew, 0, [](N& n) { UnterminatedSlice2(n, 1); }, ""},   // slices past LastIndex are not read
    {ParsedFileNew, 0, [](N& n) { UnterminatedSlice2(n, 2); }, "meta text 2 not terminated"},
};

N Request(const LimitCase& c)
{
    N n = MakeNotification(c.command);
    n.IsNetwork = c.bNetwork;
    c.set(n);
    return n;
}

}  // namespace

TEST(RequestCheck, CommandCodes)
{
    DWORD fields;
    for (ULONG code : {0u, 8u, 18u, 0xFFFFFFFFu})
        EXPECT_FALSE(GetCommandFields(code, &fields)) << "code " << code;
    for (ULONG code = 1; code <= 17; code++)
        EXPECT_EQ(code != 8, GetCommandFields(code, &fields) != FALSE) << "code " << code;
}

TEST(RequestCheck, StringDataAndBatchLimits)
{
    for (const LimitCase& c : kLimitCases)
        EXPECT_EQ(c.fault, Fault(Request(c))) << "command " << c.command << ", case " << &c - kLimitCases;
    // Only the batch reads LastIndex: a stale one refuses no other command.
    for (ULONG command : {ReleaseFSK, EncryptBlock, GetNormalBuffer, CreateFileInVault, DeleteFolder}) {
        Notification n = MakeNotification(command);
        n.DirFileNames.LastIndex = 0xFFFFFFFF;
        EXPECT_EQ("", Fault(n)) << "command " << command;
    }
}

// One agent serves the simulator for the whole suite.
class AgentServing : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        SetLevels(2, 2);
        // An agent that knows no vault: what others left in the registry goes.
        DeleteVaultRecords();
        s_sim = new driversim::DriverSim();
        s_agent = new AgentProcess();
        ASSERT_TRUE(s_sim->Load());
        StartServing(*s_sim, *s_agent);
    }
    static void TearDownTestSuite()
    {
        StopAgent(*s_agent);
        delete s_agent;
        delete s_sim;
    }

    static std::vector<uint8_t> Ask(const Notification& n)
    {
        std::vector<uint8_t> reply;
        EXPECT_TRUE(s_sim->Request(n, &reply, kReplyWaitMs)) << "no reply to code " << n.eCommandType;
        return reply;
    }
    static inline driversim::DriverSim* s_sim = nullptr;
    static inline AgentProcess* s_agent = nullptr;
};

TEST_F(AgentServing, CommandsAnswerWhatTheirCalleesKnow)
{
    // Nothing is known of vaults yet: lookups succeed with "not found",
    // work that needs keys or the store fails; a release always succeeds.
    struct Case { ULONG code; int succeeded; } cases[] = {
        {CreateFileInVault, 0}, {GetFileNameFromVault, 1}, {AuthenticateUser, 1},
        {EncryptBlock, 0},      {GetNormalBuffer, 0},      {ParsedFileNew, 0},
        {PreDirBrowsing, 0},    {UpdateMetaFileName, 0},   {DeleteFolder, 0},
        {UpdateMetaFileSize2, 0}, {GetLogicalFileDetailsExCmd, 0}, {ReleaseFSK, 1},
        {GetOldDriveName, 1},   {DeviceUnpluggedNotice, 1},
    };
    for (const Case& c : cases) {
        Notification n = MakeNotification(c.code);
        wcscpy(n.Volume, L"\\Device\\HarddiskVolume1");
        wcscpy(n.ParentDir, L"\\vault\\");
        wcscpy(n.FileName, L"name.txt");
        std::vector<uint8_t> reply = Ask(n);
        ExpectReply(reply, 0, c.succeeded, ("code " + std::to_string(c.code)).c_str());
        if (c.code == GetFileNameFromVault)
            EXPECT_EQ(0, AsReply(reply)->Reply.VaultFile.FileFound);
        if (c.code == AuthenticateUser)
            EXPECT_EQ(0, AsReply(reply)->Reply.Login.LoggedIn);
        if (c.code == GetOldDriveName) {
            EXPECT_EQ(0, AsReply(reply)->Reply.OldDrive.Found);
            EXPECT_EQ(L'\0', AsReply(reply)->Reply.OldDrive.OldVolume[0]);
        }
    }
}

// What the agent makes of a request's volume, as its log tells: a network
// volume becomes a UNC path, one without a DOS name fails the request.
TEST_F(AgentServing, VolumesOfRequestsAsTheLogTellsThem)
{
    struct Case { ULONG code; BOOLEAN bNetwork; const wchar_t* volume; int succeeded; const char* logged; } cases[] = {
        {AuthenticateUser, 1, L"server\\share", 1, "Final Notification->Volume, \\server\\share"},
        {CreateFileInVault, 1, L"server\\share", 0, "Final Notification->Volume, \\server\\share"},
        {UpdateMetaFileName, 1, L"server\\share", 0, "Final Notification->NewVolume, \\server\\share"},
        {GetLogicalFileDetails, 0, L"\\Device\\NoSuchVolume", 0,
         "Error: FilterGetDosName failed occurred in file: VaultService, Line: 342"},
    };
    for (const Case& c : cases) {
        Notification n = MakeNotification(c.code);
        n.IsNetwork = c.bNetwork;
        wcscpy(c.code == UpdateMetaFileName ? n.NewVolume : n.Volume, c.volume);   // a rename's target
        wcscpy(n.ParentDir, L"\\vault\\");
        wcscpy(n.FileName, L"stem.tmp");
        const size_t logged = ReadFileText(LogFilePath()).size();
        ExpectReply(Ask(n), 0, c.succeeded, c.logged);
        EXPECT_NE(std::string::npos, ReadFileText(LogFilePath()).find(c.logged, logged)) << c.code;
    }
}

TEST_F(AgentServing, MalformedRequestsAreRefusedAndServingGoesOn)
{
    // Every request that the check refuses, each followed by a good one.
    const size_t before = CountOf(ReadFileText(TraceFilePath()), "Malformed request refused");
    size_t refused = 0;
    for (const LimitCase& c : kLimitCases) {
        if (*c.fault == '\0')
            continue;
        refused++;
        ExpectReply(Ask(Request(c)), 0, 0, c.fault);
        ExpectReply(Ask(MakeNotification(DeviceUnpluggedNotice)), 0, 1, std::string("a good one after ") + c.fault);
    }
    EXPECT_EQ(before + refused, CountOf(ReadFileText(TraceFilePath()), "Malformed request refused"));
}

TEST_F(AgentServing, FiveRequestsAreServedAtOnce)
{
    // Each NetworkEditMsg holds its worker until its box is closed, so five
    // boxes at once means five requests in service at once.
    wchar_t expected[512] = {};
    HMODULE hAgent = LoadLibraryExW(AgentPath().c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(nullptr, hAgent);
    ASSERT_GT(LoadStringW(hAgent, 102, expected, 512), 0);
    FreeLibrary(hAgent);

    std::vector<uint64_t> ids;
    for (int i = 0; i < 5; i++)
        ids.push_back(s_sim->Send(MakeNotification(NetworkEditMsg)));
    std::vector<HWND> boxes;
    EXPECT_TRUE(WaitUntil([&] { return (boxes = FindMessageBoxesWithText(expected)).size() == 5; },
                          15000))
        << boxes.size() << " boxes";
    // Every worker is busy: a sixth request waits.
    uint64_t sixth = s_sim->Send(MakeNotification(DeviceUnpluggedNotice));
    std::vector<uint8_t> reply;
    EXPECT_FALSE(s_sim->Await(sixth, &reply, 300)) << "a sixth worker answered";

    ASSERT_FALSE(boxes.empty());
    EXPECT_EQ(L"Error", WindowTitle(boxes[0])) << "the system's default caption";
    for (HWND hBox : boxes)
        DismissMessageBox(hBox);
    for (uint64_t id : ids) {
        ASSERT_TRUE(s_sim->Await(id, &reply, kReplyWaitMs));
        ExpectReply(reply, id, 1, "NetworkEditMsg");
    }
    ASSERT_TRUE(s_sim->Await(sixth, &reply, kReplyWaitMs));
    ExpectReply(reply, sixth, 1, "the request that waited");
}

// Whatever a driver sends, the agent answers in full and goes on serving.
TEST_F(AgentServing, RandomRequestsNeverStopTheAgent)
{
    std::mt19937 rng(20261206);
    auto pick = [&](uint32_t n) { return static_cast<uint32_t>(rng() % n); };
    auto fillString = [&](WCHAR* field, size_t cchField) {
        size_t cch = pick(static_cast<uint32_t>(cchField > 259 ? 260 : cchField));
        for (size_t i = 0; i < cch; i++)
            field[i] = static_cast<WCHAR>(1 + pick(0xFFFF));
        field[cch] = 0;
    };
    for (int i = 0; i < 300; i++) {
        Notification n;
        uint8_t* bytes = reinterpret_cast<uint8_t*>(&n);
        for (size_t b = 0; b < sizeof(n); b++)
            bytes[b] = static_cast<uint8_t>(rng());
        if (i % 3 != 0) {   // within the limits, so the commands themselves run
            n.DataLength = pick(MAX_DATA_LENGTH + 1);
            n.DirFileNames.LastIndex = pick(DIR_BATCH_ENTRIES);
            for (ULONG s = 0; s < DIR_BATCH_ENTRIES; s++)
                n.Data[s * DIR_SLICE_SIZE + pick(DIR_SLICE_SIZE)] = 0;
            n.IsNetwork = static_cast<BOOLEAN>(pick(2));
            for (WCHAR* field : {n.ParentDir, n.Volume, n.FileName, n.VaultPath, n.NewVolume,
                                 n.NewParentDir, n.NewFileName, n.DirFileNames.FileName[0]})
                fillString(field, n.IsNetwork ? 258 : 259);
        }
        n.eCommandType = i % 5 == 0 ? static_cast<ULONG>(rng()) : pick(19);
        if (n.eCommandType == NetworkEditMsg)   // would wait for a person
            n.eCommandType = DeviceUnpluggedNotice;
        std::vector<uint8_t> reply = Ask(n);
        ASSERT_EQ(REPLY_MESSAGE_SIZE, reply.size()) << "request " << i << ", code " << n.eCommandType;
        ASSERT_LE(AsReply(reply)->Reply.Succeeded, 1) << "request " << i;
    }
    ExpectReply(Ask(MakeNotification(DeviceUnpluggedNotice)), 0, 1, "after the random requests");
    EXPECT_TRUE(s_agent->Running());
    EXPECT_TRUE(s_sim->Errors().empty());
}
