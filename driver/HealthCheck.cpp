// The health check: the vault's rename records first, then one folder at a
// time under the driver's names lock (so that no file is created, opened,
// renamed or deleted while its folder is looked at), then the key texts
// that more than one file holds.
#include "HealthCheck.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <map>
#include <set>
#include <thread>

#include "StoredFiles.h"
#include "Text.h"

namespace driversim {

const char* FindingName(Finding finding)
{
    switch (finding) {
    case Finding::MetaUnreadable:   return "meta-unreadable";
    case Finding::MetaDamaged:      return "meta-damaged";
    case Finding::NameUndecodable:  return "name-undecodable";
    case Finding::KeyForeign:       return "key-foreign";
    case Finding::KeyShared:        return "key-shared";
    case Finding::DataMissing:      return "data-missing";
    case Finding::DataShort:        return "data-short";
    case Finding::NameTaken:        return "name-taken";
    case Finding::DataOrphaned:     return "data-orphaned";
    case Finding::Stray:            return "stray";
    case Finding::RenameUnfinished: return "rename-unfinished";
    case Finding::RenameUnbegun:    return "rename-unbegun";
    case Finding::UpdateUnfinished: return "update-unfinished";
    case Finding::CreateUnfinished: return "create-unfinished";
    case Finding::DeleteUnfinished: return "delete-unfinished";
    case Finding::FolderTooLong:    return "folder-too-long";
    case Finding::Open:             return "open";
    case Finding::SetAside:         return "set-aside";
    }
    return "unknown";
}

size_t CheckReport::Problems() const
{
    return (size_t)std::count_if(items.begin(), items.end(), [](const CheckItem& i) { return i.Problem(); });
}

size_t CheckReport::Left() const
{
    return (size_t)std::count_if(items.begin(), items.end(),
                                 [](const CheckItem& i) { return i.Problem() && !i.repaired; });
}

namespace {

constexpr wchar_t kSetAsidePrefix[] = L"vault check ";
// The vault's own files beside the stored ones in its folder.
const wchar_t* const kVaultOwnFiles[] = {L"vault3.cfg", L"keyArchive.xml"};
constexpr size_t kProbeChunk = 256;   // meta files asked about between two looks at the progress
constexpr ULONGLONG kProgressMs = 250;
constexpr uint64_t kBlock = 8;        // the cipher's block, when the agent gave none

uint64_t RoundUp(uint64_t n, uint64_t block) { return (n + block - 1) / block * block; }

std::wstring Under(const std::wstring& base, const std::wstring& rel)
{
    return rel.empty() ? base : base.empty() ? rel : base + L"\\" + rel;
}

bool AllZero(const uint8_t* p, size_t cb) { return std::all_of(p, p + cb, [](uint8_t b) { return b == 0; }); }

// The content of the next <tag>...</tag> from *pAt on.
bool Element(const std::string& text, const std::string& tag, size_t* pAt, std::string* pContent)
{
    const std::string open = "<" + tag + ">", close = "</" + tag + ">";
    const size_t begin = text.find(open, *pAt);
    const size_t end = begin == std::string::npos ? begin : text.find(close, begin + open.size());
    if (end == std::string::npos)
        return false;
    *pContent = text.substr(begin + open.size(), end - begin - open.size());
    *pAt = end + close.size();
    return true;
}

bool Number(const std::string& s)
{
    const size_t first = !s.empty() && s[0] == '-' ? 1 : 0;
    return s.size() > first && s.find_first_not_of("0123456789", first) == std::string::npos;
}

}  // namespace

std::string MetaTextFault(const std::string& text, std::string* pKeyText)
{
    if (text.empty())
        return "the meta file is empty";
    const std::string kClose = "</File>";
    const size_t end = text.find_last_not_of(" \t\r\n") + 1;   // 0 when all blank
    if (end < kClose.size() || text.compare(end - kClose.size(), kClose.size(), kClose) != 0)
        return Format("the meta text is cut short: %u bytes, without its closing </File>", (unsigned)text.size());
    size_t at = 0;
    std::string name, key, size;
    if (!Element(text, "FILENAME", &at, &name) || name.empty())
        return "the meta text has no name";
    if (!Element(text, "Filekey", &at, &key) || key.empty())
        return "the meta text has no key text";
    const size_t comma = Element(text, "size", &at, &size) ? size.find(',') : std::string::npos;
    if (comma == std::string::npos || !Number(size.substr(0, comma)) || !Number(size.substr(comma + 1)))
        return "the meta text has no size of two numbers";
    pKeyText->clear();
    for (char c : key)
        if (!isspace((unsigned char)c))
            pKeyText->push_back(c);
    return "";
}

namespace {

// A meta file of the folder being checked, and what was learnt of it.
struct Probe {
    std::wstring  stem;
    std::string   meta, keyText;
    bool          bFaulty = false;   // the text alone tells what is wrong:
    Finding       fault = Finding::MetaDamaged;   // MetaUnreadable or MetaDamaged
    std::string   faultText;
    FileResult    asked;
    StoredDetails details;
};

// A file whose key text another one may hold as well.
struct Holder {
    std::wstring stored, name, dataPath;
    uint64_t     size = 0, dataBytes = 0;
    std::string  meta;
    VaultPath    where;
};

const char kRestore[] = "restore the file from a backup";
const char kSetAsideRemedy[] = "the repair moves it into a folder of the vault named for the check";
const char kDriverFinishes[] = "the repair does it now; the driver does it too when it next serves the vault";

class Checker {
public:
    Checker(VaultFiles& files, const CheckOptions& options, CheckReport& report, const VaultPath& root)
        : m_files(files), m_agent(files.Agent()), m_options(options), m_report(report), m_root(root)
    {
    }

