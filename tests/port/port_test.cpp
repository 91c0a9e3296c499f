// The filter port: the stand-in fltlib.dll (loaded from beside this program
// through the system import library, as the agent loads it) against the
// driver simulator hosted in this process, over the pipes alone and through
// the shared section the simulator offers. For the tests that end one side
// in the middle of requests, this program also plays the other side in a
// process of its own (the roles at the end).
#include <windows.h>
#include <fltuser.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <cwctype>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "AgentHarness.h"
#include "AgentRequests.h"
#include "DriverSim.h"
#include "PortPipe.h"
#include "VaultWire.h"

using driversim::DriverSim;

namespace {

const wchar_t kPort[] = L"\\PortTransportTest";
const wchar_t kPipe[] = L"\\\\.\\pipe\\PortTransportTest";
const std::string kSid = "S-1-5-21-0-0-0-1000";
const HRESULT kPending = HRESULT_FROM_WIN32(ERROR_IO_PENDING);
const HRESULT kGone = HRESULT_FROM_WIN32(ERROR_INVALID_HANDLE);
const wchar_t kKillPort[] = L"\\PortKillTest";

// One request buffer as the agent keeps it: the message, then its OVERLAPPED.
struct Slot {
    RequestMessage request;
    OVERLAPPED     ov;
};

std::vector<uint8_t> Hello(DWORD channel, DWORD id, const std::string& context,
                           DWORD magic = PORT_HELLO_MAGIC, DWORD extra = 0)
{
    PORT_HELLO h = {magic, PORT_HELLO_VERSION, channel, id, 0, (DWORD)context.size()};
    std::vector<uint8_t> bytes(sizeof(h) + context.size() + extra);
    memcpy(bytes.data(), &h, sizeof(h));
    memcpy(bytes.data() + sizeof(h), context.data(), context.size());
    return bytes;
}

// Writes one message on a channel opened by hand and returns the driver's
// PORT_ANSWER (S_FALSE when none came).
PORT_ANSWER RawExchange(HANDLE h, const void* message, size_t size)
{
    PORT_ANSWER answer = {S_FALSE, 0};
    DWORD cb;
    if (!WriteFile(h, message, (DWORD)size, &cb, NULL) || !ReadFile(h, &answer, sizeof(answer), &cb, NULL) ||
        cb != sizeof(answer))
        answer.hr = S_FALSE;
    return answer;
}

// Opens a channel by hand and writes its hello; the caller closes the
// channel. The driver opens its next listening instance only after it took
// the last one: wait for it, or a busy machine refuses the open.
HANDLE RawChannel(const std::vector<uint8_t>& hello, PORT_ANSWER* answer)
{
    *answer = {S_FALSE, 0};
    WaitNamedPipeW(kPipe, 3000);
    HANDLE h = CreateFileW(kPipe, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
    DWORD mode = PIPE_READMODE_MESSAGE;
    if (h != INVALID_HANDLE_VALUE && SetNamedPipeHandleState(h, &mode, NULL, NULL))
        *answer = RawExchange(h, hello.data(), hello.size());
    return h;
}

bool HasError(const DriverSim& sim, const std::string& text)
{
    return harness::WaitUntil([&] {
        for (const std::string& e : sim.Errors())
            if (e.find(text) != std::string::npos)
                return true;
        return false;
    }, 3000);
}

// Threads of the test (`count` of them, each running `body`), made with
// CreateThread: under the compatibility layer a thread of this toolchain's
// pthread_create now and then hangs as it starts or ends while other threads
// do, and its join with it.
class Thread {
public:
    explicit Thread(std::function<void()> body, int count = 1) : m_body(std::move(body))
    {
        for (int i = 0; i < count; i++)
            m_h.push_back(CreateThread(NULL, 0, Run, this, 0, NULL));
    }
    Thread(const Thread&) = delete;
    Thread& operator=(const Thread&) = delete;
    ~Thread() { Join(); }
    void Join()
    {
        for (HANDLE h : m_h) {
            WaitForSingleObject(h, INFINITE);
            CloseHandle(h);
        }
        m_h.clear();
    }

private:
    static DWORD WINAPI Run(void* p)
    {
        static_cast<Thread*>(p)->m_body();
        return 0;
    }
    std::function<void()> m_body;
    std::vector<HANDLE> m_h;
};

// The agent's two ways to take a request: an overlapped read into a slot,
// and a blocking one.
HRESULT Post(HANDLE port, Slot& s) { return FilterGetMessage(port, &s.request.MessageHeader, offsetof(Slot, ov), &s.ov); }
HRESULT Take(HANDLE port, Slot& s) { return FilterGetMessage(port, &s.request.MessageHeader, sizeof(RequestMessage), NULL); }

// A whole reply to MessageId `id`, every byte after its header `fill`.
HRESULT Reply(HANDLE port, uint64_t id, int fill = 0)
{
    auto reply = std::make_unique<struct ReplyMessage>();
    memset(reply.get(), fill, sizeof(*reply));
    reply->ReplyHeader.Status = 0;
    reply->ReplyHeader.MessageId = id;
    return FilterReplyMessage(port, &reply->ReplyHeader, REPLY_MESSAGE_SIZE);
}

// The byte that fills the reply to `id` after its header, as Reply sent it;
// -1 when none came in time, or not whole, or not for `id`.
int ReplyFill(DriverSim& sim, uint64_t id, DWORD dwTimeoutMs)
{
    std::vector<uint8_t> got;
    uint64_t echoed = 0;
    if (!sim.Await(id, &got, dwTimeoutMs) || got.size() != REPLY_MESSAGE_SIZE)
        return -1;
    memcpy(&echoed, got.data() + 8, 8);
    const bool bSame = std::all_of(got.begin() + 16, got.end(), [&](uint8_t b) { return b == got.back(); });
    return echoed == id && bSame ? got.back() : -1;
}

// The next packet of a completion port; ov is NULL when none came in time.
struct Completion {
    BOOL ok;
    DWORD cb = 0;
    ULONG_PTR key = 0;
    LPOVERLAPPED ov = NULL;
    Slot* slot() const { return CONTAINING_RECORD(ov, Slot, ov); }
};
Completion Next(HANDLE iocp, DWORD dwTimeoutMs)
{
    Completion c;
    c.ok = GetQueuedCompletionStatus(iocp, &c.cb, &c.key, &c.ov, dwTimeoutMs);
    return c;
}

// After the driver went: `waiting` reads fail through the completion port,
// none more comes, and every later call reports the port's end.
void ExpectPortEnded(HANDLE port, HANDLE iocp, ULONG_PTR key, int waiting, Slot& slot, uint64_t id)
{
    for (int i = 0; i < waiting; i++) {
        const Completion c = Next(iocp, 5000);
        EXPECT_TRUE(!c.ok && c.ov && c.key == key) << "waiting read " << i << " error " << GetLastError();
    }
    EXPECT_FALSE(Next(iocp, 100).ov) << "no other completion";
    DWORD in = 0;
    const HRESULT calls[] = {Post(port, slot), Take(port, slot), Reply(port, id),
                             FilterSendMessage(port, &in, 4, NULL, 0, NULL)};
    for (int i = 0; i < 4; i++)
        EXPECT_EQ(kGone, calls[i]) << "call " << i << " of post, take, reply, send";
    CloseHandle(iocp);
}

uint64_t SendEmpty(DriverSim& sim) { return sim.Send(*std::make_unique<Notification>()); }

std::unique_ptr<VaultControlMessage> NewControl(DWORD command, const wchar_t* path)
{
    auto m = std::make_unique<VaultControlMessage>();
    m->dwCommand = command;
    m->dwCount = 1;
    memcpy(m->szSid, kSid.data(), kSid.size());
    m->dwSidLength = (DWORD)kSid.size();
    wcscpy(m->wszDevicePath[0], path);
    m->dwSettings[0] = 0x11;
    return m;
}

// Each case runs over the pipes alone (false) and through the section (true).
class PortTest : public ::testing::TestWithParam<bool> {
protected:
    DriverSim sim;
    std::vector<HANDLE> ports;
    const bool shared = GetParam();

    void SetUp() override
    {
        sim.OfferSharedPath(shared);
        ASSERT_TRUE(sim.Load(kPort));
    }
    void TearDown() override
    {
        sim.Unload();
        for (HANDLE h : ports)
            CloseHandle(h);
    }

    HRESULT Connect(const std::string& context, HANDLE* pPort, DWORD options = 0, const wchar_t* name = kPort)
    {
        *pPort = NULL;
        HRESULT hr = FilterConnectCommunicationPort(name, options, context.data(),
                                                    (WORD)context.size(), NULL, pPort);
        if (SUCCEEDED(hr))
            ports.push_back(*pPort);
        return hr;
    }
    // A connection on the path of this run: the port handle is the
    // request pipe, or the section's backing file.
    HANDLE Agent(const std::string& context = kSid)
    {
        HANDLE port = NULL;
        EXPECT_EQ(S_OK, Connect(context, &port)) << "context " << context;
        EXPECT_EQ(shared, sim.UsesSharedPath());
        EXPECT_EQ(shared ? FILE_TYPE_DISK : FILE_TYPE_PIPE, GetFileType(port));
        return port;
    }
    void Close(HANDLE port)
    {
        CloseHandle(port);
        ports.erase(std::find(ports.begin(), ports.end(), port));
    }
};

// ---------------------------------------------------------------------------
// FilterConnectCommunicationPort and the hello

TEST(PortConnect, BadArgumentsFailWithInvalidArgAndAMissingPortIsNotFound)
{
    HANDLE port = NULL;
    BYTE buffer[64] = {};
    WCHAR dos[8];
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND),
              FilterConnectCommunicationPort(L"\\NoSuchPortAnywhere", 0, "x", 1, NULL, &port));
    EXPECT_EQ(INVALID_HANDLE_VALUE, port);
    EXPECT_EQ(E_INVALIDARG, FilterConnectCommunicationPort(kPort, 0, NULL, 0, NULL, NULL));
    EXPECT_EQ(E_INVALIDARG, FilterConnectCommunicationPort(NULL, 0, NULL, 0, NULL, &port));
    EXPECT_EQ(E_INVALIDARG, FilterConnectCommunicationPort(L"\\", 0, NULL, 0, NULL, &port));
    EXPECT_EQ(E_INVALIDARG, FilterConnectCommunicationPort(kPort, 0, NULL, 4, NULL, &port));
    EXPECT_EQ(E_INVALIDARG, FilterGetMessage(INVALID_HANDLE_VALUE, NULL, 100, NULL));
    EXPECT_EQ(E_INVALIDARG, FilterGetMessage(INVALID_HANDLE_VALUE, (PFILTER_MESSAGE_HEADER)buffer, 15, NULL));
    EXPECT_EQ(E_INVALIDARG, FilterReplyMessage(INVALID_HANDLE_VALUE, NULL, 100));
    EXPECT_EQ(E_INVALIDARG, FilterReplyMessage(INVALID_HANDLE_VALUE, (PFILTER_REPLY_HEADER)buffer, 15));
    EXPECT_EQ(E_INVALIDARG, FilterSendMessage(INVALID_HANDLE_VALUE, NULL, 4, NULL, 0, NULL));
    EXPECT_EQ(E_INVALIDARG, FilterSendMessage(INVALID_HANDLE_VALUE, buffer, 4, NULL, 4, NULL));
    EXPECT_EQ(E_INVALIDARG, FilterGetDosName(NULL, dos, 8));
    EXPECT_EQ(E_INVALIDARG, FilterGetDosName(L"\\Device\\X", NULL, 8));
    EXPECT_EQ(kGone, FilterSendMessage(INVALID_HANDLE_VALUE, buffer, 4, NULL, 0, NULL));
}

