// Vault keys and the vault cache, in process, against the prefix's real
// providers, key containers, registry and named mutexes. A second process
// (this program started again with a role) holds a login mutex or loads
// vault keys the way a restarted agent would.
#include <windows.h>
#include <wincrypt.h>

#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "drives/DriveIcons.h"
#include "keys/Crypt.h"
#include "keys/FileKeyTable.h"
#include "keys/VaultKeys.h"
#include "support/AgentHarness.h"
#include "support/CompanionSession.h"
#include "vaults/VaultCache.h"
#include "vaults/VaultRecords.h"

namespace {

using Bytes = std::vector<BYTE>;

const wchar_t kCapiParent[] = L"Software\\Revedi Zadoder Avir.\\Common";

std::wstring Unique(const wchar_t* stem)
{
    return std::wstring(stem) + L"-" + std::to_wstring(GetCurrentProcessId());
}

void SetCapiKey(bool present)
{
    if (present) {
        HKEY hKey;
        ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_LOCAL_MACHINE, CAPI_KEY_PATH, 0, nullptr, 0,
                                                 KEY_ALL_ACCESS, nullptr, &hKey, nullptr));
        RegCloseKey(hKey);
    } else {
        RegDeleteKeyW(HKEY_LOCAL_MACHINE, CAPI_KEY_PATH);
        RegDeleteKeyW(HKEY_LOCAL_MACHINE, kCapiParent);
    }
}

void StartCrypt(bool capiKey)
{
    SetCapiKey(capiKey);
    ResetCryptState();
    InitCrypt();
}

void DeleteContainer(const std::wstring& name, const wchar_t* provider)
{
    HCRYPTPROV hProv = 0;
    CryptAcquireContextW(&hProv, name.c_str(), provider, PROV_RSA_FULL, CRYPT_DELETEKEYSET);
}

Bytes PublicKey(HCRYPTKEY hKey)
{
    Bytes blob(512);
    DWORD cb = static_cast<DWORD>(blob.size());
    if (!CryptExportKey(hKey, 0, PUBLICKEYBLOB, 0, blob.data(), &cb))
        return {};
    blob.resize(cb);
    return blob;
}

std::wstring ProviderName(HCRYPTPROV hProv)
{
    char name[256] = {};
    DWORD cb = sizeof(name);
    if (!CryptGetProvParam(hProv, PP_NAME, reinterpret_cast<BYTE*>(name), &cb, 0))
        return L"<none>";
    return std::wstring(name, name + strlen(name));
}

// A vault record in the registry, removed again at the end of the test.
struct RegistryVault {
    const std::wstring subkey, keyPath;
    RegistryVault(const std::wstring& name, const std::wstring& path, const std::wstring& container)
        : subkey(name), keyPath(std::wstring(VAULTS_KEY_PATH) + L"\\" + name)
    {
        harness::WriteVaultRecord({subkey, path, L"Test vault " + subkey, container, L"", 0});
    }
    ~RegistryVault() { RegDeleteKeyW(HKEY_CURRENT_USER, keyPath.c_str()); }
    Bytes KeyValue() const
    {
        Bytes value(512);
        DWORD cb = static_cast<DWORD>(value.size());
        if (RegGetValueW(HKEY_CURRENT_USER, keyPath.c_str(), L"Key", RRF_RT_REG_BINARY, nullptr, value.data(), &cb) !=
            ERROR_SUCCESS)
            return {};
        value.resize(cb);
        return value;
    }
};

VaultCacheEntry MakeRecord(const std::wstring& path, const std::wstring& container = L"",
                           bool loggedIn = true, const std::wstring& drive = L"Q:")
{
    VaultCacheEntry record{};
    wcscpy_s(record.wszPath, path.c_str());
    wcscpy_s(record.wszContainer, container.c_str());
    wcscpy_s(record.wszDrive, drive.c_str());
    record.bLoggedIn = loggedIn ? 1 : 0;
    return record;
}

std::vector<std::wstring> CachedPaths()
{
    std::vector<std::wstring> paths;
    WalkVaultCache([](VaultCacheEntry* p, void* ctx) {
        static_cast<std::vector<std::wstring>*>(ctx)->push_back(p->wszPath);
        return TRUE;
    }, &paths);
    return paths;
}

class KeysTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ResetVaultCache();
        StartCrypt(true);
    }
    void TearDown() override
    {
        ResetVaultCache();
        SetCapiKey(true);
    }
};

// ---------------------------------------------------------------------------
// The crypto layer.

