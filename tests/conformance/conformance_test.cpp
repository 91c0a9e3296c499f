// The real agent served by a small driver stand-in that knows only the pipe
// transport: what any other driver stand-in could rely on.
#include <gtest/gtest.h>

#include <condition_variable>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "AgentHarness.h"
#include "PortPipe.h"

#include <sddl.h>

using namespace harness;

namespace {

const wchar_t kPipeName[] = PORT_PIPE_PREFIX L"ScannerPort";
const DWORD kMaxMessage = 2 * PORT_PIPE_BUFFER;
const DWORD kReplyWaitMs = 10000;
const DWORD kConnectWaitMs = 20000;

// One overlapped read or write, waited for unless `stop` is signalled first.
// Returns 0 or the Win32 error; ERROR_MORE_DATA comes with the bytes read.
DWORD PipeIo(HANDLE hPipe, bool write, void* buf, DWORD size, DWORD* done, HANDLE hStop)
{
    OVERLAPPED ov{};
    ov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    BOOL ok = write ? WriteFile(hPipe, buf, size, nullptr, &ov)
                    : ReadFile(hPipe, buf, size, nullptr, &ov);
    DWORD err = ok ? 0 : GetLastError();
    if (err == ERROR_IO_PENDING) {
        HANDLE waits[2] = {ov.hEvent, hStop};
        if (WaitForMultipleObjects(2, waits, FALSE, INFINITE) != WAIT_OBJECT_0)
            CancelIoEx(hPipe, &ov);
        err = 0;
    }
    *done = 0;
    if ((err == 0 || err == ERROR_MORE_DATA) && !GetOverlappedResult(hPipe, &ov, done, TRUE))
        err = GetLastError();
    CloseHandle(ov.hEvent);
    return err;
}

struct Connection {
    DWORD options = 0;
    std::string context;
    HANDLE hRequest = nullptr;
    bool controlPaired = false;
    DWORD controlOptions = 0;
    std::string controlContext;
    bool live = true;
};

// Hosts \ScannerPort, sends requests and collects the replies.
class DriverStandIn {
public:
    explicit DriverStandIn(DWORD dwHelloDelayMs = 0) : m_helloDelayMs(dwHelloDelayMs) {}
    ~DriverStandIn() { Unload(); }

