// The filter port over named pipes: the stand-in fltlib.dll (loaded from
// beside this program through the system import library, as the agent loads
// it) against the driver simulator hosted in this process.
#include <windows.h>
#include <fltuser.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <cwctype>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "AgentHarness.h"
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

// Opens a channel by hand, writes the hello and returns the driver's answer.
PORT_ANSWER RawHello(const std::vector<uint8_t>& hello)
{
    PORT_ANSWER answer = {S_FALSE, 0};
    HANDLE h = CreateFileW(kPipe, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
    DWORD mode = PIPE_READMODE_MESSAGE, cb;
    if (h == INVALID_HANDLE_VALUE || !SetNamedPipeHandleState(h, &mode, NULL, NULL))
        return answer;
    if (!WriteFile(h, hello.data(), (DWORD)hello.size(), &cb, NULL) ||
        !ReadFile(h, &answer, sizeof(answer), &cb, NULL) || cb != sizeof(answer))
        answer.hr = S_FALSE;
    CloseHandle(h);
    return answer;
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

VaultControlMessage* NewControl(DWORD command, const wchar_t* path)
{
    auto* m = new VaultControlMessage();
    m->dwCommand = command;
    m->dwCount = 1;
    memcpy(m->szSid, kSid.data(), kSid.size());
    m->dwSidLength = (DWORD)kSid.size();
    wcscpy(m->wszDevicePath[0], path);
    m->dwSettings[0] = 0x11;
    return m;
}

class PortTest : public ::testing::Test {
protected:
    DriverSim sim;
    std::vector<HANDLE> ports;

    void SetUp() override { ASSERT_TRUE(sim.Load(kPort)); }
    void TearDown() override
    {
        sim.Unload();
        for (HANDLE h : ports)
            CloseHandle(h);
    }

    HRESULT Connect(const std::string& context, HANDLE* pPort, DWORD options = 0)
    {
        *pPort = NULL;
        HRESULT hr = FilterConnectCommunicationPort(kPort, options, context.data(),
                                                    (WORD)context.size(), NULL, pPort);
        if (SUCCEEDED(hr))
            ports.push_back(*pPort);
        return hr;
    }
    HANDLE Agent(const std::string& context = kSid)
    {
        HANDLE port = NULL;
        EXPECT_EQ(S_OK, Connect(context, &port)) << "context " << context;
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

TEST(PortConnect, MissingPortIsFileNotFound)
{
    HANDLE port = NULL;
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND),
              FilterConnectCommunicationPort(L"\\NoSuchPortAnywhere", 0, "x", 1, NULL, &port));
    EXPECT_EQ(INVALID_HANDLE_VALUE, port);
}

TEST(PortConnect, BadArgumentsFailWithInvalidArg)
{
    HANDLE port;
    BYTE buffer[64] = {};
    WCHAR dos[8];
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

TEST_F(PortTest, ContextAndOptionsArriveByteExact)
{
    const std::string binary("S-1\0\xFF\x01 tail", 11);
    HANDLE port;
    ASSERT_EQ(S_OK, Connect(binary, &port, 0x5A));
    EXPECT_TRUE(sim.AgentConnected()) << "paired before the connect returns";
    EXPECT_EQ(binary, sim.ConnectionContext());
    EXPECT_EQ(0x5Au, sim.ConnectionOptions());
    Close(port);
    ASSERT_TRUE(sim.WaitForAgentGone(3000));

    ASSERT_EQ(S_OK, Connect("", &port));
    EXPECT_EQ("", sim.ConnectionContext());
    EXPECT_EQ(0u, sim.ConnectionOptions());
    EXPECT_EQ(2u, sim.ConnectionCount());
    EXPECT_TRUE(sim.Errors().empty());
}

TEST_F(PortTest, MalformedHellosAreRefusedWithInvalidArg)
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
        EXPECT_EQ(E_INVALIDARG, RawHello(c.hello).hr) << c.what;
        EXPECT_TRUE(HasError(sim, c.error)) << c.what;
    }
    EXPECT_EQ(0u, sim.ConnectionCount());
    HANDLE port = Agent();   // the port still serves after all that
    EXPECT_NE(nullptr, port);
}

TEST_F(PortTest, OneLiveConnectionPerContext)
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

TEST_F(PortTest, ClosedPortHandleIsNoLongerAPort)
{
    HANDLE port = Agent();
    Close(port);
    DWORD in = 1, cb = 99;
    EXPECT_EQ(kGone, FilterSendMessage(port, &in, sizeof(in), NULL, 0, &cb));
    EXPECT_EQ(0u, cb);
    EXPECT_TRUE(sim.WaitForAgentGone(3000));
    // A new connection (which may well get the same handle value) is served.
    HANDLE again = Agent();
    auto* m = NewControl(DUMP_OPEN_FILES, L"");
    m->dwCount = 0;
    EXPECT_EQ(S_OK, FilterSendMessage(again, m, sizeof(*m), NULL, 0, NULL));
    EXPECT_EQ(1u, sim.Controls().size());
    delete m;
}

// ---------------------------------------------------------------------------
// Requests and replies

TEST_F(PortTest, RequestsCompleteOnceEachThroughTheCompletionPort)
{
    HANDLE port = Agent();
    HANDLE iocp = CreateIoCompletionPort(port, NULL, 42, 0);
    ASSERT_NE(nullptr, iocp);
    std::vector<Slot> slots(5);
    for (Slot& s : slots)
        ASSERT_EQ(kPending, FilterGetMessage(port, &s.request.MessageHeader, offsetof(Slot, ov), &s.ov));

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
        DWORD cb = 0;
        ULONG_PTR key = 0;
        LPOVERLAPPED ov = NULL;
        ASSERT_TRUE(GetQueuedCompletionStatus(iocp, &cb, &key, &ov, 5000)) << "completion " << i;
        EXPECT_EQ(42u, key);
        Slot* s = CONTAINING_RECORD(ov, Slot, ov);
        ASSERT_TRUE(s >= slots.data() && s < slots.data() + 5);
        uint64_t id = s->request.MessageHeader.MessageId;
        EXPECT_TRUE(received.insert(id).second) << "MessageId " << id << " delivered twice";
        if (cb == sizeof(FILTER_MESSAGE_HEADER) + sizeof(shortBody)) {
            EXPECT_STREQ(shortBody, (const char*)&s->request.Notification);
        } else {
            EXPECT_EQ(REQUEST_MESSAGE_SIZE, cb);
            EXPECT_EQ(1234u, s->request.MessageHeader.ReplyLength);
            EXPECT_GE(s->request.Notification.eCommandType, 100u);
        }
    }
    EXPECT_EQ(sent, received);
    DWORD cb;
    ULONG_PTR key;
    LPOVERLAPPED ov;
    EXPECT_FALSE(GetQueuedCompletionStatus(iocp, &cb, &key, &ov, 100)) << "a sixth completion";
    EXPECT_EQ(5u, sim.Outstanding());

    // A request already waiting in the pipe: the read completes at once, and
    // still reaches the completion port, once.
    uint64_t id = sim.Send(*note);
    DWORD avail = 0;
    ASSERT_TRUE(harness::WaitUntil([&] { return PeekNamedPipe(port, NULL, 0, NULL, &avail, NULL) && avail; }, 3000));
    ASSERT_EQ(kPending, FilterGetMessage(port, &slots[0].request.MessageHeader, offsetof(Slot, ov), &slots[0].ov));
    ASSERT_TRUE(GetQueuedCompletionStatus(iocp, &cb, &key, &ov, 2000));
    EXPECT_EQ(&slots[0].ov, ov);
    EXPECT_EQ(id, slots[0].request.MessageHeader.MessageId);
    EXPECT_FALSE(GetQueuedCompletionStatus(iocp, &cb, &key, &ov, 100));
    CloseHandle(iocp);
}