TEST_F(KeysTest, EveryKeyFunctionRefusesBeforeInitCrypt)
{
    ResetCryptState();
    HCRYPTPROV hProv = 0;
    HCRYPTKEY hKey = 0;
    BYTE block[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    DWORD cb = 8;
    struct { const char* name; DWORD result; } cases[] = {
        {"GetUserXKey", GetUserXKey(L"any", &hProv, &hKey)},
        {"GetIPCXKey", GetIPCXKey(&hProv, &hKey)},
        {"EncryptBuffer", EncryptBuffer(1, block, 8)},
        {"DecryptBuffer", DecryptBuffer(1, block, &cb)},
        {"GetVaultSymmetricKey", GetVaultSymmetricKey(1, 1, 1, 1, block, 8, &hKey)},
        {"GenUserXKey", GenUserXKey(L"any", &hProv, &hKey)},
    };
    for (const auto& c : cases)
        EXPECT_EQ(KEY_RESULT_NOT_INITIALISED, c.result) << c.name;
    EXPECT_EQ(0u, hProv + hKey);
    EXPECT_EQ(1, block[0]);
}

TEST_F(KeysTest, VaultContainersFollowTheCapiKeyAndTheIpcContainerNever)
{
    const std::wstring container = Unique(L"VuzTestChoice");
    for (bool capiKey : {true, false}) {
        StartCrypt(capiKey);
        const wchar_t* expected = capiKey ? SOFTWARE_PROVIDER_NAME : TCG_PROVIDER_NAME;
        HCRYPTPROV hUser = 0, hIpc = 0;
        HCRYPTKEY hUserX = 0, hIpcX = 0;
        ASSERT_EQ(KEY_RESULT_OK, GenUserXKey(container.c_str(), &hUser, &hUserX)) << capiKey;
        EXPECT_EQ(expected, ProviderName(hUser)) << "CAPI key " << capiKey;
        ASSERT_EQ(KEY_RESULT_OK, GetIPCXKey(&hIpc, &hIpcX));
        EXPECT_EQ(SOFTWARE_PROVIDER_NAME, ProviderName(hIpc)) << "CAPI key " << capiKey;
        CryptReleaseContext(hUser, 0);
        CryptReleaseContext(hIpc, 0);
        DeleteContainer(container, expected);
    }
}

// Wine's software provider keeps a container's pairs in the registry;
// damaging the stored pair is the nearest thing to a damaged keyset here.
TEST_F(KeysTest, IpcKeysetIsCreatedWhenAbsentAndRepairedWhenDamaged)
{
    DeleteContainer(IPC_CONTAINER_NAME, SOFTWARE_PROVIDER_NAME);
    HCRYPTPROV hProv[3] = {};
    auto publicKey = [&](int i) {
        HCRYPTKEY hKey = 0;
        return GetIPCXKey(&hProv[i], &hKey) == KEY_RESULT_OK ? PublicKey(hKey) : Bytes{};
    };
    const Bytes created = publicKey(0);
    ASSERT_FALSE(created.empty());
    CryptReleaseContext(hProv[0], 0);

    const std::wstring stored = std::wstring(L"Software\\Wine\\Crypto\\RSA\\") + IPC_CONTAINER_NAME;
    BYTE garbage[16] = {0xDE, 0xAD};
    ASSERT_EQ(ERROR_SUCCESS, RegSetKeyValueW(HKEY_CURRENT_USER, stored.c_str(), L"KeyExchangeKeyPair",
                                             REG_BINARY, garbage, sizeof(garbage)));
    const Bytes repaired = publicKey(1);
    EXPECT_FALSE(repaired.empty());
    EXPECT_NE(created, repaired) << "the damaged pair must be replaced by a new one";
    EXPECT_EQ(repaired, publicKey(2)) << "a second context, as another vault's, finds the repaired pair";
    CryptReleaseContext(hProv[1], 0);
    CryptReleaseContext(hProv[2], 0);
}

TEST_F(KeysTest, BlockPrimitivesWorkOnWholeBlocksAndLeaveTheCallersKeyAlone)
{
    HCRYPTPROV hProv = 0;
    ASSERT_TRUE(CryptAcquireContextW(&hProv, nullptr, SOFTWARE_PROVIDER_NAME, PROV_RSA_FULL,
                                     CRYPT_VERIFYCONTEXT));
    HCRYPTKEY hKey = 0;
    ASSERT_TRUE(CryptGenKey(hProv, CALG_3DES, CRYPT_EXPORTABLE, &hKey));
    const BYTE iv[8] = {9, 8, 7, 6, 5, 4, 3, 2};
    ASSERT_TRUE(CryptSetKeyParam(hKey, KP_IV, iv, 0));
    auto state = [&] {
        DWORD mode = 0, cbMode = 4;
        BYTE keyIv[8] = {};
        DWORD cbIv = 8;
        CryptGetKeyParam(hKey, KP_MODE, reinterpret_cast<BYTE*>(&mode), &cbMode, 0);
        CryptGetKeyParam(hKey, KP_IV, keyIv, &cbIv, 0);
        return std::make_pair(mode, Bytes(keyIv, keyIv + 8));
    };
    const auto before = state();

    Bytes twelve(12, 0x5A);
    EXPECT_EQ(KEY_RESULT_BAD_LENGTH, EncryptBuffer(hKey, twelve.data(), 12));
    EXPECT_EQ(Bytes(12, 0x5A), twelve);

    Bytes two(16, 0x33), one(8, 0x33);
    ASSERT_EQ(KEY_RESULT_OK, EncryptBuffer(hKey, two.data(), 16));
    ASSERT_EQ(KEY_RESULT_OK, EncryptBuffer(hKey, one.data(), 8));
    EXPECT_EQ(Bytes(two.begin(), two.begin() + 8), one) << "first block as if alone";
    EXPECT_EQ(Bytes(two.begin() + 8, two.end()), one) << "second block independent of the first";
    EXPECT_EQ(before, state()) << "mode and chaining state of the caller's key";
    EXPECT_EQ(KEY_RESULT_MISSING_ARG, EncryptBuffer(0, two.data(), 16));
    CryptDestroyKey(hKey);
    CryptReleaseContext(hProv, 0);
}

// ---------------------------------------------------------------------------
// The cache.

TEST_F(KeysTest, LookupsMatchTheVaultFolderAndWhatLiesBelowIt)
{
    VaultCacheEntry vault1 = MakeRecord(L"C:\\Vault1");
    VaultCacheEntry outer = MakeRecord(L"C:\\A");
    VaultCacheEntry inner = MakeRecord(L"C:\\A\\B");
    VaultCacheEntry locked = MakeRecord(L"C:\\Locked", L"", false);
    VaultCacheEntry network = MakeRecord(L"C:\\NotUsed");
    wcscpy_s(network.wszMapName, L"\\\\server\\share\\vault");
    network.dwSettings = VAULT_SETTING_NETWORK;
    for (VaultCacheEntry* r : {&vault1, &outer, &inner, &locked, &network})
        ASSERT_NE(nullptr, AddVaultinCache(r));

    struct { std::wstring path; const wchar_t* loggedIn; const wchar_t* any; } cases[] = {
        {L"C:\\Vault1\\doc.txt", L"C:\\Vault1", L"C:\\Vault1"},
        {L"C:\\Vault1", L"C:\\Vault1", L"C:\\Vault1"},
        {L"c:\\VAULT1\\sub\\x", L"C:\\Vault1", L"C:\\Vault1"},
        {L"C:\\Vault10\\doc.txt", nullptr, nullptr},
        {L"C:\\Vault", nullptr, nullptr},
        {L"C:\\A\\B\\deep.txt", L"C:\\A", L"C:\\A"},
        {L"C:\\Locked\\x", nullptr, L"C:\\Locked"},
        {L"\\\\server\\share\\vault\\f", L"\\\\server\\share\\vault", L"\\\\server\\share\\vault"},
        {L"C:\\NotUsed\\f", nullptr, nullptr},
        {L"C:\\Vault1\\" + std::wstring(250, L'x'), nullptr, nullptr},  // 260 characters
    };
    for (const auto& c : cases) {
        VaultCacheEntry* pLoggedIn = GetVaultInCache2(c.path.c_str());
        VaultCacheEntry* pAny = GetVaultInCacheEx(c.path.c_str());
        EXPECT_EQ(c.loggedIn ? std::wstring(c.loggedIn) : L"-", pLoggedIn ? pLoggedIn->wszPath : L"-")
            << "GetVaultInCache2 " << std::string(c.path.begin(), c.path.end());
        EXPECT_EQ(c.any ? std::wstring(c.any) : L"-", pAny ? pAny->wszPath : L"-")
            << "GetVaultInCacheEx " << std::string(c.path.begin(), c.path.end());
    }
}

TEST_F(KeysTest, RemovalRelinksTheListAndKeepsRemovedRecordsReadable)
{
    struct { std::vector<std::wstring> before; std::wstring removed; std::vector<std::wstring> after; } cases[] = {
        {{L"C:\\Only"}, L"C:\\Only\\file", {}},
        {{L"C:\\First", L"C:\\Second", L"C:\\Third"}, L"C:\\First", {L"C:\\Second", L"C:\\Third"}},
        {{L"C:\\First", L"C:\\Second", L"C:\\Third"}, L"C:\\Third", {L"C:\\First", L"C:\\Second"}},
        {{L"C:\\First", L"C:\\Second"}, L"C:\\Elsewhere", {L"C:\\First", L"C:\\Second"}},
    };
    for (const auto& c : cases) {
        ResetVaultCache();
        VaultCacheEntry* pHeld = nullptr;
        for (const auto& path : c.before) {
            VaultCacheEntry record = MakeRecord(path, Unique(L"VuzTestNoSuchContainer"));
            VaultCacheEntry* p = AddVaultinCache(&record);
            if (VaultPathMatches(path.c_str(), c.removed.c_str()))
                pHeld = p;
        }
        EXPECT_TRUE(RemoveVaultFromCache(c.removed.c_str()));
        EXPECT_EQ(c.after, CachedPaths());
        if (pHeld != nullptr)
            EXPECT_TRUE(VaultPathMatches(pHeld->wszPath, c.removed.c_str())) << "record still readable";
        // The tail is right: a new record lands at the end.
        VaultCacheEntry last = MakeRecord(L"C:\\Last");
        AddVaultinCache(&last);
        EXPECT_EQ(L"C:\\Last", CachedPaths().back());
    }
}

// Five readers against one writer: every answer is one a serial run could
// give, i.e. the looked-up vault or nothing, and never a torn record.
TEST_F(KeysTest, LookupsStayConsistentWhileVaultsComeAndGo)
{
    const int kRounds = 2000;
    std::atomic<bool> done{false};
    std::atomic<int> wrong{0}, found{0};
    auto reader = [&](int id) {
        const std::wstring path = L"C:\\Stress" + std::to_wstring(id % 3) + L"\\file.txt";
        const std::wstring expected = L"C:\\Stress" + std::to_wstring(id % 3);
        while (!done) {
            VaultCacheEntry* p = GetVaultInCache2(path.c_str());
            if (p == nullptr)
                continue;
            ++found;
            if (expected != p->wszPath || p->bLoggedIn != 1)
                ++wrong;
        }
    };
    std::vector<std::thread> readers;
    for (int i = 0; i < 5; i++)
        readers.emplace_back(reader, i);
    for (int round = 0; round < kRounds; round++) {
        VaultCacheEntry record = MakeRecord(L"C:\\Stress" + std::to_wstring(round % 3),
                                            Unique(L"VuzTestNoSuchContainer"));
        AddVaultinCache(&record);
        if (round % 2)
            RemoveVaultFromCache(record.wszPath);
    }
    done = true;
    for (auto& t : readers)
        t.join();
    EXPECT_EQ(0, wrong.load());
    EXPECT_GT(found.load(), 0);
}

// ---------------------------------------------------------------------------
// Drive icons.

// Login shows the unlocked icons (5, 1, 2), logout the locked ones (0, 3, 4),
// each by the folder's sharing state, in the three places the shell reads:
// the map name's mount point, and the letter's DriveIcons and Drives keys.
TEST_F(KeysTest, LoginAndLogoutIconsFollowTheSharingState)
{
    wchar_t system[MAX_PATH];
    GetSystemDirectoryW(system, MAX_PATH);
    const std::wstring folder = L"C:\\" + Unique(L"VuzIconState"), explorer = L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\";
    const std::wstring files[] = {folder + L"\\vault3.cfg", folder + L"\\keyArchive.xml"};
    struct { int state; DWORD unlocked, locked; const wchar_t* mountName; } cases[] = {
        {0, 5, 0, L"##nowhere#share"},   // a network vault whose share cannot be reached
        {1, 1, 3, L""},                  // folder without the configuration files
        {2, 2, 4, L""},                  // shared
    };
    CreateDirectoryW(folder.c_str(), nullptr);
    for (const auto& c : cases) {
        VaultCacheEntry record = MakeRecord(folder, L"", true, L"V:");
        if (c.state == 0) {
            wcscpy_s(record.wszMapName, L"\\\\nowhere\\share");
            record.dwSettings = VAULT_SETTING_NETWORK;
        }
        if (c.state == 2)
            for (const auto& f : files)
                CloseHandle(CreateFileW(f.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
        for (BOOL unlocked : {TRUE, FALSE}) {
            RefreshVaultIcon(&record, unlocked);
            for (const std::wstring& key : {explorer + L"MountPoints2\\" + c.mountName + L"\\DefaultIcon",
                                            explorer + L"DriveIcons\\V\\DefaultIcon",
                                            std::wstring(L"Software\\Classes\\Applications\\explorer.exe\\Drives\\V\\DefaultIcon")})
                EXPECT_EQ(std::wstring(system) + L"\\vidizer.dll," + std::to_wstring(unlocked ? c.unlocked : c.locked),
                          harness::RegText(key))
                    << "state " << c.state << (unlocked ? " unlocked " : " locked ") << std::string(key.begin(), key.end());
        }
    }
    for (const auto& f : files)
        DeleteFileW(f.c_str());
    RemoveDirectoryW(folder.c_str());
}

// ---------------------------------------------------------------------------
// Key creation and retrieval.

// A new vault's keys, made the way new-vault registration makes them, and the
// record as the cache would hold it.
VaultCacheEntry CreateVault(const RegistryVault& vault, const std::wstring& container, bool generate,
                            DWORD* pResult, const Bytes& givenKey = {})
{
    VaultCacheEntry record = MakeRecord(L"C:\\" + vault.subkey, container, true,
                                        vault.subkey.substr(0, 1) + L":");
    BYTE key[512] = {};
    DWORD cbKey = generate ? sizeof(key) : static_cast<DWORD>(givenKey.size());
    std::copy(givenKey.begin(), givenKey.end(), key);
    *pResult = CreateVaultKeys(vault.subkey.c_str(), container.c_str(), &record.hUserProv,
                               &record.hIpcProv, &record.hUserXKey, &record.hIpcXKey, &record.hVaultKey,
                               key, &cbKey, generate);
    std::copy(key, key + std::min<DWORD>(cbKey, VAULT_KEY_BYTES), record.abKey);
    record.dwKeySize = cbKey;
    return record;
}

Bytes EncryptWith(HCRYPTKEY hKey, Bytes data)
{
    return EncryptBuffer(hKey, data.data(), static_cast<DWORD>(data.size())) == KEY_RESULT_OK ? data : Bytes{};
}

// Vaults of one new container: the next vault finds the first's pair while
// the first still holds its context; a generated key is written, a given one
// only loaded; the stored keys load in a fresh process; and the container
// goes with the last cached vault that uses it.
TEST_F(KeysTest, VaultsOfANewContainerShareItsPairAndKeepItUntilTheLastGoes)
{
    const std::wstring container = Unique(L"VuzTestNewShared");
    DeleteContainer(container, SOFTWARE_PROVIDER_NAME);
    RegistryVault a(L"A" + Unique(L""), L"C:\\A", container), b(L"B" + Unique(L""), L"C:\\B", container);
    DWORD result = 0;
    VaultCacheEntry first = CreateVault(a, container, true, &result);
    ASSERT_EQ(KEY_RESULT_OK, result);
    EXPECT_EQ(Bytes(first.abKey, first.abKey + first.dwKeySize), a.KeyValue());
    EXPECT_NE(0u, first.hVaultKey);
    VaultCacheEntry second = CreateVault(b, container, true, &result);
    ASSERT_EQ(KEY_RESULT_OK, result);
    EXPECT_EQ(PublicKey(first.hUserXKey), PublicKey(second.hUserXKey)) << "one pair per container";

    // The same blob given to a third vault: nothing written, the same key.
    RegistryVault given(L"H" + Unique(L""), L"C:\\H", container);
    VaultCacheEntry third = CreateVault(given, container, false, &result, a.KeyValue());
    ASSERT_EQ(KEY_RESULT_OK, result);
    EXPECT_TRUE(given.KeyValue().empty());
    EXPECT_EQ(EncryptWith(first.hVaultKey, Bytes(16, 7)), EncryptWith(third.hVaultKey, Bytes(16, 7)));

    // A blob that does not unwrap, and a vault with no registry record.
    Bytes broken = a.KeyValue();
    broken[20] ^= 0xFF;
    CreateVault(given, container, false, &result, broken);
    EXPECT_NE(KEY_RESULT_OK, result) << "a damaged blob must not load";
    RegistryVault missing(L"M" + Unique(L""), L"C:\\M", container);
    RegDeleteKeyW(HKEY_CURRENT_USER, missing.keyPath.c_str());
    CreateVault(missing, container, true, &result);
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), result);
    EXPECT_TRUE(missing.KeyValue().empty()) << "the subkey must not be created";

    // A key wrapped by the user's pair, moved into the IPC provider, encrypts as before.
    HCRYPTKEY hOriginal = 0, hLoaded = 0;
    ASSERT_TRUE(CryptGenKey(first.hUserProv, CALG_3DES, CRYPT_EXPORTABLE, &hOriginal));
    BYTE blob[512];
    DWORD cbBlob = sizeof(blob);
    ASSERT_TRUE(CryptExportKey(hOriginal, first.hUserXKey, SIMPLEBLOB, 0, blob, &cbBlob));
    ASSERT_EQ(KEY_RESULT_OK, GetVaultSymmetricKey(first.hUserProv, first.hIpcProv, first.hIpcXKey,
                                                  first.hUserXKey, blob, cbBlob, &hLoaded));
    const Bytes plain = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    EXPECT_EQ(EncryptWith(hOriginal, plain), EncryptWith(hLoaded, plain));
    EXPECT_NE(plain, EncryptWith(hLoaded, plain));
    EXPECT_EQ(KEY_RESULT_MISSING_ARG, GetVaultSymmetricKey(first.hUserProv, 0, first.hIpcXKey, first.hUserXKey,
                                                           blob, cbBlob, &hLoaded));

    harness::AgentProcess child;
    ASSERT_TRUE(child.Start(harness::SelfPath(), L"--load-vault-keys " + a.subkey + L" " + b.subkey));
    EXPECT_EQ(0, child.WaitForExit(30000)) << "both stored keys load after a restart";

    AddVaultinCache(&first);
    AddVaultinCache(&second);
    auto exists = [&] {
        HCRYPTPROV h = 0;
        return CryptAcquireContextW(&h, container.c_str(), SOFTWARE_PROVIDER_NAME, PROV_RSA_FULL, 0) &&
               CryptReleaseContext(h, 0);
    };
    RemoveVaultFromCache(first.wszPath);
    EXPECT_TRUE(exists()) << "still used by the second vault";
    RemoveVaultFromCache(second.wszPath);
    EXPECT_FALSE(exists()) << "deleted with its last cached vault";
    for (HCRYPTPROV hProv : {first.hUserProv, second.hUserProv, third.hUserProv})
        CryptReleaseContext(hProv, 0);
}

// A wrapped key longer than the record's 260 bytes would load until the
// first logout and never again: refused before the registry is written, and
// the handles the failed attempt acquired are all given back.
TEST_F(KeysTest, AWrappedKeyTheRecordCannotHoldIsRefusedAndItsHandlesReleased)
{
    const std::wstring container = Unique(L"VuzTestLongKey");
    DeleteContainer(container, SOFTWARE_PROVIDER_NAME);
    HCRYPTPROV hProv = 0;
    HCRYPTKEY hPair = 0;
    ASSERT_TRUE(CryptAcquireContextW(&hProv, container.c_str(), SOFTWARE_PROVIDER_NAME, PROV_RSA_FULL, CRYPT_NEWKEYSET));
    ASSERT_TRUE(CryptGenKey(hProv, AT_KEYEXCHANGE, (2048u << 16) | CRYPT_EXPORTABLE, &hPair));
    CryptDestroyKey(hPair);
    CryptReleaseContext(hProv, 0);

    RegistryVault vault(L"L" + Unique(L""), L"C:\\L", container);
    DWORD result = 0;
    VaultCacheEntry record = CreateVault(vault, container, true, &result);
    EXPECT_EQ(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER), result) << "a 268-byte blob";
    EXPECT_TRUE(vault.KeyValue().empty()) << "nothing written";

    const HCRYPTPROV hUserProv = record.hUserProv;
    ASSERT_NE(0u, hUserProv) << "the attempt got as far as the user's provider";
    DiscardNewVaultKeys(&record);
    EXPECT_EQ(0u, record.hUserProv | record.hIpcProv | record.hUserXKey | record.hIpcXKey | record.hVaultKey);
    EXPECT_FALSE(CryptReleaseContext(hUserProv, 0)) << "already released";
    DeleteContainer(container, SOFTWARE_PROVIDER_NAME);
}

