// ZedIDurOvaZiz.dll: backup and restore of vault folders, for the agent and
// its tests where the product's vault-manager library is not installed.
//
// A backup folder holds (README, "The vault-manager library"):
//   VaultBackup.txt   written last: a backup without it is incomplete
//   vault3.cfg        the vault's configuration files, when its folder has
//   keyArchive.xml    them, where the restore callback copies them from
//   Vault\            the vault folder's whole tree, byte for byte
#define VAULTMGR_BUILD
#include "VaultManager.h"

#include <shlobj.h>

#include <atomic>
#include <string>

namespace {

const wchar_t kManifest[] = L"VaultBackup.txt";
const wchar_t kTree[] = L"Vault";
const char kMagic[] = "Vuzaziz vault backup 1";
const wchar_t* const kConfigFiles[] = {L"vault3.cfg", L"keyArchive.xml"};

std::atomic<VSERVICE_CALLBACK> g_pfnCallback{nullptr};

struct Totals {
    unsigned long long files = 0, bytes = 0;
};

std::wstring Join(const std::wstring& folder, const std::wstring& name)
{
    return folder.back() == L'\\' ? folder + name : folder + L'\\' + name;
}

// A narrow path argument as a full wide path without a trailing backslash
// (a drive root keeps its own). The callback gets 259 characters at most.
DWORD FullPath(LPCSTR szPath, std::wstring& full)
{
    if (!szPath || !*szPath)
        return ERROR_INVALID_PARAMETER;
    wchar_t wide[MAX_PATH], buffer[MAX_PATH];
    if (!MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, szPath, -1, wide, MAX_PATH))
        return GetLastError() == ERROR_INSUFFICIENT_BUFFER ? ERROR_FILENAME_EXCED_RANGE
                                                           : ERROR_INVALID_PARAMETER;
    DWORD cch = GetFullPathNameW(wide, MAX_PATH, buffer, nullptr);
    if (cch == 0)
        return GetLastError();
    if (cch >= MAX_PATH)
        return ERROR_FILENAME_EXCED_RANGE;
    full = buffer;
    while (full.size() > 3 && full.back() == L'\\')
        full.pop_back();
    return ERROR_SUCCESS;
}

// ERROR_SUCCESS for an existing folder, ERROR_DIRECTORY for a file,
// ERROR_PATH_NOT_FOUND for nothing there.
DWORD FolderState(const std::wstring& path)
{
    DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        DWORD error = GetLastError();
        return error == ERROR_FILE_NOT_FOUND ? ERROR_PATH_NOT_FOUND : error;
    }
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) ? ERROR_SUCCESS : ERROR_DIRECTORY;
}

bool IsSameOrInside(const std::wstring& inner, const std::wstring& outer)
{
    std::wstring prefix = outer.back() == L'\\' ? outer : outer + L'\\';
    return CompareStringOrdinal(inner.c_str(), -1, outer.c_str(), -1, TRUE) == CSTR_EQUAL ||
           (inner.size() > prefix.size() &&
            CompareStringOrdinal(inner.c_str(), (int)prefix.size(), prefix.c_str(),
                                 (int)prefix.size(), TRUE) == CSTR_EQUAL);
}

DWORD MakeFolders(const std::wstring& path)
{
    int error = SHCreateDirectoryExW(nullptr, path.c_str(), nullptr);
    if (error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS)
        return FolderState(path);
    return (DWORD)error;
}

// Calls fn(name, find data) for every entry of a folder but "." and "..".
template <typename F>
DWORD ForEachEntry(const std::wstring& folder, F fn)
{
    WIN32_FIND_DATAW fd;
    HANDLE hFind = FindFirstFileW(Join(folder, L"*").c_str(), &fd);
    if (hFind == INVALID_HANDLE_VALUE)  // a drive root has no "." entry
        return GetLastError() == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : GetLastError();
    DWORD error = ERROR_SUCCESS;
    do {
        if (wcscmp(fd.cFileName, L".") != 0 && wcscmp(fd.cFileName, L"..") != 0)
            error = fn(std::wstring(fd.cFileName), fd);
    } while (error == ERROR_SUCCESS && FindNextFileW(hFind, &fd));
    if (error == ERROR_SUCCESS && GetLastError() != ERROR_NO_MORE_FILES)
        error = GetLastError();
    FindClose(hFind);
    return error;
}

// Copies the tree under `from` into `to` (replacing files there), or only
// counts it when `to` is empty.
DWORD CopyTree(const std::wstring& from, const std::wstring& to, Totals& totals)
{
    if (!to.empty() && !CreateDirectoryW(to.c_str(), nullptr) &&
        GetLastError() != ERROR_ALREADY_EXISTS)
        return GetLastError();
    return ForEachEntry(from, [&](const std::wstring& name, const WIN32_FIND_DATAW& fd) -> DWORD {
        std::wstring target = to.empty() ? to : Join(to, name);
        if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
            return CopyTree(Join(from, name), target, totals);
        if (!target.empty() && !CopyFileW(Join(from, name).c_str(), target.c_str(), FALSE))
            return GetLastError();
        totals.files++;
        totals.bytes += ((unsigned long long)fd.nFileSizeHigh << 32) | fd.nFileSizeLow;
        return ERROR_SUCCESS;
    });
}