    bool Load()
    {
        // Wine ignores FILE_FLAG_FIRST_PIPE_INSTANCE: look for another host first.
        if (WaitNamedPipeW(kPipeName, 1))
            return false;
        const std::string sid = ProcessUserSidText();
        const std::wstring sddl = L"D:P(A;;GA;;;" + std::wstring(sid.begin(), sid.end()) + L")(A;;GA;;;SY)";
        if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1,
                                                                  &m_sd, nullptr))
            return false;
        m_hStop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        HANDLE hFirst = NewInstance();
        if (hFirst == INVALID_HANDLE_VALUE)
            return false;
        m_listener = std::thread([this, hFirst] { Listen(hFirst); });
        return true;
    }

    // Closes every instance, as a driver that unloads.
    void Unload()
    {
        if (!m_hStop)
            return;
        SetEvent(m_hStop);
        m_listener.join();   // no thread is added after it
        for (std::thread& t : m_threads)
            t.join();
        m_threads.clear();
        for (HANDLE h : m_instances)
            CloseHandle(h);
        m_instances.clear();
        CloseHandle(m_hStop);
        m_hStop = nullptr;
        LocalFree(m_sd);
        m_sd = nullptr;
    }

    bool WaitForAgent(DWORD dwTimeoutMs)
    {
        std::unique_lock<std::mutex> lock(m_lock);
        return m_changed.wait_for(lock, std::chrono::milliseconds(dwTimeoutMs), [this] {
            return !m_connections.empty() && m_connections.back().controlPaired;
        });
    }

    Connection LastConnection()
    {
        std::lock_guard<std::mutex> lock(m_lock);
        return m_connections.empty() ? Connection{} : m_connections.back();
    }

    // Sends `size` bytes of notification behind a fresh header (or one with
    // the given id, which the contract never sends); 0 on failure.
    uint64_t SendRaw(const void* notification, DWORD size, std::optional<uint64_t> forcedId = {})
    {
        HANDLE hRequest = nullptr;
        std::vector<uint8_t> msg(sizeof(FILTER_MESSAGE_HEADER) + size);
        auto* header = reinterpret_cast<FILTER_MESSAGE_HEADER*>(msg.data());
        {
            std::lock_guard<std::mutex> lock(m_lock);
            if (m_connections.empty() || !m_connections.back().live)
                return 0;
            hRequest = m_connections.back().hRequest;
            header->ReplyLength = REPLY_MESSAGE_SIZE;
            header->MessageId = forcedId ? *forcedId : m_nextId++;
            m_outstanding.insert(header->MessageId);
        }
        if (size)
            memcpy(msg.data() + sizeof(FILTER_MESSAGE_HEADER), notification, size);
        DWORD done = 0;
        if (PipeIo(hRequest, true, msg.data(), DWORD(msg.size()), &done, m_hStop) != 0 ||
            done != msg.size()) {
            std::lock_guard<std::mutex> lock(m_lock);
            m_outstanding.erase(header->MessageId);
            return 0;
        }
        return header->MessageId;
    }
    uint64_t Send(const Notification& n) { return SendRaw(&n, sizeof(n)); }

    bool Await(uint64_t id, std::vector<uint8_t>* reply, DWORD dwTimeoutMs)
    {
        std::unique_lock<std::mutex> lock(m_lock);
        if (!m_changed.wait_for(lock, std::chrono::milliseconds(dwTimeoutMs),
                                [&] { return m_replies.count(id) != 0; }))
            return false;
        *reply = std::move(m_replies[id]);
        m_replies.erase(id);
        return true;
    }

    std::vector<std::string> TakeErrors()
    {
        std::lock_guard<std::mutex> lock(m_lock);
        return std::move(m_errors);
    }

