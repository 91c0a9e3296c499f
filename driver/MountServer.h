// The serving simulator's side of the mount protocol (wire/MountWire.h):
// vaultfs, a Linux FUSE file system, sends it the file operations of one
// vault over loopback TCP, and it carries them out with VaultFiles, as the
// driver would for a program on the vault's drive.
//
// Each connection is served on a thread of its own, so that the requests of
// several FUSE threads go to the agent together (VaultFiles keeps the port's
// bound of five in flight for all of them). An open file is opened once,
// whatever the number of handles vaultfs holds on it: its file key, size
// and meta text stay here until the last handle closes, so that sequential
// reads and writes pay no lookup, and every handle sees the same size.
#pragma once

#include <windows.h>

#include <functional>
#include <memory>
#include <string>

#include "VaultFiles.h"

namespace driversim {

class MountServer {
public:
    explicit MountServer(VaultFiles& files);
    ~MountServer();
    MountServer(const MountServer&) = delete;
    MountServer& operator=(const MountServer&) = delete;

    // Listens on 127.0.0.1 (port 0: one the system chooses) and, under
    // Wine and when told to publish, writes the endpoint file into the
    // prefix. False when it cannot listen. The sink hears one line per
    // session begun and ended.
    bool Start(std::function<void(const std::string&)> sink = {}, unsigned short port = 0, bool bPublish = true);
    // Closes every connection and every file still open.
    void Stop();
    unsigned short Port() const;
    // What every hello must carry.
    std::string Secret() const;
    // The endpoint file's DOS path; empty when none was written.
    std::wstring EndpointPath() const;
    // Files open at the moment (each counted once, whatever its handles).
    size_t OpenFiles() const;

    struct State;

private:
    std::unique_ptr<State> m_state;
};

}  // namespace driversim
