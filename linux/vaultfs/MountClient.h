// vaultfs's side of the mount protocol (wire/MountWire.h): requests to the
// serving driver simulator over loopback TCP, moved to a pair of FIFOs when
// the simulator takes them (a round trip costs far less). Thread-safe: each
// call takes an idle connection, or opens one (with its hello) when all are
// busy, so that the requests of several FUSE threads are in flight together.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "MountWire.h"

namespace vaultfs {

struct Endpoint {
    uint16_t    port = 0;
    std::string secret;
};

// Reads "vaultfs 1 PORT SECRET" from the endpoint file; false with a
// sentence for a person.
bool ReadEndpoint(const std::string& file, Endpoint* pOut, std::string* pError);

// A status for a request that never reached the simulator or got no reply.
constexpr int32_t kTransportFailed = -1;

struct Request {
    uint32_t    op = 0;
    uint64_t    handle = 0;
    uint64_t    offset = 0;
    uint32_t    length = 0;
    uint32_t    flags = 0;
    std::string path, path2;
    const void* data = nullptr;
    size_t      dataBytes = 0;
};

struct Answer {
    MOUNT_REPLY          reply = {};
    std::vector<uint8_t> data;   // content, entries, or the failure's sentence
    int32_t status() const { return reply.status; }
    std::string text() const { return std::string(data.begin(), data.end()); }
};

class MountClient {
public:
    MountClient(Endpoint endpoint, std::string vault, uint64_t session);
    ~MountClient();
    MountClient(const MountClient&) = delete;
    MountClient& operator=(const MountClient&) = delete;

    // Carries out one request; the answer's status is a MountStatus, or
    // kTransportFailed (with a sentence) when the simulator is out of reach.
    Answer Call(const Request& request);
    // Closes the idle connections (the simulator ends the session when the
    // last one goes).
    void CloseAll();

    // A connection: its socket, and once piped (MOUNT_PIPES) the FIFOs its
    // requests and replies go through.
    struct Link {
        int tcp = -1, req = -1, rep = -1;
    };

private:
    bool Connect(Link* pLink, Answer* pFailure);

    Endpoint          m_endpoint;
    std::string       m_vault;
    uint64_t          m_session;
    std::mutex        m_mu;
    std::vector<Link> m_idle;
};

}  // namespace vaultfs
