// File operations on a vault, played the way the Vault Filter plays them:
// every question that needs a key goes to the agent, every byte on disk is
// written and read here.
#include "VaultFiles.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <deque>

namespace driversim {

namespace {

constexpr size_t kChunk = MAX_DATA_LENGTH;   // bytes per block request
constexpr size_t kPiece = 64 * kChunk;       // plain bytes held at once by a read or write
constexpr size_t kMaxField = MAX_PATH_CHARS - 1;

std::string Utf8(const std::wstring& w)
{
    int cb = WideCharToMultiByte(CP_UTF8, 0, w.c_str(), (int)w.size(), NULL, 0, NULL, NULL);
    std::string s(cb, '\0');
    WideCharToMultiByte(CP_UTF8, 0, w.c_str(), (int)w.size(), s.data(), cb, NULL, NULL);
    return s;
}

std::string Format(const char* pszFormat, ...)
{
    char sz[1024];
    va_list args;
    va_start(args, pszFormat);
    vsnprintf(sz, sizeof(sz), pszFormat, args);
    va_end(args);
    return sz;
}

FileResult Fail(FileError error, const std::string& text) { return FileResult::Fail(error, text); }

std::string Quoted(const std::wstring& path) { return "\"" + Utf8(path) + "\""; }

bool SameText(const std::wstring& a, const std::wstring& b)
{
    return CompareStringOrdinal(a.c_str(), (int)a.size(), b.c_str(), (int)b.size(), TRUE) == CSTR_EQUAL;
}

// Whether path is base itself or lies below it.
bool Within(const std::wstring& path, const std::wstring& base)
{
    return path.size() >= base.size() && SameText(path.substr(0, base.size()), base) &&
           (path.size() == base.size() || path[base.size()] == L'\\');
}

DWORD Attributes(const std::wstring& path) { return GetFileAttributesW(path.c_str()); }
bool IsFolder(const std::wstring& path)
{
    DWORD a = Attributes(path);
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY);
}
bool Exists(const std::wstring& path) { return Attributes(path) != INVALID_FILE_ATTRIBUTES; }

uint64_t RoundUp(uint64_t n, uint64_t block) { return (n + block - 1) / block * block; }

std::unique_ptr<Notification> NewRequest(ULONG command)
{
    auto n = std::make_unique<Notification>();   // zeroed: 30 KB, not on the stack
    n->eCommandType = command;
    n->Requester[0] = GetCurrentProcessId();
    n->Requester[1] = GetCurrentThreadId();
    return n;
}

// The agent copies every string into 260 characters; longer ones are refused.
bool Put(WCHAR* field, const std::wstring& value)
{
    if (value.size() > kMaxField)
        return false;
    std::copy(value.begin(), value.end(), field);
    field[value.size()] = 0;
    return true;
}

const struct Reply& ReplyOf(const std::vector<uint8_t>& bytes)
{
    return reinterpret_cast<const struct ReplyMessage*>(bytes.data())->Reply;
}

std::wstring FieldText(const WCHAR* field) { return std::wstring(field, wcsnlen(field, MAX_PATH_CHARS)); }

// A stem nobody could take for a name: 16 hex digits, no ".".
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

std::string ErrorText(DWORD dwError)
{
    char sz[256] = {};
    if (!FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, NULL, dwError, 0, sz,
                        sizeof(sz), NULL))
        return Format("error %lu", dwError);
    std::string s = sz;
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == '.'))
        s.pop_back();
    return s + Format(" (error %lu)", dwError);
}

FileResult DiskError(const char* pszWhat, const std::wstring& path, DWORD dwError = GetLastError())
{
    return Fail(FileError::Disk, Format("%s %s: ", pszWhat, Quoted(path).c_str()) + ErrorText(dwError));
}

// A stored file, opened for what the caller does with it.
class Handle {
public:
    Handle(const std::wstring& path, DWORD access, DWORD disposition)
        : m_h(CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, disposition,
                          FILE_ATTRIBUTE_NORMAL, NULL)),
          m_error(GetLastError())
    {
    }
    ~Handle()
    {
        if (m_h != INVALID_HANDLE_VALUE)
            CloseHandle(m_h);
    }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    bool ok() const { return m_h != INVALID_HANDLE_VALUE; }
    DWORD error() const { return m_error; }
    HANDLE get() const { return m_h; }

private:
    HANDLE m_h;
    DWORD  m_error;
};

// Reads exactly cb bytes at offset; false with ERROR_HANDLE_EOF when the file ends first.
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

// A meta file as the driver reads it: the text, at most what fits a request.
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

VaultPath AsFolder(const VaultPath& where)
{
    VaultPath inside = where;
    inside.folder = where.dos;
    inside.name.clear();
    inside.parentDir = where.dos.substr(2) + (where.dos.size() > 3 ? L"\\" : L"");
    return inside;
}

}  // namespace

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

// ---------------------------------------------------------------------------
// Requests.

struct VaultFiles::Asked {
    std::vector<uint8_t> bytes;
    const struct Reply& reply() const { return ReplyOf(bytes); }
};

