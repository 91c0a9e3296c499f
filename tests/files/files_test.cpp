// The file store's requests, served in process by the agent's own dispatch
// on a vault with real keys in the prefix's providers, and stored files on
// the prefix's disk: new files, lookups, folder searches, meta updates,
// block commands, listings and folder deletion.
#include <windows.h>
#include <wincrypt.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "AgentHarness.h"
#include "CompanionSession.h"
#include "diag/Diag.h"
#include "filter/ScannerWorker.h"
#include "keys/Crypt.h"
#include "keys/VaultKeys.h"
#include "store/Base64.h"
#include "store/Store.h"
#include "vaults/VaultCache.h"
#include "vaults/VaultRecords.h"

using namespace harness;

namespace {

using Bytes = std::vector<BYTE>;

// A link the way the system shows a junction: a folder with a reparse
// point. Wine makes no junctions (nor removes one), but shows a Linux
// symbolic link to a folder as one, so a Linux program makes and removes it.
bool MakeFolderLink(const std::wstring& link, const std::wstring& target)
{
    return RunShell("ln -s '" + UnixName(target) + "' '" + UnixName(link) + "'", link + L".done") &&
           (GetFileAttributesW(link.c_str()) & FILE_ATTRIBUTE_REPARSE_POINT);
}
void RemoveFolderLink(const std::wstring& link)
{
    RunShell("rm -f '" + UnixName(link) + "'", link + L".done");
}

// Trace lines written while fn runs.
template <typename F> std::string TraceOf(F fn)
{
    SetLevels(-1, 2);
    OpenTraceFile();
    const size_t before = ReadFileText(TraceFilePath()).size();
    fn();
    std::string text = ReadFileText(TraceFilePath()).substr(before);
    SetLevels(-1, -1);
    OpenTraceFile();
    return text;
}

// One vault, logged in, with its keys in the cache, over a folder of its own.
class FilesTest : public ::testing::Test {
protected:
    static inline std::wstring folder_, subkey_, container_, volume_;
    static inline HCRYPTKEY hVaultKey_ = 0;

    static void SetUpTestSuite()
    {
        const std::wstring pid = std::to_wstring(GetCurrentProcessId());
        folder_ = L"C:\\VuzFiles" + pid;
        subkey_ = L"F" + pid;
        container_ = L"VuzFiles-" + pid;
        volume_ = DeviceOf(L"C:");
        CreateDirectoryW(folder_.c_str(), nullptr);
        WriteVaultRecord({subkey_, folder_, L"Files", container_, L"", 0});
        InitCrypt();
        VaultCacheEntry record{};
        ASSERT_TRUE(ReadVaultRecord(subkey_.c_str(), &record));
        DWORD cbKey = sizeof(record.abKey);
        ASSERT_EQ(KEY_RESULT_OK, CreateVaultKeys(subkey_.c_str(), container_.c_str(), &record.hUserProv,
                                                 &record.hIpcProv, &record.hUserXKey, &record.hIpcXKey,
                                                 &record.hVaultKey, record.abKey, &cbKey, TRUE));
        record.dwKeySize = cbKey;
        record.bLoggedIn = 1;
        hVaultKey_ = record.hVaultKey;
        AddVaultinCache(&record);
    }
    static void TearDownTestSuite()
    {
        RemoveVaultFromCache(folder_.c_str());
        RegDeleteKeyW(HKEY_CURRENT_USER, (std::wstring(VAULTS_KEY_PATH) + L"\\" + subkey_).c_str());
        std::error_code ignored;
        std::filesystem::remove_all(folder_, ignored);
    }