// A closed port handle is no longer a port; a new connection (which may
// well get the same handle value) is served.
TEST_P(PortTest, ContextAndOptionsArriveByteExactAndAClosedHandleIsNoLongerAPort)
{
    const std::string binary("S-1\0\xFF\x01 tail", 11);
    HANDLE port;
    ASSERT_EQ(S_OK, Connect(binary, &port, 0x5A));
    EXPECT_TRUE(sim.AgentConnected()) << "paired before the connect returns";
    EXPECT_EQ(binary, sim.ConnectionContext());
    EXPECT_EQ(0x5Au, sim.ConnectionOptions());
    Close(port);
    DWORD in = 1, cb = 99;
    EXPECT_EQ(kGone, FilterSendMessage(port, &in, sizeof(in), NULL, 0, &cb));
    EXPECT_EQ(0u, cb);
    ASSERT_TRUE(sim.WaitForAgentGone(3000));

    ASSERT_EQ(S_OK, Connect("", &port));
    EXPECT_EQ("", sim.ConnectionContext());
    EXPECT_EQ(0u, sim.ConnectionOptions());
    EXPECT_EQ(2u, sim.ConnectionCount());
    auto m = NewControl(DUMP_OPEN_FILES, L"");
    m->dwCount = 0;
    EXPECT_EQ(S_OK, FilterSendMessage(port, m.get(), sizeof(*m), NULL, 0, NULL));
    EXPECT_EQ(1u, sim.Controls().size());
    EXPECT_TRUE(sim.Errors().empty());
}