TEST_F(PortTest, RepliesAreMatchedByMessageIdAndQueueNoCompletion)
{
    HANDLE port = Agent();
    HANDLE iocp = CreateIoCompletionPort(port, NULL, 1, 0);
    auto note = std::make_unique<Notification>();
    auto slot = std::make_unique<Slot>();
    uint64_t a = sim.Send(*note), b = sim.Send(*note);
    ASSERT_EQ(S_OK, FilterGetMessage(port, &slot->request.MessageHeader, sizeof(RequestMessage), NULL));
    EXPECT_EQ(a, slot->request.MessageHeader.MessageId);

    // Answered in the other order.
    auto reply = std::make_unique<struct ReplyMessage>();
    for (uint64_t id : {b, a}) {
        memset(reply.get(), (int)id, sizeof(*reply));
        reply->ReplyHeader.Status = 0;
        reply->ReplyHeader.MessageId = id;
        ASSERT_EQ(S_OK, FilterReplyMessage(port, &reply->ReplyHeader, REPLY_MESSAGE_SIZE));
    }
    for (uint64_t id : {a, b}) {
        std::vector<uint8_t> got;
        ASSERT_TRUE(sim.Await(id, &got, 3000)) << "MessageId " << id;
        ASSERT_EQ(REPLY_MESSAGE_SIZE, got.size());
        uint64_t echoed;
        memcpy(&echoed, got.data() + 8, 8);
        EXPECT_EQ(id, echoed);
        EXPECT_EQ((uint8_t)id, got[REPLY_MESSAGE_SIZE - 1]);
    }
    EXPECT_FALSE(sim.Await(a, nullptr, 10)) << "consumed";
    DWORD cb;
    ULONG_PTR key;
    LPOVERLAPPED ov;
    EXPECT_FALSE(GetQueuedCompletionStatus(iocp, &cb, &key, &ov, 100)) << "blocking read or reply queued a packet";

    reply->ReplyHeader.MessageId = 0xDEAD;
    EXPECT_EQ(S_OK, FilterReplyMessage(port, &reply->ReplyHeader, REPLY_MESSAGE_SIZE));
    EXPECT_TRUE(HasError(sim, "reply to unknown MessageId 57005"));
    reply->ReplyHeader.MessageId = a;
    EXPECT_EQ(S_OK, FilterReplyMessage(port, &reply->ReplyHeader, REPLY_MESSAGE_SIZE));
    EXPECT_TRUE(HasError(sim, "unknown MessageId " + std::to_string(a))) << "answered twice";
    CloseHandle(iocp);
}

