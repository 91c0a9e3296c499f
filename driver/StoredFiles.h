// The stored files of a vault folder, as the driver keeps them on disk.
//
// Per logical file a folder holds a meta file named by a stem (16 hex
// digits, no ".") holding the meta text the agent built, and a data file
// stem + ".tmp" holding the content. Subfolders keep their plain names.
//
// The data file: the plain content in blocks of the cipher's block size
// (8 bytes), each encrypted on its own with the file key (ECB), block i at
// byte i * 8. A block whose 8 stored bytes are all zero is a hole and reads
// as 8 zero bytes without being decrypted: growing a file, or writing past
// its end, leaves holes (sparse on disk) instead of encrypting zeros. (A real
// cipher block is all zeros with a chance of 2^-64.) The data file is at
// least the plain size rounded up to whole blocks; bytes beyond that are
// never read. Plain bytes of the last block beyond the size are zero after
// any growth.
//
// Names the driver owns beside the stored files, never taken for a stem or
// a data file (they carry a "." other than ".tmp"):
//   STEM.new         a meta text being written; renamed over STEM when whole,
//                    so that STEM always holds a whole text, old or new
//   STEM.del         the meta file of a file deleted while still open; it and
//                    STEM.tmp go when the file's last handle closes
//   ID.rename        in the vault folder only: a rename under way, with all
//                    that is needed to finish it (RenamePlan below)
//   ID.rename.new    such a record being written
// Whatever of these a crash leaves behind is finished or cleared the next
// time the driver serves the vault (RecoverVault) or the folder (a .new or
// .del of no open file).
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "FileResult.h"

namespace driversim {

bool IsFolder(const std::wstring& path);
bool Exists(const std::wstring& path);
// An empty folder removed: NotEmpty when it holds anything at all (stored
// files the agent cannot read included: a folder that looks empty but is
// not stays). The removal itself tells, with no listing first.
FileResult RemoveEmptyFolder(const std::wstring& folder);

// A stem that no file of the folder has: 16 hex digits, no ".".
std::wstring NewStem(const std::wstring& folder);
// A stem at random, not checked against the folder (a creation with
// CREATE_NEW checks it).
std::wstring RandomStem();
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

constexpr wchar_t kNewSuffix[] = L".new";
constexpr wchar_t kDeletedSuffix[] = L".del";
constexpr wchar_t kRenameSuffix[] = L".rename";

// A new file's meta text, written where no file is (AlreadyExists when one
// is). One write of less than a page: a crash leaves no file, an empty one
// or the whole text, never part of it (an empty one, of a creation cut
// short, goes with its empty data file when the folder is next served).
// Written in place, not beside and renamed: under the compatibility layer
// every name that is not there yet costs a search of the whole folder.
FileResult MakeMeta(const std::wstring& path, const std::string& text);
// A meta text written over an old one no longer than it, in one write at
// its start, for a file with nothing durable to keep (a crash of the
// process leaves the old or the new text; one page is written whole).
FileResult OverwriteMeta(const std::wstring& path, const std::string& text);
// The same through a handle the caller opened for writing beforehand.
FileResult OverwriteMeta(const Handle& h, const std::wstring& path, const std::string& text);
// A meta text made whole beside its file (STEM.new, flushed to stable
// storage when bFlush) and renamed over the old one.
FileResult PlaceMeta(const std::wstring& path, const std::string& text, bool bFlush);
// A stored file or folder renamed; a file or folder that another program
// holds open for a moment is waited for a little.
FileResult MoveStored(const std::wstring& from, const std::wstring& to, bool bReplace = false);
// A stored file deleted; one that is not there counts as deleted.
FileResult RemoveStored(const std::wstring& path);
// A file's or folder's changes flushed to stable storage.
FileResult FlushStored(const std::wstring& path);
// A file's or folder's modification time set (and its access time with it).
FileResult SetStoredTime(const std::wstring& path, const FILETIME& modified);
// A file's or folder's last write time; false when it is not there.
bool LastWrite(const std::wstring& path, FILETIME* pTime, bool* pbFolder = nullptr);

// A file deleted: its meta file renamed over its data file (the name and
// the content are gone at once), then deleted; with pLeft, the deletion is
// the caller's, of the path put there. With bKeepData the meta file goes to
// STEM.del instead, and it and the data file stay for an open file's
// handles.
FileResult DeletePair(const std::wstring& folder, const std::wstring& stem, bool bKeepData,
                      std::wstring* pLeft = nullptr);
// Whether a data file without its meta file is what a deletion cut short
// left: it holds a meta text (content is ciphertext, never that).
bool DeleteLeftover(const std::wstring& dataPath, uint64_t bytes);
// The rest of a deletion that was kept for open handles.
FileResult FinishDelete(const std::wstring& folder, const std::wstring& stem);

// A rename of a stored file, within a vault. Folders are relative to the
// vault folder ("" for the vault folder itself, "docs\old").
struct RenamePlan {
    std::wstring fromFolder, fromStem;   // the file that moves
    std::wstring toFolder, toStem;       // where it lands (toStem == fromStem in one folder)
    std::wstring replacedStem;           // the file of the target name it replaces, if any
    bool         replacedOpen = false;   // that file is open: its data stays for its handles
    std::string  meta;                   // the moved file's new meta text
};
// Carries a rename out so that at every moment, across a crash of any
// process, the target name holds its old file or the moved one and the
// moved file is never lost:
//   1. ID.rename is written (with all of the plan) and made whole;
//   2. toStem.new gets the new meta text;
//   3. (another folder) fromStem.tmp moves to toStem.tmp;
//   4. toStem.new is renamed over toStem: the target name now means the
//      moved file (the replaced file's meta file still names it too, but no
//      one reads the folder before step 5 or a recovery has run);
//   5. (another folder) the old meta file fromStem goes;
//   6. the replaced pair goes (its meta file to replacedStem.del, when open);
//   7. ID.rename goes.
// A crash before 1 completes leaves the old state (and perhaps an
// ID.rename.new, cleared). From 1 on, RecoverVault finishes the rename:
// every step is done again only if it is not done yet. A failure at steps 1
// or 2 (a full disk) undoes them and changes nothing. This holds against a
// crash of any process; against a power cut it holds for what was flushed
// (an fsync of the folders involved), as on any file system.
FileResult CarryOutRename(const std::wstring& vault, const RenamePlan& plan);
// Step 1 alone: the record made whole in the vault folder; its path goes to
// *pRecord. (Whatever follows it is what RecoverVault finishes.)
FileResult WriteRenameRecord(const std::wstring& vault, const RenamePlan& plan, std::wstring* pRecord);
// The plan a record holds; Corrupt when it is not a whole record.
FileResult ReadRenameRecord(const std::wstring& path, RenamePlan* pPlan);
// The names of the records in a vault folder, ID.rename and ID.rename.new.
std::vector<std::wstring> RenameRecords(const std::wstring& vault);
// Finishes the rename of one record (or clears a record never made whole);
// what it did goes to *pDone. A failure leaves the record for a later try.
FileResult FinishRename(const std::wstring& vault, const std::wstring& name, std::string* pDone);
// Finishes every rename that a crash left under way in a vault; what it did,
// one line each, goes to *pDone.
FileResult RecoverVault(const std::wstring& vault, std::vector<std::string>* pDone);

}  // namespace driversim