TEST_P(PortTest, MalformedHellosAreRefusedWithInvalidArg)
{
    struct Case {
        const char* what;
        std::vector<uint8_t> hello;
        const char* error;
    } cases[] = {
        {"bad magic", Hello(1, 0, kSid, 0x12345678), "magic 0x12345678"},
        {"unknown channel", Hello(3, 0, kSid), "unknown channel 3"},
        {"length beyond the context", Hello(1, 0, kSid, PORT_HELLO_MAGIC, 2), "context size 19"},
        {"request with an id", Hello(1, 7, kSid), "request hello with connection id 7"},
        {"unknown control id", Hello(2, 987654, kSid), "unknown connection id 987654"},
        {"short", std::vector<uint8_t>(10, 0), "hello of 10 bytes"},
    };
    for (const Case& c : cases) {
        PORT_ANSWER answer;
        CloseHandle(RawChannel(c.hello, &answer));
        EXPECT_EQ(E_INVALIDARG, answer.hr) << c.what;
        EXPECT_TRUE(HasError(sim, c.error)) << c.what;
    }
    EXPECT_EQ(0u, sim.ConnectionCount());
    HANDLE port = Agent();   // the port still serves after all that
    EXPECT_NE(nullptr, port);
}

TEST_P(PortTest, OneLiveConnectionPerContext)
{
    HANDLE first = Agent(), other;
    EXPECT_EQ(E_ACCESSDENIED, Connect(kSid, &other));
    EXPECT_TRUE(HasError(sim, "second connection"));
    EXPECT_EQ(S_OK, Connect("S-1-5-21-0-0-0-1001", &other)) << "another user";
    // Closed, and at once connected again: the driver must not still count it.
    Close(first);
    HANDLE again;
    ASSERT_EQ(S_OK, Connect(kSid, &again));
    EXPECT_EQ(kSid, sim.ConnectionContext());
    EXPECT_EQ(3u, sim.ConnectionCount());
}

// ---------------------------------------------------------------------------
// Requests and replies

TEST_P(PortTest, RequestsCompleteOnceEachThroughTheCompletionPort)
{
    HANDLE port = Agent();
    HANDLE iocp = CreateIoCompletionPort(port, NULL, 42, 0);
    ASSERT_NE(nullptr, iocp);
    std::vector<Slot> slots(5);
    for (Slot& s : slots)
        ASSERT_EQ(kPending, Post(port, s));

    auto note = std::make_unique<Notification>();
    std::set<uint64_t> sent;
    for (ULONG i = 0; i < 4; i++) {
        note->eCommandType = 100 + i;
        sent.insert(sim.Send(*note, 1234));
    }
    const char shortBody[] = "short";
    sent.insert(sim.SendRaw(shortBody, sizeof(shortBody)));
    EXPECT_EQ(5u, sent.size());
    EXPECT_EQ(0u, sent.count(0));

    std::set<uint64_t> received;
    for (int i = 0; i < 5; i++) {
        const Completion c = Next(iocp, 5000);
        ASSERT_TRUE(c.ok) << "completion " << i;
        EXPECT_EQ(42u, c.key);
        Slot* s = c.slot();
        ASSERT_TRUE(s >= slots.data() && s < slots.data() + 5);
        uint64_t id = s->request.MessageHeader.MessageId;
        EXPECT_TRUE(received.insert(id).second) << "MessageId " << id << " delivered twice";
        if (c.cb == sizeof(FILTER_MESSAGE_HEADER) + sizeof(shortBody)) {
            EXPECT_STREQ(shortBody, (const char*)&s->request.Notification);
        } else {
            EXPECT_EQ(REQUEST_MESSAGE_SIZE, c.cb);
            EXPECT_EQ(1234u, s->request.MessageHeader.ReplyLength);
            EXPECT_GE(s->request.Notification.eCommandType, 100u);
        }
    }
    EXPECT_EQ(sent, received);
    EXPECT_FALSE(Next(iocp, 100).ov) << "a sixth completion";
    EXPECT_EQ(5u, sim.Outstanding());

    // A request already waiting (in the pipe, or in the ring once Send
    // returns): the read completes at once, and still reaches the
    // completion port, once.
    uint64_t id = sim.Send(*note);
    DWORD avail = 0;
    ASSERT_TRUE(shared ||
                harness::WaitUntil([&] { return PeekNamedPipe(port, NULL, 0, NULL, &avail, NULL) && avail; }, 3000));
    ASSERT_EQ(kPending, Post(port, slots[0]));
    EXPECT_EQ(&slots[0].ov, Next(iocp, 2000).ov);
    EXPECT_EQ(id, slots[0].request.MessageHeader.MessageId);
    EXPECT_FALSE(Next(iocp, 100).ov);
    CloseHandle(iocp);
}

