#include "AgentHarness.h"

#include <gtest/gtest.h>

#include <sddl.h>

#include "ControlWindow.h"
#include <shlobj.h>

#include <cstdio>
#include <filesystem>

namespace harness {

namespace {
const wchar_t kSettingsKey[] = L"Software\\Revedi Zadoder Avir.\\Vuzaziz";
const wchar_t kBoxClass[] = L"#32770";
const int kBoxTextId = 0xFFFF;

std::wstring DatedName(const wchar_t* stem)
{
    SYSTEMTIME st;
    GetSystemTime(&st);
    wchar_t name[64];
    swprintf(name, 64, L"%ls(%d-%d-%d).txt", stem, st.wDay, st.wMonth, st.wYear);
    return name;
}

// Under load the compatibility layer now and then fails a start with
// ERROR_INTERNAL_ERROR: the child died before its start-up was done, so
// none of its own code ran, and the start is tried again.
bool Spawn(const wchar_t* pwszProgram, const std::wstring& cmd, BOOL bInherit, const wchar_t* pwszFolder,
           STARTUPINFOW* pSi, PROCESS_INFORMATION* pPi)
{
    for (int tries = 1;; tries++) {
        std::wstring line = cmd;   // CreateProcessW may write into it
        if (CreateProcessW(pwszProgram, line.data(), nullptr, nullptr, bInherit, 0, nullptr, pwszFolder, pSi, pPi))
            return true;
        if (GetLastError() != ERROR_INTERNAL_ERROR || tries == 3)
            return false;
        Sleep(200);
    }
}
}  // namespace

std::wstring ExeDir()
{
    const std::wstring self = SelfPath();
    return self.substr(0, self.find_last_of(L"\\/"));
}

std::wstring AgentPath() { return ExeDir() + L"\\VuvUDOVU.exe"; }

std::wstring SelfPath()
{
    wchar_t path[MAX_PATH];
    DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
    return std::wstring(path, n);
}

AgentProcess::~AgentProcess() { Kill(); }

bool AgentProcess::Start() { return Start(AgentPath(), L""); }

bool AgentProcess::Start(const std::wstring& program, const std::wstring& arguments)
{
    Kill();
    std::wstring cmd = L"\"" + program + L"\"";
    if (!arguments.empty())
        cmd += L" " + arguments;
    STARTUPINFOW si{sizeof(si)};
    return Spawn(nullptr, cmd, FALSE, ExeDir().c_str(), &si, &m_pi);
}

long AgentProcess::WaitForExit(DWORD dwTimeoutMs)
{
    if (!m_pi.hProcess || WaitForSingleObject(m_pi.hProcess, dwTimeoutMs) != WAIT_OBJECT_0)
        return -1;
    DWORD code = 0;
    GetExitCodeProcess(m_pi.hProcess, &code);
    return static_cast<long>(code);
}

bool AgentProcess::Running() const
{
    return m_pi.hProcess && WaitForSingleObject(m_pi.hProcess, 0) == WAIT_TIMEOUT;
}

void AgentProcess::Kill()
{
    if (!m_pi.hProcess)
        return;
    if (Running()) {
        TerminateProcess(m_pi.hProcess, 99);
        WaitForSingleObject(m_pi.hProcess, 5000);
    }
    CloseHandle(m_pi.hProcess);
    CloseHandle(m_pi.hThread);
    m_pi = {};
}

HWND FindControlWindow(DWORD dwTimeoutMs)
{
    HWND hWnd = nullptr;
    WaitUntil([&] { return (hWnd = FindWindowW(CONTROL_WINDOW_CLASS, CONTROL_WINDOW_TITLE)) != nullptr; },
              dwTimeoutMs);
    return hWnd;
}

bool PostQuitToAgent(DWORD dwTimeoutMs)
{
    HWND hWnd = FindControlWindow(dwTimeoutMs);
    return hWnd && PostMessageW(hWnd, WM_QUIT, 0, 0);
}

long StopAgent(AgentProcess& agent)
{
    if (!agent.Running())
        return agent.WaitForExit(0);
    PostQuitToAgent(2000);
    const long code = agent.WaitForExit(10000);
    agent.Kill();
    return code;
}

HWND FindMessageBox(const std::wstring& caption, DWORD dwTimeoutMs)
{
    HWND hBox = nullptr;
    WaitUntil([&] { return (hBox = FindWindowW(kBoxClass, caption.c_str())) != nullptr; },
              dwTimeoutMs);
    return hBox;
}

std::wstring WindowTitle(HWND hWnd)
{
    wchar_t text[256] = {};
    GetWindowTextW(hWnd, text, 256);
    return text;
}

std::wstring MessageBoxText(HWND hBox)
{
    HWND hStatic = GetDlgItem(hBox, kBoxTextId);
    if (!hStatic)
        return L"<no text control>";
    std::wstring text(2048, L'\0');
    DWORD_PTR n = 0;
    SendMessageTimeoutW(hStatic, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()),
                        SMTO_ABORTIFHUNG, 5000, &n);
    text.resize(n);
    return text;
}

