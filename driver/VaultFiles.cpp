// File operations on a vault, played the way the Vault Filter plays them:
// every question that needs a key goes to the agent, every byte on disk is
// written and read here.
//
// Locks: `names` (exclusive) is held by everything that changes which files
// exist or are open (create, open, last close, rename, delete, folders), so
// that two creations of one name cannot both succeed and a rename sees every
// open file it moves; lookups and listings hold it shared. Each open file
// has an `io` lock: shared by reads, exclusive for writes, size changes and
// moves. A thread takes names before io, and holds at most one io lock
// except a rename or a delete, which hold names first. The name cache and
// the kept keys have locks of their own, taken last.
#include "VaultFiles.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <deque>
#include <map>
#include <optional>
#include <mutex>
#include <set>

#include "NameCache.h"
#include "StoredFiles.h"
#include "Text.h"

namespace driversim {

namespace {

constexpr size_t kChunk = MAX_DATA_LENGTH;   // bytes of one block request
// Bytes of the data file read or written at once: each call costs a trip to
// the compatibility layer's server, as much as the copying of many blocks.
constexpr size_t kDiskRun = 16 * kChunk;
constexpr size_t kKeptKeys = 2048;                // keys of closed files kept for a reopening

uint64_t RoundUp(uint64_t n, uint64_t block) { return (n + block - 1) / block * block; }

class Exclusive {
public:
    explicit Exclusive(SRWLOCK& lock) : m_lock(lock) { AcquireSRWLockExclusive(&m_lock); }
    ~Exclusive() { ReleaseSRWLockExclusive(&m_lock); }
    Exclusive(const Exclusive&) = delete;
    Exclusive& operator=(const Exclusive&) = delete;

private:
    SRWLOCK& m_lock;
};

class Shared {
public:
    explicit Shared(SRWLOCK& lock) : m_lock(lock) { AcquireSRWLockShared(&m_lock); }
    ~Shared() { ReleaseSRWLockShared(&m_lock); }
    Shared(const Shared&) = delete;
    Shared& operator=(const Shared&) = delete;

private:
    SRWLOCK& m_lock;
};

bool AllZero(const uint8_t* p, size_t cb)
{
    for (size_t i = 0; i < cb; i++)
        if (p[i] != 0)
            return false;
    return true;
}

FILETIME Now()
{
    FILETIME ft;
    GetSystemTimeAsFileTime(&ft);
    return ft;
}

// The folder path relative to its vault, as rename records keep it.
std::wstring Relative(const std::wstring& vault, const std::wstring& folder)
{
    return folder.size() > vault.size() ? folder.substr(vault.size() + 1) : std::wstring();
}

}  // namespace

// ---------------------------------------------------------------------------
// The state behind every handle of one open file.

struct VaultFiles::File::Node {
    SRWLOCK      io = SRWLOCK_INIT;
    // Under io; where, name and stem change under names and io both.
    VaultPath    where;
    std::wstring name, stem;
    std::string  meta;
    uint64_t     size = 0;          // what readers see
    uint64_t     recorded = 0;      // what the meta text says: behind size until the file settles
    FileKey      key;
    uint64_t     version = 0;       // see File::Version
    // Opened (not made by this open), or synced since: its meta text must
    // outlast a power cut, and is flushed beside before it replaces the old.
    bool         durable = false;
    bool         deleted = false;   // unlinked while open: meta at STEM.del, the pair goes at the last close
    // Under names.
    int          refs = 0;
    std::wstring mapKey;            // in State::open while not deleted

    std::wstring MetaPath() const { return where.folder + L"\\" + stem + (deleted ? kDeletedSuffix : L""); }
    std::wstring DataPath() const { return where.folder + L"\\" + stem + L".tmp"; }
};

using NodePtr = std::shared_ptr<VaultFiles::File::Node>;

static FileResult Settle(VaultFiles::State& st, VaultFiles::File::Node& node);

// A key of a closed file, kept for a moment: reopening the same file (same
// data file, same meta text) under the same agent takes it back instead of
// having the agent import the key again.
struct KeptKey {
    std::wstring dataPath;
    uint64_t     version = 0;   // the content's at the close
    std::string  meta;
    FileKey      key;
    bool         durable = true;   // as the node's
};

struct VaultFiles::State {
    DriverSim&    sim;
    AgentRequests agent;
    NameCache     cache;
    DriveTargets  drives;

    SRWLOCK                         names = SRWLOCK_INIT;
    std::map<std::wstring, NodePtr> open;        // by folded DOS path
    std::vector<NodePtr>            unlinked;    // deleted while open, until their last close
    std::set<std::wstring>          recovered;   // vaults whose interrupted renames were finished

    // Content versions: from a random start, so that no other process's
    // repeat them.
    std::atomic<uint64_t>           versions{(((uint64_t)GetTickCount64() << 32) ^ GetCurrentProcessId()) << 8};
    uint64_t NewVersion() { return ++versions; }

    std::mutex                      stateMu;     // what follows
    uint64_t                        generation = 0;
    std::map<std::wstring, bool>    loggedIn;    // by folded vault folder, for this generation
    std::deque<KeptKey>             kept;        // newest first
    // Folders (folded) whose leftovers of earlier processes were cleared at
    // their first pass: later passes leave the driver's own files alone.
    std::set<std::wstring>          cleaned;

    // Data files of deleted files, their meta text standing in them
    // (DeletePair): removed on a pool thread while the reply goes back, and
    // awaited (under names) by whatever needs a folder without them: its
    // removal or move, a look at every stored file, the end.
    SRWLOCK                         removing = SRWLOCK_INIT;
    CONDITION_VARIABLE              removed = CONDITION_VARIABLE_INIT;
    size_t                          removals = 0;   // under removing
    void RemoveSoon(std::wstring path);
    void AwaitRemovals();

    State(DriverSim& s, DWORD timeoutMs) : sim(s), agent(s, timeoutMs) {}

    // Before every operation: what was kept of the agent's answers holds
    // only for the generation it came under.
    void Sync();
    FileResult LoggedIn(const VaultPath& where);
    void Recover(const VaultPath& where);
    FileResult Prepare(const VaultPath& where);

    // The stored files of one folder, read and decoded: the name cache's fill.
    FileResult Scan(const VaultPath& folder, NameCache::Folder* pOut);
    // What a name is in its folder (a file with its entry, a folder, or
    // nothing), the folder filled first when needed: NotFound only when the
    // folder itself is missing. Under names (shared or exclusive).
    enum class Kind { None, File, Folder };
    FileResult Lookup(const VaultPath& where, Kind* pKind, NameCache::Entry* pEntry = nullptr);

    FileResult OpenExisting(const VaultPath& where, const NameCache::Entry& entry, NodePtr* pNode);
    FileResult CreateNew(const VaultPath& where, NodePtr* pNode);
    FileResult CheckFolderLength(const VaultPath& folder);

    FileResult RenameFile(const VaultPath& from, const VaultPath& to, const NameCache::Entry& source, Kind target,
                          const NameCache::Entry& targetEntry);
    FileResult RenameFolder(const VaultPath& from, const VaultPath& to, Kind target);