// Deletes everything inside a folder, and the folder too unless bKeepRoot.
DWORD DeleteTree(const std::wstring& folder, bool bKeepRoot)
{
    DWORD error = ForEachEntry(folder, [&](const std::wstring& name, const WIN32_FIND_DATAW& fd) -> DWORD {
        std::wstring path = Join(folder, name);
        if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
            return DeleteTree(path, false);
        SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
        return DeleteFileW(path.c_str()) ? ERROR_SUCCESS : GetLastError();
    });
    if (error == ERROR_SUCCESS && !bKeepRoot && !RemoveDirectoryW(folder.c_str()))
        error = GetLastError();
    return error;
}

bool IsEmptyFolder(const std::wstring& folder)
{
    return ForEachEntry(folder, [](const std::wstring&, const WIN32_FIND_DATAW&) -> DWORD {
        return ERROR_DIR_NOT_EMPTY;
    }) == ERROR_SUCCESS;
}

std::string Utf8(const std::wstring& text)
{
    std::string out(text.size() * 3, '\0');
    out.resize(WideCharToMultiByte(CP_UTF8, 0, text.data(), (int)text.size(), out.data(),
                                   (int)out.size(), nullptr, nullptr));
    return out;
}

std::wstring FromUtf8(const std::string& text)
{
    std::wstring out(text.size(), L'\0');
    out.resize(MultiByteToWideChar(CP_UTF8, 0, text.data(), (int)text.size(), out.data(),
                                   (int)out.size()));
    return out;
}