private:
    HANDLE NewInstance()
    {
        SECURITY_ATTRIBUTES sa{sizeof(sa), m_sd, FALSE};
        HANDLE h = CreateNamedPipeW(kPipeName, PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                                    PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT,
                                    PIPE_UNLIMITED_INSTANCES, PORT_PIPE_BUFFER, PORT_PIPE_BUFFER,
                                    0, &sa);
        if (h != INVALID_HANDLE_VALUE) {
            std::lock_guard<std::mutex> lock(m_lock);
            m_instances.push_back(h);
        }
        return h;
    }

    void Error(const std::string& what)
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_errors.push_back(what);
    }

    // Keeps one instance listening; each client gets a thread of its own.
    void Listen(HANDLE hListening)
    {
        while (hListening != INVALID_HANDLE_VALUE) {
            OVERLAPPED ov{};
            ov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
            bool connected = ConnectNamedPipe(hListening, &ov) || GetLastError() == ERROR_PIPE_CONNECTED;
            if (!connected && GetLastError() == ERROR_IO_PENDING) {
                HANDLE waits[2] = {ov.hEvent, m_hStop};
                if (WaitForMultipleObjects(2, waits, FALSE, INFINITE) != WAIT_OBJECT_0)
                    CancelIoEx(hListening, &ov);
                DWORD ignored;
                connected = GetOverlappedResult(hListening, &ov, &ignored, TRUE) != FALSE;
            }
            CloseHandle(ov.hEvent);
            if (WaitForSingleObject(m_hStop, 0) == WAIT_OBJECT_0)
                return;
            if (!connected) {
                DisconnectNamedPipe(hListening);   // a client that left before it was seen
                continue;
            }
            {
                std::lock_guard<std::mutex> lock(m_lock);
                m_threads.emplace_back([this, hListening] { Serve(hListening); });
            }
            hListening = NewInstance();
        }
    }

    void Answer(HANDLE hPipe, HRESULT hr, DWORD id)
    {
        if (WaitForSingleObject(m_hStop, m_helloDelayMs) == WAIT_OBJECT_0)
            return;
        PORT_ANSWER answer{hr, id};
        DWORD done;
        PipeIo(hPipe, true, &answer, sizeof(answer), &done, m_hStop);
    }

    void Serve(HANDLE hPipe)
    {
        std::vector<uint8_t> buf(kMaxMessage);
        DWORD n = 0;
        if (PipeIo(hPipe, false, buf.data(), DWORD(buf.size()), &n, m_hStop) != 0)
            return;
        PORT_HELLO hello{};
        memcpy(&hello, buf.data(), n < sizeof(hello) ? n : sizeof(hello));
        std::string context(reinterpret_cast<char*>(buf.data()) + sizeof(hello),
                            n >= sizeof(hello) ? n - sizeof(hello) : 0);
        if (n < sizeof(hello) || hello.dwMagic != PORT_HELLO_MAGIC ||
            hello.dwVersion != PORT_HELLO_VERSION || hello.dwContextSize > PORT_MAX_CONTEXT ||
            context.size() != hello.dwContextSize ||
            (hello.dwChannel == PORT_CHANNEL_REQUEST && hello.dwConnectionId != 0) ||
            (hello.dwChannel != PORT_CHANNEL_REQUEST && hello.dwChannel != PORT_CHANNEL_CONTROL)) {
            Error("malformed hello of " + std::to_string(n) + " bytes");
            Answer(hPipe, E_INVALIDARG, 0);
            return;
        }
        if (hello.dwChannel == PORT_CHANNEL_REQUEST) {
            DWORD id;
            {
                std::lock_guard<std::mutex> lock(m_lock);
                for (const Connection& c : m_connections) {
                    if (c.live && c.context == context) {
                        m_errors.push_back("second connection for one context");
                        return Answer(hPipe, E_ACCESSDENIED, 0);
                    }
                }
                id = DWORD(m_connections.size() + 1);
                m_connections.push_back({hello.dwOptions, context, hPipe});
            }
            Answer(hPipe, S_OK, id);
            ReadReplies(hPipe, id);
        } else {
            const DWORD id = hello.dwConnectionId;
            {
                std::lock_guard<std::mutex> lock(m_lock);
                if (id < 1 || id > m_connections.size() || m_connections[id - 1].controlPaired) {
                    m_errors.push_back("control hello for unknown connection " + std::to_string(id));
                    return Answer(hPipe, E_INVALIDARG, 0);
                }
                Connection& c = m_connections[id - 1];
                c.controlOptions = hello.dwOptions;
                c.controlContext = context;
                c.controlPaired = true;
            }
            Answer(hPipe, S_OK, id);
            m_changed.notify_all();
            ServeControl(hPipe);
        }
    }

    void ReadReplies(HANDLE hPipe, DWORD id)
    {
        std::vector<uint8_t> buf(kMaxMessage);
        for (;;) {
            DWORD n = 0;
            DWORD err = PipeIo(hPipe, false, buf.data(), DWORD(buf.size()), &n, m_hStop);
            std::lock_guard<std::mutex> lock(m_lock);
            if (err != 0) {
                if (err == ERROR_MORE_DATA)
                    m_errors.push_back("reply larger than " + std::to_string(buf.size()));
                m_connections[id - 1].live = false;
                break;
            }
            uint64_t messageId = 0;
            if (n >= sizeof(FILTER_REPLY_HEADER))
                memcpy(&messageId, buf.data() + offsetof(FILTER_REPLY_HEADER, MessageId), 8);
            if (m_outstanding.erase(messageId) == 0)
                m_errors.push_back("reply with unknown MessageId " + std::to_string(messageId));
            else if (n > REPLY_MESSAGE_SIZE)
                m_errors.push_back("reply longer than ReplyLength: " + std::to_string(n));
            else
                m_replies[messageId].assign(buf.begin(), buf.begin() + n);
            m_changed.notify_all();
        }
        m_changed.notify_all();
    }

    void ServeControl(HANDLE hPipe)
    {
        std::vector<uint8_t> buf(kMaxMessage);
        DWORD n = 0;
        while (PipeIo(hPipe, false, buf.data(), DWORD(buf.size()), &n, m_hStop) == 0) {
            PORT_CONTROL_ANSWER answer{S_OK, 0};
            if (PipeIo(hPipe, true, &answer, sizeof(answer), &n, m_hStop) != 0)
                break;
        }
    }

    const DWORD m_helloDelayMs;
    PSECURITY_DESCRIPTOR m_sd = nullptr;
    HANDLE m_hStop = nullptr;
    std::thread m_listener;
    std::vector<std::thread> m_threads;
    std::vector<HANDLE> m_instances;

    std::mutex m_lock;
    std::condition_variable m_changed;
    std::vector<Connection> m_connections;
    // Above 32 bits, so an id cut to 32 bits anywhere comes back unknown.
    uint64_t m_nextId = 0x100000001ull;
    std::set<uint64_t> m_outstanding;
    std::map<uint64_t, std::vector<uint8_t>> m_replies;
    std::vector<std::string> m_errors;
};