    // Keys of closed files.
    bool TakeKept(const std::wstring& dataPath, uint64_t version, KeptKey* pKept);
    void Keep(const NodePtr& node);
    void Hold(KeptKey kept);
    void ReleaseKept(std::deque<KeptKey> keys);
    void ForgetKept(const std::wstring& dataPath);
    void Release(const NodePtr& node);   // the last handle closed
};

void VaultFiles::State::Sync()
{
    const uint64_t now = sim.Generation();
    std::deque<KeptKey> stale;
    {
        std::lock_guard<std::mutex> lock(stateMu);
        if (now == generation)
            return;
        generation = now;
        loggedIn.clear();
        stale.swap(kept);
    }
    cache.Sync(now);
    ReleaseKept(std::move(stale));
}

// Whether the user is logged in to the vault: asked once per generation,
// since every change of it comes with a control message.
FileResult VaultFiles::State::LoggedIn(const VaultPath& where)
{
    const std::wstring key = FoldKey(where.vault);
    {
        std::lock_guard<std::mutex> lock(stateMu);
        auto it = loggedIn.find(key);
        if (it != loggedIn.end() && it->second)
            return {};
    }
    VaultPath root = where;
    root.dos = root.folder = where.vault;
    root.name.clear();
    root = AsFolder(root);
    const uint64_t before = sim.Generation();
    FileResult r = agent.Authenticate(root);
    if (r.error == FileError::None || r.error == FileError::NotLoggedIn) {
        std::lock_guard<std::mutex> lock(stateMu);
        if (before == generation)
            loggedIn[key] = (bool)r;
    }
    return r;
}

// Renames that a crash left under way are finished before the vault is
// served; once per vault, and again after one failed half-way here.
void VaultFiles::State::Recover(const VaultPath& where)
{
    const std::wstring key = FoldKey(where.vault);
    {
        Shared lock(names);
        if (recovered.count(key))
            return;
    }
    Exclusive lock(names);
    if (recovered.count(key))
        return;
    std::vector<std::string> done;
    if (RecoverVault(where.vault, &done))
        recovered.insert(key);
    cache.Forget(where.vault);
}

void VaultFiles::State::RemoveSoon(std::wstring path)
{
    struct Removal {
        State*       st;
        std::wstring path;
    };
    AcquireSRWLockExclusive(&removing);
    removals++;
    ReleaseSRWLockExclusive(&removing);
    auto* job = new Removal{this, std::move(path)};
    auto run = [](PTP_CALLBACK_INSTANCE, void* p) {
        std::unique_ptr<Removal> job(static_cast<Removal*>(p));
        RemoveStored(job->path);   // one left by a failure is a leftover a later pass clears
        AcquireSRWLockExclusive(&job->st->removing);
        job->st->removals--;
        ReleaseSRWLockExclusive(&job->st->removing);
        WakeAllConditionVariable(&job->st->removed);
    };
    if (!TrySubmitThreadpoolCallback(run, job, NULL))
        run(nullptr, job);
}

void VaultFiles::State::AwaitRemovals()
{
    AcquireSRWLockExclusive(&removing);
    while (removals != 0)
        SleepConditionVariableSRW(&removed, &removing, INFINITE, 0);
    ReleaseSRWLockExclusive(&removing);
}

FileResult VaultFiles::State::Prepare(const VaultPath& where)
{
    Sync();
    if (FileResult r = LoggedIn(where); !r)
        return r;
    Recover(where);
    return {};
}

FileResult VaultFiles::State::CheckFolderLength(const VaultPath& folder)
{
    const size_t most = MaxFolderChars(folder);
    if (folder.dos.size() > most)
        return Fail(FileError::NameTooLong, Format("%s is %u characters long; a vault folder path may have %u",
                                                   Quoted(folder.dos).c_str(), (unsigned)folder.dos.size(),
                                                   (unsigned)most));
    return {};
}

FileResult VaultFiles::State::Scan(const VaultPath& folder, NameCache::Folder* pOut)
{
    if (FileResult r = CheckFolderLength(folder); !r)
        return r;
    bool bFirst;
    {
        std::lock_guard<std::mutex> lock(stateMu);
        bFirst = cleaned.insert(FoldKey(folder.dos)).second;
    }
    std::map<std::wstring, WIN32_FIND_DATAW> stems, data;
    std::vector<std::wstring> leftovers;
    WIN32_FIND_DATAW fd;
    HANDLE hFind = FindFirstFileExW((folder.dos + L"\\*").c_str(), FindExInfoBasic, &fd, FindExSearchNameMatch,
                                   NULL, FIND_FIRST_EX_LARGE_FETCH);
    if (hFind == INVALID_HANDLE_VALUE)
        return DiskError("cannot list", folder.dos);
    do {
        const std::wstring name = fd.cFileName;
        if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            if (name != L"." && name != L"..")
                pOut->folders.push_back(name);
            continue;
        }
        if (IsStem(name))
            stems[name] = fd;
        else if (IsDataFileName(name))
            data[name.substr(0, name.size() - 4)] = fd;
        else if (bFirst)
            leftovers.push_back(name);
    } while (FindNextFileW(hFind, &fd));
    FindClose(hFind);

    // What an earlier process left half-done: a meta text never renamed
    // into place (its file holds a whole old or new text), the pair of a
    // file deleted while open.
    for (const std::wstring& name : leftovers) {
        const size_t dot = name.find(L'.');
        const std::wstring stem = name.substr(0, dot), suffix = name.substr(dot);
        if (!IsStem(stem))
            continue;
        if (suffix == kNewSuffix)
            RemoveStored(folder.dos + L"\\" + name);
        else if (suffix == kDeletedSuffix && !stems.count(stem))
            FinishDelete(folder.dos, stem);
    }
    for (auto it = data.begin(); bFirst && it != data.end();) {
        const uint64_t bytes = ((uint64_t)it->second.nFileSizeHigh << 32) | it->second.nFileSizeLow;
        const std::wstring path = folder.dos + L"\\" + it->second.cFileName;
        if (!stems.count(it->first) && DeleteLeftover(path, bytes) && RemoveStored(path))
            it = data.erase(it);
        else
            ++it;
    }
    // A creation cut short between making the meta file and writing it: an
    // empty meta file (no text is empty) beside an empty data file.
    for (auto it = stems.begin(); bFirst && it != stems.end();) {
        auto d = data.find(it->first);
        const bool bCut = it->second.nFileSizeLow == 0 && it->second.nFileSizeHigh == 0 &&
                          (d == data.end() || (d->second.nFileSizeLow == 0 && d->second.nFileSizeHigh == 0));
        if (bCut && RemoveStored(folder.dos + L"\\" + it->first + L".tmp") && RemoveStored(folder.dos + L"\\" + it->first)) {
            if (d != data.end())
                data.erase(d);
            it = stems.erase(it);
        } else {
            ++it;
        }
    }

    // An open file's text is the one in memory: a new file's text may be
    // under a write in place at this moment.
    std::map<std::wstring, std::string> held;
    for (const auto& [key, node] : open) {
        if (SameText(node->where.folder, folder.dos)) {
            Shared io(node->io);
            held[node->stem] = node->meta;
        }
    }
    std::vector<DecodeItem> items;
    std::vector<FILETIME> times;
    for (const auto& [stem, found] : stems) {
        DecodeItem item;
        item.stem = stem;
        auto d = data.find(stem);
        FILETIME modified = found.ftLastWriteTime;
        if (d != data.end()) {
            item.dataBytes = ((uint64_t)d->second.nFileSizeHigh << 32) | d->second.nFileSizeLow;
            modified = d->second.ftLastWriteTime;
        }
        if (auto h = held.find(stem); h != held.end())
            item.meta = h->second;
        else
            ReadMeta(folder.dos + L"\\" + stem, &item.meta);   // an unreadable one is sent empty
        items.push_back(std::move(item));
        times.push_back(modified);
    }
    for (size_t first = 0; first < items.size(); first += DIR_BATCH_ENTRIES) {
        if (FileResult r = agent.Decode(folder, items.data() + first,
                                        std::min<size_t>(DIR_BATCH_ENTRIES, items.size() - first));
            !r)
            return r;
    }
    std::set<std::wstring> seen;
    pOut->files.clear();
    for (size_t i = 0; i < items.size(); i++) {
        if (items[i].name.empty())
            pOut->unreadable.push_back(items[i].stem);
        else if (!seen.insert(FoldKey(items[i].name)).second)
            pOut->shadowed.push_back(items[i].stem);
        else
            pOut->files.push_back({items[i].name, items[i].stem, items[i].size, times[i], NewVersion()});
    }
    return {};
}

FileResult VaultFiles::State::Lookup(const VaultPath& where, Kind* pKind, NameCache::Entry* pEntry)
{
    NameCache::Entry entry;
    NameCache::Seen seen = cache.Look(where.folder, where.name, &entry);
    if (seen == NameCache::Seen::NotCached) {
        if (!IsFolder(where.folder))
            return Fail(FileError::NotFound, "no folder " + Quoted(where.folder));
        VaultPath folder = where;
        folder.dos = where.folder;
        folder = AsFolder(folder);
        const uint64_t generation = sim.Generation();
        NameCache::Folder contents;
        if (FileResult r = Scan(folder, &contents); !r)
            return r;
        seen = NameCache::Seen::Absent;
        const std::wstring key = FoldKey(where.name);
        for (const NameCache::Entry& e : contents.files) {
            if (FoldKey(e.name) == key) {
                entry = e;
                seen = NameCache::Seen::File;
                break;
            }
        }
        for (const std::wstring& name : contents.folders)
            if (seen == NameCache::Seen::Absent && FoldKey(name) == key)
                seen = NameCache::Seen::Folder;
        cache.Fill(where.folder, std::move(contents), generation);
    }
    *pKind = seen == NameCache::Seen::File ? Kind::File : seen == NameCache::Seen::Folder ? Kind::Folder : Kind::None;
    if (pEntry != nullptr)
        *pEntry = entry;
    return {};
}

// ---------------------------------------------------------------------------
// Opening and creating, under names.

