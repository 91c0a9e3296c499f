// The mount protocol's serving side: one thread per vaultfs connection,
// every request carried out with VaultFiles, which keeps the open files and
// the names of the folders for every session alike.
// The acceptor's select watches every piped connection's socket as well.
#define FD_SETSIZE 1024
#include <winsock2.h>
#include <ws2tcpip.h>

#include "MountServer.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <thread>
#include <vector>

#include "Access.h"
#include "MountWire.h"
#include "Text.h"

namespace driversim {

namespace {

constexpr DWORD kStopWaitMs = 10000;
constexpr int kMaxUngreeted = 16;        // connections still before their hello, all together
constexpr int kMaxConnections = 512;     // connections in all
// A write's first bytes come off the socket on their own, so that the agent
// starts on them, and the rest in one call when the requests reach it (each
// receive of a socket costs much here, more than its copying).
constexpr size_t kFirstArrival = 64 * 1024, kArrival = MOUNT_MAX_DATA;
constexpr size_t kDirectBytes = 64 * 1024;   // received straight into place, not through the buffer

uint64_t UnixNs(const FILETIME& ft)
{
    const uint64_t t = ((uint64_t)ft.dwHighDateTime << 32) | ft.dwLowDateTime;
    const uint64_t epoch = 116444736000000000ull;   // 1970-01-01 in FILETIME units
    return t > epoch ? (t - epoch) * 100 : 0;
}

FILETIME FileTimeOf(uint64_t ns)
{
    const uint64_t t = ns / 100 + 116444736000000000ull;
    return {(DWORD)t, (DWORD)(t >> 32)};
}

MountStatus StatusOf(FileError error)
{
    switch (error) {
    case FileError::None:          return MOUNT_OK;
    case FileError::NoAgent:
    case FileError::NoReply:       return MOUNT_NO_AGENT;
    case FileError::AgentRefused:  return MOUNT_REFUSED;
    case FileError::NotLoggedIn:   return MOUNT_NOT_LOGGED_IN;
    case FileError::NotInVault:
    case FileError::BadPath:       return MOUNT_BAD_PATH;
    case FileError::NotFound:      return MOUNT_NOT_FOUND;
    case FileError::AlreadyExists: return MOUNT_EXISTS;
    case FileError::Disk:          return MOUNT_DISK;
    case FileError::Corrupt:       return MOUNT_CORRUPT;
    case FileError::NoSpace:       return MOUNT_NO_SPACE;
    case FileError::NameTooLong:   return MOUNT_NAME_TOO_LONG;
    case FileError::IsFolder:      return MOUNT_IS_FOLDER;
    case FileError::NotFolder:     return MOUNT_NOT_FOLDER;
    case FileError::NotEmpty:      return MOUNT_NOT_EMPTY;
    }
    return MOUNT_DISK;
}

// One connection's way in and out: its socket, or once piped (MOUNT_PIPES)
// the FIFOs, with the socket left to tell the peer's end.
struct Link {
    SOCKET            s = INVALID_SOCKET;
    HANDLE            in = INVALID_HANDLE_VALUE;     // "req", read
    HANDLE            wake = INVALID_HANDLE_VALUE;   // "req" again, written to wake a blocked read
    HANDLE            out = INVALID_HANDLE_VALUE;    // "rep"
    HANDLE            drain = INVALID_HANDLE_VALUE;  // "rep" again, read at the end (End)
    std::atomic<bool> ended{false};                  // set before the wake: nothing read after counts

    Link() = default;
    Link(const Link&) = delete;
    Link& operator=(const Link&) = delete;
    ~Link()
    {
        for (HANDLE h : {in, wake, out, drain})
            if (h != INVALID_HANDLE_VALUE)
                CloseHandle(h);
    }
    bool Piped() const { return in != INVALID_HANDLE_VALUE; }

    // Up to cb bytes (all of them with bAll); 0 or less at the end.
    int Receive(char* p, int cb, bool bAll)
    {
        if (!Piped())
            return recv(s, p, cb, bAll ? MSG_WAITALL : 0);
        int total = 0;
        do {
            DWORD got = 0;
            if (!ReadFile(in, p + total, (DWORD)(cb - total), &got, NULL) || got == 0 || ended)
                return -1;
            total += (int)got;
        } while (bAll && total < cb);
        return total;
    }
    int Send(const char* p, int cb)
    {
        if (!Piped())
            return send(s, p, cb, 0);
        DWORD done = 0;
        return WriteFile(out, p, (DWORD)cb, &done, NULL) && !ended ? (int)done : -1;
    }
    // Ends a piped connection from another thread: a read of the serving
    // thread wakes, and a reply it writes to a peer that will never read it
    // is read away here (the FIFO holds only so much), until the last
    // writer of "rep" closes.
    void End()
    {
        if (ended.exchange(true))
            return;
        DWORD done = 0;
        WriteFile(wake, "", 1, &done, NULL);
        HANDLE h = drain;
        drain = INVALID_HANDLE_VALUE;
        auto run = [](PTP_CALLBACK_INSTANCE, void* p) {
            static char sink[64 * 1024];
            DWORD got = 0;
            while (ReadFile(p, sink, sizeof(sink), &got, NULL) && got > 0)
                ;
            CloseHandle(p);
        };
        if (h != INVALID_HANDLE_VALUE && !TrySubmitThreadpoolCallback(run, h, NULL))
            CloseHandle(h);
    }
};

bool SendAll(Link& link, const void* p, size_t cb)
{
    const char* c = static_cast<const char*>(p);
    while (cb > 0) {
        int n = link.Send(c, (int)std::min<size_t>(cb, 1 << 20));
        if (n <= 0)
            return false;
        c += n;
        cb -= n;
    }
    return true;
}

// Compared in a time that does not depend on where the first difference is.
bool SameSecret(const std::vector<uint8_t>& given, const std::string& secret)
{
    if (given.size() != secret.size())
        return false;
    unsigned char diff = 0;
    for (size_t i = 0; i < given.size(); i++)
        diff |= (unsigned char)(given[i] ^ (uint8_t)secret[i]);
    return diff == 0;
}

// What a connection received and has not taken yet: every socket call is a
// trip to the compatibility layer's server, so a request's record and its
// payload come in as few receives as the peer's writes allow.
struct Received {
    std::vector<char> bytes = std::vector<char>(256 * 1024);
    size_t            at = 0, end = 0;