TEST_P(PortTest, RepliesAreMatchedByMessageIdAndQueueNoCompletion)
{
    HANDLE port = Agent();
    HANDLE iocp = CreateIoCompletionPort(port, NULL, 1, 0);
    auto slot = std::make_unique<Slot>();
    uint64_t a = SendEmpty(sim), b = SendEmpty(sim);
    for (uint64_t id : {a, b}) {
        ASSERT_EQ(S_OK, Take(port, *slot));
        EXPECT_EQ(id, slot->request.MessageHeader.MessageId);
    }
    // Answered in the other order: the second is the first one settled.
    const uint64_t both[2] = {a, b};
    EXPECT_EQ(2u, sim.AwaitAny(both, 2, 50)) << "neither answered yet";
    for (uint64_t id : {b, a}) {
        ASSERT_EQ(S_OK, Reply(port, id, (int)id));
        if (id == b)
            EXPECT_EQ(1u, sim.AwaitAny(both, 2, 3000));
    }
    for (uint64_t id : {a, b})
        EXPECT_EQ((uint8_t)id, ReplyFill(sim, id, 3000)) << "MessageId " << id;
    EXPECT_FALSE(sim.Await(a, nullptr, 10)) << "consumed";
    EXPECT_EQ(0u, sim.AwaitAny(both, 2, 3000)) << "a request no longer outstanding is settled";
    EXPECT_FALSE(Next(iocp, 100).ov) << "blocking read or reply queued a packet";

    // A reply for a MessageId that no request waits for: over the pipes the
    // driver finds it out; the section's stand-in refuses it as the real
    // library does, and the driver never sees it.
    for (uint64_t id : {(uint64_t)0xDEAD, a}) {
        EXPECT_EQ(shared ? ERROR_FLT_NO_WAITER_FOR_REPLY : S_OK, Reply(port, id)) << "MessageId " << id;
        if (!shared)
            EXPECT_TRUE(HasError(sim, "reply to unknown MessageId " + std::to_string(id)));
    }
    EXPECT_EQ(shared, sim.Errors().empty());
    CloseHandle(iocp);
}

TEST_P(PortTest, ConcurrentRepliesArriveWhole)
{
    HANDLE port = Agent();
    const int kThreads = 4, kEach = 10;
    std::atomic<int> failures{0};
    Thread readers([&] {
        auto slot = std::make_unique<Slot>();
        for (int i = 0; i < kEach; i++) {
            failures += Take(port, *slot) != S_OK;
            uint64_t id = slot->request.MessageHeader.MessageId;
            failures += Reply(port, id, 0x40 + (int)(id % 64)) != S_OK;
        }
    }, kThreads);
    // Sent while the readers wait: the pipe holds only two requests unread.
    std::vector<uint64_t> ids;
    for (int i = 0; i < kThreads * kEach; i++)
        ids.push_back(SendEmpty(sim));
    readers.Join();
    EXPECT_EQ(0, failures.load());
    for (uint64_t id : ids)
        EXPECT_EQ(0x40 + (int)(id % 64), ReplyFill(sim, id, 3000)) << "MessageId " << id;
    EXPECT_EQ(0u, sim.Outstanding());
    EXPECT_TRUE(sim.Errors().empty());
}

// ---------------------------------------------------------------------------
// Control messages

TEST_P(PortTest, ControlMessagesAreRecordedAndAnswered)
{
    HANDLE port = Agent();
    auto add = NewControl(ADD_VAULTS, L"\\Device\\HarddiskVolume1\\Vaults\\One");
    add->dwCount = 2;
    wcscpy(add->wszDevicePath[1], L"\\Device\\HarddiskVolume1\\Vaults\\Two");
    wcscpy(add->wszMapName[1], L"\\\\server\\share");
    BYTE out[40] = {};
    DWORD cb = 99;
    EXPECT_EQ(S_OK, FilterSendMessage(port, add.get(), sizeof(*add), out, sizeof(out), &cb));
    EXPECT_EQ(0u, cb);
    ASSERT_EQ(1u, sim.Controls().size());
    EXPECT_EQ(0, memcmp(add.get(), sim.Controls()[0].data(), sizeof(*add)));
    EXPECT_EQ(sizeof(*add), sim.Controls()[0].size());

    sim.SetControlAnswer(HRESULT_FROM_WIN32(ERROR_NOT_READY), {1, 2, 3, 4, 5});
    auto login = NewControl(VAULT_LOGGED_IN, L"\\DEVICE\\harddiskvolume1\\vaults\\two");
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_NOT_READY), FilterSendMessage(port, login.get(), sizeof(*login), out, 40, &cb));
    EXPECT_EQ(5u, cb);
    EXPECT_EQ(0, memcmp(out, "\1\2\3\4\5", 5));
    // More output than the caller takes: what fits, and the read's error.
    memset(out, 0, sizeof(out));
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_MORE_DATA), FilterSendMessage(port, login.get(), sizeof(*login), out, 4, &cb));
    EXPECT_EQ(4u, cb);
    EXPECT_EQ(0, out[4]);

    sim.SetControlAnswer(S_OK);
    auto remove = NewControl(REMOVE_VAULT, L"\\Device\\HarddiskVolume1\\Vaults\\One");
    EXPECT_EQ(S_OK, FilterSendMessage(port, remove.get(), sizeof(*remove), out, 40, &cb)) << "answers in step";
    std::vector<DriverSim::Vault> vaults = sim.Vaults();
    ASSERT_EQ(1u, vaults.size());
    EXPECT_EQ(L"\\Device\\HarddiskVolume1\\Vaults\\Two", vaults[0].devicePath);
    EXPECT_EQ(L"\\\\server\\share", vaults[0].mapName);
    EXPECT_EQ(kSid, vaults[0].sid);
    EXPECT_TRUE(vaults[0].loggedIn);

    // Several threads at once: each gets the answer to its own message.
    std::atomic<int> ok{0};
    Thread([&] {
        BYTE o[4];
        DWORD n;
        for (int i = 0; i < 10; i++)
            ok += FilterSendMessage(port, login.get(), sizeof(*login), o, 4, &n) == S_OK && n == 0;
    }, 4).Join();
    EXPECT_EQ(40, ok.load());
    EXPECT_EQ(44u, sim.Controls().size());
    EXPECT_TRUE(sim.Errors().empty());
}

