// Requests to the agent: each built as the Vault Filter builds it, sent
// through the port, and its reply checked before anything is taken from it.
#include "AgentRequests.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "Text.h"

namespace driversim {

namespace {

constexpr size_t kChunk = MAX_DATA_LENGTH;   // bytes per block request
constexpr size_t kMaxField = MAX_PATH_CHARS - 1;

std::unique_ptr<Notification> NewRequest(ULONG command)
{
    auto n = std::make_unique<Notification>();   // zeroed: 30 KB, not on the stack
    n->eCommandType = command;
    n->Requester[0] = GetCurrentProcessId();
    n->Requester[1] = GetCurrentThreadId();
    return n;
}

// The agent copies every string into 260 characters; longer ones are refused.
bool Put(WCHAR* field, const std::wstring& value)
{
    if (value.size() > kMaxField)
        return false;
    std::copy(value.begin(), value.end(), field);
    field[value.size()] = 0;
    return true;
}

// Volume, ParentDir and FileName of a place.
bool PutPlace(Notification& n, const VaultPath& where, const std::wstring& name)
{
    return Put(n.Volume, where.volume) && Put(n.ParentDir, where.parentDir) && Put(n.FileName, name);
}

FileResult TooLong(const VaultPath& where)
{
    return Fail(FileError::BadPath, Quoted(where.dos) + " is too long for a request");
}

const struct Reply& ReplyOf(const std::vector<uint8_t>& bytes)
{
    return reinterpret_cast<const struct ReplyMessage*>(bytes.data())->Reply;
}

std::wstring FieldText(const WCHAR* field) { return std::wstring(field, wcsnlen(field, MAX_PATH_CHARS)); }

const char* CommandName(ULONG command)
{
    switch (command) {
    case CreateFileInVault:     return "CreateFileInVault";
    case AuthenticateUser:      return "AuthenticateUser";
    case EncryptBlock:          return "EncryptBlock";
    case GetNormalBuffer:       return "GetNormalBuffer";
    case ParsedFileNew:         return "ParsedFileNew";
    case UpdateMetaFileName:    return "UpdateMetaFileName";
    case ::DeleteFolder:        return "DeleteFolder";
    case GetLogicalFileDetailsExCmd: return "GetLogicalFileDetailsExCmd";
    case UpdateMetaFileSize2:   return "UpdateMetaFileSize2";
    case ReleaseFSK:            return "ReleaseFSK";
    }
    return "request";
}

// The checks every reply passes: sent, answered in time, whole, and carried out.
FileResult CheckReply(ULONG command, uint64_t id, bool bGot, const std::vector<uint8_t>& bytes,
                      DWORD timeoutMs)
{
    const char* what = CommandName(command);
    if (id == 0)
        return Fail(FileError::NoAgent, Format("%s: no agent is connected to take it", what));
    if (!bGot)
        return Fail(FileError::NoReply, Format("%s: no reply within %lu ms", what, timeoutMs));
    const auto* m = reinterpret_cast<const struct ReplyMessage*>(bytes.data());
    if (bytes.size() != REPLY_MESSAGE_SIZE || m->ReplyHeader.Status != 0)
        return Fail(FileError::NoReply, Format("%s: a reply of %u bytes with status 0x%lX, not a whole reply",
                                               what, (unsigned)bytes.size(),
                                               bytes.size() >= 4 ? (unsigned long)m->ReplyHeader.Status : 0ul));
    if (!m->Reply.Succeeded)
        return Fail(FileError::AgentRefused, Format("%s: the agent answered Succeeded 0", what));
    return {};
}

// A meta text that came back in a reply's buffer.
FileResult MetaOf(const REPLY_BUFFER& text, ULONG command, std::string* pMeta)
{
    if (text.Length == 0 || text.Length > MAX_DATA_LENGTH)
        return Fail(FileError::Corrupt, Format("%s gave a meta text of %lu bytes", CommandName(command), text.Length));
    pMeta->assign(reinterpret_cast<const char*>(text.Data), text.Length);
    return {};
}

bool UsableBlock(ULONG block) { return block != 0 && kChunk % block == 0; }

}  // namespace

struct AgentRequests::Asked {
    std::vector<uint8_t> bytes;
    const struct Reply& reply() const { return ReplyOf(bytes); }
};

AgentRequests::AgentRequests(DriverSim& sim, DWORD timeoutMs) : m_sim(sim), m_timeoutMs(timeoutMs) {}

void AgentRequests::TakeSlot()
{
    AcquireSRWLockExclusive(&m_slotLock);
    while (m_slotsUsed >= kInFlight)
        SleepConditionVariableSRW(&m_slotFree, &m_slotLock, INFINITE, 0);
    m_slotsUsed++;
    ReleaseSRWLockExclusive(&m_slotLock);
}

bool AgentRequests::TryTakeSlot()
{
    AcquireSRWLockExclusive(&m_slotLock);
    const bool bTaken = m_slotsUsed < kInFlight;
    m_slotsUsed += bTaken;
    ReleaseSRWLockExclusive(&m_slotLock);
    return bTaken;
}

void AgentRequests::GiveSlot()
{
    AcquireSRWLockExclusive(&m_slotLock);
    m_slotsUsed--;
    ReleaseSRWLockExclusive(&m_slotLock);
    WakeConditionVariable(&m_slotFree);
}

FileResult AgentRequests::Ask(const Notification& request, const std::string& what, Asked* pAnswer,
                              DWORD* pdwAgent, DWORD dwAgent, const std::function<void()>& meanwhile)
{
    if (dwAgent == 0)
        dwAgent = m_sim.AgentId();
    if (pdwAgent != nullptr)
        *pdwAgent = dwAgent;
    TakeSlot();
    uint64_t id = dwAgent != 0 ? m_sim.Send(request, REPLY_MESSAGE_SIZE, dwAgent) : 0;
    if (id != 0 && meanwhile)
        meanwhile();
    bool bGot = id != 0 && m_sim.Await(id, &pAnswer->bytes, m_timeoutMs);
    GiveSlot();
    FileResult r = CheckReply(request.eCommandType, id, bGot, pAnswer->bytes, m_timeoutMs);
    if (!r && !what.empty())
        r.text += " (" + what + ")";
    return r;
}

FileResult AgentRequests::Authenticate(const VaultPath& where)
{
    auto n = NewRequest(AuthenticateUser);
    if (!PutPlace(*n, where, where.name))
        return TooLong(where);
    Asked a;
    if (FileResult r = Ask(*n, Utf8(where.dos), &a); !r)
        return r;
    if (!a.reply().Login.LoggedIn)
        return Fail(FileError::NotLoggedIn, "the vault " + Quoted(where.vault) +
                                                " is not logged in (AuthenticateUser answered LoggedIn 0)");
    return {};
}

FileResult AgentRequests::Details(const VaultPath& where, const std::string& meta, StoredDetails* pOut)
{
    auto n = NewRequest(GetLogicalFileDetailsExCmd);
    if (!PutPlace(*n, where, where.name))
        return TooLong(where);
    if (meta.empty() || meta.size() >= MAX_DATA_LENGTH)
        return Fail(FileError::Corrupt, "the meta text of " + Quoted(where.dos) + " is " +
                                            std::to_string(meta.size()) + " bytes long");
    memcpy(n->Data, meta.data(), meta.size());   // the agent reads it up to its terminating zero
    n->DataLength = (ULONG)meta.size();
    Asked a;
    DWORD dwAgent = 0;
    if (FileResult r = Ask(*n, Utf8(where.dos), &a, &dwAgent); !r)
        return r;
    const LOGICAL_FILE& lf = a.reply().LogicalFile;
    pOut->name = FieldText(lf.FileName);
    pOut->size = (uint64_t)lf.FileSize.QuadPart;
    pOut->key = {lf.FSKHandle, lf.CipherBlockSize, dwAgent};
    if (lf.FSKHandle == 0)
        return Fail(FileError::AgentRefused, "the file key of " + Quoted(where.dos) + " does not import");
    if (lf.FileSize.QuadPart < 0 || !UsableBlock(lf.CipherBlockSize))
        return Fail(FileError::Corrupt, Format("GetLogicalFileDetailsExCmd gave size %lld and block size %lu for ",
                                               (long long)lf.FileSize.QuadPart, lf.CipherBlockSize) +
                                            Quoted(where.dos));
    return {};
}

FileResult AgentRequests::NewFile(const VaultPath& where, std::string* pMeta, FileKey* pKey,
                                  const std::function<void()>& meanwhile)
{
    auto n = NewRequest(CreateFileInVault);
    if (!PutPlace(*n, where, where.name))
        return TooLong(where);
    Asked a;
    DWORD dwAgent = 0;
    if (FileResult r = Ask(*n, Utf8(where.dos), &a, &dwAgent, 0, meanwhile); !r)
        return r;
    const VAULT_FILE& vf = a.reply().VaultFile;
    *pKey = {vf.FSKHandle, vf.CipherBlockSize, dwAgent};
    if (vf.DataLength == 0 || vf.DataLength > MAX_DATA_LENGTH || !UsableBlock(vf.CipherBlockSize))
        return Fail(FileError::Corrupt, Format("CreateFileInVault gave a meta text of %lu bytes and block size %lu",
                                               vf.DataLength, vf.CipherBlockSize));
    pMeta->assign(reinterpret_cast<const char*>(vf.Data), vf.DataLength);
    return {};
}

FileResult AgentRequests::Decode(const VaultPath& folder, DecodeItem* pItems, size_t count)
{
    const VaultPath inside = AsFolder(folder);
    const std::wstring folderOnVolume = inside.volume + inside.parentDir;
    auto n = NewRequest(ParsedFileNew);
    Put(n->Volume, inside.volume);
    n->DirFileNames.LastIndex = (ULONG)(count - 1);
    n->DataLength = (ULONG)(count * DIR_SLICE_SIZE);
    for (size_t i = 0; i < count; i++) {
        if (!Put(n->DirFileNames.FileName[i], folderOnVolume + pItems[i].stem + L".tmp"))
            return TooLong(inside);
        n->DirFileNames.FileSize[i].QuadPart = (LONGLONG)pItems[i].dataBytes;
        const std::string& meta = pItems[i].meta;
        memcpy(n->Data + i * DIR_SLICE_SIZE, meta.data(), std::min<size_t>(meta.size(), DIR_SLICE_SIZE - 1));
    }
    Asked a;
    if (FileResult r = Ask(*n, Utf8(inside.dos), &a); !r)
        return r;
    for (size_t i = 0; i < count; i++) {
        pItems[i].name = FieldText(a.reply().DirFileNames.FileName[i]);
        pItems[i].size = (uint64_t)a.reply().DirFileNames.FileSize[i].QuadPart;
    }
    return {};
}

FileResult AgentRequests::MetaForName(const VaultPath& from, const VaultPath& to, const std::string& meta,
                                      std::string* pNewMeta)
{
    auto n = NewRequest(UpdateMetaFileName);
    if (!PutPlace(*n, from, from.name))
        return TooLong(from);
    if (!Put(n->NewVolume, to.volume) || !Put(n->NewParentDir, to.parentDir) || !Put(n->NewFileName, to.name))
        return TooLong(to);
    memcpy(n->Data, meta.data(), std::min<size_t>(meta.size(), MAX_DATA_LENGTH));
    n->DataLength = (ULONG)std::min<size_t>(meta.size(), MAX_DATA_LENGTH);
    Asked a;
    if (FileResult r = Ask(*n, Utf8(from.dos + L" -> " + to.dos), &a); !r)
        return r;
    return MetaOf(a.reply().Buffer, UpdateMetaFileName, pNewMeta);
}

namespace {

// UpdateMetaFileSize2's request; false when the place does not fit.
bool PutSize(Notification& n, const VaultPath& where, const std::wstring& name, const std::string& meta,
             uint64_t size)
{
    if (!PutPlace(n, where, name))
        return false;
    n.FileSize.QuadPart = (LONGLONG)size;
    memcpy(n.Data, meta.data(), std::min<size_t>(meta.size(), MAX_DATA_LENGTH));
    n.DataLength = (ULONG)std::min<size_t>(meta.size(), MAX_DATA_LENGTH);
    return true;
}

}  // namespace

FileResult AgentRequests::MetaForSize(const VaultPath& where, const std::wstring& name, const std::string& meta,
                                      uint64_t size, std::string* pNewMeta)
{
    auto n = NewRequest(UpdateMetaFileSize2);
    if (!PutSize(*n, where, name, meta, size))
        return TooLong(where);
    Asked a;
    if (FileResult r = Ask(*n, Utf8(where.dos), &a); !r)
        return r;
    return MetaOf(a.reply().Buffer, UpdateMetaFileSize2, pNewMeta);
}

FileResult AgentRequests::ReleaseKey(const FileKey& key)
{
    if (key.key == 0 || key.agent != m_sim.AgentId())
        return {};
    auto n = NewRequest(ReleaseFSK);
    n->FSKHandle = key.key;
    Asked a;
    FileResult r = Ask(*n, {}, &a, nullptr, key.agent);
    return r.error == FileError::NoAgent ? FileResult{} : r;
}

FileResult AgentRequests::DeleteFolder(const VaultPath& where)
{
    auto n = NewRequest(::DeleteFolder);
    if (!PutPlace(*n, where, where.name))
        return TooLong(where);
    Asked a;
    return Ask(*n, Utf8(where.dos), &a);
}

FileResult AgentRequests::Transform(const FileKey& key, ULONG command, std::vector<uint8_t>& bytes)
{
    BlockJob job;
    job.requests = (bytes.size() + kChunk - 1) / kChunk;
    job.fill = [&](size_t i, uint8_t* p, size_t* pcb) {
        *pcb = std::min(kChunk, bytes.size() - i * kChunk);
        memcpy(p, bytes.data() + i * kChunk, *pcb);
        return FileResult{};
    };
    job.take = [&](size_t i, const uint8_t* p, size_t cb) {
        memcpy(bytes.data() + i * kChunk, p, cb);
        return FileResult{};
    };
    return Transform(key, command, job);
}

FileResult AgentRequests::Transform(const FileKey& key, ULONG command, const BlockJob& job)
{
    auto n = NewRequest(command);
    n->FSKHandle = key.key;
    struct Flying {
        size_t   i;
        uint64_t id;
        size_t   cb;
    };
    std::vector<Flying> flight;   // in the order sent
    flight.reserve(kInFlight);
    constexpr size_t kSide = SIZE_MAX;   // the size text's place in the flight
    std::unique_ptr<Notification> side;
    if (job.pSize != nullptr) {
        SizeText& t = *job.pSize;
        side = NewRequest(UpdateMetaFileSize2);
        t.result = Fail(FileError::NoReply, "UpdateMetaFileSize2: not sent");   // until it is answered
        if (!PutSize(*side, t.where, t.name, *t.pMeta, t.size)) {
            t.result = TooLong(t.where);
            side.reset();
        }
    }
    uint64_t ids[kInFlight];
    FileResult result;
    std::vector<uint8_t> reply;
    size_t next = 0;
    auto keep = [&](FileResult r) {
        if (result && !r)
            result = std::move(r);
    };
    // The size text goes out with the first block, or as soon as a place
    // frees after it.
    auto sendSide = [&] {
        if (!side || !(flight.empty() ? (TakeSlot(), true) : TryTakeSlot()))
            return;
        const uint64_t id = m_sim.Send(*side, REPLY_MESSAGE_SIZE, key.agent);
        side.reset();
        if (id == 0) {
            GiveSlot();
            job.pSize->result = CheckReply(UpdateMetaFileSize2, 0, false, {}, 0);
        } else {
            flight.push_back({kSide, id, 0});
        }
    };
    // As many requests out as there are places; a thread with none in flight
    // waits for one, a thread with some only tries (see TakeSlot).
    auto sendMore = [&] {
        if (!flight.empty())
            sendSide();
        while (result && next < job.requests && flight.size() < kInFlight &&
               (flight.empty() ? (TakeSlot(), true) : TryTakeSlot())) {
            size_t cb = 0;
            FileResult r = job.fill(next, n->Data, &cb);
            if (!r || cb == 0) {
                GiveSlot();
                keep(std::move(r));
                next++;
                continue;
            }
            memset(n->Data + cb, 0, kChunk - cb);
            n->DataLength = (ULONG)cb;
            const uint64_t id = m_sim.Send(*n, REPLY_MESSAGE_SIZE, key.agent);
            if (id == 0) {
                GiveSlot();
                keep(CheckReply(command, 0, false, {}, 0));
            } else {
                flight.push_back({next, id, cb});
                sendSide();
            }
            next++;
        }
        if (flight.empty() && result)
            sendSide();   // every block sent and answered
    };
    sendMore();
    if (job.meanwhile && result)
        keep(job.meanwhile());
    while (!flight.empty()) {
        // Whichever reply comes first: the agent's workers need not finish
        // in the order their requests were sent.
        for (size_t k = 0; k < flight.size(); k++)
            ids[k] = flight[k].id;
        size_t k = m_sim.AwaitAny(ids, flight.size(), m_timeoutMs);
        k = k < flight.size() ? k : 0;   // none in time: the oldest fails
        const Flying f = flight[k];
        flight.erase(flight.begin() + k);
        const bool bGot = m_sim.Await(f.id, &reply, 0);
        GiveSlot();
        if (f.i == kSide) {
            SizeText& t = *job.pSize;
            t.result = CheckReply(UpdateMetaFileSize2, f.id, bGot, reply, m_timeoutMs);
            if (t.result)
                t.result = MetaOf(ReplyOf(reply).Buffer, UpdateMetaFileSize2, &t.text);
            else
                t.result.text += " (" + Utf8(t.where.dos) + ")";
            sendMore();
            continue;
        }
        FileResult r = CheckReply(command, f.id, bGot, reply, m_timeoutMs);
        if (r && ReplyOf(reply).Buffer.Length != f.cb)
            r = Fail(FileError::Corrupt, Format("%s of %u bytes answered %lu bytes", CommandName(command),
                                                (unsigned)f.cb, ReplyOf(reply).Buffer.Length));
        keep(r);
        sendMore();   // before this answer is taken: the agent's workers wait for nothing
        if (result)
            keep(job.take(f.i, ReplyOf(reply).Buffer.Data, f.cb));
    }
    return result;
}

}  // namespace driversim
