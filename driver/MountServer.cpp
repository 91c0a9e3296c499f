// The mount protocol's serving side: one thread per vaultfs connection,
// every request carried out with VaultFiles.
//
// Locks: `names` is taken exclusively by everything that changes which
// files exist or are open (open, close, rename, delete, folders), so that
// two creations of one name cannot both succeed and a rename sees every
// open file it moves; status and listings read the disk without it. Each
// open file has an `io` lock: shared by reads, exclusive for writes, size
// changes and moves. A thread holds at most one io lock, except a rename,
// which holds `names` first.
#include <winsock2.h>
#include <ws2tcpip.h>

#include "MountServer.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <map>
#include <random>
#include <set>
#include <shared_mutex>
#include <thread>
#include <vector>

#include "MountWire.h"
#include "StoredFiles.h"
#include "Text.h"

namespace driversim {

namespace {

constexpr DWORD kStopWaitMs = 10000;

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
    }
    return MOUNT_DISK;
}

bool SendAll(SOCKET s, const void* p, size_t cb)
{
    const char* c = static_cast<const char*>(p);
    while (cb > 0) {
        int n = send(s, c, (int)std::min<size_t>(cb, 1 << 20), 0);
        if (n <= 0)
            return false;
        c += n;
        cb -= n;
    }
    return true;
}

bool RecvAll(SOCKET s, void* p, size_t cb)
{
    char* c = static_cast<char*>(p);
    while (cb > 0) {
        int n = recv(s, c, (int)std::min<size_t>(cb, 1 << 20), 0);
        if (n <= 0)
            return false;
        c += n;
        cb -= n;
    }
    return true;
}

// Where Wine keeps the prefix, as a DOS path of the endpoint file; empty
// outside Wine.
std::wstring EndpointDosPath()
{
    typedef WCHAR*(CDECL * DosName)(LPCSTR);
    auto pfn = reinterpret_cast<DosName>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_dos_file_name")));
    if (pfn == nullptr)
        return {};
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
    WCHAR* pwsz = pfn((unix + "/" MOUNT_ENDPOINT_FILE).c_str());
    if (pwsz == nullptr)
        return {};
    std::wstring dos = pwsz;
    HeapFree(GetProcessHeap(), 0, pwsz);
    return dos;
}

struct OpenFile {
    std::shared_mutex                 io;
    std::unique_ptr<VaultFiles::File> file;
    std::wstring                      key;       // under names
    int                               refs = 0;  // under names
};
using OpenFilePtr = std::shared_ptr<OpenFile>;

struct MountHandle {
    OpenFilePtr open;
    uint64_t    session;
};

// One request as received, and the reply being built.
struct Exchange {
    MOUNT_REQUEST        req = {};
    std::string          path, path2;
    std::vector<uint8_t> data;
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

    std::mutex              mu;          // sockets, threads, sessions, sink
    std::condition_variable cv;
    SOCKET                  listener = INVALID_SOCKET;
    std::thread             acceptor;
    std::set<SOCKET>        sockets;
    int                     threads = 0;
    std::map<uint64_t, int> sessions;    // connections per session