    FileResult Run()
    {
        if (FileResult r = Records(); !r)
            return r;
        std::vector<std::wstring> pending = {L""};
        while (!pending.empty()) {
            const std::wstring rel = pending.back();
            pending.pop_back();
            std::vector<std::wstring> below;
            if (FileResult r = Folder(rel, &below); !r)
                return r;
            std::sort(below.rbegin(), below.rend());   // taken in name order
            pending.insert(pending.end(), below.begin(), below.end());
            Progress();
        }
        if (FileResult r = SharedKeys(); !r)
            return r;
        m_report.sound = m_report.files - m_unsound.size();
        return {};
    }

private:
    void Add(Finding kind, const std::wstring& stored, const std::wstring& name, const std::string& what,
             const std::string& remedy)
    {
        m_report.items.push_back({kind, stored, name, what, remedy, false});
    }
    // The last item repaired by r (its remedy says what was done), or left
    // with the failure.
    void Repaired(const FileResult& r, const std::string& done)
    {
        CheckItem& item = m_report.items.back();
        item.repaired = (bool)r;
        item.remedy = r ? done : "the repair failed: " + r.text;
    }

    void Progress()
    {
        if (!m_options.progress || GetTickCount64() - m_lastProgress < kProgressMs)
            return;
        m_lastProgress = GetTickCount64();
        m_options.progress(m_report);
    }

    VaultPath Place(const VaultPath& folder, const std::wstring& name) const
    {
        VaultPath where = folder;
        where.folder = folder.dos;
        where.dos = folder.dos + L"\\" + name;
        where.name = name;
        return where;
    }

