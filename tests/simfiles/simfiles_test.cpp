// File operations on a vault through the simulator, the port and a real
// agent: content, listings, renames, deletions and failures, what lies in
// the vault folder afterwards, and the vaultfilter commands of a person.
#include <winsock2.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <functional>
#include <set>
#include <thread>

#include "AgentHarness.h"
#include "CompanionSession.h"
#include "DriverSim.h"
#include "FileCommands.h"
#include "HealthCheck.h"
#include "StoredFiles.h"
#include "MountServer.h"
#include "MountWire.h"
#include "ServingAgent.h"
#include "VaultFiles.h"

using namespace harness;
using driversim::FileError;
using driversim::FileResult;
using driversim::VaultEntry;
using driversim::VaultFiles;

namespace {

const DWORD kStartMs = 20000;
const std::wstring kRoot = L"C:\\VuzSimFiles";
const std::wstring kVault = kRoot + L"\\Vault";
const std::wstring kDrive = L"V:";

::testing::AssertionResult Ok(const FileResult& r)
{
    if (r)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << driversim::FileErrorName(r.error) << ": " << r.text;
}

std::vector<uint8_t> FileBytes(const std::wstring& path)
{
    const std::string text = ReadFileText(path);
    return {text.begin(), text.end()};
}

// Every file under a folder, with its path relative to it.
void Walk(const std::wstring& folder, const std::function<void(const std::wstring& path, const std::wstring& relative)>& visit)
{
    std::error_code ec;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(folder, ec))
        if (entry.is_regular_file())
            visit(entry.path().wstring(), entry.path().lexically_relative(folder).wstring());
}

long RunTool(const std::wstring& arguments, std::string* pOutput)
{
    return RunProgram(ExeDir() + L"\\vaultfilter.exe", arguments, pOutput);
}

// One agent and one logged-in vault, mapped to V:, for the whole suite;
// each test works in a folder of its own.
class SimFiles : public ::testing::Test {
protected:
    static inline driversim::DriverSim* sim = nullptr;
    static inline AgentProcess* agent = nullptr;
    static inline VaultFiles* files = nullptr;
    static inline bool ready = false;
    static inline VaultRecordValues record;

    static void SetUpTestSuite()
    {
        SetLevels(2, 2);
        DeleteVaultRecords();
        DefineDosDeviceW(DDD_REMOVE_DEFINITION, kDrive.c_str(), nullptr);   // a letter an earlier agent left
        RemoveTree(kRoot);
        CreateDirectoryW(kRoot.c_str(), nullptr);
        CreateDirectoryW(kVault.c_str(), nullptr);
        sim = new driversim::DriverSim();
        agent = new AgentProcess();
        files = new VaultFiles(*sim);
        record = {L"V", kVault, L"Vault V", L"VuzSimFiles-V", L"", 0};
        ASSERT_TRUE(sim->Load()) << "the port could not be hosted";
        StartServing(*sim, *agent);
        WriteVaultRecord(record);
        ready = !HasFatalFailure() && CreateVault(record, true) == 1;
    }
    static void TearDownTestSuite()
    {
        StopAgent(*agent);
        delete files;
        delete agent;
        delete sim;
        DeleteVaultRecords();
        DefineDosDeviceW(DDD_REMOVE_DEFINITION, kDrive.c_str(), nullptr);
    }
    void SetUp() override { ASSERT_TRUE(ready) << "no agent with a logged-in vault"; }

    // A folder of the test's own, on the vault's drive letter.
    static std::wstring Folder(const std::wstring& name)
    {
        const std::wstring folder = kDrive + L"\\" + name;
        EXPECT_TRUE(Ok(files->CreateFolder(folder)));
        return folder;
    }
    static void Put(const std::wstring& path, const std::vector<uint8_t>& content)
    {
        std::unique_ptr<VaultFiles::File> file;
        ASSERT_TRUE(Ok(files->Create(path, &file))) << Narrow(path);
        ASSERT_TRUE(Ok(file->Write(0, content.data(), content.size()))) << Narrow(path);
        ASSERT_TRUE(Ok(file->Close()));
    }
    static std::vector<VaultEntry> Listing(const std::wstring& folder)
    {
        std::vector<VaultEntry> entries;
        EXPECT_TRUE(Ok(files->List(folder, &entries))) << Narrow(folder);
        return entries;
    }
    static std::wstring StemOf(const std::wstring& path)
    {
        VaultEntry e;
        EXPECT_TRUE(Ok(files->Stat(path, &e))) << Narrow(path);
        return e.stem;
    }

    // The most requests outstanding on the port at once while work runs.
    static size_t MostOutstanding(const std::function<void()>& work)
    {
        std::atomic<bool> working{true};
        size_t most = 0;
        std::thread watch([&] {
            while (working) {
                most = std::max(most, sim->Outstanding());
                Sleep(1);
            }
        });
        work();
        working = false;
        watch.join();
        return most;
    }

    // The one check of a file's content: opened afresh by name, its size,
    // its bytes read whole and from an unaligned offset, and its data file
    // holding cipher blocks, not the content.
    static void ExpectContent(const std::wstring& path, const std::vector<uint8_t>& expected, VaultFiles* via = files)
    {
        SCOPED_TRACE(Narrow(path) + ", " + std::to_string(expected.size()) + " bytes");
        std::unique_ptr<VaultFiles::File> file;
        ASSERT_TRUE(Ok(via->Open(path, &file)));
        ASSERT_EQ(expected.size(), file->Size());
        ASSERT_EQ(8u, file->CipherBlockSize());
        std::vector<uint8_t> all(expected.size() + 9, 0xEE);
        size_t got = 0;
        ASSERT_TRUE(Ok(file->Read(0, all.data(), all.size(), &got)));
        ASSERT_EQ(expected.size(), got);
        all.resize(got);
        EXPECT_TRUE(all == expected) << "whole content differs";
        if (expected.size() > 5) {
            std::vector<uint8_t> part(expected.size() - 5);
            ASSERT_TRUE(Ok(file->Read(3, part.data(), part.size() - 1, &got)));
            EXPECT_EQ(part.size() - 1, got);
            EXPECT_TRUE(std::equal(part.begin(), part.end() - 1, expected.begin() + 3)) << "read at offset 3";
        }
        EXPECT_TRUE(Ok(file->Read(expected.size(), all.data(), 4, &got)));
        EXPECT_EQ(0u, got) << "a read at the end";
        const std::vector<uint8_t> stored = FileBytes(file->DataPath());
        EXPECT_EQ((expected.size() + 7) / 8 * 8, stored.size()) << "data file length";
        if (expected.size() >= 8)
            EXPECT_FALSE(std::equal(expected.begin(), expected.begin() + 8, stored.begin())) << "plain on disk";
    }
};

// ---------------------------------------------------------------------------

TEST_F(SimFiles, ContentReadsBackByteForByteWhateverItsSizeAndWhoeverWrites)
{
    const std::wstring folder = Folder(L"Sizes");
    const size_t sizes[] = {0, 1, 7, 8, 16383, 16384, 16385, 3 * 1048576 + 5};
    for (size_t size : sizes) {
        const std::wstring path = folder + L"\\file" + std::to_wstring(size) + L".bin";
        const std::vector<uint8_t> content = Pattern(size, (unsigned)size);
        const size_t most = MostOutstanding([&] { Put(path, content); });
        if (size > 1048576)
            EXPECT_TRUE(most > 1 && most <= VaultFiles::kInFlight) << most << " requests outstanding at most";
        ExpectContent(path, content);
    }
    // Threads that write at once share the port's bound of five requests in flight.
    const size_t kThreads = 4, kSize = 1048576 + 3;
    const size_t most = MostOutstanding([&] {
        std::vector<std::thread> writers;
        for (size_t t = 0; t < kThreads; t++)
            writers.emplace_back([&, t] { Put(folder + L"\\t" + std::to_wstring(t), Pattern(kSize, (unsigned)t)); });
        for (std::thread& w : writers)
            w.join();
    });
    EXPECT_TRUE(most > 1 && most <= VaultFiles::kInFlight) << most << " requests outstanding at most";
    for (size_t t = 0; t < kThreads; t++)
        ExpectContent(folder + L"\\t" + std::to_wstring(t), Pattern(kSize, (unsigned)t));
    // ECB under the file key: equal plain blocks, equal cipher blocks.
    std::vector<uint8_t> twice = Pattern(8, 1);
    twice.insert(twice.end(), twice.begin(), twice.end());
    Put(folder + L"\\twice", twice);
    std::unique_ptr<VaultFiles::File> file;
    ASSERT_TRUE(Ok(files->Open(folder + L"\\twice", &file)));
    const std::vector<uint8_t> stored = FileBytes(file->DataPath());
    ASSERT_EQ(16u, stored.size());
    EXPECT_TRUE(std::equal(stored.begin(), stored.begin() + 8, stored.begin() + 8));
}