namespace {

const char* CommandName(ULONG command)
{
    switch (command) {
    case CreateFileInVault:     return "CreateFileInVault";
    case AuthenticateUser:      return "AuthenticateUser";
    case EncryptBlock:          return "EncryptBlock";
    case GetNormalBuffer:       return "GetNormalBuffer";
    case ParsedFileNew:         return "ParsedFileNew";
    case PreDirBrowsing:        return "PreDirBrowsing";
    case UpdateMetaFileName:    return "UpdateMetaFileName";
    case DeleteFolder:          return "DeleteFolder";
    case GetLogicalFileDetails: return "GetLogicalFileDetails";
    case UpdateMetaFileSize2:   return "UpdateMetaFileSize2";
    case ReleaseFSK:            return "ReleaseFSK";
    }
    return "request";
}

// The checks every reply passes: sent, answered in time, whole, and carried out.
FileResult CheckReply(ULONG command, uint64_t id, bool bGot, const std::vector<uint8_t>& bytes,
                      DWORD timeoutMs)
{
    const char* what = CommandName(command);
    if (id == 0)
        return Fail(FileError::NoAgent, Format("%s: no agent is connected to take it", what));
    if (!bGot)
        return Fail(FileError::NoReply, Format("%s: no reply within %lu ms", what, timeoutMs));
    const auto* m = reinterpret_cast<const struct ReplyMessage*>(bytes.data());
    if (bytes.size() != REPLY_MESSAGE_SIZE || m->ReplyHeader.Status != 0)
        return Fail(FileError::NoReply, Format("%s: a reply of %u bytes with status 0x%lX, not a whole reply",
                                               what, (unsigned)bytes.size(),
                                               bytes.size() >= 4 ? (unsigned long)m->ReplyHeader.Status : 0ul));
    if (!m->Reply.Succeeded)
        return Fail(FileError::AgentRefused, Format("%s: the agent answered Succeeded 0", what));
    return {};
}

}  // namespace

VaultFiles::VaultFiles(DriverSim& sim, DWORD timeoutMs) : m_sim(sim), m_timeoutMs(timeoutMs) {}

void VaultFiles::TakeSlot()
{
    std::unique_lock<std::mutex> lock(m_slotMu);
    m_slotFree.wait(lock, [&] { return m_slotsUsed < kInFlight; });
    m_slotsUsed++;
}

bool VaultFiles::TryTakeSlot()
{
    std::lock_guard<std::mutex> lock(m_slotMu);
    if (m_slotsUsed >= kInFlight)
        return false;
    m_slotsUsed++;
    return true;
}

void VaultFiles::GiveSlot()
{
    {
        std::lock_guard<std::mutex> lock(m_slotMu);
        m_slotsUsed--;
    }
    m_slotFree.notify_one();
}

FileResult VaultFiles::Ask(const Notification& request, const char* pszWhat, Asked* pAnswer)
{
    TakeSlot();
    uint64_t id = m_sim.Send(request);
    bool bGot = id != 0 && m_sim.Await(id, &pAnswer->bytes, m_timeoutMs);
    GiveSlot();
    FileResult r = CheckReply(request.eCommandType, id, bGot, pAnswer->bytes, m_timeoutMs);
    if (!r && pszWhat != nullptr && *pszWhat != 0)
        r.text += Format(" (%s)", pszWhat);
    return r;
}

FileResult VaultFiles::Authenticate(const VaultPath& where)
{
    auto n = NewRequest(AuthenticateUser);
    if (!Put(n->Volume, where.volume) || !Put(n->ParentDir, where.parentDir) || !Put(n->FileName, where.name))
        return Fail(FileError::BadPath, Quoted(where.dos) + " is too long for a request");
    Asked a;
    if (FileResult r = Ask(*n, Utf8(where.dos).c_str(), &a); !r)
        return r;
    if (!a.reply().Login.LoggedIn)
        return Fail(FileError::NotLoggedIn, "the vault " + Quoted(where.vault) +
                                                " is not logged in (AuthenticateUser answered LoggedIn 0)");
    return {};
}

// The stored data file of a logical name in the folder that holds it.
FileResult VaultFiles::FindDataFile(const VaultPath& where, std::wstring* pDataFile)
{
    auto n = NewRequest(PreDirBrowsing);
    if (!Put(n->VaultPath, where.folder) || !Put(n->FileName, where.name))
        return Fail(FileError::BadPath, Quoted(where.dos) + " is too long for a request");
    Asked a;
    FileResult r = Ask(*n, nullptr, &a);
    if (r.error == FileError::AgentRefused)
        return Fail(FileError::NotFound, "no file " + Quoted(where.dos) + " (PreDirBrowsing found none)");
    if (!r)
        return r;
    std::wstring data = FieldText(a.reply().DataFile.FileName);
    if (data.size() <= 4 || !SameText(data.substr(data.size() - 4), L".tmp") ||
        data.find(L'.') != data.size() - 4 || data.find(L'\\') != std::wstring::npos)
        return Fail(FileError::Corrupt, "PreDirBrowsing named " + Quoted(data) + " for " + Quoted(where.dos) +
                                            ", not a stored data file");
    *pDataFile = data;
    return {};
}

