// The agent's life as a process: start-up against the driver simulator,
// one agent per user and session, its boxes, its files, and its exit.
#include <gtest/gtest.h>

#include "AgentHarness.h"
#include "DebugMonitor.h"
#include "DriverSim.h"
#include "ServingAgent.h"

using namespace harness;

namespace {

const DWORD kStartMs = 20000;
const DWORD kExitMs = 10000;
// The files are text streams: every newline reaches the disk as CR LF.
const char kBanner[] = "\r\n\r\n\t\t=====================Service Started=====================\r\n\r\n\r\n";

void Quit(AgentProcess& agent)
{
    ASSERT_TRUE(PostQuitToAgent(2000));
    EXPECT_EQ(0, agent.WaitForExit(kExitMs)) << "the agent did not end on WM_QUIT";
}

}  // namespace

class Host : public ::testing::Test {
protected:
    void SetUp() override { SetLevels(2, 2); }
    void TearDown() override { SetLevels(2, 2); }
};

TEST_F(Host, ConnectsWithItsSidAsContextAndAHiddenControlWindow)
{
    driversim::DriverSim sim;
    ASSERT_TRUE(sim.Load());
    AgentProcess agent;
    StartServing(sim, agent);

    const std::string sid = ProcessUserSidText();
    ASSERT_EQ(0u, sid.rfind("S-1-", 0)) << sid;
    EXPECT_EQ(sid, sim.ConnectionContext()) << "exactly the SID characters, no terminator";
    EXPECT_EQ(0u, sim.ConnectionOptions());

    HWND hWnd = FindControlWindow(kStartMs);
    ASSERT_NE(nullptr, hWnd);
    EXPECT_FALSE(IsWindowVisible(hWnd));
    DWORD pid = 0;
    GetWindowThreadProcessId(hWnd, &pid);
    EXPECT_EQ(agent.Pid(), pid);
    // Companion programs reach the window by broadcast as well: it is top level.
    EXPECT_EQ(nullptr, GetParent(hWnd));
    Quit(agent);
}

TEST_F(Host, SecondAgentIsRefusedWhileTheFirstServes)
{
    driversim::DriverSim sim;
    ASSERT_TRUE(sim.Load());
    AgentProcess first;
    StartServing(sim, first);

    AgentProcess second;
    ASSERT_TRUE(second.Start());
    HWND hBox = FindMessageBox(L"ERROR!!! Instance running", kStartMs);
    ASSERT_NE(nullptr, hBox);
    EXPECT_EQ(L"An Instance of VuvUDOVU.exe is Already running", MessageBoxText(hBox));
    DismissMessageBox(hBox);
    EXPECT_EQ(0, second.WaitForExit(kExitMs));

    EXPECT_EQ(1u, sim.ConnectionCount()) << "the second agent never reached the port";
    std::vector<uint8_t> reply;
    ASSERT_TRUE(sim.Request(MakeNotification(DeviceUnpluggedNotice), &reply, kStartMs));
    EXPECT_EQ(1, AsReply(reply)->Reply.Succeeded);
    Quit(first);
}

TEST_F(Host, MissingDriverShowsTheStartUpBoxAndLeavesNoMutex)
{
    AgentProcess agent;
    ASSERT_TRUE(agent.Start());
    HWND hBox = FindMessageBox(L"Vuzaziz Service", kStartMs);
    ASSERT_NE(nullptr, hBox);
    EXPECT_EQ(L"Vuzaziz service could not be started.\r\nPlease verify Vault Filter is loaded and running.",
              MessageBoxText(hBox));
    DismissMessageBox(hBox);
    EXPECT_EQ(0, agent.WaitForExit(kExitMs));
    const std::string log = ReadFileText(LogFilePath());
    EXPECT_NE(std::string::npos, log.find("ERROR: Connecting to filter port: 0x80070002"));

    // The driver arrives: the next start succeeds.
    driversim::DriverSim sim;
    ASSERT_TRUE(sim.Load());
    AgentProcess later;
    StartServing(sim, later);
    Quit(later);
}

TEST_F(Host, QuitReleasesTheMutexForTheNextAgent)
{
    driversim::DriverSim sim;
    ASSERT_TRUE(sim.Load());
    const size_t endsBefore = CountOf(ReadFileText(TraceFilePath()), "WinMain() - End");
    AgentProcess agent;
    StartServing(sim, agent);
    Quit(agent);
    EXPECT_EQ(endsBefore + 1, CountOf(ReadFileText(TraceFilePath()), "WinMain() - End"));

    ASSERT_TRUE(sim.WaitForAgentGone(kExitMs));
    AgentProcess next;
    StartServing(sim, next);
    EXPECT_EQ(2u, sim.ConnectionCount());
    Quit(next);
}

TEST_F(Host, LogIsNewAtEveryStartAndTraceGrows)
{
    driversim::DriverSim sim;
    ASSERT_TRUE(sim.Load());
    for (int run = 1; run <= 2; run++) {
        const std::string traceBefore = ReadFileText(TraceFilePath());
        AgentProcess agent;
        StartServing(sim, agent);
        const std::string trace = ReadFileText(TraceFilePath());
        ASSERT_EQ(0u, trace.compare(0, traceBefore.size(), traceBefore)) << "run " << run
                                                                           << ": trace not appended";
        const std::string added = trace.substr(traceBefore.size());
        EXPECT_EQ(0u, added.find(kBanner)) << "run " << run << ": banner first";
        EXPECT_EQ(1u, CountOf(added, kBanner));
        EXPECT_EQ(1u, CountOf(added, "WinMain() - Start"));

        // The main thread writes this after starting the workers, which may
        // already have answered.
        std::string log;
        EXPECT_TRUE(WaitUntil([&] {
            log = ReadFileText(LogFilePath());
            return CountOf(log, "All initialization is being done") >= 1;
        }, kStartMs)) << "run " << run;
        EXPECT_EQ(1u, CountOf(log, "All initialization is being done")) << "run " << run;
        const std::string prefix = "REVUZEZ(" + ProcessUserSidText() + "): ";
        EXPECT_EQ(0u, log.find(prefix)) << log.substr(0, 80);
        EXPECT_NE(std::string::npos, added.find("REVUZEZ-TRC(" + ProcessUserSidText() +
                                                "): ScannerWorker() - Start"));
        Quit(agent);
        ASSERT_TRUE(sim.WaitForAgentGone(kExitMs));
    }
}

TEST_F(Host, DebuggerOnlyLevelWritesNoFiles)
{
    SetLevels(1, 0);
    const std::wstring log = LogFilePath();
    const std::wstring trace = TraceFilePath();
    DeleteFileW(log.c_str());
    DeleteFileW(trace.c_str());

    DebugMonitor monitor;
    ASSERT_TRUE(monitor.Start());
    driversim::DriverSim sim;
    ASSERT_TRUE(sim.Load());
    AgentProcess agent;
    StartServing(sim, agent);
    EXPECT_TRUE(monitor.WaitFor("REVUZEZ(" + ProcessUserSidText() + "): All initialization is being done",
                                kStartMs));
    Quit(agent);
    monitor.Stop();
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(log.c_str()));
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(trace.c_str()));
    for (const std::string& line : monitor.Texts())
        EXPECT_EQ(std::string::npos, line.find("REVUZEZ-TRC(")) << "trace level 0: " << line;
}