    std::shared_mutex                    names;
    std::map<uint64_t, MountHandle>           handles;   // under names
    std::map<std::wstring, OpenFilePtr>  byKey;     // under names
    uint64_t                             nextHandle = 1;

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
        *pOut = peer.vault + (w == L"\\" ? L"\\" : w);
        if (pOut->size() >= MAX_PATH_CHARS) {
            x.Fail(MOUNT_NAME_TOO_LONG, "a path longer than the driver's requests hold");
            return false;
        }
        return true;
    }

    bool Resolve(const std::wstring& dos, VaultPath* pWhere, Exchange& x)
    {
        return !x.Fail(files.Resolve(dos, pWhere));
    }

    OpenFilePtr Find(uint64_t handle)
    {
        std::shared_lock<std::shared_mutex> lock(names);
        auto it = handles.find(handle);
        return it == handles.end() ? nullptr : it->second.open;
    }

    // Under names: one handle fewer on an open file; the last closes it.
    FileResult Release(std::map<uint64_t, MountHandle>::iterator it)
    {
        OpenFilePtr open = it->second.open;
        handles.erase(it);
        if (--open->refs > 0)
            return {};
        byKey.erase(open->key);
        std::unique_lock<std::shared_mutex> io(open->io);
        return open->file->Close();
    }

    void Hello(Peer& peer, Exchange& x);
    void Stat(const Peer& peer, Exchange& x);
    void List(const Peer& peer, Exchange& x);
    void Open(const Peer& peer, Exchange& x);
    void Io(Exchange& x);
    void Resize(const Peer& peer, Exchange& x);
    void Close(Exchange& x);
    void Rename(const Peer& peer, Exchange& x);
    void Remove(const Peer& peer, Exchange& x);
    void MakeFolder(const Peer& peer, Exchange& x);
    void StatFs(const Peer& peer, Exchange& x);
    void Touch(const Peer& peer, Exchange& x);

    void Serve(SOCKET s);
    void Accept();
    void EndSession(uint64_t session);
};

void MountServer::State::Hello(Peer& peer, Exchange& x)
{
    const std::string given(x.data.begin(), x.data.end());
    std::wstring vault;
    if (given != secret) {
        x.Fail(MOUNT_BAD_REQUEST, "wrong secret: read it from the endpoint file");
        return;
    }
    if (!Wide(x.path, &vault) || vault.empty()) {
        x.Fail(MOUNT_BAD_PATH, "no vault named");
        return;
    }
    while (vault.size() > 2 && (vault.back() == L'\\' || vault.back() == L'/'))
        vault.pop_back();
    VaultPath where;
    if (!Resolve(vault + L"\\", &where, x))
        return;
    if (!where.IsVaultRoot()) {
        x.Fail(MOUNT_BAD_PATH, "\"" + x.path + "\" is inside a vault, not a vault (" + Utf8(where.vault) + ")");
        return;
    }
    if (x.Fail(files.Authenticate(where)))
        return;
    peer.greeted = true;
    peer.vault = vault.size() == 2 ? vault : where.vault;
    peer.folder = where.vault;
    peer.session = x.req.handle;
    bool bFirst;
    {
        std::lock_guard<std::mutex> lock(mu);
        bFirst = sessions[peer.session]++ == 0;
    }
    if (bFirst)
        Say("mount: session " + std::to_string(peer.session) + " begun on " + Utf8(where.vault));
}

void MountServer::State::Stat(const Peer& peer, Exchange& x)
{
    std::wstring dos;
    VaultPath where;
    if (!DosPath(peer, x.path, &dos, x)) {
        if (x.reply.status == MOUNT_BAD_PATH)   // a name no stored file can have names nothing
            x.reply.status = MOUNT_NOT_FOUND;
        return;
    }
    if (!Resolve(dos, &where, x))
        return;
    OpenFilePtr open;
    {
        std::shared_lock<std::shared_mutex> lock(names);
        auto it = byKey.find(FoldKey(where.dos));
        if (it != byKey.end())
            open = it->second;
    }
    if (open) {   // its size is the one kept here
        std::shared_lock<std::shared_mutex> io(open->io);
        WIN32_FILE_ATTRIBUTE_DATA data;
        x.reply.kind = MOUNT_KIND_FILE;
        x.reply.size = open->file->Size();
        if (GetFileAttributesExW(open->file->DataPath().c_str(), GetFileExInfoStandard, &data))
            x.reply.mtimeNs = UnixNs(data.ftLastWriteTime);
        return;
    }
    VaultEntry entry;
    if (x.Fail(files.Stat(dos, &entry)))
        return;
    x.reply.kind = entry.folder ? MOUNT_KIND_FOLDER : MOUNT_KIND_FILE;
    x.reply.size = entry.size;
    x.reply.mtimeNs = UnixNs(entry.modified);
}

