// vaultfs: a vault of the agent mounted as a Linux file system. Every
// operation goes to the serving driver simulator (vaultfilter --serve, in
// the Wine prefix), which plays the driver's part for it through the port:
// the agent sees the same requests it sees from the Vault Filter.
//
// What a vault cannot hold: links and extended attributes are refused; modes
// and owners of their own are taken without effect, as mounts of other file
// systems without Unix modes take them (with -o strict they are refused).
#define FUSE_USE_VERSION 31

#include <fuse.h>

#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "MountClient.h"

namespace {

const char kUsage[] =
    "usage: vaultfs MOUNTPOINT --vault VAULT [--endpoint FILE] [-o strict] [FUSE options]\n"
    "\n"
    "Mounts a vault that the agent has logged in. VAULT is the vault's drive\n"
    "letter (V:) or its folder (C:\\Vaults\\Work). Every operation is carried out\n"
    "by the serving driver simulator (vaultfilter --serve) of a Wine prefix,\n"
    "which asks the agent as the Vault Filter does; it is found through the\n"
    "endpoint file it writes, by default $WINEPREFIX/vaultfs.endpoint (or\n"
    "~/.wine/vaultfs.endpoint).\n"
    "\n"
    "FUSE options: -f (stay in the foreground), -d (debug output), -s (one\n"
    "thread), -o OPTION[,...]. Unmount with: fusermount3 -u MOUNTPOINT\n"
    "\n"
    "Files are 0644 and folders 0755, owned by the user who mounts. chmod,\n"
    "chown to that user or to root, and access times are taken without effect\n"
    "(-o strict refuses chmod and chown to anything else with EPERM); links,\n"
    "symbolic links and extended attributes are refused (EPERM, EOPNOTSUPP).\n"
    "A change made through another mount or the vaultfilter commands shows\n"
    "within a second, and so do this mount's writes there (at close(2) at the\n"
    "latest; a write that fails on the way is told there). A logged-out vault\n"
    "refuses new opens (EACCES); files open before stay readable until closed.\n"
    "Without the agent every operation fails with EIO. fsync and fdatasync\n"
    "reach the disk.\n"
    "\n"
    "The endpoint file must belong to the user who mounts and be readable by\n"
    "no one else.\n"
    "\n"
    "Exit codes: 0 unmounted, 1 could not mount, 2 bad arguments.\n";

const mode_t kFileMode = 0644, kFolderMode = 0755;
// How long the kernel keeps names, attributes and absences: what another
// session changes shows within this time.
const double kCacheSeconds = 1.0;

vaultfs::MountClient* g_client = nullptr;
bool g_strict = false;   // -o strict: refuse what the vault cannot keep

// Handles that wrote since what they wrote was last recorded, with the
// count of their last write.
std::mutex g_dirtyMu;
std::map<uint64_t, uint64_t> g_dirty;
uint64_t g_writes = 0;

uint64_t Dirtied(uint64_t handle)
{
    std::lock_guard<std::mutex> lock(g_dirtyMu);
    return g_dirty[handle] = ++g_writes;
}

// Recorded up to the write counted `write`: clean unless more came after.
void Recorded(uint64_t handle, uint64_t write)
{
    std::lock_guard<std::mutex> lock(g_dirtyMu);
    auto it = g_dirty.find(handle);
    if (it != g_dirty.end() && it->second == write)
        g_dirty.erase(it);
}


// The content version each file had when this mount last closed it, after
// changes by this mount alone: opened again at that version, the file keeps
// the pages the kernel holds (reading what one just wrote costs nothing).
// Any change from elsewhere makes a new version, and the pages are dropped.
std::mutex g_seenMu;
std::map<std::string, uint64_t> g_seen;

void Remember(const char* path, uint64_t version)
{
    if (path == nullptr)
        return;
    std::lock_guard<std::mutex> lock(g_seenMu);
    if (version == 0)
        g_seen.erase(path);
    else if (g_seen.size() < 100000)
        g_seen[path] = version;
}

// What this mount last heard of an open file's attributes (the replies to
// MOUNT_STAT, MOUNT_OPEN, MOUNT_WRITE, MOUNT_RESIZE and MOUNT_TOUCH by
// handle carry them), by its path. The FUSE library asks them again after
// every create, chmod, chown, utimens and truncate, the moment it has the
// answer: asked within kKnownFor, they need no round trip. Every change
// made through this mount forgets the others' (another handle of the same
// file may have grown it); a change made elsewhere shows after kKnownFor at
// most, well inside the kernel's own attribute time-out. A name found
// missing is kept so too (MOUNT_KIND_NONE): the kernel looks a name up again
// before it makes it, whatever it knew.
struct Known {
    uint32_t                              kind;
    uint64_t                              size, mtimeNs;
    std::chrono::steady_clock::time_point at;
};
const auto kKnownFor = std::chrono::milliseconds(200);
std::mutex g_knownMu;
std::map<std::string, Known> g_known;
uint64_t g_changes = 0;   // changes begun or ended through this mount

// The names of folders this mount listed or made within kCacheSeconds,
// folded as the driver compares them (ASCII letters without case), and a
// file's attributes as its listing gave them: a lookup of a name that is
// not among them is answered "no such file" without a round trip, as the
// kernel answers a name it found missing in that time (tar, cp and git
// look up every name before they make it), and one of a listed file with
// its attributes (ls -l, rm -r and git look up every name they listed).
// Changes through this mount keep the names exact, and make the changed
// file's attributes unknown when they begin and when they end, and those
// of the folder that holds it (its time moves with what it holds); one that
// fails, or a listing answered after another change began, leaves no
// names behind. Until a name is added, the listing itself answers the next
// one of the folder (rm -r lists each folder twice before it empties it).
struct NameSeen {
    uint32_t    kind = 0;
    uint64_t    size = 0, mtimeNs = 0;
    bool        bKnown = false;
    std::string name;   // as listed
};
struct Names {
    std::map<std::string, NameSeen>       byName;   // by folded name
    std::chrono::steady_clock::time_point at;       // when the request went: changes elsewhere show after kCacheSeconds
    bool                                  bWhole = true;   // every name as listed: a listing answered from here
};
std::map<std::string, Names> g_names;   // by folded folder path, under g_knownMu
const size_t kMaxListings = 256;
// A folder listed within this time and of at most so many names is listed
// again, rather than asked name by name, once its names are stale.
const double kRelistSeconds = 10.0;
const size_t kRelistMost = 4096;

std::string Folded(std::string name)
{
    for (char& c : name)
        if (c >= 'a' && c <= 'z')
            c = (char)(c - 'a' + 'A');
    return name;
}

// "/a/b" -> "/a" and "b"; "/b" -> "/" and "b".
std::string ParentOf(const std::string& path, std::string* pName)
{
    const size_t slash = path.rfind('/');
    *pName = path.substr(slash + 1);
    return slash == 0 ? "/" : path.substr(0, slash);
}

// Under g_knownMu: the listed attributes of `path` and of its folder
// forgotten.
void Unknown(const std::string& path)
{
    auto forget = [](const std::string& folder, const std::string& name) {
        auto it = g_names.find(Folded(folder));
        if (it == g_names.end())
            return;
        auto seen = it->second.byName.find(Folded(name));
        if (seen != it->second.byName.end())
            seen->second.bKnown = false;
    };
    std::string name, folderName;
    const std::string folder = ParentOf(path, &name);
    forget(folder, name);
    if (folder != "/")
        forget(ParentOf(folder, &folderName), folderName);
}

// Under g_knownMu: a file's listed attributes forgotten (no path: every
// file's), and the count of changes moved on.
uint64_t Unsettled(const char* path)
{
    if (path == nullptr) {
        for (auto& [folder, names] : g_names)
            for (auto& [name, seen] : names.byName)
                seen.bKnown = false;
    } else {
        Unknown(path);
    }
    return ++g_changes;
}

// Before a change that may reach a file: no file's attributes are known any
// more. Returns the count that Learn checks.
uint64_t Forget(const char* path)
{
    std::lock_guard<std::mutex> lock(g_knownMu);
    g_known.clear();
    return Unsettled(path);
}

void SendAllGathered();

// Before a request that may change a file: gathered writes go first, as they
// would in Ask anyway, so that their replies do not move the count on while
// this request's own is under way.
uint64_t Changing(const char* path)
{
    SendAllGathered();
    return Forget(path);
}

// After it: a listing answered meanwhile may hold the file as it was.
void Changed(const char* path)
{
    std::lock_guard<std::mutex> lock(g_knownMu);
    Unsettled(path);
}

uint64_t Changes()
{
    std::lock_guard<std::mutex> lock(g_knownMu);
    return g_changes;
}

// A reply's attributes kept, unless another change began since the request
// went (its reply may have been answered first).
void Learn(const char* path, const vaultfs::Answer& a, uint64_t changes)
{
    if (path == nullptr)
        return;
    std::lock_guard<std::mutex> lock(g_knownMu);
    const auto now = std::chrono::steady_clock::now();
    if (a.status() == MOUNT_OK && a.reply.kind != 0 && changes == g_changes)
        g_known[path] = {a.reply.kind, a.reply.size, a.reply.mtimeNs, now};
    else if (a.status() == MOUNT_NOT_FOUND && changes == g_changes)
        g_known[path] = {MOUNT_KIND_NONE, 0, 0, now};
    else
        g_known.erase(path);
}

bool Recall(const char* path, Known* pOut)
{
    if (path == nullptr)
        return false;
    std::lock_guard<std::mutex> lock(g_knownMu);
    auto it = g_known.find(path);
    if (it == g_known.end() || std::chrono::steady_clock::now() - it->second.at > kKnownFor)
        return false;
    *pOut = it->second;
    return true;
}

Names* FreshNames(const std::string& folder)
{
    auto it = g_names.find(Folded(folder));
    if (it == g_names.end())
        return nullptr;
    if (std::chrono::steady_clock::now() - it->second.at > std::chrono::duration<double>(kCacheSeconds))
        return nullptr;   // kept a while, for LookUpByListing
    return &it->second;
}

// A folder's whole listing, asked at `at` when `changes` had begun.
void Listed(const std::string& folder, std::map<std::string, NameSeen> byName,
            std::chrono::steady_clock::time_point at, uint64_t changes, bool bWhole = true)
{
    std::lock_guard<std::mutex> lock(g_knownMu);
    if (changes != g_changes)
        return;
    if (g_names.size() >= kMaxListings)
        g_names.clear();
    g_names[Folded(folder)] = {std::move(byName), at, bWhole};
}

void Fill(struct stat* st, uint32_t kind, uint64_t size, uint64_t mtimeNs);

// A folder listed within kCacheSeconds with no name added since: its names
// to `take`, with their attributes where they are known. False when the
// folder is to be listed.
bool ListFromNames(const std::string& folder, const std::function<void(const std::string&, const struct stat*)>& take)
{
    std::vector<std::pair<std::string, std::optional<struct stat>>> entries;
    {
        std::lock_guard<std::mutex> lock(g_knownMu);
        const Names* names = FreshNames(folder);
        if (names == nullptr || !names->bWhole)
            return false;
        for (const auto& [key, seen] : names->byName) {
            std::optional<struct stat> st;
            if (seen.bKnown)
                Fill(&st.emplace(), seen.kind, seen.size, seen.mtimeNs);
            entries.emplace_back(seen.name, st);
        }
    }
    for (const auto& [name, st] : entries)
        take(name, st ? &*st : nullptr);
    return true;
}

// From the names of the path's folder: -ENOENT when it is not there, 0 with
// its attributes when they are known, 1 when the simulator is to be asked.
int LookUpInNames(const char* path, struct stat* st)
{
    std::string name;
    const std::string folder = ParentOf(path, &name);
    if (name.empty() || name.size() > MOUNT_MAX_NAME)
        return 1;   // the driver's own answer (a name too long) is not "no such file"
    std::lock_guard<std::mutex> lock(g_knownMu);
    const Names* names = FreshNames(folder);
    if (names == nullptr)
        return 1;
    auto it = names->byName.find(Folded(name));
    if (it == names->byName.end())
        return -ENOENT;
    if (!it->second.bKnown)
        return 1;
    Fill(st, it->second.kind, it->second.size, it->second.mtimeNs);
    return 0;
}

// After a change through this mount: `path` is there now or gone; a change
// that failed may have been half made, and its folder's names are dropped.
// Counts as a change of its own, so that a listing asked while this one was
// under way is not kept (it may have been answered before it). Returns the
// count that Listed checks.
uint64_t Named(const char* path, bool bThere, bool bDone)
{
    std::string name;
    const std::string folder = ParentOf(path, &name);
    std::lock_guard<std::mutex> lock(g_knownMu);
    Names* names = FreshNames(folder);
    if (names == nullptr)
        return ++g_changes;
    Unknown(path);   // the folder's time
    if (!bDone) {
        g_names.erase(Folded(folder));
    } else if (bThere) {
        names->byName[Folded(name)] = {};   // its attributes asked for
        names->bWhole = false;              // its spelling may be another's
    } else {
        names->byName.erase(Folded(name));
    }
    return ++g_changes;
}

// A folder removed or renamed: what was known under it is not its any more.
void Unlisted(const std::string& path)
{
    const std::string folder = Folded(path);
    std::lock_guard<std::mutex> lock(g_knownMu);
    for (auto it = g_names.lower_bound(folder); it != g_names.end() && it->first.compare(0, folder.size(), folder) == 0;)
        it = (it->first.size() == folder.size() || it->first[folder.size()] == '/') ? g_names.erase(it) : std::next(it);
}

bool Remembered(const char* path, uint64_t version)
{
    std::lock_guard<std::mutex> lock(g_seenMu);
    auto it = g_seen.find(path);
    return version != 0 && it != g_seen.end() && it->second == version;
}

int Errno(int32_t status)
{
    switch (status) {
    case MOUNT_OK:            return 0;
    case MOUNT_NOT_LOGGED_IN: return EACCES;
    case MOUNT_BAD_PATH:      return EINVAL;
    case MOUNT_NOT_FOUND:     return ENOENT;
    case MOUNT_EXISTS:        return EEXIST;
    case MOUNT_IS_FOLDER:     return EISDIR;
    case MOUNT_NOT_FOLDER:    return ENOTDIR;
    case MOUNT_NOT_EMPTY:     return ENOTEMPTY;
    case MOUNT_BAD_HANDLE:    return EBADF;
    case MOUNT_NAME_TOO_LONG: return ENAMETOOLONG;
    case MOUNT_NO_SPACE:      return ENOSPC;
    case MOUNT_BAD_REQUEST:   return EPROTO;
    default:                  return EIO;   // no agent, refused, disk, corrupt, transport
    }
}

// Writes gathered, as a page cache gathers them: a write that goes on where
// the last one through its handle ended joins it, up to one request's
// worth, and they go to the simulator together before anything else is
// asked (so every answer, and every other session, sees them), and at the
// latest at close(2). A request's worth goes at once, from the sender
// thread, while the writer makes its next one. One that fails there is told
// to the next write, close(2) or fsync through its handle, as other file
// systems tell the failures of what they wrote back.
struct Gathered {
    uint64_t                              offset = 0;
    std::vector<char>                     bytes;
    uint64_t                              write = 0;   // Dirtied's count of the last one
    std::string                           path;        // the file's when written (none: unlinked)
    std::chrono::steady_clock::time_point since = std::chrono::steady_clock::now();
    std::optional<uint64_t>               touchNs;     // a time to set after them (SendTouched)
    bool Full() const { return bytes.size() >= MOUNT_MAX_DATA; }
};
// Gathered writes older than this go out by themselves: other sessions see
// them within a second, as this mount sees theirs.
const auto kGatheredFor = std::chrono::milliseconds(500);
const size_t kMaxGathered = 16 * MOUNT_MAX_DATA;   // held in all, across handles
std::mutex g_flowMu;   // held while gathered writes go out: what is asked next waits for them; before g_dirtyMu
std::map<uint64_t, Gathered> g_gathered;   // by handle, under g_flowMu
std::map<uint64_t, int32_t> g_lost;        // a gathered write's failure by handle, until told
size_t g_gatheredBytes = 0;

// Sends what a handle gathered; small writes are recorded at once (the
// close(2) that usually follows has nothing left to record then), a
// sequential writer's whole requests at its close. Under g_flowMu.
int32_t SendGathered(uint64_t handle, Gathered& g)
{
    vaultfs::Request r;
    r.op = MOUNT_WRITE;
    r.flags = g.Full() ? 0 : MOUNT_WRITE_RECORD;
    if (g.touchNs) {
        r.flags |= MOUNT_WRITE_TOUCH;
        for (int i = 0; i < 8; i++)
            r.path2 += (char)(*g.touchNs >> (8 * i));
    }
    r.handle = handle;
    r.offset = g.offset;
    r.data = g.bytes.data();
    r.dataBytes = g.bytes.size();
    const char* path = g.path.empty() ? nullptr : g.path.c_str();
    const uint64_t changes = Changes();
    const vaultfs::Answer a = g_client->Call(r);
    Learn(path, a, changes);   // what the stat that usually follows asks (tar's chown, chmod, utimens)
    Changed(path);
    const int32_t status = a.status();
    if (status != MOUNT_OK)
        g_lost.emplace(handle, status);   // the first one is told
    else if (!g.Full())
        Recorded(handle, g.write);
    g_gatheredBytes -= g.bytes.size();
    return status;
}

// Sends each handle's gathered writes that are due.
void SendGatheredIf(const std::function<bool(const Gathered&)>& due)
{
    std::lock_guard<std::mutex> lock(g_flowMu);
    for (auto it = g_gathered.begin(); it != g_gathered.end();) {
        if (!due(it->second)) {
            ++it;
            continue;
        }
        SendGathered(it->first, it->second);
        it = g_gathered.erase(it);
    }
}

void SendAllGathered()
{
    SendGatheredIf([](const Gathered&) { return true; });
}

// Sends whole requests as they fill, and what waited kGatheredFor, until
// told to end.
std::mutex g_senderMu;
std::condition_variable g_senderWake;
bool g_senderEnd = false, g_senderNow = false;
std::thread g_sender;

void SendOld()
{
    std::unique_lock<std::mutex> wait(g_senderMu);
    while (!g_senderEnd) {
        g_senderWake.wait_for(wait, kGatheredFor / 2, [] { return g_senderEnd || g_senderNow; });
        g_senderNow = false;
        wait.unlock();
        const auto old = std::chrono::steady_clock::now() - kGatheredFor;
        SendGatheredIf([&](const Gathered& g) { return g.Full() || g.since <= old; });
        wait.lock();
    }
}

// The time of a file whose bytes one handle of this mount gathered (tar
// sets the time of each file it wrote before it closes it): set with them,
// in one request, whose status is the time's. False when no one handle
// gathered for that path.
bool SendTouched(const char* path, uint64_t ns, int32_t* pStatus)
{
    std::lock_guard<std::mutex> lock(g_flowMu);
    auto found = g_gathered.end();
    for (auto it = g_gathered.begin(); it != g_gathered.end(); ++it) {
        if (it->second.path != path)
            continue;
        if (found != g_gathered.end())
            return false;   // the time goes after the bytes of both
        found = it;
    }
    if (found == g_gathered.end())
        return false;
    Forget(path);
    found->second.touchNs = ns;
    *pStatus = SendGathered(found->first, found->second);
    g_gathered.erase(found);
    return true;
}

// A whole request gathered: the sender takes it now.
void SendSoon()
{
    {
        std::lock_guard<std::mutex> lock(g_senderMu);
        g_senderNow = true;
    }
    g_senderWake.notify_one();
}

// A gathered write's failure, told once to its handle; under g_flowMu.
int32_t TakeLostHeld(uint64_t handle)
{
    auto it = g_lost.find(handle);
    if (it == g_lost.end())
        return MOUNT_OK;
    const int32_t status = it->second;
    g_lost.erase(it);
    return status;
}

int32_t TakeLost(uint64_t handle)
{
    std::lock_guard<std::mutex> lock(g_flowMu);
    return TakeLostHeld(handle);
}

// Every request but a gathered write goes through here.
vaultfs::Answer Ask(const vaultfs::Request& r)
{
    SendAllGathered();
    return g_client->Call(r);
}

vaultfs::Answer Call(uint32_t op, const char* path, uint64_t handle = 0, uint64_t offset = 0)
{
    vaultfs::Request r;
    r.op = op;
    r.path = path != nullptr ? path : "";   // no path: an open file, by its handle
    r.handle = handle;
    r.offset = offset;
    return Ask(r);
}

timespec Time(uint64_t ns) { return {(time_t)(ns / 1000000000u), (long)(ns % 1000000000u)}; }

void Fill(struct stat* st, uint32_t kind, uint64_t size, uint64_t mtimeNs)
{
    memset(st, 0, sizeof(*st));
    const bool bFolder = kind == MOUNT_KIND_FOLDER;
    st->st_mode = bFolder ? (S_IFDIR | kFolderMode) : (S_IFREG | kFileMode);
    st->st_nlink = bFolder ? 2 : 1;
    st->st_uid = getuid();
    st->st_gid = getgid();
    st->st_size = (off_t)size;
    st->st_blocks = (blkcnt_t)((size + 511) / 512);
    st->st_blksize = 128 * 1024;
    st->st_mtim = st->st_atim = st->st_ctim = Time(mtimeNs);
}

std::string g_mountPoint;   // as given, made absolute

// The kernel reads ahead of a sequential reader 128 KiB at a time unless the
// mount's own window is made larger, and each of those reads is a round trip
// here and a short run of block requests in the simulator: the window is
// made as large as one read may be. Only root may set it; others keep 128 KiB.
void WidenReadAhead()
{
    FILE* f = fopen("/proc/self/mountinfo", "r");
    if (f == nullptr)
        return;
    std::string device;
    char line[4096];
    while (fgets(line, sizeof(line), f) != nullptr) {
        // ID PARENT MAJOR:MINOR ROOT MOUNTPOINT OPTIONS... - TYPE SOURCE ...
        char dev[64], where[4096];
        const char* type = strstr(line, " - fuse.vaultfs ");
        if (type == nullptr || sscanf(line, "%*s %*s %63s %*s %4095s", dev, where) != 2)
            continue;
        std::string unescaped;   // spaces and the like come as \ooo
        for (const char* c = where; *c; c++) {
            if (c[0] == '\\' && c[1] && c[2] && c[3]) {
                unescaped += (char)strtol(std::string(c + 1, 3).c_str(), nullptr, 8);
                c += 3;
            } else {
                unescaped += *c;
            }
        }
        if (unescaped == g_mountPoint)
            device = dev;   // the last one: a mount over an older one at the same place
    }
    fclose(f);
    if (device.empty())
        return;
    if (FILE* ra = fopen(("/sys/class/bdi/" + device + "/read_ahead_kb").c_str(), "w")) {
        fprintf(ra, "%u", MOUNT_MAX_DATA / 1024);
        fclose(ra);
    }
}

void* Init(fuse_conn_info* conn, fuse_config* cfg)
{
    cfg->use_ino = 0;
    // An unlinked file still open here is renamed aside and unlinked at its
    // last close (the kernel asks its attributes by name); one unlinked by
    // another session stays usable in the simulator itself.
    cfg->hard_remove = 0;
    cfg->entry_timeout = cfg->attr_timeout = cfg->negative_timeout = kCacheSeconds;

    conn->max_write = MOUNT_MAX_DATA;
    conn->max_readahead = MOUNT_MAX_DATA;
    WidenReadAhead();   // before this answer reaches the kernel, which takes the smaller of the two
    if (conn->capable & FUSE_CAP_ATOMIC_O_TRUNC)
        conn->want |= FUSE_CAP_ATOMIC_O_TRUNC;
    // Pages are dropped or kept at each open by content version (g_seen);
    // a time that changed by this mount's own writes must not drop them.
    conn->want &= ~FUSE_CAP_AUTO_INVAL_DATA;
    g_sender = std::thread(SendOld);
    return nullptr;
}

void Destroy(void*)
{
    {
        std::lock_guard<std::mutex> lock(g_senderMu);
        g_senderEnd = true;
    }
    g_senderWake.notify_all();
    if (g_sender.joinable())
        g_sender.join();
    SendAllGathered();
    g_client->CloseAll();
}

// A folder's listing, asked now: each entry's name and attributes to
// `take`, and the names kept (Listed). -EPROTO when it does not parse.
int List(const std::string& folder, const std::function<void(const std::string&, const struct stat&)>& take)
{
    const auto asked = std::chrono::steady_clock::now();
    const uint64_t changes = Changes();
    vaultfs::Answer a = Call(MOUNT_LIST, folder.c_str());
    if (a.status() != MOUNT_OK)
        return -Errno(a.status());
    std::map<std::string, NameSeen> byName;
    bool bWhole = true;   // no two names that fold alike
    size_t at = 0;
    while (at + sizeof(MOUNT_ENTRY) <= a.data.size()) {
        MOUNT_ENTRY e;
        memcpy(&e, a.data.data() + at, sizeof(e));
        at += sizeof(e);
        if (at + e.nameBytes > a.data.size())
            return -EPROTO;
        const std::string name(reinterpret_cast<const char*>(a.data.data() + at), e.nameBytes);
        at += e.nameBytes;
        NameSeen& seen = byName[Folded(name)];
        bWhole = bWhole && seen.kind == 0;
        seen = {e.kind, e.size, e.mtimeNs, seen.kind == 0, name};   // two that fold alike: asked
        struct stat st;
        Fill(&st, e.kind, e.size, e.mtimeNs);
        take(name, st);
    }
    if (at != a.data.size())
        return -EPROTO;
    Listed(folder, std::move(byName), asked, changes, bWhole);
    return 0;
}

// A lookup in a folder whose names went stale while it was worked in
// (listed or made here within kRelistSeconds, and not large): one listing
// answers it, and the "no such file" of the next second, instead of a
// request per name (a folder that tar, cp or git fill). False when the
// lookup is to ask for itself.
bool LookUpByListing(const char* path, struct stat* st, int* pResult)
{
    std::string name;
    const std::string folder = ParentOf(path, &name);
    if (name.empty() || name.size() > MOUNT_MAX_NAME)
        return false;
    {
        std::lock_guard<std::mutex> lock(g_knownMu);
        auto it = g_names.find(Folded(folder));
        if (it == g_names.end() || it->second.byName.size() > kRelistMost)
            return false;
        const std::chrono::duration<double> age = std::chrono::steady_clock::now() - it->second.at;
        if (age.count() <= kCacheSeconds || age.count() > kRelistSeconds)
            return false;   // fresh (the name is there: its attributes asked for), or long unused
    }
    const std::string key = Folded(name);
    bool bFound = false;
    if (List(folder, [&](const std::string& entry, const struct stat& attributes) {
            if (!bFound && Folded(entry) == key) {
                *st = attributes;
                bFound = true;
            }
        }) != 0)
        return false;
    *pResult = bFound ? 0 : -ENOENT;
    return true;
}

// What this mount last heard of a path (Recall): 0 with its attributes,
// -ENOENT when it was missing, 1 when nothing is known.
int Recalled(const char* path, struct stat* st)
{
    Known known;
    if (!Recall(path, &known))
        return 1;
    if (known.kind == MOUNT_KIND_NONE)
        return -ENOENT;
    Fill(st, known.kind, known.size, known.mtimeNs);
    return 0;
}

// With a file open, by its handle: an open file that was unlinked has no path.
int GetAttr(const char* path, struct stat* st, fuse_file_info* fi)
{
    int result = Recalled(path, st);
    if (result <= 0 || (fi == nullptr && (result = LookUpInNames(path, st)) <= 0))
        return result;
    SendAllGathered();   // as a request would; their replies may tell this file's attributes
    if ((result = Recalled(path, st)) <= 0 || (fi == nullptr && LookUpByListing(path, st, &result)))
        return result;
    const uint64_t changes = Changes();
    vaultfs::Answer a = fi != nullptr ? Call(MOUNT_STAT, "", fi->fh) : Call(MOUNT_STAT, path);
    Learn(path, a, changes);
    if (a.status() != MOUNT_OK)
        return -Errno(a.status());
    Fill(st, a.reply.kind, a.reply.size, a.reply.mtimeNs);
    return 0;
}

int ReadDir(const char* path, void* buf, fuse_fill_dir_t filler, off_t, fuse_file_info*, fuse_readdir_flags)
{
    filler(buf, ".", nullptr, 0, (fuse_fill_dir_flags)0);
    filler(buf, "..", nullptr, 0, (fuse_fill_dir_flags)0);
    bool bFilled = true;
    auto fill = [&](const std::string& name, const struct stat* st) {
        const auto flags = st != nullptr ? FUSE_FILL_DIR_PLUS : (fuse_fill_dir_flags)0;
        if (bFilled && filler(buf, name.c_str(), st, 0, flags) != 0)
            bFilled = false;
    };
    if (ListFromNames(path, fill))
        return 0;
    return List(path, [&](const std::string& name, const struct stat& st) { fill(name, &st); });
}

int OpenWith(const char* path, uint32_t flags, fuse_file_info* fi)
{
    vaultfs::Request r;
    r.op = MOUNT_OPEN;
    r.path = path;
    r.flags = flags | ((fi->flags & O_TRUNC) ? MOUNT_OPEN_TRUNCATE : 0);
    // A plain open changes nothing: what is known of other files stays.
    uint64_t changes = r.flags != 0 ? Changing(path) : (SendAllGathered(), Changes());
    vaultfs::Answer a = Ask(r);
    if (flags & MOUNT_OPEN_CREATE)
        changes = Named(path, true, a.status() == MOUNT_OK || a.status() == MOUNT_EXISTS);
    else if (r.flags & MOUNT_OPEN_TRUNCATE)
        changes = Named(path, true, a.status() == MOUNT_OK);
    if (a.status() != MOUNT_OK)
        return -Errno(a.status());
    fi->fh = a.reply.handle;
    Learn(path, a, changes);
    fi->keep_cache = Remembered(path, a.reply.version);
    return 0;
}

int Open(const char* path, fuse_file_info* fi) { return OpenWith(path, 0, fi); }

int Create(const char* path, mode_t, fuse_file_info* fi)
{
    return OpenWith(path, MOUNT_OPEN_CREATE | ((fi->flags & O_EXCL) ? MOUNT_OPEN_EXCLUSIVE : 0), fi);
}

int Read(const char*, char* buf, size_t size, off_t offset, fuse_file_info* fi)
{
    vaultfs::Request r;
    r.op = MOUNT_READ;
    r.handle = fi->fh;
    r.offset = (uint64_t)offset;
    r.length = (uint32_t)std::min<size_t>(size, MOUNT_MAX_DATA);
    vaultfs::Answer a = Ask(r);
    if (a.status() != MOUNT_OK)
        return -Errno(a.status());
    if (a.data.size() > size)
        return -EPROTO;
    memcpy(buf, a.data.data(), a.data.size());
    return (int)a.data.size();
}

int Write(const char* path, const char* buf, size_t size, off_t offset, fuse_file_info* fi)
{
    const size_t bytes = std::min<size_t>(size, MOUNT_MAX_DATA);
    const uint64_t write = Dirtied(fi->fh);
    const uint64_t changes = Forget(path);
    {
        std::unique_lock<std::mutex> lock(g_flowMu);
        auto it = g_gathered.find(fi->fh);
        if (it != g_gathered.end() && (uint64_t)offset == it->second.offset + it->second.bytes.size() &&
            it->second.bytes.size() + bytes <= MOUNT_MAX_DATA && g_gatheredBytes + bytes <= kMaxGathered) {
            it->second.bytes.insert(it->second.bytes.end(), buf, buf + bytes);
            it->second.write = write;
            g_gatheredBytes += bytes;
            const bool bFull = it->second.Full();
            lock.unlock();
            if (bFull)
                SendSoon();
            return (int)bytes;
        }
        if (it != g_gathered.end()) {
            SendGathered(fi->fh, it->second);
            g_gathered.erase(it);
        }
        if (const int32_t lost = TakeLostHeld(fi->fh); lost != MOUNT_OK)
            return -Errno(lost);
        if (g_gatheredBytes + bytes <= kMaxGathered) {
            Gathered& g = g_gathered[fi->fh];
            g.offset = (uint64_t)offset;
            g.bytes.assign(buf, buf + bytes);
            g.write = write;
            g.path = path != nullptr ? path : "";
            g_gatheredBytes += bytes;
            lock.unlock();
            if (bytes == MOUNT_MAX_DATA)
                SendSoon();
            return (int)bytes;
        }
    }
    vaultfs::Request r;
    r.op = MOUNT_WRITE;
    r.handle = fi->fh;
    r.offset = (uint64_t)offset;
    r.data = buf;
    r.dataBytes = bytes;
    vaultfs::Answer a = Ask(r);
    Learn(path, a, changes);
    Changed(path);
    return a.status() != MOUNT_OK ? -Errno(a.status()) : (int)r.dataBytes;
}

int Truncate(const char* path, off_t size, fuse_file_info* fi)
{
    if (fi != nullptr)
        Dirtied(fi->fh);
    const uint64_t changes = Changing(path);
    vaultfs::Answer a = Call(MOUNT_RESIZE, fi != nullptr ? "" : path, fi != nullptr ? fi->fh : 0, (uint64_t)size);
    Learn(path, a, changes);
    Changed(path);
    return -Errno(a.status());
}

// What a handle wrote, sent and recorded (MOUNT_SYNC_RECORD) or on disk;
// a gathered write that failed is told first.
int Settle(const char* path, uint64_t handle, uint32_t flags)
{
    vaultfs::Request r;
    r.op = MOUNT_SYNC;
    r.handle = handle;
    r.flags = flags;
    const int32_t status = Ask(r).status();
    Changed(path);
    const int32_t lost = TakeLost(handle);
    return -Errno(lost != MOUNT_OK ? lost : status);
}

int Release(const char* path, fuse_file_info* fi)
{
    bool bDirty;
    {
        std::lock_guard<std::mutex> lock(g_dirtyMu);
        bDirty = g_dirty.erase(fi->fh) != 0;   // the close records what is left
    }
    if (bDirty && path != nullptr) {
        std::lock_guard<std::mutex> lock(g_knownMu);
        g_known.erase(path);
    }
    vaultfs::Answer a = Call(MOUNT_CLOSE, "", fi->fh);
    if (bDirty)
        Changed(path);   // a clean close changes nothing a listing shows
    const int32_t lost = TakeLost(fi->fh);   // told already by the flush of close(2), if it could be
    Remember(path, a.status() == MOUNT_OK && lost == MOUNT_OK ? a.reply.version : 0);
    return -Errno(a.status());
}

// close(2): what the file grew by is recorded in its stored files (a write
// error shows here, as on other file systems); nothing is flushed to disk.
int Flush(const char* path, fuse_file_info* fi)
{
    SendAllGathered();   // recorded as they go
    bool bDirty;
    {
        std::lock_guard<std::mutex> lock(g_dirtyMu);
        bDirty = g_dirty.erase(fi->fh) != 0;
    }
    // Nothing written through this handle since, or all of it recorded
    // (g_dirtyMu is free again: the flow lock comes before it).
    return bDirty ? Settle(path, fi->fh, MOUNT_SYNC_RECORD) : -Errno(TakeLost(fi->fh));
}

int Fsync(const char* path, int bDataOnly, fuse_file_info* fi)
{
    return Settle(path, fi->fh, bDataOnly ? MOUNT_SYNC_DATA_ONLY : 0);
}

int FsyncDir(const char* path, int, fuse_file_info*) { return -Errno(Call(MOUNT_SYNC, path).status()); }

int Unlink(const char* path)
{
    Remember(path, 0);
    Changing(path);
    const int32_t status = Call(MOUNT_DELETE, path).status();
    Named(path, false, status == MOUNT_OK || status == MOUNT_NOT_FOUND);
    return -Errno(status);
}

int MkDir(const char* path, mode_t)
{
    const auto asked = std::chrono::steady_clock::now();
    Changing(path);
    const vaultfs::Answer a = Call(MOUNT_MKDIR, path);
    const int32_t status = a.status();
    const uint64_t changes = Named(path, true, status == MOUNT_OK || status == MOUNT_EXISTS);
    if (status == MOUNT_OK) {
        Listed(path, {}, asked, changes);   // made here, so empty then
        Learn(path, a, changes);   // its attributes are asked next
    }
    return -Errno(status);
}

int RmDir(const char* path)
{
    Changing(path);
    const int32_t status = Call(MOUNT_RMDIR, path).status();
    Named(path, false, status == MOUNT_OK || status == MOUNT_NOT_FOUND);
    Unlisted(path);
    return -Errno(status);
}

int Rename(const char* from, const char* to, unsigned int flags)
{
    if (flags & ~(unsigned)RENAME_NOREPLACE)   // RENAME_EXCHANGE, RENAME_WHITEOUT: not kept
        return -EINVAL;
    vaultfs::Request r;
    r.op = MOUNT_RENAME;
    r.path = from;
    r.path2 = to;
    r.flags = (flags & RENAME_NOREPLACE) ? MOUNT_RENAME_NOREPLACE : 0;
    Remember(from, 0);
    Remember(to, 0);
    Changing(from);
    const int32_t status = Ask(r).status();
    Named(from, false, status == MOUNT_OK);
    Named(to, true, status == MOUNT_OK);
    Unlisted(from);
    Unlisted(to);
    return -Errno(status);
}

int StatFs(const char*, struct statvfs* st)
{
    vaultfs::Answer a = Call(MOUNT_STATFS, "/");
    if (a.status() != MOUNT_OK)
        return -Errno(a.status());
    memset(st, 0, sizeof(*st));
    st->f_bsize = st->f_frsize = 4096;
    st->f_blocks = a.reply.mtimeNs / 4096;
    st->f_bfree = st->f_bavail = a.reply.size / 4096;
    st->f_namemax = MOUNT_MAX_NAME;
    return 0;
}

int UTimeNs(const char* path, const timespec tv[2], fuse_file_info* fi)
{
    timespec mtime = tv[1];
    if (mtime.tv_nsec == UTIME_OMIT)
        return 0;
    if (mtime.tv_nsec == UTIME_NOW)
        clock_gettime(CLOCK_REALTIME, &mtime);
    if (mtime.tv_sec < 0)
        return -EINVAL;
    const uint64_t ns = (uint64_t)mtime.tv_sec * 1000000000u + (uint64_t)mtime.tv_nsec;
    int32_t status = MOUNT_OK;
    if (fi == nullptr && path != nullptr && SendTouched(path, ns, &status))
        return -Errno(status);
    const uint64_t changes = Changing(path);
    vaultfs::Answer a = fi != nullptr ? Call(MOUNT_TOUCH, "", fi->fh, ns) : Call(MOUNT_TOUCH, path, 0, ns);
    Learn(path, a, changes);
    Changed(path);
    return -Errno(a.status());
}

// Modes and owners are fixed. Asking for them changes nothing; with -o
// strict, asking for anything else is refused. Without it the answer needs
// no round trip: the kernel looked the name up just before (tar, cp -a and
// git ask for every file).
int ChMod(const char* path, mode_t mode, fuse_file_info* fi)
{
    if (!g_strict)
        return 0;
    vaultfs::Answer a = fi != nullptr ? Call(MOUNT_STAT, "", fi->fh) : Call(MOUNT_STAT, path);
    if (a.status() != MOUNT_OK)
        return -Errno(a.status());
    const mode_t fixed = a.reply.kind == MOUNT_KIND_FOLDER ? kFolderMode : kFileMode;
    return (mode & 07777) == fixed ? 0 : -EPERM;
}

int ChOwn(const char*, uid_t uid, gid_t gid, fuse_file_info*)
{
    const bool bUser = uid == (uid_t)-1 || uid == getuid() || (!g_strict && uid == 0);
    const bool bGroup = gid == (gid_t)-1 || gid == getgid() || (!g_strict && gid == 0);
    return bUser && bGroup ? 0 : -EPERM;
}

int NoLink(const char*, const char*) { return -EPERM; }
int NoReadLink(const char*, char*, size_t) { return -EINVAL; }
int NoMkNod(const char*, mode_t, dev_t) { return -EPERM; }

fuse_operations Operations()
{
    fuse_operations ops = {};
    ops.init = Init;
    ops.destroy = Destroy;
    ops.getattr = GetAttr;
    ops.readdir = ReadDir;
    ops.open = Open;
    ops.create = Create;
    ops.read = Read;
    ops.write = Write;
    ops.truncate = Truncate;
    ops.release = Release;
    ops.flush = Flush;
    ops.fsync = Fsync;
    ops.fsyncdir = FsyncDir;
    ops.unlink = Unlink;
    ops.mkdir = MkDir;
    ops.rmdir = RmDir;
    ops.rename = Rename;
    ops.statfs = StatFs;
    ops.utimens = UTimeNs;
    ops.chmod = ChMod;
    ops.chown = ChOwn;
    ops.link = NoLink;
    ops.symlink = NoLink;
    ops.readlink = NoReadLink;
    ops.mknod = NoMkNod;
    // No extended attributes: left out, so that the kernel learns it once
    // (ENOSYS) and answers "not supported" itself from then on, instead of
    // asking before every write.
    return ops;
}

std::string DefaultEndpoint()
{
    const char* prefix = getenv("WINEPREFIX");
    if (prefix != nullptr && *prefix != 0)
        return std::string(prefix) + "/" MOUNT_ENDPOINT_FILE;
    const char* home = getenv("HOME");
    return std::string(home != nullptr ? home : "") + "/.wine/" MOUNT_ENDPOINT_FILE;
}

// The endpoint file carries the secret that opens the vault: one that
// another user owns, or that others may reach and read, is not trusted. A
// file open to the group or others is still out of their reach inside a
// folder of the user's that is closed to them (the prefix is made so): a
// wineserver started with a looser umask by another program creates the
// file with that umask, whatever the simulator asks.
bool SafeEndpoint(const std::string& file, std::string* pError)
{
    struct stat st, folder;
    if (stat(file.c_str(), &st) != 0)
        return true;   // ReadEndpoint says what is missing
    if (st.st_uid != getuid()) {
        *pError = "the endpoint file " + file + " belongs to another user: not trusted";
        return false;
    }
    const size_t slash = file.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : file.substr(0, slash);
    const bool bClosed = stat(dir.c_str(), &folder) == 0 && folder.st_uid == getuid() &&
                         (folder.st_mode & (S_IRWXG | S_IRWXO)) == 0;
    if ((st.st_mode & (S_IRWXG | S_IRWXO)) && !bClosed) {
        char mode[8];
        snprintf(mode, sizeof(mode), "%04o", (unsigned)(st.st_mode & 07777));
        *pError = "the endpoint file " + file + " has mode " + mode +
                  ": others could read its secret. Start vaultfilter with umask 077 (scripts/winerun does)";
        return false;
    }
    return true;
}

// The FUSE options with "strict" taken out (and remembered); "-oA,B" and
// "-o A,B" both.
std::vector<std::string> TakeStrict(const std::vector<std::string>& args)
{
    std::vector<std::string> out;
    for (size_t i = 0; i < args.size(); i++) {
        std::string opts;
        if (args[i] == "-o" && i + 1 < args.size())
            opts = args[++i];
        else if (args[i].rfind("-o", 0) == 0 && args[i].size() > 2)
            opts = args[i].substr(2);
        else {
            out.push_back(args[i]);
            continue;
        }
        std::string kept, item;
        for (size_t at = 0; at <= opts.size(); at++) {
            if (at < opts.size() && opts[at] != ',') {
                item += opts[at];
                continue;
            }
            if (item == "strict")
                g_strict = true;
            else if (!item.empty())
                kept += (kept.empty() ? "" : ",") + item;
            item.clear();
        }
        if (!kept.empty()) {
            out.push_back("-o");
            out.push_back(kept);
        }
    }
    return out;
}

}  // namespace

