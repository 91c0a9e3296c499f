// The driver simulator: hosts the filter port's pipe (standins/port/PortPipe.h)
// and plays the Vault Filter's side of it.
//
// Threads: one listener keeps two pipe instances waiting for clients; each
// connected instance (a channel) gets a thread of its own that reads its
// hello, then its replies or control messages. Only the thread that owns an
// instance closes it; others write to it under its shared lock and ask the
// owner to close it by setting its kill event. Every wait is bounded, or
// ended by a kill or stop event that Unload sets.
#include "DriverSim.h"

#include <sddl.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <mutex>   // std::lock_guard and std::unique_lock, over Lock
#include <new>

#include "Access.h"
#include "PortPipe.h"
#include "Text.h"

namespace driversim {

namespace {

constexpr DWORD kHelloWaitMs    = 5000;    // from connection to hello
constexpr DWORD kRefusedWaitMs  = 2000;    // for the client to close after a refusal
constexpr DWORD kWriteWaitMs    = 10000;   // one message written, or a slot found
constexpr DWORD kSlotPollMs     = 5;       // a sender without a free slot looks again
constexpr DWORD kThreadsWaitMs  = 10000;   // Unload: every thread ended
constexpr DWORD kHostedProbeMs  = 200;     // Load: is the pipe already hosted?
constexpr size_t kMaxMessage    = 1 << 20;
constexpr size_t kListeners     = 2;

std::wstring PipeName(const wchar_t* pwszPort)
{
    if (*pwszPort == L'\\')
        pwszPort++;
    return std::wstring(PORT_PIPE_PREFIX) + pwszPort;
}

// The context for a log line: as text when it is printable, else in hex.
std::string Printable(const std::string& bytes)
{
    bool bText = std::all_of(bytes.begin(), bytes.end(),
                             [](char c) { return c >= 0x20 && c < 0x7F; });
    if (bText)
        return "\"" + bytes + "\"";
    std::string hex;
    for (size_t i = 0; i < bytes.size() && i < 32; i++)
        hex += Format("%02X", (unsigned char)bytes[i]);
    return Format("%u bytes 0x", (unsigned)bytes.size()) + hex + (bytes.size() > 32 ? "..." : "");
}

std::string Narrow(const std::wstring& w)
{
    std::string s;
    int cb = WideCharToMultiByte(CP_UTF8, 0, w.c_str(), (int)w.size(), NULL, 0, NULL, NULL);
    s.resize(cb);
    WideCharToMultiByte(CP_UTF8, 0, w.c_str(), (int)w.size(), s.data(), cb, NULL, NULL);
    return s;
}

std::wstring Slot(const WCHAR* pwsz, size_t cch) { return std::wstring(pwsz, wcsnlen(pwsz, cch)); }

bool SamePath(const std::wstring& a, const std::wstring& b)
{
    return CompareStringOrdinal(a.c_str(), (int)a.size(), b.c_str(), (int)b.size(), TRUE) == CSTR_EQUAL;
}

// The shared path is offered unless the environment has VUZ_PORT_PATH=pipes,
// so that the whole suite can be run over the pipes alone.
bool OfferedByDefault()
{
    wchar_t wsz[16];
    DWORD cch = GetEnvironmentVariableW(L"VUZ_PORT_PATH", wsz, 16);
    return !(cch > 0 && cch < 16 && _wcsicmp(wsz, L"pipes") == 0);
}

// Each thread's event for its own transfers, made once: requests and
// replies are the hot path, and an event per transfer costs as much as the
// transfer under the compatibility layer.
static HANDLE ThreadEvent()
{
    struct Holder {
        HANDLE h = CreateEventW(NULL, TRUE, FALSE, NULL);
        ~Holder() { if (h != NULL) CloseHandle(h); }
    };
    thread_local Holder holder;
    return holder.h;
}

// The system's slim lock and condition variables. Under this toolchain
// std::mutex and std::condition_variable are kernel objects (a condition
// variable makes two semaphores), so every wait on them, and every Await's
// own condition variable, cost several server calls per request; these wait
// inside the process.
class Lock {
public:
    void lock() { AcquireSRWLockExclusive(&m_srw); }
    void unlock() { ReleaseSRWLockExclusive(&m_srw); }

    // With the lock held: waits on cv until pred() holds or dwTimeoutMs
    // (INFINITE allowed) has passed; returns pred().
    template <typename Pred>
    bool Wait(CONDITION_VARIABLE& cv, DWORD dwTimeoutMs, Pred pred)
    {
        const ULONGLONG end = GetTickCount64() + dwTimeoutMs;
        while (!pred()) {
            DWORD dwLeft = INFINITE;
            if (dwTimeoutMs != INFINITE) {
                ULONGLONG now = GetTickCount64();
                if (now >= end)
                    return false;
                dwLeft = (DWORD)(end - now);
            }
            SleepConditionVariableSRW(&cv, &m_srw, dwLeft, 0);
        }
        return true;
    }

private:
    SRWLOCK m_srw = SRWLOCK_INIT;
};

using Guard = std::lock_guard<Lock>;

// One server end of the pipe.
struct Instance {
    HANDLE  h;
    HANDLE  hKill;              // set: the owner cancels its I/O and closes h
    SRWLOCK use = SRWLOCK_INIT; // shared around others' I/O, exclusive to close
    bool    closed = false;

    explicit Instance(HANDLE hPipe) : h(hPipe), hKill(CreateEventW(NULL, TRUE, FALSE, NULL)) {}
    ~Instance()
    {
        Close();
        if (hKill != NULL)
            CloseHandle(hKill);
    }

    void Close()
    {
        AcquireSRWLockExclusive(&use);
        if (!closed)
            CloseHandle(h);
        closed = true;
        ReleaseSRWLockExclusive(&use);
    }

    // One overlapped read or write, waited for until done, killed or timed out.
    DWORD Transfer(bool bWrite, void* p, DWORD cb, DWORD* pcbDone, DWORD dwTimeoutMs)
    {
        HANDLE hEvent = ThreadEvent();
        if (hEvent == NULL)
            return GetLastError();
        return WaitedTransfer(h, bWrite, p, cb, pcbDone, hEvent, hKill, dwTimeoutMs);
    }

