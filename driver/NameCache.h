// The driver's memory of the folders it has served: for each folder, the
// logical name of every stored file (compared as the agent compares names),
// its stem, plain size and time, and the names of its subfolders. A folder is filled by one pass over it (its
// meta files read here, their names decoded by the agent ten at a time) the
// first time it is needed, and kept exact by every change the driver makes
// itself; a lookup in a filled folder answers without asking the agent,
// "not found" included.
//
// What the driver keeps of the agent's answers holds only while the agent
// and what it told the driver stay the same: the whole cache is dropped
// when the port's generation changes (an agent connected or gone, a control
// message: a vault logged in or out, added, removed, its drive changed, a
// backup restored into it). Like any driver it assumes that it alone
// changes the vault's folders while it serves them.
#pragma once

#include <windows.h>

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace driversim {

class NameCache {
public:
    struct Entry {
        std::wstring name;        // the logical name
        std::wstring stem;
        uint64_t     size = 0;    // plain size
        FILETIME     modified = {};
        uint64_t     version = 0; // the content's (VaultFiles::File::Version)
    };
    // What one pass over a folder found.
    struct Folder {
        std::vector<Entry>        files;        // in stem order
        std::vector<std::wstring> folders;      // subfolders
        std::vector<std::wstring> unreadable;   // stems whose meta text names nothing
        std::vector<std::wstring> shadowed;     // stems whose name an earlier stem already has
    };

    // Drops everything when the generation is not the one the cache was
    // filled under.
    void Sync(uint64_t generation);
    // Drops everything.
    void Clear();

    enum class Seen { NotCached, Absent, File, Folder };
    // Looks a name up in a folder (its DOS path); pOut gets a file's entry.
    Seen Look(const std::wstring& folder, const std::wstring& name, Entry* pOut);
    // A copy of a filled folder; false when it is not filled.
    bool Copy(const std::wstring& folder, Folder* pOut);
    // Keeps what one pass found, unless the generation moved on meanwhile.
    void Fill(const std::wstring& folder, Folder contents, uint64_t generation);

    // Changes the driver made, kept in filled folders (others are left to
    // their next pass).
    void Put(const std::wstring& folder, const Entry& entry);
    void Remove(const std::wstring& folder, const std::wstring& name);
    void Resize(const std::wstring& folder, const std::wstring& name, uint64_t size, const FILETIME& modified,
                uint64_t version);
    void PutFolder(const std::wstring& folder, const std::wstring& name);
    void RemoveFolder(const std::wstring& folder, const std::wstring& name);
    // Forgets a folder and every folder below it (moved or deleted).
    void Forget(const std::wstring& folder);

private:
    struct Kept {
        std::map<std::wstring, Entry> byName;       // by folded name
        std::map<std::wstring, std::wstring> folders;   // folded name -> name
        std::vector<std::wstring>     unreadable, shadowed;
    };
    Kept* Find(const std::wstring& folder);

    std::mutex                        m_mu;
    uint64_t                          m_generation = 0;
    std::map<std::wstring, Kept>      m_folders;     // by folded DOS path
};

}  // namespace driversim