// ---------------------------------------------------------------------------
// The driver unloads, and comes back

TEST_P(PortTest, UnloadFailsPendingAndLaterCalls)
{
    HANDLE port = Agent();
    HANDLE iocp = CreateIoCompletionPort(port, NULL, 7, 0);
    std::vector<Slot> slots(3);
    for (Slot& s : slots)
        ASSERT_EQ(kPending, Post(port, s));
    uint64_t id = SendEmpty(sim);
    ASSERT_NE(0u, id);
    ASSERT_TRUE(Next(iocp, 3000).ok);
    sim.Unload();
    EXPECT_FALSE(sim.Await(id, nullptr, 10));
    ExpectPortEnded(port, iocp, 7, 2, slots[0], id);
    EXPECT_FALSE(sim.AgentConnected());

    // Loaded again: the same agent (its old handle still open) comes back.
    ASSERT_TRUE(sim.Load(kPort));
    HANDLE again = Agent();
    EXPECT_NE(0u, SendEmpty(sim));
    EXPECT_EQ(S_OK, Take(again, slots[0]));
}

TEST_P(PortTest, NothingToSendWithoutAnAgentAndLoadRefusesWhenThePortIsHosted)
{
    EXPECT_EQ(0u, SendEmpty(sim));
    EXPECT_FALSE(sim.WaitForAgent(50));
    EXPECT_TRUE(sim.WaitForAgentGone(0));
    EXPECT_FALSE(sim.Await(12345, nullptr, 10));
    EXPECT_TRUE(DriverSim::PortHosted(kPort));
    DriverSim second;
    EXPECT_FALSE(second.Load(kPort));
    EXPECT_FALSE(second.IsLoaded());
    sim.Unload();
    EXPECT_FALSE(DriverSim::PortHosted(kPort));
    EXPECT_TRUE(second.Load(kPort));
}


// ---------------------------------------------------------------------------
// Order, and the place of a request the agent holds

// Requests arrive in the order sent, also when many more than the section
// has slots pass through it; a request that the agent holds keeps its place
// after its sender stopped waiting, and its late reply still reaches it.
TEST_P(PortTest, RequestsArriveInOrderAndAHeldRequestKeepsItsPlace)
{
    HANDLE port = Agent();
    auto slot = std::make_unique<Slot>();
    // Answers the request in *slot with its command code in every byte.
    auto answer = [&] {
        return Reply(port, slot->request.MessageHeader.MessageId, (int)slot->request.Notification.eCommandType);
    };
    // Waited for as the block path waits, for any of its requests.
    auto fill = [&](uint64_t id) { return sim.AwaitAny(&id, 1, 5000) != 0 ? -1 : ReplyFill(sim, id, 0); };

    auto note = std::make_unique<Notification>();
    note->eCommandType = 0x77;
    uint64_t held = sim.Send(*note);
    ASSERT_EQ(S_OK, Take(port, *slot));
    ASSERT_EQ(held, slot->request.MessageHeader.MessageId);
    auto heldRequest = std::make_unique<Slot>(*slot);
    EXPECT_FALSE(sim.Await(held, nullptr, 50)) << "not answered yet";

    const int kCount = 40, kWindow = 8;
    std::vector<uint64_t> ids(kCount);
    std::vector<int> fills(kCount);
    Thread sender([&] {
        auto n = std::make_unique<Notification>();
        for (int i = 0; i < kCount + kWindow; i++) {
            if (i < kCount) {
                n->eCommandType = 0x10 + i;
                ids[i] = sim.Send(*n);
            }
            if (i >= kWindow)
                fills[i - kWindow] = fill(ids[i - kWindow]);
        }
    });
    uint64_t last = held;
    for (int i = 0; i < kCount; i++) {
        if (Take(port, *slot) != S_OK)
            break;
        EXPECT_GT(slot->request.MessageHeader.MessageId, last) << "request " << i << " overtook one sent before";
        EXPECT_EQ(0x10u + i, slot->request.Notification.eCommandType);
        last = slot->request.MessageHeader.MessageId;
        EXPECT_EQ(S_OK, answer()) << "request " << i;
    }
    sender.Join();
    for (int i = 0; i < kCount; i++)
        EXPECT_EQ(0x10 + i, fills[i]) << "reply to request " << i;
    *slot = *heldRequest;
    EXPECT_EQ(S_OK, answer()) << "the held request is still waited for";
    EXPECT_EQ(0x77, fill(held));
    EXPECT_TRUE(sim.Errors().empty());
}

// The block path takes its replies in the order they come: five answered
// newest first, and the rest one by one, each block lands in its own place.
// A block request answered with every byte of its data inverted.
void AnswerInverted(HANDLE port, const Slot& s)
{
    auto reply = std::make_unique<struct ReplyMessage>();
    reply->ReplyHeader.MessageId = s.request.MessageHeader.MessageId;
    reply->Reply.Succeeded = 1;
    reply->Reply.Buffer.Length = s.request.Notification.DataLength;
    for (ULONG i = 0; i < s.request.Notification.DataLength && i < MAX_DATA_LENGTH; i++)
        reply->Reply.Buffer.Data[i] = (UCHAR)~s.request.Notification.Data[i];
    FilterReplyMessage(port, &reply->ReplyHeader, REPLY_MESSAGE_SIZE);
}