    // Moves a file of the folder rel into the set-aside folder, at the same
    // relative place; where it went goes to *pDone.
    FileResult SetAside(const std::wstring& rel, const std::wstring& name, std::string* pDone)
    {
        if (m_setAside.empty()) {
            SYSTEMTIME now;
            GetLocalTime(&now);
            wchar_t date[16];
            swprintf(date, 16, L"%04u-%02u-%02u", now.wYear, now.wMonth, now.wDay);
            m_setAside = std::wstring(kSetAsidePrefix) + date;
        }
        std::wstring folder = m_root.vault + L"\\" + m_setAside;
        CreateDirectoryW(folder.c_str(), NULL);
        for (size_t at = 0; at < rel.size();) {
            const size_t slash = std::min(rel.find(L'\\', at), rel.size());
            folder += L"\\" + rel.substr(at, slash - at);
            CreateDirectoryW(folder.c_str(), NULL);
            at = slash + 1;
        }
        std::wstring to = folder + L"\\" + name;
        for (int n = 2; Exists(to); n++)
            to = folder + L"\\" + name + L" (" + std::to_wstring(n) + L")";
        FileResult r = MoveStored(Under(m_root.vault, rel) + L"\\" + name, to);
        if (r) {
            m_report.setAside = m_root.vault + L"\\" + m_setAside;
            *pDone = "moved to " + Quoted(to.substr(m_root.vault.size() + 1));
        }
        return r;
    }

    // An item that the repair sets aside: the named files of folder rel.
    void SetAsideItem(const std::wstring& rel, const std::vector<std::wstring>& names)
    {
        if (!m_options.repair)
            return;
        std::string done, one;
        FileResult r;
        for (const std::wstring& name : names) {
            if (!r || !Exists(Under(m_root.vault, rel) + L"\\" + name))
                continue;
            if ((r = SetAside(rel, name, &one)))
                done += (done.empty() ? "" : "; ") + one;
        }
        Repaired(r, done);
    }

    // ID.rename and ID.rename.new in the vault folder: finished or cleared
    // by a repair, and until then the files they name are theirs alone.
    FileResult Records()
    {
        FileResult result;
        m_files.WhileNamesHeld([&](const std::vector<std::wstring>& openData) {
            std::set<std::wstring> open;
            for (const std::wstring& d : openData)
                open.insert(FoldKey(d));
            for (const std::wstring& name : RenameRecords(m_root.vault)) {
                m_records.insert(FoldKey(name));
                if (name.substr(name.find(L'.')) != kRenameSuffix) {
                    Add(Finding::RenameUnbegun, name, L"", "a rename record never made whole: the rename had not begun",
                        kDriverFinishes);
                    if (m_options.repair) {
                        std::string done;
                        FileResult r = FinishRename(m_root.vault, name, &done);
                        Repaired(r, done);
                    }
                    continue;
                }
                RenamePlan plan;
                if (FileResult r = ReadRenameRecord(m_root.vault + L"\\" + name, &plan); !r) {
                    Add(Finding::RenameUnfinished, name, L"", r.text + ": what it would finish is not known",
                        kSetAsideRemedy);
                    SetAsideItem(L"", {name});
                    continue;
                }
                const std::wstring from = Under(plan.fromFolder, plan.fromStem), to = Under(plan.toFolder, plan.toStem);
                std::vector<std::wstring> named = {from, from + L".tmp", to, to + kNewSuffix, to + L".tmp"};
                if (!plan.replacedStem.empty()) {
                    const std::wstring replaced = Under(plan.toFolder, plan.replacedStem);
                    named.insert(named.end(), {replaced, replaced + L".tmp", replaced + kDeletedSuffix});
                }
                bool bOpen = false;   // a file it moves or replaces
                for (const std::wstring& n : named)
                    bOpen = bOpen || open.count(FoldKey(Under(m_root.vault, n)));
                std::wstring logical;
                VaultPath toFolder;
                if (FileResult r = m_files.Resolve(Under(m_root.vault, plan.toFolder), &toFolder); r) {
                    DecodeItem item;
                    item.stem = plan.toStem;
                    item.meta = plan.meta;
                    if (FileResult d = m_agent.Decode(AsFolder(toFolder), &item, 1); !d) {
                        result = d;
                        return;
                    }
                    logical = item.name.empty() ? L"" : Under(plan.toFolder, item.name);
                }
                Add(Finding::RenameUnfinished, name, logical,
                    "a rename stopped half-way: " + Quoted(from) + " to " + Quoted(to),
                    bOpen ? "a file it moves or replaces is open: the driver finishes it when it next serves the vault"
                          : kDriverFinishes);
                bool bFinished = false;
                if (m_options.repair && !bOpen) {
                    std::string done;
                    FileResult r = FinishRename(m_root.vault, name, &done);
                    Repaired(r, done);
                    bFinished = (bool)r;
                }
                if (!bFinished)
                    for (const std::wstring& n : named)
                        m_covered.insert(FoldKey(n));
            }
        });
        return result;
    }