    // A request on a folder of the vault ("" is the vault folder itself).
    static Notification Request(ULONG command, const std::wstring& subfolder = L"", const std::wstring& name = L"")
    {
        Notification n = MakeNotification(command);
        wcscpy_s(n.Volume, volume_.c_str());
        std::wstring parent = folder_.substr(2) + L"\\" + (subfolder.empty() ? L"" : subfolder + L"\\");
        if (subfolder == L"\\")
            parent = L"\\";
        wcscpy_s(n.ParentDir, parent.c_str());
        wcscpy_s(n.FileName, name.c_str());
        return n;
    }
    static std::unique_ptr<struct ReplyMessage> Serve(Notification n)
    {
        auto reply = std::make_unique<struct ReplyMessage>();
        ZeroMemory(reply.get(), sizeof(*reply));
        DispatchRequest(&n, reply.get());
        return reply;
    }
    static std::wstring Path(const std::wstring& relative) { return folder_ + L"\\" + relative; }

    // A stored file as the driver makes one: the meta text under the stem,
    // an empty data file beside it, its folder made when missing. The reply
    // of the creation.
    struct Created {
        std::string metaText;
        ULONG fskHandle = 0;
        std::wstring keyText;
        bool ok = false;
    };
    static Created Create(const std::wstring& name, const std::wstring& stem = L"", const std::wstring& sub = L"")
    {
        auto reply = Serve(Request(CreateFileInVault, sub, name));
        Created c;
        c.ok = reply->Reply.Succeeded == 1;
        if (!c.ok)
            return c;
        const VAULT_FILE& vf = reply->Reply.VaultFile;
        c.metaText.assign(reinterpret_cast<const char*>(vf.Data), vf.DataLength);
        c.fskHandle = vf.FSKHandle;
        c.keyText = vf.FSKBlob;
        if (!stem.empty()) {
            const std::wstring dir = sub.empty() ? folder_ : Path(sub);
            std::filesystem::create_directories(dir);
            std::ofstream(Narrow(dir + L"\\" + stem), std::ios::binary) << c.metaText;
            std::ofstream(Narrow(dir + L"\\" + stem + L".tmp"), std::ios::binary);
        }
        return c;
    }
    static std::string Element(const std::string& text, const std::string& tag)
    {
        size_t b = text.find("<" + tag + ">"), e = text.find("</" + tag + ">");
        return b == std::string::npos || e == std::string::npos ? "<none>" : text.substr(b + tag.size() + 2, e - b - tag.size() - 2);
    }
};

// ---------------------------------------------------------------------------

TEST_F(FilesTest, ANewFileGetsItsKeyAndAMetaTextWithTheEncodedName)
{
    const Created first = Create(L"Report.txt");
    ASSERT_TRUE(first.ok);
    EXPECT_EQ(0u, first.metaText.rfind("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<File>\n<Version>4.0</Version>\n", 0));
    EXPECT_EQ("0,0", Element(first.metaText, "size"));
    EXPECT_EQ(std::string::npos, first.metaText.find("Report")) << "no logical name in the text";
    EXPECT_NE(0u, first.fskHandle);
    EXPECT_EQ(Narrow(first.keyText), Element(first.metaText, "Filekey"));

    const Created again = Create(L"Report.txt");
    EXPECT_EQ(Element(first.metaText, "FILENAME"), Element(again.metaText, "FILENAME")) << "names are deterministic";
    EXPECT_NE(first.keyText, again.keyText) << "each file has its own key";

    // Name lengths: the encoded name must fit 259 characters.
    struct { size_t bytes; bool fits; } names[] = {{182, true}, {183, false}, {7, true}, {15, true}};
    for (const auto& c : names) {
        const Created made = Create(std::wstring(c.bytes, L'n'));
        EXPECT_EQ(c.fits, made.ok) << c.bytes << " bytes";
        if (made.ok) {
            // A name whose UTF-8 form and terminator fill whole blocks gains a block of padding.
            const std::string encoded = Element(made.metaText, "FILENAME");
            Bytes raw(encoded.size());
            raw.resize(Base64Decode(encoded.c_str(), raw.data()));
            EXPECT_EQ((c.bytes + 1) / 8 * 8 + 8, raw.size()) << c.bytes << " bytes";
        }
    }
}

TEST_F(FilesTest, LookupsFindStoredFilesByTheirLogicalNames)
{
    Create(L"Az Report.txt", L"Doc1", L"search");   // both ends of the letters, folded
    std::ofstream(Narrow(Path(L"search\\Corrupt")), std::ios::binary) << "<FILENAME>garbage</FILENAME>";
    CreateDirectoryW(Path(L"search\\Subfolder").c_str(), nullptr);

    struct { std::wstring name; bool found; std::wstring dataFile; } cases[] = {
        {L"AZ REPORT.TXT", true, L"Doc1.tmp"}, {L"az report.txt", true, L"Doc1.tmp"}, {L"Missing.txt", false, L""}};
    for (const auto& c : cases) {
        Notification n = Request(PreDirBrowsing);
        wcscpy_s(n.VaultPath, Path(L"search").c_str());
        wcscpy_s(n.FileName, c.name.c_str());
        auto reply = Serve(n);
        EXPECT_EQ(c.found ? 1 : 0, reply->Reply.Succeeded) << Narrow(c.name);
        EXPECT_EQ(c.dataFile, std::wstring(reply->Reply.DataFile.FileName)) << Narrow(c.name);
    }

    // The data file named by the driver reads the meta file of its stem.
    auto reply = Serve(Request(GetLogicalFileDetails, L"search", L"Doc1.tmp"));
    ASSERT_EQ(1, reply->Reply.Succeeded);
    EXPECT_EQ(L"Az Report.txt", std::wstring(reply->Reply.LogicalFile.FileName));
    EXPECT_EQ(8u, reply->Reply.LogicalFile.CipherBlockSize);
    EXPECT_NE(0u, reply->Reply.LogicalFile.FSKHandle);

    // GetFileNameFromVault: a meta text that names another file, or whose
    // key text will not import, still succeeds (the latter with no key).
    const Created other = Create(L"Other.txt");
    std::string badKey = other.metaText;
    const size_t key = badKey.find("<Filekey>") + 9;
    badKey.replace(key, badKey.find("</Filekey>") - key, "AAAAAAAAAAAAAAAAAAAAAAAA");
    struct { const wchar_t* asked; std::string text; int found; bool keyed; } texts[] = {
        {L"Other.txt", other.metaText, 1, true}, {L"Report.txt", other.metaText, 0, true},
        {L"Other.txt", badKey, 1, false}};
    for (const auto& c : texts) {
        Notification n = Request(GetFileNameFromVault, L"", c.asked);
        std::copy(c.text.begin(), c.text.end(), n.Data);
        auto r = Serve(n);
        EXPECT_EQ(1, r->Reply.Succeeded);
        EXPECT_EQ(c.found, r->Reply.VaultFile.FileFound) << Narrow(c.asked);
        EXPECT_EQ(L"Other.txt", std::wstring(r->Reply.VaultFile.FileName));
        EXPECT_EQ(c.keyed, r->Reply.VaultFile.FSKHandle != 0) << Narrow(c.asked) << c.keyed;
    }
}

TEST_F(FilesTest, UpdatesRebuildTheMetaTextKeepingWhatDoesNotChange)
{
    const Created made = Create(L"Notes.txt");
    ASSERT_TRUE(made.ok);
    auto update = [&](ULONG command, auto fill) {
        Notification n = Request(command);
        std::copy(made.metaText.begin(), made.metaText.end(), n.Data);
        fill(n);
        auto reply = Serve(n);
        const REPLY_BUFFER& b = reply->Reply.Buffer;
        EXPECT_EQ(0, b.Data[b.Length]) << "the text is terminated, the length excludes it";
        return reply->Reply.Succeeded ? std::string(reinterpret_cast<const char*>(b.Data), b.Length) : std::string();
    };
    struct { LONGLONG size; const char* element; } sizes[] = {
        {4096, "0,4096"}, {3000000000LL, "0,-1294967296"}, {(1LL << 32) + 1, "1,1"}};
    for (const auto& c : sizes) {
        const std::string text = update(UpdateMetaFileSize2, [&](Notification& n) { n.FileSize.QuadPart = c.size; });
        EXPECT_EQ(c.element, Element(text, "size"));
        std::string expected = made.metaText;
        expected.replace(expected.find("<size>0,0"), 9, std::string("<size>") + c.element);
        EXPECT_EQ(expected, text) << "only the size changes";
    }
    auto rename = [&](const std::wstring& name) {
        return update(UpdateMetaFileName, [&](Notification& n) {
            wcscpy_s(n.NewVolume, volume_.c_str());
            wcscpy_s(n.NewParentDir, n.ParentDir);
            wcscpy_s(n.NewFileName, name.c_str());
        });
    };
    const std::string renamed = rename(L"Renamed.txt");
    EXPECT_EQ(Element(made.metaText, "Filekey"), Element(renamed, "Filekey"));
    EXPECT_EQ(Element(made.metaText, "size"), Element(renamed, "size"));
    EXPECT_EQ(Element(Create(L"Renamed.txt").metaText, "FILENAME"), Element(renamed, "FILENAME"));
    EXPECT_EQ("", rename(std::wstring(183, L'r'))) << "a name of 183 bytes cannot be encoded";
}

TEST_F(FilesTest, BlocksGoThroughKnownFileKeysOnly)
{
    const Created made = Create(L"Blocks.bin");
    ASSERT_TRUE(made.ok);
    auto block = [&](ULONG command, ULONG handle, const Bytes& data) {
        Notification n = Request(command);
        n.FSKHandle = handle;
        n.DataLength = static_cast<ULONG>(data.size());
        std::copy(data.begin(), data.end(), n.Data);
        auto reply = Serve(n);
        const REPLY_BUFFER& b = reply->Reply.Buffer;
        return std::make_pair(int(reply->Reply.Succeeded), Bytes(b.Data, b.Data + b.Length));
    };
    const Bytes plain = Pattern(16384, 1);
    auto [encrypted, cipher] = block(EncryptBlock, made.fskHandle, plain);
    ASSERT_EQ(1, encrypted);
    EXPECT_NE(plain, cipher);
    EXPECT_EQ(std::make_pair(1, plain), block(GetNormalBuffer, made.fskHandle, cipher));

    const Bytes odd(4100, 0x61);
    EXPECT_EQ(std::make_pair(0, odd), block(EncryptBlock, made.fskHandle, odd)) << "not whole blocks: untouched";
    EXPECT_EQ(std::make_pair(0, cipher), block(GetNormalBuffer, 0, cipher)) << "handle 0";
    EXPECT_EQ(0, block(EncryptBlock, made.fskHandle ^ 0x10000, plain).first) << "unknown value";

    auto release = [&](ULONG handle, ULONG lastIndex = 0) {
        Notification n = Request(ReleaseFSK);
        n.FSKHandle = handle;
        n.DirFileNames.LastIndex = lastIndex;   // read by no command but the batch
        return Serve(n)->Reply.Succeeded;
    };
    EXPECT_EQ(1, release(0));
    EXPECT_EQ(1, release(made.fskHandle, 4000));
    EXPECT_EQ(0, block(GetNormalBuffer, made.fskHandle, cipher).first) << "released despite a stale LastIndex";
    EXPECT_EQ(1, release(made.fskHandle)) << "a second release is only traced";
}

TEST_F(FilesTest, ListingsShowLogicalNamesAndSkipWhatCannotBeRead)
{
    const Created a = Create(L"Alpha.txt"), b = Create(L"Beta.txt");
    auto list = [&](const std::vector<std::string>& texts, const std::wstring& volume) {
        Notification n = Request(ParsedFileNew);
        wcscpy_s(n.Volume, volume.c_str());
        const std::wstring entry = volume + folder_.substr(2) + L"\\stem.tmp";
        wcscpy_s(n.DirFileNames.FileName[0], entry.c_str());
        n.DirFileNames.LastIndex = static_cast<ULONG>(texts.size() - 1);
        for (size_t i = 0; i < texts.size(); i++)
            std::copy(texts[i].begin(), texts[i].end(), n.Data + i * DIR_SLICE_SIZE);
        auto reply = Serve(n);
        std::vector<std::wstring> names;
        for (size_t i = 0; i < texts.size(); i++)
            names.push_back(reply->Reply.DirFileNames.FileName[i]);
        return std::make_pair(int(reply->Reply.Succeeded), names);
    };
    EXPECT_EQ(std::make_pair(1, std::vector<std::wstring>{L"Alpha.txt"}), list({a.metaText}, volume_));
    EXPECT_EQ(std::make_pair(1, std::vector<std::wstring>{L"Alpha.txt", L"", L"Beta.txt"}),
              list({a.metaText, "<FILENAME>bad</FILENAME>", b.metaText}, volume_));
    EXPECT_EQ(0, list({a.metaText}, L"\\Device\\NoSuchVolume").first) << "no DOS name: no vault found";
}

TEST_F(FilesTest, FolderDeletionRemovesWholeTrees)
{
    Create(L"One.txt", L"Doc1", L"tree");
    Create(L"Two.txt", L"Doc2", L"tree\\inner");
    SetFileAttributesW(Path(L"tree\\inner\\Doc2.tmp").c_str(), FILE_ATTRIBUTE_READONLY);
    CreateDirectoryW(Path(L"empty").c_str(), nullptr);
    struct { std::wstring folder; int succeeded; } cases[] = {{L"tree", 1}, {L"empty", 1}, {L"missing", 0}};
    for (const auto& c : cases) {
        EXPECT_EQ(c.succeeded, Serve(Request(DeleteFolder, L"", c.folder))->Reply.Succeeded) << Narrow(c.folder);
        EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(Path(c.folder).c_str())) << Narrow(c.folder);
    }