TEST_P(PortTest, BlockTransformPlacesRepliesThatComeOutOfOrder)
{
    HANDLE port = Agent();
    const size_t kChunks = 8;
    Thread responder([&] {
        std::vector<std::unique_ptr<Slot>> held;
        auto answer = [&](const Slot& s) { AnswerInverted(port, s); };
        for (size_t got = 0; got < kChunks; got++) {
            held.push_back(std::make_unique<Slot>());
            if (Take(port, *held.back()) != S_OK)
                return;
            if (got + 1 >= driversim::AgentRequests::kInFlight) {
                for (auto it = held.rbegin(); it != held.rend(); ++it)
                    answer(**it);
                held.clear();
            }
        }
    });
    driversim::AgentRequests agent(sim, 5000);
    std::vector<uint8_t> bytes(kChunks * MAX_DATA_LENGTH - 100), expected(bytes.size());
    for (size_t i = 0; i < bytes.size(); i++) {
        bytes[i] = (uint8_t)(i / MAX_DATA_LENGTH * 31 + i * 7);
        expected[i] = (uint8_t)~bytes[i];
    }
    driversim::FileResult r = agent.Transform({1, 8, sim.AgentId()}, EncryptBlock, bytes);
    EXPECT_TRUE(r) << r.text;
    EXPECT_TRUE(bytes == expected);
    responder.Join();
}

// A transform made and taken request by request: requests left out are not
// sent, `meanwhile` runs once with the first five out, and the first failure
// (of a take or of `meanwhile`) ends the sending, is returned, and leaves no
// request outstanding and no answer taken after it.
TEST_P(PortTest, BlockJobsStopAtTheirFirstFailure)
{
    HANDLE port = Agent();
    using driversim::FileResult;
    const FileResult failed = driversim::Fail(driversim::FileError::NoSpace, "failed here");
    struct Case { size_t failTake; bool bFailMeanwhile; std::set<size_t> taken; } cases[] = {
        {0, false, {0, 2, 3, 4, 6, 7, 8, 10, 11}},   // every fourth left out, from the second
        {3, false, {0, 1, 2}},                       // the third answer taken fails
        {0, true, {}},
    };
    Thread responder([&] {   // until a request of one byte
        for (Slot s; Take(port, s) == S_OK;) {
            AnswerInverted(port, s);
            if (s.request.Notification.DataLength == 1)
                return;
        }
    });
    driversim::AgentRequests agent(sim, 5000);
    driversim::AgentRequests::BlockJob job;
    for (const Case& c : cases) {
        std::set<size_t> taken;
        size_t fills = 0, meanwhiles = 0, fillsBefore = 0;
        job.requests = 12;
        job.fill = [&](size_t i, uint8_t* p, size_t* pcb) {
            fills++;
            *pcb = c.failTake == 0 && !c.bFailMeanwhile && i % 4 == 1 ? 0 : 100 + i;
            memset(p, (int)i, *pcb);
            return FileResult{};
        };
        job.take = [&](size_t i, const uint8_t* p, size_t cb) {
            EXPECT_TRUE(cb == 100 + i && p[0] == (uint8_t)~i && p[cb - 1] == (uint8_t)~i) << i;
            taken.insert(i);
            return taken.size() == c.failTake ? failed : FileResult{};
        };
        job.meanwhile = [&] {
            meanwhiles++;
            fillsBefore = fills;
            return c.bFailMeanwhile ? failed : FileResult{};
        };
        const FileResult r = agent.Transform({1, 8, sim.AgentId()}, EncryptBlock, job);
        EXPECT_EQ(c.failTake != 0 || c.bFailMeanwhile ? driversim::FileError::NoSpace : driversim::FileError::None,
                  r.error) << r.text;
        EXPECT_EQ(c.taken, taken);
        EXPECT_EQ(1u, meanwhiles);
        EXPECT_GE(fillsBefore, driversim::AgentRequests::kInFlight);
        EXPECT_EQ(0u, sim.Outstanding());
    }
    std::vector<uint8_t> last(1, 0x5A);   // ends the responder
    EXPECT_TRUE(agent.Transform({1, 8, sim.AgentId()}, EncryptBlock, last));
    responder.Join();
}

// ---------------------------------------------------------------------------
// One side ends in the middle of requests; this program plays the other side
// in a process of its own (the roles at the end).

struct OtherSide {
    harness::AgentProcess process;
    std::wstring event = L"Local\\port_test-ready-" + std::to_wstring(GetCurrentProcessId());
    HANDLE hReady = CreateEventW(NULL, TRUE, FALSE, event.c_str());

    OtherSide(const wchar_t* role, bool shared, int count)
    {
        process.Start(harness::SelfPath(), std::wstring(role) + (shared ? L" section " : L" pipes ") +
                                               std::to_wstring(count) + L" " + event);
    }
    ~OtherSide()
    {
        process.Kill();
        CloseHandle(hReady);
    }
    bool Ready() { return WaitForSingleObject(hReady, 10000) == WAIT_OBJECT_0; }
};