    // Writes one message; any thread.
    DWORD Write(const void* p, DWORD cb)
    {
        AcquireSRWLockShared(&use);
        DWORD dwError = ERROR_BROKEN_PIPE, cbDone = 0;
        if (!closed)
            dwError = Transfer(true, const_cast<void*>(p), cb, &cbDone, kWriteWaitMs);
        ReleaseSRWLockShared(&use);
        return dwError == 0 && cbDone != cb ? ERROR_WRITE_FAULT : dwError;
    }

    // Reads one whole message; the owner only. A message beyond kMaxMessage
    // is read to its end and dropped: ERROR_BUFFER_OVERFLOW.
    DWORD Read(std::vector<uint8_t>* pMessage, DWORD dwTimeoutMs)
    {
        pMessage->resize(PORT_PIPE_BUFFER);
        size_t cbHave = 0;
        bool bOverflow = false;
        for (;;) {
            DWORD cb = 0;
            DWORD dwError = Transfer(false, pMessage->data() + cbHave,
                                     (DWORD)(pMessage->size() - cbHave), &cb, dwTimeoutMs);
            cbHave += cb;
            if (dwError != ERROR_MORE_DATA) {
                pMessage->resize(bOverflow ? 0 : cbHave);
                return bOverflow && dwError == 0 ? ERROR_BUFFER_OVERFLOW : dwError;
            }
            if (pMessage->size() >= kMaxMessage) {
                bOverflow = true;
                cbHave = 0;
            } else {
                pMessage->resize(pMessage->size() * 2);
            }
        }
    }

    // Whether the client end is still open; any thread, without waiting:
    // an instance that is being closed is not open.
    bool ClientOpen()
    {
        if (!TryAcquireSRWLockShared(&use))
            return false;
        DWORD cbAvail = 0;
        bool bOpen = !closed && (PeekNamedPipe(h, NULL, 0, NULL, &cbAvail, NULL) ||
                                 GetLastError() != ERROR_BROKEN_PIPE);
        ReleaseSRWLockShared(&use);
        return bOpen;
    }
};

using InstancePtr = std::shared_ptr<Instance>;

// The driver's side of a connection's shared path (standins/port/
// SharedPath.md): the section that the client made, mapped here, and the
// events it handed over.
struct Section {
    PORT_SHARED_SETUP   geo = {};
    HANDLE              hSection = NULL;
    BYTE*               pView = nullptr;
    PORT_SHARED_HEADER* pHeader = nullptr;
    HANDLE              hRequestEvent = NULL;
    HANDLE              hReplyEvents[PORT_SHARED_MAX_SLOTS] = {};
    // One sender at a time fills a slot and puts it in the ring, so that
    // the ring holds the requests in the order of their MessageIds.
    Lock                sendLock;
    DWORD               dwPosted = 0;   // under sendLock
    DWORD               dwBusy = 0;     // a bit per slot in use; under Core::mu

    Section() = default;
    Section(const Section&) = delete;
    Section& operator=(const Section&) = delete;
    ~Section()
    {
        if (pView != nullptr)
            UnmapViewOfFile(pView);
        for (HANDLE h : hReplyEvents)
            if (h != NULL)
                CloseHandle(h);
        if (hRequestEvent != NULL)
            CloseHandle(hRequestEvent);
        if (hSection != NULL)
            CloseHandle(hSection);
    }

    PORT_SHARED_SLOT& Slot(DWORD i) { return pHeader->slots[i]; }
    BYTE* RequestArea(DWORD i) { return pView + PortSharedRequestOffset(&geo, i); }
    BYTE* ReplyArea(DWORD i) { return pView + PortSharedReplyOffset(&geo, i); }

    // Under Core::mu: a free slot, or -1.
    int FreeSlot() const
    {
        for (DWORD i = 0; i < geo.dwSlots; i++)
            if (!(dwBusy & (1u << i)))
                return (int)i;
        return -1;
    }

    // Takes over the section and events of a sound setup; otherwise says
    // what is wrong and leaves its handles alone (the client closes them).
    std::string Adopt(const PORT_SHARED_SETUP& s)
    {
        const DWORD n = s.dwSlots;
        auto area = [](DWORD cb) { return cb >= sizeof(FILTER_MESSAGE_HEADER) && cb <= PORT_SHARED_MAX_AREA && cb % 8 == 0; };
        if (s.dwMagic != PORT_SHARED_MAGIC || s.dwVersion != PORT_SHARED_VERSION || s.dwReserved != 0)
            return Format("setup with magic 0x%08lX, version %lu", s.dwMagic, s.dwVersion);
        if (n == 0 || n > PORT_SHARED_MAX_SLOTS || (n & (n - 1)) != 0)
            return Format("setup with %lu slots", n);
        if (!area(s.cbRequestArea) || !area(s.cbReplyArea))
            return Format("setup with areas of %lu and %lu bytes", s.cbRequestArea, s.cbReplyArea);
        if (s.cbSection != PortSharedRequestOffset(&s, n))
            return Format("setup of a section of %llu bytes for %lu slots", s.cbSection, n);
        for (DWORD i = 0; i < PORT_SHARED_MAX_SLOTS; i++)
            if ((i < n) != (s.hReplyEvents[i] != 0) || (i < n && !ResetEvent((HANDLE)(ULONG_PTR)s.hReplyEvents[i])))
                return Format("setup whose reply event %lu is %s", i, i < n ? "not an event" : "set");
        if (!ResetEvent((HANDLE)(ULONG_PTR)s.hRequestEvent))
            return "setup whose request event is not an event";
        BYTE* pMapped = (BYTE*)MapViewOfFile((HANDLE)(ULONG_PTR)s.hSection, FILE_MAP_READ | FILE_MAP_WRITE, 0, 0,
                                             (SIZE_T)s.cbSection);
        if (pMapped == nullptr)
            return Format("setup whose section cannot be mapped (error %lu)", GetLastError());
        auto* h = (PORT_SHARED_HEADER*)pMapped;
        if (h->dwMagic != s.dwMagic || h->dwSlots != n || h->cbRequestArea != s.cbRequestArea ||
            h->cbReplyArea != s.cbReplyArea || h->lPosted != 0 || h->lTaken != 0) {
            UnmapViewOfFile(pMapped);
            return "setup whose section does not begin with its header";
        }
        geo = s;
        pView = pMapped;
        pHeader = h;
        hSection = (HANDLE)(ULONG_PTR)s.hSection;
        hRequestEvent = (HANDLE)(ULONG_PTR)s.hRequestEvent;
        for (DWORD i = 0; i < n; i++)
            hReplyEvents[i] = (HANDLE)(ULONG_PTR)s.hReplyEvents[i];
        return {};
    }
};

using SectionPtr = std::shared_ptr<Section>;

struct Connection {
    DWORD       id = 0;
    std::string context;
    DWORD       options = 0;
    InstancePtr request, control;
    bool        paired = false;   // both channels accepted
    bool        dead = false;     // a channel has closed
    bool        offered = false;  // the shared path was offered
    SectionPtr  section;          // requests and replies go through it
};

using ConnectionPtr = std::shared_ptr<Connection>;

// One Load: the pipe's name and descriptor, its instances and threads.
struct Hosting {
    std::wstring             pipe;
    PSECURITY_DESCRIPTOR     pSd = NULL;
    HANDLE                   hStop = CreateEventW(NULL, TRUE, FALSE, NULL);
    bool                     stopping = false;   // under Core::mu
    std::vector<InstancePtr> channels;           // under Core::mu
    int                      threads = 0;        // under Core::mu

