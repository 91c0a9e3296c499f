#include "DebugMonitor.h"

#include <algorithm>
#include <chrono>
#include <cstring>

namespace {
// The section: the writer's process id, then its text, zero-terminated.
constexpr DWORD kBufferSize = 4096;
}

bool DebugMonitor::Start()
{
    if (hThread_)
        return true;
    hBuffer_ = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, kBufferSize,
                                  L"DBWIN_BUFFER");
    if (!hBuffer_ || GetLastError() == ERROR_ALREADY_EXISTS) {
        CloseHandles();
        return false;
    }
    pView_ = static_cast<const char*>(MapViewOfFile(hBuffer_, FILE_MAP_READ, 0, 0, kBufferSize));
    hBufferReady_ = CreateEventW(nullptr, FALSE, FALSE, L"DBWIN_BUFFER_READY");
    hDataReady_ = CreateEventW(nullptr, FALSE, FALSE, L"DBWIN_DATA_READY");
    hStop_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (pView_ && hBufferReady_ && hDataReady_ && hStop_)
        hThread_ = CreateThread(nullptr, 0, [](void* pSelf) -> DWORD {
            static_cast<DebugMonitor*>(pSelf)->Run();
            return 0;
        }, this, 0, nullptr);
    if (!hThread_) {
        CloseHandles();
        return false;
    }
    return true;
}

void DebugMonitor::Stop()
{
    if (hThread_) {
        SetEvent(hStop_);
        WaitForSingleObject(hThread_, INFINITE);
    }
    CloseHandles();
}

void DebugMonitor::CloseHandles()
{
    if (pView_)
        UnmapViewOfFile(pView_);
    pView_ = nullptr;
    for (HANDLE* ph : {&hThread_, &hStop_, &hDataReady_, &hBufferReady_, &hBuffer_}) {
        if (*ph)
            CloseHandle(*ph);
        *ph = nullptr;
    }
}

void DebugMonitor::Run()
{
    const HANDLE hWait[2] = {hDataReady_, hStop_};
    for (;;) {
        // One writer at a time fills the buffer once it is declared free.
        SetEvent(hBufferReady_);
        if (WaitForMultipleObjects(2, hWait, FALSE, INFINITE) != WAIT_OBJECT_0)
            return;
        Message message;
        std::memcpy(&message.dwProcessId, pView_, sizeof(DWORD));
        const char* pszText = pView_ + sizeof(DWORD);
        message.text.assign(pszText, strnlen(pszText, kBufferSize - sizeof(DWORD)));
        {
            std::lock_guard<std::mutex> guard(lock_);
            messages_.push_back(std::move(message));
        }
        arrived_.notify_all();
    }
}

std::vector<std::string> DebugMonitor::TakeOwn()
{
    static int nMarker = 0;
    const std::string marker = "debug-monitor-marker-" + std::to_string(++nMarker);
    OutputDebugStringA(marker.c_str());
    std::unique_lock<std::mutex> guard(lock_);
    arrived_.wait_for(guard, std::chrono::seconds(5), [&] {
        return std::any_of(messages_.begin(), messages_.end(), [&](const Message& m) { return m.text == marker; });
    });
    std::vector<std::string> texts;
    for (const Message& message : messages_)
        if (message.dwProcessId == GetCurrentProcessId() && message.text != marker)
            texts.push_back(message.text);
    messages_.clear();
    return texts;
}
