// How vaultctl reaches the agent: its control window, the named sections
// and events the companion side creates, a message sent and its answer
// awaited, and the agent's message boxes met on the way.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace vaultctl {

// Exit codes, as the help states them.
enum ExitCode {
    kDone = 0,       // done, and the answer is positive
    kNegative = 1,   // done, and the answer is negative
    kUsage = 2,      // bad arguments, or refused before anything was done
    kNoAgent = 3,    // no agent runs in this session (or it ended meanwhile)
    kNoAnswer = 4,   // the agent did not answer in time
    kLocal = 5,      // a failure on this side (registry, folder, section, file)
};

// Ends the command with an exit code and a message for stderr.
struct Failure {
    int code;
    std::wstring message;
};
[[noreturn]] void Fail(int code, const std::wstring& message);

// Output in UTF-16 to a console, UTF-8 to a pipe or a file.
void Out(const std::wstring& line);   // stdout, newline appended
void Err(const std::wstring& line);   // stderr, newline appended
std::wstring Format(const wchar_t* format, ...);
std::wstring Seconds(DWORD dwMs);   // "30 s", "0.5 s"

struct Options {
    DWORD dwTimeoutMs = 30000;
    bool bDismiss = false;   // close the agent's message boxes while waiting
};

// A message box of the agent's, as met while waiting.
struct AgentBox {
    std::wstring caption;
    std::wstring text;
};

// A paging-file-backed section created by name; the agent opens it. A name
// that still exists after a short wait is refused: another companion is in
// the middle of a command on it.
class Section {
public:
    Section(const char* pszName, DWORD cbSize);
    ~Section();
    Section(const Section&) = delete;
    Section& operator=(const Section&) = delete;
    template <typename T>
    T* As() { return static_cast<T*>(m_pView); }
    const char* Name() const { return m_pszName; }

private:
    const char* m_pszName;
    HANDLE m_hMapping = nullptr;
    void* m_pView = nullptr;
};

// A manual-reset event created by name, unset; the agent only sets it.
class Event {
public:
    explicit Event(const char* pszName);
    ~Event();
    Event(const Event&) = delete;
    Event& operator=(const Event&) = delete;
    HANDLE Handle() const { return m_hEvent; }
    bool IsSet() const { return WaitForSingleObject(m_hEvent, 0) == WAIT_OBJECT_0; }

private:
    HANDLE m_hEvent = nullptr;
};

class Agent {
public:
    // The agent of this session, found by its control window; fails with
    // kNoAgent when there is none.
    explicit Agent(const Options& options);
    ~Agent();
    Agent(const Agent&) = delete;
    Agent& operator=(const Agent&) = delete;

    DWORD Pid() const { return m_dwPid; }
    // The folder of the agent's program, empty when it cannot be read.
    std::wstring ProgramFolder() const;

    // Sends the registered message and waits, within the time-out, until
    // the agent has handled it and, when pEvent is given, until the event
    // is set. Returns what the window procedure returned.
    LRESULT Send(const wchar_t* pwszMessage, const Event* pEvent = nullptr);
    // Posts WM_QUIT and waits for the process to end.
    bool QuitAndWait();

    // The agent's message boxes met so far, in order.
    const std::vector<AgentBox>& Boxes() const { return m_boxes; }

private:
    // Waits for a handle (or for the agent's end when h is null) until the
    // deadline, watching the agent's boxes meanwhile.
    enum class Wait { kSignalled, kTimedOut, kAgentGone };
    Wait WaitWatching(HANDLE h, ULONGLONG ullDeadline);
    void WatchBoxes();

    Options m_options;
    HWND m_hWnd = nullptr;
    DWORD m_dwPid = 0;
    HANDLE m_hProcess = nullptr;
    std::vector<HWND> m_seen;
    std::vector<AgentBox> m_boxes;
    bool m_bHinted = false;
};

}  // namespace vaultctl
