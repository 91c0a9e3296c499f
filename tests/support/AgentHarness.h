// Helpers for tests that run the real agent: starting and stopping it,
// its message boxes, its window, its registry settings and its files.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "VaultWire.h"

namespace harness {

// The agent program beside the running test executable.
std::wstring AgentPath();
std::wstring ExeDir();

// The running test program itself, for tests that need a second process.
std::wstring SelfPath();

// A started agent (or any other) process; ends it (if still running) when
// destroyed.
class AgentProcess {
public:
    AgentProcess() = default;
    ~AgentProcess();
    AgentProcess(const AgentProcess&) = delete;
    AgentProcess& operator=(const AgentProcess&) = delete;

    bool Start();
    // Any program, with a command line tail, in the test's folder.
    bool Start(const std::wstring& program, const std::wstring& arguments);
    // Exit code once it ended within the time-out, or -1.
    long WaitForExit(DWORD dwTimeoutMs);
    bool Running() const;
    void Kill();
    DWORD Pid() const { return m_pi.dwProcessId; }

private:
    PROCESS_INFORMATION m_pi{};
};

// The agent's hidden control window, found by class and title.
HWND FindControlWindow(DWORD dwTimeoutMs);
// Tells the agent to end, the way another program does.
bool PostQuitToAgent(DWORD dwTimeoutMs);
// Ends a running agent that way (by force when it does not end in 10 s): its
// exit code, or -1.
long StopAgent(AgentProcess& agent);

// A message box of any process, found by caption (or by any caption when
// caption is empty and its text matches). Returns NULL on time-out.
HWND FindMessageBox(const std::wstring& caption, DWORD dwTimeoutMs);
std::vector<HWND> FindMessageBoxesWithText(const std::wstring& text);
std::wstring MessageBoxText(HWND hBox);
std::wstring WindowTitle(HWND hWnd);
void DismissMessageBox(HWND hBox);
// The text of a box found by caption, once dismissed; "<no box>" on time-out.
std::wstring TakeMessageBox(const std::wstring& caption, DWORD dwTimeoutMs);

// A text value under HKEY_CURRENT_USER (the key's default value when name
// is null), or "<missing>".
std::wstring RegText(const std::wstring& key, const wchar_t* name = nullptr);

// "LogLevel" and "TraceLevel" under the agent's settings key. A negative
// value deletes the value.
void SetLevels(long lLogLevel, long lTraceLevel);
// The dated log and trace files of today (UTC).
std::wstring LogFolder();
std::wstring LogFilePath();
std::wstring TraceFilePath();
std::string ReadFileText(const std::wstring& path);
void WriteFileText(const std::wstring& path, const std::string& bytes);
// UTF-8, for messages and narrow paths.
std::string Narrow(const std::wstring& text);
// Bytes that differ with the seed and along the file: content to write and
// to check read back.
std::vector<uint8_t> Pattern(size_t size, unsigned seed);

// Deletes a folder and everything in it, read-only files too.
void RemoveTree(const std::wstring& folder);

// Runs a program with a command line tail and waits for it (ended by force
// after the time-out): its exit code, or -1. Its standard output goes to
// *pOut and its standard error to *pErr, or to *pOut as well when none.
long RunProgram(const std::wstring& program, const std::wstring& arguments, std::string* pOut,
                std::string* pErr = nullptr, DWORD dwTimeoutMs = 120000);
size_t CountOf(const std::string& text, const std::string& what);

// Waits until the five workers of an agent started after traceBefore was
// read have posted their first reads (trace level 2 or 3). Until then a
// port that goes away ends a worker before its loop, without the lines of
// a disconnected port.
bool WaitForWorkers(const std::string& traceBefore, DWORD dwTimeoutMs);

// The SID text of this process's user, as the agent makes it.
std::string ProcessUserSidText();

// A zeroed request with a command code.
Notification MakeNotification(ULONG eCommandType);
// Reply parts of a whole reply message as the driver received it.
const struct ReplyMessage* AsReply(const std::vector<uint8_t>& bytes);
// Checks a whole reply message at its raw offsets, so that a drift of the
// shared header cannot hide behind the same header on both sides: 17,472
// bytes, Status 0, MessageId `id` (any when 0), Succeeded `succeeded` (0 or
// 1 when negative).
void ExpectReply(const std::vector<uint8_t>& reply, uint64_t id, int succeeded,
                 const std::string& what);

// A DOS path with its drive as the device it stands for, as the driver names it.
std::wstring DeviceOf(const std::wstring& dosPath);
// A Linux path as a Windows program names it, and back (Wine's own calls).
std::wstring DosName(const std::string& unixPath);
std::string UnixName(const std::wstring& dosPath);
// Runs a command of the host's shell (sh -c, no double quotes in it) and
// waits for it to end, told by a marker file (a Windows path) that it
// leaves: Wine hands back neither the process handle of a Linux program it
// starts nor its standard handles. False when it did not end in 20 s.
bool RunShell(const std::string& command, const std::wstring& marker);

// Polls until the predicate holds or the time runs out.
template <typename F>
bool WaitUntil(F predicate, DWORD dwTimeoutMs)
{
    const ULONGLONG end = GetTickCount64() + dwTimeoutMs;
    for (;;) {
        if (predicate())
            return true;
        if (GetTickCount64() >= end)
            return false;
        Sleep(20);
    }
}

}  // namespace harness