TEST_F(SimFiles, WritesAtUnalignedOffsetsKeepTheBytesAround)
{
    const std::wstring folder = Folder(L"Offsets");
    struct Case { size_t initial, offset, length; const char* what; } cases[] = {
        {0, 5, 3, "a gap in an empty file"},
        {10, 3, 2, "inside one block"},
        {20, 6, 9, "across a block boundary"},
        {100, 97, 10, "from inside the last block beyond the end"},
        {16390, 16381, 7, "across the first request's boundary"},
        {13, 40000, 5, "a gap of more than two requests"},
        {40000, 1, 39990, "nearly everything, ending inside a block"},
        {24, 8, 8, "one whole block"},
        {30, 30, 0, "nothing at the end"},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::wstring path = folder + L"\\case" + std::to_wstring(n++);
        std::vector<uint8_t> model = Pattern(c.initial, n);
        Put(path, model);
        const std::vector<uint8_t> patch = Pattern(c.length, 100 + n);
        model.resize(std::max(model.size(), c.offset + c.length), 0);
        std::copy(patch.begin(), patch.end(), model.begin() + c.offset);
        std::unique_ptr<VaultFiles::File> file;
        ASSERT_TRUE(Ok(files->Open(path, &file)));
        ASSERT_TRUE(Ok(file->Write(c.offset, patch.data(), patch.size())));
        ASSERT_TRUE(Ok(file->Close()));
        ExpectContent(path, model);
    }

    // Shrinking forgets the bytes beyond the end: growing again shows zeros.
    const std::wstring path = folder + L"\\resized";
    std::vector<uint8_t> model = Pattern(50, 7);
    Put(path, model);
    std::unique_ptr<VaultFiles::File> file;
    ASSERT_TRUE(Ok(files->Open(path, &file)));
    ASSERT_TRUE(Ok(file->Resize(11)));
    ASSERT_TRUE(Ok(file->Resize(40)));
    ASSERT_TRUE(Ok(file->Close()));
    model.resize(11);
    model.resize(40, 0);
    ExpectContent(path, model);
}

TEST_F(SimFiles, ListingsShowLogicalNamesSizesAndFolders)
{
    const std::wstring folder = Folder(L"List");
    // A stem whose meta text the agent cannot read (there before the driver
    // first reads the folder): its entry alone comes back empty.
    WriteFileText(kVault + L"\\List\\00GARBAGE", "not xml");
    const std::vector<std::wstring> names = {
        L"a", L"B.txt", L"c d e.doc", L"dots.in.the.name.tar.gz", L"R\u00e9sum\u00e9 2024.txt",
        L"UPPER.TXT", L"\u65e5\u672c\u8a9e.txt", L"zeta", L"file09", L"file10", L"file11", L"file12", L"last"};
    for (size_t i = 0; i < names.size(); i++)
        Put(folder + L"\\" + names[i], Pattern(i * 1000 + 3, (unsigned)i));
    Folder(L"List\\Sub1");
    Folder(L"List\\sub2");

    for (const std::wstring& where : {folder, kVault + L"\\List"}) {
        SCOPED_TRACE(Narrow(where));
        const std::vector<VaultEntry> entries = Listing(where);
        ASSERT_EQ(names.size() + 3, entries.size());
        EXPECT_TRUE(entries[0].folder && entries[0].name == L"Sub1");
        EXPECT_TRUE(entries[1].folder && entries[1].name == L"sub2");
        EXPECT_TRUE(!entries[2].folder && entries[2].name.empty() && entries[2].stem == L"00GARBAGE");
        std::vector<std::wstring> listed;
        for (size_t i = 3; i < entries.size(); i++) {
            listed.push_back(entries[i].name);
            const size_t index = std::find(names.begin(), names.end(), entries[i].name) - names.begin();
            ASSERT_LT(index, names.size()) << Narrow(entries[i].name);
            EXPECT_EQ(index * 1000 + 3, entries[i].size) << Narrow(entries[i].name);
            EXPECT_EQ(std::wstring::npos, entries[i].stem.find(L'.'));
        }
        std::vector<std::wstring> sorted = names;
        std::sort(sorted.begin(), sorted.end(), [](const std::wstring& a, const std::wstring& b) {
            return CompareStringOrdinal(a.c_str(), -1, b.c_str(), -1, TRUE) == CSTR_LESS_THAN;
        });
        EXPECT_EQ(sorted, listed);
    }
    DeleteFileW((kVault + L"\\List\\00GARBAGE").c_str());
}

TEST_F(SimFiles, RenamesAndMovesCarryContentAndRefuseClashes)
{
    const std::wstring f = Folder(L"Ren");
    Folder(L"Ren\\Sub");
    const std::vector<uint8_t> content = Pattern(20000, 3);
    Put(f + L"\\old.txt", content);
    Put(f + L"\\other.txt", Pattern(5, 4));
    struct Step { std::wstring from, to; FileError error; const char* what; } steps[] = {
        {f + L"\\old.txt", f + L"\\new.txt", FileError::None, "in place"},
        {f + L"\\new.txt", f + L"\\Sub", FileError::None, "into a folder, same name"},
        {f + L"\\Sub\\new.txt", kVault + L"\\Ren\\Back.txt", FileError::None, "out, renamed, by folder path"},
        {f + L"\\Back.txt", f + L"\\BACK.TXT", FileError::None, "its own name in other letters"},
        {f + L"\\BACK.TXT", f + L"\\OTHER.txt", FileError::AlreadyExists, "onto another file"},
        {f + L"\\missing", f + L"\\x", FileError::NotFound, "a name the folder lacks"},
        {f + L"\\BACK.TXT", f + L"\\NoFolder\\x", FileError::NotFound, "into a folder that does not exist"},
        {f + L"\\Sub", f + L"\\Sub2", FileError::None, "a folder, in plain"},
        {kDrive + L"\\", f + L"\\x", FileError::BadPath, "the vault itself"},
    };
    for (const Step& s : steps) {
        FileResult r = files->Rename(s.from, s.to);
        EXPECT_EQ(s.error, r.error) << s.what << ": " << r.text;
    }
    const std::vector<VaultEntry> top = Listing(f), sub = Listing(f + L"\\Sub2");
    ASSERT_EQ(3u, top.size());
    EXPECT_EQ(L"Sub2", top[0].name);
    EXPECT_EQ(L"BACK.TXT", top[1].name);
    EXPECT_EQ(content.size(), top[1].size);
    EXPECT_EQ(L"other.txt", top[2].name);
    EXPECT_TRUE(sub.empty());
    ExpectContent(f + L"\\back.txt", content);
    EXPECT_TRUE(FileBytes(kVault + L"\\Ren\\Sub2\\" + top[1].stem).empty()) << "the pair left Sub with the file";
}

