// vaultctl: drives the agent of this session from a shell, one subcommand
// per command of the companion protocol.
#include <windows.h>
#include <shlobj.h>

#include <algorithm>
#include <cerrno>
#include <cwchar>
#include <cwctype>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "AgentLink.h"
#include "Companion.h"
#include "VaultExplorer.h"

using namespace vaultctl;

namespace {

const wchar_t kVaultsKey[] = L"Software\\Revedi Zadoder Avir.\\Vuzaziz\\Vaults\\";
const DWORD kNetworkFlag = 0x2;
const wchar_t* const kConfigFiles[] = {L"vault3.cfg", L"keyArchive.xml"};

struct Invocation {
    std::vector<std::wstring> args;
    std::map<std::wstring, std::wstring> opts;   // option name (with --) -> value, "" for flags
    Options options;
    bool Has(const wchar_t* name) const { return opts.count(name) != 0; }
    std::wstring Opt(const wchar_t* name, const std::wstring& fallback = L"") const
    {
        auto it = opts.find(name);
        return it == opts.end() ? fallback : it->second;
    }
};

struct Command {
    const wchar_t* name;
    const wchar_t* synopsis;
    const wchar_t* summary;
    const wchar_t* details;
    size_t minArgs, maxArgs;
    std::vector<const wchar_t*> flags;    // options without a value
    std::vector<const wchar_t*> valued;   // options with a value
    int (*run)(const Invocation&);
};

const wchar_t kGeneralHelp[] =
    L"usage: vaultctl [--timeout SECONDS] [--dismiss] COMMAND [ARGUMENTS]\n"
    L"       vaultctl COMMAND --help\n"
    L"\n"
    L"Drives the Vuzaziz agent (VuvUDOVU.exe) of this session from a shell.\n"
    L"\n"
    L"Commands:\n";

const wchar_t kGeneralOptions[] =
    L"\n"
    L"Options of every command:\n"
    L"  --timeout SECONDS  how long to wait for the agent's answer (default 30)\n"
    L"  --dismiss          print the agent's message boxes and close them (without\n"
    L"                     it they are printed, and the agent waits for a person)\n"
    L"  --help             this text, or a command's own after the command\n"
    L"\n"
    L"Exit codes:\n"
    L"  0  done, and the answer is yes (created, logged in, deleted, ...)\n"
    L"  1  done, and the answer is no (not logged in, creation failed, ...)\n"
    L"  2  bad arguments, or refused before anything was done\n"
    L"  3  no agent runs in this session, or it ended before it answered\n"
    L"  4  the agent did not answer in time\n"
    L"  5  a failure on this side (registry, folder, shared section, file)\n";

// ---- arguments -------------------------------------------------------------

[[noreturn]] void UsageError(const Command* command, const std::wstring& message)
{
    std::wstring text = message;
    if (command)
        text += std::wstring(L"\nusage: vaultctl ") + command->synopsis + L"\n(vaultctl " +
                command->name + L" --help tells more)";
    else
        text += L"\n(vaultctl --help lists the commands)";
    Fail(kUsage, text);
}

// A full path, without trailing separators (a drive's root keeps its own),
// within the agent's slot of `chars` characters including the terminator.
std::wstring FullPath(const Command& command, const std::wstring& arg, size_t chars = COMPANION_PATH_CHARS)
{
    if (arg.empty())
        UsageError(&command, L"an empty path");
    wchar_t buf[32768];
    const DWORD n = GetFullPathNameW(arg.c_str(), ARRAYSIZE(buf), buf, nullptr);
    if (n == 0 || n >= ARRAYSIZE(buf))
        UsageError(&command, L"not a usable path: " + arg);
    std::wstring path(buf, n);
    while (path.size() > 3 && (path.back() == L'\\' || path.back() == L'/'))
        path.pop_back();
    if (path.size() >= chars)
        UsageError(&command, Format(L"the path %ls is %zu characters long; the agent takes at most %zu",
                                    path.c_str(), path.size(), chars - 1));
    return path;
}

// A path for a narrow slot: the system code page must hold every character.
std::string Narrow(const Command& command, const std::wstring& path, size_t bytes = COMPANION_PATH_BYTES)
{
    BOOL bLossy = FALSE;
    const int cb = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, path.c_str(), -1, nullptr, 0,
                                       nullptr, &bLossy);
    std::string text(cb > 0 ? cb : 1, '\0');
    WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, path.c_str(), -1, text.data(), cb, nullptr, &bLossy);
    text.resize(strlen(text.c_str()));
    if (cb <= 0 || bLossy)
        UsageError(&command, L"the path " + path + L" has characters that the system code page cannot hold");
    if (text.size() >= bytes)
        UsageError(&command, Format(L"the path %ls is %zu bytes long; the agent takes at most %zu",
                                    path.c_str(), text.size(), bytes - 1));
    return text;
}