// The agent dies holding five requests while the driver waits for their
// replies and for room for more: every wait fails at once, nothing stays
// outstanding, and the next agent is served on a connection of its own.
TEST_P(PortTest, AgentKilledInTheMiddleOfRequests)
{
    OtherSide agent(L"--hold-requests", shared, 5);
    ASSERT_TRUE(sim.WaitForAgent(10000));
    EXPECT_EQ(shared, sim.UsesSharedPath());
    std::vector<uint64_t> held;
    for (int i = 0; i < 5; i++)
        held.push_back(SendEmpty(sim));
    ASSERT_TRUE(agent.Ready()) << "the agent took five requests";
    // More, until the next one waits for room (in the section: a free slot),
    // and the first held one awaited before the agent goes.
    std::vector<uint64_t> more;
    Thread sender([&] {
        for (uint64_t id; more.size() < 20 && (id = SendEmpty(sim)) != 0;)
            more.push_back(id);
    });
    bool bFirstAnswered = true;
    Thread waiter([&] { bFirstAnswered = sim.Await(held[0], nullptr, 10000); });
    Sleep(300);
    const ULONGLONG killed = GetTickCount64();
    agent.process.Kill();
    for (size_t i = 1; i < held.size(); i++)
        EXPECT_FALSE(sim.Await(held[i], nullptr, 10000)) << "MessageId " << held[i];
    sender.Join();
    waiter.Join();
    EXPECT_FALSE(bFirstAnswered);
    EXPECT_LT(GetTickCount64() - killed, 5000u) << "the waits failed when the agent went, not on their time-outs";
    EXPECT_LT(more.size(), 20u) << "the Send that waited for room failed";
    EXPECT_EQ(0u, sim.Outstanding());
    ASSERT_TRUE(sim.WaitForAgentGone(3000));

    HANDLE port = Agent();
    auto slot = std::make_unique<Slot>();
    uint64_t id = SendEmpty(sim);
    ASSERT_EQ(S_OK, Take(port, *slot));
    EXPECT_EQ(id, slot->request.MessageHeader.MessageId);
    EXPECT_EQ(S_OK, Reply(port, id));
    EXPECT_TRUE(sim.Await(id, nullptr, 5000));
}

// The driver dies while the agent holds two requests and waits for a third:
// the waiting read completes with an error through the completion port,
// and every later call reports the port's end, as after an unload.
TEST_P(PortTest, DriverKilledInTheMiddleOfRequests)
{
    OtherSide driver(L"--send-requests", shared, 2);
    HANDLE port = NULL;
    ASSERT_TRUE(harness::WaitUntil([&] { return SUCCEEDED(Connect(kSid, &port, 0, kKillPort)); }, 10000));
    EXPECT_EQ(shared ? FILE_TYPE_DISK : FILE_TYPE_PIPE, GetFileType(port));
    HANDLE iocp = CreateIoCompletionPort(port, NULL, 9, 0);
    std::vector<Slot> slots(3);
    for (Slot& s : slots)
        ASSERT_EQ(kPending, Post(port, s));
    ASSERT_TRUE(driver.Ready());
    uint64_t taken = 0;
    for (int i = 0; i < 2; i++) {
        const Completion c = Next(iocp, 5000);
        ASSERT_TRUE(c.ok) << "request " << i;
        taken = c.slot()->request.MessageHeader.MessageId;
    }
    driver.process.Kill();
    ExpectPortEnded(port, iocp, 9, 1, slots[0], taken);
}

INSTANTIATE_TEST_SUITE_P(Paths, PortTest, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) { return info.param ? "Section" : "Pipes"; });

// ---------------------------------------------------------------------------
// The setup of the shared path, as any client could send it

// A setup that is not sound is refused (its handles left to the client),
// and a client that takes no offer is served over the pipes.
TEST(PortSetup, UnsoundSetupsAreRefusedAndAClientWithoutOneUsesThePipes)
{
    DriverSim sim;
    sim.OfferSharedPath(true);
    ASSERT_TRUE(sim.Load(kPort));
    // What a client makes, made here: the driver's process is this one.
    const DWORD kSlots = 4, kArea = 4096;
    PORT_SHARED_SETUP good = {PORT_SHARED_MAGIC, PORT_SHARED_VERSION, kSlots, kArea, kArea, 0};
    good.cbSection = PortSharedRequestOffset(&good, kSlots);
    HANDLE hSection = CreateFileMappingW(INVALID_HANDLE_VALUE, NULL, PAGE_READWRITE, 0, (DWORD)good.cbSection, NULL);
    auto* header = (PORT_SHARED_HEADER*)MapViewOfFile(hSection, FILE_MAP_ALL_ACCESS, 0, 0, 0);
    ASSERT_NE(nullptr, header);
    *header = {PORT_SHARED_MAGIC, PORT_SHARED_VERSION, kSlots, kArea, kArea};
    std::vector<HANDLE> handles = {hSection};
    auto event = [&] { handles.push_back(CreateEventW(NULL, FALSE, FALSE, NULL)); return (ULONGLONG)(ULONG_PTR)handles.back(); };
    good.hSection = (ULONGLONG)(ULONG_PTR)hSection;
    good.hRequestEvent = event();
    for (DWORD i = 0; i < kSlots; i++)
        good.hReplyEvents[i] = event();

    struct Case {
        const char* what;
        std::function<void(PORT_SHARED_SETUP&)> spoil;
        const char* error;
    } cases[] = {
        {"bad magic", [](PORT_SHARED_SETUP& s) { s.dwMagic = 1; }, "setup with magic 0x00000001"},
        {"3 slots", [](PORT_SHARED_SETUP& s) { s.dwSlots = 3; }, "setup with 3 slots"},
        {"64 slots", [](PORT_SHARED_SETUP& s) { s.dwSlots = 64; }, "setup with 64 slots"},
        {"odd area", [](PORT_SHARED_SETUP& s) { s.cbReplyArea = 1001; }, "areas of 4096 and 1001 bytes"},
        {"short section", [](PORT_SHARED_SETUP& s) { s.cbSection -= 8; }, "setup of a section of"},
        {"reply event missing", [](PORT_SHARED_SETUP& s) { s.hReplyEvents[3] = 0; }, "reply event 3 is not an event"},
        {"reply event too many", [&](PORT_SHARED_SETUP& s) { s.hReplyEvents[4] = good.hRequestEvent; }, "reply event 4 is set"},
        {"section not a section", [&](PORT_SHARED_SETUP& s) { s.hSection = good.hRequestEvent; }, "cannot be mapped"},
        {"no header", [&](PORT_SHARED_SETUP&) { header->dwMagic = 0; }, "does not begin with its header"},
    };
    for (const Case& c : cases) {
        PORT_SHARED_SETUP setup = good;
        c.spoil(setup);
        PORT_ANSWER answer;
        HANDLE h = RawChannel(Hello(PORT_CHANNEL_REQUEST, 0, kSid), &answer);
        EXPECT_EQ(PORT_S_SHARED, answer.hr) << c.what << ": the offer";
        EXPECT_EQ(E_INVALIDARG, RawExchange(h, &setup, sizeof(setup)).hr) << c.what;
        EXPECT_TRUE(HasError(sim, c.error)) << c.what;
        CloseHandle(h);
        header->dwMagic = PORT_SHARED_MAGIC;
    }
    DWORD flags;
    for (HANDLE h : handles)   // a refused setup leaves them to the client
        EXPECT_TRUE(GetHandleInformation(h, &flags)) << "a handle was closed";

    // A client that does not know the offer: its hellos alone, then requests
    // over the request channel.
    PORT_ANSWER answer, control;
    HANDLE hRequest = RawChannel(Hello(PORT_CHANNEL_REQUEST, 0, kSid), &answer);
    ASSERT_EQ(PORT_S_SHARED, answer.hr);
    HANDLE hControl = RawChannel(Hello(PORT_CHANNEL_CONTROL, answer.dwConnectionId, kSid), &control);
    EXPECT_EQ(S_OK, control.hr);
    ASSERT_TRUE(sim.WaitForAgent(3000));
    EXPECT_FALSE(sim.UsesSharedPath());
    uint64_t id = SendEmpty(sim);
    auto slot = std::make_unique<Slot>();
    DWORD cb = 0;
    EXPECT_TRUE(ReadFile(hRequest, &slot->request, sizeof(RequestMessage), &cb, NULL));
    EXPECT_EQ(REQUEST_MESSAGE_SIZE, cb);
    EXPECT_EQ(id, slot->request.MessageHeader.MessageId);
    CloseHandle(hRequest);
    CloseHandle(hControl);
    UnmapViewOfFile(header);
    for (HANDLE h : handles)
        CloseHandle(h);
}