DWORD WriteManifest(const std::wstring& backup, const std::wstring& vault, const Totals& totals)
{
    std::string text = std::string(kMagic) + "\r\nvault=" + Utf8(vault) +
                       "\r\nfiles=" + std::to_string(totals.files) +
                       "\r\nbytes=" + std::to_string(totals.bytes) + "\r\n";
    HANDLE h = CreateFileW(Join(backup, kManifest).c_str(), GENERIC_WRITE, 0, nullptr,
                           CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return GetLastError();
    DWORD cb = 0;
    BOOL bOk = WriteFile(h, text.data(), (DWORD)text.size(), &cb, nullptr) && cb == text.size();
    DWORD error = bOk ? ERROR_SUCCESS : GetLastError();
    CloseHandle(h);
    return error;
}

// The vault folder and the totals that a complete backup recorded.
DWORD ReadManifest(const std::wstring& backup, std::wstring& vault, Totals& totals)
{
    HANDLE h = CreateFileW(Join(backup, kManifest).c_str(), GENERIC_READ, FILE_SHARE_READ,
                           nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return GetLastError() == ERROR_FILE_NOT_FOUND ? ERROR_BAD_FORMAT : GetLastError();
    char buffer[4096];
    DWORD cb = 0;
    BOOL bOk = ReadFile(h, buffer, sizeof(buffer), &cb, nullptr);
    CloseHandle(h);
    if (!bOk)
        return GetLastError();
    std::string text(buffer, cb), files, bytes;
    if (text.rfind(std::string(kMagic) + "\r\n", 0) != 0)
        return ERROR_BAD_FORMAT;
    for (size_t at = 0, end; (end = text.find("\r\n", at)) != std::string::npos; at = end + 2) {
        std::string line = text.substr(at, end - at);
        if (line.rfind("vault=", 0) == 0)
            vault = FromUtf8(line.substr(6));
        else if (line.rfind("files=", 0) == 0)
            files = line.substr(6);
        else if (line.rfind("bytes=", 0) == 0)
            bytes = line.substr(6);
    }
    if (vault.empty() || files.empty() || bytes.empty())
        return ERROR_BAD_FORMAT;
    totals.files = strtoull(files.c_str(), nullptr, 10);
    totals.bytes = strtoull(bytes.c_str(), nullptr, 10);
    return ERROR_SUCCESS;
}

DWORD Backup(const std::wstring& vault, const std::wstring& backup, DWORD dwFlags)
{
    if (dwFlags & ~VAULT_BACKUP_REPLACE)
        return ERROR_INVALID_FLAGS;
    if (DWORD error = FolderState(vault))
        return error;
    // Either inside the other would copy a tree into itself or, on a
    // replacement, delete the vault.
    if (IsSameOrInside(backup, vault) || IsSameOrInside(vault, backup))
        return ERROR_INVALID_PARAMETER;

    bool bCreated = false;
    DWORD state = FolderState(backup);
    if (state == ERROR_PATH_NOT_FOUND) {
        if (DWORD error = MakeFolders(backup))
            return error;
        bCreated = true;
    } else if (state != ERROR_SUCCESS) {
        return state;
    } else if (GetFileAttributesW(Join(backup, kManifest).c_str()) != INVALID_FILE_ATTRIBUTES) {
        if (!(dwFlags & VAULT_BACKUP_REPLACE))
            return ERROR_ALREADY_EXISTS;
        // The manifest goes first: an interrupted replacement is incomplete.
        if (!DeleteFileW(Join(backup, kManifest).c_str()))
            return GetLastError();
        if (DWORD error = DeleteTree(backup, true))
            return error;
    } else if (!IsEmptyFolder(backup)) {
        return ERROR_DIR_NOT_EMPTY;
    }

    Totals totals;
    DWORD error = CopyTree(vault, Join(backup, kTree), totals);
    for (const wchar_t* name : kConfigFiles) {
        if (error == ERROR_SUCCESS &&
            GetFileAttributesW(Join(vault, name).c_str()) != INVALID_FILE_ATTRIBUTES &&
            !CopyFileW(Join(vault, name).c_str(), Join(backup, name).c_str(), FALSE))
            error = GetLastError();
    }
    if (error == ERROR_SUCCESS)
        error = WriteManifest(backup, vault, totals);
    // Everything in the folder is this backup's: leave it as it was found
    // (empty, or not there), never half a backup.
    if (error != ERROR_SUCCESS)
        DeleteTree(backup, !bCreated);
    return error;
}

// The folder that a restore into a new vault creates: beside the backup
// folder, named after the vault, with " (2)", " (3)", ... when taken.
DWORD NewVaultFolder(const std::wstring& backup, const std::wstring& vault, std::wstring& folder)
{
    std::wstring parent = backup.size() > 3 ? backup.substr(0, backup.rfind(L'\\')) : backup;
    std::wstring name = vault.size() > 3 ? vault.substr(vault.rfind(L'\\') + 1) : L"Vault";
    if (parent.size() == 2)
        parent += L'\\';  // "C:" alone would mean that drive's current folder
    for (int n = 1; n < 100; n++) {
        folder = Join(parent, n == 1 ? name : name + L" (" + std::to_wstring(n) + L")");
        if (GetFileAttributesW(folder.c_str()) == INVALID_FILE_ATTRIBUTES)
            return ERROR_SUCCESS;
    }
    return ERROR_ALREADY_EXISTS;
}

DWORD Restore(const std::wstring& backup, bool bNewVault)
{
    if (DWORD error = FolderState(backup))
        return error;
    std::wstring vault, target;
    Totals recorded, found, copied;
    if (DWORD error = ReadManifest(backup, vault, recorded))
        return error;
    // A backup that lost or gained files since it was made is not restored.
    if (DWORD error = CopyTree(Join(backup, kTree), L"", found))
        return error;
    if (found.files != recorded.files || found.bytes != recorded.bytes)
        return ERROR_FILE_CORRUPT;
    target = vault;
    if (bNewVault) {
        if (DWORD error = NewVaultFolder(backup, vault, target))
            return error;
    }
    if (target.size() >= MAX_PATH)
        return ERROR_FILENAME_EXCED_RANGE;
    if (DWORD error = MakeFolders(target))
        return error;
    if (DWORD error = CopyTree(Join(backup, kTree), target, copied))
        return error;
    if (VSERVICE_CALLBACK pfn = g_pfnCallback.load())
        pfn(backup.c_str(), target.c_str());
    return ERROR_SUCCESS;
}

// No C++ exception leaves the library: a caller sees an error code.
template <typename F>
DWORD Guarded(F fn)
{
    try {
        return fn();
    } catch (...) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
}

}  // namespace

VAULTMGR_API DWORD WINAPI VaultBackup(LPCSTR szVaultFolder, LPCSTR szBackupFolder, DWORD dwFlags)
{
    return Guarded([&]() -> DWORD {
        std::wstring vault, backup;
        if (DWORD error = FullPath(szVaultFolder, vault))
            return error;
        if (DWORD error = FullPath(szBackupFolder, backup))
            return error;
        return Backup(vault, backup, dwFlags);
    });
}

VAULTMGR_API DWORD WINAPI SetVServiceCalBak(VSERVICE_CALLBACK pfnCallback)
{
    g_pfnCallback.store(pfnCallback);
    return ERROR_SUCCESS;
}

VAULTMGR_API DWORD WINAPI VaultRestoreToCurrentVault(LPCSTR szBackupFolder)
{
    return Guarded([&]() -> DWORD {
        std::wstring backup;
        DWORD error = FullPath(szBackupFolder, backup);
        return error ? error : Restore(backup, false);
    });
}

VAULTMGR_API DWORD WINAPI VaultRestoreToNewVault(LPCSTR szBackupFolder)
{
    return Guarded([&]() -> DWORD {
        std::wstring backup;
        DWORD error = FullPath(szBackupFolder, backup);
        return error ? error : Restore(backup, true);
    });
}