void MountServer::State::List(const Peer& peer, Exchange& x)
{
    std::wstring dos;
    VaultPath where;
    if (!DosPath(peer, x.path, &dos, x) || !Resolve(dos, &where, x))
        return;
    if (!IsFolder(where.dos)) {
        x.Fail(!Exists(where.dos) ? MOUNT_NOT_FOUND : MOUNT_NOT_FOLDER, "not a folder");
        return;
    }
    std::vector<VaultEntry> entries;
    if (x.Fail(files.List(dos, &entries)))
        return;
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
    VaultPath where;
    if (!DosPath(peer, x.path, &dos, x) || !Resolve(dos, &where, x))
        return;
    if (where.IsVaultRoot() || IsFolder(where.dos)) {
        x.Fail(MOUNT_IS_FOLDER, "a folder");
        return;
    }
    const bool bCreate = x.req.flags & MOUNT_OPEN_CREATE, bExclusive = x.req.flags & MOUNT_OPEN_EXCLUSIVE;
    std::unique_lock<std::shared_mutex> lock(names);
    const std::wstring key = FoldKey(where.dos);
    OpenFilePtr open;
    if (auto it = byKey.find(key); it != byKey.end()) {
        if (bCreate && bExclusive) {
            x.Fail(MOUNT_EXISTS, "exists");
            return;
        }
        if (x.Fail(files.Authenticate(where)))   // a logged-out vault opens nothing new
            return;
        open = it->second;
    } else {
        std::unique_ptr<VaultFiles::File> file;
        FileResult r = !bCreate ? files.Open(dos, &file)
                       : bExclusive ? files.Create(dos, &file)
                                    : files.OpenOrCreate(dos, &file);
        if (x.Fail(r))
            return;
        open = std::make_shared<OpenFile>();
        open->file = std::move(file);
        open->key = key;
        byKey[key] = open;
    }
    open->refs++;
    const uint64_t handle = nextHandle++;
    handles[handle] = {open, peer.session};
    if (x.req.flags & MOUNT_OPEN_TRUNCATE) {
        std::unique_lock<std::shared_mutex> io(open->io);
        if (open->file->Size() != 0 && x.Fail(open->file->Resize(0))) {
            io.unlock();
            Release(handles.find(handle));
            return;
        }
    }
    x.reply.handle = handle;
    x.reply.size = open->file->Size();
}

// Reads and writes: only the file's own lock.
void MountServer::State::Io(Exchange& x)
{
    OpenFilePtr open = Find(x.req.handle);
    if (!open) {
        x.Fail(MOUNT_BAD_HANDLE, "no such open file");
        return;
    }
    if (x.req.op == MOUNT_READ) {
        std::shared_lock<std::shared_mutex> io(open->io);
        x.out.resize(std::min<size_t>(x.req.length, MOUNT_MAX_DATA));
        size_t got = 0;
        if (x.Fail(open->file->Read(x.req.offset, x.out.data(), x.out.size(), &got)))
            return;
        x.out.resize(got);
        x.reply.size = open->file->Size();
        return;
    }
    std::unique_lock<std::shared_mutex> io(open->io);
    if (x.Fail(open->file->Write(x.req.offset, x.data.data(), x.data.size())))
        return;
    x.reply.size = open->file->Size();
}