    bool Take(Link& link, void* p, size_t cb)
    {
        char* c = static_cast<char*>(p);
        while (cb > 0) {
            if (at == end) {
                if (cb >= kDirectBytes) {   // a large payload goes straight where it belongs, in one call
                    int n = link.Receive(c, (int)std::min<size_t>(cb, 1 << 20), true);
                    if (n <= 0)
                        return false;
                    c += n;
                    cb -= n;
                    continue;
                }
                int n = link.Receive(bytes.data(), (int)bytes.size(), false);
                if (n <= 0)
                    return false;
                at = 0;
                end = n;
            }
            const size_t k = std::min(cb, end - at);
            memcpy(c, bytes.data() + at, k);
            at += k;
            c += k;
            cb -= k;
        }
        return true;
    }
};

// A Unix path as the compatibility layer names it; empty outside it.
std::wstring DosPathOfUnix(const std::string& unix)
{
    typedef WCHAR*(CDECL * DosName)(LPCSTR);
    auto pfn = reinterpret_cast<DosName>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_dos_file_name")));
    WCHAR* pwsz = pfn != nullptr ? pfn(unix.c_str()) : nullptr;
    if (pwsz == nullptr)
        return {};
    std::wstring dos = pwsz;
    HeapFree(GetProcessHeap(), 0, pwsz);
    return dos;
}

// Where Wine keeps the prefix, as a DOS path of the endpoint file; empty
// outside Wine.
std::wstring EndpointDosPath()
{
    char prefix[4096] = {};
    DWORD cch = GetEnvironmentVariableA("WINEPREFIX", prefix, sizeof(prefix));
    std::string unix;
    if (cch > 0 && cch < sizeof(prefix)) {
        unix = prefix;
    } else {
        char home[4096] = {};
        cch = GetEnvironmentVariableA("HOME", home, sizeof(home));
        if (cch == 0 || cch >= sizeof(home))
            return {};
        unix = std::string(home) + "/.wine";
    }
    return DosPathOfUnix(unix + "/" MOUNT_ENDPOINT_FILE);
}

struct MountHandle {
    std::shared_ptr<VaultFiles::File> file;
    uint64_t                          session;
    uint64_t                          seen = 0;   // the content's version as this handle last made or met it
};

// One request as received, and the reply being built.
struct Exchange {
    MOUNT_REQUEST        req = {};
    std::string          path, path2;
    std::vector<uint8_t> data;
    size_t               dataHere = 0;   // a write's bytes come in while it runs (VaultFiles::File::Arrival)
    VaultFiles::File::Arrival arrive;
    MOUNT_REPLY          reply = {};
    std::vector<uint8_t> out;

    void Fail(MountStatus status, const std::string& text)
    {
        reply.status = status;
        out.assign(text.begin(), text.end());
    }
    bool Fail(const FileResult& r)
    {
        if (!r)
            Fail(StatusOf(r.error), r.text);
        return !r;
    }
};

// What one connection has been told by its hello.
struct Peer {
    bool         greeted = false;
    std::wstring vault;     // as the hello named it, without a trailing separator
    std::wstring folder;    // the vault's folder (a drive letter's substitution undone)
    uint64_t     session = 0;
};

}  // namespace

struct MountServer::State {
    VaultFiles&                             files;
    std::function<void(const std::string&)> sink;
    std::string                             secret;
    std::wstring                            endpoint;
    unsigned short                          port = 0;

    std::mutex              mu;          // sockets, threads, sessions, handles, sink
    std::condition_variable cv;
    SOCKET                  listener = INVALID_SOCKET;
    std::thread             acceptor;
    std::set<SOCKET>        sockets;
    int                     threads = 0;
    std::map<uint64_t, int> sessions;    // connections per session
    std::map<uint64_t, MountHandle> handles;
    std::mt19937_64         random{std::random_device{}()};

    explicit State(VaultFiles& f) : files(f) {}

    void Say(const std::string& line)
    {
        std::lock_guard<std::mutex> lock(mu);
        if (sink)
            sink(line);
    }