std::vector<HWND> FindMessageBoxesWithText(const std::wstring& text)
{
    struct Search {
        const std::wstring* text;
        std::vector<HWND> found;
    } search{&text, {}};
    EnumWindows(
        [](HWND hWnd, LPARAM lParam) -> BOOL {
            auto* s = reinterpret_cast<Search*>(lParam);
            wchar_t cls[32] = {};
            GetClassNameW(hWnd, cls, 32);
            if (wcscmp(cls, kBoxClass) == 0 && MessageBoxText(hWnd) == *s->text)
                s->found.push_back(hWnd);
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&search));
    return search.found;
}

void DismissMessageBox(HWND hBox)
{
    DWORD_PTR ignored = 0;
    SendMessageTimeoutW(hBox, WM_COMMAND, IDOK, 0, SMTO_ABORTIFHUNG, 5000, &ignored);
}

std::wstring TakeMessageBox(const std::wstring& caption, DWORD dwTimeoutMs)
{
    HWND hBox = FindMessageBox(caption, dwTimeoutMs);
    if (!hBox)
        return L"<no box>";
    const std::wstring text = MessageBoxText(hBox);
    DismissMessageBox(hBox);
    return text;
}

std::wstring RegText(const std::wstring& key, const wchar_t* name)
{
    wchar_t value[600] = {};
    DWORD cb = sizeof(value);
    if (RegGetValueW(HKEY_CURRENT_USER, key.c_str(), name, RRF_RT_REG_SZ, nullptr, value, &cb) != ERROR_SUCCESS)
        return L"<missing>";
    return value;
}

void SetLevels(long lLogLevel, long lTraceLevel)
{
    const std::pair<const wchar_t*, long> values[] = {{L"LogLevel", lLogLevel}, {L"TraceLevel", lTraceLevel}};
    for (const auto& [name, level] : values) {
        const DWORD dw = static_cast<DWORD>(level);
        if (level < 0)
            RegDeleteKeyValueW(HKEY_CURRENT_USER, kSettingsKey, name);
        else
            RegSetKeyValueW(HKEY_CURRENT_USER, kSettingsKey, name, REG_DWORD, &dw, sizeof(dw));
    }
}

std::wstring LogFolder()
{
    wchar_t path[MAX_PATH] = {};
    SHGetFolderPathW(nullptr, CSIDL_LOCAL_APPDATA, nullptr, 0, path);
    return std::wstring(path) + L"\\VuvUDovu";
}

std::wstring LogFilePath() { return LogFolder() + L"\\" + DatedName(L"RavOZor"); }
std::wstring TraceFilePath() { return LogFolder() + L"\\" + DatedName(L"VodORuz"); }