FileResult VaultFiles::ReleaseKey(ULONG key)
{
    auto n = NewRequest(ReleaseFSK);
    n->FSKHandle = key;
    Asked a;
    return Ask(*n, nullptr, &a);
}

// ---------------------------------------------------------------------------
// Paths.

FileResult VaultFiles::Resolve(const std::wstring& input, VaultPath* pOut) const
{
    std::wstring p = input;
    std::replace(p.begin(), p.end(), L'/', L'\\');
    if (p.size() == 2)
        p += L'\\';
    if (p.size() < 3 || !iswalpha(p[0]) || p[1] != L':' || p[2] != L'\\')
        return Fail(FileError::BadPath, Quoted(input) + ": give a full path that begins with a drive letter, "
                                                        "such as N:\\docs\\report.txt");
    // A vault's drive letter is a substitution of its folder: the driver
    // sees the folder on the real volume.
    std::wstring volume;
    for (int hops = 0;; hops++) {
        WCHAR target[1024] = {};
        const WCHAR drive[3] = {(WCHAR)towupper(p[0]), L':', 0};
        if (!QueryDosDeviceW(drive, target, ARRAYSIZE(target)))
            return Fail(FileError::BadPath, Quoted(input) + ": there is no drive " + Utf8(drive));
        std::wstring t = target;
        if (t.rfind(L"\\??\\", 0) == 0 && t.size() >= 6 && t[5] == L':' && hops < 8) {
            p = t.substr(4) + p.substr(2);
            continue;
        }
        volume = t;
        break;
    }
    WCHAR full[4 * MAX_PATH];
    DWORD cch = GetFullPathNameW(p.c_str(), ARRAYSIZE(full), full, NULL);
    if (cch == 0 || cch >= ARRAYSIZE(full))
        return Fail(FileError::BadPath, Quoted(input) + ": not a usable path");
    p.assign(full, cch);
    if (p.size() > 3 && p.back() == L'\\')
        p.pop_back();

    VaultPath out;
    out.dos = p;
    out.volume = volume;
    const std::wstring device = volume + p.substr(2);
    for (const DriverSim::Vault& v : m_sim.Vaults()) {
        if (v.devicePath.size() >= volume.size() && Within(v.devicePath, volume) && Within(device, v.devicePath)) {
            out.vault = p.substr(0, 2 + v.devicePath.size() - volume.size());
            break;
        }
    }
    if (out.vault.empty())
        return Fail(FileError::NotInVault, Quoted(input) + " (" + Utf8(device) +
                                               ") lies in no vault that the agent announced");
    if (p.size() > out.vault.size()) {
        size_t slash = p.rfind(L'\\');
        out.folder = p.substr(0, slash);
        out.name = p.substr(slash + 1);
        out.parentDir = out.folder.substr(2) + L"\\";
    } else {
        out = AsFolder(out);
    }
    *pOut = out;
    return {};
}

// ---------------------------------------------------------------------------
// Opening and creating.

FileResult VaultFiles::OpenAt(const VaultPath& where, std::unique_ptr<File>* pFile)
{
    std::wstring data;
    if (FileResult r = FindDataFile(where, &data); !r)
        return r;
    auto n = NewRequest(GetLogicalFileDetails);
    Put(n->Volume, where.volume);
    Put(n->ParentDir, where.parentDir);
    Put(n->FileName, data);
    Asked a;
    if (FileResult r = Ask(*n, Utf8(where.dos).c_str(), &a); !r)
        return r;
    const LOGICAL_FILE& lf = a.reply().LogicalFile;
    std::wstring stem = data.substr(0, data.size() - 4);
    std::unique_ptr<File> file(new File(*this, where, stem, std::string(), (uint64_t)lf.FileSize.QuadPart,
                                        lf.FSKHandle, lf.CipherBlockSize));
    file->m_name = FieldText(lf.FileName);
    if (lf.FileSize.QuadPart < 0 || lf.CipherBlockSize == 0 || kChunk % lf.CipherBlockSize != 0)
        return Fail(FileError::Corrupt, Format("GetLogicalFileDetails gave size %lld and block size %lu for ",
                                               (long long)lf.FileSize.QuadPart, lf.CipherBlockSize) +
                                            Quoted(where.dos));
    if (FileResult r = ReadMeta(file->MetaPath(), &file->m_meta); !r)
        return r;
    *pFile = std::move(file);
    return {};
}