    // A vault-relative path of the protocol as a DOS path in the vault.
    bool DosPath(const Peer& peer, const std::string& path, std::wstring* pOut, Exchange& x)
    {
        std::wstring w;
        if (path.empty() || path[0] != '/' || path.size() > MOUNT_MAX_PATH || !Wide(path, &w)) {
            x.Fail(MOUNT_BAD_PATH, "not a vault path: \"" + path + "\"");
            return false;
        }
        // Names the Windows side would change or refuse: characters it does
        // not allow, trailing dots and blanks (which it strips).
        size_t start = 1;
        while (start <= w.size()) {
            size_t end = w.find(L'/', start);
            if (end == std::wstring::npos)
                end = w.size();
            const std::wstring name = w.substr(start, end - start);
            if (!name.empty()) {
                bool bBad = name == L"." || name == L".." || name.back() == L'.' || name.back() == L' ' ||
                            std::any_of(name.begin(), name.end(), [](wchar_t c) {
                                return c < 0x20 || wcschr(L"\\:*?\"<>|", c) != nullptr;
                            });
                if (bBad) {
                    x.Fail(MOUNT_BAD_PATH, "a name the vault cannot hold: \"" + Utf8(name) + "\"");
                    return false;
                }
                if (Utf8(name).size() > MOUNT_MAX_NAME) {
                    x.Fail(MOUNT_NAME_TOO_LONG, "a name longer than " + std::to_string(MOUNT_MAX_NAME) + " bytes");
                    return false;
                }
            }
            start = end + 1;
        }
        std::replace(w.begin(), w.end(), L'/', L'\\');
        while (w.size() > 1 && w.back() == L'\\')
            w.pop_back();
        *pOut = peer.folder + (w == L"\\" ? L"" : w);
        if (pOut->size() >= MAX_PATH_CHARS) {
            x.Fail(MOUNT_NAME_TOO_LONG, "a path longer than the driver's requests hold");
            return false;
        }
        return true;
    }

    // Files this session holds open, in one folder or under one path (only
    // those deleted elsewhere, with bDeleted): the kernel asks an open
    // file's attributes by name, so to this session an open file keeps its
    // name, and its attributes, until closed (a vault logged out meanwhile
    // or a name deleted by another session included).
    std::vector<std::shared_ptr<VaultFiles::File>> Held(const Peer& peer, const std::wstring& dos, bool bFolder,
                                                        bool bDeleted)
    {
        std::vector<std::shared_ptr<VaultFiles::File>> held;
        std::lock_guard<std::mutex> lock(mu);
        for (auto& [handle, h] : handles) {
            if (h.session != peer.session || (bDeleted && !h.file->Deleted()))
                continue;
            const VaultPath where = h.file->Where();
            if (FoldKey(bFolder ? where.folder : where.dos) == FoldKey(dos) &&
                std::find(held.begin(), held.end(), h.file) == held.end())
                held.push_back(h.file);
        }
        return held;
    }

    // The open file of a handle of this peer's session.
    std::shared_ptr<VaultFiles::File> Find(const Peer& peer, uint64_t handle, Exchange& x)
    {
        std::lock_guard<std::mutex> lock(mu);
        auto it = handles.find(handle);
        if (it == handles.end() || it->second.session != peer.session) {
            x.Fail(MOUNT_BAD_HANDLE, "no such open file");
            return nullptr;
        }
        return it->second.file;
    }

    uint64_t AddHandle(std::unique_ptr<VaultFiles::File> file, uint64_t session, uint64_t version)
    {
        std::lock_guard<std::mutex> lock(mu);
        uint64_t handle;
        do
            handle = random();
        while (handle == 0 || handles.count(handle));
        handles[handle] = {std::shared_ptr<VaultFiles::File>(std::move(file)), session, version};
        return handle;
    }

    // The version a handle saw last, and what a change through it made of
    // it (0 for good once anyone else changed the content in between: the
    // session's pages may be stale).
    uint64_t Seen(uint64_t handle)
    {
        std::lock_guard<std::mutex> lock(mu);
        auto it = handles.find(handle);
        return it == handles.end() ? 0 : it->second.seen;
    }
    void Saw(uint64_t handle, uint64_t seen)
    {
        std::lock_guard<std::mutex> lock(mu);
        if (auto it = handles.find(handle); it != handles.end())
            it->second.seen = it->second.seen != 0 ? seen : 0;
    }

    void Hello(Peer& peer, Exchange& x);
    void Stat(const Peer& peer, Exchange& x);
    void List(const Peer& peer, Exchange& x);
    void Open(const Peer& peer, Exchange& x);
    void Io(const Peer& peer, Exchange& x);
    void Resize(const Peer& peer, Exchange& x);
    void Close(const Peer& peer, Exchange& x);
    void Rename(const Peer& peer, Exchange& x);
    void Remove(const Peer& peer, Exchange& x);
    void MakeFolder(const Peer& peer, Exchange& x);
    void StatFs(const Peer& peer, Exchange& x);
    void Touch(const Peer& peer, Exchange& x);
    void Sync(const Peer& peer, Exchange& x);

    // Piped connections: watched by the acceptor, ended by Stop (each End
    // outside mu, since a wake may wait for the reader to make room).
    std::set<std::shared_ptr<Link>> piped;