    // One folder: FolderTooLong when the driver cannot reach into it, else
    // looked at under the names lock.
    FileResult Folder(const std::wstring& rel, std::vector<std::wstring>* pBelow)
    {
        VaultPath folder;
        if (FileResult r = m_files.Resolve(Under(m_root.vault, rel), &folder); !r)
            return r;
        folder = AsFolder(folder);
        const size_t most = VaultFiles::MaxFolderChars(folder);
        if (folder.dos.size() > most) {
            Add(Finding::FolderTooLong, rel, L"",
                Format("its path has %u characters; the driver reaches folders of up to %u", (unsigned)folder.dos.size(),
                       (unsigned)most),
                "move it to a shorter path on disk and check again: nothing in it was checked");
            return {};
        }
        FileResult result;
        m_files.WhileNamesHeld([&](const std::vector<std::wstring>& open) { result = Look(rel, folder, open, pBelow); });
        return result;
    }

    FileResult Look(const std::wstring& rel, const VaultPath& folder, const std::vector<std::wstring>& openData,
                    std::vector<std::wstring>* pBelow)
    {
        const std::wstring& dir = folder.dos;
        std::set<std::wstring> open, otherKeys;
        for (const std::wstring& d : openData)
            open.insert(FoldKey(d));
        auto isOpen = [&](const std::wstring& stem) { return open.count(FoldKey(dir + L"\\" + stem + L".tmp")) != 0; };
        auto covered = [&](const std::wstring& name) { return m_covered.count(FoldKey(Under(rel, name))) != 0; };

        // Names compared as the file system compares them: a data file is
        // its meta file's whatever the letters' case.
        std::map<std::wstring, uint64_t> metas;                          // by stem: the file's length
        std::map<std::wstring, std::pair<std::wstring, uint64_t>> datas;   // by folded stem: name and length
        std::set<std::wstring> metaKeys;
        std::vector<std::wstring> others;
        WIN32_FIND_DATAW fd;
        HANDLE hFind = FindFirstFileExW((dir + L"\\*").c_str(), FindExInfoBasic, &fd, FindExSearchNameMatch, NULL,
                                       FIND_FIRST_EX_LARGE_FETCH);
        if (hFind == INVALID_HANDLE_VALUE)   // gone since its parent was read: nothing to check
            return GetLastError() == ERROR_PATH_NOT_FOUND ? FileResult{} : DiskError("cannot list", dir);
        m_report.folders++;
        do {
            const std::wstring name = fd.cFileName;
            const uint64_t bytes = ((uint64_t)fd.nFileSizeHigh << 32) | fd.nFileSizeLow;
            if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                if (name == L"." || name == L"..")
                    continue;
                if (rel.empty() && name.rfind(kSetAsidePrefix, 0) == 0)
                    Add(Finding::SetAside, name, L"", "files that a repair set aside",
                        "look at them on disk, and delete the folder when done (vaultfilter rmdir " +
                            Quoted(dir + L"\\" + name) + ")");
                else
                    pBelow->push_back(Under(rel, name));
            } else if (IsStem(name)) {
                metas[name] = bytes;
                metaKeys.insert(FoldKey(name));
            } else if (IsDataFileName(name)) {
                datas[FoldKey(name.substr(0, name.size() - 4))] = {name, bytes};
            } else {
                others.push_back(name);
                otherKeys.insert(FoldKey(name));
            }
        } while (FindNextFileW(hFind, &fd));
        FindClose(hFind);