FileResult VaultFiles::CreateAt(const VaultPath& where, std::unique_ptr<File>* pFile)
{
    if (IsFolder(where.dos))
        return Fail(FileError::AlreadyExists, Quoted(where.dos) + " is a folder");
    auto n = NewRequest(CreateFileInVault);
    if (!Put(n->Volume, where.volume) || !Put(n->ParentDir, where.parentDir) || !Put(n->FileName, where.name))
        return Fail(FileError::BadPath, Quoted(where.dos) + " is too long for a request");
    Asked a;
    if (FileResult r = Ask(*n, Utf8(where.dos).c_str(), &a); !r)
        return r;
    const VAULT_FILE& vf = a.reply().VaultFile;
    const std::wstring stem = NewStem(where.folder);
    std::unique_ptr<File> file(new File(*this, where, stem, std::string(), 0, vf.FSKHandle, vf.CipherBlockSize));
    file->m_name = where.name;
    if (vf.DataLength == 0 || vf.DataLength > MAX_DATA_LENGTH || vf.CipherBlockSize == 0 ||
        kChunk % vf.CipherBlockSize != 0)
        return Fail(FileError::Corrupt, Format("CreateFileInVault gave a meta text of %lu bytes and block size %lu",
                                               vf.DataLength, vf.CipherBlockSize));
    file->m_meta.assign(reinterpret_cast<const char*>(vf.Data), vf.DataLength);
    FileResult r = WriteWhole(file->MetaPath(), file->m_meta.data(), file->m_meta.size(), CREATE_NEW);
    if (r)
        r = WriteWhole(file->DataPath(), "", 0, CREATE_NEW);
    if (!r) {
        DeleteFileW(file->MetaPath().c_str());
        return r;   // the file's destructor gives the key back
    }
    *pFile = std::move(file);
    return {};
}

FileResult VaultFiles::Create(const std::wstring& path, std::unique_ptr<File>* pFile)
{
    VaultPath where;
    if (FileResult r = Resolve(path, &where); !r)
        return r;
    if (where.IsVaultRoot())
        return Fail(FileError::AlreadyExists, Quoted(path) + " is the vault folder");
    if (FileResult r = Authenticate(where); !r)
        return r;
    if (!IsFolder(where.folder))
        return Fail(FileError::NotFound, "no folder " + Quoted(where.folder));
    std::wstring data;
    FileResult found = FindDataFile(where, &data);
    if (found)
        return Fail(FileError::AlreadyExists, Quoted(path) + " exists (stored as " + Utf8(data) + ")");
    if (found.error != FileError::NotFound)
        return found;
    return CreateAt(where, pFile);
}

FileResult VaultFiles::Open(const std::wstring& path, std::unique_ptr<File>* pFile)
{
    VaultPath where;
    if (FileResult r = Resolve(path, &where); !r)
        return r;
    if (where.IsVaultRoot() || IsFolder(where.dos))
        return Fail(FileError::BadPath, Quoted(path) + " is a folder, not a file");
    if (FileResult r = Authenticate(where); !r)
        return r;
    return OpenAt(where, pFile);
}

FileResult VaultFiles::OpenOrCreate(const std::wstring& path, std::unique_ptr<File>* pFile)
{
    VaultPath where;
    if (FileResult r = Resolve(path, &where); !r)
        return r;
    if (where.IsVaultRoot() || IsFolder(where.dos))
        return Fail(FileError::BadPath, Quoted(path) + " is a folder, not a file");
    if (FileResult r = Authenticate(where); !r)
        return r;
    if (!IsFolder(where.folder))
        return Fail(FileError::NotFound, "no folder " + Quoted(where.folder));
    std::wstring data;
    FileResult found = FindDataFile(where, &data);
    if (found)
        return OpenAt(where, pFile);
    return found.error == FileError::NotFound ? CreateAt(where, pFile) : found;
}

// ---------------------------------------------------------------------------
// Folders.

FileResult VaultFiles::List(const std::wstring& path, std::vector<VaultEntry>* pEntries)
{
    VaultPath where;
    if (FileResult r = Resolve(path, &where); !r)
        return r;
    if (!IsFolder(where.dos))
        return Fail(FileError::NotFound, "no folder " + Quoted(path));
    const VaultPath inside = AsFolder(where);
    if (FileResult r = Authenticate(inside); !r)
        return r;

    std::vector<VaultEntry> folders, files;
    WIN32_FIND_DATAW fd;
    HANDLE hFind = FindFirstFileExW((where.dos + L"\\*").c_str(), FindExInfoStandard, &fd,
                                    FindExSearchNameMatch, NULL, 0);
    if (hFind == INVALID_HANDLE_VALUE)
        return DiskError("cannot list", where.dos);
    do {
        const std::wstring name = fd.cFileName;
        if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            if (name != L"." && name != L"..")
                folders.push_back({name, true, 0, L"", fd.ftLastWriteTime});
        } else if (name.find(L'.') == std::wstring::npos) {
            files.push_back({L"", false, 0, name});
        }
    } while (FindNextFileW(hFind, &fd));
    FindClose(hFind);
    std::sort(files.begin(), files.end(), [](const VaultEntry& a, const VaultEntry& b) { return a.stem < b.stem; });

    // The driver reads the meta files and has the agent read them, ten at a time.
    for (size_t first = 0; first < files.size(); first += DIR_BATCH_ENTRIES) {
        if (FileResult r = Decode(where.dos, files.data() + first,
                                  std::min<size_t>(DIR_BATCH_ENTRIES, files.size() - first));
            !r)
            return r;
    }
    auto byName = [](const VaultEntry& a, const VaultEntry& b) {
        return CompareStringOrdinal(a.name.c_str(), (int)a.name.size(), b.name.c_str(), (int)b.name.size(),
                                    TRUE) == CSTR_LESS_THAN;
    };
    std::sort(folders.begin(), folders.end(), byName);
    std::stable_sort(files.begin(), files.end(), byName);
    pEntries->assign(folders.begin(), folders.end());
    pEntries->insert(pEntries->end(), files.begin(), files.end());
    return {};
}