std::string ReadFileText(const std::wstring& path)
{
    // The agent keeps its files open for writing: share them while reading.
    HANDLE h = CreateFileW(path.c_str(), GENERIC_READ,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return {};
    std::string text;
    char buf[65536];
    DWORD n = 0;
    while (ReadFile(h, buf, sizeof(buf), &n, nullptr) && n > 0)
        text.append(buf, n);
    CloseHandle(h);
    return text;
}

void WriteFileText(const std::wstring& path, const std::string& bytes)
{
    HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    DWORD done = 0;
    WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &done, nullptr);
    CloseHandle(h);
}

void RemoveTree(const std::wstring& folder)
{
    std::error_code ec;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(folder, ec))
        SetFileAttributesW(entry.path().c_str(), FILE_ATTRIBUTE_NORMAL);
    std::filesystem::remove_all(folder, ec);
}

std::string Narrow(const std::wstring& text)
{
    std::string s(text.size() * 3, '\0');
    s.resize(WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), s.data(),
                                 static_cast<int>(s.size()), nullptr, nullptr));
    return s;
}

long RunProgram(const std::wstring& program, const std::wstring& arguments, std::string* pOut, std::string* pErr,
                DWORD dwTimeoutMs)
{
    // Files, not pipes: a program that fills one pipe while the other is read would wait for ever.
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    const std::wstring stem = temp + std::wstring(L"run-") + std::to_wstring(GetCurrentProcessId());
    const std::wstring files[2] = {stem + L".out", stem + L".err"};
    SECURITY_ATTRIBUTES sa{sizeof(sa), nullptr, TRUE};
    STARTUPINFOW si{sizeof(si)};
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdOutput = CreateFileW(files[0].c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &sa,
                                CREATE_ALWAYS, 0, nullptr);
    si.hStdError = pErr ? CreateFileW(files[1].c_str(), GENERIC_WRITE, FILE_SHARE_READ, &sa, CREATE_ALWAYS, 0, nullptr)
                        : si.hStdOutput;
    std::wstring cmd = L"\"" + program + L"\" " + arguments;
    PROCESS_INFORMATION pi{};
    DWORD dwExit = static_cast<DWORD>(-1), dwStartError = 0;
    if (!Spawn(nullptr, cmd, TRUE, ExeDir().c_str(), &si, &pi)) {
        dwStartError = GetLastError();
    } else {
        if (WaitForSingleObject(pi.hProcess, dwTimeoutMs) == WAIT_OBJECT_0)
            GetExitCodeProcess(pi.hProcess, &dwExit);
        else
            TerminateProcess(pi.hProcess, 99);
        CloseHandle(pi.hProcess);
        CloseHandle(pi.hThread);
    }
    CloseHandle(si.hStdOutput);
    if (pErr)
        CloseHandle(si.hStdError);
    *pOut = dwStartError ? "CreateProcessW failed with error " + std::to_string(dwStartError) : ReadFileText(files[0]);
    if (pErr)
        *pErr = ReadFileText(files[1]);
    for (const std::wstring& file : files)
        DeleteFileW(file.c_str());
    return static_cast<long>(dwExit);
}

std::vector<uint8_t> Pattern(size_t size, unsigned seed)
{
    std::vector<uint8_t> bytes(size);
    uint32_t x = seed * 2654435761u + 1;
    for (uint8_t& b : bytes) {
        x = x * 1103515245u + 12345u;
        b = static_cast<uint8_t>(x >> 16);
    }
    return bytes;
}

// A name from one of Wine's converters, whose result the caller frees.
template <typename To, typename From> std::basic_string<To> WineName(const char* pszConverter, const From* name)
{
    auto fn = (To*(CDECL*)(const From*))GetProcAddress(GetModuleHandleW(L"kernel32"), pszConverter);
    To* p = fn(name);
    std::basic_string<To> s = p;
    HeapFree(GetProcessHeap(), 0, p);
    return s;
}

