// The stored files of a vault folder, as the driver keeps them on disk.
//
// Per logical file a folder holds a meta file named by a stem (16 hex
// digits, no ".") holding the meta text the agent built, and a data file
// stem + ".tmp" holding the content as cipher blocks of the file key, its
// length the plain size rounded up to the block size. Subfolders keep their
// plain names.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

#include "FileResult.h"

namespace driversim {

bool IsFolder(const std::wstring& path);
bool Exists(const std::wstring& path);
// Whether a folder holds anything at all (stored files the agent cannot
// read included: a folder that looks empty but is not stays).
bool FolderEmpty(const std::wstring& folder);

// A stem that no file of the folder has: 16 hex digits, no ".".
std::wstring NewStem(const std::wstring& folder);
// Whether a directory entry's name is a stem, or a stem + ".tmp".
bool IsStem(const std::wstring& name);
bool IsDataFileName(const std::wstring& name);

// A stored file, opened for what the caller does with it.
class Handle {
public:
    Handle(const std::wstring& path, DWORD access, DWORD disposition);
    ~Handle();
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
bool ReadAt(HANDLE h, uint64_t offset, void* p, size_t cb);
bool WriteAt(HANDLE h, uint64_t offset, const void* p, size_t cb);

// A whole file written: CREATE_NEW (AlreadyExists when it is there) or TRUNCATE_EXISTING.
FileResult WriteWhole(const std::wstring& path, const void* p, size_t cb, DWORD disposition);
// A meta file as the driver reads it: the text, at most what fits a request.
FileResult ReadMeta(const std::wstring& path, std::string* pText);

}  // namespace driversim