FileResult VaultFiles::State::OpenExisting(const VaultPath& where, const NameCache::Entry& entry, NodePtr* pNode)
{
    auto node = std::make_shared<File::Node>();
    node->where = where;
    node->stem = entry.stem;
    node->version = entry.version;
    node->durable = true;
    KeptKey kept;
    if (TakeKept(node->DataPath(), entry.version, &kept)) {
        node->meta = std::move(kept.meta);
        node->key = kept.key;
        node->durable = kept.durable;
        node->name = entry.name;
        node->size = node->recorded = entry.size;
    } else {
        if (FileResult r = ReadMeta(node->MetaPath(), &node->meta); !r)
            return r;
        StoredDetails details;
        FileResult r = agent.Details(where, node->meta, &details);
        if (!r) {
            agent.ReleaseKey(details.key);
            return r;
        }
        node->name = details.name;
        node->size = node->recorded = details.size;
        node->key = details.key;
    }
    *pNode = node;
    return {};
}

FileResult VaultFiles::State::CreateNew(const VaultPath& where, NodePtr* pNode)
{
    VaultPath folder = where;
    folder.dos = where.folder;
    if (FileResult r = CheckFolderLength(AsFolder(folder)); !r)
        return r;
    auto node = std::make_shared<File::Node>();
    node->where = where;
    node->name = where.name;
    // The data file first, made while the agent makes the meta text: a crash
    // between the two leaves a data file that names nothing, never a name
    // without its data. A stem met by chance is made again.
    FileResult r = Fail(FileError::AlreadyExists, "no stem tried");
    auto makeData = [&] {
        for (int attempt = 0; attempt < 8 && r.error == FileError::AlreadyExists; attempt++) {
            node->stem = RandomStem();
            r = WriteWhole(node->DataPath(), "", 0, CREATE_NEW);
        }
    };
    if (FileResult asked = agent.NewFile(where, &node->meta, &node->key, makeData); !asked) {
        if (r)
            RemoveStored(node->DataPath());
        agent.ReleaseKey(node->key);
        return asked;
    }
    for (int attempt = 0; r && attempt < 8; attempt++) {
        FileResult meta = MakeMeta(node->MetaPath(), node->meta);
        if (meta)
            break;
        RemoveStored(node->DataPath());
        r = meta;
        if (meta.error == FileError::AlreadyExists)
            makeData();
    }
    if (!r) {
        agent.ReleaseKey(node->key);
        return r;
    }
    FILETIME modified = Now();
    LastWrite(node->DataPath(), &modified);
    node->version = NewVersion();
    cache.Put(where.folder, {node->name, node->stem, 0, modified, node->version});
    *pNode = node;
    return {};
}

// ---------------------------------------------------------------------------
// Kept keys.

// The key kept for a file closed at this version. Nothing changed the file
// since (a write makes a new version; a rename to another folder or over
// another file forgets its kept key, a rename in its folder keeps it with
// the new text; a deleted file's is never asked for again), so its meta
// text is the one kept with it.
bool VaultFiles::State::TakeKept(const std::wstring& dataPath, uint64_t version, KeptKey* pKept)
{
    std::lock_guard<std::mutex> lock(stateMu);
    for (auto it = kept.begin(); it != kept.end(); ++it) {
        if (it->version == version && SameText(it->dataPath, dataPath)) {
            *pKept = std::move(*it);
            kept.erase(it);
            return true;
        }
    }
    return false;
}

void VaultFiles::State::Keep(const NodePtr& node)
{
    if (node->key.agent != sim.AgentId())
        return;
    Hold({node->DataPath(), node->version, node->meta, node->key, node->durable});
    node->key = {};
}

// A key kept (under this generation only), the oldest released past the bound.
void VaultFiles::State::Hold(KeptKey k)
{
    std::deque<KeptKey> evicted;
    {
        std::lock_guard<std::mutex> lock(stateMu);
        if (sim.Generation() == generation)
            kept.push_front(std::move(k));
        else
            evicted.push_back(std::move(k));
        while (kept.size() > kKeptKeys) {
            evicted.push_back(kept.back());
            kept.pop_back();
        }
    }
    ReleaseKept(std::move(evicted));
}

void VaultFiles::State::ReleaseKept(std::deque<KeptKey> keys)
{
    for (const KeptKey& k : keys)
        agent.ReleaseKey(k.key);
}

void VaultFiles::State::ForgetKept(const std::wstring& dataPath)
{
    std::deque<KeptKey> gone;
    {
        std::lock_guard<std::mutex> lock(stateMu);
        for (auto it = kept.begin(); it != kept.end();) {
            if (SameText(it->dataPath, dataPath)) {
                gone.push_back(*it);
                it = kept.erase(it);
            } else {
                ++it;
            }
        }
    }
    ReleaseKept(std::move(gone));
}

// Under names: the last handle of a file closed.
void VaultFiles::State::Release(const NodePtr& node)
{
    Exclusive io(node->io);
    if (node->deleted) {
        agent.ReleaseKey(node->key);
        node->key = {};
        FinishDelete(node->where.folder, node->stem);
        unlinked.erase(std::remove(unlinked.begin(), unlinked.end(), node), unlinked.end());
        return;
    }
    auto it = open.find(node->mapKey);
    if (it != open.end() && it->second == node)
        open.erase(it);
    Keep(node);
    agent.ReleaseKey(node->key);   // when it could not be kept
    node->key = {};
}

// ---------------------------------------------------------------------------
// The operations.

VaultFiles::VaultFiles(DriverSim& sim, DWORD timeoutMs) : m_state(std::make_unique<State>(sim, timeoutMs)) {}

VaultFiles::~VaultFiles()
{
    m_state->AwaitRemovals();
    std::deque<KeptKey> kept;
    {
        std::lock_guard<std::mutex> lock(m_state->stateMu);
        kept.swap(m_state->kept);
    }
    m_state->ReleaseKept(std::move(kept));
}

AgentRequests& VaultFiles::Agent() { return m_state->agent; }

FileResult VaultFiles::Resolve(const std::wstring& path, VaultPath* pOut) const
{
    DriverSim& sim = m_state->sim;
    return ResolvePath(sim.Vaults(), path, pOut, m_state->drives, sim.Generation());
}

FileResult VaultFiles::Authenticate(const VaultPath& where)
{
    m_state->Sync();
    return m_state->LoggedIn(where);
}

size_t VaultFiles::MaxFolderChars(const VaultPath& where)
{
    // A listing names a folder's first stored data file by its full path on
    // the volume (volume, folder without its drive, "\", 16 + 4 characters),
    // and the agent reads meta files by folder, "\" and stem: both must fit
    // the 259 characters of a request's and the agent's paths.
    const size_t byListing = MAX_PATH_CHARS - 1 - 20 + 1 - where.volume.size();
    const size_t byMetaPath = MAX_PATH_CHARS - 1 - 17;
    return std::min(byListing, byMetaPath);
}

size_t VaultFiles::OpenFiles() const
{
    Shared lock(m_state->names);
    return m_state->open.size();
}

void VaultFiles::WhileNamesHeld(const std::function<void(const std::vector<std::wstring>&)>& work)
{
    Exclusive lock(m_state->names);
    m_state->AwaitRemovals();
    std::vector<std::wstring> open;
    for (const auto& [key, node] : m_state->open)
        open.push_back(node->DataPath());
    for (const NodePtr& node : m_state->unlinked)
        open.push_back(node->DataPath());
    work(open);
}

void VaultFiles::Forget(const std::wstring& folder) { m_state->cache.Forget(folder); }

// Resolves a path and readies its vault: the first step of every operation.
static FileResult Begin(VaultFiles& files, VaultFiles::State& st, const std::wstring& path, VaultPath* pWhere)
{
    if (FileResult r = files.Resolve(path, pWhere); !r)
        return r;
    return st.Prepare(*pWhere);
}

using Kind = VaultFiles::State::Kind;

static FileResult NoFile(const VaultPath& where) { return Fail(FileError::NotFound, "no file " + Quoted(where.dos)); }
static FileResult AFolder(const VaultPath& where)
{
    return Fail(FileError::IsFolder, Quoted(where.dos) + " is a folder, not a file");
}

FileResult VaultFiles::Create(const std::wstring& path, std::unique_ptr<File>* pFile)
{
    State& st = *m_state;
    VaultPath where;
    if (FileResult r = Begin(*this, st, path, &where); !r)
        return r;
    if (where.IsVaultRoot())
        return Fail(FileError::AlreadyExists, Quoted(path) + " is the vault folder");
    Exclusive lock(st.names);
    Kind kind;
    NameCache::Entry entry;
    if (FileResult r = st.Lookup(where, &kind, &entry); !r)
        return r;
    if (kind != Kind::None)
        return Fail(FileError::AlreadyExists, Quoted(path) + (kind == Kind::Folder ? " is a folder" : " exists"));
    NodePtr node;
    if (FileResult r = st.CreateNew(where, &node); !r)
        return r;
    node->mapKey = FoldKey(where.dos);
    node->refs = 1;
    st.open[node->mapKey] = node;
    pFile->reset(new File(*this, node));
    return {};
}