// The reply to `id`, checked whole as ExpectReply checks it.
void ExpectAnswered(DriverStandIn& driver, uint64_t id, int succeeded, const std::string& what)
{
    std::vector<uint8_t> reply;
    ASSERT_TRUE(driver.Await(id, &reply, kReplyWaitMs)) << what << ": no reply to MessageId " << id;
    ExpectReply(reply, id, succeeded, what);
}

void ExpectNoProtocolErrors(DriverStandIn& driver)
{
    Sleep(100);   // a late second reply would show up as an unknown MessageId
    for (const std::string& e : driver.TakeErrors())
        ADD_FAILURE() << e;
}

}  // namespace

// One agent serves one stand-in for the request tests.
class AgentOnStandIn : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        s_driver = new DriverStandIn();
        ASSERT_TRUE(s_driver->Load()) << "\\ScannerPort is already hosted";
        s_agent = new AgentProcess();
        ASSERT_TRUE(s_agent->Start());
        ASSERT_TRUE(s_driver->WaitForAgent(kConnectWaitMs)) << "the agent did not connect";
    }
    static void TearDownTestSuite()
    {
        PostQuitToAgent(2000);
        EXPECT_EQ(0, s_agent->WaitForExit(10000));
        delete s_agent;
        delete s_driver;
    }
    void TearDown() override { ExpectNoProtocolErrors(*s_driver); }

    static inline DriverStandIn* s_driver = nullptr;
    static inline AgentProcess* s_agent = nullptr;
};

TEST_F(AgentOnStandIn, ConnectsWithOptionsZeroAndTheSidTextAsContext)
{
    const std::string sid = ProcessUserSidText();
    ASSERT_FALSE(sid.empty());
    Connection c = s_driver->LastConnection();
    EXPECT_EQ(0u, c.options);
    EXPECT_EQ(sid, c.context) << "exactly the SID text, no terminator";
    EXPECT_TRUE(c.controlPaired);
    EXPECT_EQ(c.options, c.controlOptions) << "the control hello repeats the request hello";
    EXPECT_EQ(c.context, c.controlContext);
}

// Codes that name no command are answered in full too, as failures, and traced.
TEST_F(AgentOnStandIn, EachRequestGetsOneFullReplyWithItsOwnId)
{
    const std::string unhandled = "ScannerWorker() - command not handled - Failed";
    const size_t before = CountOf(ReadFileText(TraceFilePath()), unhandled);
    for (ULONG code : {0ul, 8ul, 18ul, ULONG(DeviceUnpluggedNotice)}) {
        uint64_t id = s_driver->Send(MakeNotification(code));
        ASSERT_NE(0u, id) << "code " << code;
        ExpectAnswered(*s_driver, id, code == DeviceUnpluggedNotice, "code " + std::to_string(code));
    }
    EXPECT_EQ(before + 3, CountOf(ReadFileText(TraceFilePath()), unhandled));
}

