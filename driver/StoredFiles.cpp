// Stored files on disk: names, whole-file writes and the meta file's read.
#include "StoredFiles.h"

#include <cwchar>

#include "Text.h"
#include "VaultWire.h"

namespace driversim {

const char* FileErrorName(FileError error)
{
    switch (error) {
    case FileError::None:          return "ok";
    case FileError::NoAgent:       return "no agent";
    case FileError::NoReply:       return "no reply";
    case FileError::AgentRefused:  return "refused by the agent";
    case FileError::NotLoggedIn:   return "not logged in";
    case FileError::NotInVault:    return "not in a vault";
    case FileError::BadPath:       return "bad path";
    case FileError::NotFound:      return "not found";
    case FileError::AlreadyExists: return "already exists";
    case FileError::Disk:          return "disk error";
    case FileError::Corrupt:       return "corrupt";
    }
    return "unknown error";
}

FileResult DiskError(const char* pszWhat, const std::wstring& path, DWORD dwError)
{
    return Fail(FileError::Disk, Format("%s %s: ", pszWhat, Quoted(path).c_str()) + ErrorText(dwError));
}

static DWORD Attributes(const std::wstring& path) { return GetFileAttributesW(path.c_str()); }

bool IsFolder(const std::wstring& path)
{
    DWORD a = Attributes(path);
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY);
}

bool Exists(const std::wstring& path) { return Attributes(path) != INVALID_FILE_ATTRIBUTES; }

bool FolderEmpty(const std::wstring& folder)
{
    WIN32_FIND_DATAW fd;
    HANDLE hFind = FindFirstFileW((folder + L"\\*").c_str(), &fd);
    if (hFind == INVALID_HANDLE_VALUE)
        return true;
    bool bEmpty = true;
    do {
        if (wcscmp(fd.cFileName, L".") != 0 && wcscmp(fd.cFileName, L"..") != 0)
            bEmpty = false;
    } while (bEmpty && FindNextFileW(hFind, &fd));
    FindClose(hFind);
    return bEmpty;
}

std::wstring NewStem(const std::wstring& folder)
{
    static volatile LONG64 counter = 0;
    for (;;) {
        uint64_t x = GetTickCount64() ^ ((uint64_t)GetCurrentProcessId() << 40) ^
                     (uint64_t)InterlockedIncrement64(&counter) * 0x9E3779B97F4A7C15ull;
        x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
        x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
        x ^= x >> 31;
        wchar_t stem[20];
        swprintf(stem, 20, L"%016llX", (unsigned long long)x);
        if (!Exists(folder + L"\\" + stem) && !Exists(folder + L"\\" + stem + L".tmp"))
            return stem;
    }
}

bool IsStem(const std::wstring& name) { return !name.empty() && name.find(L'.') == std::wstring::npos; }

bool IsDataFileName(const std::wstring& name)
{
    return name.size() > 4 && SameText(name.substr(name.size() - 4), L".tmp") && IsStem(name.substr(0, name.size() - 4));
}

Handle::Handle(const std::wstring& path, DWORD access, DWORD disposition)
    : m_h(CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, disposition,
                      FILE_ATTRIBUTE_NORMAL, NULL)),
      m_error(GetLastError())
{
}

Handle::~Handle()
{
    if (m_h != INVALID_HANDLE_VALUE)
        CloseHandle(m_h);
}

bool ReadAt(HANDLE h, uint64_t offset, void* p, size_t cb)
{
    OVERLAPPED ov = {};
    ov.Offset = (DWORD)offset;
    ov.OffsetHigh = (DWORD)(offset >> 32);
    DWORD got = 0;
    if (!ReadFile(h, p, (DWORD)cb, &got, &ov))
        return false;
    if (got != cb) {
        SetLastError(ERROR_HANDLE_EOF);
        return false;
    }
    return true;
}

bool WriteAt(HANDLE h, uint64_t offset, const void* p, size_t cb)
{
    OVERLAPPED ov = {};
    ov.Offset = (DWORD)offset;
    ov.OffsetHigh = (DWORD)(offset >> 32);
    DWORD done = 0;
    return WriteFile(h, p, (DWORD)cb, &done, &ov) && done == cb;
}

FileResult WriteWhole(const std::wstring& path, const void* p, size_t cb, DWORD disposition)
{
    Handle h(path, GENERIC_WRITE, disposition);
    if (!h.ok())
        return h.error() == ERROR_FILE_EXISTS ? Fail(FileError::AlreadyExists, Quoted(path) + " exists")
                                              : DiskError("cannot create", path, h.error());
    if (!WriteAt(h.get(), 0, p, cb) || !SetEndOfFile(h.get()))
        return DiskError("cannot write", path);
    return {};
}

FileResult ReadMeta(const std::wstring& path, std::string* pText)
{
    Handle h(path, GENERIC_READ, OPEN_EXISTING);
    if (!h.ok())
        return DiskError("cannot open the meta file", path, h.error());
    char buffer[MAX_DATA_LENGTH];
    DWORD got = 0;
    if (!ReadFile(h.get(), buffer, sizeof(buffer), &got, NULL))
        return DiskError("cannot read the meta file", path);
    if (got == sizeof(buffer))
        return Fail(FileError::Corrupt, "the meta file " + Quoted(path) + " is too long for a meta text");
    pText->assign(buffer, got);
    return {};
}

}  // namespace driversim