FileResult VaultFiles::Open(const std::wstring& path, std::unique_ptr<File>* pFile)
{
    State& st = *m_state;
    VaultPath where;
    if (FileResult r = Begin(*this, st, path, &where); !r)
        return r;
    if (where.IsVaultRoot())
        return AFolder(where);
    Exclusive lock(st.names);
    NodePtr node;
    if (auto it = st.open.find(FoldKey(where.dos)); it != st.open.end()) {
        node = it->second;
    } else {
        Kind kind;
        NameCache::Entry entry;
        if (FileResult r = st.Lookup(where, &kind, &entry); !r)
            return r;
        if (kind != Kind::File)
            return kind == Kind::Folder ? AFolder(where) : NoFile(where);
        if (FileResult r = st.OpenExisting(where, entry, &node); !r)
            return r;
        node->mapKey = FoldKey(where.dos);
        st.open[node->mapKey] = node;
    }
    node->refs++;
    pFile->reset(new File(*this, node));
    return {};
}

FileResult VaultFiles::OpenOrCreate(const std::wstring& path, std::unique_ptr<File>* pFile)
{
    // One attempt of each: a name made or removed by another thread in
    // between is met by the next. A missing folder fails the creation too.
    for (int attempt = 0; attempt < 4; attempt++) {
        FileResult r = Open(path, pFile);
        if (r.error != FileError::NotFound)
            return r;
        r = Create(path, pFile);
        if (r.error != FileError::AlreadyExists)
            return r;
    }
    return Fail(FileError::Disk, Quoted(path) + " keeps appearing and disappearing");
}

FileResult VaultFiles::List(const std::wstring& path, std::vector<VaultEntry>* pEntries)
{
    State& st = *m_state;
    VaultPath where;
    if (FileResult r = Begin(*this, st, path, &where); !r)
        return r;
    const VaultPath inside = AsFolder(where);
    if (FileResult r = st.CheckFolderLength(inside); !r)
        return r;
    Shared lock(st.names);
    NameCache::Folder contents;
    if (!st.cache.Copy(inside.dos, &contents)) {
        if (!IsFolder(inside.dos))
            return Fail(Exists(inside.dos) ? FileError::NotFolder : FileError::NotFound, "no folder " + Quoted(path));
        VaultPath probe = inside;
        probe.folder = inside.dos;
        probe.name = L"?";   // a name nothing has: the lookup fills the folder
        Kind kind;
        if (FileResult r = st.Lookup(probe, &kind); !r)
            return r;
        if (!st.cache.Copy(inside.dos, &contents))   // the agent changed meanwhile: asked again next time
            return Fail(FileError::NoAgent, "the agent changed while " + Quoted(inside.dos) + " was read");
    }
    std::vector<VaultEntry> folders, files;
    for (const std::wstring& name : contents.folders) {
        FILETIME modified = {};
        LastWrite(inside.dos + L"\\" + name, &modified);
        folders.push_back({name, true, 0, L"", modified});
    }
    for (const std::wstring& stem : contents.unreadable)
        files.push_back({L"", false, 0, stem, {}});
    for (const NameCache::Entry& e : contents.files)
        files.push_back({e.name, false, e.size, e.stem, e.modified});
    auto byName = [](const VaultEntry& a, const VaultEntry& b) {
        return CompareStringOrdinal(a.name.c_str(), (int)a.name.size(), b.name.c_str(), (int)b.name.size(),
                                    TRUE) == CSTR_LESS_THAN;
    };
    std::sort(folders.begin(), folders.end(), byName);
    std::stable_sort(files.begin(), files.end(), byName);
    pEntries->assign(folders.begin(), folders.end());
    pEntries->insert(pEntries->end(), files.begin(), files.end());
    return {};
}

FileResult VaultFiles::Stat(const std::wstring& path, VaultEntry* pEntry)
{
    State& st = *m_state;
    VaultPath where;
    if (FileResult r = Begin(*this, st, path, &where); !r)
        return r;
    Kind kind = Kind::Folder;
    NameCache::Entry entry;
    if (!where.IsVaultRoot()) {
        if (where.folder.size() > MaxFolderChars(where))   // no file can be made there
            return NoFile(where);
        Shared lock(st.names);
        if (FileResult r = st.Lookup(where, &kind, &entry); !r)
            return r;
    }
    if (kind == Kind::None)
        return NoFile(where);
    if (kind == Kind::File) {
        *pEntry = {entry.name, false, entry.size, entry.stem, entry.modified};
        return {};
    }
    FILETIME modified = {};
    if (!LastWrite(where.dos, &modified))
        return Fail(FileError::NotFound, "no folder " + Quoted(where.dos));
    *pEntry = {where.name, true, 0, L"", modified};
    return {};
}

FileResult VaultFiles::CreateFolder(const std::wstring& path)
{
    State& st = *m_state;
    VaultPath where;
    if (FileResult r = Begin(*this, st, path, &where); !r)
        return r;
    if (where.IsVaultRoot())
        return Fail(FileError::AlreadyExists, Quoted(path) + " is the vault folder");
    if (FileResult r = st.CheckFolderLength(AsFolder(where)); !r)
        return r;
    Exclusive lock(st.names);
    Kind kind;
    if (FileResult r = st.Lookup(where, &kind); !r)
        return r;
    if (kind != Kind::None)
        return Fail(FileError::AlreadyExists, Quoted(path) + (kind == Kind::File ? " is a file" : " exists"));
    if (!CreateDirectoryW(where.dos.c_str(), NULL)) {
        DWORD dwError = GetLastError();
        if (dwError == ERROR_ALREADY_EXISTS)
            return Fail(FileError::AlreadyExists, Quoted(path) + " exists");
        return DiskError("cannot create the folder", where.dos, dwError);
    }
    st.cache.PutFolder(where.folder, where.name);
    return {};
}

// Open files below a folder (deleted ones included), under names.
static std::vector<NodePtr> OpenBelow(VaultFiles::State& st, const std::wstring& folder)
{
    const std::wstring key = FoldKey(folder) + L"\\";
    std::vector<NodePtr> below;
    for (auto it = st.open.lower_bound(key); it != st.open.end() && it->first.compare(0, key.size(), key) == 0; ++it)
        below.push_back(it->second);
    for (const NodePtr& node : st.unlinked)
        if (Within(node->where.folder, folder))
            below.push_back(node);
    return below;
}

// A folder that DeleteFolder or RemoveFolder may remove, under names.
static FileResult RemovableFolder(VaultFiles::State& st, const VaultPath& where)
{
    if (where.IsVaultRoot())
        return Fail(FileError::BadPath, Quoted(where.dos) + " is the vault folder itself");
    Kind kind;
    if (FileResult r = st.Lookup(where, &kind); !r)
        return r;
    if (kind != Kind::Folder)
        return Fail(kind == Kind::File ? FileError::NotFolder : FileError::NotFound,
                    Quoted(where.dos) + (kind == Kind::File ? " is a file" : ": no such folder"));
    if (!OpenBelow(st, where.dos).empty())
        return Fail(FileError::NotEmpty, Quoted(where.dos) + " holds files that are open");
    st.AwaitRemovals();
    return {};
}

FileResult VaultFiles::DeleteFolder(const std::wstring& path)
{
    State& st = *m_state;
    VaultPath where;
    if (FileResult r = Begin(*this, st, path, &where); !r)
        return r;
    Exclusive lock(st.names);
    if (FileResult r = RemovableFolder(st, where); !r)
        return r;
    FileResult r = st.agent.DeleteFolder(where);
    st.cache.Forget(where.dos);
    if (r || !IsFolder(where.dos))
        st.cache.RemoveFolder(where.folder, where.name);
    return r;
}

FileResult VaultFiles::RemoveFolder(const std::wstring& path)
{
    State& st = *m_state;
    VaultPath where;
    if (FileResult r = Begin(*this, st, path, &where); !r)
        return r;
    Exclusive lock(st.names);
    if (FileResult r = RemovableFolder(st, where); !r)
        return r;
    if (FileResult r = RemoveEmptyFolder(where.dos); !r)
        return r;
    st.cache.Forget(where.dos);
    st.cache.RemoveFolder(where.folder, where.name);
    return {};
}