// ---------------------------------------------------------------------------
// The file keys handed to the driver.

HCRYPTKEY NewFileKey()
{
    static HCRYPTPROV hProv = 0;
    HCRYPTKEY hKey = 0;
    if (hProv == 0)
        CryptAcquireContextW(&hProv, nullptr, SOFTWARE_PROVIDER_NAME, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT);
    CryptGenKey(hProv, CALG_3DES, CRYPT_EXPORTABLE, &hKey);
    return hKey;
}

DWORD Transform(ULONG value, Bytes* data, BOOL encrypt = TRUE)
{
    DWORD cb = static_cast<DWORD>(data->size());
    return TransformWithFileKey(value, data->data(), &cb, encrypt);
}

// A length that faults while the table is held, under a guard of the caller's.
DWORD TransformIntoNowhere(ULONG value)
{
    BYTE data[8] = {};
    DWORD code = 0;
    __try {
        TransformWithFileKey(value, data, reinterpret_cast<DWORD*>(16), TRUE);
    } __except (code = GetExceptionCode(), EXCEPTION_EXECUTE_HANDLER) {
    }
    return code;
}

// Values are never reused for another key, and the table has no cap: a
// driver that loses replies and never releases their keys must not stop
// every new file in a long session.
TEST_F(KeysTest, FileKeyValuesStayUniqueAndTheTableGrowsPastItsOldCap)
{
    const HCRYPTKEY hKey = NewFileKey();
    const Bytes plain(64, 0x5A);
    Bytes expected = plain;
    ASSERT_EQ(KEY_RESULT_OK, EncryptBuffer(hKey, expected.data(), static_cast<DWORD>(expected.size())));
    auto handOutCopy = [&] {
        HCRYPTKEY hCopy = 0;
        return CryptDuplicateKey(hKey, nullptr, 0, &hCopy) ? HandOutFileKey(hCopy) : 0;
    };
    std::set<ULONG> values;
    for (int i = 0; i < 20000; i++)
        values.insert(handOutCopy());
    ASSERT_EQ(20000u, values.size()) << "every value names one key";
    ASSERT_EQ(0u, values.count(0)) << "none refused";
    BOOL destroyed = FALSE;
    for (ULONG value : values) {
        Bytes data = plain;
        ASSERT_EQ(KEY_RESULT_OK, Transform(value, &data));
        ASSERT_EQ(expected, data);
        ASSERT_TRUE(ReleaseFileKey(value, &destroyed) && destroyed);
        ASSERT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), Transform(value, &data)) << "released";
        ASSERT_FALSE(ReleaseFileKey(value, &destroyed)) << "released twice";
    }
    const ULONG fresh = handOutCopy();
    EXPECT_EQ(0u, values.count(fresh)) << "a new key under a released value";
    ReleaseFileKey(fresh, &destroyed);
    CryptDestroyKey(hKey);
}