    ~Hosting()
    {
        if (pSd != NULL)
            LocalFree(pSd);
        if (hStop != NULL)
            CloseHandle(hStop);
    }

    InstancePtr CreateInstance(bool bFirst)
    {
        SECURITY_ATTRIBUTES sa = {sizeof(sa), pSd, FALSE};
        HANDLE h = CreateNamedPipeW(
            pipe.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | (bFirst ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0),
            PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS,
            PIPE_UNLIMITED_INSTANCES, PORT_PIPE_BUFFER, PORT_PIPE_BUFFER, PORT_BUSY_WAIT_MS, &sa);
        return h == INVALID_HANDLE_VALUE ? nullptr : std::make_shared<Instance>(h);
    }
};

using HostingPtr = std::shared_ptr<Hosting>;

struct Pending {
    DWORD                connectionId;
    DWORD                replyLength;
    SectionPtr           section;          // on the shared path, with the request's slot
    DWORD                slot = 0;
    bool                 awaiting = false; // an Await waits on the slot
    bool                 answered = false; // the reply is here (always so on the pipes)
    std::vector<uint8_t> reply;
    // The Await that waits for this reply, woken alone: with several
    // requests in flight, waking every waiter for each reply costs more
    // than the round trip.
    CONDITION_VARIABLE* waiter = nullptr;
};

struct Core : std::enable_shared_from_this<Core> {
    mutable Lock            mu;
    CONDITION_VARIABLE      cv = CONDITION_VARIABLE_INIT;
    HostingPtr              hosting;
    std::map<DWORD, ConnectionPtr> connections;   // not yet dead
    ConnectionPtr           latest;               // latest paired connection
    unsigned                connectionCount = 0;
    uint64_t                generation = 1;        // see DriverSim::Generation
    DWORD                   nextConnectionId = 1;
    uint64_t                nextMessageId = 1;
    std::map<uint64_t, Pending> pending;
    std::vector<std::vector<uint8_t>> controls;
    HRESULT                 controlHr = S_OK;
    std::vector<uint8_t>    controlOutput;
    std::vector<std::string> errors;
    bool                    offerShared = OfferedByDefault();
    std::vector<DriverSim::Vault> vaults;
    std::vector<std::string> events;               // not yet given to the sink

    Lock sinkMu;
    std::function<void(const std::string&)> sink;

    // Under mu.
    void Note(std::string line) { events.push_back(std::move(line)); }
    void Error(std::string line)
    {
        Note("protocol error: " + line);
        errors.push_back(std::move(line));
        WakeAllConditionVariable(&cv);
    }

    // Hands the noted events to the sink; not under mu.
    void Flush()
    {
        Guard sinkLock(sinkMu);
        std::vector<std::string> lines;
        {
            Guard lock(mu);
            lines.swap(events);
        }
        if (sink)
            for (const std::string& line : lines)
                sink(line);
    }

    // Under mu: a connection whose channel has closed is over.
    void ConnectionGone(const ConnectionPtr& conn)
    {
        if (conn->dead)
            return;
        conn->dead = true;
        generation++;
        connections.erase(conn->id);
        for (InstancePtr inst : {conn->request, conn->control})
            if (inst)
                SetEvent(inst->hKill);
        for (auto it = pending.begin(); it != pending.end();) {
            if (it->second.connectionId == conn->id && !it->second.answered) {
                if (it->second.waiter)
                    WakeConditionVariable(it->second.waiter);
                it = pending.erase(it);
            } else {
                ++it;
            }
        }
        if (conn->section)   // the shared path's waiters look again, and find their request gone
            for (DWORD i = 0; i < conn->section->geo.dwSlots; i++)
                SetEvent(conn->section->hReplyEvents[i]);
        if (conn->paired)
            Note(Format("agent gone (connection %lu)", conn->id));
        if (conn == latest)   // requests go to the newest agent still there
            for (auto& [id, other] : connections)
                if (other->paired)
                    latest = other;
        WakeAllConditionVariable(&cv);
    }

    bool AgentLive() const { return latest && !latest->dead; }

