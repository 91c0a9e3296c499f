// Stored files on disk: names, whole-file writes, the meta file's read and
// replacement, deletions and renames that survive a crash at any point.
#include "StoredFiles.h"

#include <cwchar>
#include <sstream>

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
    case FileError::NoSpace:       return "no space left";
    case FileError::NameTooLong:   return "path too long";
    case FileError::IsFolder:      return "a folder";
    case FileError::NotFolder:     return "not a folder";
    case FileError::NotEmpty:      return "folder not empty";
    }
    return "unknown error";
}

FileResult DiskError(const char* pszWhat, const std::wstring& path, DWORD dwError)
{
    const bool bFull = dwError == ERROR_DISK_FULL || dwError == ERROR_HANDLE_DISK_FULL;
    return Fail(bFull ? FileError::NoSpace : FileError::Disk,
                Format("%s %s: ", pszWhat, Quoted(path).c_str()) + ErrorText(dwError));
}

static DWORD Attributes(const std::wstring& path) { return GetFileAttributesW(path.c_str()); }

bool IsFolder(const std::wstring& path)
{
    DWORD a = Attributes(path);
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY);
}

bool Exists(const std::wstring& path) { return Attributes(path) != INVALID_FILE_ATTRIBUTES; }

FileResult RemoveEmptyFolder(const std::wstring& folder)
{
    if (RemoveDirectoryW(folder.c_str()))
        return {};
    const DWORD dwError = GetLastError();
    return dwError == ERROR_DIR_NOT_EMPTY ? Fail(FileError::NotEmpty, Quoted(folder) + " is not empty")
                                          : DiskError("cannot delete the folder", folder, dwError);
}

std::wstring RandomStem()
{
    static volatile LONG64 counter = 0;
    uint64_t x = GetTickCount64() ^ ((uint64_t)GetCurrentProcessId() << 40) ^
                 (uint64_t)InterlockedIncrement64(&counter) * 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    x ^= x >> 31;
    wchar_t stem[20];
    swprintf(stem, 20, L"%016llX", (unsigned long long)x);
    return stem;
}