// A replacing rename stopped half-way (another program holds one of the
// stored files open, so the step that needs it fails) and then finished by
// the next driver that serves the vault: the target name ends with the moved
// content, the source name is gone, and nothing of the driver's own is left.
// A failure before anything moved changes nothing at all.
TEST_F(SimFiles, RenamesStoppedHalfWayAreFinishedByTheNextDriver)
{
    const std::wstring f = Folder(L"Halt");
    Folder(L"Halt\\Into");
    enum Hold { kNewText, kSourceData, kTargetMeta, kSourceMeta, kReplacedMeta };
    struct Case { Hold hold; bool bOtherFolder; bool bFinished; const char* what; } cases[] = {
        {kNewText, false, false, "the new meta text cannot be written: undone"},
        {kSourceData, true, true, "the data file cannot move"},
        {kTargetMeta, false, true, "the new meta text cannot take its place"},
        {kSourceMeta, true, true, "the old meta file cannot go"},
        {kReplacedMeta, false, true, "the replaced file cannot go"},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::wstring src = f + L"\\src" + std::to_wstring(n), dst = (c.bOtherFolder ? f + L"\\Into" : f) +
                                                                            L"\\dst" + std::to_wstring(n++);
        const std::vector<uint8_t> moved = Pattern(3000 + n, n), replaced = Pattern(500 + n, 50 + n);
        Put(src, moved);
        Put(dst, replaced);
        const std::wstring from = kVault + L"\\Halt\\" + StemOf(src),
                           into = kVault + (c.bOtherFolder ? L"\\Halt\\Into\\" : L"\\Halt\\");
        HANDLE h = INVALID_HANDLE_VALUE;
        auto hold = [&](const std::wstring& path) {
            h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                            nullptr);
        };
        switch (c.hold) {
        case kNewText:      CreateDirectoryW((from + L".new").c_str(), nullptr); break;
        case kSourceData:   hold(from + L".tmp"); break;
        case kTargetMeta:   hold(from); break;
        case kSourceMeta:   hold(from); break;
        case kReplacedMeta: hold(into + StemOf(dst)); break;
        }
        EXPECT_FALSE(files->Rename(src, dst, VaultFiles::Existing::Replace)) << "refused while the file is held";
        if (h != INVALID_HANDLE_VALUE)
            CloseHandle(h);
        RemoveDirectoryW((from + L".new").c_str());

        VaultFiles next(*sim);   // as after a restart: the vault is served afresh
        VaultEntry e;
        EXPECT_EQ(c.bFinished ? FileError::NotFound : FileError::None, next.Stat(src, &e).error);
        ExpectContent(dst, c.bFinished ? moved : replaced, &next);
        std::vector<std::wstring> strays;   // a rename record anywhere, any other file of the driver's here
        Walk(kVault, [&](const std::wstring&, const std::wstring& relative) {
            const std::wstring name = relative.substr(relative.rfind(L'\\') + 1);
            const size_t dot = name.find(L'.');
            if (name.find(L".rename") != std::wstring::npos ||
                (relative.rfind(L"Halt\\", 0) == 0 && dot != std::wstring::npos && name.substr(dot) != L".tmp"))
                strays.push_back(relative);
        });
        EXPECT_TRUE(strays.empty()) << Narrow(strays.empty() ? L"" : strays[0]);
    }
}

// What the driver keeps between operations stays true: a file reopened
// while its key is kept, and after the key went back (a logout, which
// refuses everything until the login, drops everything), reads back the
// same; a rename, a delete and a size change show at once to the next
// lookup and listing.
TEST_F(SimFiles, WhatTheDriverKeepsStaysTrue)
{
    const std::wstring f = Folder(L"Kept");
    const std::vector<uint8_t> content = Pattern(5000, 77);
    Put(f + L"\\x", content);
    ExpectContent(f + L"\\x", content);   // the key kept at the last close
    for (int i = 0; i < 20; i++)
        Put(f + L"\\other" + std::to_wstring(i), Pattern(9, i));
    ExpectContent(f + L"\\x", content);
    LogoutVault(record.path);             // every kept key goes back, and nothing is served
    ASSERT_TRUE(WaitUntil([] { return LoggedIn(record.path) == 0; }, kStartMs));
    std::unique_ptr<VaultFiles::File> file;
    std::vector<VaultEntry> entries;
    EXPECT_EQ(FileError::NotLoggedIn, files->Open(f + L"\\x", &file).error);
    EXPECT_EQ(FileError::NotLoggedIn, files->List(f, &entries).error);
    EXPECT_EQ(FileError::NotLoggedIn, files->Rename(f + L"\\x", f + L"\\z").error);
    ASSERT_EQ(1, LoginVault(record.path));
    ExpectContent(f + L"\\x", content);

    ASSERT_TRUE(Ok(files->Open(f + L"\\x", &file)));
    ASSERT_TRUE(Ok(file->Resize(3)));
    VaultEntry e;
    ASSERT_TRUE(Ok(files->Stat(f + L"\\x", &e)));
    EXPECT_EQ(3u, e.size) << "a size change shows before the file settles";
    ASSERT_TRUE(Ok(file->Close()));
    ASSERT_TRUE(Ok(files->Rename(f + L"\\x", f + L"\\y")));
    EXPECT_EQ(FileError::NotFound, files->Stat(f + L"\\x", &e).error);
    ASSERT_TRUE(Ok(files->Stat(f + L"\\Y", &e)));
    EXPECT_EQ(3u, e.size);
    ASSERT_TRUE(Ok(files->Delete(f + L"\\y")));
    EXPECT_EQ(FileError::NotFound, files->Stat(f + L"\\y", &e).error);
    const std::vector<VaultEntry> left = Listing(f);
    EXPECT_EQ(20u, left.size());
    EXPECT_TRUE(std::none_of(left.begin(), left.end(), [](const VaultEntry& v) { return v.name == L"y"; }));
    ExpectContent(f + L"\\other19", Pattern(9, 19));

    // A folder moved while it holds a file deleted but still open: the file
    // still reads through its handle after the new folder is first listed.
    Folder(L"Kept\\Moving");
    Put(f + L"\\Moving\\open.bin", content);
    ASSERT_TRUE(Ok(files->Open(f + L"\\Moving\\open.bin", &file)));
    ASSERT_TRUE(Ok(files->Delete(f + L"\\Moving\\open.bin")));
    ASSERT_TRUE(Ok(files->Rename(f + L"\\Moving", f + L"\\Moved")));
    EXPECT_TRUE(Listing(f + L"\\Moved").empty());
    std::vector<uint8_t> got(content.size());
    size_t cb = 0;
    EXPECT_TRUE(Ok(file->Read(0, got.data(), got.size(), &cb)));
    EXPECT_TRUE(got == content) << cb << " bytes read";

    // Every key the driver was given goes back to the agent: a deleted
    // file's with its last handle, one kept at a close when its driver ends
    // (not dropped with the closed file), and a replaced file's at once.
    const auto released = [] { return CountOf(ReadFileText(TraceFilePath()), "ReleaseFSK processed"); };
    size_t before = released();
    const auto oneReleased = [&](const char* what) {
        EXPECT_TRUE(WaitUntil([&] { return released() == before + 1; }, 5000)) << what << ": " << released() - before;
        before = released();
    };
    file.reset();
    oneReleased("the deleted file closed");
    {
        VaultFiles own(*sim);
        std::unique_ptr<VaultFiles::File> mine;
        ASSERT_TRUE(Ok(own.Create(f + L"\\own", &mine)));
        ASSERT_TRUE(Ok(mine->Close()));
    }
    oneReleased("the driver that kept it ended");
    Put(f + L"\\replaced", content);   // its key kept at the close, nothing released
    ASSERT_TRUE(Ok(files->Rename(f + L"\\other0", f + L"\\replaced", VaultFiles::Existing::Replace)));
    oneReleased("the file replaced");
}

TEST_F(SimFiles, DeletionsRemoveTheStoredFiles)
{
    const std::wstring f = Folder(L"Del");
    Folder(L"Del\\Deep");
    Folder(L"Del\\Deep\\Deeper");
    Folder(L"Del\\Emptied");
    for (const wchar_t* name : {L"\\a.txt", L"\\b.txt", L"\\Deep\\c.txt", L"\\Deep\\Deeper\\d.txt", L"\\Emptied\\e.txt"})
        Put(f + name, Pattern(100, 1));
    std::unique_ptr<VaultFiles::File> file;
    ASSERT_TRUE(Ok(files->Open(f + L"\\a.txt", &file)));
    const std::wstring meta = file->MetaPath(), data = file->DataPath();
    file.reset();

    struct Step { std::function<FileResult()> run; FileError error; const char* what; } steps[] = {
        {[&] { return files->Delete(f + L"\\A.TXT"); }, FileError::None, "a file"},
        {[&] { return files->Delete(f + L"\\a.txt"); }, FileError::NotFound, "the same file again"},
        {[&] { return files->Delete(f + L"\\Deep"); }, FileError::IsFolder, "a folder as a file"},
        {[&] { return files->Delete(f + L"\\Emptied\\e.txt"); }, FileError::None, "the only file of a folder"},
        {[&] { return files->RemoveFolder(f + L"\\Emptied"); }, FileError::None, "that folder right after"},
        {[&] { return files->DeleteFolder(f + L"\\Deep"); }, FileError::None, "a folder with a subfolder"},
        {[&] { return files->DeleteFolder(f + L"\\Deep"); }, FileError::NotFound, "the same folder again"},
        {[&] { return files->DeleteFolder(kDrive); }, FileError::BadPath, "the vault itself"},
    };
    for (const Step& s : steps) {
        FileResult r = s.run();
        EXPECT_EQ(s.error, r.error) << s.what << ": " << r.text;
    }
    EXPECT_NE(std::string::npos, files->DeleteFolder(f + L"\\b.txt").text.find(" is a file"));
    EXPECT_NE(std::string::npos, files->DeleteFolder(f + L"\\Deep").text.find(": no such folder"));
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(meta.c_str()));
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(data.c_str()));
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW((kVault + L"\\Del\\Deep").c_str()));
    const std::vector<VaultEntry> left = Listing(f);
    ASSERT_EQ(1u, left.size());
    EXPECT_EQ(L"b.txt", left[0].name);

    // What a crash leaves of a deletion (the meta file over the data file)
    // and of a creation (both files empty) goes when the next driver first
    // serves the folder; a data file that only lost its meta file stays for
    // the health check to set aside.
    const std::wstring folder = kVault + L"\\Del\\";
    Put(f + L"\\cut.txt", Pattern(100, 2));
    Put(f + L"\\orphan.txt", Pattern(100, 3));
    const std::wstring cut = folder + StemOf(f + L"\\cut.txt"), orphan = folder + StemOf(f + L"\\orphan.txt");
    MoveFileExW(cut.c_str(), (cut + L".tmp").c_str(), MOVEFILE_REPLACE_EXISTING);
    DeleteFileW(orphan.c_str());
    WriteFileText(folder + L"00000000000000C1", "");
    WriteFileText(folder + L"00000000000000C1.tmp", "");
    VaultFiles next(*sim);
    std::vector<VaultEntry> served;
    ASSERT_TRUE(Ok(next.List(f, &served)));
    EXPECT_EQ(1u, served.size());
    for (const std::wstring& gone : {cut + L".tmp", folder + L"00000000000000C1", folder + L"00000000000000C1.tmp"})
        EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(gone.c_str())) << Narrow(gone);
    EXPECT_TRUE(DeleteFileW((orphan + L".tmp").c_str())) << "the orphan stays";
}