int main(int argc, char** argv)
{
    std::string vault, endpointFile = DefaultEndpoint();
    std::vector<std::string> given;
    for (int i = 1; i < argc; i++) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            fputs(kUsage, stdout);
            return 0;
        } else if ((arg == "--vault" || arg == "--endpoint") && i + 1 < argc) {
            (arg == "--vault" ? vault : endpointFile) = argv[++i];
        } else if (arg == "--vault" || arg == "--endpoint") {
            fprintf(stderr, "vaultfs: %s needs a value\n%s", arg.c_str(), kUsage);
            return 2;
        } else {
            given.push_back(argv[i]);
        }
    }
    std::vector<std::string> options = TakeStrict(given);
    options.insert(options.begin(), argv[0]);
    std::vector<char*> fuseArgs;
    for (std::string& o : options)
        fuseArgs.push_back(o.data());
    if (vault.empty() || fuseArgs.size() < 2) {
        fprintf(stderr, "vaultfs: give a mount point and --vault\n%s", kUsage);
        return 2;
    }
    vaultfs::Endpoint endpoint;
    std::string error;
    if (!SafeEndpoint(endpointFile, &error) || !vaultfs::ReadEndpoint(endpointFile, &endpoint, &error)) {
        fprintf(stderr, "vaultfs: %s\n", error.c_str());
        return 1;
    }
    std::random_device random;
    const uint64_t session = ((uint64_t)random() << 32) ^ random() ^ (uint64_t)getpid();
    {
        // The vault is checked before the mount, so that a refusal reads as
        // a sentence instead of a mount point that fails every operation.
        vaultfs::MountClient probe(endpoint, vault, session ^ 1);
        g_client = &probe;
        vaultfs::Answer a = Call(MOUNT_STAT, "/");
        if (a.status() != MOUNT_OK) {
            fprintf(stderr, "vaultfs: cannot mount %s: %s\n", vault.c_str(),
                    a.status() == MOUNT_NOT_LOGGED_IN ? "the vault is not logged in" : a.text().c_str());
            return 1;
        }
        g_client = nullptr;
    }
    for (size_t i = 1; i < options.size(); i++) {   // the mount point: the one argument that is no option
        if (options[i] == "-o")
            i++;
        else if (options[i][0] != '-' && g_mountPoint.empty())
            if (char* real = realpath(options[i].c_str(), nullptr)) {
                g_mountPoint = real;
                free(real);
            }
    }
    vaultfs::MountClient client(endpoint, vault, session);
    g_client = &client;
    std::string fsname = "-ofsname=vaultfs:" + vault + ",subtype=vaultfs";
    fuseArgs.push_back(fsname.data());
    char threads[] = "-omax_threads=16";   // libfuse 3.14 complains when left unset
    fuseArgs.push_back(threads);
    fuseArgs.push_back(nullptr);
    const fuse_operations ops = Operations();
    const int code = fuse_main((int)fuseArgs.size() - 1, fuseArgs.data(), &ops, nullptr);
    g_client = nullptr;
    return code == 0 ? 0 : 1;
}
