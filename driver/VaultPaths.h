// Paths as the driver sees them. Paths given to the driver's file operations
// are DOS paths that begin with a drive letter: the vault's own drive letter
// (a substitution, undone here) or the real folder, e.g. N:\docs\a.txt or
// C:\Vaults\Work\docs\a.txt.
#pragma once

#include <windows.h>

#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "DriverSim.h"
#include "FileResult.h"

namespace driversim {

struct VaultPath {
    std::wstring dos;        // C:\Vaults\Work\docs\a.txt, substitutions undone
    std::wstring folder;     // C:\Vaults\Work\docs, the folder that holds it
    std::wstring name;       // a.txt; empty for the vault folder itself
    std::wstring volume;     // \Device\HarddiskVolume1, the NT volume of the drive
    std::wstring parentDir;  // \Vaults\Work\docs\ : folder on the volume, both backslashes
    std::wstring vault;      // C:\Vaults\Work, the vault that holds it

    bool IsVaultRoot() const { return dos.size() == vault.size(); }
};

// What the drive letters stand for (QueryDosDevice): the volume names of
// real drives, kept while the port's generation stays.
class DriveTargets {
public:
    // False when the letter names no drive.
    bool Target(wchar_t letter, uint64_t generation, std::wstring* pTarget);

private:
    std::mutex                     m_mu;
    uint64_t                       m_generation = 0;
    std::map<wchar_t, std::wstring> m_targets;
};

// Resolves a path against the vaults the agent announced: NotInVault when
// it lies in none of them, BadPath when it is no full DOS path. Drive
// letters are looked up in drives (at the given generation).
FileResult ResolvePath(const std::vector<DriverSim::Vault>& vaults, const std::wstring& input, VaultPath* pOut,
                       DriveTargets& drives, uint64_t generation);

// The same place seen as a folder: the path itself is the folder that
// requests name, with no file name.
VaultPath AsFolder(const VaultPath& where);

}  // namespace driversim