TEST_F(PortTest, ConcurrentRepliesArriveWhole)
{
    HANDLE port = Agent();
    const int kThreads = 4, kEach = 10;
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; t++) {
        threads.emplace_back([&] {
            auto slot = std::make_unique<Slot>();
            auto reply = std::make_unique<struct ReplyMessage>();
            for (int i = 0; i < kEach; i++) {
                if (FilterGetMessage(port, &slot->request.MessageHeader, sizeof(RequestMessage), NULL) != S_OK)
                    failures++;
                uint64_t id = slot->request.MessageHeader.MessageId;
                memset(reply.get(), 0x40 + (int)(id % 64), sizeof(*reply));
                reply->ReplyHeader.MessageId = id;
                if (FilterReplyMessage(port, &reply->ReplyHeader, REPLY_MESSAGE_SIZE) != S_OK)
                    failures++;
            }
        });
    }
    // Sent while the readers wait: the pipe holds only two requests unread.
    auto note = std::make_unique<Notification>();
    std::vector<uint64_t> ids;
    for (int i = 0; i < kThreads * kEach; i++)
        ids.push_back(sim.Send(*note));
    for (std::thread& t : threads)
        t.join();
    EXPECT_EQ(0, failures.load());
    for (uint64_t id : ids) {
        std::vector<uint8_t> got;
        ASSERT_TRUE(sim.Await(id, &got, 3000)) << "MessageId " << id;
        ASSERT_EQ(REPLY_MESSAGE_SIZE, got.size());
        uint8_t fill = (uint8_t)(0x40 + id % 64);
        EXPECT_EQ(std::vector<uint8_t>(got.size() - 16, fill), std::vector<uint8_t>(got.begin() + 16, got.end()))
            << "MessageId " << id;
    }
    EXPECT_EQ(0u, sim.Outstanding());
    EXPECT_TRUE(sim.Errors().empty());
}

// ---------------------------------------------------------------------------
// Control messages

TEST_F(PortTest, ControlMessagesAreRecordedAndAnswered)
{
    HANDLE port = Agent();
    auto* add = NewControl(ADD_VAULTS, L"\\Device\\HarddiskVolume1\\Vaults\\One");
    add->dwCount = 2;
    wcscpy(add->wszDevicePath[1], L"\\Device\\HarddiskVolume1\\Vaults\\Two");
    wcscpy(add->wszMapName[1], L"\\\\server\\share");
    BYTE out[40] = {};
    DWORD cb = 99;
    EXPECT_EQ(S_OK, FilterSendMessage(port, add, sizeof(*add), out, sizeof(out), &cb));
    EXPECT_EQ(0u, cb);
    ASSERT_EQ(1u, sim.Controls().size());
    EXPECT_EQ(0, memcmp(add, sim.Controls()[0].data(), sizeof(*add)));
    EXPECT_EQ(sizeof(*add), sim.Controls()[0].size());

    sim.SetControlAnswer(HRESULT_FROM_WIN32(ERROR_NOT_READY), {1, 2, 3, 4, 5});
    auto* login = NewControl(VAULT_LOGGED_IN, L"\\DEVICE\\harddiskvolume1\\vaults\\two");
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_NOT_READY), FilterSendMessage(port, login, sizeof(*login), out, 40, &cb));
    EXPECT_EQ(5u, cb);
    EXPECT_EQ(0, memcmp(out, "\1\2\3\4\5", 5));
    // More output than the caller takes: what fits, and the read's error.
    memset(out, 0, sizeof(out));
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_MORE_DATA), FilterSendMessage(port, login, sizeof(*login), out, 4, &cb));
    EXPECT_EQ(4u, cb);
    EXPECT_EQ(0, out[4]);

    sim.SetControlAnswer(S_OK);
    auto* remove = NewControl(REMOVE_VAULT, L"\\Device\\HarddiskVolume1\\Vaults\\One");
    EXPECT_EQ(S_OK, FilterSendMessage(port, remove, sizeof(*remove), out, 40, &cb)) << "answers in step";
    std::vector<DriverSim::Vault> vaults = sim.Vaults();
    ASSERT_EQ(1u, vaults.size());
    EXPECT_EQ(L"\\Device\\HarddiskVolume1\\Vaults\\Two", vaults[0].devicePath);
    EXPECT_EQ(L"\\\\server\\share", vaults[0].mapName);
    EXPECT_EQ(kSid, vaults[0].sid);
    EXPECT_TRUE(vaults[0].loggedIn);

    // Several threads at once: each gets the answer to its own message.
    std::atomic<int> ok{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; t++)
        threads.emplace_back([&] {
            BYTE o[4];
            DWORD n;
            for (int i = 0; i < 10; i++)
                ok += FilterSendMessage(port, login, sizeof(*login), o, 4, &n) == S_OK && n == 0;
        });
    for (std::thread& t : threads)
        t.join();
    EXPECT_EQ(40, ok.load());
    EXPECT_EQ(44u, sim.Controls().size());
    EXPECT_TRUE(sim.Errors().empty());
    delete add;
    delete login;
    delete remove;
}

