#include "NameCache.h"

#include "Text.h"

namespace driversim {

void NameCache::Sync(uint64_t generation)
{
    std::lock_guard<std::mutex> lock(m_mu);
    if (generation != m_generation) {
        m_folders.clear();
        m_generation = generation;
    }
}

void NameCache::Clear()
{
    std::lock_guard<std::mutex> lock(m_mu);
    m_folders.clear();
}

// Under m_mu.
NameCache::Kept* NameCache::Find(const std::wstring& folder)
{
    auto it = m_folders.find(FoldKey(folder));
    return it == m_folders.end() ? nullptr : &it->second;
}

NameCache::Seen NameCache::Look(const std::wstring& folder, const std::wstring& name, Entry* pOut)
{
    std::lock_guard<std::mutex> lock(m_mu);
    Kept* kept = Find(folder);
    if (kept == nullptr)
        return Seen::NotCached;
    const std::wstring key = FoldKey(name);
    auto it = kept->byName.find(key);
    if (it == kept->byName.end())
        return kept->folders.count(key) ? Seen::Folder : Seen::Absent;
    if (pOut != nullptr)
        *pOut = it->second;
    return Seen::File;
}

bool NameCache::Copy(const std::wstring& folder, Folder* pOut)
{
    std::lock_guard<std::mutex> lock(m_mu);
    Kept* kept = Find(folder);
    if (kept == nullptr)
        return false;
    pOut->files.clear();
    for (const auto& [key, entry] : kept->byName)
        pOut->files.push_back(entry);
    pOut->folders.clear();
    for (const auto& [key, name] : kept->folders)
        pOut->folders.push_back(name);
    pOut->unreadable = kept->unreadable;
    pOut->shadowed = kept->shadowed;
    return true;
}

void NameCache::Fill(const std::wstring& folder, Folder contents, uint64_t generation)
{
    std::lock_guard<std::mutex> lock(m_mu);
    if (generation != m_generation)
        return;
    Kept kept;
    for (Entry& e : contents.files)
        kept.byName.emplace(FoldKey(e.name), std::move(e));   // the first stem of a name keeps it
    for (const std::wstring& name : contents.folders)
        kept.folders.emplace(FoldKey(name), name);
    kept.unreadable = std::move(contents.unreadable);
    kept.shadowed = std::move(contents.shadowed);
    m_folders[FoldKey(folder)] = std::move(kept);
}

void NameCache::Put(const std::wstring& folder, const Entry& entry)
{
    std::lock_guard<std::mutex> lock(m_mu);
    if (Kept* kept = Find(folder))
        kept->byName[FoldKey(entry.name)] = entry;
}

void NameCache::Remove(const std::wstring& folder, const std::wstring& name)
{
    std::lock_guard<std::mutex> lock(m_mu);
    auto it = m_folders.find(FoldKey(folder));
    if (it == m_folders.end())
        return;
    // A stored file that a name hid takes the name once it is free: the
    // folder is read again to find it.
    if (!it->second.shadowed.empty())
        m_folders.erase(it);
    else
        it->second.byName.erase(FoldKey(name));
}

void NameCache::Resize(const std::wstring& folder, const std::wstring& name, uint64_t size, const FILETIME& modified,
                       uint64_t version)
{
    std::lock_guard<std::mutex> lock(m_mu);
    if (Kept* kept = Find(folder)) {
        auto it = kept->byName.find(FoldKey(name));
        if (it != kept->byName.end()) {
            it->second.size = size;
            it->second.modified = modified;
            it->second.version = version;
        }
    }
}

void NameCache::PutFolder(const std::wstring& folder, const std::wstring& name)
{
    std::lock_guard<std::mutex> lock(m_mu);
    if (Kept* kept = Find(folder))
        kept->folders[FoldKey(name)] = name;
}

void NameCache::RemoveFolder(const std::wstring& folder, const std::wstring& name)
{
    std::lock_guard<std::mutex> lock(m_mu);
    if (Kept* kept = Find(folder))
        kept->folders.erase(FoldKey(name));
}

void NameCache::Forget(const std::wstring& folder)
{
    std::lock_guard<std::mutex> lock(m_mu);
    const std::wstring key = FoldKey(folder);
    for (auto it = m_folders.lower_bound(key); it != m_folders.end();) {
        const std::wstring& k = it->first;
        if (k.compare(0, key.size(), key) != 0)
            break;
        if (k.size() == key.size() || k[key.size()] == L'\\')
            it = m_folders.erase(it);
        else
            ++it;
    }
}

}  // namespace driversim
