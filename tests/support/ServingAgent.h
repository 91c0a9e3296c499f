// An agent started against a loaded driver simulator, for tests that link
// the simulator: back once the agent has connected and answered a request.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "AgentHarness.h"
#include "CompanionSession.h"
#include "DriverSim.h"

namespace harness {

inline void StartServing(driversim::DriverSim& sim, AgentProcess& agent, const std::wstring& program = AgentPath(),
                         DWORD dwTimeoutMs = 20000)
{
    ASSERT_TRUE(agent.Start(program, L"")) << "CreateProcessW failed with error " << GetLastError();
    ASSERT_TRUE(sim.WaitForAgent(dwTimeoutMs)) << "the agent did not connect";
    std::vector<uint8_t> reply;
    ASSERT_TRUE(sim.Request(MakeNotification(DeviceUnpluggedNotice), &reply, dwTimeoutMs));
}

// The control messages of one command that the simulator took, in order.
inline std::vector<VaultControlMessage> ControlsOf(const driversim::DriverSim& sim, DWORD command)
{
    std::vector<VaultControlMessage> found;
    for (const auto& bytes : sim.Controls())
        if (bytes.size() == sizeof(VaultControlMessage) &&
            reinterpret_cast<const VaultControlMessage*>(bytes.data())->dwCommand == command)
            found.push_back(*reinterpret_cast<const VaultControlMessage*>(bytes.data()));
    return found;
}

// A loaded simulator and the user's vault records gone, for a test that
// starts its agent (StartAgent) and has it stopped at its end.
class ServedAgentTest : public ::testing::Test {
protected:
    driversim::DriverSim sim;
    AgentProcess agent;

    void SetUp() override
    {
        SetLevels(2, 2);
        DeleteVaultRecords();
        ASSERT_TRUE(sim.Load());
    }
    void TearDown() override { StopAgent(agent); }
    void StartAgent(const std::wstring& program = AgentPath()) { StartServing(sim, agent, program); }
};

}  // namespace harness