TEST_F(SimFiles, FailuresComeBackAsErrors)
{
    const std::wstring f = Folder(L"Fail");
    Put(f + L"\\here.txt", Pattern(10, 1));
    CreateDirectoryW((kRoot + L"\\Outside").c_str(), nullptr);
    std::unique_ptr<VaultFiles::File> file;
    struct Case { std::function<FileResult()> run; FileError error; const char* what; const char* text = ""; } cases[] = {
        {[&] { return files->Open(f + L"\\nothere.txt", &file); }, FileError::NotFound, "open a missing name"},
        {[&] { return files->Create(f + L"\\HERE.txt", &file); }, FileError::AlreadyExists, "create an existing name",
         "HERE.txt\" exists"},
        {[&] { return files->Create(f, &file); }, FileError::AlreadyExists, "create a folder's name", " is a folder"},
        {[&] { return files->Create(kRoot + L"\\Outside\\x", &file); }, FileError::NotInVault, "outside the vault"},
        {[&] { return files->Create(L"relative\\x", &file); }, FileError::BadPath, "a relative path"},
        {[&] { return files->Create(f + L"\\" + std::wstring(183, L'n'), &file); }, FileError::AgentRefused,
         "a name too long to encode"},
        {[&] { return files->Create(f + L"\\Missing\\x", &file); }, FileError::NotFound, "in a missing folder"},
    };
    for (const Case& c : cases) {
        FileResult r = c.run();
        EXPECT_EQ(c.error, r.error) << c.what << ": " << r.text;
        EXPECT_FALSE(r.text.empty()) << c.what;
        EXPECT_NE(std::string::npos, r.text.find(c.text)) << c.what << ": " << r.text;
    }

    // A data file shorter than its size, found by a read, by a write with
    // edges (found before any request goes) and by one without (found while
    // its first requests are out): each fails, and leaves none outstanding.
    ASSERT_TRUE(Ok(files->Open(f + L"\\here.txt", &file)));
    WriteFileText(file->DataPath(), "8 bytes.");
    std::vector<uint8_t> buffer(3 * 16384);
    size_t got = 0;
    const std::function<FileResult()> shortCases[] = {
        [&] { return file->Read(0, buffer.data(), 10, &got); },
        [&] { return file->Write(9, buffer.data(), 3); },
        [&] { return file->Write(0, buffer.data(), buffer.size()); },
    };
    for (const auto& run : shortCases) {
        EXPECT_EQ(FileError::Corrupt, run().error);
        EXPECT_EQ(0u, sim->Outstanding());
    }
}

// A connection of the mount protocol, as vaultfs speaks it.
class MountPeer {
public:
    explicit MountPeer(unsigned short port)
    {
        sockaddr_in addr = {};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = htons(port);
        m_s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        BOOL bNoDelay = TRUE;   // each piece of a request sent in pieces goes out on its own
        setsockopt(m_s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&bNoDelay), sizeof(bNoDelay));
        if (connect(m_s, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0)
            Close();
    }
    // Blocks until the server ends the connection (true) or sends something.
    bool Ended()
    {
        char c;
        return recv(m_s, &c, 1, 0) <= 0;
    }
    ~MountPeer() { Close(); }
    void Close()
    {
        if (m_s != INVALID_SOCKET)
            closesocket(m_s);
        m_s = INVALID_SOCKET;
    }

    struct Out {
        MOUNT_REPLY reply = {};
        std::string data;
        int32_t status() const { return reply.status; }
    };
    struct In {
        uint32_t    op;
        std::string path, path2, data;
        uint64_t    handle = 0, offset = 0;
        uint32_t    flags = 0, length = 0;
    };
    // With a split, the request goes in three pieces: its header, `split`
    // bytes more, and the rest.
    Out Call(const In& in, size_t split = 0)
    {
        MOUNT_REQUEST r = {MOUNT_MAGIC, in.op, in.handle, in.offset, in.length, in.flags,
                           (uint32_t)in.path.size(), (uint32_t)in.path2.size(), (uint32_t)in.data.size(), 0};
        std::string bytes(reinterpret_cast<const char*>(&r), sizeof(r));
        bytes += in.path + in.path2 + in.data;
        Out out;
        out.reply.status = -1;
        for (size_t at = 0, end; at < bytes.size(); at = end) {
            end = split == 0 ? bytes.size() : at == 0 ? sizeof(r) : at == sizeof(r) ? at + split : bytes.size();
            if (at != 0)
                Sleep(100);
            if (send(m_s, bytes.data() + at, (int)(end - at), 0) != (int)(end - at))
                return out;
        }
        if (!Recv(&out.reply, sizeof(out.reply)))
            return out;
        out.data.resize(out.reply.dataBytes);
        if (!Recv(out.data.data(), out.data.size()))
            out.reply.status = -1;
        return out;
    }

private:
    // Piece by piece: the compatibility layer may end a MSG_WAITALL receive
    // of a large reply early.
    bool Recv(void* p, size_t cb)
    {
        for (char* c = static_cast<char*>(p); cb > 0;) {
            int n = recv(m_s, c, (int)cb, 0);
            if (n <= 0)
                return false;
            c += n;
            cb -= n;
        }
        return true;
    }
    SOCKET m_s = INVALID_SOCKET;
};