FileResult VaultFiles::Delete(const std::wstring& path)
{
    State& st = *m_state;
    VaultPath where;
    if (FileResult r = Begin(*this, st, path, &where); !r)
        return r;
    if (where.IsVaultRoot())
        return AFolder(where);
    Exclusive lock(st.names);
    Kind kind;
    NameCache::Entry entry;
    if (FileResult r = st.Lookup(where, &kind, &entry); !r)
        return r;
    if (kind != Kind::File)
        return kind == Kind::Folder ? AFolder(where) : NoFile(where);
    NodePtr node;
    if (auto it = st.open.find(FoldKey(where.dos)); it != st.open.end())
        node = it->second;
    if (node) {
        Exclusive io(node->io);
        if (FileResult r = DeletePair(where.folder, node->stem, true); !r)
            return r;
        node->deleted = true;
        st.open.erase(node->mapKey);
        st.unlinked.push_back(node);
    } else {
        // A key kept for it stays until it ages out (the bound, a logout,
        // the agent's end): no file has its data file and version again,
        // and the deletion needs no word with the agent.
        std::wstring left;
        if (FileResult r = DeletePair(where.folder, entry.stem, false, &left); !r)
            return r;
        st.RemoveSoon(std::move(left));
    }
    st.cache.Remove(where.folder, where.name);
    return {};
}

FileResult VaultFiles::Rename(const std::wstring& fromPath, const std::wstring& toPath, Existing existing)
{
    State& st = *m_state;
    VaultPath from, to;
    if (FileResult r = Begin(*this, st, fromPath, &from); !r)
        return r;
    if (FileResult r = Resolve(toPath, &to); !r)
        return r;
    if (!SameText(from.vault, to.vault))
        return Fail(FileError::BadPath, "a move from one vault to another is not supported");
    if (from.IsVaultRoot() || to.IsVaultRoot())
        return Fail(FileError::BadPath, "the vault folder itself cannot be renamed or replaced");
    Exclusive lock(st.names);
    Kind source, target;
    NameCache::Entry sourceEntry, targetEntry;
    if (FileResult r = st.Lookup(from, &source, &sourceEntry); !r)
        return r;
    if (source == Kind::None)
        return NoFile(from);
    if (FileResult r = st.Lookup(to, &target, &targetEntry); !r)
        return r;
    if (existing == Existing::IntoFolder && target == Kind::Folder && !SameText(from.dos, to.dos)) {
        if (FileResult r = Resolve(to.dos + L"\\" + from.name, &to); !r)   // into that folder, under its own name
            return r;
        if (FileResult r = st.Lookup(to, &target, &targetEntry); !r)
            return r;
    }
    if (FoldKey(from.dos) == FoldKey(to.dos))   // only the letters' case changes: nothing is replaced
        target = Kind::None;
    if (target != Kind::None && existing != Existing::Replace)
        return Fail(FileError::AlreadyExists, Quoted(to.dos) + " exists");
    if (source == Kind::Folder)
        return st.RenameFolder(from, to, target);
    return st.RenameFile(from, to, sourceEntry, target, targetEntry);
}