std::wstring NewStem(const std::wstring& folder)
{
    for (;;) {
        const std::wstring stem = RandomStem();
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
    : m_h(CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                      disposition, FILE_ATTRIBUTE_NORMAL, NULL)),
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

// A write cut short (a disk that fills up) goes on until the system says why.
bool WriteAt(HANDLE h, uint64_t offset, const void* p, size_t cb)
{
    const uint8_t* at = static_cast<const uint8_t*>(p);
    while (cb > 0) {
        OVERLAPPED ov = {};
        ov.Offset = (DWORD)offset;
        ov.OffsetHigh = (DWORD)(offset >> 32);
        DWORD done = 0;
        if (!WriteFile(h, at, (DWORD)cb, &done, &ov))
            return false;
        if (done == 0) {
            SetLastError(ERROR_DISK_FULL);
            return false;
        }
        at += done;
        offset += done;
        cb -= done;
    }
    return true;
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

// ---------------------------------------------------------------------------
// Replacing, moving and deleting.

namespace {

// Another program (the agent reading a meta file) may hold a stored file
// open for a moment; the compatibility layer then refuses to rename or
// delete it, or to rename over it. Such a refusal is waited out, briefly.
constexpr DWORD kBusyWaitMs = 3000;

bool Busy(DWORD dwError) { return dwError == ERROR_SHARING_VIOLATION || dwError == ERROR_ACCESS_DENIED; }

template <typename Call>
BOOL Patiently(Call call)
{
    const ULONGLONG until = GetTickCount64() + kBusyWaitMs;
    for (DWORD sleep = 1;; sleep = sleep < 32 ? sleep * 2 : 32) {
        if (call())
            return TRUE;
        const DWORD dwError = GetLastError();
        if (!Busy(dwError) || GetTickCount64() >= until) {
            SetLastError(dwError);
            return FALSE;
        }
        Sleep(sleep);
    }
}

FileResult FlushHandle(HANDLE h, const std::wstring& path)
{
    return FlushFileBuffers(h) ? FileResult{} : DiskError("cannot flush", path);
}

bool SameContent(const std::wstring& path, const std::string& text)
{
    std::string now;
    return ReadMeta(path, &now) && now == text;
}

}  // namespace

FileResult MakeMeta(const std::wstring& path, const std::string& text)
{
    FileResult r = WriteWhole(path, text.data(), text.size(), CREATE_NEW);
    if (!r && r.error != FileError::AlreadyExists)
        DeleteFileW(path.c_str());   // what this call made of it
    return r;
}

FileResult OverwriteMeta(const std::wstring& path, const std::string& text)
{
    return OverwriteMeta(Handle(path, GENERIC_WRITE, OPEN_EXISTING), path, text);
}

FileResult OverwriteMeta(const Handle& h, const std::wstring& path, const std::string& text)
{
    if (!h.ok())
        return DiskError("cannot open the meta file", path, h.error());
    if (!WriteAt(h.get(), 0, text.data(), text.size()))
        return DiskError("cannot write", path);
    return {};
}

FileResult PlaceMeta(const std::wstring& path, const std::string& text, bool bFlush)
{
    const std::wstring temp = path + kNewSuffix;
    {
        Handle h(temp, GENERIC_WRITE, CREATE_ALWAYS);
        if (!h.ok())
            return DiskError("cannot create", temp, h.error());
        FileResult r;
        if (!WriteAt(h.get(), 0, text.data(), text.size()))
            r = DiskError("cannot write", temp);
        else if (bFlush)
            r = FlushHandle(h.get(), temp);
        if (!r) {
            DeleteFileW(temp.c_str());
            return r;
        }
    }
    FileResult r = MoveStored(temp, path, true);
    if (!r)
        DeleteFileW(temp.c_str());
    return r;
}

FileResult MoveStored(const std::wstring& from, const std::wstring& to, bool bReplace)
{
    if (Patiently([&] { return MoveFileExW(from.c_str(), to.c_str(), bReplace ? MOVEFILE_REPLACE_EXISTING : 0); }))
        return {};
    const DWORD dwError = GetLastError();
    if (dwError == ERROR_ALREADY_EXISTS || dwError == ERROR_FILE_EXISTS)
        return Fail(FileError::AlreadyExists, Quoted(to) + " exists");
    return DiskError(("cannot rename it to " + Quoted(to) + ":").c_str(), from, dwError);
}

FileResult RemoveStored(const std::wstring& path)
{
    if (Patiently([&] { return DeleteFileW(path.c_str()); }))
        return {};
    const DWORD dwError = GetLastError();
    if (dwError == ERROR_FILE_NOT_FOUND || dwError == ERROR_PATH_NOT_FOUND)
        return {};
    return DiskError("cannot delete", path, dwError);
}

FileResult FlushStored(const std::wstring& path)
{
    // A folder is flushed through a handle opened for writing, as files are.
    HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           NULL, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, NULL);
    if (h == INVALID_HANDLE_VALUE)
        return DiskError("cannot open", path);
    FileResult r = FlushHandle(h, path);
    CloseHandle(h);
    return r;
}

FileResult SetStoredTime(const std::wstring& path, const FILETIME& modified)
{
    HANDLE h = CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           NULL, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, NULL);
    if (h == INVALID_HANDLE_VALUE)
        return DiskError("cannot open", path);
    const BOOL bSet = SetFileTime(h, NULL, &modified, &modified);
    const DWORD dwError = GetLastError();
    CloseHandle(h);
    return bSet ? FileResult{} : DiskError("cannot set the time of", path, dwError);
}

bool LastWrite(const std::wstring& path, FILETIME* pTime, bool* pbFolder)
{
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data))
        return false;
    *pTime = data.ftLastWriteTime;
    if (pbFolder != nullptr)
        *pbFolder = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    return true;
}

FileResult DeletePair(const std::wstring& folder, const std::wstring& stem, bool bKeepData, std::wstring* pLeft)
{
    const std::wstring meta = folder + L"\\" + stem;
    if (bKeepData)
        return MoveStored(meta, meta + kDeletedSuffix, true);
    // The meta file over the data file: the name and the content go in one
    // step, with no new name to make (which costs a search of the whole
    // folder under the compatibility layer). What a crash leaves is a data
    // file holding a meta text (DeleteLeftover).
    if (FileResult r = MoveStored(meta, meta + L".tmp", true); !r)
        return r;
    if (pLeft == nullptr)
        return RemoveStored(meta + L".tmp");
    *pLeft = meta + L".tmp";
    return {};
}