// Five is what the agent serves at once; the driver may queue more than that.
TEST_F(AgentOnStandIn, OutstandingRequestsAreAllAnswered)
{
    for (int burst : {5, 16}) {
        SCOPED_TRACE(std::to_string(burst) + " at once");
        std::vector<std::pair<uint64_t, int>> sent;
        for (int i = 0; i < burst; i++) {
            ULONG code = i % 2 ? ULONG(DeviceUnpluggedNotice) : 18u;
            uint64_t id = s_driver->Send(MakeNotification(code));
            ASSERT_NE(0u, id);
            sent.emplace_back(id, code == DeviceUnpluggedNotice);
        }
        for (auto it = sent.rbegin(); it != sent.rend(); ++it)
            ExpectAnswered(*s_driver, it->first, it->second, "id " + std::to_string(it->first));
    }
}

TEST_F(AgentOnStandIn, ShortAndUnnumberedRequestsGetFullReplies)
{
    const ULONG code = DeviceUnpluggedNotice;
    ExpectAnswered(*s_driver, s_driver->SendRaw(&code, sizeof(code)), 1, "code only");
    ExpectAnswered(*s_driver, s_driver->SendRaw(nullptr, 0), -1, "header only");
    // A driver waits for one reply to every request, a malformed id too.
    const Notification n = MakeNotification(DeviceUnpluggedNotice);
    ASSERT_EQ(0u, s_driver->SendRaw(&n, sizeof(n), 0));
    ExpectAnswered(*s_driver, 0, 0, "MessageId 0");
}

// The agent's trace and log are the only outside view of how its reads
// ended: with the code of an unloaded port, once per worker, each worker
// ending once; the agent goes on, and serves the next driver. The first
// driver keeps its connecting client waiting a second for each hello.
TEST(DriverUnload, AgentOutlivesThePortAndAFreshPairWorks)
{
    const std::string gone = "ScannerWorker() - Port is disconnected, probably due to vuvudovu filter unloading. - Failed!";
    const std::string logGone = "Port is disconnected, probably due to vuvudovu filter unloading.";
    const std::string ended = "ScannerWorker() - End", unknown = "ScannerWorker() - Unknown error occured";
    SetLevels(2, 2);
    for (int round = 0; round < 2; round++) {
        SCOPED_TRACE("round " + std::to_string(round));
        AgentProcess agent;
        {
            DriverStandIn driver(round == 0 ? 1000 : 0);
            ASSERT_TRUE(driver.Load()) << "the last stand-in left its pipe behind";
            const std::string traceAtStart = ReadFileText(TraceFilePath());
            ASSERT_TRUE(agent.Start());
            ASSERT_TRUE(driver.WaitForAgent(kConnectWaitMs));
            EXPECT_EQ(ProcessUserSidText(), driver.LastConnection().context);
            ASSERT_TRUE(WaitForWorkers(traceAtStart, kConnectWaitMs));
            ExpectAnswered(driver, driver.Send(MakeNotification(DeviceUnpluggedNotice)), 1, "before unloading");
            ExpectNoProtocolErrors(driver);
            const std::string before = ReadFileText(TraceFilePath());
            driver.Unload();
            EXPECT_TRUE(WaitUntil([&] {
                return CountOf(ReadFileText(TraceFilePath()), ended) == CountOf(before, ended) + 5;
            }, 10000)) << "not every worker ended";
            Sleep(300);   // a sixth line would show up now
            const std::string trace = ReadFileText(TraceFilePath());
            EXPECT_EQ(CountOf(before, gone) + 5, CountOf(trace, gone)) << "once per worker";
            EXPECT_EQ(CountOf(before, ended) + 5, CountOf(trace, ended));
            EXPECT_EQ(CountOf(before, unknown), CountOf(trace, unknown));
            EXPECT_EQ(5u, CountOf(ReadFileText(LogFilePath()), logGone)) << "the log was new at this start";
        }
        Sleep(200);
        EXPECT_TRUE(agent.Running()) << "the message loop goes on without the port";
        ASSERT_TRUE(PostQuitToAgent(2000));
        EXPECT_EQ(0, agent.WaitForExit(10000));
    }
}