// Logical names, sizes and times of up to ten stored files of one folder
// (given by their stems): the meta files read here, decoded by the agent.
FileResult VaultFiles::Decode(const std::wstring& folder, VaultEntry* pEntries, size_t count)
{
    VaultPath where;
    if (FileResult r = Resolve(folder, &where); !r)
        return r;
    const std::wstring folderOnVolume = where.volume + AsFolder(where).parentDir;
    auto n = NewRequest(ParsedFileNew);
    Put(n->Volume, where.volume);
    n->DirFileNames.LastIndex = (ULONG)(count - 1);
    n->DataLength = (ULONG)(count * DIR_SLICE_SIZE);
    for (size_t i = 0; i < count; i++) {
        const std::wstring& stem = pEntries[i].stem;
        if (!Put(n->DirFileNames.FileName[i], folderOnVolume + stem + L".tmp"))
            return Fail(FileError::BadPath, Quoted(where.dos) + " is too long for a request");
        WIN32_FILE_ATTRIBUTE_DATA data;
        if (GetFileAttributesExW((where.dos + L"\\" + stem + L".tmp").c_str(), GetFileExInfoStandard, &data)) {
            n->DirFileNames.FileSize[i].QuadPart = ((int64_t)data.nFileSizeHigh << 32) | data.nFileSizeLow;
            pEntries[i].modified = data.ftLastWriteTime;
        }
        std::string meta;
        ReadMeta(where.dos + L"\\" + stem, &meta);   // an unreadable one is sent empty
        memcpy(n->Data + i * DIR_SLICE_SIZE, meta.data(), std::min<size_t>(meta.size(), DIR_SLICE_SIZE - 1));
    }
    Asked a;
    if (FileResult r = Ask(*n, Utf8(where.dos).c_str(), &a); !r)
        return r;
    for (size_t i = 0; i < count; i++) {
        pEntries[i].name = FieldText(a.reply().DirFileNames.FileName[i]);
        pEntries[i].size = (uint64_t)a.reply().DirFileNames.FileSize[i].QuadPart;
    }
    return {};
}

