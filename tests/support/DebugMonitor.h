// Captures the debugger output of this and other processes while no debugger
// is attached, by acting as the session's DBWIN monitor: OutputDebugString
// hands its text to whoever owns the "DBWIN_BUFFER" section.
#pragma once

#include <windows.h>

#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

class DebugMonitor {
public:
    DebugMonitor() = default;
    DebugMonitor(const DebugMonitor&) = delete;
    DebugMonitor& operator=(const DebugMonitor&) = delete;
    ~DebugMonitor() { Stop(); }

    // False when another monitor already owns the buffer in this session.
    bool Start();
    void Stop();

    // This process's texts since the last call, in arrival order. The
    // monitor takes one message at a time, so once a marker sent now has
    // arrived, everything sent before it has.
    std::vector<std::string> TakeOwn();

private:
    struct Message {
        DWORD dwProcessId;
        std::string text;
    };

    void Run();
    void CloseHandles();

    HANDLE hBuffer_ = nullptr;
    const char* pView_ = nullptr;
    HANDLE hBufferReady_ = nullptr;
    HANDLE hDataReady_ = nullptr;
    HANDLE hStop_ = nullptr;
    HANDLE hThread_ = nullptr;

    mutable std::mutex lock_;
    std::condition_variable arrived_;
    std::vector<Message> messages_;
};