DWORD Number(const Command& command, const std::wstring& text, const wchar_t* what)
{
    wchar_t* end = nullptr;
    errno = 0;
    const unsigned long long value = wcstoull(text.c_str(), &end, 0);
    if (text.empty() || *end || errno || value > 0xFFFFFFFFull || text[0] == L'-')
        UsageError(&command, std::wstring(what) + L" must be a 32-bit number, not \"" + text + L"\"");
    return static_cast<DWORD>(value);
}

template <size_t N>
void Put(WCHAR (&slot)[N], const std::wstring& text)
{
    wcsncpy(slot, text.c_str(), N - 1);
}
template <size_t N>
void Put(char (&slot)[N], const std::string& text)
{
    strncpy(slot, text.c_str(), N - 1);
}

bool Exists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }
bool IsFolder(const std::wstring& path)
{
    const DWORD dwAttributes = GetFileAttributesW(path.c_str());
    return dwAttributes != INVALID_FILE_ATTRIBUTES && (dwAttributes & FILE_ATTRIBUTE_DIRECTORY);
}

// The names of the folders in a folder, sorted.
std::vector<std::wstring> Subfolders(const std::wstring& folder)
{
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW data;
    HANDLE hFind = FindFirstFileW((folder + L"\\*").c_str(), &data);
    if (hFind == INVALID_HANDLE_VALUE)
        return names;
    do {
        if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && wcscmp(data.cFileName, L".") &&
            wcscmp(data.cFileName, L".."))
            names.push_back(data.cFileName);
    } while (FindNextFileW(hFind, &data));
    FindClose(hFind);
    std::sort(names.begin(), names.end());
    return names;
}

// ---- commands --------------------------------------------------------------

const Command& CommandNamed(const wchar_t* name);

DWORD QueryStatus(Agent& agent, const std::wstring& path)
{
    Section section(SECTION_LOGIN_STATUS, sizeof(VAULT_PATH_SECTION));
    Event answered(EVENT_LOGIN_STATUS);
    Put(section.As<VAULT_PATH_SECTION>()->wszPath, path);
    agent.Send(MSG_NAME_LOGGEDINVAULTS, &answered);
    return section.As<VAULT_PATH_SECTION>()->dwResult;
}

int RunStatus(const Invocation& in)
{
    const std::wstring path = FullPath(CommandNamed(L"status"), in.args[0]);
    Agent agent(in.options);
    if (QueryStatus(agent, path) == 1) {
        Out(L"logged in: " + path);
        return kDone;
    }
    Out(L"not logged in: " + path);
    return kNegative;
}

int RunLogin(const Invocation& in)
{
    const std::wstring path = FullPath(CommandNamed(L"login"), in.args[0]);
    Agent agent(in.options);
    Section section(SECTION_VAULT_DESCRIPTION, sizeof(VAULT_DESCRIPTION_SECTION));
    Event answered(EVENT_LOGIN);
    Put(section.As<VAULT_PATH_SECTION>()->wszPath, path);
    agent.Send(MSG_NAME_LOGIN_VAULTS, &answered);
    if (section.As<VAULT_PATH_SECTION>()->dwResult == 1) {
        Out(L"logged in: " + path);
        return kDone;
    }
    Out(L"not logged in: " + path +
        (agent.Boxes().empty() ? L" (no vault holds this path)" : L" (see the agent's message above)"));
    return kNegative;
}

// Logout and removal give no answer of their own: status queries before
// and after say what they changed.
int RunPathCommand(const Invocation& in, const wchar_t* command, const wchar_t* message, const wchar_t* done)
{
    const std::wstring path = FullPath(CommandNamed(command), in.args[0]);
    Agent agent(in.options);
    const bool bBefore = QueryStatus(agent, path) == 1;
    {
        Section section(SECTION_VAULT_DESCRIPTION, sizeof(VAULT_DESCRIPTION_SECTION));
        Put(section.As<VAULT_DESCRIPTION_SECTION>()->wszPath, path);
        agent.Send(message);
    }
    if (QueryStatus(agent, path) == 1) {
        Out(std::wstring(done) + L" asked, but the vault of " + path + L" is still logged in");
        return kNegative;
    }
    Out(std::wstring(done) + L": " + path + L" (status before: " + (bBefore ? L"logged in" : L"not logged in") +
        L", now: not logged in)");
    return kDone;
}

int RunLogout(const Invocation& in) { return RunPathCommand(in, L"logout", MSG_NAME_LOGOUT_VAULTS, L"logged out"); }
int RunDisconnect(const Invocation& in)
{
    return RunPathCommand(in, L"disconnect", MSG_NAME_DISCONNECT_VAULT, L"disconnected");
}