// ---------------------------------------------------------------------------
// The driver unloads, and comes back

TEST_F(PortTest, UnloadFailsPendingAndLaterCalls)
{
    HANDLE port = Agent();
    HANDLE iocp = CreateIoCompletionPort(port, NULL, 7, 0);
    std::vector<Slot> slots(3);
    for (Slot& s : slots)
        ASSERT_EQ(kPending, FilterGetMessage(port, &s.request.MessageHeader, offsetof(Slot, ov), &s.ov));
    uint64_t id = sim.Send(*std::make_unique<Notification>());
    ASSERT_NE(0u, id);
    DWORD cb;
    ULONG_PTR key;
    LPOVERLAPPED ov;
    ASSERT_TRUE(GetQueuedCompletionStatus(iocp, &cb, &key, &ov, 3000));
    sim.Unload();
    EXPECT_FALSE(sim.Await(id, nullptr, 10));
    for (int i = 0; i < 2; i++) {
        EXPECT_FALSE(GetQueuedCompletionStatus(iocp, &cb, &key, &ov, 3000)) << "pending read " << i;
        EXPECT_NE(nullptr, ov) << "pending read " << i << " error " << GetLastError();
    }
    EXPECT_EQ(kGone, FilterGetMessage(port, &slots[0].request.MessageHeader, offsetof(Slot, ov), &slots[0].ov));
    EXPECT_EQ(kGone, FilterGetMessage(port, &slots[0].request.MessageHeader, offsetof(Slot, ov), NULL));
    auto reply = std::make_unique<struct ReplyMessage>();
    reply->ReplyHeader.MessageId = id;
    EXPECT_EQ(kGone, FilterReplyMessage(port, &reply->ReplyHeader, REPLY_MESSAGE_SIZE));
    DWORD in = 0;
    EXPECT_EQ(kGone, FilterSendMessage(port, &in, 4, NULL, 0, NULL));
    EXPECT_FALSE(sim.AgentConnected());
    CloseHandle(iocp);

    // Loaded again: the same agent (its old handle still open) comes back.
    ASSERT_TRUE(sim.Load(kPort));
    HANDLE again = Agent();
    EXPECT_NE(0u, sim.Send(*std::make_unique<Notification>()));
    EXPECT_EQ(S_OK, FilterGetMessage(again, &slots[0].request.MessageHeader, sizeof(RequestMessage), NULL));
}

TEST_F(PortTest, LoadRefusesWhenThePortIsHosted)
{
    EXPECT_TRUE(DriverSim::PortHosted(kPort));
    DriverSim second;
    EXPECT_FALSE(second.Load(kPort));
    EXPECT_FALSE(second.IsLoaded());
    sim.Unload();
    EXPECT_FALSE(DriverSim::PortHosted(kPort));
    EXPECT_TRUE(second.Load(kPort));
}

TEST_F(PortTest, NothingToSendWithoutAnAgent)
{
    EXPECT_EQ(0u, sim.Send(*std::make_unique<Notification>()));
    EXPECT_FALSE(sim.WaitForAgent(50));
    EXPECT_TRUE(sim.WaitForAgentGone(0));
    EXPECT_FALSE(sim.Await(12345, nullptr, 10));
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
    DefineDosDeviceW(DDD_REMOVE_DEFINITION, drive, NULL);
}

}  // namespace