// The serving side of the mount protocol on the suite's vault: the hello,
// every operation's answer, one open file behind several handles (moved
// while open), and the files a session leaves open closed with it.
TEST_F(SimFiles, MountProtocolServesTheVaultToVaultfs)
{
    driversim::MountServer server(*files);
    ASSERT_TRUE(server.Start({}, 0, false));
    using P = MountPeer::In;
    // Before a hello nothing else is read, and a wrong secret is answered
    // once: either ends the connection.
    {
        MountPeer early(server.Port()), wrong(server.Port());
        EXPECT_EQ(-1, early.Call(P{MOUNT_STAT, "/"}).status()) << "before the hello";
        EXPECT_EQ(MOUNT_BAD_REQUEST, wrong.Call(P{MOUNT_HELLO, "V:", "", std::string(32, '0')}).status());
        EXPECT_EQ(-1, wrong.Call(P{MOUNT_HELLO, "V:", "", server.Secret(), 7}).status()) << "after a wrong secret";
    }
    EXPECT_FALSE(server.Start({}, 0, false)) << "started already";
    driversim::MountServer other(*files);
    EXPECT_FALSE(other.Start({}, server.Port(), false)) << "a port in use";
    // A published endpoint goes with the server that published it.
    const char* prefix = getenv("WINEPREFIX");
    ASSERT_NE(nullptr, prefix);
    const std::wstring endpoint = DosName(std::string(prefix) + "/vaultfs.endpoint");
    ASSERT_TRUE(other.Start());
    EXPECT_NE(std::string::npos, ReadFileText(endpoint).find(" " + std::to_string(other.Port()) + " "));
    other.Stop();
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(endpoint.c_str())) << "a stale endpoint";
    // At most 16 connections wait for their hellos: a 17th ends the oldest at
    // once, not at its hello time; a hello in pieces is whole at its last.
    {
        std::vector<std::unique_ptr<MountPeer>> idle;
        for (int i = 0; i < 17; i++)
            idle.push_back(std::make_unique<MountPeer>(server.Port()));
        const ULONGLONG start = GetTickCount64();
        EXPECT_TRUE(idle[0]->Ended());
        EXPECT_LT(GetTickCount64() - start, MOUNT_HELLO_MS - 1000) << "the oldest waited for its hello time";
    }
    MountPeer a(server.Port());
    ASSERT_EQ(MOUNT_OK, a.Call(P{MOUNT_HELLO, "V:", "", server.Secret(), 7}, 3).status());

    // Pipes are refused where there are none, and the connection goes on
    // over its socket (vaultfs's own pipes: the mount test).
    CreateDirectoryW((kRoot + L"\\NoPipes").c_str(), NULL);
    for (const wchar_t* name : {L"\\NoPipes\\req", L"\\NoPipes\\rep"})
        WriteFileText(kRoot + name, "plain");
    const std::string noPipes = std::string(prefix) + "/drive_c/" + Narrow(kRoot.substr(3)) + "/NoPipes";
    const std::string tooLong = "/Mnt/" + std::string(MOUNT_MAX_NAME + 1, 'n');
    const std::vector<uint8_t> pattern = Pattern(300000, 5);
    const std::string big(pattern.begin(), pattern.end());
    // A handle in a step is the number of the open that gave it (1 the first).
    // With a split, the request comes in pieces (MountPeer::Call).
    std::vector<uint64_t> opened;
    struct Step { P in; int32_t status; std::string data; uint64_t size; const char* what; size_t split = 0; } steps[] = {
        {{MOUNT_PIPES, "/no/such/folder"}, MOUNT_BAD_REQUEST, "", 0, "pipes in no folder"},
        {{MOUNT_PIPES, noPipes}, MOUNT_BAD_REQUEST, "", 0, "plain files for pipes"},
        {{MOUNT_MKDIR, "/Mnt"}, MOUNT_OK, "", 0, "a folder"},
        {{MOUNT_MKDIR, "/Mnt"}, MOUNT_EXISTS, "", 0, "the same folder"},
        {{MOUNT_OPEN, "/Mnt/a.txt"}, MOUNT_NOT_FOUND, "", 0, "open a missing file"},
        {{MOUNT_OPEN, "/Mnt/a.txt", "", "", 0, 0, MOUNT_OPEN_CREATE | MOUNT_OPEN_EXCLUSIVE}, MOUNT_OK, "", 0, "create"},
        {{MOUNT_OPEN, "/Mnt/A.TXT", "", "", 0, 0, MOUNT_OPEN_CREATE | MOUNT_OPEN_EXCLUSIVE}, MOUNT_EXISTS, "", 0,
         "create it again, other letters"},
        {{MOUNT_OPEN, "/Mnt/A.TXT"}, MOUNT_OK, "", 0, "a second handle"},
        {{MOUNT_WRITE, "", "", "hello world", 1}, MOUNT_OK, "", 11, "write through the first"},
        {{MOUNT_STAT, "/Mnt/a.txt"}, MOUNT_OK, "", 11, "the size of the open file"},
        {{MOUNT_READ, "", "", "", 2, 6, 0, 100}, MOUNT_OK, "world", 11, "read through the second"},
        {{MOUNT_RESIZE, "", "", "", 2, 5}, MOUNT_OK, "", 5, "shorten through the second"},
        {{MOUNT_RENAME, "/Mnt/a.txt", "/Mnt/b.txt"}, MOUNT_OK, "", 0, "rename while open"},
        {{MOUNT_WRITE, "", "", "!", 1, 5}, MOUNT_OK, "", 6, "write after the rename"},
        {{MOUNT_READ, "", "", "", 2, 0, 0, 100}, MOUNT_OK, "hello!", 6, "both handles follow"},
        {{MOUNT_WRITE, "", "", big, 1, 6}, MOUNT_OK, "", 6 + big.size(), "a write of many requests", 70000},
        {{MOUNT_READ, "", "", "", 2, 6, 0, (uint32_t)big.size()}, MOUNT_OK, big, 0, "read back"},
        {{MOUNT_WRITE, "", "", big, 99}, MOUNT_BAD_HANDLE, "", 0, "a write that fails before its bytes are needed"},
        {{MOUNT_RESIZE, "", "", "", 2, 6}, MOUNT_OK, "", 6, "the session goes on after it"},
        {{MOUNT_STAT, "/Mnt/a.txt"}, MOUNT_NOT_FOUND, "", 0, "the old name"},
        {{MOUNT_CLOSE, "", "", "", 1}, MOUNT_OK, "", 0, "close one"},
        {{MOUNT_CLOSE, "", "", "", 2}, MOUNT_OK, "", 0, "close the other"},
        {{MOUNT_CLOSE, "", "", "", 2}, MOUNT_BAD_HANDLE, "", 0, "close it again"},
        {{MOUNT_STAT, "/Mnt/b.txt"}, MOUNT_OK, "", 6, "closed, its size read from the meta file"},
        {{MOUNT_OPEN, "/Mnt/c.txt", "", "", 0, 0, MOUNT_OPEN_CREATE}, MOUNT_OK, "", 0, "another file"},
        {{MOUNT_CLOSE, "", "", "", 3}, MOUNT_OK, "", 0, "closed"},
        {{MOUNT_RENAME, "/Mnt/c.txt", "/Mnt/b.txt", "", 0, 0, MOUNT_RENAME_NOREPLACE}, MOUNT_EXISTS, "", 0,
         "rename onto a file, not replacing"},
        {{MOUNT_RENAME, "/Mnt/b.txt", "/Mnt/c.txt"}, MOUNT_OK, "", 0, "rename onto a file, replacing"},
        {{MOUNT_STAT, "/Mnt/c.txt"}, MOUNT_OK, "", 6, "the replacement"},
        {{MOUNT_STAT, "/Mnt/a:b"}, MOUNT_NOT_FOUND, "", 0, "a name no stored file can have"},
        {{MOUNT_OPEN, "/Mnt/a:b", "", "", 0, 0, MOUNT_OPEN_CREATE}, MOUNT_BAD_PATH, "", 0, "create it"},
        {{MOUNT_OPEN, tooLong, "", "", 0, 0, MOUNT_OPEN_CREATE}, MOUNT_NAME_TOO_LONG, "", 0, "a name too long"},
        {{MOUNT_RMDIR, "/Mnt"}, MOUNT_NOT_EMPTY, "", 0, "a folder with a file"},
        {{MOUNT_DELETE, "/Mnt"}, MOUNT_IS_FOLDER, "", 0, "a folder as a file"},
        {{MOUNT_RMDIR, "/Mnt/c.txt"}, MOUNT_NOT_FOLDER, "", 0, "a file as a folder"},
        {{MOUNT_MKDIR, "/Mnt/Empty"}, MOUNT_OK, "", 0, "a folder to remove"},
        {{MOUNT_RMDIR, "/Mnt/Empty"}, MOUNT_OK, "", 0, "removed"},
        {{MOUNT_READ, "", "", "", 99, 0, 0, 10}, MOUNT_BAD_HANDLE, "", 0, "a handle never given"},
        {{MOUNT_RESIZE, "/Mnt/missing", "", "", 0, 5}, MOUNT_NOT_FOUND, "", 0, "resize a missing file by name"},
        {{MOUNT_STAT, "/Mnt"}, MOUNT_OK, "", 0, "the session goes on after a failure"},
    };
    for (Step s : steps) {
        if (s.in.handle != 0 && s.in.handle <= opened.size())
            s.in.handle = opened[s.in.handle - 1];
        MountPeer::Out out = a.Call(s.in, s.split);
        EXPECT_EQ(s.status, out.status()) << s.what << ": " << out.data.substr(0, 200);
        if (s.status != MOUNT_OK)
            continue;
        if (s.in.op == MOUNT_OPEN)
            opened.push_back(out.reply.handle);
        if (s.in.op == MOUNT_MKDIR)   // the mount takes the new folder's attributes from here
            EXPECT_EQ((uint32_t)MOUNT_KIND_FOLDER, out.reply.kind) << s.what;
        if (!s.data.empty())
            EXPECT_EQ(s.data, out.data) << s.what;
        if (s.size != 0)
            EXPECT_EQ(s.size, out.reply.size) << s.what;
    }
    EXPECT_EQ(3u, std::set<uint64_t>(opened.begin(), opened.end()).size()) << "a handle per open";
    EXPECT_EQ(0u, server.OpenFiles());

    // Two connections of one session create one name at once: one wins.
    MountPeer b(server.Port()), c(server.Port());
    ASSERT_EQ(MOUNT_OK, b.Call(P{MOUNT_HELLO, "V:", "", server.Secret(), 9}).status());
    ASSERT_EQ(MOUNT_OK, c.Call(P{MOUNT_HELLO, Narrow(kVault), "", server.Secret(), 9}).status());
    // A handle belongs to its session.
    const MountPeer::Out mine = a.Call(P{MOUNT_OPEN, "/Mnt/c.txt"});
    ASSERT_EQ(MOUNT_OK, mine.status());
    EXPECT_EQ(MOUNT_BAD_HANDLE, b.Call(P{MOUNT_READ, "", "", "", mine.reply.handle, 0, 0, 10}).status());
    EXPECT_EQ(MOUNT_BAD_HANDLE, b.Call(P{MOUNT_CLOSE, "", "", "", mine.reply.handle}).status());
    // A time that cannot be set through a handle (its data file gone
    // meanwhile) is told as a failure, not taken as set.
    VaultEntry stored;
    ASSERT_TRUE(Ok(files->Stat(L"V:\\Mnt\\c.txt", &stored)));
    const std::wstring data = kVault + L"\\Mnt\\" + stored.stem + L".tmp";
    ASSERT_TRUE(MoveFileW(data.c_str(), (data + L"~").c_str()));
    EXPECT_EQ(MOUNT_DISK, a.Call(P{MOUNT_TOUCH, "", "", "", mine.reply.handle, 1600000000000000000ull}).status());
    ASSERT_TRUE(MoveFileW((data + L"~").c_str(), data.c_str()));
    EXPECT_EQ(MOUNT_OK, a.Call(P{MOUNT_TOUCH, "", "", "", mine.reply.handle, 1600000000000000000ull}).status());
    // A write that asks for it is recorded at once, the file still open, and
    // its time set after it; a time not of 8 bytes is refused before a byte
    // is written.
    const uint64_t when = 1500000000000000000ull;
    EXPECT_EQ(MOUNT_BAD_REQUEST, a.Call(P{MOUNT_WRITE, "", "1234", "-", mine.reply.handle, 7, MOUNT_WRITE_TOUCH}).status());
    const MountPeer::Out touched = a.Call(P{MOUNT_WRITE, "", std::string(reinterpret_cast<const char*>(&when), 8), "+",
                                            mine.reply.handle, 6, MOUNT_WRITE_RECORD | MOUNT_WRITE_TOUCH});
    EXPECT_EQ(MOUNT_OK, touched.status());
    EXPECT_EQ(when, touched.reply.mtimeNs);
    EXPECT_NE(std::string::npos, ReadFileText(kVault + L"\\Mnt\\" + stored.stem).find("<size>0,7</size>"));
    EXPECT_EQ(MOUNT_OK, a.Call(P{MOUNT_CLOSE, "", "", "", mine.reply.handle}).status());
    for (int i = 0; i < 3; i++) {
        const P create{MOUNT_OPEN, "/Mnt/race" + std::to_string(i), "", "", 0, 0,
                       MOUNT_OPEN_CREATE | MOUNT_OPEN_EXCLUSIVE};
        int32_t first = -1;
        std::thread other([&] { first = b.Call(create).status(); });
        const int32_t second = c.Call(create).status();
        other.join();
        EXPECT_TRUE((first == MOUNT_OK) != (second == MOUNT_OK)) << first << " and " << second;
    }
    const MountPeer::Out listing = b.Call(P{MOUNT_LIST, "/Mnt"});
    ASSERT_EQ(MOUNT_OK, listing.status());
    size_t entries = 0;
    for (size_t at = 0; at + sizeof(MOUNT_ENTRY) <= listing.data.size(); entries++) {
        MOUNT_ENTRY e;
        memcpy(&e, listing.data.data() + at, sizeof(e));
        at += sizeof(e) + e.nameBytes;
    }
    EXPECT_EQ(4u, entries) << "c.txt and three race files, not the removed folder";
    EXPECT_EQ(3u, server.OpenFiles());
    // The session's last connection gone, what it left open is closed.
    b.Close();
    c.Close();
    EXPECT_TRUE(WaitUntil([&] { return server.OpenFiles() == 0; }, 5000)) << server.OpenFiles() << " still open";
    EXPECT_EQ(MOUNT_OK, a.Call(P{MOUNT_STAT, "/Mnt/race0"}).status()) << "another session goes on";
    // A request that is not the protocol ends its connection, and only it.
    MountPeer d(server.Port());
    ASSERT_EQ(MOUNT_OK, d.Call(P{MOUNT_HELLO, "V:", "", server.Secret(), 11}).status());
    EXPECT_EQ(-1, d.Call(P{MOUNT_STAT, std::string(MOUNT_MAX_PATH + 1, '/')}).status()) << "a path too long";
    EXPECT_EQ(MOUNT_BAD_REQUEST, a.Call(P{77, "/"}).status()) << "an unknown operation";
    EXPECT_EQ(MOUNT_OK, a.Call(P{MOUNT_STAT, "/Mnt/race0"}).status());
    server.Stop();
}

