// An agent started against a loaded driver simulator, for tests that link
// the simulator: back once the agent has connected and answered a request.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "AgentHarness.h"
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

}  // namespace harness
