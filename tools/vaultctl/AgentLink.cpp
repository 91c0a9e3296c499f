#include "AgentLink.h"

#include <algorithm>
#include <cstdarg>
#include <cwchar>

#include "ControlWindow.h"

namespace vaultctl {

namespace {

const wchar_t kBoxClass[] = L"#32770";
const int kBoxTextId = 0xFFFF;
const DWORD kPollMs = 50;
const DWORD kSectionWaitMs = 2000;   // for a section of the same name to go

void Write(DWORD dwStd, std::wstring text)
{
    text += L"\n";
    HANDLE h = GetStdHandle(dwStd);
    DWORD dwMode = 0;
    DWORD dwWritten = 0;
    if (GetConsoleMode(h, &dwMode)) {
        WriteConsoleW(h, text.data(), static_cast<DWORD>(text.size()), &dwWritten, nullptr);
        return;
    }
    // Files and pipes get the system's line ends.
    for (size_t pos = text.find(L'\n'); pos != std::wstring::npos; pos = text.find(L'\n', pos + 2))
        text.replace(pos, 1, L"\r\n");
    const int cb = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                       nullptr, 0, nullptr, nullptr);
    std::string bytes(cb, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), bytes.data(), cb,
                        nullptr, nullptr);
    WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &dwWritten, nullptr);
}


std::wstring Widen(const char* psz)
{
    return std::wstring(psz, psz + strlen(psz));   // object names are ASCII
}

std::wstring OneLine(std::wstring text)
{
    std::replace(text.begin(), text.end(), L'\r', L' ');
    std::replace(text.begin(), text.end(), L'\n', L' ');
    return text;
}

}  // namespace

std::wstring Seconds(DWORD dwMs)
{
    return dwMs % 1000 ? Format(L"%.1f s", dwMs / 1000.0) : Format(L"%lu s", dwMs / 1000);
}

void Fail(int code, const std::wstring& message) { throw Failure{code, message}; }
void Out(const std::wstring& line) { Write(STD_OUTPUT_HANDLE, line); }
void Err(const std::wstring& line) { Write(STD_ERROR_HANDLE, line); }

std::wstring Format(const wchar_t* format, ...)
{
    wchar_t buf[2048];
    va_list args;
    va_start(args, format);
    const int n = vswprintf(buf, ARRAYSIZE(buf), format, args);
    va_end(args);
    return n < 0 ? std::wstring(format) : std::wstring(buf, n);
}

Section::Section(const char* pszName, DWORD cbSize) : m_pszName(pszName)
{
    // The agent lets go of a section just after it answers through it, so
    // the last command's may still be open for a moment; another program's
    // in the middle of a command is refused after a while.
    const ULONGLONG ullGiveUp = GetTickCount64() + kSectionWaitMs;
    DWORD dwError;
    for (;;) {
        m_hMapping = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, cbSize, pszName);
        dwError = GetLastError();
        if (!m_hMapping || dwError != ERROR_ALREADY_EXISTS)
            break;
        CloseHandle(m_hMapping);
        if (GetTickCount64() >= ullGiveUp)
            Fail(kLocal, L"the section \"" + Widen(pszName) +
                             L"\" is held by another program that is in the middle of a command; try again");
        Sleep(10);
    }
    if (!m_hMapping)
        Fail(kLocal, Format(L"cannot create the section \"%ls\" (error %lu)", Widen(pszName).c_str(), dwError));
    m_pView = MapViewOfFile(m_hMapping, FILE_MAP_ALL_ACCESS, 0, 0, cbSize);
    if (!m_pView) {
        const DWORD dwMapError = GetLastError();
        CloseHandle(m_hMapping);
        Fail(kLocal, Format(L"cannot map the section \"%ls\" (error %lu)", Widen(pszName).c_str(), dwMapError));
    }
}

Section::~Section()
{
    UnmapViewOfFile(m_pView);
    CloseHandle(m_hMapping);
}

Event::Event(const char* pszName)
{
    m_hEvent = CreateEventA(nullptr, TRUE, FALSE, pszName);
    if (!m_hEvent)
        Fail(kLocal, Format(L"cannot create the event \"%ls\" (error %lu)", Widen(pszName).c_str(),
                            GetLastError()));
    ResetEvent(m_hEvent);   // an event that already existed may still be set
}

Event::~Event() { CloseHandle(m_hEvent); }

Agent::Agent(const Options& options) : m_options(options)
{
    m_hWnd = FindWindowW(CONTROL_WINDOW_CLASS, CONTROL_WINDOW_TITLE);
    if (!m_hWnd)
        Fail(kNoAgent, L"no agent is running in this session (start VuvUDOVU.exe first)");
    GetWindowThreadProcessId(m_hWnd, &m_dwPid);
    m_hProcess = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, m_dwPid);
    if (!m_hProcess)
        Fail(kNoAgent, Format(L"the agent (pid %lu) cannot be opened (error %lu)", m_dwPid, GetLastError()));
}

Agent::~Agent() { CloseHandle(m_hProcess); }

std::wstring Agent::ProgramFolder() const
{
    wchar_t path[MAX_PATH];
    DWORD n = MAX_PATH;
    if (!QueryFullProcessImageNameW(m_hProcess, 0, path, &n))
        return L"";
    std::wstring folder(path, n);
    return folder.substr(0, folder.find_last_of(L"\\/"));
}