TEST_F(SimFiles, CommandsOfAnotherProcessReachTheServingSimulator)
{
    driversim::FileCommandServer server(*files);
    ASSERT_TRUE(server.Start());
    Folder(L"Cmd");
    const std::wstring local = kRoot + L"\\local.bin", back = kRoot + L"\\back.bin";
    const std::vector<uint8_t> content = Pattern(70001, 9);
    WriteFileText(local, std::string(content.begin(), content.end()));
    DeleteFileW(back.c_str());
    // The host's own path of the local file, as a person on it would type it.
    const std::string hostPath = UnixName(local);
    const std::wstring hostLocal(hostPath.begin(), hostPath.end());

    struct Step { std::wstring args; long code; std::string output; } steps[] = {
        {L"put \"" + hostLocal + L"\" V:/Cmd/data.bin", 0, "put 70001 bytes into V:/Cmd/data.bin\n"},
        {L"put \"" + local + L"\" V:\\Cmd\\again.bin", 0, "put 70001 bytes"},
        {L"mkdir V:\\Cmd\\Folder", 0, ""},
        {L"mv V:\\Cmd\\again.bin V:\\Cmd\\Folder", 0, ""},
        {L"ls V:\\Cmd", 0, "       <DIR>  Folder\n       70001  data.bin\n"},
        {L"ls --stems " + kVault + L"\\Cmd\\Folder", 0, "       70001  again.bin  ["},
        {L"get V:\\Cmd\\data.bin \"" + back + L"\"", 0, "got 70001 bytes"},
        {L"rm V:\\Cmd\\data.bin", 0, ""},
        {L"rm V:\\Cmd\\data.bin", 1, "vaultfilter: rm: not found: "},
        {L"rmdir V:\\Cmd\\Folder", 0, ""},
        {L"ls V:\\Cmd", 0, ""},
        {L"mv V:\\Cmd", 2, "vaultfilter: mv takes 2 paths"},
    };
    for (const Step& s : steps) {
        std::string output;
        EXPECT_EQ(s.code, RunTool(s.args, &output)) << Narrow(s.args) << "\n" << output;
        if (s.output.empty())
            EXPECT_EQ("", output) << Narrow(s.args);
        else
            EXPECT_EQ(0u, output.find(s.output)) << Narrow(s.args) << "\n" << output;
    }
    EXPECT_TRUE(FileBytes(back) == content);

    Put(L"V:\\Cmd\\short.txt", std::vector<uint8_t>{'h', 'i', '\n'});
    std::string output;
    EXPECT_EQ(0, RunTool(L"cat V:\\Cmd\\short.txt", &output));
    EXPECT_EQ("hi\n", output);
    server.Stop();
    EXPECT_EQ(3, RunTool(L"ls V:\\Cmd", &output)) << output;
}