// Block requests and releases at once: a release waits for the block
// requests in progress; and a fault while a key is in use gives the table back.
TEST_F(KeysTest, FileKeysSurviveRacingReleasesAndProviderFaults)
{
    const ULONG racing = HandOutFileKey(NewFileKey());
    std::atomic<bool> releasing{false}, released{false};
    std::atomic<int> wrong{0};
    std::thread blocks([&] {
        for (int i = 0; i < 4000; i++) {
            const bool before = released.load();
            Bytes data(4096, 1);
            const DWORD result = Transform(racing, &data, i % 2);
            if (result != KEY_RESULT_OK && (result != ERROR_INVALID_HANDLE || !releasing.load()))
                wrong++;
            if (before && result == KEY_RESULT_OK)
                wrong++;
        }
    });
    Sleep(20);
    BOOL destroyed = FALSE;
    releasing = true;
    EXPECT_TRUE(ReleaseFileKey(racing, &destroyed));
    released = true;
    blocks.join();
    EXPECT_EQ(0, wrong.load()) << "a block used a released key, or failed before its release";

    const ULONG faulting = HandOutFileKey(NewFileKey());
    EXPECT_EQ(static_cast<DWORD>(EXCEPTION_ACCESS_VIOLATION), TransformIntoNowhere(faulting));
    std::atomic<ULONG> next{0};
    std::thread handOut([&] { next = HandOutFileKey(NewFileKey()); });
    const bool served = harness::WaitUntil([&] { return next.load() != 0; }, 5000);
    EXPECT_TRUE(served) << "the table stayed locked after the fault";
    if (!served) {
        handOut.detach();
        return;
    }
    handOut.join();
    EXPECT_TRUE(ReleaseFileKey(faulting, &destroyed));
    EXPECT_TRUE(ReleaseFileKey(next, &destroyed));
}