        // The meta files: read here, asked about, then held against their data files and each other.
        std::vector<Probe> probes;
        for (const auto& [stem, bytes] : metas) {
            if (isOpen(stem)) {
                Add(Finding::Open, Under(rel, stem), L"", "open at the moment", "neither checked nor touched");
                continue;
            }
            if (covered(stem))
                continue;
            Probe p;
            p.stem = stem;
            if (FileResult r = ReadMeta(dir + L"\\" + stem, &p.meta); !r) {
                p.bFaulty = true;
                p.fault = Finding::MetaUnreadable;
                p.faultText = r.text;
            } else if (std::string fault = MetaTextFault(p.meta, &p.keyText); !fault.empty()) {
                p.bFaulty = true;
                p.faultText = fault;
            }
            probes.push_back(std::move(p));
        }
        for (size_t first = 0; first < probes.size(); first += kProbeChunk) {
            Ask(folder, probes.data() + first, std::min(kProbeChunk, probes.size() - first));
            Progress();
        }
        std::map<std::wstring, std::wstring> stemOfName;   // by folded name: the stem that opens under it
        std::map<std::wstring, std::wstring> nameOfStem;
        for (Probe& p : probes) {
            if (p.asked.error != FileError::None && p.asked.error != FileError::AgentRefused)
                return p.asked;
            const std::wstring stored = Under(rel, p.stem);
            const std::wstring logical = p.details.name.empty() ? L"" : Under(rel, p.details.name);
            const size_t before = m_report.items.size();
            m_report.files++;
            nameOfStem[p.stem] = logical;
            if (p.bFaulty)
                Add(p.fault, stored, L"", p.faultText, std::string(kRestore) + "; its data file stays beside it");
            else if (!p.asked && p.details.name.empty())
                Add(Finding::NameUndecodable, stored, L"", "its logical name does not decode under the vault key",
                    std::string("no name opens it: ") + kRestore);
            else if (!p.asked)
                Add(Finding::KeyForeign, stored, logical,
                    "its key text does not import under the vault key (one of another vault, or damaged)",
                    std::string("its content cannot be decrypted: ") + kRestore);
            if (!logical.empty()) {
                const uint64_t block = p.details.key.block != 0 ? p.details.key.block : kBlock;
                const uint64_t need = RoundUp(p.details.size, block);
                auto data = datas.find(FoldKey(p.stem));
                if (data == datas.end())
                    Add(Finding::DataMissing, stored, logical, "its data file " + Utf8(p.stem) + ".tmp is missing",
                        "its content is lost: " + std::string(kRestore) + ", or delete it (vaultfilter rm " +
                            Quoted(Under(m_root.vault, logical)) + ")");
                else if (data->second.second < need)
                    Add(Finding::DataShort, stored, logical,
                        Format("its data file holds %llu bytes; its size, %llu bytes, needs %llu",
                               (unsigned long long)data->second.second, (unsigned long long)p.details.size,
                               (unsigned long long)need),
                        Format("the content beyond byte %llu is lost: ", (unsigned long long)data->second.second) +
                            kRestore);
                auto [taken, fresh] = stemOfName.emplace(FoldKey(p.details.name), p.stem);
                if (!fresh)
                    Add(Finding::NameTaken, stored, logical,
                        "the stored file " + Quoted(Under(rel, taken->second)) + " has the same name and opens under it",
                        "rename the file that opens (vaultfilter mv); this one then opens under the name");
                if (p.asked && data != datas.end())
                    m_holders[p.keyText].push_back(
                        {stored, logical, dir + L"\\" + data->second.first, p.details.size, data->second.second, p.meta,
                         Place(folder, p.stem)});
            }
            if (m_report.items.size() != before)
                m_unsound.insert(FoldKey(stored));
        }

