// The agent's life as a process: start-up against the driver simulator,
// one agent per user and session, its boxes, its files, and its exit.
#include <gtest/gtest.h>

#include "AgentHarness.h"
#include "DriverSim.h"
#include "ServingAgent.h"

using namespace harness;

namespace {

const DWORD kStartMs = 20000;
const DWORD kExitMs = 10000;
// The files are text streams: every newline reaches the disk as CR LF.
const char kBanner[] = "\r\n\r\n\t\t=====================Service Started=====================\r\n\r\n\r\n";

}  // namespace

// Without a driver the agent says so and ends; once the driver is there,
// one agent serves at a time, each start begins a new log and adds to the
// trace, and a quit leaves the mutex and the port to the next agent.
TEST(Host, OneAgentServesAtATimeFromTheDriversArrivalOn)
{
    SetLevels(2, 2);
    AgentProcess early;
    ASSERT_TRUE(early.Start());
    EXPECT_EQ(L"Vuzaziz service could not be started.\r\nPlease verify Vault Filter is loaded and running.",
              TakeMessageBox(L"Vuzaziz Service", kStartMs));
    EXPECT_EQ(0, early.WaitForExit(kExitMs));
    EXPECT_NE(std::string::npos, ReadFileText(LogFilePath()).find("ERROR: Connecting to filter port: 0x80070002"));

    driversim::DriverSim sim;
    ASSERT_TRUE(sim.Load());
    const std::string sid = ProcessUserSidText();
    ASSERT_EQ(0u, sid.rfind("S-1-", 0)) << sid;
    for (int run = 1; run <= 2; run++) {
        SCOPED_TRACE("run " + std::to_string(run));
        const std::string traceBefore = ReadFileText(TraceFilePath());
        AgentProcess agent;
        StartServing(sim, agent);
        const std::string trace = ReadFileText(TraceFilePath());
        ASSERT_EQ(0u, trace.compare(0, traceBefore.size(), traceBefore)) << "trace not appended";
        const std::string added = trace.substr(traceBefore.size());
        EXPECT_EQ(0u, added.find(kBanner)) << "banner first";
        EXPECT_EQ(1u, CountOf(added, kBanner));
        EXPECT_EQ(1u, CountOf(added, "WinMain() - Start"));
        EXPECT_NE(std::string::npos, added.find("REVUZEZ-TRC(" + sid + "): ScannerWorker() - Start"));
        // The main thread writes this after starting the workers, which may
        // already have answered.
        std::string log;
        EXPECT_TRUE(WaitUntil([&] {
            log = ReadFileText(LogFilePath());
            return CountOf(log, "All initialization is being done") >= 1;
        }, kStartMs));
        EXPECT_EQ(1u, CountOf(log, "All initialization is being done"));
        EXPECT_EQ(0u, log.find("REVUZEZ(" + sid + "): ")) << log.substr(0, 80);

        HWND hWnd = FindControlWindow(kStartMs);
        ASSERT_NE(nullptr, hWnd);
        EXPECT_FALSE(IsWindowVisible(hWnd));
        DWORD pid = 0;
        GetWindowThreadProcessId(hWnd, &pid);
        EXPECT_EQ(agent.Pid(), pid);
        // Companion programs reach the window by broadcast as well: it is top level.
        EXPECT_EQ(nullptr, GetParent(hWnd));

        if (run == 1) {
            AgentProcess second;
            ASSERT_TRUE(second.Start());
            EXPECT_EQ(L"An Instance of VuvUDOVU.exe is Already running",
                      TakeMessageBox(L"ERROR!!! Instance running", kStartMs));
            EXPECT_EQ(0, second.WaitForExit(kExitMs));
            std::vector<uint8_t> reply;
            ASSERT_TRUE(sim.Request(MakeNotification(DeviceUnpluggedNotice), &reply, kStartMs));
            EXPECT_EQ(1, AsReply(reply)->Reply.Succeeded) << "the first agent still serves";
        }
        EXPECT_EQ(static_cast<size_t>(run), sim.ConnectionCount()) << "a refused agent never reaches the port";
        const size_t endsBefore = CountOf(ReadFileText(TraceFilePath()), "WinMain() - End");
        ASSERT_TRUE(PostQuitToAgent(2000));
        EXPECT_EQ(0, agent.WaitForExit(kExitMs)) << "the agent did not end on WM_QUIT";
        EXPECT_EQ(endsBefore + 1, CountOf(ReadFileText(TraceFilePath()), "WinMain() - End"));
        ASSERT_TRUE(sim.WaitForAgentGone(kExitMs));
    }
}
