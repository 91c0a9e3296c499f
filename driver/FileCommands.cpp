// The file commands, and the pipe that carries them to the serving simulator.
#include "FileCommands.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <set>
#include <thread>

#include "Access.h"
#include "HealthCheck.h"
#include "Text.h"

namespace driversim {

const char kFileCommandUsage[] =
    "File commands, carried out by the vaultfilter that serves the port (start\n"
    "it with --serve) for the agent's logged-in vaults:\n"
    "  put LOCALFILE VAULTFILE    copy a file into a vault (creates or replaces)\n"
    "  get VAULTFILE LOCALFILE    copy a vault file out\n"
    "  cat VAULTFILE              print a vault file's content\n"
    "  ls [--stems] VAULTFOLDER   list folders and files with their sizes (and stems)\n"
    "  mv FROM TO                 rename or move a file or folder within its vault;\n"
    "                             TO may be an existing folder\n"
    "  rm VAULTFILE               delete a file\n"
    "  mkdir VAULTFOLDER          make a folder\n"
    "  rmdir VAULTFOLDER          delete a folder with everything in it\n"
    "  where VAULTPATH            the vault, folder and NT volume a path resolves to\n"
    "  check [--json] [--repair] VAULT\n"
    "                             check every stored file of a vault (its drive\n"
    "                             letter or folder); --repair finishes interrupted\n"
    "                             work and sets stray files aside; --json prints one\n"
    "                             object per line; exit 0 sound, 1 problems, 2 could\n"
    "                             not check\n"
    "  stop                       end the serving vaultfilter\n"
    "Vault paths begin with the vault's drive letter (N:\\docs\\a.txt) or with its\n"
    "folder (C:\\Vaults\\Work\\docs\\a.txt); \"/\" may stand for \"\\\". A local path\n"
    "that begins with \"/\" is a path of the host system.\n";

namespace {

constexpr size_t kIoBytes = 1 << 20;              // bytes per read or write of put, get and cat
constexpr DWORD kCommandReadMs = 10000;           // from connection to the whole command
constexpr DWORD kAnswerWriteMs = 60000;
constexpr DWORD kCloseWaitMs = 10000;
constexpr DWORD kProgressWriteMs = 1000;
constexpr size_t kMaxCommandBytes = 256 * 1024;

struct Shape {
    const wchar_t* name;
    size_t         words;   // after the name
};
const Shape kCommands[] = {{L"put", 2}, {L"get", 2}, {L"cat", 1}, {L"ls", 1},
                          {L"mv", 2},  {L"rm", 1},  {L"mkdir", 1}, {L"rmdir", 1},
                          {L"where", 1}, {L"check", 1}, {L"stop", 0}};

FileResult LocalError(const char* pszWhat, const std::wstring& path)
{
    char sz[256] = {};
    DWORD dwError = GetLastError();
    FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, NULL, dwError, 0, sz, sizeof(sz), NULL);
    std::string text = sz;
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
        text.pop_back();
    return FileResult::Fail(FileError::Disk, std::string(pszWhat) + " \"" + Utf8(path) + "\": " + text);
}

FileResult Put(VaultFiles& files, const std::wstring& local, const std::wstring& target, std::string* pOut)
{
    HANDLE h = CreateFileW(local.c_str(), GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    if (h == INVALID_HANDLE_VALUE)
        return LocalError("cannot open", local);
    std::unique_ptr<VaultFiles::File> file;
    FileResult r = files.OpenOrCreate(target, &file);
    if (r && file->Size() != 0)
        r = file->Resize(0);
    std::vector<uint8_t> buffer(kIoBytes);
    uint64_t offset = 0;
    for (DWORD got = 0; r; offset += got) {
        if (!ReadFile(h, buffer.data(), (DWORD)buffer.size(), &got, NULL)) {
            r = LocalError("cannot read", local);
            break;
        }
        if (got == 0)
            break;
        r = file->Write(offset, buffer.data(), got);
    }
    CloseHandle(h);
    if (r)
        r = file->Close();
    if (r)
        *pOut += "put " + std::to_string(offset) + " bytes into " + Utf8(target) + "\n";
    return r;
}

// The whole file to a local file (local non-empty) or to *pOut.
FileResult Get(VaultFiles& files, const std::wstring& source, const std::wstring& local, std::string* pOut)
{
    std::unique_ptr<VaultFiles::File> file;
    if (FileResult r = files.Open(source, &file); !r)
        return r;
    HANDLE h = INVALID_HANDLE_VALUE;
    if (!local.empty()) {
        h = CreateFileW(local.c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
        if (h == INVALID_HANDLE_VALUE)
            return LocalError("cannot create", local);
    }
    std::vector<uint8_t> buffer(kIoBytes);
    FileResult r;
    uint64_t offset = 0;
    for (size_t got = 0; r && offset < file->Size(); offset += got) {
        r = file->Read(offset, buffer.data(), buffer.size(), &got);
        if (!r || got == 0)
            break;
        DWORD done = 0;
        if (h == INVALID_HANDLE_VALUE)
            pOut->append(reinterpret_cast<const char*>(buffer.data()), got);
        else if (!WriteFile(h, buffer.data(), (DWORD)got, &done, NULL) || done != got)
            r = LocalError("cannot write", local);
    }
    if (h != INVALID_HANDLE_VALUE)
        CloseHandle(h);
    if (r)
        r = file->Close();
    if (r && !local.empty())
        *pOut += "got " + std::to_string(offset) + " bytes from " + Utf8(source) + "\n";
    return r;
}

FileResult List(VaultFiles& files, const std::wstring& folder, bool bStems, std::string* pOut)
{
    std::vector<VaultEntry> entries;
    if (FileResult r = files.List(folder, &entries); !r)
        return r;
    for (const VaultEntry& e : entries) {
        char size[32];
        if (e.folder)
            snprintf(size, sizeof(size), "%12s", "<DIR>");
        else if (e.name.empty())
            snprintf(size, sizeof(size), "%12s", "?");
        else
            snprintf(size, sizeof(size), "%12llu", (unsigned long long)e.size);
        std::string line = std::string(size) + "  " + (e.name.empty() ? "(unreadable meta file)" : Utf8(e.name));
        if (!e.folder && (bStems || e.name.empty()))
            line += "  [" + Utf8(e.stem) + "]";
        *pOut += line + "\n";
    }
    return {};
}

// Where Wine runs us, a host path ("/home/me/a.txt") has a DOS name.
std::wstring LocalPath(const std::wstring& path)
{
    if (!path.empty() && path[0] == L'/') {
        typedef WCHAR*(CDECL * DosName)(LPCSTR);
        auto pfn = reinterpret_cast<DosName>(
            reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_dos_file_name")));
        if (pfn != nullptr) {
            if (WCHAR* pwsz = pfn(Utf8(path).c_str())) {
                std::wstring dos = pwsz;
                HeapFree(GetProcessHeap(), 0, pwsz);
                return dos;
            }
        }
        std::wstring dos = L"Z:" + path;
        std::replace(dos.begin(), dos.end(), L'/', L'\\');
        return dos;
    }
    WCHAR full[4 * MAX_PATH];
    DWORD cch = GetFullPathNameW(path.c_str(), ARRAYSIZE(full), full, NULL);
    return cch != 0 && cch < ARRAYSIZE(full) ? std::wstring(full, cch) : path;
}

// One overlapped transfer, waited for until done, stopped or timed out.
DWORD Transfer(HANDLE h, bool bWrite, void* p, DWORD cb, DWORD* pcbDone, HANDLE hStop, DWORD timeoutMs)
{
    HANDLE hEvent = CreateEventW(NULL, TRUE, FALSE, NULL);
    if (hEvent == NULL)
        return GetLastError();
    DWORD dwError = WaitedTransfer(h, bWrite, p, cb, pcbDone, hEvent, hStop, timeoutMs);
    CloseHandle(hEvent);
    return dwError;
}

DWORD ReadMessage(HANDLE h, std::vector<uint8_t>* pMessage, HANDLE hStop, DWORD timeoutMs)
{
    pMessage->clear();
    std::vector<uint8_t> part(64 * 1024);
    for (;;) {
        DWORD cb = 0;
        DWORD dwError = Transfer(h, false, part.data(), (DWORD)part.size(), &cb, hStop, timeoutMs);
        pMessage->insert(pMessage->end(), part.begin(), part.begin() + cb);
        if (dwError != ERROR_MORE_DATA)
            return dwError;
        if (pMessage->size() > kMaxCommandBytes)
            return ERROR_BUFFER_OVERFLOW;
    }
}

// A health check: its report, and its own exit codes.
int Check(VaultFiles& files, const std::wstring& vault, const std::set<std::wstring>& flags, std::string* pOutput,
          const ProgressSink& progress)
{
    const bool bJson = flags.count(L"--json") != 0;
    CheckOptions options;
    options.repair = flags.count(L"--repair") != 0;
    if (progress && flags.count(L"--progress"))
        options.progress = [&](const CheckReport& so) {
            progress(Format("check: %u files in %u folders so far, %u problems", (unsigned)so.files,
                            (unsigned)so.folders, (unsigned)so.Problems()));
        };
    CheckReport report;
    FileResult r = CheckVault(files, vault, options, &report);
    *pOutput = ReportText(report, bJson, r);
    return !r ? kCheckCouldNot : report.Left() != 0 ? kCommandFailed : kCommandDone;
}

FileResult Where(VaultFiles& files, const std::wstring& path, std::string* pOutput)
{
    VaultPath resolved;
    FileResult r = files.Resolve(path, &resolved);
    if (r)
        *pOutput = Utf8(path) + " is " + Utf8(resolved.dos) + " in the vault " + Utf8(resolved.vault) +
                   "; the driver sees " + Utf8(resolved.volume + resolved.parentDir + resolved.name) + "\n";
    return r;
}

}  // namespace

bool IsFileCommand(const std::wstring& word)
{
    return std::any_of(std::begin(kCommands), std::end(kCommands), [&](const Shape& s) { return word == s.name; });
}

int RunFileCommand(VaultFiles& files, const std::vector<std::wstring>& argsIn, std::string* pOutput,
                   const ProgressSink& progress)
{
    pOutput->clear();
    std::vector<std::wstring> args = argsIn;
    bool bStems = false;
    if (args.size() >= 2 && args[0] == L"ls" && args[1] == L"--stems") {
        bStems = true;
        args.erase(args.begin() + 1);
    }
    std::set<std::wstring> flags;
    for (auto it = args.begin(); !args.empty() && args[0] == L"check" && it != args.end();) {
        const bool bFlag = *it == L"--json" || *it == L"--repair" || *it == L"--progress";
        if (bFlag)
            flags.insert(*it);
        it = bFlag ? args.erase(it) : it + 1;
    }
    const Shape* shape = nullptr;
    for (const Shape& s : kCommands)
        if (!args.empty() && args[0] == s.name)
            shape = &s;
    if (shape == nullptr || args.size() != shape->words + 1) {
        *pOutput = "vaultfilter: " + (shape == nullptr ? std::string("not a file command")
                                                      : Utf8(args[0]) + " takes " + std::to_string(shape->words) +
                                                            (shape->words == 1 ? " path" : " paths")) +
                   "\n" + kFileCommandUsage;
        return kCommandBadArguments;
    }
    const std::wstring& name = args[0];
    FileResult r;
    if (name == L"put")
        r = Put(files, args[1], args[2], pOutput);
    else if (name == L"get")
        r = Get(files, args[1], args[2], pOutput);
    else if (name == L"cat")
        r = Get(files, args[1], L"", pOutput);
    else if (name == L"ls")
        r = List(files, args[1], bStems, pOutput);
    else if (name == L"mv")
        r = files.Rename(args[1], args[2]);
    else if (name == L"rm")
        r = files.Delete(args[1]);
    else if (name == L"mkdir")
        r = files.CreateFolder(args[1]);
    else if (name == L"rmdir")
        r = files.DeleteFolder(args[1]);
    else if (name == L"where")
        r = Where(files, args[1], pOutput);
    else if (name == L"check")
        return Check(files, args[1], flags, pOutput, progress);
    else if (name == L"stop")
        *pOutput = "vaultfilter: stopping\n";
    if (r)
        return kCommandDone;
    *pOutput += "vaultfilter: " + Utf8(name) + ": " + FileErrorName(r.error) + ": " + r.text + "\n";
    return kCommandFailed;
}

// ---------------------------------------------------------------------------
// The sender.

int SendFileCommand(std::vector<std::wstring> args, std::string* pOutput, const ProgressSink& progress)
{
    const bool bCheck = !args.empty() && args[0] == L"check";
    pOutput->clear();
    if (!args.empty() && args[0] == L"put" && args.size() == 3)
        args[1] = LocalPath(args[1]);
    if (!args.empty() && args[0] == L"get" && args.size() == 3)
        args[2] = LocalPath(args[2]);
    std::wstring message;
    for (const std::wstring& a : args)
        message += a + L'\0';

    HANDLE h = INVALID_HANDLE_VALUE;
    for (int attempt = 0; attempt < 3 && h == INVALID_HANDLE_VALUE; attempt++) {
        h = CreateFileW(FILE_COMMAND_PIPE, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
        if (h == INVALID_HANDLE_VALUE && GetLastError() == ERROR_PIPE_BUSY)
            WaitNamedPipeW(FILE_COMMAND_PIPE, 5000);
        else if (h == INVALID_HANDLE_VALUE)
            break;
    }
    if (h == INVALID_HANDLE_VALUE) {
        *pOutput = "vaultfilter: no simulator takes file commands; start one with: vaultfilter --serve\n";
        return bCheck ? kCheckCouldNot : kCommandNoSimulator;
    }
    DWORD mode = PIPE_READMODE_MESSAGE, cb = 0;
    SetNamedPipeHandleState(h, &mode, NULL, NULL);
    std::vector<uint8_t> answer;
    bool bOk = WriteFile(h, message.data(), (DWORD)(message.size() * sizeof(wchar_t)), &cb, NULL) != FALSE;
    std::vector<uint8_t> part(64 * 1024);
    int code = kCommandProgress;
    while (bOk && code == kCommandProgress) {
        answer.clear();
        for (;;) {
            BOOL bRead = ReadFile(h, part.data(), (DWORD)part.size(), &cb, NULL);
            answer.insert(answer.end(), part.begin(), part.begin() + cb);
            bOk = bRead || GetLastError() == ERROR_MORE_DATA;
            if (bRead || !bOk)
                break;
        }
        bOk = bOk && answer.size() >= 4;
        if (bOk)
            memcpy(&code, answer.data(), 4);
        if (bOk && code == kCommandProgress && progress)
            progress(std::string(answer.begin() + 4, answer.end()));
    }
    CloseHandle(h);
    if (!bOk) {
        *pOutput = "vaultfilter: the serving simulator gave no answer\n";
        return bCheck ? kCheckCouldNot : kCommandNoSimulator;
    }
    pOutput->assign(answer.begin() + 4, answer.end());
    return code;
}

// ---------------------------------------------------------------------------
// The serving side.

struct FileCommandServer::State {
    VaultFiles&                             files;
    HANDLE                                  hStop = CreateEventW(NULL, TRUE, FALSE, NULL);
    std::thread                             thread;
    std::function<void(const std::string&)> sink;
    std::function<void()>                   onStop;

    explicit State(VaultFiles& f) : files(f) {}
    ~State() { CloseHandle(hStop); }

    void Say(const std::string& line)
    {
        if (sink)
            sink(line);
    }

    static HANDLE NewInstance()
    {
        return CreateNamedPipeW(FILE_COMMAND_PIPE, PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                                PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS,
                                PIPE_UNLIMITED_INSTANCES, 64 * 1024, 64 * 1024, 0, NULL);
    }

    // One command on a connected instance, from its message to the client's close.
    void Serve(HANDLE h)
    {
        std::vector<uint8_t> message;
        if (ReadMessage(h, &message, hStop, kCommandReadMs) != 0)
            return;
        std::vector<std::wstring> args;
        const wchar_t* p = reinterpret_cast<const wchar_t*>(message.data());
        const size_t cch = message.size() / sizeof(wchar_t);
        for (size_t i = 0; i < cch;) {
            size_t n = wcsnlen(p + i, cch - i);
            args.emplace_back(p + i, n);
            i += n + 1;
        }
        std::string output;
        const ULONGLONG start = GetTickCount64();
        // Progress goes out while the command runs; a sender that does not
        // take it within a moment gets no more of it.
        bool bProgress = true;
        auto progress = [&](const std::string& line) {
            std::vector<uint8_t> message(4 + line.size());
            const int code = kCommandProgress;
            memcpy(message.data(), &code, 4);
            memcpy(message.data() + 4, line.data(), line.size());
            DWORD cb = 0;
            bProgress = bProgress && Transfer(h, true, message.data(), (DWORD)message.size(), &cb, hStop,
                                              kProgressWriteMs) == 0;
        };
        int code = RunFileCommand(files, args, &output, progress);
        char seconds[32];
        snprintf(seconds, sizeof(seconds), " in %.3f s", (GetTickCount64() - start) / 1000.0);
        std::string line = "command:";
        for (const std::wstring& a : args)
            line += " " + Utf8(a);
        Say(line + (code == kCommandDone ? " -> done" : " -> failed (exit " + std::to_string(code) + ")") + seconds);
        std::vector<uint8_t> answer(4 + output.size());
        memcpy(answer.data(), &code, 4);
        memcpy(answer.data() + 4, output.data(), output.size());
        DWORD cb = 0;
        if (Transfer(h, true, answer.data(), (DWORD)answer.size(), &cb, hStop, kAnswerWriteMs) == 0) {
            uint8_t byte;
            Transfer(h, false, &byte, 1, &cb, hStop, kCloseWaitMs);   // ends when the client closes
        }
        if (code == kCommandDone && args[0] == L"stop" && onStop)
            onStop();
    }

    // Keeps one instance listening while a command is carried out on another.
    void Run(HANDLE hFirst)
    {
        HANDLE hConnected = CreateEventW(NULL, TRUE, FALSE, NULL);
        HANDLE h = hFirst;
        while (h != INVALID_HANDLE_VALUE) {
            OVERLAPPED ov = {};
            ov.hEvent = hConnected;
            ResetEvent(hConnected);
            bool bConnected = ConnectNamedPipe(h, &ov) || GetLastError() == ERROR_PIPE_CONNECTED;
            if (!bConnected && GetLastError() == ERROR_IO_PENDING) {
                HANDLE waits[2] = {hStop, hConnected};
                DWORD cb;
                if (WaitForMultipleObjects(2, waits, FALSE, INFINITE) == WAIT_OBJECT_0) {
                    CancelIoEx(h, &ov);
                    GetOverlappedResult(h, &ov, &cb, TRUE);
                    CloseHandle(h);
                    break;
                }
                bConnected = GetOverlappedResult(h, &ov, &cb, FALSE) != FALSE;
            }
            HANDLE hNext = NewInstance();
            if (bConnected)
                Serve(h);
            DisconnectNamedPipe(h);
            CloseHandle(h);
            h = hNext;
            if (WaitForSingleObject(hStop, 0) == WAIT_OBJECT_0) {
                if (h != INVALID_HANDLE_VALUE)
                    CloseHandle(h);
                break;
            }
        }
        CloseHandle(hConnected);
    }
};

FileCommandServer::FileCommandServer(VaultFiles& files) : m_state(std::make_unique<State>(files)) {}

FileCommandServer::~FileCommandServer() { Stop(); }

bool FileCommandServer::Start(std::function<void(const std::string&)> sink, std::function<void()> onStop)
{
    if (m_state->thread.joinable() || WaitNamedPipeW(FILE_COMMAND_PIPE, 200))
        return false;
    HANDLE h = State::NewInstance();
    if (h == INVALID_HANDLE_VALUE)
        return false;
    m_state->sink = std::move(sink);
    m_state->onStop = std::move(onStop);
    ResetEvent(m_state->hStop);
    m_state->thread = std::thread([this, h] { m_state->Run(h); });
    return true;
}

void FileCommandServer::Stop()
{
    if (!m_state->thread.joinable())
        return;
    SetEvent(m_state->hStop);
    m_state->thread.join();
}

}  // namespace driversim