// ---------------------------------------------------------------------------
// FilterGetDosName

TEST(PortDosName, FindsTheLetterOfADeviceTarget)
{
    WCHAR drive[3] = L"Z:", target[MAX_PATH];
    while (drive[0] > L'D' && QueryDosDeviceW(drive, target, MAX_PATH) != 0)
        drive[0]--;
    ASSERT_TRUE(DefineDosDeviceW(0, drive, L"C:\\PortTestFolder"));
    ASSERT_NE(0u, QueryDosDeviceW(drive, target, MAX_PATH));

    WCHAR dos[8] = L"junk";
    EXPECT_EQ(S_OK, FilterGetDosName(target, dos, 3)) << target;
    EXPECT_STREQ(drive, dos);
    std::wstring other(target);
    for (wchar_t& c : other)
        c = (wchar_t)(iswupper(c) ? towlower(c) : towupper(c));
    EXPECT_EQ(S_OK, FilterGetDosName(other.c_str(), dos, 8)) << other;
    EXPECT_STREQ(drive, dos);

    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER), FilterGetDosName(target, dos, 2));
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND), FilterGetDosName(L"\\Device\\NoSuchVolume", dos, 8));
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND), FilterGetDosName((std::wstring(target) + L"\\").c_str(), dos, 8));
    // The letter found last is checked again: a target moved to another
    // letter, then gone, is answered as it is now.
    WCHAR moved[3] = {(WCHAR)(drive[0] - 1), L':', 0}, taken[MAX_PATH];
    DefineDosDeviceW(DDD_REMOVE_DEFINITION, drive, NULL);
    while (moved[0] > L'D' && QueryDosDeviceW(moved, taken, MAX_PATH) != 0)
        moved[0]--;
    ASSERT_TRUE(DefineDosDeviceW(0, moved, L"C:\\PortTestFolder"));
    EXPECT_EQ(S_OK, FilterGetDosName(target, dos, 8));
    EXPECT_STREQ(moved, dos);
    DefineDosDeviceW(DDD_REMOVE_DEFINITION, moved, NULL);
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND), FilterGetDosName(target, dos, 8));
}

// ---------------------------------------------------------------------------
// The other side, in a process of its own: ROLE pipes|section COUNT EVENT.
// The driver hosts the kill test's port, sends COUNT requests and waits; the
// agent connects to the test's port and takes COUNT requests without
// replying. Each sets EVENT when it is there, and waits to be killed.

int SendRequests(bool shared, int count, HANDLE hReady)
{
    DriverSim sim;
    sim.OfferSharedPath(shared);
    if (!sim.Load(kKillPort) || !sim.WaitForAgent(10000))
        return 2;
    for (int i = 0; i < count; i++)
        if (SendEmpty(sim) == 0)
            return 3;
    SetEvent(hReady);
    Sleep(INFINITE);
    return 0;
}

int HoldRequests(int count, HANDLE hReady)
{
    HANDLE port;
    if (FAILED(FilterConnectCommunicationPort(kPort, 0, kSid.data(), (WORD)kSid.size(), NULL, &port)))
        return 2;
    HANDLE iocp = CreateIoCompletionPort(port, NULL, 1, 0);
    std::vector<Slot> slots(count);
    for (Slot& s : slots)
        Post(port, s);
    for (int i = 0; i < count; i++)
        if (!Next(iocp, 10000).ok)
            return 3;
    SetEvent(hReady);
    Sleep(INFINITE);
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc == 5 && (!wcscmp(argv[1], L"--send-requests") || !wcscmp(argv[1], L"--hold-requests"))) {
        HANDLE hReady = OpenEventW(EVENT_MODIFY_STATE, FALSE, argv[4]);
        int count = _wtoi(argv[3]);
        return !wcscmp(argv[1], L"--send-requests") ? SendRequests(!wcscmp(argv[2], L"section"), count, hReady)
                                                     : HoldRequests(count, hReady);
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