        // The rest: the driver's own files of interrupted work, data files without meta files, strays.
        for (const std::wstring& name : others) {
            const size_t dot = name.find(L'.');
            const std::wstring stem = name.substr(0, dot), suffix = name.substr(dot);
            const std::wstring stored = Under(rel, name);
            const bool bStem = IsStem(stem);
            if ((rel.empty() && (m_records.count(FoldKey(name)) ||
                                 std::any_of(std::begin(kVaultOwnFiles), std::end(kVaultOwnFiles),
                                             [&](const wchar_t* own) { return SameText(name, own); }))) ||
                (bStem && isOpen(stem)) || covered(name))
                continue;
            const bool bHasMeta = metaKeys.count(FoldKey(stem)) != 0;
            if (bStem && suffix == kNewSuffix && bHasMeta) {
                Add(Finding::UpdateUnfinished, stored, nameOfStem[stem],
                    "a meta text never put in place; " + Utf8(stem) + " holds a whole one", kDriverFinishes);
                if (m_options.repair)
                    Repaired(RemoveStored(dir + L"\\" + name), "removed " + Quoted(stored));
            } else if (bStem && suffix == kNewSuffix) {
                Add(Finding::CreateUnfinished, stored, L"", "a file whose creation stopped before its meta file was in place",
                    kSetAsideRemedy);
                SetAsideItem(rel, {name, stem + L".tmp"});
            } else if (bStem && suffix == kDeletedSuffix && !bHasMeta) {
                Add(Finding::DeleteUnfinished, stored, L"", "the rest of a file deleted while it was open",
                    kDriverFinishes);
                if (m_options.repair)
                    Repaired(FinishDelete(dir, stem), "finished the deletion of " + Quoted(Under(rel, stem)));
            } else {
                Add(Finding::Stray, stored, L"", "neither a stored file of the vault nor the driver's own",
                    kSetAsideRemedy);
                SetAsideItem(rel, {name});
            }
        }
        for (const auto& [key, data] : datas) {
            if (metaKeys.count(key) || isOpen(key) || covered(data.first) || otherKeys.count(FoldKey(key + kNewSuffix)) ||
                otherKeys.count(FoldKey(key + kDeletedSuffix)))
                continue;
            if (DeleteLeftover(dir + L"\\" + data.first, data.second)) {
                Add(Finding::DeleteUnfinished, Under(rel, data.first), L"", "the rest of a file whose deletion stopped",
                    kDriverFinishes);
                if (m_options.repair)
                    Repaired(RemoveStored(dir + L"\\" + data.first), "finished the deletion of " + Quoted(Under(rel, data.first)));
                continue;
            }
            Add(Finding::DataOrphaned, Under(rel, data.first), L"", "a data file without its meta file",
                std::string(kSetAsideRemedy) + "; without its meta file it cannot be read");
            SetAsideItem(rel, {data.first});
        }
        return {};
    }

    // Details of each probe without a fault, up to the agent's five at once,
    // every key handed back at once.
    void Ask(const VaultPath& folder, Probe* pProbes, size_t count)
    {
        std::atomic<size_t> next{0};
        auto work = [&] {
            for (size_t i; (i = next++) < count;) {
                Probe& p = pProbes[i];
                if (p.bFaulty)
                    continue;
                p.asked = m_agent.Details(Place(folder, p.stem), p.meta, &p.details);
                m_agent.ReleaseKey(p.details.key);
            }
        };
        std::vector<std::thread> helpers;
        for (size_t t = 1; t < std::min(AgentRequests::kInFlight, count); t++)
            helpers.emplace_back(work);
        work();
        for (std::thread& t : helpers)
            t.join();
    }