    // Checks a hello and returns the answer; pairs the channels.
    PORT_ANSWER Admit(const HostingPtr& host, const InstancePtr& inst, const std::vector<uint8_t>& msg,
                      ConnectionPtr* pConn, DWORD* pdwChannel)
    {
        Guard lock(mu);
        PORT_HELLO hello = {};
        if (msg.size() >= sizeof(hello))
            memcpy(&hello, msg.data(), sizeof(hello));
        *pdwChannel = hello.dwChannel;
        PORT_ANSWER refused = {E_INVALIDARG, 0};
        if (host != hosting)
            return {E_ACCESSDENIED, 0};
        if (msg.size() < sizeof(hello)) {
            Error(Format("hello of %u bytes", (unsigned)msg.size()));
            return refused;
        }
        if (hello.dwMagic != PORT_HELLO_MAGIC || hello.dwVersion != PORT_HELLO_VERSION) {
            Error(Format("hello with magic 0x%08lX, version %lu", hello.dwMagic, hello.dwVersion));
            return refused;
        }
        if (hello.dwContextSize > PORT_MAX_CONTEXT || msg.size() != sizeof(hello) + hello.dwContextSize) {
            Error(Format("hello of %u bytes with context size %lu", (unsigned)msg.size(), hello.dwContextSize));
            return refused;
        }
        std::string context((const char*)msg.data() + sizeof(hello), hello.dwContextSize);

        if (hello.dwChannel == PORT_CHANNEL_REQUEST) {
            if (hello.dwConnectionId != 0) {
                Error(Format("request hello with connection id %lu", hello.dwConnectionId));
                return refused;
            }
            for (auto& [id, other] : connections) {
                if (other->context == context && other->request->ClientOpen()) {
                    Error("second connection for live context " + Printable(context) + " refused");
                    return {E_ACCESSDENIED, 0};
                }
            }
            auto conn = std::make_shared<Connection>();
            conn->id = nextConnectionId++;
            if (nextConnectionId == 0)
                nextConnectionId = 1;
            conn->context = context;
            conn->options = hello.dwOptions;
            conn->request = inst;
            conn->offered = offerShared;
            connections[conn->id] = conn;
            *pConn = conn;
            return {offerShared ? PORT_S_SHARED : S_OK, conn->id};
        }
        if (hello.dwChannel == PORT_CHANNEL_CONTROL) {
            auto it = connections.find(hello.dwConnectionId);
            if (it == connections.end() || it->second->control) {
                Error(Format("control hello with unknown connection id %lu", hello.dwConnectionId));
                return refused;
            }
            ConnectionPtr conn = it->second;
            if (conn->context != context || conn->options != hello.dwOptions) {
                Error(Format("control hello of connection %lu does not repeat its context and options",
                             conn->id));
                return refused;
            }
            conn->control = inst;
            conn->paired = true;
            latest = conn;
            connectionCount++;
            generation++;
            Note(Format("agent connected: context %s, options 0x%lX (connection %lu)",
                        Printable(context).c_str(), conn->options, conn->id));
            WakeAllConditionVariable(&cv);
            *pConn = conn;
            return {S_OK, conn->id};
        }
        Error(Format("hello on unknown channel %lu", hello.dwChannel));
        return refused;
    }

    // A message on the request channel before the control channel pairs:
    // the setup of the shared path, the only thing that may come then.
    PORT_ANSWER OnSetup(const ConnectionPtr& conn, const std::vector<uint8_t>& msg)
    {
        std::string why;
        {
            Guard lock(mu);
            if (!conn->offered || conn->section)
                why = Format("setup on connection %lu, %s", conn->id,
                             conn->offered ? "which has one already" : "which was not offered the shared path");
        }
        if (why.empty() && msg.size() != sizeof(PORT_SHARED_SETUP))
            why = Format("setup of %u bytes", (unsigned)msg.size());
        auto section = std::make_shared<Section>();
        if (why.empty())
            why = section->Adopt(*(const PORT_SHARED_SETUP*)msg.data());
        Guard lock(mu);
        if (!why.empty()) {
            Error(why);
            return {E_INVALIDARG, conn->id};
        }
        conn->section = section;
        Note(Format("connection %lu: requests through a shared section of %lu slots", conn->id,
                    section->geo.dwSlots));
        return {S_OK, conn->id};
    }

    void OnReply(const ConnectionPtr& conn, std::vector<uint8_t>&& msg)
    {
        Guard lock(mu);
        if (msg.size() < sizeof(FILTER_REPLY_HEADER)) {
            Error(Format("reply of %u bytes, shorter than its header", (unsigned)msg.size()));
            return;
        }
        uint64_t id;
        memcpy(&id, msg.data() + offsetof(FILTER_REPLY_HEADER, MessageId), sizeof(id));
        auto it = pending.find(id);
        if (it == pending.end() || it->second.answered || it->second.connectionId != conn->id) {
            Error(Format("reply to unknown MessageId %llu (%u bytes)", (unsigned long long)id,
                         (unsigned)msg.size()));
            return;
        }
        if (msg.size() > it->second.replyLength)
            Error(Format("reply to MessageId %llu of %u bytes, more than its ReplyLength %lu",
                         (unsigned long long)id, (unsigned)msg.size(), it->second.replyLength));
        it->second.answered = true;
        it->second.reply = std::move(msg);
        if (it->second.waiter)
            WakeConditionVariable(it->second.waiter);
    }

    // Records a control message, applies it to the vault list, and returns
    // the answer to write.
    std::vector<uint8_t> OnControl(std::vector<uint8_t>&& msg)
    {
        Guard lock(mu);
        DWORD dwCommand = 0, dwCount = 0;
        if (msg.size() >= 8) {
            memcpy(&dwCommand, msg.data(), 4);
            memcpy(&dwCount, msg.data() + 4, 4);
        }
        Note(Format("control message: command %lu, count %lu, %u bytes", dwCommand, dwCount,
                    (unsigned)msg.size()));
        if (msg.size() == sizeof(VaultControlMessage))
            Apply(*(const VaultControlMessage*)msg.data());
        else
            Error(Format("control message of %u bytes, not %u", (unsigned)msg.size(),
                         (unsigned)sizeof(VaultControlMessage)));
        controls.push_back(std::move(msg));
        generation++;
        WakeAllConditionVariable(&cv);

        PORT_CONTROL_ANSWER answer = {controlHr, (DWORD)controlOutput.size()};
        std::vector<uint8_t> bytes(sizeof(answer) + controlOutput.size());
        memcpy(bytes.data(), &answer, sizeof(answer));
        std::copy(controlOutput.begin(), controlOutput.end(), bytes.begin() + sizeof(answer));
        return bytes;
    }