    // Refused: a volume without a DOS name, and a file that cannot go (held
    // open without sharing its deletion), the search of its folder closed.
    Create(L"Held.txt", L"Doc3", L"held");
    Notification n = Request(DeleteFolder, L"", L"held");
    wcscpy_s(n.Volume, L"\\Device\\NoSuchVolume");
    EXPECT_EQ(0, Serve(n)->Reply.Succeeded) << "no DOS name";
    HANDLE hHeld = CreateFileW(Path(L"held\\Doc3").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    auto nextHandle = [] { HANDLE h = CreateEventW(nullptr, TRUE, FALSE, nullptr); CloseHandle(h); return h; };
    const HANDLE hFree = nextHandle();
    EXPECT_EQ(0, Serve(Request(DeleteFolder, L"", L"held"))->Reply.Succeeded) << "a file held open";
    EXPECT_EQ(hFree, nextHandle()) << "a handle left open";
    CloseHandle(hHeld);
}

TEST_F(FilesTest, FolderDeletionRemovesLinksNotWhatTheyPointAtAndStaysInsideTheVault)
{
    // Outside the vault: a folder with a file, reached through a link inside it.
    const std::wstring outside = folder_ + L"-outside";
    CreateDirectoryW(outside.c_str(), nullptr);
    std::ofstream(Narrow(outside + L"\\keep.txt")) << "not the vault's";
    CreateDirectoryW(Path(L"linked").c_str(), nullptr);
    ASSERT_TRUE(MakeFolderLink(Path(L"linked\\junction"), outside));
    CreateDirectoryW((outside + L"\\inner").c_str(), nullptr);
    std::ofstream(Narrow(outside + L"\\inner\\keep.txt")) << "not the vault's either";
    // The folder holding the link, the link itself, and a folder past it.
    struct { std::wstring parent, name; } through[] = {
        {L"linked\\", L"junction\\inner"}, {L"linked\\junction\\", L"inner"}, {L"linked\\", L"junction"}, {L"", L"linked"}};
    for (const auto& t : through) {
        // Wine cannot remove the link itself, so the result is not asked.
        Serve(Request(DeleteFolder, t.parent, t.name));
        for (const wchar_t* kept : {L"\\keep.txt", L"\\inner\\keep.txt"})
            EXPECT_NE(INVALID_FILE_ATTRIBUTES, GetFileAttributesW((outside + kept).c_str())) << Narrow(t.parent + t.name);
    }
    RemoveFolderLink(Path(L"linked\\junction"));

    // Targets outside every vault folder are refused and left as they are.
    const std::wstring leaf = folder_.substr(3);
    struct { std::wstring parent, name, survivor; } refused[] = {
        {L"", L"..\\" + leaf + L"-outside", outside},
        {L"", L"", folder_},
        {L"", L"\\", folder_},
        {L"\\", leaf, folder_},
        {L"\\", leaf + L"-outside", outside},
    };
    for (const auto& r : refused) {
        EXPECT_EQ(0, Serve(Request(DeleteFolder, r.parent, r.name))->Reply.Succeeded)
            << Narrow(r.parent + L"|" + r.name);
        EXPECT_NE(INVALID_FILE_ATTRIBUTES, GetFileAttributesW((r.survivor).c_str())) << Narrow(r.name);
    }
    std::filesystem::remove_all(outside);
}

// Each request runs its own command and no other after it.
TEST_F(FilesTest, EachRequestRunsOnlyItsOwnCommand)
{
    const char* names[] = {"", "CreateFileInVault", "GetFileNameFromVault", "AuthenticateUser", "EncryptBlock",
                           "GetNormalBuffer", "ParsedFileNew", "PreDirBrowsing", "", "UpdateMetaFileName",
                           "DeleteFolder", "GetLogicalFileDetails", "NetworkEditMsg", "UpdateMetaFileSize2",
                           "GetLogicalFileDetailsExCmd", "ReleaseFSK", "GetOldDriveName", "DeviceUnpluggedNotice"};
    const std::string received = " command received";
    for (ULONG code = 1; code <= DeviceUnpluggedNotice; code++) {
        if (code == 8 || code == NetworkEditMsg)   // no command; a box for a person
            continue;
        const std::string trace = TraceOf([&] { Serve(Request(code, L"", L"absent")); });
        for (size_t at = trace.find(received); at != std::string::npos; at = trace.find(received, at + 1)) {
            const size_t name = trace.rfind("ScannerWorker() - ", at) + 18;
            EXPECT_EQ(names[code], trace.substr(name, at - name)) << "code " << code;
        }
    }
}

TEST_F(FilesTest, MetaFilesThatCannotBeOpenedWriteTheSearchLines)
{
    CreateDirectoryW(Path(L"sub").c_str(), nullptr);
    const std::string search = "GetRealFileName() - FindFirstFileExW Failed - Failed!";
    const std::string opened = "GetRealFileName() - File could not be opened - Failed!";
    const std::string end = "GetRealFileName() - End";
    struct { std::wstring stored; std::string line; bool endLine; } cases[] = {
        {L"NoSuchStem", search, false},
        {L"sub\\", search, false},                 // a folder named as a file: access denied
        {std::wstring(250, L's'), search, false},    // longer than a path can be
        {L"sub", opened, true},                     // the search finds it, the open fails
    };
    for (const auto& c : cases) {
        WCHAR name[MAX_PATH], keyText[1100];
        LARGE_INTEGER size;
        BOOL found = TRUE;
        const std::string trace = TraceOf([&] {
            found = GetRealFileName(hVaultKey_, folder_.c_str(), c.stored.c_str(), name, &size, keyText, 1100);
        });
        EXPECT_FALSE(found) << Narrow(c.stored);
        EXPECT_EQ(1u, CountOf(trace, c.line)) << Narrow(c.stored) << "\n" << trace;
        EXPECT_EQ(c.endLine ? 1u : 0u, CountOf(trace, end)) << Narrow(c.stored) << "\n" << trace;
    }
}

}  // namespace