void MountServer::State::Resize(const Peer& peer, Exchange& x)
{
    if (x.req.handle != 0) {
        OpenFilePtr open = Find(x.req.handle);
        if (!open) {
            x.Fail(MOUNT_BAD_HANDLE, "no such open file");
            return;
        }
        std::unique_lock<std::shared_mutex> io(open->io);
        if (!x.Fail(open->file->Resize(x.req.offset)))
            x.reply.size = open->file->Size();
        return;
    }
    // By name: opened for the change, as a handle of its own.
    Exchange opening;
    opening.req.op = MOUNT_OPEN;
    opening.path = x.path;
    Open(peer, opening);
    if (opening.reply.status != MOUNT_OK) {
        x.reply = opening.reply;
        x.out = opening.out;
        return;
    }
    x.req.handle = opening.reply.handle;
    Resize(peer, x);
    x.reply.handle = 0;
    std::unique_lock<std::shared_mutex> lock(names);
    FileResult closed = Release(handles.find(opening.reply.handle));
    if (x.reply.status == MOUNT_OK)
        x.Fail(closed);
}

void MountServer::State::Close(Exchange& x)
{
    std::unique_lock<std::shared_mutex> lock(names);
    auto it = handles.find(x.req.handle);
    if (it == handles.end()) {
        x.Fail(MOUNT_BAD_HANDLE, "no such open file");
        return;
    }
    x.Fail(Release(it));
}

void MountServer::State::Rename(const Peer& peer, Exchange& x)
{
    std::wstring fromDos, toDos;
    VaultPath from, to;
    if (!DosPath(peer, x.path, &fromDos, x) || !DosPath(peer, x.path2, &toDos, x) ||
        !Resolve(fromDos, &from, x) || !Resolve(toDos, &to, x))
        return;
    if (from.IsVaultRoot() || to.IsVaultRoot()) {
        x.Fail(MOUNT_BAD_PATH, "the vault folder itself");
        return;
    }
    std::unique_lock<std::shared_mutex> lock(names);
    VaultEntry source, target;
    if (x.Fail(files.Stat(from.dos, &source)))
        return;
    const bool bSame = FoldKey(from.dos) == FoldKey(to.dos);   // only the letters' case changes
    FileResult there = bSame ? FileResult::Fail(FileError::NotFound, "") : files.Stat(to.dos, &target);
    if (!there && there.error != FileError::NotFound) {
        x.Fail(there);
        return;
    }
    if (there) {
        // POSIX replaces the target: a file by a file, an empty folder by a folder.
        if (x.req.flags & MOUNT_RENAME_NOREPLACE) {
            x.Fail(MOUNT_EXISTS, "the target exists");
            return;
        }
        if (source.folder && !target.folder) {
            x.Fail(MOUNT_NOT_FOLDER, "a folder cannot replace a file");
            return;
        }
        if (!source.folder && target.folder) {
            x.Fail(MOUNT_IS_FOLDER, "a file cannot replace a folder");
            return;
        }
        if (target.folder && !FolderEmpty(to.dos)) {
            x.Fail(MOUNT_NOT_EMPTY, "the target folder is not empty");
            return;
        }
        if (x.Fail(target.folder ? files.DeleteFolder(to.dos) : files.Delete(to.dos)))
            return;
    }
    if (source.folder) {
        const std::wstring fromKey = FoldKey(from.dos), toKey = FoldKey(to.dos);
        if (toKey.size() > fromKey.size() && toKey.compare(0, fromKey.size(), fromKey) == 0 &&
            toKey[fromKey.size()] == L'\\') {
            x.Fail(MOUNT_BAD_PATH, "a folder cannot move into itself");
            return;
        }
    }
    // The open files it moves: the file itself, or everything inside the folder.
    const std::wstring fromKey = FoldKey(from.dos);
    std::vector<OpenFilePtr> moving;
    for (auto& [key, open] : byKey)
        if (key == fromKey || (source.folder && key.compare(0, fromKey.size() + 1, fromKey + L"\\") == 0))
            moving.push_back(open);
    std::vector<std::unique_lock<std::shared_mutex>> ios;
    std::vector<VaultFiles::File*> openFiles;
    for (const OpenFilePtr& open : moving) {
        ios.emplace_back(open->io);
        openFiles.push_back(open->file.get());
    }
    if (x.Fail(files.Rename(from.dos, to.dos, openFiles)))
        return;
    const std::wstring toKey = FoldKey(to.dos);
    for (const OpenFilePtr& open : moving) {
        byKey.erase(open->key);
        open->key = toKey + open->key.substr(fromKey.size());
        byKey[open->key] = open;
    }
}

