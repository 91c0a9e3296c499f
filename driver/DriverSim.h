// The driver simulator: hosts the filter port over named pipes, the way the
// Vault Filter would, so that a real agent process can be served requests
// and its answers checked. Tests link it in-process; vaultfilter.exe wraps it.
#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "VaultWire.h"

namespace driversim {

class DriverSim {
public:
    DriverSim();
    ~DriverSim();                       // unloads if still loaded
    DriverSim(const DriverSim&) = delete;
    DriverSim& operator=(const DriverSim&) = delete;

    // Hosts the port's pipe. False when another driver stand-in already
    // hosts it, or the pipe cannot be created.
    bool Load(const wchar_t* pwszPortName = VAULT_PORT_NAME);
    // Closes every pipe instance: the agent's pending reads fail and its
    // next FilterGetMessage reports the port as gone.
    void Unload();
    bool IsLoaded() const;

    // Connection of an agent (both channels paired).
    bool WaitForAgent(DWORD dwTimeoutMs);
    bool AgentConnected() const;
    // Waits until no connected agent is left (true at once if none is).
    bool WaitForAgentGone(DWORD dwTimeoutMs);
    // The context bytes and options of the latest connection.
    std::string ConnectionContext() const;
    DWORD ConnectionOptions() const;
    // Connections accepted since Load.
    unsigned ConnectionCount() const;
    // The connection that requests go to now; 0 when no agent is connected.
    DWORD AgentId() const;
    // A number that changes whenever an agent connects or goes and whenever
    // a control message arrives: what the driver keeps of the agent's
    // answers (names, sizes, file keys) holds while it stays the same.
    uint64_t Generation() const;

    // Sends one request (header + notification) and returns its MessageId,
    // 0 when no agent is connected or the write failed. Goes to the newest
    // connected agent. Like FltSendMessage it waits while the agent takes
    // no more (the pipe holds about two unread requests; on the shared path
    // the agent holds every slot), at most 10 s. With dwAgentId, only to
    // that connection (0 when it is no longer the one requests go to): a
    // file key is a value of the agent that gave it.
    uint64_t Send(const Notification& notification,
                  DWORD dwReplyLength = REPLY_MESSAGE_SIZE, DWORD dwAgentId = 0);
    // Sends a request whose body is the given bytes (may be shorter than a
    // Notification), for malformed-input tests.
    uint64_t SendRaw(const void* pBody, DWORD cbBody,
                     DWORD dwReplyLength = REPLY_MESSAGE_SIZE, DWORD dwAgentId = 0);
    // Waits for the reply to a request. The reply is the whole pipe message
    // as received, header included. False on time-out or disconnection.
    bool Await(uint64_t messageId, std::vector<uint8_t>* pReply, DWORD dwTimeoutMs);
    // Waits until one of the requests is settled (its reply is here, or it
    // failed) and returns its index, for an Await that then does not wait;
    // count on time-out. Requests that share the agent's workers need not
    // finish in the order sent, and the next request can go as soon as any
    // of them has.
    size_t AwaitAny(const uint64_t* pIds, size_t count, DWORD dwTimeoutMs);
    // Send and Await in one.
    bool Request(const Notification& notification, std::vector<uint8_t>* pReply,
                 DWORD dwTimeoutMs);
    // Requests sent that have not been answered yet.
    size_t Outstanding() const;

    // Control messages received on the control channel, in arrival order,
    // each as the bytes sent.
    std::vector<std::vector<uint8_t>> Controls() const;
    bool WaitForControls(size_t count, DWORD dwTimeoutMs);
    // The HRESULT and output bytes of the answers to come (default S_OK, none).
    void SetControlAnswer(HRESULT hr, std::vector<uint8_t> output = {});

    // Protocol errors of the other side (bad hellos, replies to unknown
    // MessageIds, ...), one line each.
    std::vector<std::string> Errors() const;

    // What the control messages since Load have told the driver: the
    // vaults announced (ADD_VAULTS) and not removed (REMOVE_VAULT), keyed by
    // device path (case-insensitive), with their login state
    // (VAULT_LOGGED_IN / VAULT_LOGGED_OUT), in the order first announced.
    struct Vault {
        std::string  sid;            // szSid, dwSidLength bytes
        std::wstring devicePath;
        DWORD        settings = 0;
        std::wstring mapName;
        bool         newVault = false;
        bool         loggedIn = false;
    };
    std::vector<Vault> Vaults() const;

    // Whether the agents that connect are offered the shared-memory data
    // path (standins/port/SharedPath.md); a connection made before keeps
    // its path. Offered unless the environment has VUZ_PORT_PATH=pipes.
    void OfferSharedPath(bool bOffer);
    // Whether the newest connected agent's requests go through a section.
    bool UsesSharedPath() const;

    // Whether some process already hosts the port (WaitNamedPipeW on its
    // pipe succeeds); Load refuses then.
    static bool PortHosted(const wchar_t* pwszPortName = VAULT_PORT_NAME);

    // One line per event (agent connected, control message, agent gone,
    // protocol error), called from the simulator's threads one at a time.
    // The sink may call the getters above, but not Load or Unload.
    void SetEventSink(std::function<void(const std::string&)> sink);

    struct State;
private:
    std::unique_ptr<State> m_state;
};

}  // namespace driversim
