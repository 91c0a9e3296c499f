// Round trips through the filter port, against bare named pipes.
//
// The baseline moves messages of the port's sizes (a 30,480-byte request,
// a 17,472-byte reply) over plain named pipes between this process and a
// child that answers at once. The measured case sends an unhandled command
// through the port stand-in to a real agent, which answers it from its
// worker threads. Between the two, the same port path answered by a bare
// responder in this process (five threads on a completion port, no command
// logic) shows what the transport costs and what the agent adds. The port
// cases run over the pipes alone and over the shared section that the
// simulator offers (standins/port/SharedPath.md), with one and with five
// requests in flight.
//
//   portbench [--requests N]        N round trips per case (default 2000)
#include <windows.h>
#include <fltuser.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cwchar>
#include <string>
#include <thread>
#include <vector>

#include "ControlWindow.h"
#include "DriverSim.h"
#include "QuietAgent.h"
#include "VaultWire.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Figures {
    double perSecond = 0;
    double p50us = 0;
    double p99us = 0;
};

// Runs `inFlight` closed loops that share `total` round trips.
template <typename RoundTrip>
Figures Measure(int inFlight, int total, RoundTrip roundTrip)
{
    std::vector<std::vector<double>> latencies(inFlight);
    std::atomic<bool> failed{false};
    const int each = total / inFlight;
    auto start = Clock::now();
    std::vector<std::thread> loops;
    for (int t = 0; t < inFlight; t++) {
        loops.emplace_back([&, t] {
            latencies[t].reserve(each);
            for (int i = 0; i < each && !failed; i++) {
                auto t0 = Clock::now();
                if (!roundTrip(t)) {
                    failed = true;
                    break;
                }
                latencies[t].push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
            }
        });
    }
    for (auto& l : loops)
        l.join();
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    std::vector<double> all;
    for (auto& l : latencies)
        all.insert(all.end(), l.begin(), l.end());
    Figures f;
    if (failed || all.empty()) {
        fprintf(stderr, "portbench: a round trip failed\n");
        return f;
    }
    std::sort(all.begin(), all.end());
    f.perSecond = all.size() / seconds;
    f.p50us = all[all.size() / 2];
    f.p99us = all[std::min(all.size() - 1, all.size() * 99 / 100)];
    return f;
}

std::wstring SelfPath()
{
    wchar_t path[MAX_PATH];
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    return path;
}

std::wstring SelfDir()
{
    std::wstring p = SelfPath();
    return p.substr(0, p.find_last_of(L"\\/"));
}

bool StartProcess(const std::wstring& commandLine, PROCESS_INFORMATION* pi)
{
    STARTUPINFOW si{};
    si.cb = sizeof(si);
    std::wstring cmd = commandLine;
    return CreateProcessW(nullptr, cmd.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, pi);
}

void EndProcess(PROCESS_INFORMATION& pi, DWORD waitMs)
{
    if (WaitForSingleObject(pi.hProcess, waitMs) != WAIT_OBJECT_0)
        TerminateProcess(pi.hProcess, 1);
    CloseHandle(pi.hProcess);
    CloseHandle(pi.hThread);
}