bool DeleteLeftover(const std::wstring& dataPath, uint64_t bytes)
{
    static const char kHead[] = "<?xml";
    std::string text;
    return bytes > 0 && bytes <= MAX_DATA_LENGTH && ReadMeta(dataPath, &text) &&
           text.compare(0, sizeof(kHead) - 1, kHead) == 0;
}

FileResult FinishDelete(const std::wstring& folder, const std::wstring& stem)
{
    const std::wstring meta = folder + L"\\" + stem;
    if (FileResult r = RemoveStored(meta + L".tmp"); !r)
        return r;
    return RemoveStored(meta + kDeletedSuffix);
}

// ---------------------------------------------------------------------------
// Renames, and their records.

namespace {

const char kRecordHead[] = "vault rename 1";

std::wstring Join(const std::wstring& vault, const std::wstring& folder)
{
    return folder.empty() ? vault : vault + L"\\" + folder;
}

std::string RecordText(const RenamePlan& plan)
{
    std::string text = std::string(kRecordHead) + "\n";
    text += "from=" + Utf8(plan.fromFolder) + "|" + Utf8(plan.fromStem) + "\n";
    text += "to=" + Utf8(plan.toFolder) + "|" + Utf8(plan.toStem) + "\n";
    text += "replaces=" + Utf8(plan.replacedStem) + "|" + (plan.replacedOpen ? "open" : "closed") + "\n";
    text += "meta=" + std::to_string(plan.meta.size()) + "\n" + plan.meta;
    return text;
}

bool SplitPair(const std::string& value, std::wstring* pFirst, std::wstring* pSecond)
{
    const size_t bar = value.find('|');
    return bar != std::string::npos && Wide(value.substr(0, bar), pFirst) && Wide(value.substr(bar + 1), pSecond);
}

bool ParseRecord(const std::string& text, RenamePlan* pPlan)
{
    std::istringstream in(text);
    std::string head, from, to, replaces, meta;
    if (!std::getline(in, head) || head != kRecordHead || !std::getline(in, from) || !std::getline(in, to) ||
        !std::getline(in, replaces) || !std::getline(in, meta) || from.rfind("from=", 0) != 0 ||
        to.rfind("to=", 0) != 0 || replaces.rfind("replaces=", 0) != 0 || meta.rfind("meta=", 0) != 0)
        return false;
    std::wstring open;
    if (!SplitPair(from.substr(5), &pPlan->fromFolder, &pPlan->fromStem) ||
        !SplitPair(to.substr(3), &pPlan->toFolder, &pPlan->toStem) ||
        !SplitPair(replaces.substr(9), &pPlan->replacedStem, &open))
        return false;
    pPlan->replacedOpen = open == L"open";
    const size_t at = (size_t)in.tellg();
    const unsigned long long bytes = strtoull(meta.c_str() + 5, nullptr, 10);
    if (at == (size_t)-1 || text.size() - at != bytes)
        return false;
    pPlan->meta = text.substr(at);
    return IsStem(pPlan->fromStem) && IsStem(pPlan->toStem) &&
           (pPlan->replacedStem.empty() || IsStem(pPlan->replacedStem)) && !pPlan->meta.empty();
}

// Steps 2 to 7, each done only if it is not done yet (bFresh: nothing is
// done yet, no need to look); *pbUndoable stays true while nothing but the
// new meta text's temporary file was written.
FileResult RollForward(const std::wstring& vault, const std::wstring& record, const RenamePlan& plan, bool bFresh,
                       bool* pbUndoable)
{
    const std::wstring from = Join(vault, plan.fromFolder) + L"\\" + plan.fromStem;
    const std::wstring to = Join(vault, plan.toFolder) + L"\\" + plan.toStem;
    const bool bMoves = from != to;
    *pbUndoable = true;
    if (bFresh || !SameContent(to, plan.meta)) {
        if (bFresh || !SameContent(to + kNewSuffix, plan.meta)) {
            if (FileResult r = WriteWhole(to + kNewSuffix, plan.meta.data(), plan.meta.size(), CREATE_ALWAYS); !r)
                return r;
        }
        if (bMoves && (bFresh || (Exists(from + L".tmp") && !Exists(to + L".tmp")))) {
            *pbUndoable = false;
            if (FileResult r = MoveStored(from + L".tmp", to + L".tmp"); !r)
                return r;
        }
        *pbUndoable = false;
        if (FileResult r = MoveStored(to + kNewSuffix, to, true); !r)
            return r;
    }
    *pbUndoable = false;
    if (bMoves) {
        if (FileResult r = RemoveStored(from); !r)
            return r;
    }
    if (!plan.replacedStem.empty()) {
        const std::wstring folder = Join(vault, plan.toFolder), replaced = folder + L"\\" + plan.replacedStem;
        if (bFresh || Exists(replaced)) {
            if (FileResult r = DeletePair(folder, plan.replacedStem, plan.replacedOpen); !r)
                return r;
        } else if (!plan.replacedOpen) {
            if (FileResult r = FinishDelete(folder, plan.replacedStem); !r)
                return r;
        }
    }
    return RemoveStored(record);
}

}  // namespace