LRESULT Agent::Send(const wchar_t* pwszMessage, const Event* pEvent)
{
    const UINT uMessage = RegisterWindowMessageW(pwszMessage);
    if (!uMessage)
        Fail(kLocal, Format(L"cannot register the message %ls (error %lu)", pwszMessage, GetLastError()));
    const ULONGLONG ullDeadline = GetTickCount64() + m_options.dwTimeoutMs;

    // Sent from a thread of its own, so that this one can watch for the
    // message boxes that keep the agent's handler from returning.
    struct Call {
        HWND hWnd;
        UINT uMessage;
        DWORD dwTimeoutMs;
        LRESULT lSent;
        DWORD_PTR dwResult;
        DWORD dwError;
    } call{m_hWnd, uMessage, m_options.dwTimeoutMs, 0, 0, 0};
    HANDLE hThread = CreateThread(
        nullptr, 0,
        [](void* p) -> DWORD {
            auto* c = static_cast<Call*>(p);
            SetLastError(0);
            c->lSent = SendMessageTimeoutW(c->hWnd, c->uMessage, 0, 0, SMTO_NORMAL, c->dwTimeoutMs,
                                           &c->dwResult);
            c->dwError = GetLastError();
            return 0;
        },
        &call, 0, nullptr);
    if (!hThread)
        Fail(kLocal, Format(L"cannot start a thread (error %lu)", GetLastError()));
    // SendMessageTimeoutW ends by itself at the deadline, or at once when
    // the agent's window goes away.
    const bool bGone = WaitWatching(hThread, ~0ULL) == Wait::kAgentGone;
    WaitForSingleObject(hThread, INFINITE);
    CloseHandle(hThread);
    if (!call.lSent) {
        if (bGone || WaitForSingleObject(m_hProcess, 0) == WAIT_OBJECT_0 || !IsWindow(m_hWnd))
            Fail(kNoAgent, Format(L"the agent (pid %lu) ended before it answered", m_dwPid));
        Fail(kNoAnswer, L"the agent did not answer within " + Seconds(m_options.dwTimeoutMs));
    }
    if (pEvent) {
        switch (WaitWatching(pEvent->Handle(), ullDeadline)) {
        case Wait::kSignalled:
            break;
        case Wait::kAgentGone:
            Fail(kNoAgent, Format(L"the agent (pid %lu) ended before it answered", m_dwPid));
        case Wait::kTimedOut:
            Fail(kNoAnswer, L"the agent did not answer within " + Seconds(m_options.dwTimeoutMs));
        }
    }
    return static_cast<LRESULT>(call.dwResult);
}

bool Agent::QuitAndWait()
{
    if (!PostMessageW(m_hWnd, WM_QUIT, 0, 0))
        Fail(kNoAgent, Format(L"the agent (pid %lu) went away (error %lu)", m_dwPid, GetLastError()));
    return WaitWatching(nullptr, GetTickCount64() + m_options.dwTimeoutMs) == Wait::kAgentGone;
}

Agent::Wait Agent::WaitWatching(HANDLE h, ULONGLONG ullDeadline)
{
    for (;;) {
        // The awaited handle first: an answer that came just before the
        // agent ended still counts.
        HANDLE handles[2] = {h, m_hProcess};
        const DWORD dwCount = h ? 2 : 1;
        const ULONGLONG ullNow = GetTickCount64();
        const DWORD dwWait = static_cast<DWORD>(std::min<ULONGLONG>(
            kPollMs, ullDeadline > ullNow ? ullDeadline - ullNow : 0));
        const DWORD dwResult = WaitForMultipleObjects(dwCount, h ? handles : handles + 1, FALSE, dwWait);
        if (dwResult == WAIT_OBJECT_0)
            return h ? Wait::kSignalled : Wait::kAgentGone;
        if (dwResult == WAIT_OBJECT_0 + 1)
            return Wait::kAgentGone;
        WatchBoxes();
        if (GetTickCount64() >= ullDeadline)
            return Wait::kTimedOut;
    }
}

void Agent::WatchBoxes()
{
    struct Scan {
        DWORD dwPid;
        std::vector<HWND> boxes;
    } scan{m_dwPid, {}};
    EnumWindows(
        [](HWND hWnd, LPARAM lParam) -> BOOL {
            auto* s = reinterpret_cast<Scan*>(lParam);
            wchar_t cls[16] = {};
            DWORD dwPid = 0;
            GetWindowThreadProcessId(hWnd, &dwPid);
            // A box becomes visible once its text is in place.
            if (dwPid == s->dwPid && IsWindowVisible(hWnd) && GetClassNameW(hWnd, cls, 16) &&
                wcscmp(cls, kBoxClass) == 0)
                s->boxes.push_back(hWnd);
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&scan));
    std::erase_if(m_seen, [](HWND hWnd) { return !IsWindow(hWnd); });
    for (HWND hBox : scan.boxes) {
        if (std::find(m_seen.begin(), m_seen.end(), hBox) != m_seen.end())
            continue;
        m_seen.push_back(hBox);
        AgentBox box;
        wchar_t caption[256] = {};
        GetWindowTextW(hBox, caption, ARRAYSIZE(caption));
        box.caption = caption;
        if (HWND hText = GetDlgItem(hBox, kBoxTextId)) {
            std::wstring text(2048, L'\0');
            DWORD_PTR n = 0;
            SendMessageTimeoutW(hText, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()),
                                SMTO_NORMAL, 2000, &n);
            text.resize(std::min<size_t>(n, text.size()));
            box.text = text;
        }
        std::wstring line = L"agent message box \"" + box.caption + L"\": " + OneLine(box.text);
        if (m_options.bDismiss) {
            DWORD_PTR ignored = 0;
            SendMessageTimeoutW(hBox, WM_COMMAND, IDOK, 0, SMTO_NORMAL, 2000, &ignored);
            line += L" [closed]";
        }
        Out(line);
        if (!m_options.bDismiss && !m_bHinted) {
            Err(L"vaultctl: the agent waits until its message box is closed (--dismiss closes it)");
            m_bHinted = true;
        }
        m_boxes.push_back(std::move(box));
    }
}

}  // namespace vaultctl