std::wstring DosName(const std::string& unixPath) { return WineName<WCHAR>("wine_get_dos_file_name", unixPath.c_str()); }
std::string UnixName(const std::wstring& dosPath) { return WineName<char>("wine_get_unix_file_name", dosPath.c_str()); }

bool RunShell(const std::string& command, const std::wstring& marker)
{
    std::string sh = "sh -c \"" + command + "; touch '" + UnixName(marker) + "'\"";
    std::wstring cmd(sh.begin(), sh.end());
    STARTUPINFOW si = {sizeof si};
    PROCESS_INFORMATION pi = {};
    if (!Spawn(DosName("/bin/sh").c_str(), cmd, FALSE, nullptr, &si, &pi))
        return false;
    bool ended = WaitUntil([&] { return GetFileAttributesW(marker.c_str()) != INVALID_FILE_ATTRIBUTES; }, 20000);
    DeleteFileW(marker.c_str());
    return ended;
}

std::wstring DeviceOf(const std::wstring& dosPath)
{
    wchar_t target[MAX_PATH] = {};
    QueryDosDeviceW(dosPath.substr(0, 2).c_str(), target, MAX_PATH);
    return target + dosPath.substr(2);
}

size_t CountOf(const std::string& text, const std::string& what)
{
    size_t count = 0;
    for (size_t pos = text.find(what); pos != std::string::npos;
         pos = text.find(what, pos + what.size()))
        count++;
    return count;
}

bool WaitForWorkers(const std::string& traceBefore, DWORD dwTimeoutMs)
{
    const bool started = WaitUntil(
        [&] {
            const std::string trace = ReadFileText(TraceFilePath());
            return trace.size() >= traceBefore.size() &&
                   CountOf(trace.substr(traceBefore.size()), "ScannerWorker() - Start") >= 5;
        },
        dwTimeoutMs);
    // A started worker is one allocation and one call away from its read.
    Sleep(100);
    return started;
}

std::string ProcessUserSidText()
{
    HANDLE hToken = nullptr;
    std::string result;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &hToken))
        return result;
    BYTE buf[512];
    DWORD n = 0;
    if (GetTokenInformation(hToken, TokenUser, buf, sizeof(buf), &n)) {
        char* text = nullptr;
        if (ConvertSidToStringSidA(reinterpret_cast<TOKEN_USER*>(buf)->User.Sid, &text)) {
            result = text;
            LocalFree(text);
        }
    }
    CloseHandle(hToken);
    return result;
}

Notification MakeNotification(ULONG eCommandType)
{
    Notification n;
    ZeroMemory(&n, sizeof(n));
    n.eCommandType = eCommandType;
    return n;
}

const struct ReplyMessage* AsReply(const std::vector<uint8_t>& bytes)
{
    return reinterpret_cast<const struct ReplyMessage*>(bytes.data());
}

void ExpectReply(const std::vector<uint8_t>& reply, uint64_t id, int succeeded,
                 const std::string& what)
{
    ASSERT_EQ(17472u, reply.size()) << what;
    uint32_t status;
    uint64_t replyId;
    memcpy(&status, reply.data(), sizeof(status));
    memcpy(&replyId, reply.data() + 8, sizeof(replyId));
    const uint8_t replySucceeded = reply[0x10 + 0x4428];
    EXPECT_EQ(0u, status) << what;
    EXPECT_EQ(AsReply(reply)->ReplyHeader.MessageId, replyId) << what;
    EXPECT_EQ(AsReply(reply)->Reply.Succeeded, replySucceeded) << what;
    if (id != 0)
        EXPECT_EQ(id, replyId) << what;
    if (succeeded >= 0)
        EXPECT_EQ(succeeded, replySucceeded) << what;
    else
        EXPECT_LE(replySucceeded, 1) << what;
}

}  // namespace harness