FileResult VaultFiles::State::RenameFolder(const VaultPath& from, const VaultPath& to, Kind target)
{
    if (Within(to.dos, from.dos) && !SameText(to.dos, from.dos))
        return Fail(FileError::BadPath, "a folder cannot move into itself");
    if (target == Kind::File)
        return Fail(FileError::NotFolder, Quoted(to.dos) + " is a file");
    AwaitRemovals();
    // Every folder it holds must stay within reach at its new place.
    size_t deepest = 0;
    std::vector<std::wstring> pending = {L""};
    while (!pending.empty()) {
        const std::wstring rel = pending.back();
        pending.pop_back();
        deepest = std::max(deepest, rel.size());
        WIN32_FIND_DATAW fd;
        HANDLE hFind = FindFirstFileExW((from.dos + rel + L"\\*").c_str(), FindExInfoBasic, &fd,
                                        FindExSearchNameMatch, NULL, 0);
        if (hFind == INVALID_HANDLE_VALUE)
            continue;
        do {
            const std::wstring name = fd.cFileName;
            if ((fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && name != L"." && name != L"..")
                pending.push_back(rel + L"\\" + name);
        } while (FindNextFileW(hFind, &fd));
        FindClose(hFind);
    }
    if (to.dos.size() + deepest > MaxFolderChars(to))
        return Fail(FileError::NameTooLong, "the folder " + Quoted(from.dos) + " holds folders whose paths at " +
                                                Quoted(to.dos) + Format(" would pass %u characters",
                                                                        (unsigned)MaxFolderChars(to)));
    if (target == Kind::Folder) {   // replaced, when empty
        if (FileResult r = RemoveEmptyFolder(to.dos); !r)
            return r;
        cache.Forget(to.dos);
    }
    std::vector<NodePtr> moving = OpenBelow(*this, from.dos);
    std::vector<std::unique_ptr<Exclusive>> ios;
    for (const NodePtr& node : moving)
        ios.push_back(std::make_unique<Exclusive>(node->io));
    if (FileResult r = MoveStored(from.dos, to.dos); !r)
        return r;
    cache.Forget(from.dos);
    cache.RemoveFolder(from.folder, from.name);
    cache.PutFolder(to.folder, to.name);
    {
        // The folders moved were cleared already, and hold the driver's own
        // files of open handles now.
        std::lock_guard<std::mutex> lock(stateMu);
        const std::wstring fromKey = FoldKey(from.dos), toKey = FoldKey(to.dos);
        std::vector<std::wstring> moved;
        for (const std::wstring& key : cleaned)
            if (Within(key, fromKey))
                moved.push_back(toKey + key.substr(fromKey.size()));
        cleaned.insert(moved.begin(), moved.end());
    }
    for (const NodePtr& node : moving) {
        VaultPath moved;
        if (!ResolvePath(sim.Vaults(), to.dos + node->where.dos.substr(from.dos.size()), &moved, drives,
                         sim.Generation()))
            continue;
        node->where = moved;
        if (node->deleted)
            continue;
        open.erase(node->mapKey);
        node->mapKey = FoldKey(moved.dos);
        open[node->mapKey] = node;
    }
    return {};
}

FileResult VaultFiles::State::RenameFile(const VaultPath& from, const VaultPath& to, const NameCache::Entry& source,
                                         Kind target, const NameCache::Entry& targetEntry)
{
    if (target == Kind::Folder)
        return AFolder(to);
    const bool bSameFolder = SameText(from.folder, to.folder);
    VaultPath toFolder = to;
    toFolder.dos = to.folder;
    if (FileResult r = CheckFolderLength(AsFolder(toFolder)); !r)
        return r;
    const bool bReplacing = target == Kind::File;
    NodePtr moving, replaced;
    if (auto it = open.find(FoldKey(from.dos)); it != open.end())
        moving = it->second;
    if (auto it = bReplacing ? open.find(FoldKey(to.dos)) : open.end(); it != open.end())
        replaced = it->second;
    std::unique_ptr<Exclusive> movingIo, replacedIo;
    if (moving)
        movingIo = std::make_unique<Exclusive>(moving->io);
    if (replaced)
        replacedIo = std::make_unique<Exclusive>(replaced->io);

    // Within one folder and replacing nothing, only the meta text changes:
    // its replacement is the whole rename, and needs no record.
    const bool bInPlace = bSameFolder && !bReplacing;
    std::string meta;
    KeptKey closed;
    const bool bKept = !moving && bInPlace && TakeKept(from.folder + L"\\" + source.stem + L".tmp", source.version, &closed);
    if (moving) {
        if (FileResult r = Settle(*this, *moving); !r)   // the moved text carries its size
            return r;
        meta = moving->meta;
    } else if (bKept) {
        meta = closed.meta;
    } else if (FileResult r = ReadMeta(from.folder + L"\\" + source.stem, &meta); !r) {
        return r;
    }
    RenamePlan plan;
    plan.fromFolder = Relative(from.vault, from.folder);
    plan.fromStem = source.stem;
    plan.toFolder = Relative(to.vault, to.folder);
    plan.toStem = source.stem;
    if (!bSameFolder && (Exists(to.folder + L"\\" + plan.toStem) || Exists(to.folder + L"\\" + plan.toStem + L".tmp")))
        plan.toStem = NewStem(to.folder);
    if (bReplacing) {
        plan.replacedStem = targetEntry.stem;
        plan.replacedOpen = replaced != nullptr;
    }
    if (FileResult r = agent.MetaForName(from, to, meta, &plan.meta); !r) {
        if (bKept)
            Hold(std::move(closed));
        return r;
    }
    // A file with nothing durable (see RecordSize) takes a text no shorter
    // in place.
    const bool bDurable = moving ? moving->durable : !bKept || closed.durable;
    const std::wstring metaPath = from.folder + L"\\" + source.stem;
    FileResult done = !bInPlace                                           ? CarryOutRename(from.vault, plan)
                      : !bDurable && plan.meta.size() >= meta.size() ? OverwriteMeta(metaPath, plan.meta)
                                                                         : PlaceMeta(metaPath, plan.meta, false);
    if (bKept) {   // the data file stays: its key goes on with the text now on disk
        if (done)
            closed.meta = plan.meta;
        Hold(std::move(closed));
    }
    if (FileResult r = done; !r) {
        recovered.erase(FoldKey(from.vault));   // a record may be left: finish it before the next operation
        cache.Forget(from.folder);
        cache.Forget(to.folder);
        return r;
    }

    if (bReplacing && !replaced)
        ForgetKept(to.folder + L"\\" + targetEntry.stem + L".tmp");
    if (!moving && !bKept)
        ForgetKept(from.folder + L"\\" + source.stem + L".tmp");
    if (replaced) {
        replaced->deleted = true;
        open.erase(replaced->mapKey);
        unlinked.push_back(replaced);
    }
    if (moving) {
        open.erase(moving->mapKey);
        moving->where = to;
        moving->stem = plan.toStem;
        moving->name = to.name;
        moving->meta = plan.meta;
        moving->mapKey = FoldKey(to.dos);
        open[moving->mapKey] = moving;
    }
    cache.Remove(from.folder, from.name);
    cache.Put(to.folder, {to.name, plan.toStem, moving ? moving->size : source.size, source.modified,
                          moving ? moving->version : source.version});
    return {};
}

FileResult VaultFiles::SetTime(const std::wstring& path, const FILETIME& modified, VaultEntry* pEntry)
{
    State& st = *m_state;
    VaultPath where;
    if (FileResult r = Begin(*this, st, path, &where); !r)
        return r;
    Exclusive lock(st.names);
    Kind kind = Kind::Folder;
    NameCache::Entry entry;
    if (!where.IsVaultRoot()) {
        if (FileResult r = st.Lookup(where, &kind, &entry); !r)
            return r;
    }
    if (kind == Kind::None)
        return NoFile(where);
    if (FileResult r = SetStoredTime(kind == Kind::File ? where.folder + L"\\" + entry.stem + L".tmp" : where.dos,
                                     modified);
        !r)
        return r;
    if (kind == Kind::File) {
        st.cache.Resize(where.folder, entry.name, entry.size, modified, entry.version);
        *pEntry = {entry.name, false, entry.size, entry.stem, modified};
    } else {
        *pEntry = {where.name, true, 0, L"", modified};
    }
    return {};
}

FileResult VaultFiles::SyncFolder(const std::wstring& path)
{
    State& st = *m_state;
    VaultPath where;
    if (FileResult r = Begin(*this, st, path, &where); !r)
        return r;
    if (!IsFolder(where.dos))
        return Fail(FileError::NotFolder, Quoted(path) + " is not a folder");
    return FlushStored(where.dos);
}

// ---------------------------------------------------------------------------
// An open file.

VaultFiles::File::File(VaultFiles& owner, std::shared_ptr<Node> node) : m_owner(owner), m_node(std::move(node)) {}

VaultFiles::File::~File() { Close(); }

// What a handle reads of its file, under the file's io lock.
template <typename Get>
static auto Peek(const std::shared_ptr<VaultFiles::File::Node>& node, Get get)
{
    Shared io(node->io);
    return get(*node);
}

std::wstring VaultFiles::File::Name() const { return Peek(m_node, [](const Node& n) { return n.name; }); }
VaultPath VaultFiles::File::Where() const { return Peek(m_node, [](const Node& n) { return n.where; }); }
uint64_t VaultFiles::File::Size() const { return Peek(m_node, [](const Node& n) { return n.size; }); }
ULONG VaultFiles::File::KeyHandle() const { return Peek(m_node, [](const Node& n) { return n.key.key; }); }
ULONG VaultFiles::File::CipherBlockSize() const { return Peek(m_node, [](const Node& n) { return n.key.block; }); }
std::wstring VaultFiles::File::Stem() const { return Peek(m_node, [](const Node& n) { return n.stem; }); }
std::wstring VaultFiles::File::MetaPath() const { return Peek(m_node, [](const Node& n) { return n.MetaPath(); }); }
std::wstring VaultFiles::File::DataPath() const { return Peek(m_node, [](const Node& n) { return n.DataPath(); }); }
uint64_t VaultFiles::File::Version() const { return Peek(m_node, [](const Node& n) { return n.version; }); }
bool VaultFiles::File::Deleted() const { return Peek(m_node, [](const Node& n) { return n.deleted; }); }

FILETIME VaultFiles::File::Modified() const
{
    FILETIME modified = {};
    LastWrite(DataPath(), &modified);
    return modified;
}

FileResult VaultFiles::File::Close()
{
    if (!m_open)   // closed already (a front-end's close, then the destructor's)
        return {};
    FileResult r = Flush();
    if (!m_open.exchange(false))
        return {};
    State& st = *m_owner.m_state;
    Exclusive lock(st.names);
    if (--m_node->refs == 0)
        st.Release(m_node);
    return r;
}

namespace {

FileResult Closed(const VaultPath& where)
{
    return Fail(FileError::BadPath, "the file " + Quoted(where.dos) + " is closed");
}

// Under the node's io lock (exclusive): a key of the agent serving now. The
// agent that handed the key out may have gone; the new one is asked again,
// as at the open, and the file goes on under the key it gives.
FileResult CurrentKey(VaultFiles::State& st, VaultFiles::File::Node& node)
{
    if (node.key.agent == st.sim.AgentId() && node.key.key != 0)
        return {};
    StoredDetails details;
    FileResult r = st.agent.Details(node.where, node.meta, &details);
    if (!r) {
        st.agent.ReleaseKey(details.key);
        return Fail(FileError::NoAgent, "the agent that gave the key of " + Quoted(node.where.dos) +
                                            " has gone, and no agent gives it again: " + r.text);
    }
    node.key = details.key;
    return {};
}

// Decrypts the stored blocks of bytes in place; blocks that are holes (all
// zero on disk) read as zeros without the agent.
FileResult Decrypt(VaultFiles::State& st, const FileKey& key, std::vector<uint8_t>& bytes)
{
    const size_t block = key.block, blocks = bytes.size() / block;
    std::vector<size_t> stored;
    stored.reserve(blocks);
    for (size_t i = 0; i < blocks; i++)
        if (!AllZero(bytes.data() + i * block, block))
            stored.push_back(i);
    if (stored.empty())
        return {};
    if (stored.size() == blocks)
        return st.agent.Transform(key, GetNormalBuffer, bytes);
    std::vector<uint8_t> packed(stored.size() * block);
    for (size_t k = 0; k < stored.size(); k++)
        memcpy(packed.data() + k * block, bytes.data() + stored[k] * block, block);
    if (FileResult r = st.agent.Transform(key, GetNormalBuffer, packed); !r)
        return r;
    std::fill(bytes.begin(), bytes.end(), 0);
    for (size_t k = 0; k < stored.size(); k++)
        memcpy(bytes.data() + stored[k] * block, packed.data() + k * block, block);
    return {};
}

FileResult ShortData(const std::wstring& path)
{
    return Fail(FileError::Corrupt, "the data file " + Quoted(path) + " is shorter than its size");
}

}  // namespace

// Under io (exclusive): the new size in the meta text. Growth is recorded
// when the file settles (a flush, a close, an fsync, a rename), not at every
// write: until then a crash of the driver itself loses what grew since, as
// a crash of a system loses what it had not written back; the content
// below the recorded size is never at risk.
static FileResult PlaceSize(VaultFiles::File::Node& node, uint64_t size, std::string meta,
                            const Handle* pMeta = nullptr)
{
    // The text of a durable file is flushed before it replaces the old one:
    // a crash must leave one whole text, and the old one named content that
    // was there before. A file made by this open and not synced since has
    // nothing a power cut must keep: its text goes over the old one in one
    // write when no shorter (always, but after a truncation: a new file's
    // text starts at size 0), which needs no new name in the folder.
    FileResult placed = node.durable || meta.size() < node.meta.size() ? PlaceMeta(node.MetaPath(), meta, node.durable)
                        : pMeta != nullptr && pMeta->ok()              ? OverwriteMeta(*pMeta, node.MetaPath(), meta)
                                                                       : OverwriteMeta(node.MetaPath(), meta);
    if (FileResult r = placed; !r)
        return r;
    node.meta = std::move(meta);
    node.size = node.recorded = size;
    return {};
}

static FileResult RecordSize(VaultFiles::State& st, VaultFiles::File::Node& node, uint64_t size)
{
    std::string meta;
    if (FileResult r = st.agent.MetaForSize(node.where, node.name, node.meta, size, &meta); !r)
        return r;
    return PlaceSize(node, size, std::move(meta));
}

// Under io (exclusive): growth since the last record, recorded.
static FileResult Settle(VaultFiles::State& st, VaultFiles::File::Node& node)
{
    return node.size == node.recorded ? FileResult{} : RecordSize(st, node, node.size);
}

// Under io (exclusive): a change of the content (its new version made
// before it began: a change that fails half-way has changed it too), with
// its size and time in the cache.
static void Noted(VaultFiles::State& st, VaultFiles::File::Node& node, const FILETIME& modified)
{
    if (!node.deleted)
        st.cache.Resize(node.where.folder, node.name, node.size, modified, node.version);
}

static void Noted(VaultFiles::State& st, VaultFiles::File::Node& node)
{
    if (node.deleted)
        return;
    FILETIME modified = Now();
    LastWrite(node.DataPath(), &modified);
    Noted(st, node, modified);
}

// Under io (exclusive): the data file's time set through its path.
static FileResult Touch(VaultFiles::State& st, VaultFiles::File::Node& node, const FILETIME& modified)
{
    if (FileResult r = SetStoredTime(node.DataPath(), modified); !r)
        return r;
    Noted(st, node, modified);
    return {};
}

// Under io (exclusive): what a write does afterwards, when the write itself
// had nothing to do it with.
static FileResult Afterwards(VaultFiles::State& st, VaultFiles::File::Node& node, const VaultFiles::File::Then& then)
{
    if (then.bRecord)
        if (FileResult r = Settle(st, node); !r)
            return r;
    return then.pTouch != nullptr ? Touch(st, node, *then.pTouch) : FileResult{};
}

// Under io (exclusive), around a change: whether the caller had seen the
// content as it was before it, and so the version the change leaves.
class Seen {
public:
    Seen(VaultFiles::File::Node& node, uint64_t* pSeen)
        : m_node(node), m_pSeen(pSeen), m_bMine(pSeen != nullptr && *pSeen == node.version)
    {
    }
    ~Seen()
    {
        if (m_pSeen != nullptr)
            *m_pSeen = m_bMine ? m_node.version : 0;
    }
    Seen(const Seen&) = delete;
    Seen& operator=(const Seen&) = delete;

private:
    VaultFiles::File::Node& m_node;
    uint64_t*               m_pSeen;
    bool                    m_bMine;
};

// The node's key, renewed first when the agent that gave it has gone.
static FileResult Keyed(VaultFiles::State& st, VaultFiles::File::Node& node)
{
    {
        Shared io(node.io);
        if (node.key.agent == st.sim.AgentId() && node.key.key != 0)
            return {};
    }
    Exclusive io(node.io);
    return CurrentKey(st, node);
}

FileResult VaultFiles::File::Write(uint64_t offset, const void* pData, size_t cb, uint64_t* pSeen,
                                    const Arrival& arrive, Then* pThen)
{
    State& st = *m_owner.m_state;
    Node& node = *m_node;
    Exclusive io(node.io);
    if (!m_open)
        return Closed(node.where);
    const uint64_t block = node.key.block, end = offset + cb;
    if (end < offset || end > (uint64_t)INT64_MAX - block)
        return Fail(FileError::BadPath, "a write beyond the largest file size");
    Seen seen(node, pSeen);
    if (cb == 0) {
        if (pThen != nullptr)
            pThen->result = Afterwards(st, node, *pThen);
        return {};
    }
    if (FileResult r = CurrentKey(st, node); !r)
        return r;
    const std::wstring dataPath = node.DataPath();
    const uint64_t size = node.size, stored = RoundUp(size, block);
    const uint64_t first = offset / block * block, last = RoundUp(end, block);

    // Edge blocks keep the plain bytes the write does not cover, below the
    // old size; plain bytes at or beyond it are zero. When the write starts
    // beyond the end, the old last block is written again with zeros after
    // the old size, and the gap between stays a hole.
    std::vector<uint64_t> edgeAt;
    if (first < offset && first < size)
        edgeAt.push_back(first);
    if (end < last && last - block < size && (edgeAt.empty() || last - block != first))
        edgeAt.push_back(last - block);
    const bool bTail = size % block != 0 && stored <= first;   // the old last block lies before the write
    if (bTail)
        edgeAt.insert(edgeAt.begin(), stored - block);

    std::optional<Handle> h;
    LARGE_INTEGER length;
    // Blocks beyond the stored size (left by a write that failed or was cut
    // short) would read as content: they go before the file grows.
    auto prepare = [&]() -> FileResult {
        h.emplace(dataPath, GENERIC_READ | GENERIC_WRITE, OPEN_EXISTING);
        if (!h->ok())
            return DiskError("cannot open the data file", dataPath, h->error());
        node.version = st.NewVersion();
        if (!GetFileSizeEx(h->get(), &length))
            return DiskError("cannot read the length of", dataPath);
        if (last > stored && (uint64_t)length.QuadPart > stored) {
            LARGE_INTEGER cut;
            cut.QuadPart = (LONGLONG)stored;
            if (!SetFilePointerEx(h->get(), cut, NULL, FILE_BEGIN) || !SetEndOfFile(h->get()))
                return DiskError("cannot shorten", dataPath);
        } else if ((uint64_t)length.QuadPart < std::min(stored, last)) {
            return ShortData(dataPath);
        }
        return {};
    };

    std::vector<uint8_t> edges(edgeAt.size() * block);
    if (!edgeAt.empty()) {
        if (FileResult r = prepare(); !r)
            return r;
        for (size_t k = 0; k < edgeAt.size(); k++) {
            if (!ReadAt(h->get(), edgeAt[k], edges.data() + k * block, block))
                return GetLastError() == ERROR_HANDLE_EOF ? ShortData(dataPath) : DiskError("cannot read", dataPath);
        }
        if (FileResult r = Decrypt(st, node.key, edges); !r)
            return r;
        for (size_t k = 0; k < edgeAt.size(); k++)   // nothing of the old content beyond its size
            if (edgeAt[k] + block > size)
                memset(edges.data() + k * block + (size - std::min(size, edgeAt[k])), 0,
                       block - (size - std::min(size, edgeAt[k])));
    }
    if (bTail) {
        std::vector<uint8_t> tail(edges.begin(), edges.begin() + block);
        if (FileResult r = st.agent.Transform(node.key, EncryptBlock, tail); !r)
            return r;
        if (!WriteAt(h->get(), stored - block, tail.data(), block))
            return DiskError("cannot write", dataPath);
    }

    // Each request is made from the edges and the caller's bytes, and the
    // answers go to disk in runs as they come. A write with no edges opens
    // the data file while its first requests are out.
    const uint8_t* data = static_cast<const uint8_t*>(pData);
    AgentRequests::BlockJob job;
    job.requests = (size_t)((last - first + kChunk - 1) / kChunk);
    job.fill = [&](size_t i, uint8_t* p, size_t* pcb) {
        const uint64_t at = first + i * kChunk;
        *pcb = (size_t)std::min<uint64_t>(kChunk, last - at);
        memset(p, 0, *pcb);
        for (size_t k = bTail ? 1 : 0; k < edgeAt.size(); k++) {
            const uint64_t lo = std::max(at, edgeAt[k]), hi = std::min(at + *pcb, edgeAt[k] + block);
            if (lo < hi)
                memcpy(p + (lo - at), edges.data() + k * block + (lo - edgeAt[k]), hi - lo);
        }
        const uint64_t lo = std::max(at, offset), hi = std::min(at + *pcb, end);
        if (lo >= hi)
            return FileResult{};
        if (arrive)
            if (FileResult r = arrive((size_t)(hi - offset)); !r)
                return r;
        memcpy(p + (lo - at), data + (lo - offset), hi - lo);
        return FileResult{};
    };
    std::vector<uint8_t> cipher(last - first);
    std::vector<bool> taken(job.requests);
    size_t written = 0;   // requests whose answers are on disk, from the first
    bool bWritten = false;
    job.take = [&](size_t i, const uint8_t* p, size_t cb) {
        memcpy(cipher.data() + i * kChunk, p, cb);
        taken[i] = true;
        size_t ready = written;
        while (ready < job.requests && taken[ready])
            ready++;
        if ((ready - written) * kChunk < kDiskRun && ready < job.requests)
            return FileResult{};
        const size_t from = written * kChunk, to = std::min<size_t>(ready * kChunk, cipher.size());
        written = ready;
        bWritten = true;
        return WriteAt(h->get(), first + from, cipher.data() + from, to - from) ? FileResult{}
                                                                               : DiskError("cannot write", dataPath);
    };
    AgentRequests::SizeText sizeText;
    const bool bRecord = pThen != nullptr && pThen->bRecord && std::max(size, end) != node.recorded;
    // The meta file a record writes over, opened while the agent works.
    std::optional<Handle> metaFile;
    job.meanwhile = [&] {
        FileResult r = edgeAt.empty() ? prepare() : FileResult{};
        if (r && bRecord && !node.durable)
            metaFile.emplace(node.MetaPath(), GENERIC_WRITE, OPEN_EXISTING);
        return r;
    };
    if (bRecord) {
        sizeText.where = node.where;
        sizeText.name = node.name;
        sizeText.pMeta = &node.meta;
        sizeText.size = std::max(size, end);
        job.pSize = &sizeText;
    }
    if (FileResult r = st.agent.Transform(node.key, EncryptBlock, job); !r) {
        if (bWritten && last > stored) {   // nothing of a growth that failed stays
            LARGE_INTEGER cut;
            cut.QuadPart = (LONGLONG)std::max<uint64_t>(stored, (uint64_t)length.QuadPart);
            cut.QuadPart = (LONGLONG)std::min<uint64_t>(cut.QuadPart, std::max<uint64_t>(stored, first));
            if (SetFilePointerEx(h->get(), cut, NULL, FILE_BEGIN))
                SetEndOfFile(h->get());
        }
        return r;
    }
    node.size = std::max(size, end);
    if (pThen == nullptr) {
        Noted(st, node);
        return {};
    }
    if (pThen->pTouch == nullptr) {
        Noted(st, node);
    } else if (SetFileTime(h->get(), NULL, pThen->pTouch, pThen->pTouch)) {   // no second open for the time
        Noted(st, node, *pThen->pTouch);
    } else {
        pThen->result = DiskError("cannot set the time of", dataPath);
        return {};
    }
    if (bRecord)
        pThen->result = sizeText.result ? PlaceSize(node, node.size, std::move(sizeText.text),
                                                    metaFile ? &*metaFile : nullptr)
                                        : sizeText.result;
    else if (pThen->bRecord)
        pThen->result = Settle(st, node);
    return {};
}

FileResult VaultFiles::File::Read(uint64_t offset, void* pData, size_t cb, size_t* pcbRead)
{
    State& st = *m_owner.m_state;
    Node& node = *m_node;
    *pcbRead = 0;
    if (!m_open)
        return Closed(Where());
    if (cb == 0 || offset >= Size())
        return {};
    if (FileResult r = Keyed(st, node); !r)
        return r;
    Shared io(node.io);
    const uint64_t block = node.key.block, end = std::min<uint64_t>(node.size, offset + cb);
    if (offset >= end)
        return {};
    const uint64_t first = offset / block * block, last = RoundUp(end, block);
    const std::wstring dataPath = node.DataPath();
    Handle h(dataPath, GENERIC_READ, OPEN_EXISTING);
    if (!h.ok())
        return DiskError("cannot open the data file", dataPath, h.error());
    // The requests are made from runs read from disk as they are needed, and
    // each answer copied out as it comes. Blocks that are holes (all zero on
    // disk) read as zeros without the agent; a request with some holes
    // carries only the stored blocks, packed, and `packed` keeps where they go.
    uint8_t* out = static_cast<uint8_t*>(pData);
    auto place = [&](uint64_t at, const uint8_t* p, size_t cb) {
        const uint64_t lo = std::max(at, offset), hi = std::min(at + cb, end);
        if (lo < hi)
            memcpy(out + (lo - offset), p + (lo - at), hi - lo);
    };
    std::map<size_t, std::vector<size_t>> packed;
    std::vector<uint8_t> run;
    uint64_t runAt = first;
    AgentRequests::BlockJob job;
    job.requests = (size_t)((last - first + kChunk - 1) / kChunk);
    job.fill = [&](size_t i, uint8_t* p, size_t* pcb) {
        const uint64_t at = first + i * kChunk;
        const size_t cb = (size_t)std::min<uint64_t>(kChunk, last - at), blocks = cb / block;
        if (at + cb > runAt + run.size()) {   // requests are made in order
            runAt = at;
            run.resize((size_t)std::min<uint64_t>(kDiskRun, last - at));
            if (!ReadAt(h.get(), runAt, run.data(), run.size()))
                return GetLastError() == ERROR_HANDLE_EOF ? ShortData(dataPath) : DiskError("cannot read", dataPath);
        }
        memcpy(p, run.data() + (at - runAt), cb);
        std::vector<size_t> stored;
        for (size_t k = 0; k < blocks; k++)
            if (!AllZero(p + k * block, block))
                stored.push_back(k);
        *pcb = stored.size() * block;
        if (stored.size() < blocks) {
            for (size_t k = 0; k < stored.size(); k++)
                memmove(p + k * block, p + stored[k] * block, block);
            std::vector<uint8_t> zeros(cb);
            place(at, zeros.data(), cb);
            packed[i] = std::move(stored);
        }
        return FileResult{};
    };
    job.take = [&](size_t i, const uint8_t* p, size_t cb) {
        const uint64_t at = first + i * kChunk;
        auto holes = packed.find(i);
        if (holes == packed.end()) {
            place(at, p, cb);
            return FileResult{};
        }
        for (size_t k = 0; k < holes->second.size(); k++)
            place(at + holes->second[k] * block, p + k * block, block);
        packed.erase(holes);
        return FileResult{};
    };
    if (FileResult r = st.agent.Transform(node.key, GetNormalBuffer, job); !r) {
        r.text += " in " + Quoted(dataPath);
        return r;
    }
    *pcbRead = (size_t)(end - offset);
    return {};
}

FileResult VaultFiles::File::Resize(uint64_t size, uint64_t* pSeen)
{
    State& st = *m_owner.m_state;
    Node& node = *m_node;
    if (!m_open)
        return Closed(Where());
    if (FileResult r = Keyed(st, node); !r)
        return r;
    Exclusive io(node.io);
    const uint64_t block = node.key.block, old = node.size, stored = RoundUp(old, block);
    Seen seen(node, pSeen);
    if (size == old)
        return {};
    const std::wstring dataPath = node.DataPath();
    Handle h(dataPath, GENERIC_READ | GENERIC_WRITE, OPEN_EXISTING);
    if (!h.ok())
        return DiskError("cannot open the data file", dataPath, h.error());
    node.version = st.NewVersion();
    auto setEnd = [&](uint64_t at) {
        LARGE_INTEGER li;
        li.QuadPart = (LONGLONG)at;
        return SetFilePointerEx(h.get(), li, NULL, FILE_BEGIN) && SetEndOfFile(h.get());
    };
    if (size < old) {
        // The meta text first, so that a crash leaves a data file longer than
        // its size (harmless), never shorter.
        if (FileResult r = RecordSize(st, node, size); !r)
            return r;
        if (!setEnd(RoundUp(size, block)))
            return DiskError("cannot shorten", dataPath);
        Noted(st, node);
        return {};
    }
    // Longer: the old last block again with zeros after the old size, blocks
    // a failed write left beyond it cut, and the rest a hole.
    LARGE_INTEGER length;
    if (!GetFileSizeEx(h.get(), &length))
        return DiskError("cannot read the length of", dataPath);
    if ((uint64_t)length.QuadPart < stored)
        return ShortData(dataPath);
    if (old % block != 0) {
        std::vector<uint8_t> tail(block);
        if (!ReadAt(h.get(), stored - block, tail.data(), block))
            return DiskError("cannot read", dataPath);
        if (FileResult r = Decrypt(st, node.key, tail); !r)
            return r;
        memset(tail.data() + old % block, 0, block - old % block);
        if (FileResult r = st.agent.Transform(node.key, EncryptBlock, tail); !r)
            return r;
        if (!WriteAt(h.get(), stored - block, tail.data(), block))
            return DiskError("cannot write", dataPath);
    }
    if (((uint64_t)length.QuadPart > stored && !setEnd(stored)) || !setEnd(RoundUp(size, block)))
        return DiskError("cannot lengthen", dataPath);
    node.size = size;
    Noted(st, node);
    return {};
}

FileResult VaultFiles::File::SetTime(const FILETIME& modified)
{
    State& st = *m_owner.m_state;
    Node& node = *m_node;
    Exclusive io(node.io);
    if (!m_open)
        return Closed(node.where);
    return Touch(st, node, modified);
}

FileResult VaultFiles::File::Flush()
{
    Exclusive io(m_node->io);
    if (!m_open)
        return Closed(m_node->where);
    return Settle(*m_owner.m_state, *m_node);
}

FileResult VaultFiles::File::Sync(bool bDataOnly)
{
    Exclusive io(m_node->io);
    if (!m_open)
        return Closed(m_node->where);
    // The size belongs to what reads the data back: fdatasync records it too.
    if (FileResult r = Settle(*m_owner.m_state, *m_node); !r)
        return r;
    if (FileResult r = FlushStored(m_node->DataPath()); !r)
        return r;
    if (FileResult r = FlushStored(m_node->MetaPath()); !r)
        return r;
    m_node->durable = true;
    return bDataOnly ? FileResult{} : FlushStored(m_node->where.folder);   // a file made since: its names too
}

}  // namespace driversim