struct VaultRecord {
    std::wstring subkey, path, label, container, mapName;
    DWORD dwSettings = 0;
    std::vector<BYTE> key;   // empty: the agent generates one
};

LONG SetString(HKEY hKey, const wchar_t* name, const std::wstring& value)
{
    return RegSetValueExW(hKey, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                          static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
}

void WriteRecord(const VaultRecord& record)
{
    HKEY hKey = nullptr;
    LONG lResult = RegCreateKeyExW(HKEY_CURRENT_USER, (kVaultsKey + record.subkey).c_str(), 0, nullptr, 0,
                                   KEY_ALL_ACCESS, nullptr, &hKey, nullptr);
    if (lResult == ERROR_SUCCESS) {
        const std::pair<const wchar_t*, const std::wstring*> strings[] = {
            {L"Path", &record.path}, {L"Label", &record.label},
            {L"Container", &record.container}, {L"MapName", &record.mapName}};
        for (const auto& [name, value] : strings)
            if (lResult == ERROR_SUCCESS)
                lResult = SetString(hKey, name, *value);
        if (lResult == ERROR_SUCCESS)
            lResult = RegSetValueExW(hKey, L"Settings", 0, REG_DWORD,
                                     reinterpret_cast<const BYTE*>(&record.dwSettings), sizeof(DWORD));
        // The agent writes "Key" only for a key it generates.
        if (lResult == ERROR_SUCCESS && !record.key.empty())
            lResult = RegSetValueExW(hKey, L"Key", 0, REG_BINARY, record.key.data(),
                                     static_cast<DWORD>(record.key.size()));
        else if (lResult == ERROR_SUCCESS)
            RegDeleteValueW(hKey, L"Key");
        RegCloseKey(hKey);
    }
    if (lResult != ERROR_SUCCESS)
        Fail(kLocal, Format(L"cannot write the vault record HKCU\\%ls%ls (error %ld)", kVaultsKey,
                            record.subkey.c_str(), lResult));
}

bool RecordExists(const std::wstring& subkey, std::wstring* pPath)
{
    wchar_t path[COMPANION_PATH_CHARS] = {};
    DWORD cb = sizeof(path) - sizeof(wchar_t);
    HKEY hKey = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, (kVaultsKey + subkey).c_str(), 0, KEY_READ, &hKey) != ERROR_SUCCESS)
        return false;
    RegQueryValueExW(hKey, L"Path", nullptr, nullptr, reinterpret_cast<BYTE*>(path), &cb);
    RegCloseKey(hKey);
    *pPath = path;
    return true;
}