    // 1 when the bytes of its last block beyond its size decrypt to zeros
    // under the key, as the driver leaves them; 0 when not; -1 when that
    // cannot tell (a size of whole blocks, the block a hole).
    int Fits(const Holder& h, const FileKey& key)
    {
        const uint64_t block = key.block, tail = h.size % block, end = RoundUp(h.size, block);
        std::vector<uint8_t> bytes(block);
        Handle file(h.dataPath, GENERIC_READ, OPEN_EXISTING);
        if (tail == 0 || h.dataBytes < end || !file.ok() || !ReadAt(file.get(), end - block, bytes.data(), block) ||
            AllZero(bytes.data(), block) || !m_agent.Transform(key, GetNormalBuffer, bytes))
            return -1;
        return AllZero(bytes.data() + tail, block - tail) ? 1 : 0;
    }

    // Files of one key text: one of them owns the key, each other one has
    // another file's key. The owner is told by its content fitting the key,
    // which needs a last block only partly used (and a file never shortened
    // since: a shorter size leaves the bytes beyond it as they were).
    FileResult SharedKeys()
    {
        FileResult result;
        for (const auto& held : m_holders) {
            const std::vector<Holder>& holders = held.second;
            if (holders.size() < 2)
                continue;
            m_files.WhileNamesHeld([&](const std::vector<std::wstring>& openData) {
                StoredDetails details;
                if (FileResult r = m_agent.Details(holders[0].where, holders[0].meta, &details); !r) {
                    m_agent.ReleaseKey(details.key);
                    result = r;
                    return;
                }
                std::vector<int> fits;
                for (const Holder& h : holders) {
                    const bool bOpen = std::any_of(openData.begin(), openData.end(),
                                                   [&](const std::wstring& d) { return SameText(d, h.dataPath); });
                    fits.push_back(bOpen ? -1 : Fits(h, details.key));
                }
                m_agent.ReleaseKey(details.key);
                // The owner: the one that fits, else one that cannot tell.
                auto pick = std::find(fits.begin(), fits.end(), 1);
                if (pick == fits.end())
                    pick = std::find(fits.begin(), fits.end(), -1);
                const size_t owner = pick == fits.end() ? 0 : (size_t)(pick - fits.begin());
                const Holder& o = holders[owner];
                for (size_t i = 0; i < holders.size(); i++) {
                    if (i == owner)
                        continue;
                    const bool bTold = fits[i] == 0 || fits[owner] == 1;
                    Add(Finding::KeyShared, holders[i].stored, holders[i].name,
                        (bTold ? "its key text is that of " : "it holds the key text of ") + Quoted(o.stored) + " (" +
                            Quoted(o.name) +
                            (bTold ? "): its content does not decrypt under it" : "): one of the two has the other's key"),
                        std::string("its content cannot be read: ") + kRestore);
                    m_unsound.insert(FoldKey(holders[i].stored));
                }
            });
            if (!result)
                return result;
        }
        return {};
    }

    VaultFiles&                                 m_files;
    AgentRequests&                              m_agent;
    const CheckOptions&                         m_options;
    CheckReport&                                m_report;
    const VaultPath                             m_root;
    std::set<std::wstring>                      m_records;   // rename records of the vault folder (folded)
    std::set<std::wstring>                      m_covered;   // stored files an unfinished rename names (folded)
    std::set<std::wstring>                      m_unsound;   // meta files with a problem (folded)
    std::map<std::string, std::vector<Holder>>  m_holders;   // by key text
    std::wstring                                m_setAside;
    ULONGLONG                                   m_lastProgress = GetTickCount64();
};

std::string Json(const std::string& s)
{
    std::string out = "\"";
    for (unsigned char c : s) {
        if (c == '"' || c == '\\')
            out += std::string("\\") + (char)c;
        else if (c < 0x20)
            out += Format("\\u%04x", c);
        else
            out += (char)c;
    }
    return out + "\"";
}

}  // namespace