    // Under mu.
    void Apply(const VaultControlMessage& m)
    {
        bool bOneEntry = m.dwCommand == REMOVE_VAULT || m.dwCommand == VAULT_LOGGED_IN ||
                         m.dwCommand == VAULT_LOGGED_OUT;
        if ((m.dwCommand == ADD_VAULTS && (m.dwCount < 1 || m.dwCount > VAULT_CONTROL_ENTRIES)) ||
            (bOneEntry && m.dwCount != 1)) {
            Error(Format("control command %lu with count %lu", m.dwCommand, m.dwCount));
            return;
        }
        auto find = [&](const std::wstring& path) {
            return std::find_if(vaults.begin(), vaults.end(),
                                [&](const DriverSim::Vault& v) { return SamePath(v.devicePath, path); });
        };
        std::wstring first = Slot(m.wszDevicePath[0], MAX_PATH_CHARS);
        switch (m.dwCommand) {
        case ADD_VAULTS:
            for (DWORD i = 0; i < m.dwCount; i++) {
                DriverSim::Vault v;
                v.sid.assign(m.szSid, std::min<size_t>(m.dwSidLength, sizeof(m.szSid)));
                v.devicePath = Slot(m.wszDevicePath[i], MAX_PATH_CHARS);
                v.settings = m.dwSettings[i];
                v.mapName = Slot(m.wszMapName[i], MAX_PATH_CHARS);
                v.newVault = m.bNewVault != 0;
                auto it = find(v.devicePath);
                if (it == vaults.end()) {
                    vaults.push_back(v);
                } else {
                    v.loggedIn = it->loggedIn;
                    *it = v;
                }
            }
            break;
        case REMOVE_VAULT:
            if (auto it = find(first); it != vaults.end())
                vaults.erase(it);
            break;
        case VAULT_LOGGED_IN:
        case VAULT_LOGGED_OUT:
            if (auto it = find(first); it != vaults.end())
                it->loggedIn = m.dwCommand == VAULT_LOGGED_IN;
            else
                Note("login state of an unknown vault " + Narrow(first));
            break;
        case VAULT_PATH_PAIR:
        case DUMP_OPEN_FILES:
            break;
        default:
            Error(Format("control message with unknown command %lu", m.dwCommand));
        }
    }

    // Starts a thread that holds the hosting and this core.
    void Spawn(const HostingPtr& host, std::function<void()> body)
    {
        {
            Guard lock(mu);
            host->threads++;
        }
        auto self = shared_from_this();
        auto run = [self, host, body = std::move(body)]() mutable {
            body();
            body = nullptr;   // what it holds goes before Unload hears the end
            self->Flush();
            Guard lock(self->mu);
            host->threads--;
            WakeAllConditionVariable(&self->cv);
        };
        // CreateThread, not std::thread: under the compatibility layer a
        // thread that this toolchain's pthread_create made and that was then
        // detached now and then never starts (a few in 100,000 here), and
        // a channel without its thread leaves its client waiting for the
        // hello's answer.
        auto* pRun = new (std::nothrow) std::function<void()>(std::move(run));
        HANDLE hThread = pRun ? CreateThread(NULL, 0, RunThread, pRun, 0, NULL) : NULL;
        if (hThread != NULL) {
            CloseHandle(hThread);
        } else {
            delete pRun;
            Guard lock(mu);
            host->threads--;
            Error("cannot start a thread");
        }
    }

    static DWORD WINAPI RunThread(void* pRun)
    {
        std::unique_ptr<std::function<void()>> run(static_cast<std::function<void()>*>(pRun));
        (*run)();
        return 0;
    }

    // The shared path's Send: fills a free slot and puts it in the ring.
    uint64_t SendShared(const ConnectionPtr& conn, const void* pBody, DWORD cbBody, DWORD dwReplyLength)
    {
        Section& sec = *conn->section;
        const DWORD cbMessage = sizeof(FILTER_MESSAGE_HEADER) + cbBody;
        if (cbMessage > sec.geo.cbRequestArea) {
            Guard lock(mu);
            Error(Format("request of %lu bytes, more than a slot's %lu", cbMessage, sec.geo.cbRequestArea));
            return 0;
        }
        Guard sending(sec.sendLock);
        uint64_t id;
        DWORD i;
        {
            Guard lock(mu);
            // Like FltSendMessage, waits while every slot is taken: by a
            // request the agent holds or one whose reply nobody read yet.
            // Those replies are moved out of their slots; a slot frees also
            // when an Await reads its reply, or the agent replies.
            const ULONGLONG end = GetTickCount64() + kWriteWaitMs;
            while (!conn->dead && sec.FreeSlot() < 0 && !MoveRepliesOut(sec) && GetTickCount64() < end)
                mu.Wait(cv, kSlotPollMs, [&] { return conn->dead || sec.FreeSlot() >= 0; });
            if (conn->dead || sec.FreeSlot() < 0)
                return 0;
            i = (DWORD)sec.FreeSlot();
            sec.dwBusy |= 1u << i;
            id = nextMessageId++;
            pending[id] = Pending{conn->id, dwReplyLength, conn->section, i};
        }
        FILTER_MESSAGE_HEADER header = {dwReplyLength, id};
        BYTE* pArea = sec.RequestArea(i);
        memcpy(pArea, &header, sizeof(header));
        if (cbBody != 0)
            memcpy(pArea + sizeof(header), pBody, cbBody);
        sec.Slot(i).cbRequest = cbMessage;
        InterlockedExchange(&sec.Slot(i).lState, PORT_SLOT_POSTED);
        sec.pHeader->dwRing[sec.dwPosted & (sec.geo.dwSlots - 1)] = i;
        InterlockedExchange(&sec.pHeader->lPosted, (LONG)++sec.dwPosted);
        if (InterlockedExchange(&sec.pHeader->lAgentWaiting, 0) != 0)
            SetEvent(sec.hRequestEvent);
        return id;
    }

    // Under mu: a reply of the shared path leaves its slot for its pending
    // request, whose slot is then free; the reply's length is checked.
    void TakeReply(Pending& p, uint64_t id)
    {
        Section& sec = *p.section;
        PORT_SHARED_SLOT& slot = sec.Slot(p.slot);
        const DWORD cbReply = slot.cbReply;
        const BYTE* pArea = sec.ReplyArea(p.slot);
        p.reply.assign(pArea, pArea + std::min(cbReply, sec.geo.cbReplyArea));
        p.answered = true;
        if (cbReply > p.replyLength)
            Error(Format("reply to MessageId %llu of %lu bytes, more than its ReplyLength %lu",
                         (unsigned long long)id, cbReply, p.replyLength));
        if (cbReply > sec.geo.cbReplyArea)
            Error(Format("reply to MessageId %llu of %lu bytes, more than a slot's %lu", (unsigned long long)id,
                         cbReply, sec.geo.cbReplyArea));
        InterlockedExchange(&slot.lState, PORT_SLOT_FREE);
        sec.dwBusy &= ~(1u << p.slot);
        WakeAllConditionVariable(&cv);
    }

    // Under mu: moves the replies that no Await waits for out of their
    // slots. Whether one was.
    bool MoveRepliesOut(Section& sec)
    {
        bool bMoved = false;
        for (auto& [id, p] : pending) {
            if (p.section.get() == &sec && !p.answered && !p.awaiting && sec.Slot(p.slot).lState == PORT_SLOT_REPLIED) {
                TakeReply(p, id);
                bMoved = true;
            }
        }
        return bMoved;
    }