FileResult WriteRenameRecord(const std::wstring& vault, const RenamePlan& plan, std::wstring* pRecord)
{
    const std::wstring record = vault + L"\\" + NewStem(vault) + kRenameSuffix;
    const std::string text = RecordText(plan);
    if (FileResult r = WriteWhole(record + kNewSuffix, text.data(), text.size(), CREATE_NEW); !r) {
        DeleteFileW((record + kNewSuffix).c_str());
        return r;
    }
    if (FileResult r = MoveStored(record + kNewSuffix, record); !r) {
        DeleteFileW((record + kNewSuffix).c_str());
        return r;
    }
    *pRecord = record;
    return {};
}

FileResult CarryOutRename(const std::wstring& vault, const RenamePlan& plan)
{
    std::wstring record;
    if (FileResult r = WriteRenameRecord(vault, plan, &record); !r)
        return r;
    bool bUndoable = true;
    FileResult r = RollForward(vault, record, plan, true, &bUndoable);
    if (!r && bUndoable) {   // nothing has moved: as if it had not begun
        DeleteFileW((Join(vault, plan.toFolder) + L"\\" + plan.toStem + kNewSuffix).c_str());
        DeleteFileW(record.c_str());
    }
    return r;
}

FileResult ReadRenameRecord(const std::wstring& path, RenamePlan* pPlan)
{
    std::string text;
    FileResult r = ReadMeta(path, &text);
    if (r && !ParseRecord(text, pPlan))
        r = Fail(FileError::Corrupt, "the rename record " + Quoted(path) + " cannot be read");
    return r;
}

std::vector<std::wstring> RenameRecords(const std::wstring& vault)
{
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW fd;
    HANDLE hFind = FindFirstFileExW((vault + L"\\*" + kRenameSuffix + L"*").c_str(), FindExInfoBasic, &fd,
                                    FindExSearchNameMatch, NULL, 0);
    if (hFind == INVALID_HANDLE_VALUE)
        return names;
    do {
        const std::wstring name = fd.cFileName;
        const size_t dot = name.find(L'.');
        const std::wstring suffix = dot == std::wstring::npos ? L"" : name.substr(dot);
        if (!(fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && IsStem(name.substr(0, dot)) &&
            (suffix == kRenameSuffix || suffix == std::wstring(kRenameSuffix) + kNewSuffix))
            names.push_back(name);
    } while (FindNextFileW(hFind, &fd));
    FindClose(hFind);
    return names;
}

FileResult FinishRename(const std::wstring& vault, const std::wstring& name, std::string* pDone)
{
    const std::wstring path = vault + L"\\" + name;
    if (name.substr(name.find(L'.')) != kRenameSuffix) {   // a record never made whole: nothing was done
        *pDone = "cleared a rename that had not begun: " + Utf8(name);
        return RemoveStored(path);
    }
    RenamePlan plan;
    FileResult r = ReadRenameRecord(path, &plan);
    plan.replacedOpen = false;   // whoever held it open is gone
    bool bUndoable;
    if (r)
        r = RollForward(vault, path, plan, false, &bUndoable);
    if (r)
        *pDone = "finished a rename: " + Utf8(Join(L"", plan.fromFolder) + L"\\" + plan.fromStem) + " -> " +
                 Utf8(Join(L"", plan.toFolder) + L"\\" + plan.toStem);
    return r;
}

FileResult RecoverVault(const std::wstring& vault, std::vector<std::string>* pDone)
{
    FileResult result;
    for (const std::wstring& name : RenameRecords(vault)) {
        std::string done;
        FileResult r = FinishRename(vault, name, &done);
        if (r)
            pDone->push_back(done);
        else if (result)
            result = r;
    }
    return result;
}

}  // namespace driversim
