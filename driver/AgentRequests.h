// What the driver asks the agent, through the port: one function per
// request it sends, each checking the reply it gets. Requests of all threads
// together keep to the agent's five workers (kInFlight), and a block
// transform keeps all five busy.
#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "DriverSim.h"
#include "FileResult.h"
#include "VaultPaths.h"

namespace driversim {

// A file key as the agent handed it out, the cipher's block size, and the
// agent connection that handed it out: the value means nothing to any other
// (a new agent may hand out the same values for other files), so it is sent
// to that connection only, and goes with it.
struct FileKey {
    ULONG    key = 0;
    ULONG    block = 0;
    DWORD    agent = 0;
};

// What GetLogicalFileDetails tells of a stored file.
struct StoredDetails {
    std::wstring name;       // the logical name
    uint64_t     size = 0;   // the plain size in its meta text
    FileKey      key;
};

// One stored file of a listing, as ParsedFileNew decodes it.
struct DecodeItem {
    std::wstring stem;       // in: the stored stem
    std::string  meta;       // in: its meta text (empty when unreadable)
    uint64_t     dataBytes = 0;   // in: the data file's length
    std::wstring name;       // out: the logical name, empty when undecodable
    uint64_t     size = 0;   // out: the plain size
};

class AgentRequests {
public:
    // Each reply is awaited at most timeoutMs.
    AgentRequests(DriverSim& sim, DWORD timeoutMs);

    DriverSim& Sim() const { return m_sim; }

    // AuthenticateUser: NotLoggedIn when the user is not logged in there.
    FileResult Authenticate(const VaultPath& where);
    // GetLogicalFileDetailsExCmd: name, size and file key of a stored file
    // from its meta text (read by the driver). AgentRefused when the key
    // text does not import (name and size filled all the same), or when the
    // text does not parse or its name does not decode (the name left empty).
    FileResult Details(const VaultPath& where, const std::string& meta, StoredDetails* pOut);
    // CreateFileInVault: the meta text and the file key of a new file;
    // `meanwhile` runs while the agent makes them, once the request is sent.
    FileResult NewFile(const VaultPath& where, std::string* pMeta, FileKey* pKey,
                       const std::function<void()>& meanwhile = {});
    // ParsedFileNew: logical names and sizes of up to ten stored files of one folder.
    FileResult Decode(const VaultPath& folder, DecodeItem* pItems, size_t count);
    // UpdateMetaFileName: the meta text of a file moved from `from` to `to`.
    FileResult MetaForName(const VaultPath& from, const VaultPath& to, const std::string& meta,
                           std::string* pNewMeta);
    // UpdateMetaFileSize2: the meta text of a file of a new size.
    FileResult MetaForSize(const VaultPath& where, const std::wstring& name, const std::string& meta,
                           uint64_t size, std::string* pNewMeta);
    // ReleaseFSK: the key goes back to the agent; a key of an agent that has
    // gone went with it.
    FileResult ReleaseKey(const FileKey& key);
    // DeleteFolder: the agent deletes the folder with everything in it.
    FileResult DeleteFolder(const VaultPath& where);
    // EncryptBlock or GetNormalBuffer over bytes in place, in requests of up
    // to 16 KiB with up to kInFlight of them outstanding; on a failure the
    // requests already sent are still awaited, so that none is left to a
    // later key release.
    // NoAgent when the agent that handed the key out has gone.
    FileResult Transform(const FileKey& key, ULONG command, std::vector<uint8_t>& bytes);

    // A meta text for a new size asked alongside the blocks (by a write that
    // records its size once they are on disk), so that neither waits for the
    // other; its outcome is its own, apart from the job's.
    struct SizeText {
        VaultPath    where;
        std::wstring name;
        const std::string* pMeta = nullptr;
        uint64_t     size = 0;
        std::string  text;     // out
        FileResult   result;   // out
    };
    // The same over requests made and answers taken one at a time, so that
    // the caller's disk work runs while the agent works: the next request
    // goes before an answer is taken, and `meanwhile` (when set) runs once
    // the first requests are out. The first failure of any step is returned,
    // and no step runs after it but the awaiting of what was sent.
    struct BlockJob {
        size_t requests = 0;
        // Request i's bytes into p (up to 16 KiB); *pcb = 0 sends none for it.
        std::function<FileResult(size_t i, uint8_t* p, size_t* pcb)> fill;
        std::function<FileResult(size_t i, const uint8_t* p, size_t cb)> take;
        std::function<FileResult()> meanwhile;
        SizeText* pSize = nullptr;   // none when null
    };
    FileResult Transform(const FileKey& key, ULONG command, const BlockJob& job);

    static constexpr size_t kInFlight = 5;

private:
    struct Asked;
    // A place among the kInFlight requests: waited for by a thread that has
    // none in flight, only tried for by one that has (it can await its own
    // instead, so that threads never wait on each other's places).
    void TakeSlot();
    bool TryTakeSlot();
    void GiveSlot();
    // Sends to the agent connected now (whose id goes to *pdwAgent), or to
    // the given one only.
    FileResult Ask(const Notification& request, const std::string& what, Asked* pAnswer, DWORD* pdwAgent = nullptr,
                   DWORD dwAgent = 0, const std::function<void()>& meanwhile = {});

    DriverSim&              m_sim;
    DWORD                   m_timeoutMs;
    // Slim lock and condition variable: taken for every block, and the C++
    // runtime's are kernel objects under this toolchain.
    SRWLOCK                 m_slotLock = SRWLOCK_INIT;
    CONDITION_VARIABLE      m_slotFree = CONDITION_VARIABLE_INIT;
    size_t                  m_slotsUsed = 0;
};

}  // namespace driversim
