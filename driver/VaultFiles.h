// File operations on a logged-in vault, carried out the way the Vault
// Filter carries them out: the driver writes and reads the stored files
// itself (StoredFiles.h) and asks the agent, through the port, for
// everything that needs the user's keys (AgentRequests.h).
//
// Every front-end (the vaultfs mount, the file commands, tests) goes
// through one VaultFiles, which keeps what a driver keeps for all of them:
// the files open at the moment (one open file however many handles), and
// the names of the folders it has served (NameCache.h).
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <functional>
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
    ~VaultFiles();   // releases the file keys it still keeps
    VaultFiles(const VaultFiles&) = delete;
    VaultFiles& operator=(const VaultFiles&) = delete;

    FileResult Resolve(const std::wstring& path, VaultPath* pOut) const;
    AgentRequests& Agent();
    // Whether the user is logged in to the vault that holds the path:
    // NotLoggedIn when not.
    FileResult Authenticate(const VaultPath& where);

    // Creates a new empty file; AlreadyExists when the folder holds the name.
    FileResult Create(const std::wstring& path, std::unique_ptr<File>* pFile);
    // Opens a file by logical name (compared as the agent compares: ASCII
    // letters without regard to case).
    FileResult Open(const std::wstring& path, std::unique_ptr<File>* pFile);
    // Opens the file, or creates it when the folder does not hold it.
    FileResult OpenOrCreate(const std::wstring& path, std::unique_ptr<File>* pFile);

    // The folder's files (logical names and sizes) and subfolders, sorted by
    // name, folders first. Files whose meta text the agent cannot read come
    // with an empty name.
    FileResult List(const std::wstring& folder, std::vector<VaultEntry>* pEntries);
    // What one path names: a folder, or a file with its logical name, size and stem.
    FileResult Stat(const std::wstring& path, VaultEntry* pEntry);

    // What a rename does with a target that exists.
    enum class Existing {
        IntoFolder,   // a folder receives the source under its own name; a file is AlreadyExists
        Refuse,       // AlreadyExists
        Replace,      // as POSIX rename: a file replaces a file, a folder an empty folder
    };
    // Renames or moves a file or folder within its vault. Open files that
    // the move concerns follow it. At every moment the target names either
    // its old file or the moved one, also across a crash (StoredFiles.h).
    FileResult Rename(const std::wstring& from, const std::wstring& to, Existing existing = Existing::IntoFolder);
    // Deletes a file. A file open elsewhere stays usable through its handles
    // until the last one closes; its name is gone at once.
    FileResult Delete(const std::wstring& path);
    FileResult CreateFolder(const std::wstring& path);
    // Deletes a folder with everything in it (the agent does it).
    FileResult DeleteFolder(const std::wstring& path);
    // Deletes an empty folder; NotEmpty when it holds anything.
    FileResult RemoveFolder(const std::wstring& path);
    // The modification time of a file (its data file's) or a folder set;
    // what Stat would then say in *pEntry.
    FileResult SetTime(const std::wstring& path, const FILETIME& modified, VaultEntry* pEntry);
    // A folder's entries flushed to stable storage.
    FileResult SyncFolder(const std::wstring& path);

    // Files open at the moment, each counted once whatever its handles.
    size_t OpenFiles() const;
    // Runs work while no file is created, opened, closed, renamed or
    // deleted (a look at the stored files that must not race the driver's
    // own work); work is given the data files of the files open at that
    // moment, those deleted while open included.
    void WhileNamesHeld(const std::function<void(const std::vector<std::wstring>& openDataFiles)>& work);
    // Drops what the driver keeps of a folder and the folders below it,
    // after their stored files were changed other than through it.
    void Forget(const std::wstring& folder);
    // The longest folder path (in characters) in which a file can still be
    // found, listed, opened and deleted, on the volume of the given path.
    static size_t MaxFolderChars(const VaultPath& where);

    // An open file: one handle of it. Every handle of one file shares its
    // size, key and place; closing the last one hands the key back.
    class File {
    public:
        ~File();
        File(const File&) = delete;
        File& operator=(const File&) = delete;

        std::wstring Name() const;
        VaultPath Where() const;
        uint64_t Size() const;
        ULONG KeyHandle() const;
        ULONG CipherBlockSize() const;
        std::wstring Stem() const;
        std::wstring MetaPath() const;
        std::wstring DataPath() const;
        // Modification time of the data file.
        FILETIME Modified() const;
        // Deleted while open: its name is gone, its content stays until the
        // last handle closes.
        bool Deleted() const;
        // The content's version: every write and size change makes a new
        // one, never given before in this process or another.
        uint64_t Version() const;

        // Writes cb bytes at offset; a gap beyond the end reads as zeros and
        // takes no space. *pSeen, the version the caller last saw, becomes
        // the version the write made, or 0 when someone else had changed the
        // content since. With `arrive`, the bytes are still coming in (from
        // a socket): arrive(n) returns once the first n of them are at
        // pData, or fails, which fails the write; the agent starts on the
        // first ones meanwhile.
        using Arrival = std::function<FileResult(size_t cb)>;
        // What a write does too once its bytes are on disk, with an outcome
        // of its own: the size recorded (as Flush) and the time set (as
        // SetTime). The agent makes the size's meta text while it encrypts.
        struct Then {
            bool            bRecord = false;
            const FILETIME* pTouch = nullptr;
            FileResult      result;   // out
        };
        FileResult Write(uint64_t offset, const void* pData, size_t cb, uint64_t* pSeen = nullptr,
                         const Arrival& arrive = nullptr, Then* pThen = nullptr);
        // Reads up to cb bytes at offset; *pcbRead stops at the end of the file.
        FileResult Read(uint64_t offset, void* pData, size_t cb, size_t* pcbRead);
        FileResult Resize(uint64_t size, uint64_t* pSeen = nullptr);
        // What the file grew by recorded in its meta text (growth is
        // recorded when a file settles: at a flush, a close, an fsync, a
        // rename). Nothing is flushed to disk.
        FileResult Flush();
        // The size recorded, and the data and meta files (and unless
        // bDataOnly the folder) flushed to stable storage.
        FileResult Sync(bool bDataOnly = false);
        // The modification time of its data file.
        FileResult SetTime(const FILETIME& modified);
        FileResult Close();

        struct Node;

    private:
        friend class VaultFiles;
        File(VaultFiles& owner, std::shared_ptr<Node> node);

        VaultFiles&           m_owner;
        std::shared_ptr<Node> m_node;
        std::atomic<bool>     m_open{true};
    };

    // Requests at most in flight at once, as the agent serves them; the
    // bound holds for all threads together.
    static constexpr size_t kInFlight = AgentRequests::kInFlight;

    struct State;

private:
    std::unique_ptr<State> m_state;
};

}  // namespace driversim
