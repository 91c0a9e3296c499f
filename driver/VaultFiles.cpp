// File operations on a vault, played the way the Vault Filter plays them:
// every question that needs a key goes to the agent, every byte on disk is
// written and read here.
#include "VaultFiles.h"

#include <algorithm>
#include <cstring>

#include "StoredFiles.h"
#include "Text.h"

namespace driversim {

namespace {

constexpr size_t kPiece = 64 * MAX_DATA_LENGTH;   // plain bytes held at once by a read or write

uint64_t RoundUp(uint64_t n, uint64_t block) { return (n + block - 1) / block * block; }

}  // namespace

VaultFiles::VaultFiles(DriverSim& sim, DWORD timeoutMs) : m_sim(sim), m_agent(sim, timeoutMs) {}

FileResult VaultFiles::Resolve(const std::wstring& path, VaultPath* pOut) const
{
    return ResolvePath(m_sim.Vaults(), path, pOut);
}

FileResult VaultFiles::Authenticate(const VaultPath& where) { return m_agent.Authenticate(where); }

// ---------------------------------------------------------------------------
// Opening and creating.

FileResult VaultFiles::OpenAt(const VaultPath& where, std::unique_ptr<File>* pFile)
{
    std::wstring data;
    if (FileResult r = FindDataFile(where, &data); !r)
        return r;
    StoredDetails details;
    FileResult r = m_agent.Details(where, data, &details);
    if (!r && details.key.key == 0)
        return r;
    std::unique_ptr<File> file(new File(*this, where, data.substr(0, data.size() - 4), std::string(), details.size,
                                        details.key.key, details.key.block));
    file->m_name = details.name;
    if (!r)
        return r;   // a key handed out goes back with the file
    if (FileResult r = ReadMeta(file->MetaPath(), &file->m_meta); !r)
        return r;
    *pFile = std::move(file);
    return {};
}

FileResult VaultFiles::CreateAt(const VaultPath& where, std::unique_ptr<File>* pFile)
{
    if (IsFolder(where.dos))
        return Fail(FileError::AlreadyExists, Quoted(where.dos) + " is a folder");
    std::string meta;
    FileKey key;
    FileResult r = m_agent.NewFile(where, &meta, &key);
    if (!r && key.key == 0)
        return r;
    std::unique_ptr<File> file(new File(*this, where, NewStem(where.folder), meta, 0, key.key, key.block));
    file->m_name = where.name;
    if (r)
        r = WriteWhole(file->MetaPath(), file->m_meta.data(), file->m_meta.size(), CREATE_NEW);
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
        if (FileResult r = Decode(AsFolder(where), files.data() + first,
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
// Logical names, sizes and times of up to ten stored files of one folder
// (given by their stems): the meta files read here, decoded by the agent.
FileResult VaultFiles::Decode(const VaultPath& folder, VaultEntry* pEntries, size_t count)
{
    DecodeItem items[DIR_BATCH_ENTRIES];
    for (size_t i = 0; i < count; i++) {
        items[i].stem = pEntries[i].stem;
        WIN32_FILE_ATTRIBUTE_DATA data;
        const std::wstring stored = folder.dos + L"\\" + items[i].stem;
        if (GetFileAttributesExW((stored + L".tmp").c_str(), GetFileExInfoStandard, &data)) {
            items[i].dataBytes = ((uint64_t)data.nFileSizeHigh << 32) | data.nFileSizeLow;
            pEntries[i].modified = data.ftLastWriteTime;
        }
        ReadMeta(stored, &items[i].meta);   // an unreadable one is sent empty
    }
    if (FileResult r = m_agent.Decode(folder, items, count); !r)
        return r;
    for (size_t i = 0; i < count; i++) {
        pEntries[i].name = items[i].name;
        pEntries[i].size = items[i].size;
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
    VaultPath folder;
    if (FileResult r = Resolve(where.folder, &folder); !r)
        return r;
    if (FileResult r = Decode(folder, &entry, 1); !r)
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
    return m_agent.DeleteFolder(where);
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
    std::string newMeta;
    if (FileResult r = m_agent.MetaForName(from, to, meta, &newMeta); !r)
        return r;

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
    if (FileResult r = WriteWhole(to.folder + L"\\" + toStem, newMeta.data(), newMeta.size(), TRUNCATE_EXISTING); !r)
        return r;
    for (File* file : open) {
        if (SameText(file->DataPath(), from.folder + L"\\" + fromData)) {
            file->m_where = to;
            file->m_stem = toStem;
            file->m_name = to.name;
            file->m_meta = newMeta;
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
    return m_owner.m_agent.ReleaseKey(m_key);
}

FileResult VaultFiles::File::Transform(ULONG command, std::vector<uint8_t>& bytes)
{
    FileResult r = m_owner.m_agent.Transform(m_key, command, bytes);
    if (!r)
        r.text += " in " + Quoted(DataPath());
    return r;
}

FileResult VaultFiles::File::RecordSize(uint64_t size)
{
    std::string meta;
    if (FileResult r = m_owner.m_agent.MetaForSize(m_where, m_name, m_meta, size, &meta); !r)
        return r;
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