// Values from a driver that outlived an agent must name no key of the next.
TEST_F(KeysTest, TwoProcessesHandOutDifferentFirstValues)
{
    long values[2] = {};
    for (long& value : values) {
        harness::AgentProcess process;
        ASSERT_TRUE(process.Start(harness::SelfPath(), L"--first-file-key"));
        value = process.WaitForExit(30000);
    }
    EXPECT_NE(0, values[0]);
    EXPECT_NE(-1, values[0]);
    EXPECT_NE(values[0], values[1]);
}

// A vault as the start-up walk caches it: logged in, key not yet loaded.
struct CachedVault {
    std::unique_ptr<RegistryVault> registry;
    VaultCacheEntry* record = nullptr;
};

CachedVault CacheLoggedInVault(const wchar_t* letter, const std::wstring& container, bool withKey)
{
    CachedVault vault;
    const std::wstring subkey = letter + Unique(L"");
    vault.registry = std::make_unique<RegistryVault>(subkey, L"C:\\Login" + subkey, container);
    HCRYPTPROV hProv = 0;
    HCRYPTKEY hKey = 0;
    EXPECT_EQ(KEY_RESULT_OK, GenUserXKey(container.c_str(), &hProv, &hKey));
    if (withKey) {
        BYTE blob[512];
        DWORD cbBlob = sizeof(blob);
        EXPECT_EQ(KEY_RESULT_OK, GenPapMgrKey(subkey.c_str(), hProv, hKey, blob, &cbBlob));
    }
    CryptReleaseContext(hProv, 0);
    VaultCacheEntry record{};
    EXPECT_TRUE(ReadVaultRecord(subkey.c_str(), &record));
    record.bLoggedIn = 1;
    vault.record = AddVaultinCache(&record);
    return vault;
}