    // The shared path's Await: waits on the request's slot, and reads the
    // reply there, which frees the slot for another request.
    bool AwaitShared(uint64_t id, Section& sec, DWORD i, std::vector<uint8_t>* pReply, DWORD dwTimeoutMs)
    {
        PORT_SHARED_SLOT& slot = sec.Slot(i);
        const ULONGLONG end = GetTickCount64() + dwTimeoutMs;
        auto done = [&](bool bGot) {
            Guard lock(mu);
            auto it = pending.find(id);
            if (it == pending.end())
                return false;
            it->second.awaiting = false;
            if (bGot && !it->second.answered)
                TakeReply(it->second, id);
            if (!it->second.answered)
                return false;
            if (pReply != nullptr)
                *pReply = std::move(it->second.reply);
            pending.erase(it);
            return true;
        };
        bool bWait;
        {
            Guard lock(mu);
            auto it = pending.find(id);
            // Not when the reply was moved out already, or the agent went.
            if ((bWait = it != pending.end() && !it->second.answered))
                it->second.awaiting = true;   // the slot stays until this Await is done
        }
        if (!bWait)
            return done(false);
        // A wake may be left over from an earlier request of the slot, so
        // each one is checked against the slot's state.
        while (slot.lState != PORT_SLOT_REPLIED) {
            InterlockedExchange(&slot.lDriverWaiting, 1);
            if (slot.lState == PORT_SLOT_REPLIED)
                break;
            {
                Guard lock(mu);
                if (pending.count(id) == 0)   // the agent went
                    return false;
            }
            ULONGLONG now = GetTickCount64();
            if (dwTimeoutMs != INFINITE && now >= end)
                return done(false);
            WaitForSingleObject(sec.hReplyEvents[i], dwTimeoutMs == INFINITE ? INFINITE : (DWORD)(end - now));
        }
        InterlockedExchange(&slot.lDriverWaiting, 0);
        return done(true);
    }