// What keeps a meta text from parsing, told by the driver before it asks the
// agent anything.
TEST(MetaText, ShapeFaultsAreToldAndTheKeyTextIsTakenWhole)
{
    const std::string whole = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<File>\n<Version>4.0</Version>\n<Type/>\n"
                              "<FILENAME>QUJD</FILENAME>\n<Filekey>S0VZ\r\nS0VZ</Filekey>\n<size>0,-1294967296</size>\n"
                              "<Checksum/>\n</File>";
    auto with = [&](const std::string& from, const std::string& to) {
        std::string t = whole;
        return t.replace(t.find(from), from.size(), to);
    };
    struct Case { std::string text; const char* fault; } cases[] = {
        {whole, ""},
        {whole + "\r\n", ""},
        {"", "empty"},
        {whole.substr(0, whole.size() - 1), "cut short"},
        {whole.substr(0, whole.find("<size>")), "cut short"},
        {with("FILENAME>QUJD</FILENAME", "filename>QUJD</filename"), "no name"},
        {with("QUJD", ""), "no name"},
        {with("<Filekey>", "<FileKey>"), "no key text"},
        {with("0,-1294967296", "1234"), "no size"},
        {with("0,-1294967296", "12,"), "no size"},
        {with("0,-1294967296", "-,12"), "no size"},
        {with("0,-1294967296", "1 2,3"), "no size"},
        {with("<FILENAME>QUJD</FILENAME>\n", "") + "<FILENAME>QUJD</FILENAME></File>", "no key text"},
    };
    for (const Case& c : cases) {
        std::string key;
        const std::string fault = driversim::MetaTextFault(c.text, &key);
        EXPECT_EQ(std::string(c.fault).empty(), fault.empty()) << c.text << "\n" << fault;
        EXPECT_NE(std::string::npos, fault.find(c.fault)) << c.text << "\n" << fault;
        if (fault.empty())
            EXPECT_EQ("S0VZS0VZ", key);
    }
}

// The value of one field of a JSON line that a check printed.
std::string Field(const std::string& line, const std::string& key)
{
    const std::string tag = "\"" + key + "\":";
    size_t at = line.find(tag);
    if (at == std::string::npos)
        return "";
    at += tag.size();
    if (line[at] != '"')
        return line.substr(at, line.find_first_of(",}", at) - at);
    std::string value;
    for (at++; at < line.size() && line[at] != '"'; at++)
        value += line[at] == '\\' ? line[++at] : line[at];
    return value;
}

// A check through the command pipe: its exit code, "kind stored" of each
// item (with " repaired" when it was), and its summary line.
struct CheckRun {
    long code = -1;
    std::multiset<std::string> items;
    std::string summary;
};
CheckRun RunCheck(const std::wstring& arguments)
{
    CheckRun run;
    std::string output;
    run.code = RunTool(L"check --json " + arguments, &output);
    for (size_t at = 0, end; (end = output.find('\n', at)) != std::string::npos; at = end + 1) {
        const std::string line = output.substr(at, end - at);
        if (Field(line, "summary") == "true")
            run.summary = line;
        else
            run.items.insert(Field(line, "kind") + " " + Field(line, "stored") +
                             (Field(line, "repaired") == "true" ? " repaired" : ""));
    }
    return run;
}