FileResult VaultFiles::Stat(const std::wstring& path, VaultEntry* pEntry)
{
    VaultPath where;
    if (FileResult r = Resolve(path, &where); !r)
        return r;
    WIN32_FILE_ATTRIBUTE_DATA data;
    const bool bFolder = GetFileAttributesExW(where.dos.c_str(), GetFileExInfoStandard, &data) &&
                         (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
    if (FileResult r = Authenticate(bFolder ? AsFolder(where) : where); !r)
        return r;
    if (bFolder) {
        *pEntry = {where.name, true, 0, L"", data.ftLastWriteTime};
        return {};
    }
    std::wstring dataFile;
    if (FileResult r = FindDataFile(where, &dataFile); !r)
        return r;
    VaultEntry entry;
    entry.stem = dataFile.substr(0, dataFile.size() - 4);
    if (FileResult r = Decode(where.folder, &entry, 1); !r)
        return r;
    if (entry.name.empty())
        return Fail(FileError::Corrupt, "the meta file of " + Quoted(where.dos) + " cannot be read");
    *pEntry = entry;
    return {};
}

FileResult VaultFiles::CreateFolder(const std::wstring& path)
{
    VaultPath where;
    if (FileResult r = Resolve(path, &where); !r)
        return r;
    if (where.IsVaultRoot())
        return Fail(FileError::AlreadyExists, Quoted(path) + " is the vault folder");
    if (FileResult r = Authenticate(where); !r)
        return r;
    std::wstring data;
    if (FindDataFile(where, &data))
        return Fail(FileError::AlreadyExists, Quoted(path) + " is a file");
    if (!CreateDirectoryW(where.dos.c_str(), NULL)) {
        DWORD dwError = GetLastError();
        if (dwError == ERROR_ALREADY_EXISTS)
            return Fail(FileError::AlreadyExists, Quoted(path) + " exists");
        if (dwError == ERROR_PATH_NOT_FOUND)
            return Fail(FileError::NotFound, "no folder " + Quoted(where.folder));
        return DiskError("cannot create the folder", where.dos, dwError);
    }
    return {};
}

FileResult VaultFiles::DeleteFolder(const std::wstring& path)
{
    VaultPath where;
    if (FileResult r = Resolve(path, &where); !r)
        return r;
    if (where.IsVaultRoot())
        return Fail(FileError::BadPath, Quoted(path) + " is the vault folder itself");
    if (!IsFolder(where.dos))
        return Fail(FileError::NotFound, "no folder " + Quoted(path));
    if (FileResult r = Authenticate(where); !r)
        return r;
    auto n = NewRequest(::DeleteFolder);
    Put(n->Volume, where.volume);
    Put(n->ParentDir, where.parentDir);
    Put(n->FileName, where.name);
    Asked a;
    return Ask(*n, Utf8(where.dos).c_str(), &a);
}

// ---------------------------------------------------------------------------
// Renaming and deleting files.

FileResult VaultFiles::Rename(const std::wstring& fromPath, const std::wstring& toPath, const std::vector<File*>& open)
{
    VaultPath from, to;
    if (FileResult r = Resolve(fromPath, &from); !r)
        return r;
    if (FileResult r = Resolve(toPath, &to); !r)
        return r;
    if (!SameText(from.vault, to.vault))
        return Fail(FileError::BadPath, "a move from one vault to another is not supported");
    if (from.IsVaultRoot())
        return Fail(FileError::BadPath, "the vault folder itself cannot be renamed");
    if (IsFolder(to.dos)) {   // into that folder, under the same name
        if (FileResult r = Resolve(to.dos + L"\\" + from.name, &to); !r)
            return r;
    }
    if (FileResult r = Authenticate(from); !r)
        return r;
    if (FileResult r = Authenticate(to); !r)
        return r;
    if (!IsFolder(to.folder))
        return Fail(FileError::NotFound, "no folder " + Quoted(to.folder));

    if (IsFolder(from.dos)) {   // folder names are stored in plain
        if (Within(to.dos, from.dos))
            return Fail(FileError::BadPath, "a folder cannot move into itself");
        std::wstring data;
        if (FindDataFile(to, &data))
            return Fail(FileError::AlreadyExists, Quoted(to.dos) + " exists");
        if (!MoveFileW(from.dos.c_str(), to.dos.c_str()))
            return GetLastError() == ERROR_ALREADY_EXISTS
                       ? Fail(FileError::AlreadyExists, Quoted(to.dos) + " exists")
                       : DiskError("cannot move the folder", from.dos);
        for (File* file : open) {
            VaultPath moved;
            if (Within(file->m_where.dos, from.dos) &&
                Resolve(to.dos + file->m_where.dos.substr(from.dos.size()), &moved))
                file->m_where = moved;
        }
        return {};
    }

    std::wstring fromData, toData;
    if (FileResult r = FindDataFile(from, &fromData); !r)
        return r;
    const std::wstring stem = fromData.substr(0, fromData.size() - 4);
    const bool sameFolder = SameText(from.folder, to.folder);
    FileResult existing = FindDataFile(to, &toData);
    if (existing && !(sameFolder && SameText(toData, fromData)))
        return Fail(FileError::AlreadyExists, Quoted(to.dos) + " exists");
    if (!existing && existing.error != FileError::NotFound)
        return existing;
    if (IsFolder(to.dos))
        return Fail(FileError::AlreadyExists, Quoted(to.dos) + " is a folder");

    std::string meta;
    if (FileResult r = ReadMeta(from.folder + L"\\" + stem, &meta); !r)
        return r;
    auto n = NewRequest(UpdateMetaFileName);
    Put(n->Volume, from.volume);
    Put(n->ParentDir, from.parentDir);
    Put(n->FileName, from.name);
    if (!Put(n->NewVolume, to.volume) || !Put(n->NewParentDir, to.parentDir) || !Put(n->NewFileName, to.name))
        return Fail(FileError::BadPath, Quoted(to.dos) + " is too long for a request");
    memcpy(n->Data, meta.data(), meta.size());
    n->DataLength = (ULONG)meta.size();
    Asked a;
    if (FileResult r = Ask(*n, Utf8(from.dos + L" -> " + to.dos).c_str(), &a); !r)
        return r;
    const REPLY_BUFFER& text = a.reply().Buffer;
    if (text.Length == 0 || text.Length > MAX_DATA_LENGTH)
        return Fail(FileError::Corrupt, Format("UpdateMetaFileName gave a meta text of %lu bytes", text.Length));

    // The pair moves first and gets its new text where it lands.
    std::wstring toStem = stem;
    if (!sameFolder) {
        if (Exists(to.folder + L"\\" + toStem) || Exists(to.folder + L"\\" + toStem + L".tmp"))
            toStem = NewStem(to.folder);
        const std::wstring fromMeta = from.folder + L"\\" + stem, toMeta = to.folder + L"\\" + toStem;
        if (!MoveFileW(fromMeta.c_str(), toMeta.c_str()))
            return DiskError("cannot move the meta file", fromMeta);
        if (!MoveFileW((fromMeta + L".tmp").c_str(), (toMeta + L".tmp").c_str())) {
            FileResult r = DiskError("cannot move the data file", fromMeta + L".tmp");
            MoveFileW(toMeta.c_str(), fromMeta.c_str());
            return r;
        }
    }
    if (FileResult r = WriteWhole(to.folder + L"\\" + toStem, text.Data, text.Length, TRUNCATE_EXISTING); !r)
        return r;
    for (File* file : open) {
        if (SameText(file->DataPath(), from.folder + L"\\" + fromData)) {
            file->m_where = to;
            file->m_stem = toStem;
            file->m_name = to.name;
            file->m_meta.assign(reinterpret_cast<const char*>(text.Data), text.Length);
        }
    }
    return {};
}

FileResult VaultFiles::Delete(const std::wstring& path)
{
    VaultPath where;
    if (FileResult r = Resolve(path, &where); !r)
        return r;
    if (where.IsVaultRoot() || IsFolder(where.dos))
        return Fail(FileError::BadPath, Quoted(path) + " is a folder, not a file");
    if (FileResult r = Authenticate(where); !r)
        return r;
    std::unique_ptr<File> file;
    if (FileResult r = OpenAt(where, &file); !r)
        return r;
    const std::wstring meta = file->MetaPath(), data = file->DataPath();
    if (FileResult r = file->Close(); !r)
        return r;
    if (!DeleteFileW(data.c_str()))
        return DiskError("cannot delete", data);
    if (!DeleteFileW(meta.c_str()))
        return DiskError("cannot delete", meta);
    return {};
}

// ---------------------------------------------------------------------------
// An open file.

VaultFiles::File::File(VaultFiles& owner, VaultPath where, std::wstring stem, std::string meta, uint64_t size,
                       ULONG key, ULONG block)
    : m_owner(owner), m_where(std::move(where)), m_stem(std::move(stem)), m_meta(std::move(meta)),
      m_size(size), m_key(key), m_block(block)
{
}

VaultFiles::File::~File() { Close(); }

std::wstring VaultFiles::File::MetaPath() const { return m_where.folder + L"\\" + m_stem; }
std::wstring VaultFiles::File::DataPath() const { return MetaPath() + L".tmp"; }

FileResult VaultFiles::File::Close()
{
    if (!m_open)
        return {};
    m_open = false;
    return m_owner.ReleaseKey(m_key);
}

// Encrypts or decrypts bytes in place, in requests of up to 16 KiB with up to
// kInFlight of them outstanding; on a failure the requests already sent are
// still awaited, so that none is left to a later key release.
FileResult VaultFiles::File::Transform(ULONG command, std::vector<uint8_t>& bytes)
{
    DriverSim& sim = m_owner.m_sim;
    auto n = NewRequest(command);
    n->FSKHandle = m_key;
    const size_t chunks = (bytes.size() + kChunk - 1) / kChunk;
    std::deque<std::pair<size_t, uint64_t>> flight;
    FileResult result;
    size_t next = 0;
    while (next < chunks || !flight.empty()) {
        if (result && next < chunks && flight.size() < kInFlight &&
            (flight.empty() ? (m_owner.TakeSlot(), true) : m_owner.TryTakeSlot())) {
            const size_t at = next * kChunk, cb = std::min(kChunk, bytes.size() - at);
            memcpy(n->Data, bytes.data() + at, cb);
            memset(n->Data + cb, 0, kChunk - cb);
            n->DataLength = (ULONG)cb;
            uint64_t id = sim.Send(*n);
            if (id == 0) {
                m_owner.GiveSlot();
                result = CheckReply(command, 0, false, {}, 0);
            } else {
                flight.emplace_back(next, id);
            }
            next++;
            continue;
        }
        if (flight.empty())
            break;
        auto [i, id] = flight.front();
        flight.pop_front();
        std::vector<uint8_t> reply;
        bool bGot = sim.Await(id, &reply, m_owner.m_timeoutMs);
        m_owner.GiveSlot();
        FileResult r = CheckReply(command, id, bGot, reply, m_owner.m_timeoutMs);
        const size_t at = i * kChunk, cb = std::min(kChunk, bytes.size() - at);
        if (r && ReplyOf(reply).Buffer.Length != cb)
            r = Fail(FileError::Corrupt, Format("%s of %u bytes answered %lu bytes", CommandName(command),
                                                (unsigned)cb, ReplyOf(reply).Buffer.Length));
        if (r)
            memcpy(bytes.data() + at, ReplyOf(reply).Buffer.Data, cb);
        else if (result)
            result = r;
        if (!result)
            next = chunks;
    }
    if (!result)
        result.text += " in " + Quoted(DataPath());
    return result;
}

FileResult VaultFiles::File::RecordSize(uint64_t size)
{
    auto n = NewRequest(UpdateMetaFileSize2);
    Put(n->Volume, m_where.volume);
    Put(n->ParentDir, m_where.parentDir);
    Put(n->FileName, m_name);
    n->FileSize.QuadPart = (LONGLONG)size;
    memcpy(n->Data, m_meta.data(), m_meta.size());
    n->DataLength = (ULONG)m_meta.size();
    Asked a;
    if (FileResult r = m_owner.Ask(*n, Utf8(m_where.dos).c_str(), &a); !r)
        return r;
    const REPLY_BUFFER& text = a.reply().Buffer;
    if (text.Length == 0 || text.Length > MAX_DATA_LENGTH)
        return Fail(FileError::Corrupt, Format("UpdateMetaFileSize2 gave a meta text of %lu bytes", text.Length));
    std::string meta(reinterpret_cast<const char*>(text.Data), text.Length);
    if (FileResult r = WriteWhole(MetaPath(), meta.data(), meta.size(), TRUNCATE_EXISTING); !r)
        return r;
    m_meta = std::move(meta);
    m_size = size;
    return {};
}

FileResult VaultFiles::File::Write(uint64_t offset, const void* pData, size_t cb)
{
    if (!m_open)
        return Fail(FileError::BadPath, "the file " + Quoted(m_where.dos) + " is closed");
    const uint64_t end = offset + cb;
    if (end < offset || end > (uint64_t)INT64_MAX - m_block)
        return Fail(FileError::BadPath, "a write beyond the largest file size");
    if (end <= m_size && cb == 0)
        return {};
    // A gap between the old end and offset is written as zeros; the plain
    // bytes of the last block beyond the old end count as zeros too.
    const uint64_t start = std::min(offset, m_size);
    const uint64_t first = start / m_block * m_block, last = RoundUp(end, m_block);
    Handle h(DataPath(), GENERIC_READ | GENERIC_WRITE, OPEN_EXISTING);
    if (!h.ok())
        return DiskError("cannot open the data file", DataPath(), h.error());

    // The edge blocks keep the plain bytes the write does not cover; plain
    // bytes at or beyond the old end are left zero, which also fills a gap.
    std::vector<uint64_t> edgeAt;
    if (first < start)
        edgeAt.push_back(first);
    if (end < m_size && end < last && (edgeAt.empty() || last - m_block != first))
        edgeAt.push_back(last - m_block);
    std::vector<uint8_t> edges(edgeAt.size() * m_block);
    for (size_t k = 0; k < edgeAt.size(); k++) {
        if (!ReadAt(h.get(), edgeAt[k], edges.data() + k * m_block, m_block))
            return GetLastError() == ERROR_HANDLE_EOF
                       ? Fail(FileError::Corrupt, "the data file " + Quoted(DataPath()) + " is shorter than its size")
                       : DiskError("cannot read", DataPath());
    }
    if (!edges.empty()) {
        if (FileResult r = Transform(GetNormalBuffer, edges); !r)   // ECB: blocks stand alone
            return r;
    }
    auto place = [](std::vector<uint8_t>& piece, uint64_t pieceAt, uint64_t at, const uint8_t* p, uint64_t n) {
        const uint64_t lo = std::max(at, pieceAt), hi = std::min(at + n, pieceAt + piece.size());
        if (lo < hi)
            memcpy(piece.data() + (lo - pieceAt), p + (lo - at), hi - lo);
    };
    const uint8_t* data = static_cast<const uint8_t*>(pData);
    for (uint64_t at = first; at < last; at += kPiece) {
        std::vector<uint8_t> piece(std::min<uint64_t>(kPiece, last - at), 0);
        for (size_t k = 0; k < edgeAt.size(); k++)
            place(piece, at, edgeAt[k], edges.data() + k * m_block, std::min<uint64_t>(m_block, m_size - edgeAt[k]));
        if (cb != 0)
            place(piece, at, offset, data, cb);
        if (FileResult r = Transform(EncryptBlock, piece); !r)
            return r;
        if (!WriteAt(h.get(), at, piece.data(), piece.size()))
            return DiskError("cannot write", DataPath());
    }
    return end > m_size ? RecordSize(end) : FileResult{};
}

FileResult VaultFiles::File::Read(uint64_t offset, void* pData, size_t cb, size_t* pcbRead)
{
    *pcbRead = 0;
    if (!m_open)
        return Fail(FileError::BadPath, "the file " + Quoted(m_where.dos) + " is closed");
    if (offset >= m_size || cb == 0)
        return {};
    const uint64_t end = std::min<uint64_t>(m_size, offset + cb);
    const uint64_t first = offset / m_block * m_block, last = RoundUp(end, m_block);
    Handle h(DataPath(), GENERIC_READ, OPEN_EXISTING);
    if (!h.ok())
        return DiskError("cannot open the data file", DataPath(), h.error());
    uint8_t* out = static_cast<uint8_t*>(pData);
    for (uint64_t at = first; at < last; at += kPiece) {
        std::vector<uint8_t> piece(std::min<uint64_t>(kPiece, last - at));
        if (!ReadAt(h.get(), at, piece.data(), piece.size()))
            return GetLastError() == ERROR_HANDLE_EOF
                       ? Fail(FileError::Corrupt, "the data file " + Quoted(DataPath()) + " is shorter than its size")
                       : DiskError("cannot read", DataPath());
        if (FileResult r = Transform(GetNormalBuffer, piece); !r)
            return r;
        const uint64_t lo = std::max(at, offset), hi = std::min(at + piece.size(), end);
        memcpy(out + (lo - offset), piece.data() + (lo - at), hi - lo);
    }
    *pcbRead = (size_t)(end - offset);
    return {};
}

FileResult VaultFiles::File::Resize(uint64_t size)
{
    if (!m_open)
        return Fail(FileError::BadPath, "the file " + Quoted(m_where.dos) + " is closed");
    if (size >= m_size)
        return Write(size, nullptr, 0);
    Handle h(DataPath(), GENERIC_WRITE, OPEN_EXISTING);
    LARGE_INTEGER li;
    li.QuadPart = (LONGLONG)RoundUp(size, m_block);
    if (!h.ok() || !SetFilePointerEx(h.get(), li, NULL, FILE_BEGIN) || !SetEndOfFile(h.get()))
        return DiskError("cannot shorten", DataPath());
    return RecordSize(size);
}

}  // namespace driversim