    void Serve(const HostingPtr& host, const InstancePtr& inst);
    void Listen(const HostingPtr& host, std::vector<InstancePtr>&& first);
};

}  // namespace

// One channel, from its hello to its end.
void Core::Serve(const HostingPtr& host, const InstancePtr& inst)
{
    std::vector<uint8_t> msg;
    DWORD dwError = inst->Read(&msg, kHelloWaitMs);
    ConnectionPtr conn;
    DWORD dwChannel = 0;
    if (dwError == ERROR_TIMEOUT) {
        Guard lock(mu);
        Error(Format("no hello within %lu ms", kHelloWaitMs));
    } else if (dwError == 0 || dwError == ERROR_BUFFER_OVERFLOW) {
        PORT_ANSWER answer = Admit(host, inst, msg, &conn, &dwChannel);
        Flush();
        dwError = inst->Write(&answer, sizeof(answer));
        if (FAILED(answer.hr) && dwError == 0)
            inst->Read(&msg, kRefusedWaitMs);   // until the client closes
        while (conn && dwError == 0) {
            dwError = inst->Read(&msg, INFINITE);
            if (dwError == ERROR_BUFFER_OVERFLOW) {
                Guard lock(mu);
                Error(Format("message of more than %u bytes dropped", (unsigned)kMaxMessage));
                dwError = 0;
                continue;
            }
            if (dwError != 0)
                break;
            bool bPaired;
            {
                Guard lock(mu);
                bPaired = conn->paired;
            }
            if (dwChannel == PORT_CHANNEL_REQUEST && !bPaired) {
                PORT_ANSWER setupAnswer = OnSetup(conn, msg);
                Flush();
                dwError = inst->Write(&setupAnswer, sizeof(setupAnswer));
            } else if (dwChannel == PORT_CHANNEL_REQUEST) {
                OnReply(conn, std::move(msg));
            } else {
                std::vector<uint8_t> answerBytes = OnControl(std::move(msg));
                Flush();
                dwError = inst->Write(answerBytes.data(), (DWORD)answerBytes.size());
            }
            Flush();
        }
    }
    inst->Close();
    Guard lock(mu);
    if (conn)
        ConnectionGone(conn);
    auto& channels = host->channels;
    channels.erase(std::remove(channels.begin(), channels.end(), inst), channels.end());
}

// Keeps kListeners instances waiting for clients and hands each connected
// one to a thread of its own.
void Core::Listen(const HostingPtr& host, std::vector<InstancePtr>&& first)
{
    struct Listener {
        InstancePtr inst;
        OVERLAPPED  ov = {};
        HANDLE      hEvent = CreateEventW(NULL, TRUE, FALSE, NULL);
        DWORD       dwImmediate = 0;   // result of a connect that did not pend
    };
    Listener slots[kListeners];
    auto start = [&](Listener& l) {
        ResetEvent(l.hEvent);
        l.ov = {};
        l.ov.hEvent = l.hEvent;
        l.dwImmediate = ERROR_IO_PENDING;
        if (ConnectNamedPipe(l.inst->h, &l.ov))
            l.dwImmediate = 0;
        else if (GetLastError() != ERROR_IO_PENDING)
            l.dwImmediate = GetLastError();
        if (l.dwImmediate != ERROR_IO_PENDING)
            SetEvent(l.hEvent);
    };
    for (size_t i = 0; i < kListeners; i++) {
        slots[i].inst = std::move(first[i]);
        start(slots[i]);
    }
    bool bCreateFailed = false;
    auto renew = [&](Listener& l) {
        if ((l.inst = host->CreateInstance(false)) != nullptr) {
            start(l);
        } else if (!bCreateFailed) {
            bCreateFailed = true;
            Guard lock(mu);
            Note(Format("cannot create a pipe instance (error %lu); retrying", GetLastError()));
        }
    };
    for (;;) {
        HANDLE waits[kListeners + 1] = {host->hStop};
        DWORD n = 1;
        for (Listener& l : slots) {
            if (!l.inst)
                renew(l);
            if (l.inst)
                waits[n++] = l.hEvent;
        }
        Flush();
        if (WaitForMultipleObjects(n, waits, FALSE, 500) == WAIT_OBJECT_0)
            break;
        for (Listener& l : slots) {
            if (!l.inst || WaitForSingleObject(l.hEvent, 0) != WAIT_OBJECT_0)
                continue;
            DWORD dwResult = l.dwImmediate, cb;
            if (dwResult == ERROR_IO_PENDING)
                dwResult = GetOverlappedResult(l.inst->h, &l.ov, &cb, FALSE) ? 0 : GetLastError();
            InstancePtr inst = std::move(l.inst);
            // The replacement listens before this client is answered: a
            // client that opens its next channel after an answer always
            // finds an instance, and the pipe never has none (which a
            // client would take for a port that does not exist).
            renew(l);
            if (dwResult != 0 && dwResult != ERROR_PIPE_CONNECTED)
                continue;   // the client came and went; inst closes as it goes
            bool bStopping;
            {
                Guard lock(mu);
                bStopping = host->stopping;
                if (!bStopping)
                    host->channels.push_back(inst);
            }
            if (!bStopping)
                Spawn(host, [this, host, inst] { Serve(host, inst); });
        }
    }
    for (Listener& l : slots) {
        if (l.inst && l.dwImmediate == ERROR_IO_PENDING) {
            DWORD cb;
            CancelIoEx(l.inst->h, &l.ov);
            GetOverlappedResult(l.inst->h, &l.ov, &cb, TRUE);
        }
        if (l.inst)
            l.inst->Close();
        l.inst.reset();
        CloseHandle(l.hEvent);
    }
}

// ---------------------------------------------------------------------------

struct DriverSim::State {
    std::shared_ptr<Core> core = std::make_shared<Core>();
};

DriverSim::DriverSim() : m_state(std::make_unique<State>()) {}

DriverSim::~DriverSim() { Unload(); }

bool DriverSim::PortHosted(const wchar_t* pwszPortName)
{
    return pwszPortName != nullptr && WaitNamedPipeW(PipeName(pwszPortName).c_str(), kHostedProbeMs);
}

bool DriverSim::Load(const wchar_t* pwszPortName)
{
    Core& core = *m_state->core;
    if (pwszPortName == nullptr || IsLoaded() || PortHosted(pwszPortName))
        return false;
    auto host = std::make_shared<Hosting>();
    host->pipe = PipeName(pwszPortName);
    host->pSd = OwnerOnlyDescriptor(L"GA");
    if (host->pSd == NULL || host->hStop == NULL)
        return false;
    std::vector<InstancePtr> first;
    for (size_t i = 0; i < kListeners; i++) {
        first.push_back(host->CreateInstance(i == 0));
        if (!first.back())
            return false;
    }
    {
        Guard lock(core.mu);
        core.hosting = host;
        core.connectionCount = 0;
        core.latest.reset();
        core.vaults.clear();
        core.Note("port " + Narrow(pwszPortName) + " loaded");
    }
    core.Spawn(host, [&core, host, first]() mutable { core.Listen(host, std::move(first)); });
    core.Flush();
    return true;
}

void DriverSim::Unload()
{
    Core& core = *m_state->core;
    std::unique_lock<Lock> lock(core.mu);
    HostingPtr host = std::move(core.hosting);
    if (!host)
        return;
    host->stopping = true;
    for (const InstancePtr& inst : host->channels)
        SetEvent(inst->hKill);
    SetEvent(host->hStop);
    if (!core.mu.Wait(core.cv, kThreadsWaitMs, [&] { return host->threads == 0; }))
        core.Error("unload: a channel's thread did not end in time");
    for (auto& [id, conn] : std::map<DWORD, ConnectionPtr>(core.connections))
        core.ConnectionGone(conn);
    for (auto& [id, p] : core.pending)
        if (p.waiter)
            WakeConditionVariable(p.waiter);
    core.pending.clear();
    core.Note("port unloaded");
    WakeAllConditionVariable(&core.cv);
    lock.unlock();
    core.Flush();
}

bool DriverSim::IsLoaded() const
{
    Guard lock(m_state->core->mu);
    return m_state->core->hosting != nullptr;
}

bool DriverSim::WaitForAgent(DWORD dwTimeoutMs)
{
    Core& core = *m_state->core;
    Guard lock(core.mu);
    return core.mu.Wait(core.cv, dwTimeoutMs, [&] { return core.AgentLive(); });
}

bool DriverSim::AgentConnected() const
{
    Guard lock(m_state->core->mu);
    return m_state->core->AgentLive();
}

bool DriverSim::WaitForAgentGone(DWORD dwTimeoutMs)
{
    Core& core = *m_state->core;
    Guard lock(core.mu);
    return core.mu.Wait(core.cv, dwTimeoutMs, [&] {
        return std::none_of(core.connections.begin(), core.connections.end(),
                            [](const auto& c) { return c.second->paired; });
    });
}

std::string DriverSim::ConnectionContext() const
{
    Guard lock(m_state->core->mu);
    return m_state->core->latest ? m_state->core->latest->context : std::string();
}

DWORD DriverSim::ConnectionOptions() const
{
    Guard lock(m_state->core->mu);
    return m_state->core->latest ? m_state->core->latest->options : 0;
}

unsigned DriverSim::ConnectionCount() const
{
    Guard lock(m_state->core->mu);
    return m_state->core->connectionCount;
}

DWORD DriverSim::AgentId() const
{
    Guard lock(m_state->core->mu);
    return m_state->core->AgentLive() ? m_state->core->latest->id : 0;
}

uint64_t DriverSim::Generation() const
{
    Guard lock(m_state->core->mu);
    return m_state->core->generation;
}

uint64_t DriverSim::Send(const Notification& notification, DWORD dwReplyLength, DWORD dwAgentId)
{
    return SendRaw(&notification, sizeof(notification), dwReplyLength, dwAgentId);
}

uint64_t DriverSim::SendRaw(const void* pBody, DWORD cbBody, DWORD dwReplyLength, DWORD dwAgentId)
{
    Core& core = *m_state->core;
    if (pBody == nullptr && cbBody != 0)
        return 0;
    uint64_t id;
    InstancePtr channel;
    ConnectionPtr shared;
    {
        Guard lock(core.mu);
        if (!core.AgentLive() || (dwAgentId != 0 && core.latest->id != dwAgentId))
            return 0;
        if (core.latest->section) {
            shared = core.latest;
        } else {
            id = core.nextMessageId++;
            core.pending[id] = Pending{core.latest->id, dwReplyLength};
            channel = core.latest->request;
        }
    }
    if (shared)
        return core.SendShared(shared, pBody, cbBody, dwReplyLength);
    std::vector<uint8_t> msg(sizeof(FILTER_MESSAGE_HEADER) + cbBody);
    FILTER_MESSAGE_HEADER header = {dwReplyLength, id};
    memcpy(msg.data(), &header, sizeof(header));
    if (cbBody != 0)
        memcpy(msg.data() + sizeof(header), pBody, cbBody);
    if (channel->Write(msg.data(), (DWORD)msg.size()) != 0) {
        Guard lock(core.mu);
        core.pending.erase(id);
        return 0;
    }
    return id;
}

bool DriverSim::Await(uint64_t messageId, std::vector<uint8_t>* pReply, DWORD dwTimeoutMs)
{
    Core& core = *m_state->core;
    std::unique_lock<Lock> lock(core.mu);
    if (auto it = core.pending.find(messageId); it != core.pending.end() && it->second.section) {
        SectionPtr section = it->second.section;
        DWORD slot = it->second.slot;
        lock.unlock();
        return core.AwaitShared(messageId, *section, slot, pReply, dwTimeoutMs);
    }
    auto settled = [&] {
        auto it = core.pending.find(messageId);
        return it == core.pending.end() || it->second.answered;
    };
    CONDITION_VARIABLE arrived = CONDITION_VARIABLE_INIT;
    auto it = core.pending.find(messageId);
    if (it != core.pending.end())
        it->second.waiter = &arrived;
    core.mu.Wait(arrived, dwTimeoutMs, settled);
    it = core.pending.find(messageId);
    if (it != core.pending.end())
        it->second.waiter = nullptr;
    if (it == core.pending.end() || !it->second.answered)
        return false;
    if (pReply != nullptr)
        *pReply = std::move(it->second.reply);
    core.pending.erase(it);
    return true;
}

size_t DriverSim::AwaitAny(const uint64_t* pIds, size_t count, DWORD dwTimeoutMs)
{
    Core& core = *m_state->core;
    if (count == 0)
        return 0;
    const ULONGLONG end = GetTickCount64() + dwTimeoutMs;
    CONDITION_VARIABLE arrived = CONDITION_VARIABLE_INIT;
    std::unique_lock<Lock> lock(core.mu);
    // Under mu: the first settled request, or count. A shared slot is asked
    // to signal its reply before its state is read, so that none goes unseen.
    auto settled = [&](std::vector<SectionPtr>* pSections) {
        for (size_t i = 0; i < count; i++) {
            auto it = core.pending.find(pIds[i]);
            if (it == core.pending.end() || it->second.answered)
                return i;
            Pending& p = it->second;
            if (!p.section) {
                p.waiter = &arrived;
                continue;
            }
            PORT_SHARED_SLOT& slot = p.section->Slot(p.slot);
            InterlockedExchange(&slot.lDriverWaiting, 1);
            if (slot.lState == PORT_SLOT_REPLIED)
                return i;
            if (pSections != nullptr)
                pSections->push_back(p.section);
        }
        return count;
    };
    size_t which;
    for (;;) {
        std::vector<SectionPtr> sections;   // held: their events are waited on unlocked
        if ((which = settled(&sections)) < count)
            break;
        const ULONGLONG now = GetTickCount64();
        if (dwTimeoutMs != INFINITE && now >= end)
            break;
        const DWORD dwLeft = dwTimeoutMs == INFINITE ? INFINITE : (DWORD)(end - now);
        if (sections.empty()) {
            core.mu.Wait(arrived, dwLeft, [&] { return settled(nullptr) < count; });
            continue;
        }
        HANDLE events[MAXIMUM_WAIT_OBJECTS];
        DWORD n = 0;
        for (size_t i = 0; i < count && n < MAXIMUM_WAIT_OBJECTS; i++) {
            const Pending& p = core.pending.at(pIds[i]);
            if (p.section)
                events[n++] = p.section->hReplyEvents[p.slot];
        }
        lock.unlock();
        WaitForMultipleObjects(n, events, FALSE, dwLeft);
        lock.lock();
    }
    // No signal for the replies to come until someone waits for them: each
    // costs a wake of this process while it is busy sending.
    for (size_t i = 0; i < count; i++) {
        auto it = core.pending.find(pIds[i]);
        if (it == core.pending.end())
            continue;
        if (it->second.waiter == &arrived)
            it->second.waiter = nullptr;
        if (it->second.section && !it->second.awaiting)
            InterlockedExchange(&it->second.section->Slot(it->second.slot).lDriverWaiting, 0);
    }
    return which;
}

bool DriverSim::Request(const Notification& notification, std::vector<uint8_t>* pReply, DWORD dwTimeoutMs)
{
    uint64_t id = Send(notification);
    return id != 0 && Await(id, pReply, dwTimeoutMs);
}

size_t DriverSim::Outstanding() const
{
    Guard lock(m_state->core->mu);
    const auto& pending = m_state->core->pending;
    return std::count_if(pending.begin(), pending.end(), [](const auto& p) {
        const Pending& q = p.second;
        return !q.answered && !(q.section && q.section->Slot(q.slot).lState == PORT_SLOT_REPLIED);
    });
}

std::vector<std::vector<uint8_t>> DriverSim::Controls() const
{
    Guard lock(m_state->core->mu);
    return m_state->core->controls;
}

bool DriverSim::WaitForControls(size_t count, DWORD dwTimeoutMs)
{
    Core& core = *m_state->core;
    Guard lock(core.mu);
    return core.mu.Wait(core.cv, dwTimeoutMs, [&] { return core.controls.size() >= count; });
}

void DriverSim::SetControlAnswer(HRESULT hr, std::vector<uint8_t> output)
{
    Guard lock(m_state->core->mu);
    m_state->core->controlHr = hr;
    m_state->core->controlOutput = std::move(output);
}

std::vector<std::string> DriverSim::Errors() const
{
    Guard lock(m_state->core->mu);
    return m_state->core->errors;
}

std::vector<DriverSim::Vault> DriverSim::Vaults() const
{
    Guard lock(m_state->core->mu);
    return m_state->core->vaults;
}

void DriverSim::SetEventSink(std::function<void(const std::string&)> sink)
{
    Guard lock(m_state->core->sinkMu);
    m_state->core->sink = std::move(sink);
}

void DriverSim::OfferSharedPath(bool bOffer)
{
    Guard lock(m_state->core->mu);
    m_state->core->offerShared = bOffer;
}

bool DriverSim::UsesSharedPath() const
{
    Guard lock(m_state->core->mu);
    return m_state->core->AgentLive() && m_state->core->latest->section != nullptr;
}

}  // namespace driversim