// A vault of its own (a check walks the whole vault), damaged in each way a
// stored file can be by writing the stored files directly: the check must
// name each damage once, its repair must put right only the driver's own
// interrupted work and the files that are no stored file, moving rather
// than deleting, and leave everything sound readable.
TEST_F(SimFiles, HealthCheckFindsEachDamageOnceAndRepairsOnlyWhatItMay)
{
    const std::wstring hv = kRoot + L"\\Health";
    const VaultRecordValues health = {L"H", hv, L"Vault H", L"VuzSimFiles-H", L"", 0};
    RemoveTree(hv);
    CreateDirectoryW(hv.c_str(), nullptr);
    WriteVaultRecord(health);
    ASSERT_EQ(1, CreateVault(health, true));
    driversim::FileCommandServer server(*files);
    ASSERT_TRUE(server.Start());
    ASSERT_TRUE(Ok(files->CreateFolder(L"H:\\Docs")));
    ASSERT_TRUE(Ok(files->CreateFolder(L"H:\\Docs\\Sub")));
    // Puts a file and gives its stored path, relative to the vault.
    auto put = [&](const std::wstring& rel, size_t size) {
        Put(L"H:\\" + rel, Pattern(size, (unsigned)rel.size()));
        return rel.substr(0, rel.rfind(L'\\') + 1) + StemOf(L"H:\\" + rel);
    };
    auto text = [&](const std::wstring& stored) { return ReadFileText(hv + L"\\" + stored); };
    auto write = [&](const std::wstring& stored, const std::string& t) { WriteFileText(hv + L"\\" + stored, t); };
    // A meta text with one element's content replaced.
    auto swapped = [](std::string meta, const std::string& tag, const std::string& content) {
        const size_t at = meta.find("<" + tag + ">") + tag.size() + 2;
        return meta.replace(at, meta.find("</" + tag + ">") - at, content);
    };
    auto element = [](const std::string& meta, const std::string& tag) {
        const size_t at = meta.find("<" + tag + ">") + tag.size() + 2;
        return meta.substr(at, meta.find("</" + tag + ">") - at);
    };
    const std::vector<std::wstring> sound = {L"Docs\\keep.txt", L"Docs\\Sub\\keep2.bin", L"Docs\\owner.txt",
                                            L"Docs\\updated.txt", L"Docs\\twin.txt", L"Docs\\busy.txt"};
    for (const std::wstring& rel : sound)
        put(rel, rel.size() * 3 + 1);
    // A data file longer than its size needs is harmless, and the letters'
    // case of its name does not part it from its meta file.
    const std::wstring longer = hv + L"\\" + put(L"Docs\\long.txt", 20) + L".tmp";
    WriteFileText(longer, ReadFileText(longer) + std::string(16, 'Z'));
    std::wstring lower = longer;
    std::transform(lower.begin() + hv.size(), lower.end(), lower.begin() + hv.size(), towlower);
    MoveFileW(longer.c_str(), (lower + L"~").c_str());
    MoveFileW((lower + L"~").c_str(), lower.c_str());
    CheckRun clean = RunCheck(L"H:");
    EXPECT_EQ(0, clean.code) << clean.summary;
    EXPECT_TRUE(clean.items.empty());
    EXPECT_EQ("7", Field(clean.summary, "sound")) << clean.summary;
    std::string plain;
    EXPECT_EQ(0, RunTool(L"check H:", &plain));
    EXPECT_NE(std::string::npos, plain.find("Health: 7 files checked in 3 folders, 7 sound; 0 problems")) << plain;

    Put(L"V:\\HealthKey.txt", Pattern(9, 1));   // a file of another vault
    std::set<std::wstring> mayGo;   // stored files whose content the repair may let go (as the driver would)
    // A rename carried out by hand up to a step (3: its data file moved, 4:
    // the new meta text in place, 6: the replaced file half gone), as a
    // crash would leave it: its record.
    auto stopped = [&](const std::wstring& fromRel, const std::wstring& toRel, int steps) {
        const std::wstring s = put(fromRel, 50), toFolder = toRel.substr(0, toRel.rfind(L'\\'));
        driversim::VaultPath from, to;
        EXPECT_TRUE(Ok(files->Resolve(L"H:\\" + fromRel, &from)) && Ok(files->Resolve(L"H:\\" + toRel, &to)));
        driversim::RenamePlan plan;
        plan.fromFolder = fromRel.substr(0, fromRel.rfind(L'\\'));
        plan.fromStem = s.substr(s.rfind(L'\\') + 1);
        plan.toFolder = toFolder;
        plan.toStem = plan.toFolder == plan.fromFolder ? plan.fromStem : L"0000000000000001";
        VaultEntry replaced;
        if (files->Stat(L"H:\\" + toRel, &replaced))
            plan.replacedStem = replaced.stem;
        EXPECT_TRUE(Ok(files->Agent().MetaForName(from, to, text(s), &plan.meta)));
        std::wstring record;
        EXPECT_TRUE(Ok(driversim::WriteRenameRecord(hv, plan, &record)));
        const std::wstring target = hv + L"\\" + toFolder + L"\\" + plan.toStem;
        write(toFolder + L"\\" + plan.toStem + L".new", plan.meta);
        if (plan.toFolder != plan.fromFolder)
            MoveFileW((hv + L"\\" + s + L".tmp").c_str(), (target + L".tmp").c_str());
        if (steps >= 4)
            MoveFileExW((target + L".new").c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING);
        const std::wstring old = hv + L"\\" + toFolder + L"\\" + plan.replacedStem;
        if (steps >= 6)
            MoveFileW(old.c_str(), (old + L".del").c_str());
        return record.substr(hv.size() + 1);
    };
    std::unique_ptr<VaultFiles::File> busy;
    std::wstring recordName;
    struct Damage { const char* kind; bool repaired; std::function<std::wstring()> apply; } damages[] = {
        {"meta-damaged", false, [&] {
             const std::wstring s = put(L"Docs\\cut.txt", 40);
             write(s, text(s).substr(0, text(s).size() / 2));
             return s;
         }},
        {"key-shared", false, [&] {
             const std::wstring s = put(L"Docs\\victim.txt", 9), owner = L"Docs\\" + StemOf(L"H:\\Docs\\owner.txt");
             write(s, swapped(text(s), "Filekey", element(text(owner), "Filekey")));
             return s;
         }},
        {"key-foreign", false, [&] {
             const std::wstring s = put(L"Docs\\foreign.txt", 20);
             const std::string other = ReadFileText(kVault + L"\\" + StemOf(L"V:\\HealthKey.txt"));
             write(s, swapped(text(s), "Filekey", element(other, "Filekey")));
             return s;
         }},
        {"name-undecodable", false, [&] {
             const std::wstring s = put(L"Docs\\noname.txt", 20);
             write(s, swapped(text(s), "FILENAME", "QUJD"));
             return s;
         }},
        {"data-missing", false, [&] {
             const std::wstring s = put(L"Docs\\nodata.txt", 20);
             DeleteFileW((hv + L"\\" + s + L".tmp").c_str());
             return s;
         }},
        {"data-short", false, [&] {   // one byte into its last block, that block gone
             const std::wstring s = put(L"Docs\\short.txt", 97);
             write(s + L".tmp", text(s + L".tmp").substr(0, 96));
             return s;
         }},
        {"name-taken", false, [&] {
             const std::wstring s = put(L"Docs\\Sub\\twin.txt", 30), hidden = L"Docs\\FFFFFFFFFFFFFFFE";
             MoveFileW((hv + L"\\" + s).c_str(), (hv + L"\\" + hidden).c_str());
             MoveFileW((hv + L"\\" + s + L".tmp").c_str(), (hv + L"\\" + hidden + L".tmp").c_str());
             return hidden;
         }},
        {"data-orphaned", true, [&] {
             const std::wstring s = put(L"Docs\\nometa.txt", 20);
             DeleteFileW((hv + L"\\" + s).c_str());
             return s + L".tmp";
         }},
        {"stray", true, [&] {
             write(L"Docs\\Sub\\notes.txt", "left here by hand");
             return std::wstring(L"Docs\\Sub\\notes.txt");
         }},
        {"rename-unfinished", true, [&] { return stopped(L"Docs\\Sub\\moving.txt", L"Docs\\moved.txt", 3); }},
        {"rename-unfinished", true, [&] {
             put(L"Docs\\replaced.txt", 70);
             mayGo.insert(L"Docs\\" + StemOf(L"H:\\Docs\\replaced.txt") + L".tmp");
             return stopped(L"Docs\\renamed.txt", L"Docs\\replaced.txt", 6);
         }},
        {"rename-unbegun", true, [&] {
             write(L"00000000000000AB.rename.new", "vault rename 1\nfrom=");
             return std::wstring(L"00000000000000AB.rename.new");
         }},
        {"update-unfinished", true, [&] {
             const std::wstring s = L"Docs\\" + StemOf(L"H:\\Docs\\updated.txt");
             write(s + L".new", text(s));
             return s + L".new";
         }},
        {"create-unfinished", true, [&] {
             write(L"Docs\\00000000000000CD.new", text(L"Docs\\" + StemOf(L"H:\\Docs\\keep.txt")));
             write(L"Docs\\00000000000000CD.tmp", "");
             return std::wstring(L"Docs\\00000000000000CD.new");
         }},
        {"delete-unfinished", true, [&] {
             const std::wstring s = put(L"Docs\\gone.txt", 20);
             MoveFileW((hv + L"\\" + s).c_str(), (hv + L"\\" + s + L".del").c_str());
             return s + L".del";
         }},
        {"delete-unfinished", true, [&] {   // the meta file moved over the data file, not yet deleted
             const std::wstring s = put(L"Docs\\halfgone.txt", 20);
             MoveFileExW((hv + L"\\" + s).c_str(), (hv + L"\\" + s + L".tmp").c_str(), MOVEFILE_REPLACE_EXISTING);
             mayGo.insert(s + L".tmp");
             return s + L".tmp";
         }},
        {"open", false, [&] {
             EXPECT_TRUE(Ok(files->Open(L"H:\\Docs\\busy.txt", &busy)));
             return L"Docs\\" + StemOf(L"H:\\Docs\\busy.txt");
         }},
    };
    std::multiset<std::string> found, repaired, left;
    for (const Damage& d : damages) {
        const std::string item = std::string(d.kind) + " " + Narrow(d.apply());
        found.insert(item);
        repaired.insert(d.repaired ? item + " repaired" : item);
        if (!d.repaired)
            left.insert(item);
    }
    const CheckRun first = RunCheck(hv);
    EXPECT_EQ(1, first.code) << first.summary;
    EXPECT_EQ(found, first.items);

    // The repair moves files instead of deleting them: every data file and
    // stray is still in the vault afterwards, but the deleted file's.
    std::multiset<std::vector<uint8_t>> before, after;
    Walk(hv, [&](const std::wstring& path, const std::wstring& rel) {
        const size_t dot = rel.find(L'.');
        const std::wstring suffix = dot == std::wstring::npos ? L"" : rel.substr(dot);
        const bool bDeleted = GetFileAttributesW((path.substr(0, path.size() - suffix.size()) + L".del").c_str()) !=
                              INVALID_FILE_ATTRIBUTES;
        if (!suffix.empty() && suffix != L".new" && suffix != L".del" && suffix.find(L".rename") != 0 && !bDeleted &&
            !mayGo.count(rel))
            before.insert(FileBytes(path));
    });
    const CheckRun repair = RunCheck(L"--repair H:");
    EXPECT_EQ(1, repair.code) << repair.summary;
    EXPECT_EQ(repaired, repair.items);
    for (auto [field, value] : {std::pair{"problems", "16"}, {"repaired", "9"}, {"left", "7"}, {"sound", "8"}})
        EXPECT_EQ(value, Field(repair.summary, field)) << repair.summary;
    Walk(hv, [&](const std::wstring& path, const std::wstring&) { after.insert(FileBytes(path)); });
    for (const std::vector<uint8_t>& b : before)
        EXPECT_TRUE(after.count(b)) << "a file of " << b.size() << " bytes went";
    for (const std::wstring& rel : sound)
        ExpectContent(L"H:\\" + rel, Pattern(rel.size() * 3 + 1, (unsigned)rel.size()));
    ExpectContent(L"H:\\Docs\\moved.txt", Pattern(50, (unsigned)std::wstring(L"Docs\\Sub\\moving.txt").size()));
    ExpectContent(L"H:\\Docs\\replaced.txt", Pattern(50, (unsigned)std::wstring(L"Docs\\renamed.txt").size()));
    VaultEntry gone;
    EXPECT_EQ(FileError::NotFound, files->Stat(L"H:\\Docs\\renamed.txt", &gone).error);
    const std::string setAside = Field(repair.summary, "setAside");
    const std::wstring stray = std::wstring(setAside.begin(), setAside.end()) + L"\\Docs\\Sub\\notes.txt";
    EXPECT_EQ("left here by hand", ReadFileText(stray)) << "at the same place in " << setAside;

    // Afterwards only what needs the user, and where the rest went.
    CheckRun second = RunCheck(L"H:");
    EXPECT_EQ(1, second.code);
    const auto aside = second.items.lower_bound("set-aside vault check ");
    ASSERT_TRUE(aside != second.items.end() && aside->rfind("set-aside vault check ", 0) == 0) << "a note of it";
    second.items.erase(aside);
    EXPECT_EQ(left, second.items);
    // What the user does about two files of one name: the one that opens
    // is renamed, and the other opens under the name.
    ASSERT_TRUE(Ok(files->Rename(L"H:\\Docs\\twin.txt", L"H:\\Docs\\twin-a.txt")));
    ExpectContent(L"H:\\Docs\\twin.txt", Pattern(30, (unsigned)std::wstring(L"Docs\\Sub\\twin.txt").size()));

    // What it cannot check.
    busy.reset();
    LogoutVault(hv);
    ASSERT_TRUE(WaitUntil([&] { return LoggedIn(hv) == 0; }, kStartMs));
    for (const std::wstring& args : {std::wstring(L"H:"), std::wstring(L"H:\\Docs"), std::wstring(L""),
                                     std::wstring(L"--repair C:\\VuzSimFiles")})
        EXPECT_EQ(2, RunCheck(args).code) << Narrow(args);
    server.Stop();
    EXPECT_EQ(2, RunCheck(L"V:").code) << "no simulator";
    DefineDosDeviceW(DDD_REMOVE_DEFINITION, L"H:", nullptr);
}

}  // namespace