TEST_F(KeysTest, LoginLoadsOnceUnderTheLettersMutexAndLogoutDestroysTheKeys)
{
    CachedVault vault = CacheLoggedInVault(L"W", Unique(L"VuzTestLogin"), true);
    const std::wstring file = std::wstring(vault.record->wszPath) + L"\\doc.txt";
    HCRYPTKEY hKey = 0;
    HCRYPTPROV hProv = 0;
    ASSERT_TRUE(GetKeysForVault(file.c_str(), &hKey, &hProv));
    EXPECT_EQ(0u, hKey) << "not loaded yet: handed out as it stands";

    const std::wstring mutexName = L"ReriroVivAviVurazW";
    {
        harness::AgentProcess holder;
        ASSERT_TRUE(harness::StartMutexHolder(holder, mutexName, 7000));
        EXPECT_FALSE(GetKeysForVaultEx(file.c_str(), &hKey, &hProv)) << "mutex held elsewhere for 7 s";
        EXPECT_EQ(0u, vault.record->hUserProv + vault.record->hVaultKey) << "nothing loaded";
    }
    ASSERT_TRUE(GetKeysForVaultEx(file.c_str(), &hKey, &hProv));
    EXPECT_NE(0u, hKey);
    EXPECT_EQ(vault.record->hVaultKey, hKey);
    EXPECT_EQ(vault.record->hIpcProv, hProv);

    // Loaded: a second call answers at once, even with the mutex held elsewhere.
    harness::AgentProcess holder;
    ASSERT_TRUE(harness::StartMutexHolder(holder, mutexName, 7000));
    HCRYPTKEY hAgain = 0;
    HCRYPTPROV hProvAgain = 0;
    const ULONGLONG start = GetTickCount64();
    ASSERT_TRUE(GetKeysForVaultEx(file.c_str(), &hAgain, &hProvAgain));
    EXPECT_LT(GetTickCount64() - start, 2000u);
    EXPECT_EQ(hKey, hAgain);
    EXPECT_EQ(hProv, hProvAgain);

    // Logout destroys the keys but keeps the IPC provider for the exit.
    const LONG listed = GetReleaseTableCount();
    for (int twice = 0; twice < 2; twice++)
        ReleaseVaultKeys(vault.record);
    VaultCacheEntry* p = vault.record;
    EXPECT_EQ(0u, p->hUserProv + p->hUserXKey + p->hIpcXKey + p->hVaultKey);
    EXPECT_EQ(0, p->bLoggedIn);
    EXPECT_EQ(hProv, p->hIpcProv) << "the IPC provider stays in the record";
    EXPECT_EQ(listed + 1, GetReleaseTableCount()) << "listed once for release at exit";
    EXPECT_FALSE(GetKeysForVault(p->wszPath, &hKey, &hProv));
}

