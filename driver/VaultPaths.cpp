#include "VaultPaths.h"

#include <algorithm>

#include "Text.h"

namespace driversim {

bool DriveTargets::Target(wchar_t letter, uint64_t generation, std::wstring* pTarget)
{
    {
        std::lock_guard<std::mutex> lock(m_mu);
        if (generation != m_generation) {
            m_targets.clear();
            m_generation = generation;
        }
        auto it = m_targets.find(letter);
        if (it != m_targets.end()) {
            *pTarget = it->second;
            return true;
        }
    }
    WCHAR target[1024] = {};
    const WCHAR drive[3] = {letter, L':', 0};
    if (!QueryDosDeviceW(drive, target, ARRAYSIZE(target)))
        return false;
    *pTarget = target;
    // A vault's letter is a substitution that the agent makes and unmakes
    // on its own schedule: asked every time. A volume's name stays.
    if (pTarget->rfind(L"\\??\\", 0) == 0)
        return true;
    std::lock_guard<std::mutex> lock(m_mu);
    if (generation == m_generation)
        m_targets[letter] = target;
    return true;
}

FileResult ResolvePath(const std::vector<DriverSim::Vault>& vaults, const std::wstring& input, VaultPath* pOut,
                       DriveTargets& drives, uint64_t generation)
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
        const WCHAR drive[3] = {(WCHAR)towupper(p[0]), L':', 0};
        std::wstring t;
        if (!drives.Target(drive[0], generation, &t))
            return Fail(FileError::BadPath, Quoted(input) + ": there is no drive " + Utf8(drive));
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
    for (const DriverSim::Vault& v : vaults) {
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

VaultPath AsFolder(const VaultPath& where)
{
    VaultPath inside = where;
    inside.folder = where.dos;
    inside.name.clear();
    inside.parentDir = where.dos.substr(2) + (where.dos.size() > 3 ? L"\\" : L"");
    return inside;
}

}  // namespace driversim
