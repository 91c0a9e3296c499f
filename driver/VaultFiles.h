// File operations on a logged-in vault, carried out the way the Vault
// Filter carries them out: the driver writes and reads the stored files
// itself (StoredFiles.h) and asks the agent, through the port, for
// everything that needs the user's keys (AgentRequests.h).
#pragma once

#include <windows.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "AgentRequests.h"
#include "DriverSim.h"
#include "FileResult.h"
#include "VaultPaths.h"

namespace driversim {

// One entry of a folder listing.
struct VaultEntry {
    std::wstring name;          // logical name, or the folder's name; empty when unreadable
    bool         folder = false;
    uint64_t     size = 0;      // plain size of a file
    std::wstring stem;          // the stored stem of a file
    FILETIME     modified = {}; // last write of the data file, or of the folder
};

class VaultFiles {
public:
    class File;

    // Requests go to the agent that sim serves; each reply is awaited at
    // most timeoutMs.
    explicit VaultFiles(DriverSim& sim, DWORD timeoutMs = 30000);

    FileResult Resolve(const std::wstring& path, VaultPath* pOut) const;
    AgentRequests& Agent() { return m_agent; }
    // Whether the user is logged in to the vault that holds the path
    // (AuthenticateUser): NotLoggedIn when not.
    FileResult Authenticate(const VaultPath& where);

    // Creates a new empty file; AlreadyExists when the folder holds the name.
    FileResult Create(const std::wstring& path, std::unique_ptr<File>* pFile);
    // Opens a file by logical name (compared as the agent compares: ASCII
    // letters without regard to case).
    FileResult Open(const std::wstring& path, std::unique_ptr<File>* pFile);
    // Opens the file, or creates it when the folder does not hold it.
    FileResult OpenOrCreate(const std::wstring& path, std::unique_ptr<File>* pFile);

    // The folder's files (logical names and sizes, in batches of ten) and
    // subfolders, sorted by name, folders first.
    FileResult List(const std::wstring& folder, std::vector<VaultEntry>* pEntries);
    // What one path names: a folder, or a file with its logical name, size
    // and stem (found as an open finds it, its size read as a listing reads it).
    FileResult Stat(const std::wstring& path, VaultEntry* pEntry);

    // Renames or moves a file within its vault; a target that is an
    // existing folder receives the file under its own name. A folder is
    // renamed or moved in plain. Open files that the move concerns (the file
    // itself, or any file inside a moved folder) are given in `open` and
    // follow it: their later writes land in the moved pair under its new
    // meta text. The caller keeps them from other threads meanwhile.
    FileResult Rename(const std::wstring& from, const std::wstring& to, const std::vector<File*>& open = {});
    FileResult Delete(const std::wstring& path);
    FileResult CreateFolder(const std::wstring& path);
    FileResult DeleteFolder(const std::wstring& path);

    // An open file. Closing it (or destroying it) hands its file key back to
    // the agent. One thread at a time per File.
    class File {
    public:
        ~File();
        File(const File&) = delete;
        File& operator=(const File&) = delete;

        const std::wstring& Name() const { return m_name; }
        const VaultPath& Where() const { return m_where; }
        uint64_t Size() const { return m_size; }
        ULONG KeyHandle() const { return m_key; }
        ULONG CipherBlockSize() const { return m_block; }
        const std::wstring& Stem() const { return m_stem; }
        std::wstring MetaPath() const;
        std::wstring DataPath() const;

        // Writes cb bytes at offset; a gap beyond the end reads as zeros.
        FileResult Write(uint64_t offset, const void* pData, size_t cb);
        // Reads up to cb bytes at offset; *pcbRead stops at the end of the file.
        FileResult Read(uint64_t offset, void* pData, size_t cb, size_t* pcbRead);
        FileResult Resize(uint64_t size);
        FileResult Close();

    private:
        friend class VaultFiles;
        File(VaultFiles& owner, VaultPath where, std::wstring stem, std::string meta,
             uint64_t size, ULONG key, ULONG block);
        FileResult RecordSize(uint64_t size);
        FileResult Transform(ULONG command, std::vector<uint8_t>& bytes);

        VaultFiles&  m_owner;
        VaultPath    m_where;
        std::wstring m_name;
        std::wstring m_stem;
        std::string  m_meta;
        uint64_t     m_size;
        ULONG        m_key;
        ULONG        m_block;
        bool         m_open = true;
    };

    // Requests at most in flight at once, as the agent serves them; the
    // bound holds for all threads together.
    static constexpr size_t kInFlight = AgentRequests::kInFlight;

private:
    FileResult FindDataFile(const VaultPath& where, std::wstring* pDataFile) { return m_agent.FindDataFile(where, pDataFile); }
    FileResult OpenAt(const VaultPath& where, std::unique_ptr<File>* pFile);
    FileResult CreateAt(const VaultPath& where, std::unique_ptr<File>* pFile);
    FileResult Decode(const VaultPath& folder, VaultEntry* pEntries, size_t count);

    DriverSim&    m_sim;
    AgentRequests m_agent;
};

}  // namespace driversim