    bool Pipes(const std::string& folder, Link& opened, Exchange& x);
    bool ReadRequest(Link& link, Received& in, Exchange& x);
    void Serve(SOCKET s, const std::vector<uint8_t>& hello);
    bool Launch(SOCKET s, std::vector<uint8_t> hello);
    void Accept();
    void EndSession(uint64_t session);
};

void MountServer::State::Hello(Peer& peer, Exchange& x)
{
    std::wstring vault;
    if (!Wide(x.path, &vault) || vault.empty()) {
        x.Fail(MOUNT_BAD_PATH, "no vault named");
        return;
    }
    while (vault.size() > 2 && (vault.back() == L'\\' || vault.back() == L'/'))
        vault.pop_back();
    VaultPath where;
    if (x.Fail(files.Resolve(vault + L"\\", &where)))
        return;
    if (!where.IsVaultRoot()) {
        x.Fail(MOUNT_BAD_PATH, "\"" + x.path + "\" is inside a vault, not a vault (" + Utf8(where.vault) + ")");
        return;
    }
    // Whether the vault is logged in is each operation's own question: a
    // mount opens connections while it works, and a file open before a
    // logout stays readable through them.
    bool bFirst;
    {
        std::lock_guard<std::mutex> lock(mu);
        if (sessions[x.req.handle] >= (int)MOUNT_MAX_SESSION_LINKS) {
            x.Fail(MOUNT_BAD_REQUEST, "too many connections for one session");
            return;
        }
        bFirst = sessions[x.req.handle]++ == 0;
    }
    peer.greeted = true;
    peer.vault = vault.size() == 2 ? vault : where.vault;
    peer.folder = where.vault;
    peer.session = x.req.handle;
    if (bFirst)
        Say("mount: session " + std::to_string(peer.session) + " begun on " + Utf8(where.vault));
}

// A file's or folder's attributes, as MOUNT_STAT gives them.
static void Describe(MOUNT_REPLY& reply, const VaultFiles::File& file)
{
    reply.kind = MOUNT_KIND_FILE;
    reply.size = file.Size();
    reply.mtimeNs = UnixNs(file.Modified());
}

static void Describe(MOUNT_REPLY& reply, const VaultEntry& entry)
{
    reply.kind = entry.folder ? MOUNT_KIND_FOLDER : MOUNT_KIND_FILE;
    reply.size = entry.size;
    reply.mtimeNs = UnixNs(entry.modified);
}

void MountServer::State::Stat(const Peer& peer, Exchange& x)
{
    if (x.req.handle != 0) {
        if (std::shared_ptr<VaultFiles::File> file = Find(peer, x.req.handle, x))
            Describe(x.reply, *file);
        return;
    }
    std::wstring dos;
    if (!DosPath(peer, x.path, &dos, x)) {
        if (x.reply.status == MOUNT_BAD_PATH)   // a name no stored file can have names nothing
            x.reply.status = MOUNT_NOT_FOUND;
        return;
    }
    // Held open here and still named so: answered as it is, logged out or
    // not; one deleted elsewhere answers only when the name is gone.
    std::shared_ptr<VaultFiles::File> deleted;
    for (const auto& file : Held(peer, dos, false, false)) {
        if (!file->Deleted()) {
            Describe(x.reply, *file);
            return;
        }
        if (!deleted)
            deleted = file;
    }
    VaultEntry entry;
    FileResult r = files.Stat(dos, &entry);
    if (r.error == FileError::NotFound && deleted) {
        Describe(x.reply, *deleted);
        return;
    }
    if (!x.Fail(r))
        Describe(x.reply, entry);
}

void MountServer::State::List(const Peer& peer, Exchange& x)
{
    std::wstring dos;
    std::vector<VaultEntry> entries;
    if (!DosPath(peer, x.path, &dos, x) || x.Fail(files.List(dos, &entries)))
        return;
    for (const auto& file : Held(peer, dos, true, true)) {
        const std::wstring name = file->Name();
        if (std::none_of(entries.begin(), entries.end(), [&](const VaultEntry& e) { return SameText(e.name, name); }))
            entries.push_back({name, false, file->Size(), L"", file->Modified()});
    }
    for (const VaultEntry& e : entries) {
        if (e.name.empty())
            continue;   // a stored file the agent cannot read names nothing
        const std::string name = Utf8(e.name);
        MOUNT_ENTRY m = {e.size, UnixNs(e.modified), e.folder ? MOUNT_KIND_FOLDER : MOUNT_KIND_FILE,
                         (uint32_t)name.size()};
        const uint8_t* p = reinterpret_cast<const uint8_t*>(&m);
        x.out.insert(x.out.end(), p, p + sizeof(m));
        x.out.insert(x.out.end(), name.begin(), name.end());
    }
}

void MountServer::State::Open(const Peer& peer, Exchange& x)
{
    std::wstring dos;
    if (!DosPath(peer, x.path, &dos, x))
        return;
    const bool bCreate = x.req.flags & MOUNT_OPEN_CREATE, bExclusive = x.req.flags & MOUNT_OPEN_EXCLUSIVE;
    std::unique_ptr<VaultFiles::File> file;
    FileResult r = !bCreate ? files.Open(dos, &file) : bExclusive ? files.Create(dos, &file) : files.OpenOrCreate(dos, &file);
    if (x.Fail(r))
        return;
    uint64_t version = file->Version();
    if ((x.req.flags & MOUNT_OPEN_TRUNCATE) && file->Size() != 0 && (x.Fail(file->Resize(0, &version))))
        return;
    Describe(x.reply, *file);
    x.reply.version = version;
    x.reply.handle = AddHandle(std::move(file), peer.session, version);
}

// Reads and writes: only the file's own lock.
void MountServer::State::Io(const Peer& peer, Exchange& x)
{
    std::shared_ptr<VaultFiles::File> file = Find(peer, x.req.handle, x);
    if (!file)
        return;
    if (x.req.op == MOUNT_READ) {
        x.out.resize(std::min<size_t>(x.req.length, MOUNT_MAX_DATA));
        size_t got = 0;
        if (x.Fail(file->Read(x.req.offset, x.out.data(), x.out.size(), &got)))
            return;
        x.out.resize(got);
    } else {
        uint64_t ns = 0;   // MOUNT_WRITE_TOUCH's time
        if (x.req.flags & MOUNT_WRITE_TOUCH) {
            if (x.path2.size() != sizeof(ns)) {
                x.Fail(MOUNT_BAD_REQUEST, "a time of " + std::to_string(x.path2.size()) + " bytes");
                return;
            }
            memcpy(&ns, x.path2.data(), sizeof(ns));
        }
        const FILETIME touch = FileTimeOf(ns);
        VaultFiles::File::Then then;
        then.bRecord = (x.req.flags & MOUNT_WRITE_RECORD) != 0;
        then.pTouch = (x.req.flags & MOUNT_WRITE_TOUCH) ? &touch : nullptr;
        uint64_t seen = Seen(x.req.handle);
        if (x.Fail(file->Write(x.req.offset, x.data.data(), x.data.size(), &seen, x.arrive, &then)))
            return;
        Saw(x.req.handle, seen);
        if (x.Fail(then.result))
            return;
        Describe(x.reply, *file);
        return;
    }
    x.reply.size = file->Size();
}

void MountServer::State::Resize(const Peer& peer, Exchange& x)
{
    std::shared_ptr<VaultFiles::File> file;
    if (x.req.handle != 0) {
        if (!(file = Find(peer, x.req.handle, x)))
            return;
    } else {   // by name: opened for the change
        std::wstring dos;
        std::unique_ptr<VaultFiles::File> opened;
        if (!DosPath(peer, x.path, &dos, x) || x.Fail(files.Open(dos, &opened)))
            return;
        file = std::move(opened);
    }
    uint64_t seen = x.req.handle != 0 ? Seen(x.req.handle) : 0;
    if (!x.Fail(file->Resize(x.req.offset, &seen))) {
        Describe(x.reply, *file);
        if (x.req.handle != 0)
            Saw(x.req.handle, seen);
    }
    if (x.req.handle == 0)
        file->Close();
}

void MountServer::State::Close(const Peer& peer, Exchange& x)
{
    std::shared_ptr<VaultFiles::File> file = Find(peer, x.req.handle, x);
    if (!file)
        return;
    uint64_t seen = 0;
    {
        std::lock_guard<std::mutex> lock(mu);
        seen = handles[x.req.handle].seen;
        handles.erase(x.req.handle);
    }
    x.reply.version = file->Version() == seen ? seen : 0;
    x.Fail(file->Close());
}

void MountServer::State::Rename(const Peer& peer, Exchange& x)
{
    std::wstring fromDos, toDos;
    if (!DosPath(peer, x.path, &fromDos, x) || !DosPath(peer, x.path2, &toDos, x))
        return;
    const auto existing = (x.req.flags & MOUNT_RENAME_NOREPLACE) ? VaultFiles::Existing::Refuse
                                                                 : VaultFiles::Existing::Replace;
    x.Fail(files.Rename(fromDos, toDos, existing));
}

// MOUNT_DELETE (a file) and MOUNT_RMDIR (an empty folder).
void MountServer::State::Remove(const Peer& peer, Exchange& x)
{
    std::wstring dos;
    if (DosPath(peer, x.path, &dos, x))
        x.Fail(x.req.op == MOUNT_DELETE ? files.Delete(dos) : files.RemoveFolder(dos));
}

// Answered with the new folder's attributes, which the mount is asked for next.
void MountServer::State::MakeFolder(const Peer& peer, Exchange& x)
{
    std::wstring dos;
    VaultEntry entry;
    if (DosPath(peer, x.path, &dos, x) && !x.Fail(files.CreateFolder(dos)) && files.Stat(dos, &entry))
        Describe(x.reply, entry);
}

void MountServer::State::StatFs(const Peer& peer, Exchange& x)
{
    ULARGE_INTEGER avail, total, free;
    if (!GetDiskFreeSpaceExW((peer.folder + L"\\").c_str(), &avail, &total, &free)) {
        x.Fail(MOUNT_DISK, "the vault's disk cannot be asked");
        return;
    }
    x.reply.size = avail.QuadPart;
    x.reply.mtimeNs = total.QuadPart;
}

void MountServer::State::Touch(const Peer& peer, Exchange& x)
{
    if (x.req.handle != 0) {
        std::shared_ptr<VaultFiles::File> file = Find(peer, x.req.handle, x);
        if (file && !x.Fail(file->SetTime(FileTimeOf(x.req.offset))))
            Describe(x.reply, *file);
        return;
    }
    std::wstring dos;
    VaultEntry entry;
    if (DosPath(peer, x.path, &dos, x) && !x.Fail(files.SetTime(dos, FileTimeOf(x.req.offset), &entry)))
        Describe(x.reply, entry);
}

void MountServer::State::Sync(const Peer& peer, Exchange& x)
{
    if (x.req.handle != 0) {
        if (std::shared_ptr<VaultFiles::File> file = Find(peer, x.req.handle, x))
            x.Fail((x.req.flags & MOUNT_SYNC_RECORD) ? file->Flush() : file->Sync(x.req.flags & MOUNT_SYNC_DATA_ONLY));
        return;
    }
    std::wstring dos;
    if (DosPath(peer, x.path, &dos, x))
        x.Fail(files.SyncFolder(dos));
}

void MountServer::State::EndSession(uint64_t session)
{
    std::vector<std::shared_ptr<VaultFiles::File>> closing;
    {
        std::lock_guard<std::mutex> lock(mu);
        for (auto it = handles.begin(); it != handles.end();) {
            if (it->second.session == session) {
                closing.push_back(it->second.file);
                it = handles.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (auto& file : closing)
        file->Close();
    Say("mount: session " + std::to_string(session) + " ended; open handles closed with it: " +
        std::to_string(closing.size()));
}

// The FIFOs of MOUNT_PIPES opened into `opened`; false with the failure in x.
bool MountServer::State::Pipes(const std::string& folder, Link& opened, Exchange& x)
{
    const std::wstring dos = folder.empty() || folder[0] != '/' ? std::wstring() : DosPathOfUnix(folder);
    if (dos.empty()) {
        x.Fail(MOUNT_BAD_REQUEST, "no pipes here: \"" + folder + "\" is not a Unix path this process reaches");
        return false;
    }
    auto open = [&](const wchar_t* name, DWORD access) {
        return CreateFileW((dos + L"\\" + name).c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    };
    opened.in = open(L"req", GENERIC_READ);
    opened.wake = open(L"req", FILE_WRITE_DATA | SYNCHRONIZE);
    opened.out = open(L"rep", FILE_WRITE_DATA | SYNCHRONIZE);
    opened.drain = open(L"rep", GENERIC_READ);
    for (HANDLE h : {opened.in, opened.wake, opened.out, opened.drain}) {
        if (h == INVALID_HANDLE_VALUE || GetFileType(h) != FILE_TYPE_PIPE) {
            x.Fail(MOUNT_BAD_REQUEST, "no pipes at \"" + folder + "\"");
            return false;
        }
    }
    return true;
}

// One request off the wire (after the hello); false when the connection is
// to end.
bool MountServer::State::ReadRequest(Link& link, Received& in, Exchange& x)
{
    if (!in.Take(link, &x.req, sizeof(x.req)))
        return false;
    const MOUNT_REQUEST& r = x.req;
    if (r.magic != MOUNT_MAGIC || r.pathBytes > MOUNT_MAX_PATH || r.path2Bytes > MOUNT_MAX_PATH ||
        r.dataBytes > MOUNT_MAX_DATA)
        return false;   // not our protocol: nothing more to read sensibly
    x.path.resize(r.pathBytes);
    x.path2.resize(r.path2Bytes);
    x.data.resize(r.dataBytes);
    if (!in.Take(link, x.path.data(), x.path.size()) || !in.Take(link, x.path2.data(), x.path2.size()))
        return false;
    if (r.op != MOUNT_WRITE)
        return in.Take(link, x.data.data(), x.data.size());
    // A write's bytes are taken as its requests need them, in pieces that
    // keep the socket calls few; what it did not need is taken after it.
    x.arrive = [&in, &x, &link](size_t cb) {
        if (cb <= x.dataHere)
            return FileResult{};
        const size_t want =
            std::min(x.data.size(), std::max(cb, x.dataHere + (x.dataHere == 0 ? kFirstArrival : kArrival)));
        if (!in.Take(link, x.data.data() + x.dataHere, want - x.dataHere))
            return Fail(FileError::BadPath, "the connection ended within the bytes of a write");
        x.dataHere = want;
        return FileResult{};
    };
    return true;
}

// A connection whose hello the acceptor has read whole: the hello, then
// every request, one at a time.
void MountServer::State::Serve(SOCKET s, const std::vector<uint8_t>& hello)
{
    Peer peer;
    Exchange x;
    Received in;
    auto shared = std::make_shared<Link>();
    Link& link = *shared;
    link.s = s;
    std::vector<char> reply;
    memcpy(&x.req, hello.data(), sizeof(x.req));
    x.path.assign(hello.begin() + sizeof(x.req), hello.begin() + sizeof(x.req) + x.req.pathBytes);
    x.data.assign(hello.begin() + sizeof(x.req) + x.req.pathBytes, hello.end());
    for (bool bFirst = true;; bFirst = false) {
        if (!bFirst) {
            x = Exchange();
            if (!ReadRequest(link, in, x))
                break;
        }
        Link pipes;
        const MOUNT_REQUEST& r = x.req;
        x.reply.magic = MOUNT_MAGIC;
        bool bEnd = false;
        if (bFirst) {   // the acceptor checked its secret
            Hello(peer, x);
            bEnd = !peer.greeted;
        } else {
            switch (r.op) {
            case MOUNT_HELLO:  x.Fail(MOUNT_BAD_REQUEST, "a second hello"); break;
            case MOUNT_STAT:   Stat(peer, x); break;
            case MOUNT_LIST:   List(peer, x); break;
            case MOUNT_OPEN:   Open(peer, x); break;
            case MOUNT_READ:
            case MOUNT_WRITE:  Io(peer, x); break;
            case MOUNT_RESIZE: Resize(peer, x); break;
            case MOUNT_CLOSE:  Close(peer, x); break;
            case MOUNT_RENAME: Rename(peer, x); break;
            case MOUNT_DELETE:
            case MOUNT_RMDIR:  Remove(peer, x); break;
            case MOUNT_MKDIR:  MakeFolder(peer, x); break;
            case MOUNT_STATFS: StatFs(peer, x); break;
            case MOUNT_TOUCH:  Touch(peer, x); break;
            case MOUNT_SYNC:   Sync(peer, x); break;
            case MOUNT_PIPES:
                if (link.Piped())
                    x.Fail(MOUNT_BAD_REQUEST, "piped already");
                else
                    Pipes(x.path, pipes, x);
                break;
            default:           x.Fail(MOUNT_BAD_REQUEST, "unknown operation " + std::to_string(r.op));
            }
        }
        if (x.arrive && !x.arrive(x.data.size()))
            break;
        x.reply.dataBytes = (uint32_t)x.out.size();
        // One send for the record and its payload.
        reply.resize(sizeof(x.reply) + x.out.size());
        memcpy(reply.data(), &x.reply, sizeof(x.reply));
        if (!x.out.empty())
            memcpy(reply.data() + sizeof(x.reply), x.out.data(), x.out.size());
        if (!SendAll(link, reply.data(), reply.size()) || bEnd)
            break;
        if (pipes.Piped() && x.reply.status == MOUNT_OK) {   // answered on the socket; the rest through them
            std::swap(link.in, pipes.in);
            std::swap(link.wake, pipes.wake);
            std::swap(link.out, pipes.out);
            std::swap(link.drain, pipes.drain);
            in.at = in.end = 0;
            std::lock_guard<std::mutex> lock(mu);
            if (listener == INVALID_SOCKET)
                break;   // stopping
            piped.insert(shared);
        }
    }
    {
        std::lock_guard<std::mutex> lock(mu);
        piped.erase(shared);
    }
    bool bLast = false;
    if (peer.greeted) {
        std::lock_guard<std::mutex> lock(mu);
        if (--sessions[peer.session] == 0) {
            sessions.erase(peer.session);
            bLast = true;
        }
    }
    if (bLast)
        EndSession(peer.session);
}

// A thread for a connection past its hello; false when none can be had.
bool MountServer::State::Launch(SOCKET s, std::vector<uint8_t> hello)
{
    std::lock_guard<std::mutex> lock(mu);
    if (listener == INVALID_SOCKET || threads >= kMaxConnections)
        return false;
    try {
        std::thread([this, s, hello = std::move(hello)] {
            Serve(s, hello);
            std::lock_guard<std::mutex> lock(mu);
            if (sockets.erase(s))
                closesocket(s);
            threads--;
            cv.notify_all();
        }).detach();
    } catch (const std::exception&) {
        return false;
    }
    sockets.insert(s);
    threads++;
    return true;
}

namespace {

// A connection that has not said hello yet, held by the acceptor alone.
struct Waiting {
    SOCKET               s;
    ULONGLONG            deadline;
    std::vector<uint8_t> got;
};

// The bytes the hello so far read needs in all; 0 when it is no hello.
size_t HelloBytes(const std::vector<uint8_t>& got)
{
    if (got.size() < sizeof(MOUNT_REQUEST))
        return sizeof(MOUNT_REQUEST);
    MOUNT_REQUEST r;
    memcpy(&r, got.data(), sizeof(r));
    if (r.magic != MOUNT_MAGIC || r.op != MOUNT_HELLO || r.pathBytes > MOUNT_MAX_VAULT || r.path2Bytes != 0 ||
        r.dataBytes != MOUNT_SECRET_CHARS)
        return 0;
    return sizeof(r) + r.pathBytes + r.dataBytes;
}

}  // namespace

// Accepts connections and reads their hellos itself, without blocking and
// within MOUNT_HELLO_MS: a connection costs a thread only once its hello is
// whole, and at most kMaxUngreeted wait (a new one ends the oldest), so that
// idle connections neither exhaust the process nor keep a mount out.
void MountServer::State::Accept()
{
    std::deque<Waiting> waiting;
    auto drop = [&](size_t i) {
        closesocket(waiting[i].s);
        waiting.erase(waiting.begin() + i);
    };
    for (;;) {
        SOCKET ls;
        {
            std::lock_guard<std::mutex> lock(mu);
            ls = listener;
        }
        if (ls == INVALID_SOCKET)
            break;
        fd_set set;
        FD_ZERO(&set);
        FD_SET(ls, &set);
        for (const Waiting& w : waiting)
            FD_SET(w.s, &set);
        {   // piped connections: any byte on the socket, or its end, ends them
            std::lock_guard<std::mutex> lock(mu);
            for (const auto& link : piped)
                if (!link->ended && set.fd_count < FD_SETSIZE)
                    FD_SET(link->s, &set);
        }
        const ULONGLONG now = GetTickCount64();
        ULONGLONG wait = 1000;
        for (const Waiting& w : waiting)
            wait = std::min<ULONGLONG>(wait, w.deadline > now ? w.deadline - now : 0);
        timeval tv = {(long)(wait / 1000), (long)(wait % 1000) * 1000};
        if (select(0, &set, NULL, NULL, &tv) < 0) {
            Sleep(10);   // the listener closed (Stop), or a socket ended under us
            continue;
        }
        std::vector<std::shared_ptr<Link>> ending;
        {
            std::lock_guard<std::mutex> lock(mu);
            for (const auto& link : piped)
                if (!link->ended && FD_ISSET(link->s, &set))
                    ending.push_back(link);
        }
        for (const auto& link : ending)
            link->End();
        for (size_t i = waiting.size(); i-- > 0;) {
            Waiting& w = waiting[i];
            if (!FD_ISSET(w.s, &set)) {
                if (GetTickCount64() >= w.deadline)
                    drop(i);
                continue;
            }
            const size_t need = HelloBytes(w.got);
            const size_t at = w.got.size();
            w.got.resize(need);
            const int n = recv(w.s, (char*)w.got.data() + at, (int)(need - at), 0);
            if (n == 0 || (n < 0 && WSAGetLastError() != WSAEWOULDBLOCK)) {
                drop(i);
                continue;
            }
            w.got.resize(at + std::max(n, 0));
            const size_t whole = HelloBytes(w.got);
            if (whole == 0) {
                drop(i);
            } else if (whole == w.got.size() && w.got.size() > sizeof(MOUNT_REQUEST)) {
                // A wrong secret is told once, and the connection ends.
                const std::vector<uint8_t> given(w.got.end() - MOUNT_SECRET_CHARS, w.got.end());
                if (!SameSecret(given, secret)) {
                    const std::string text = "wrong secret: read it from the endpoint file";
                    MOUNT_REPLY reply = {MOUNT_MAGIC, MOUNT_BAD_REQUEST, 0, 0, 0, 0, (uint32_t)text.size()};
                    std::string bytes(reinterpret_cast<const char*>(&reply), sizeof(reply));
                    bytes += text;
                    send(w.s, bytes.data(), (int)bytes.size(), 0);
                    drop(i);
                    continue;
                }
                u_long blocking = 0;
                ioctlsocket(w.s, FIONBIO, &blocking);
                const SOCKET s = w.s;
                std::vector<uint8_t> hello = std::move(w.got);
                waiting.erase(waiting.begin() + i);
                if (!Launch(s, std::move(hello)))
                    closesocket(s);
            }
        }
        if (FD_ISSET(ls, &set)) {
            SOCKET s = accept(ls, NULL, NULL);
            if (s != INVALID_SOCKET) {
                BOOL bNoDelay = TRUE;
                setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&bNoDelay), sizeof(bNoDelay));
                // Room for a whole write, so that its sender never waits for
                // the blocks before: the agent works on them meanwhile.
                int cbRoom = 2 * MOUNT_MAX_DATA;
                setsockopt(s, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&cbRoom), sizeof(cbRoom));
                u_long nonBlocking = 1;
                ioctlsocket(s, FIONBIO, &nonBlocking);
                if (waiting.size() >= (size_t)kMaxUngreeted)
                    drop(0);
                waiting.push_back({s, GetTickCount64() + MOUNT_HELLO_MS, {}});
            }
        }
    }
    for (Waiting& w : waiting)
        closesocket(w.s);
}

MountServer::MountServer(VaultFiles& files) : m_state(std::make_unique<State>(files)) {}

MountServer::~MountServer() { Stop(); }

bool MountServer::Start(std::function<void(const std::string&)> sink, unsigned short port, bool bPublish)
{
    State& st = *m_state;
    if (st.listener != INVALID_SOCKET)
        return false;
    WSADATA wsa;
    if (WSAStartup(MAKEWORD(2, 2), &wsa) != 0)
        return false;
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(port);
    int cb = sizeof(addr);
    if (s == INVALID_SOCKET || bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 ||
        listen(s, SOMAXCONN) != 0 || getsockname(s, reinterpret_cast<sockaddr*>(&addr), &cb) != 0) {
        if (s != INVALID_SOCKET)
            closesocket(s);
        WSACleanup();
        return false;
    }
    std::random_device random;
    char hex[MOUNT_SECRET_CHARS + 1];
    for (unsigned i = 0; i < MOUNT_SECRET_CHARS; i++)
        hex[i] = "0123456789abcdef"[random() & 15];
    hex[MOUNT_SECRET_CHARS] = 0;
    st.secret = hex;
    st.port = ntohs(addr.sin_port);
    st.sink = std::move(sink);
    st.listener = s;
    st.endpoint = bPublish ? EndpointDosPath() : std::wstring();
    if (!st.endpoint.empty()) {
        // Made owner-only as it is created: no moment in which another user
        // could read the secret.
        PSECURITY_DESCRIPTOR pSd = OwnerOnlyDescriptor(L"FRFW");
        SECURITY_ATTRIBUTES sa = {sizeof(sa), pSd, FALSE};
        DeleteFileW(st.endpoint.c_str());   // an old file keeps its own permissions
        HANDLE h = pSd == NULL ? INVALID_HANDLE_VALUE
                               : CreateFileW(st.endpoint.c_str(), GENERIC_WRITE, 0, &sa, CREATE_NEW,
                                             FILE_ATTRIBUTE_NORMAL, NULL);
        if (pSd != NULL)
            LocalFree(pSd);
        char line[128];
        int n = snprintf(line, sizeof(line), "vaultfs 1 %u %s\n", (unsigned)st.port, hex);
        DWORD done = 0;
        bool bOk = h != INVALID_HANDLE_VALUE && WriteFile(h, line, (DWORD)n, &done, NULL) && done == (DWORD)n;
        if (h != INVALID_HANDLE_VALUE)
            CloseHandle(h);
        if (!bOk)
            st.endpoint.clear();
    }
    st.acceptor = std::thread([&st] { st.Accept(); });
    return true;
}

void MountServer::Stop()
{
    State& st = *m_state;
    std::vector<std::shared_ptr<Link>> ending;
    {
        std::unique_lock<std::mutex> lock(st.mu);
        if (st.listener == INVALID_SOCKET)
            return;
        closesocket(st.listener);
        st.listener = INVALID_SOCKET;
        for (SOCKET s : st.sockets) {
            shutdown(s, SD_BOTH);
            closesocket(s);
        }
        st.sockets.clear();
        ending.assign(st.piped.begin(), st.piped.end());
    }
    for (const auto& link : ending)
        link->End();
    st.acceptor.join();
    {
        std::unique_lock<std::mutex> lock(st.mu);
        st.cv.wait_for(lock, std::chrono::milliseconds(kStopWaitMs), [&] { return st.threads == 0; });
    }
    std::map<uint64_t, MountHandle> left;
    {
        std::lock_guard<std::mutex> lock(st.mu);
        left.swap(st.handles);
    }
    for (auto& [handle, h] : left)
        h.file->Close();
    if (!st.endpoint.empty())
        DeleteFileW(st.endpoint.c_str());
    st.endpoint.clear();
    WSACleanup();
}

unsigned short MountServer::Port() const { return m_state->port; }

std::string MountServer::Secret() const { return m_state->secret; }

std::wstring MountServer::EndpointPath() const { return m_state->endpoint; }

size_t MountServer::OpenFiles() const { return m_state->files.OpenFiles(); }

}  // namespace driversim