// The baseline's far side: answer every request on each of `streams` pipes.
int Echo(const wchar_t* pipeName, int streams)
{
    std::vector<std::thread> loops;
    for (int s = 0; s < streams; s++) {
        loops.emplace_back([pipeName] {
            HANDLE h = CreateFileW(pipeName, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
            if (h == INVALID_HANDLE_VALUE)
                return;
            DWORD mode = PIPE_READMODE_MESSAGE;
            SetNamedPipeHandleState(h, &mode, nullptr, nullptr);
            std::vector<uint8_t> request(REQUEST_MESSAGE_SIZE), reply(REPLY_MESSAGE_SIZE);
            DWORD n = 0;
            while (ReadFile(h, request.data(), (DWORD)request.size(), &n, nullptr) &&
                   WriteFile(h, reply.data(), (DWORD)reply.size(), &n, nullptr)) {
            }
            CloseHandle(h);
        });
    }
    for (auto& l : loops)
        l.join();
    return 0;
}

Figures BarePipe(int streams, int total)
{
    wchar_t name[96];
    swprintf(name, 96, L"\\\\.\\pipe\\portbench-%lu-%d", GetCurrentProcessId(), streams);
    std::vector<HANDLE> servers;
    for (int s = 0; s < streams; s++)
        servers.push_back(CreateNamedPipeW(name, PIPE_ACCESS_DUPLEX,
                                           PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT,
                                           PIPE_UNLIMITED_INSTANCES, 65536, 65536, 0, nullptr));
    PROCESS_INFORMATION pi{};
    Figures f;
    if (StartProcess(L"\"" + SelfPath() + L"\" --echo " + name + L" " + std::to_wstring(streams), &pi)) {
        for (HANDLE h : servers)
            ConnectNamedPipe(h, nullptr);
        std::vector<std::vector<uint8_t>> requests(streams, std::vector<uint8_t>(REQUEST_MESSAGE_SIZE));
        std::vector<std::vector<uint8_t>> replies(streams, std::vector<uint8_t>(REPLY_MESSAGE_SIZE));
        f = Measure(streams, total, [&](int t) {
            DWORD n = 0;
            return WriteFile(servers[t], requests[t].data(), REQUEST_MESSAGE_SIZE, &n, nullptr) &&
                   ReadFile(servers[t], replies[t].data(), REPLY_MESSAGE_SIZE, &n, nullptr) &&
                   n == REPLY_MESSAGE_SIZE;
        });
    }
    for (HANDLE h : servers)
        CloseHandle(h);
    if (pi.hProcess)
        EndProcess(pi, 5000);
    return f;
}

// The port path without the agent: five threads on a completion port
// answer every request at once, as the agent's workers do.
struct BareResponder {
    struct Buffer {
        RequestMessage request;
        OVERLAPPED     ovlp;
    };
    HANDLE hPort = INVALID_HANDLE_VALUE;
    HANDLE hCompletion = nullptr;
    std::vector<std::thread> threads;

    bool Start(const wchar_t* pwszPort)
    {
        if (FAILED(FilterConnectCommunicationPort(pwszPort, 0, nullptr, 0, nullptr, &hPort)))
            return false;
        hCompletion = CreateIoCompletionPort(hPort, nullptr, 0, 5);
        for (int t = 0; t < 5; t++) {
            threads.emplace_back([this] {
                Buffer* pBuffer = new Buffer();
                struct ReplyMessage reply = {};
                HRESULT hr = FilterGetMessage(hPort, &pBuffer->request.MessageHeader,
                                              sizeof(RequestMessage), &pBuffer->ovlp);
                while (hr == HRESULT_FROM_WIN32(ERROR_IO_PENDING)) {
                    DWORD cb;
                    ULONG_PTR key;
                    LPOVERLAPPED pOvlp = nullptr;
                    BOOL bOk = GetQueuedCompletionStatus(hCompletion, &cb, &key, &pOvlp, INFINITE);
                    if (!pOvlp)
                        return;
                    pBuffer = CONTAINING_RECORD(pOvlp, Buffer, ovlp);
                    if (bOk) {
                        reply.ReplyHeader.MessageId = pBuffer->request.MessageHeader.MessageId;
                        FilterReplyMessage(hPort, &reply.ReplyHeader, sizeof(reply));
                    }
                    ZeroMemory(&pBuffer->ovlp, sizeof(pBuffer->ovlp));
                    hr = FilterGetMessage(hPort, &pBuffer->request.MessageHeader,
                                          sizeof(RequestMessage), &pBuffer->ovlp);
                }
                delete pBuffer;
            });
        }
        return true;
    }
    // Call after the port has been unloaded: every thread's read fails.
    void Join()
    {
        for (auto& t : threads)
            t.join();
        CloseHandle(hCompletion);
        CloseHandle(hPort);
    }
};

bool Transport(bool bShared, int total, Figures* one, Figures* five)
{
    const wchar_t kPort[] = L"\\PortBench";
    driversim::DriverSim sim;
    sim.OfferSharedPath(bShared);
    BareResponder responder;
    if (!sim.Load(kPort + 1) || !responder.Start(kPort + 1) || !sim.WaitForAgent(5000)) {
        fprintf(stderr, "portbench: the bare responder did not connect\n");
        return false;
    }
    Notification n;
    ZeroMemory(&n, sizeof(n));
    auto roundTrip = [&](int) {
        std::vector<uint8_t> reply;
        return sim.Request(n, &reply, 10000) && reply.size() == REPLY_MESSAGE_SIZE;
    };
    Measure(1, 50, roundTrip);
    *one = Measure(1, total, roundTrip);
    *five = Measure(5, total, roundTrip);
    sim.Unload();
    responder.Join();
    return true;
}

bool AgentPath(bool bShared, int total, Figures* one, Figures* five)
{
    driversim::DriverSim sim;
    sim.OfferSharedPath(bShared);
    if (!sim.Load()) {
        fprintf(stderr, "portbench: \\ScannerPort is already hosted\n");
        return false;
    }
    QuietAgentLevels quiet;
    PROCESS_INFORMATION pi{};
    if (!StartProcess(L"\"" + SelfDir() + L"\\VuvUDOVU.exe\"", &pi) || !sim.WaitForAgent(20000)) {
        fprintf(stderr, "portbench: the agent did not connect\n");
        return false;
    }
    Notification n;
    ZeroMemory(&n, sizeof(n));   // command 0: not handled, answered at once
    auto roundTrip = [&](int) {
        std::vector<uint8_t> reply;
        return sim.Request(n, &reply, 10000) && reply.size() == REPLY_MESSAGE_SIZE;
    };
    Measure(1, 50, roundTrip);   // warm-up
    *one = Measure(1, total, roundTrip);
    *five = Measure(5, total, roundTrip);

    HWND hWnd = FindWindowW(CONTROL_WINDOW_CLASS, CONTROL_WINDOW_TITLE);
    if (hWnd)
        PostMessageW(hWnd, WM_QUIT, 0, 0);
    EndProcess(pi, 10000);
    return true;
}

void Row(const char* what, const Figures& f)
{
    printf("%-38s %10.0f %10.0f %10.0f\n", what, f.perSecond, f.p50us, f.p99us);
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc == 4 && wcscmp(argv[1], L"--echo") == 0)
        return Echo(argv[2], _wtoi(argv[3]));
    int total = 2000;
    if (argc == 3 && wcscmp(argv[1], L"--requests") == 0)
        total = std::max(10, _wtoi(argv[2]));
    else if (argc != 1) {
        fprintf(stderr, "usage: portbench [--requests N]\n");
        return 64;
    }

    printf("portbench: %d round trips per case; request %lu bytes, reply %lu bytes\n", total,
           (unsigned long)REQUEST_MESSAGE_SIZE, (unsigned long)REPLY_MESSAGE_SIZE);
    BarePipe(1, 50);   // warm-up
    Figures bare1 = BarePipe(1, total);
    Figures bare5 = BarePipe(5, total);
    // [0] over the pipes, [1] through the section.
    Figures port1[2], port5[2], agent1[2], agent5[2];
    for (int shared = 0; shared < 2; shared++)
        if (!Transport(shared, total, &port1[shared], &port5[shared]) ||
            !AgentPath(shared, total, &agent1[shared], &agent5[shared]))
            return 1;

    printf("%-38s %10s %10s %10s\n", "case", "req/s", "p50 us", "p99 us");
    Row("bare pipe, 1 in flight", bare1);
    Row("bare pipe, 5 in flight", bare5);
    const char* paths[2] = {"pipes", "section"};
    for (int shared = 0; shared < 2; shared++) {
        std::string via = std::string(" via port (") + paths[shared] + "), ";
        Row(("bare responder" + via + "1").c_str(), port1[shared]);
        Row(("bare responder" + via + "5").c_str(), port5[shared]);
        Row(("agent" + via + "1").c_str(), agent1[shared]);
        Row(("agent" + via + "5").c_str(), agent5[shared]);
    }
    auto ratio = [](const char* what, const Figures& a, const Figures& b) {
        printf("ratio %-34s throughput %.2f, p50 %.2f, p99 %.2f\n", what, a.perSecond / b.perSecond,
               a.p50us / b.p50us, a.p99us / b.p99us);
    };
    for (int shared = 0; shared < 2; shared++) {
        printf("%s:\n", paths[shared]);
        ratio("agent/bare pipe, 1 in flight:", agent1[shared], bare1);
        ratio("agent/bare pipe, 5 in flight:", agent5[shared], bare5);
        ratio("agent/port responder, 1:", agent1[shared], port1[shared]);
        ratio("agent/port responder, 5:", agent5[shared], port5[shared]);
    }
    printf("section/pipes:\n");
    ratio("bare responder, 1:", port1[1], port1[0]);
    ratio("bare responder, 5:", port5[1], port5[0]);
    ratio("agent, 1:", agent1[1], agent1[0]);
    ratio("agent, 5:", agent5[1], agent5[0]);
    return 0;
}