TEST_F(KeysTest, AVaultWithoutAStoredKeyFailsAtTheImport)
{
    CachedVault vault = CacheLoggedInVault(L"X", Unique(L"VuzTestNoKey"), false);
    ASSERT_EQ(0u, vault.record->dwKeySize);
    HCRYPTKEY hKey = 0;
    HCRYPTPROV hProv = 0;
    EXPECT_FALSE(GetKeysForVaultEx(vault.record->wszPath, &hKey, &hProv));
    EXPECT_EQ(0u, vault.record->hVaultKey);
    EXPECT_NE(0u, vault.record->hUserProv) << "the steps before the import stay done";
}

// ---------------------------------------------------------------------------
// Roles of the second process.

int LoadVaultKeys(int count, wchar_t** subkeys)
{
    InitCrypt();
    for (int i = 0; i < count; i++) {
        VaultCacheEntry record{};
        HCRYPTKEY hIpcX = 0, hVault = 0;
        HCRYPTPROV hIpc = 0;
        if (!ReadVaultRecord(subkeys[i], &record) ||
            GetUserXKey(record.wszContainer, &record.hUserProv, &record.hUserXKey) != KEY_RESULT_OK ||
            GetIPCXKey(&hIpc, &hIpcX) != KEY_RESULT_OK ||
            GetVaultSymmetricKey(record.hUserProv, hIpc, hIpcX, record.hUserXKey, record.abKey,
                                 record.dwKeySize, &hVault) != KEY_RESULT_OK)
            return i + 1;
    }
    return 0;
}

// The value under which a fresh process hands out its first file key.
int FirstFileKey()
{
    InitCrypt();
    return static_cast<int>(HandOutFileKey(NewFileKey()));
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    if (int role = harness::RunTestRole(argc, argv); role >= 0)
        return role;
    if (argc >= 2 && wcscmp(argv[1], L"--load-vault-keys") == 0)
        return LoadVaultKeys(argc - 2, argv + 2);
    if (argc >= 2 && wcscmp(argv[1], L"--first-file-key") == 0)
        return FirstFileKey();
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
