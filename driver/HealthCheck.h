// A vault's health check: every stored file looked at the way the driver
// reads it when a user opens the file, so that damage is found before then.
// A meta file must hold a whole meta text whose name decodes and whose key
// text imports under the vault key (the agent is asked, as for an open, and
// the key handed back), a key text no other file has, and a data file at
// least as long as its size needs; a folder must not hold two stored files
// of one logical name, nor files of neither kind. What the driver's own
// interrupted work left behind (StoredFiles.h) is found too.
//
// A repair never deletes content: it finishes or clears what the driver
// documents as interrupted work, and moves files that are no stored file
// into a folder of the vault named for the check and the date ("vault
// check 2025-03-01"). Whatever needs the user's decision is only reported.
#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

#include "FileResult.h"
#include "VaultFiles.h"

namespace driversim {

enum class Finding {
    MetaUnreadable,     // the meta file cannot be read
    MetaDamaged,        // the meta text does not parse: cut short, an element missing
    NameUndecodable,    // its logical name does not decode under the vault key
    KeyForeign,         // its key text does not import under the vault key
    KeyShared,          // its key text is another file's
    DataMissing,        // a meta file without its data file
    DataShort,          // a data file shorter than the size in its meta text needs
    NameTaken,          // another stored file of the folder opens under the same name
    DataOrphaned,       // a data file without its meta file
    Stray,              // neither a stored file nor the driver's own
    RenameUnfinished,   // a rename record (ID.rename): a rename under way when it stopped
    RenameUnbegun,      // a rename record never made whole (ID.rename.new)
    UpdateUnfinished,   // STEM.new beside STEM: a meta text never put in place
    CreateUnfinished,   // STEM.new without STEM: a creation that stopped half-way
    DeleteUnfinished,   // STEM.del of no open file, or STEM.tmp holding a meta text: the rest of a deleted file
    FolderTooLong,      // a folder deeper than the driver reaches; not looked into
    // Notes, not problems:
    Open,               // open at the moment: neither checked nor touched
    SetAside,           // a folder where an earlier repair put files aside
};

// The finding's name for people and scripts ("data-missing").
const char* FindingName(Finding finding);

struct CheckItem {
    Finding      kind = Finding::Stray;
    std::wstring stored;     // the stored file, relative to the vault folder
    std::wstring name;       // its logical path in the vault, where known
    std::string  what;       // what is wrong
    std::string  remedy;     // what can be done, or what the repair did
    bool         repaired = false;

    bool Problem() const { return kind != Finding::Open && kind != Finding::SetAside; }
};

struct CheckReport {
    std::wstring vault;            // the vault folder
    size_t       folders = 0;
    size_t       files = 0;        // meta files checked
    size_t       sound = 0;        // of which nothing was wrong
    std::vector<CheckItem> items;  // in the order found
    std::wstring setAside;         // where the repair moved files, if anywhere

    size_t Problems() const;
    size_t Left() const;           // problems not repaired
};

struct CheckOptions {
    bool repair = false;
    // Called now and then while the vault is walked (the report so far).
    std::function<void(const CheckReport&)> progress;
};

// Checks, and with options.repair repairs, the vault that path names (its
// drive letter or its folder). Fails when the vault cannot be checked: not
// a vault, not logged in, no agent; *pReport then holds what was found.
FileResult CheckVault(VaultFiles& files, const std::wstring& path, const CheckOptions& options, CheckReport* pReport);

// What keeps a meta text from parsing, "" when nothing does: the name, key
// text and size elements in that order, the size as two numbers, and the
// closing tag at the end, which a text cut short loses first. The key text
// goes to *pKeyText without its line breaks.
std::string MetaTextFault(const std::string& text, std::string* pKeyText);

// The report for a person (each item, then a summary line), or for scripts
// (one JSON object per line: each item, then the summary). A check that
// failed ends with its failure instead of the summary.
std::string ReportText(const CheckReport& report, bool bJson, const FileResult& outcome = {});

}  // namespace driversim