// MOUNT_DELETE (a file) and MOUNT_RMDIR (an empty folder).
void MountServer::State::Remove(const Peer& peer, Exchange& x)
{
    std::wstring dos;
    VaultPath where;
    if (!DosPath(peer, x.path, &dos, x) || !Resolve(dos, &where, x))
        return;
    std::unique_lock<std::shared_mutex> lock(names);
    const bool bFolder = where.IsVaultRoot() || IsFolder(where.dos);
    if (x.req.op == MOUNT_DELETE) {
        if (bFolder)
            x.Fail(MOUNT_IS_FOLDER, "a folder");
        else
            x.Fail(files.Delete(dos));
        return;
    }
    if (!bFolder) {
        VaultEntry entry;
        if (!x.Fail(files.Stat(dos, &entry)))
            x.Fail(MOUNT_NOT_FOLDER, "a file");
    } else if (where.IsVaultRoot()) {
        x.Fail(MOUNT_BAD_PATH, "the vault folder itself");
    } else if (!FolderEmpty(where.dos)) {
        x.Fail(MOUNT_NOT_EMPTY, "not empty");
    } else {
        x.Fail(files.DeleteFolder(dos));
    }
}

void MountServer::State::MakeFolder(const Peer& peer, Exchange& x)
{
    std::wstring dos;
    if (!DosPath(peer, x.path, &dos, x))
        return;
    std::unique_lock<std::shared_mutex> lock(names);
    x.Fail(files.CreateFolder(dos));
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

// Sets a modification time: the data file's, or the folder's.
void MountServer::State::Touch(const Peer& peer, Exchange& x)
{
    std::wstring dos;
    VaultPath where;
    if (!DosPath(peer, x.path, &dos, x) || !Resolve(dos, &where, x))
        return;
    std::wstring target;
    {
        std::shared_lock<std::shared_mutex> lock(names);
        if (auto it = byKey.find(FoldKey(where.dos)); it != byKey.end())
            target = it->second->file->DataPath();
    }
    VaultEntry entry;
    if (target.empty()) {
        if (x.Fail(files.Stat(dos, &entry)))
            return;
        target = entry.folder ? where.dos : where.folder + L"\\" + entry.stem + L".tmp";
    }
    HANDLE h = CreateFileW(target.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           NULL, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, NULL);
    const FILETIME ft = FileTimeOf(x.req.offset);
    if (h == INVALID_HANDLE_VALUE || !SetFileTime(h, NULL, &ft, &ft))
        x.Fail(MOUNT_DISK, "cannot set the time of the stored file");
    if (h != INVALID_HANDLE_VALUE)
        CloseHandle(h);
}

void MountServer::State::EndSession(uint64_t session)
{
    size_t closed = 0;
    {
        std::unique_lock<std::shared_mutex> lock(names);
        for (auto it = handles.begin(); it != handles.end();) {
            auto next = std::next(it);
            if (it->second.session == session) {
                Release(it);
                closed++;
            }
            it = next;
        }
    }
    Say("mount: session " + std::to_string(session) + " ended; open handles closed with it: " +
        std::to_string(closed));
}

void MountServer::State::Serve(SOCKET s)
{
    Peer peer;
    Exchange x;
    for (;;) {
        x = Exchange();
        if (!RecvAll(s, &x.req, sizeof(x.req)))
            break;
        const MOUNT_REQUEST& r = x.req;
        if (r.magic != MOUNT_MAGIC || r.pathBytes > MOUNT_MAX_PATH || r.path2Bytes > MOUNT_MAX_PATH ||
            r.dataBytes > MOUNT_MAX_DATA)
            break;   // not our protocol: nothing more to read sensibly
        x.path.resize(r.pathBytes);
        x.path2.resize(r.path2Bytes);
        x.data.resize(r.dataBytes);
        if (!RecvAll(s, x.path.data(), x.path.size()) || !RecvAll(s, x.path2.data(), x.path2.size()) ||
            !RecvAll(s, x.data.data(), x.data.size()))
            break;
        x.reply.magic = MOUNT_MAGIC;
        if (r.op == MOUNT_HELLO) {
            if (peer.greeted)
                x.Fail(MOUNT_BAD_REQUEST, "a second hello");
            else
                Hello(peer, x);
        } else if (!peer.greeted) {
            x.Fail(MOUNT_BAD_REQUEST, "no hello yet");
        } else {
            switch (r.op) {
            case MOUNT_STAT:   Stat(peer, x); break;
            case MOUNT_LIST:   List(peer, x); break;
            case MOUNT_OPEN:   Open(peer, x); break;
            case MOUNT_READ:
            case MOUNT_WRITE:  Io(x); break;
            case MOUNT_RESIZE: Resize(peer, x); break;
            case MOUNT_CLOSE:  Close(x); break;
            case MOUNT_RENAME: Rename(peer, x); break;
            case MOUNT_DELETE:
            case MOUNT_RMDIR:  Remove(peer, x); break;
            case MOUNT_MKDIR:  MakeFolder(peer, x); break;
            case MOUNT_STATFS: StatFs(peer, x); break;
            case MOUNT_TOUCH:  Touch(peer, x); break;
            default:           x.Fail(MOUNT_BAD_REQUEST, "unknown operation " + std::to_string(r.op));
            }
        }
        x.reply.dataBytes = (uint32_t)x.out.size();
        if (!SendAll(s, &x.reply, sizeof(x.reply)) || !SendAll(s, x.out.data(), x.out.size()))
            break;
    }
    bool bLast = false;
    {
        std::lock_guard<std::mutex> lock(mu);
        if (peer.greeted && --sessions[peer.session] == 0) {
            sessions.erase(peer.session);
            bLast = true;
        }
    }
    if (bLast)
        EndSession(peer.session);
}

void MountServer::State::Accept()
{
    for (;;) {
        SOCKET s = accept(listener, NULL, NULL);
        if (s == INVALID_SOCKET)
            break;
        BOOL bNoDelay = TRUE;
        setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&bNoDelay), sizeof(bNoDelay));
        std::lock_guard<std::mutex> lock(mu);
        if (listener == INVALID_SOCKET) {
            closesocket(s);
            break;
        }
        sockets.insert(s);
        threads++;
        std::thread([this, s] {
            Serve(s);
            std::lock_guard<std::mutex> lock(mu);
            if (sockets.erase(s))
                closesocket(s);
            threads--;
            cv.notify_all();
        }).detach();
    }
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
        HANDLE h = CreateFileW(st.endpoint.c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
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
    }
    st.acceptor.join();
    {
        std::unique_lock<std::mutex> lock(st.mu);
        st.cv.wait_for(lock, std::chrono::milliseconds(kStopWaitMs), [&] { return st.threads == 0; });
    }
    {
        std::unique_lock<std::shared_mutex> lock(st.names);
        while (!st.handles.empty())
            st.Release(st.handles.begin());
    }
    if (!st.endpoint.empty())
        DeleteFileW(st.endpoint.c_str());
    st.endpoint.clear();
    WSACleanup();
}

unsigned short MountServer::Port() const { return m_state->port; }

std::string MountServer::Secret() const { return m_state->secret; }

std::wstring MountServer::EndpointPath() const { return m_state->endpoint; }

size_t MountServer::OpenFiles() const
{
    std::shared_lock<std::shared_mutex> lock(m_state->names);
    return m_state->byKey.size();
}

}  // namespace driversim
