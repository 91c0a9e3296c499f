// How every file operation of the driver ends: an error kind and a sentence
// for a person, never an exception.
#pragma once

#include <windows.h>

#include <string>

namespace driversim {

enum class FileError {
    None,
    NoAgent,        // no agent connected, or the request could not be sent
    NoReply,        // no (whole) reply in time
    AgentRefused,   // the agent answered Succeeded 0
    NotLoggedIn,    // the vault is not logged in
    NotInVault,     // the path lies in no vault the agent announced
    BadPath,        // not a usable path, or a name that cannot be stored
    NotFound,
    AlreadyExists,
    Disk,           // reading or writing a stored file failed
    Corrupt,        // stored files that do not fit their meta text
    NoSpace,        // the disk is full
    NameTooLong,    // a path the agent's requests cannot carry
    IsFolder,       // a folder where a file is wanted
    NotFolder,      // a file where a folder is wanted
    NotEmpty,       // a folder that holds something
};

const char* FileErrorName(FileError error);

struct FileResult {
    FileError   error = FileError::None;
    std::string text;   // what failed, for a person; empty on success

    explicit operator bool() const { return error == FileError::None; }
    static FileResult Fail(FileError error, std::string text) { return {error, std::move(text)}; }
};

inline FileResult Fail(FileError error, const std::string& text) { return FileResult::Fail(error, text); }

// A failed call on a stored file: what was done, the path, and the system's
// sentence for the error; NoSpace when the disk is full.
FileResult DiskError(const char* pszWhat, const std::wstring& path, DWORD dwError = GetLastError());

}  // namespace driversim