FileResult CheckVault(VaultFiles& files, const std::wstring& path, const CheckOptions& options, CheckReport* pReport)
{
    *pReport = CheckReport();
    VaultPath root;
    if (FileResult r = files.Resolve(path, &root); !r)
        return r;
    if (!root.IsVaultRoot())
        return Fail(FileError::BadPath, Quoted(path) + " lies inside the vault " + Quoted(root.vault) +
                                            ": name the vault itself, by its drive letter or its folder");
    pReport->vault = root.vault;
    if (!IsFolder(root.vault))
        return Fail(FileError::NotFound, "the vault folder " + Quoted(root.vault) + " is not there");
    if (FileResult r = files.Authenticate(root); !r)
        return r;
    FileResult r = Checker(files, options, *pReport, root).Run();
    if (options.repair)
        files.Forget(root.vault);
    // A logout during the check makes every name look undecodable.
    const bool bUndecodable = std::any_of(pReport->items.begin(), pReport->items.end(),
                                          [](const CheckItem& i) { return i.kind == Finding::NameUndecodable; });
    if (r && bUndecodable && !(r = files.Authenticate(root)))
        pReport->items.erase(std::remove_if(pReport->items.begin(), pReport->items.end(),
                                            [](const CheckItem& i) { return i.kind == Finding::NameUndecodable; }),
                             pReport->items.end());
    return r;
}

std::string ReportText(const CheckReport& report, bool bJson, const FileResult& outcome)
{
    std::string text;
    size_t repaired = 0;
    for (const CheckItem& i : report.items) {
        repaired += i.repaired ? 1 : 0;
        if (bJson) {
            text += "{\"kind\":" + Json(FindingName(i.kind)) + ",\"stored\":" + Json(Utf8(i.stored)) +
                    ",\"name\":" + Json(Utf8(i.name)) + ",\"problem\":" + (i.Problem() ? "true" : "false") +
                    ",\"what\":" + Json(i.what) + ",\"remedy\":" + Json(i.remedy) +
                    ",\"repaired\":" + (i.repaired ? "true" : "false") + "}\n";
            continue;
        }
        text += std::string(i.Problem() ? "" : "note: ") + FindingName(i.kind) + "  " + Utf8(i.stored) +
                (i.name.empty() ? "" : "  " + Quoted(i.name)) + "\n    " + i.what + "\n    " +
                (i.repaired ? "repaired: " : i.Problem() ? "what can be done: " : "") + i.remedy + "\n";
    }
    if (!outcome) {
        const std::string why = std::string(FileErrorName(outcome.error)) + ": " + outcome.text;
        return text + (bJson ? "{\"error\":" + Json(why) + "}\n" : "vaultfilter: check: could not check: " + why + "\n");
    }
    if (bJson)
        return text + "{\"summary\":true,\"vault\":" + Json(Utf8(report.vault)) +
               Format(",\"folders\":%u,\"files\":%u,\"sound\":%u,\"problems\":%u,\"repaired\":%u,\"left\":%u",
                      (unsigned)report.folders, (unsigned)report.files, (unsigned)report.sound,
                      (unsigned)report.Problems(), (unsigned)repaired, (unsigned)report.Left()) +
               ",\"setAside\":" + Json(Utf8(report.setAside)) + "}\n";
    text += Utf8(report.vault) + Format(": %u files checked in %u folders, %u sound; %u problems",
                                        (unsigned)report.files, (unsigned)report.folders, (unsigned)report.sound,
                                        (unsigned)report.Problems());
    if (repaired != 0)
        text += Format(", %u repaired, %u left", (unsigned)repaired, (unsigned)report.Left());
    if (!report.setAside.empty())
        text += "; files set aside in " + Quoted(report.setAside);
    return text + "\n";
}

}  // namespace driversim