// The subkey of another record whose folder is `path` (the agent finds the
// first cached record of a folder, so a second one would never log in).
std::wstring OtherRecordOf(const std::wstring& path, const std::wstring& subkey)
{
    HKEY hVaults = nullptr;
    std::wstring key = kVaultsKey;
    key.pop_back();
    if (RegOpenKeyExW(HKEY_CURRENT_USER, key.c_str(), 0, KEY_READ, &hVaults) != ERROR_SUCCESS)
        return L"";
    std::wstring found;
    wchar_t name[COMPANION_PATH_CHARS];
    for (DWORD i = 0; found.empty(); i++) {
        DWORD cch = COMPANION_PATH_CHARS;
        if (RegEnumKeyExW(hVaults, i, name, &cch, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            break;
        std::wstring other;
        if (_wcsicmp(name, subkey.c_str()) != 0 && RecordExists(name, &other) && _wcsicmp(other.c_str(), path.c_str()) == 0)
            found = name;
    }
    RegCloseKey(hVaults);
    return found;
}

std::vector<BYTE> ReadKeyFile(const Command& command, const std::wstring& file)
{
    std::ifstream in(file.c_str(), std::ios::binary);
    if (!in)
        Fail(kLocal, L"cannot read the key file " + file);
    std::vector<BYTE> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (bytes.empty() || bytes.size() > sizeof(VAULT_DESCRIPTION_SECTION::abKey))
        UsageError(&command, Format(L"the key file %ls holds %zu bytes; a wrapped key has 1 to %zu",
                                    file.c_str(), bytes.size(), sizeof(VAULT_DESCRIPTION_SECTION::abKey)));
    return bytes;
}

int RunCreate(const Invocation& in)
{
    const Command& command = CommandNamed(L"create");
    std::wstring letter = in.args[0];
    if (letter.size() == 2 && letter[1] == L':')
        letter.pop_back();
    if (letter.size() != 1 || !iswalpha(letter[0]) || towupper(letter[0]) < L'A' || towupper(letter[0]) > L'Z')
        UsageError(&command, L"the vault's drive must be a letter from A to Z, not \"" + in.args[0] + L"\"");
    letter[0] = towupper(letter[0]);
    if (!in.Has(L"--path"))
        UsageError(&command, L"--path FOLDER is required");

    VaultRecord record;
    record.subkey = letter;
    record.path = FullPath(command, in.Opt(L"--path"));
    const std::wstring leaf = record.path.substr(record.path.find_last_of(L'\\') + 1);
    record.label = in.Opt(L"--label", leaf.empty() ? L"Vault " + letter : leaf);
    record.container = in.Opt(L"--container", L"Vuzaziz-" + letter);
    record.mapName = in.Opt(L"--map-name");
    record.dwSettings = in.Has(L"--settings") ? Number(command, in.Opt(L"--settings"), L"--settings")
                        : record.mapName.empty() ? 0 : kNetworkFlag;
    for (const auto& [what, text] : {std::pair{L"--label", &record.label}, {L"--container", &record.container},
                                     {L"--map-name", &record.mapName}})
        if (text->size() >= COMPANION_PATH_CHARS)
            UsageError(&command, Format(L"%ls is %zu characters long; the agent takes at most %d", what,
                                        text->size(), COMPANION_PATH_CHARS - 1));
    if (record.container.empty())
        UsageError(&command, L"--container must not be empty");
    if (in.Has(L"--key-file"))
        record.key = ReadKeyFile(command, in.Opt(L"--key-file"));
    std::wstring oldPath;
    const bool bExisted = RecordExists(letter, &oldPath);
    if (bExisted && !in.Has(L"--force"))
        UsageError(&command, L"a vault record for " + letter + L": exists already (Path " + oldPath +
                                 L"); --force replaces it");
    if (const std::wstring other = OtherRecordOf(record.path, letter); !other.empty())
        UsageError(&command, L"the folder " + record.path + L" is the vault of record " + other +
                                 L" already; disconnect that vault and delete its record first");

    Agent agent(in.options);
    Section section(SECTION_VAULT_DESCRIPTION, sizeof(VAULT_DESCRIPTION_SECTION));
    Event answered(EVENT_NEW_VAULT);

    const bool bNewFolder = !Exists(record.path);
    const int folderResult = SHCreateDirectoryExW(nullptr, record.path.c_str(), nullptr);
    if (folderResult != ERROR_SUCCESS && folderResult != ERROR_ALREADY_EXISTS)
        Fail(kLocal, Format(L"cannot create the folder %ls (error %d)", record.path.c_str(), folderResult));
    if (!(GetFileAttributesW(record.path.c_str()) & FILE_ATTRIBUTE_DIRECTORY))
        Fail(kLocal, record.path + L" exists and is not a folder");
    WriteRecord(record);

    auto* desc = section.As<VAULT_DESCRIPTION_SECTION>();
    Put(desc->wszLabel, record.label);
    Put(desc->wszPath, record.path);
    Put(desc->wszContainer, record.container);
    Put(desc->wszMapName, record.mapName);
    Put(desc->wszDrive, record.subkey);
    desc->dwSettings = record.dwSettings;
    memcpy(desc->abKey, record.key.data(), record.key.size());
    desc->dwKeyLength = static_cast<DWORD>(record.key.size());
    desc->bGenerate = record.key.empty() ? 1 : 0;
    try {
        agent.Send(MSG_NAME_INITIALIZE_VAULTS, &answered);
    } catch (Failure& failure) {
        if (failure.code == kNoAnswer)
            failure.message += L"; the vault record " + letter + L" stays written and the agent may still finish";
        throw;
    }
    if (section.As<VAULT_PATH_SECTION>()->dwResult == 1) {
        Out(L"created vault " + letter + L": at " + record.path + L" (label \"" + record.label + L"\", container \"" +
            record.container + L"\"), logged in");
        return kDone;
    }
    // Nothing of the vault is left in the agent: take back what this run added.
    if (!bExisted)
        RegDeleteKeyW(HKEY_CURRENT_USER, (kVaultsKey + letter).c_str());
    if (bNewFolder)
        RemoveDirectoryW(record.path.c_str());
    Out(L"not created: the agent could not make the keys of vault " + letter + L": (its log tells why)" +
        (bExisted ? L"; the record now holds the new values" : L"; the record is removed again"));
    return kNegative;
}

int RunDump(const Invocation& in)
{
    Agent agent(in.options);
    if (!in.options.bDismiss)
        Out(L"the agent shows two message boxes (\"Vault service\"); close them to let it go on");
    agent.Send(MSG_NAME_RARI_DUMP_FILES);
    // The agent always shows its boxes for this command: none means it did
    // not take the command.
    if (agent.Boxes().empty())
        Fail(kNoAnswer, L"the agent did not take the command (it showed no message box)");
    for (const AgentBox& box : agent.Boxes()) {
        if (box.text == L"Message Sent failed") {
            Out(L"dump: the driver refused the request");
            return kNegative;
        }
    }
    Out(L"dump: request sent to the driver");
    return kDone;
}

int RunShare(const Invocation& in)
{
    const Command& command = CommandNamed(L"share");
    const std::wstring source = FullPath(command, in.args[0]);
    const std::wstring destination = FullPath(command, in.args[1]);
    bool before[2];
    for (int i = 0; i < 2; i++)
        before[i] = Exists(source + L"\\" + kConfigFiles[i]);
    Agent agent(in.options);
    {
        Section section(SECTION_VAULT_SHARE, sizeof(VAULT_SHARE_SECTION));
        Put(section.As<VAULT_SHARE_SECTION>()->wszSource, source);
        // The agent appends "\name" to the destination as it stands.
        Put(section.As<VAULT_SHARE_SECTION>()->wszDestination,
            destination.back() == L'\\' ? destination.substr(0, destination.size() - 1) : destination);
        agent.Send(MSG_NAME_VAULT_SHARE);
    }
    int moved = 0;
    for (int i = 0; i < 2; i++) {
        const std::wstring name = kConfigFiles[i];
        const bool bMoved = before[i] && !Exists(source + L"\\" + name) && Exists(destination + L"\\" + name);
        moved += bMoved;
        Out(name + (!before[i]              ? L": not in " + source
                    : bMoved                ? L": moved to " + destination
                    : IsFolder(destination) ? L": not moved"
                                            : L": not moved (there is no folder " + destination + L")"));
    }
    return moved ? kDone : kNegative;
}

// Commands whose window procedure returns 1 once handled.
void SendExpectingOne(Agent& agent, const wchar_t* message)
{
    if (agent.Send(message) != 1)
        Fail(kNoAnswer, std::wstring(L"the agent did not take the command (it does not serve ") + message + L")");
}

int RunCheckShared(const Invocation& in)
{
    const Command& command = CommandNamed(L"check-shared");
    const std::wstring first = FullPath(command, in.args[0]);
    const std::wstring second = FullPath(command, in.args[1]);
    const std::string narrowFirst = Narrow(command, first);
    const std::string narrowSecond = Narrow(command, second);
    Agent agent(in.options);
    Section section(SECTION_SHARE_CHECK, sizeof(TWO_FILES_SECTION));
    Put(section.As<TWO_FILES_SECTION>()->szFirst, narrowFirst);
    Put(section.As<TWO_FILES_SECTION>()->szSecond, narrowSecond);
    SendExpectingOne(agent, MSG_NAME_CHECK_SHARED_STATUS);
    if (section.As<TWO_FILES_SECTION>()->bResult == 1) {
        Out(L"shared: both files exist");
        return kDone;
    }
    std::wstring missing;
    for (const std::wstring& file : {first, second})
        if (!Exists(file))
            missing += (missing.empty() ? L"" : L", ") + file;
    Out(L"not shared: " + (missing.empty() ? first + L" or " + second + L" is missing" : L"missing " + missing));
    return kNegative;
}

int RunUnshare(const Invocation& in)
{
    const Command& command = CommandNamed(L"unshare");
    const std::wstring file = FullPath(command, in.args[0]);
    const std::string narrowFile = Narrow(command, file);
    Agent agent(in.options);
    Section section(SECTION_UNSHARE, sizeof(UNSHARE_SECTION));
    Put(section.As<UNSHARE_SECTION>()->szPath, narrowFile);
    SendExpectingOne(agent, MSG_NAME_UNSHARE_VAULT);
    if (section.As<UNSHARE_SECTION>()->bResult == 1) {
        Out(L"deleted: " + file);
        return kDone;
    }
    Out(L"not deleted: " + file + (Exists(file) ? L" (the agent could not delete it)" : L" (no such file)"));
    return kNegative;
}

int RunBackup(const Invocation& in)
{
    const Command& command = CommandNamed(L"backup");
    const std::wstring vault = FullPath(command, in.args[0]);
    const std::wstring target = FullPath(command, in.args[1]);
    const std::string first = Narrow(command, vault);
    const std::string second = Narrow(command, target);
    const DWORD dwValue = Number(command, in.args[2], L"FLAGS");
    Agent agent(in.options);
    Section section(SECTION_BACKUP, sizeof(BACKUP_SECTION));
    auto* backup = section.As<BACKUP_SECTION>();
    Put(backup->szFirst, first);
    Put(backup->szSecond, second);
    backup->dwValue = dwValue;
    backup->dwFailed = 0;
    agent.Send(MSG_NAME_VAULT_BACKUP);
    if (backup->dwFailed == 1) {
        // The agent keeps the library's error to itself.
        Out(L"not backed up: the vault-manager library refused to back up " + vault + L" into " + target);
        return kNegative;
    }
    Out(L"backed up " + vault + L" into " + target);
    return kDone;
}

int RunRestore(const Invocation& in)
{
    const Command& command = CommandNamed(L"restore");
    const std::wstring backup = FullPath(command, in.args[0], sizeof(RESTORE_SECTION::szPath));
    const std::string path = Narrow(command, backup, sizeof(RESTORE_SECTION::szPath));
    const bool bNew = in.Has(L"--new");
    // The library puts a new vault beside the backup; the agent reports
    // nothing, so the folder that appears there is the only outcome to see.
    const std::wstring parent = backup.substr(0, backup.find_last_of(L'\\'));
    const std::vector<std::wstring> before = bNew ? Subfolders(parent) : std::vector<std::wstring>{};
    Agent agent(in.options);
    Section section(SECTION_RESTORE, sizeof(RESTORE_SECTION));
    Event answered(EVENT_RESTORE);
    Put(section.As<RESTORE_SECTION>()->szPath, path);
    section.As<RESTORE_SECTION>()->dwTarget = bNew ? 1 : 0;
    agent.Send(MSG_NAME_RESTOREVAULT, &answered);
    if (!bNew) {
        Out(L"restore of " + backup + L" into the vault it was made from has run (the agent does not report "
                                      L"whether the library restored anything)");
        return kDone;
    }
    bool bAdded = false;
    for (const std::wstring& name : Subfolders(parent)) {
        if (!std::binary_search(before.begin(), before.end(), name)) {
            Out(L"restored into a new vault folder: " + parent + L"\\" + name);
            bAdded = true;
        }
    }
    if (!bAdded)
        Out(L"not restored: no new vault folder appeared beside " + backup +
            L" (not a backup, or the library refused it; the agent does not say why)");
    return bAdded ? kDone : kNegative;
}

int RunMoveConfig(const Invocation& in)
{
    const std::wstring folder = FullPath(CommandNamed(L"move-config"), in.args[0]);
    Agent agent(in.options);
    Section section(SECTION_CONNECT, sizeof(CONNECT_SECTION));
    Put(section.As<CONNECT_SECTION>()->wszFolder, folder);
    if (agent.Send(MSG_NAME_VAULT_CONNECT) == 1) {
        Out(L"copied Vault3.cfg and KeyArchive.xml from " + folder + L" to " +
            section.As<CONNECT_SECTION>()->wszAppData);
        return kDone;
    }
    // The agent copies Vault3.cfg first and stops at the first failure.
    const bool bConfig = Exists(folder + L"\\Vault3.cfg"), bKeys = Exists(folder + L"\\KeyArchive.xml");
    if (!bConfig)
        Out(L"not copied: " + folder + L" has no Vault3.cfg" + (bKeys ? L"" : L" and no KeyArchive.xml"));
    else if (!bKeys)
        Out(L"not copied: " + folder + L" has no KeyArchive.xml (Vault3.cfg was copied all the same)");
    else
        Out(L"not copied: the agent could not copy Vault3.cfg and KeyArchive.xml from " + folder);
    return kNegative;
}

int RunRemoveFiles(const Invocation& in)
{
    const Command& command = CommandNamed(L"remove-files");
    std::wstring files[2];
    std::string narrow[2];
    bool before[2] = {};
    for (size_t i = 0; i < in.args.size(); i++) {
        if (in.args[i].empty())
            continue;   // an empty first file lets the second stand alone
        files[i] = FullPath(command, in.args[i]);
        narrow[i] = Narrow(command, files[i]);
        before[i] = Exists(files[i]);
    }
    Agent agent(in.options);
    {
        Section section(SECTION_REMOVE_FILES, sizeof(TWO_FILES_SECTION));
        Put(section.As<TWO_FILES_SECTION>()->szFirst, narrow[0]);
        Put(section.As<TWO_FILES_SECTION>()->szSecond, narrow[1]);
        SendExpectingOne(agent, MSG_NAME_REM_REST_FILE);
    }
    int left = 0;
    for (int i = 0; i < 2; i++) {
        if (files[i].empty())
            continue;
        const bool bThere = Exists(files[i]);
        left += bThere;
        Out((bThere ? L"still there: " : before[i] ? L"deleted: " : L"was not there: ") + files[i]);
    }
    return left ? kNegative : kDone;
}

int RunExplore(const Invocation& in)
{
    Agent agent(in.options);
    agent.Send(MSG_NAME_LAUNCH_EXPLORE_VAULT);
    const std::wstring folder = agent.ProgramFolder();
    const std::wstring explorer = folder + L"\\" + VAULT_EXPLORER_PROGRAM;
    if (!folder.empty() && !Exists(explorer)) {
        Out(L"asked the agent to start the vault explorer, but " + explorer + L" does not exist");
        return kNegative;
    }
    Out(L"asked the agent to start the vault explorer" + (folder.empty() ? L"" : L" (" + explorer + L")"));
    return kDone;
}

int RunQuit(const Invocation& in)
{
    Agent agent(in.options);
    if (!agent.QuitAndWait())
        Fail(kNoAnswer, Format(L"the agent (pid %lu) did not end within ", agent.Pid()) +
                            Seconds(in.options.dwTimeoutMs));
    Out(Format(L"the agent (pid %lu) ended", agent.Pid()));
    return kDone;
}

const std::vector<Command>& Commands()
{
    static const std::vector<Command> commands = {
        {L"create", L"create X: --path FOLDER [OPTIONS]",
         L"record vault X:, make its keys, log in",
         L"Options: [--label L] [--container NAME] [--map-name P] [--settings N] [--key-file BLOB] [--force]\n"
         L"Writes the vault record HKCU\\Software\\Revedi Zadoder Avir.\\Vuzaziz\\Vaults\\X (Path, Label,\n"
         L"Container, MapName, Settings), creates FOLDER, and has the agent make the vault's keys,\n"
         L"map its drive, tell the driver and log it in.\n"
         L"  --path FOLDER      the vault folder (at most 259 characters as a full path)\n"
         L"  --label L          display label (default: the folder's name)\n"
         L"  --container NAME   key container of the vault's exchange key pair (default Vuzaziz-X)\n"
         L"  --map-name P       network path of a network vault (default empty)\n"
         L"  --settings N       vault flags; 0x2 marks a network vault (default 0, or 0x2 with --map-name)\n"
         L"  --key-file BLOB    use this existing wrapped vault key (1 to 260 bytes, also written as\n"
         L"                     the record's Key) instead of generating a new one\n"
         L"  --force            replace an existing record for X\n"
         L"Exit 0 created, 1 the agent could not make the keys (the record is taken back unless it\n"
         L"existed before), 2 also when a record for X exists and --force is not given.",
         1, 1, {L"--force"}, {L"--path", L"--label", L"--container", L"--map-name", L"--settings", L"--key-file"},
         RunCreate},
        {L"login", L"login PATH", L"log in to the vault that holds PATH",
         L"PATH is the vault folder or any path inside it. The agent loads the vault's keys and\n"
         L"tells the driver. Exit 0 logged in, 1 not (no such vault, or its keys or drive are not\n"
         L"available; the agent then shows a message box).",
         1, 1, {}, {}, RunLogin},
        {L"status", L"status PATH", L"is the vault that holds PATH logged in?",
         L"PATH is the vault folder or any path inside it. Exit 0 logged in, 1 not logged in\n"
         L"(or no vault holds PATH).",
         1, 1, {}, {}, RunStatus},
        {L"logout", L"logout PATH", L"log out of the vault that holds PATH",
         L"The agent drops the vault's keys and tells the driver. The agent gives no answer of\n"
         L"its own: a status query follows. Exit 0 when the vault is not logged in afterwards.",
         1, 1, {}, {}, RunLogout},
        {L"disconnect", L"disconnect PATH", L"drop the vault from agent and driver",
         L"PATH is the vault folder. The vault's record and drive stay; the agent and the driver\n"
         L"forget the vault until the agent starts again. A status query follows. Exit 0 when the\n"
         L"vault is not logged in afterwards.",
         1, 1, {}, {}, RunDisconnect},
        {L"dump", L"dump", L"ask the driver to dump its open files",
         L"The agent shows two message boxes, caption \"Vault service\", one after the other, and\n"
         L"waits for each to be closed; --dismiss prints and closes them. Exit 0 sent, 1 the\n"
         L"driver refused it.",
         0, 0, {}, {}, RunDump},
        {L"share", L"share SRC DST", L"move a vault's configuration files",
         L"Existing files in DST are replaced. Exit 0 when at least one file moved, 1 when none.",
         2, 2, {}, {}, RunShare},
        {L"check-shared", L"check-shared FILE1 FILE2", L"tell whether both files exist",
         L"Exit 0 both exist (the vault is shared), 1 not.", 2, 2, {}, {}, RunCheckShared},
        {L"unshare", L"unshare FILE", L"delete FILE", L"Exit 0 deleted, 1 missing or not deletable.", 1, 1, {},
         {}, RunUnshare},
        {L"backup", L"backup VAULT BACKUP FLAGS", L"back up a vault (vault manager library)",
         L"The library copies the vault folder VAULT into the folder BACKUP, which must be empty or\n"
         L"hold a backup; FLAGS 1 replaces a backup there. Exit 0 done, 1 the library refused (the\n"
         L"agent does not pass on why).",
         3, 3, {}, {}, RunBackup},
        {L"restore", L"restore PATH [--new]", L"restore into this vault or a new one",
         L"  --new   restore into a new vault folder beside PATH\n"
         L"PATH, a backup folder, has at most 255 characters. The agent does not report the outcome:\n"
         L"exit 0 once it has run the restore; with --new, 1 when no new folder appeared beside PATH.",
         1, 1, {L"--new"}, {}, RunRestore},
        {L"move-config", L"move-config FOLDER",
         L"copy a vault's configuration to app data",
         L"Prints the application-data folder. Exit 0 both copied, 1 not.", 1, 1, {}, {}, RunMoveConfig},
        {L"remove-files", L"remove-files [FILE1] [FILE2]", L"delete up to two files",
         L"An empty FILE1 (\"\") skips it. Exit 0 when none of the files exists afterwards.", 0, 2, {}, {},
         RunRemoveFiles},
        {L"explore", L"explore", L"start the vault explorer beside the agent",
         L"Exit 0 asked, 1 the explorer program is not beside the agent.", 0, 0, {}, {}, RunExplore},
        {L"quit", L"quit", L"end the agent",
         L"Posts WM_QUIT to the agent and waits for it to end (--timeout). Exit 0 ended, 4 not\n"
         L"in time.",
         0, 0, {}, {}, RunQuit},
    };
    return commands;
}

const Command* FindCommand(const std::wstring& name)
{
    for (const Command& command : Commands())
        if (name == command.name)
            return &command;
    return nullptr;
}

const Command& CommandNamed(const wchar_t* name) { return *FindCommand(name); }

void PrintHelp(const Command* command)
{
    if (command) {
        Out(std::wstring(L"usage: vaultctl ") + command->synopsis + L"\n\n" + command->summary + L".\n" +
            command->details + L"\n(vaultctl --help lists the options and exit codes of every command)");
        return;
    }
    std::wstring text = kGeneralHelp;
    for (const Command& c : Commands())
        text += Format(L"  %-34ls %ls\n", c.synopsis, c.summary);
    text += kGeneralOptions;
    text.pop_back();
    Out(text);
}

int Run(int argc, wchar_t** argv)
{
    Invocation in;
    const Command* command = nullptr;
    bool bHelp = false;
    bool bOptions = true;
    for (int i = 1; i < argc; i++) {
        std::wstring arg = argv[i];
        if (!bOptions || arg.size() < 2 || arg[0] != L'-') {
            if (!command && !bHelp && arg == L"help") {
                bHelp = true;
            } else if (!command) {
                if (!(command = FindCommand(arg)))
                    UsageError(nullptr, L"unknown command \"" + arg + L"\"");
            } else {
                in.args.push_back(arg);
            }
            continue;
        }
        if (arg == L"--") {
            bOptions = false;
            continue;
        }
        std::wstring value;
        bool bHasValue = false;
        if (size_t eq = arg.find(L'='); eq != std::wstring::npos) {
            value = arg.substr(eq + 1);
            arg.resize(eq);
            bHasValue = true;
        }
        auto needValue = [&] {
            if (!bHasValue) {
                if (i + 1 >= argc)
                    UsageError(command, arg + L" needs a value");
                value = argv[++i];
            }
        };
        if (arg == L"--help" || arg == L"-h") {
            bHelp = true;
        } else if (arg == L"--dismiss") {
            in.options.bDismiss = true;
        } else if (arg == L"--timeout") {
            needValue();
            wchar_t* end = nullptr;
            const double seconds = wcstod(value.c_str(), &end);
            if (value.empty() || *end || !(seconds > 0 && seconds <= 86400))
                UsageError(command, L"--timeout takes a number of seconds from 0.001 to 86400, not \"" + value + L"\"");
            in.options.dwTimeoutMs = std::max<DWORD>(1, static_cast<DWORD>(seconds * 1000));
        } else if (command && std::find_if(command->valued.begin(), command->valued.end(), [&](const wchar_t* o) {
                                  return arg == o;
                              }) != command->valued.end()) {
            needValue();
            in.opts[arg] = value;
        } else if (command && !bHasValue && std::find_if(command->flags.begin(), command->flags.end(), [&](const wchar_t* o) {
                                                return arg == o;
                                            }) != command->flags.end()) {
            in.opts[arg] = L"";
        } else {
            UsageError(command, L"unknown option " + arg + (command ? L" for " + std::wstring(command->name) : L""));
        }
    }
    if (bHelp) {
        // "help CMD" names the command as its argument.
        if (!command && !in.args.empty())
            UsageError(nullptr, L"unknown command \"" + in.args[0] + L"\"");
        PrintHelp(command);
        return kDone;
    }
    if (!command)
        UsageError(nullptr, L"no command given");
    if (in.args.size() < command->minArgs)
        UsageError(command, L"too few arguments");
    if (in.args.size() > command->maxArgs)
        UsageError(command, L"too many arguments");
    return command->run(in);
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    try {
        return Run(argc, argv);
    } catch (const Failure& failure) {
        Err(L"vaultctl: " + failure.message);
        return failure.code;
    }
}
