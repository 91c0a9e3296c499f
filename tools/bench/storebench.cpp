// The vault file store's costs, each against a baseline measured in the
// same run, on a vault with real keys in the prefix's providers:
//
//   1. block handlers (EncryptBlock, GetNormalBuffer on 16 KiB) served by the
//      agent's own dispatch in process, against the bare loop of key
//      duplication, ECB mode and encryption that they cannot avoid;
//   2. a lookup by logical name in a folder of 1,000 stored files, against
//      1,000 times one meta file read and one name decryption;
//   3. heap allocations per block request, counted by hooking the heap
//      functions in the import tables of every module: the agent's own code
//      apart from the libraries it calls.
//
//   storebench [--blocks N] [--files N]
#include <windows.h>
#include <wincrypt.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cwchar>
#include <fstream>
#include <string>
#include <vector>

#include "VaultWire.h"
#include "diag/Diag.h"
#include "filter/ScannerWorker.h"
#include "keys/Crypt.h"
#include "keys/FileKeyTable.h"
#include "keys/VaultKeys.h"
#include "store/FileKeys.h"
#include "store/MetaText.h"
#include "vaults/VaultCache.h"
#include "vaults/VaultRecords.h"

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

// ---------------------------------------------------------------------------
// Allocation counting: every import of a heap function in every loaded
// module is pointed at a counter, the bench program's own imports at one
// counter (agent code is linked into it) and all other modules' at another.

std::atomic<long> g_ownAllocations{0}, g_libraryAllocations{0};
using PFN_ALLOC3 = void*(WINAPI*)(void*, DWORD, SIZE_T);
using PFN_LOCAL = HLOCAL(WINAPI*)(UINT, SIZE_T);
using PFN_MALLOC = void*(__cdecl*)(size_t);
PFN_ALLOC3 g_pfnHeapAlloc, g_pfnRtlAllocateHeap;
PFN_LOCAL g_pfnLocalAlloc, g_pfnGlobalAlloc;
PFN_MALLOC g_pfnMalloc;

template <std::atomic<long>* Counter>
struct Counting {
    static void* WINAPI HeapAlloc(void* h, DWORD f, SIZE_T n) { ++*Counter; return g_pfnHeapAlloc(h, f, n); }
    static void* WINAPI RtlAllocateHeap(void* h, DWORD f, SIZE_T n) { ++*Counter; return g_pfnRtlAllocateHeap(h, f, n); }
    static HLOCAL WINAPI LocalAlloc(UINT f, SIZE_T n) { ++*Counter; return g_pfnLocalAlloc(f, n); }
    static HLOCAL WINAPI GlobalAlloc(UINT f, SIZE_T n) { ++*Counter; return g_pfnGlobalAlloc(f, n); }
    static void* __cdecl Malloc(size_t n) { ++*Counter; return g_pfnMalloc(n); }
};

template <std::atomic<long>* Counter>
void* Replacement(const char* name)
{
    using C = Counting<Counter>;
    if (!strcmp(name, "HeapAlloc")) return reinterpret_cast<void*>(&C::HeapAlloc);
    if (!strcmp(name, "RtlAllocateHeap")) return reinterpret_cast<void*>(&C::RtlAllocateHeap);
    if (!strcmp(name, "LocalAlloc")) return reinterpret_cast<void*>(&C::LocalAlloc);
    if (!strcmp(name, "GlobalAlloc")) return reinterpret_cast<void*>(&C::GlobalAlloc);
    if (!strcmp(name, "malloc")) return reinterpret_cast<void*>(&C::Malloc);
    return nullptr;
}

int HookModule(HMODULE hModule, bool own)
{
    auto* base = reinterpret_cast<BYTE*>(hModule);
    auto* dos = reinterpret_cast<IMAGE_DOS_HEADER*>(base);
    auto* nt = reinterpret_cast<IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (dir.VirtualAddress == 0)
        return 0;
    int hooked = 0;
    for (auto* imp = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + dir.VirtualAddress); imp->Name; imp++) {
        if (!imp->OriginalFirstThunk)
            continue;
        auto* names = reinterpret_cast<IMAGE_THUNK_DATA*>(base + imp->OriginalFirstThunk);
        auto* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + imp->FirstThunk);
        for (; names->u1.AddressOfData; names++, slots++) {
            if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal))
                continue;
            const char* name = reinterpret_cast<IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData)->Name;
            void* replacement = own ? Replacement<&g_ownAllocations>(name) : Replacement<&g_libraryAllocations>(name);
            DWORD old;
            if (replacement && VirtualProtect(&slots->u1.Function, sizeof(void*), PAGE_READWRITE, &old)) {
                slots->u1.Function = reinterpret_cast<ULONG_PTR>(replacement);
                VirtualProtect(&slots->u1.Function, sizeof(void*), old, &old);
                hooked++;
            }
        }
    }
    return hooked;
}

// The real function, from the module that implements it rather than one
// that only passes the call on through its own (hooked) imports.
FARPROC Original(const char* name)
{
    for (const wchar_t* module : {L"kernelbase", L"kernel32"})
        if (HMODULE h = GetModuleHandleW(module))
            if (FARPROC p = GetProcAddress(h, name))
                return p;
    return nullptr;
}

int HookAllModules()
{
    g_pfnHeapAlloc = reinterpret_cast<PFN_ALLOC3>(Original("HeapAlloc"));
    g_pfnRtlAllocateHeap = reinterpret_cast<PFN_ALLOC3>(GetProcAddress(GetModuleHandleW(L"ntdll"), "RtlAllocateHeap"));
    g_pfnLocalAlloc = reinterpret_cast<PFN_LOCAL>(Original("LocalAlloc"));
    g_pfnGlobalAlloc = reinterpret_cast<PFN_LOCAL>(Original("GlobalAlloc"));
    g_pfnMalloc = reinterpret_cast<PFN_MALLOC>(GetProcAddress(GetModuleHandleW(L"msvcrt"), "malloc"));
    HMODULE modules[512];
    DWORD cb = 0;
    using PFN_ENUM = BOOL(WINAPI*)(HANDLE, HMODULE*, DWORD, DWORD*);
    auto enumModules = reinterpret_cast<PFN_ENUM>(GetProcAddress(GetModuleHandleW(L"kernel32"), "K32EnumProcessModules"));
    if (!enumModules || !enumModules(GetCurrentProcess(), modules, sizeof(modules), &cb))
        return 0;
    int hooked = 0;
    for (DWORD i = 0; i < cb / sizeof(HMODULE); i++)
        hooked += HookModule(modules[i], modules[i] == GetModuleHandleW(nullptr));
    return hooked;
}

// ---------------------------------------------------------------------------
// The vault.

struct Vault {
    std::wstring folder, subkey, container, volume;
    VaultCacheEntry* record = nullptr;
};

bool MakeVault(Vault& v)
{
    const std::wstring pid = std::to_wstring(GetCurrentProcessId());
    v.folder = L"C:\\VuzBench" + pid;
    v.subkey = L"B" + pid;
    v.container = L"VuzBench-" + pid;
    wchar_t target[MAX_PATH];
    QueryDosDeviceW(L"C:", target, MAX_PATH);
    v.volume = target;
    CreateDirectoryW(v.folder.c_str(), nullptr);
    wchar_t keyPath[520];
    FormVaultKeyPath(v.subkey.c_str(), keyPath, 520);
    HKEY hKey;
    RegCreateKeyExW(HKEY_CURRENT_USER, keyPath, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &hKey, nullptr);
    RegCloseKey(hKey);
    InitCrypt();
    // Diagnostics off, as on a machine where nobody asked for them.
    ResetDiagnostics();
    VaultCacheEntry record{};
    wcscpy_s(record.wszPath, v.folder.c_str());
    wcscpy_s(record.wszContainer, v.container.c_str());
    wcscpy_s(record.wszDrive, L"B:");
    DWORD cbKey = sizeof(record.abKey);
    if (CreateVaultKeys(v.subkey.c_str(), v.container.c_str(), &record.hUserProv, &record.hIpcProv,
                        &record.hUserXKey, &record.hIpcXKey, &record.hVaultKey, record.abKey, &cbKey,
                        TRUE) != KEY_RESULT_OK)
        return false;
    record.dwKeySize = cbKey;
    record.bLoggedIn = 1;
    v.record = AddVaultinCache(&record);
    return true;
}

void DropVault(const Vault& v)
{
    Notification n{};
    n.eCommandType = DeleteFolder;
    wcscpy_s(n.Volume, v.volume.c_str());
    wcscpy_s(n.ParentDir, L"\\");
    wcscpy_s(n.FileName, v.folder.substr(3).c_str());
    static struct ReplyMessage reply;
    DispatchRequest(&n, &reply);
    wchar_t keyPath[520];
    FormVaultKeyPath(v.subkey.c_str(), keyPath, 520);
    RegDeleteKeyW(HKEY_CURRENT_USER, keyPath);
    HCRYPTPROV h;
    CryptAcquireContextW(&h, v.container.c_str(), SOFTWARE_PROVIDER_NAME, PROV_RSA_FULL, CRYPT_DELETEKEYSET);
}

Notification Request(const Vault& v, ULONG command, const std::wstring& name = L"")
{
    Notification n{};
    n.eCommandType = command;
    wcscpy_s(n.Volume, v.volume.c_str());
    wcscpy_s(n.ParentDir, (v.folder.substr(2) + L"\\").c_str());
    wcscpy_s(n.FileName, name.c_str());
    return n;
}

// ---------------------------------------------------------------------------

void BlockHandlers(const Vault& v, int blocks)
{
    static Notification n;
    static struct ReplyMessage reply;
    n = Request(v, CreateFileInVault, L"bench.bin");
    DispatchRequest(&n, &reply);
    const ULONG fsk = reply.Reply.VaultFile.FSKHandle;

    HCRYPTKEY hKey = 0;
    CryptGenKey(v.record->hIpcProv, CALG_3DES, CRYPT_EXPORTABLE, &hKey);
    static BYTE data[MAX_DATA_LENGTH];
    auto bare = [&](bool encrypt) {
        long library = g_libraryAllocations;
        auto start = Clock::now();
        for (int i = 0; i < blocks; i++) {
            HCRYPTKEY hDup = 0;
            DWORD mode = CRYPT_MODE_ECB, cb = sizeof(data);
            CryptDuplicateKey(hKey, nullptr, 0, &hDup);
            CryptSetKeyParam(hDup, KP_MODE, reinterpret_cast<BYTE*>(&mode), 0);
            if (encrypt)
                CryptEncrypt(hDup, 0, FALSE, 0, data, &cb, cb);
            else
                CryptDecrypt(hDup, 0, FALSE, 0, data, &cb);
            CryptDestroyKey(hDup);
        }
        double mbps = blocks * double(sizeof(data)) / Seconds(start) / 1e6;
        printf("  allocations per block of the bare loop: libraries %.2f\n",
               double(g_libraryAllocations - library) / blocks);
        return mbps;
    };
    auto handlers = [&](ULONG command) {
        n = Request(v, command);
        n.FSKHandle = fsk;
        n.DataLength = sizeof(data);
        long own = g_ownAllocations, library = g_libraryAllocations;
        auto start = Clock::now();
        for (int i = 0; i < blocks; i++) {
            reply.Reply.Succeeded = 0;
            DispatchRequest(&n, &reply);
            if (!reply.Reply.Succeeded) {
                printf("storebench: block command %lu failed\n", command);
                return 0.0;
            }
        }
        double mbps = blocks * double(sizeof(data)) / Seconds(start) / 1e6;
        printf("  allocations per %s request: agent code %.2f, libraries %.2f\n",
               command == EncryptBlock ? "EncryptBlock" : "GetNormalBuffer",
               double(g_ownAllocations - own) / blocks, double(g_libraryAllocations - library) / blocks);
        return mbps;
    };
    for (bool encrypt : {true, false}) {
        const double baseline = bare(encrypt);
        const double measured = handlers(encrypt ? EncryptBlock : GetNormalBuffer);
        printf("%-16s 16 KiB blocks: handlers %6.2f MB/s, bare duplicate+mode+%s loop %6.2f MB/s, ratio %.3f\n",
               encrypt ? "EncryptBlock" : "GetNormalBuffer", measured, encrypt ? "encrypt" : "decrypt", baseline,
               measured / baseline);
    }
    CryptDestroyKey(hKey);
}

void FolderLookup(const Vault& v, int files)
{
    static Notification n;
    static struct ReplyMessage reply;
    const std::wstring folder = v.folder + L"\\lookup";
    CreateDirectoryW(folder.c_str(), nullptr);
    for (int i = 0; i < files; i++) {
        n = Request(v, CreateFileInVault, L"file" + std::to_wstring(i) + L".txt");
        wcscpy_s(n.ParentDir, (v.folder.substr(2) + L"\\lookup\\").c_str());
        DispatchRequest(&n, &reply);
        wchar_t stem[32];
        swprintf(stem, 32, L"S%08d", i);
        const std::wstring stemPath = folder + L"\\" + stem;
        std::ofstream(std::string(stemPath.begin(), stemPath.end()), std::ios::binary)
            .write(reinterpret_cast<const char*>(reply.Reply.VaultFile.Data), reply.Reply.VaultFile.DataLength);
        n = Request(v, ReleaseFSK);
        n.FSKHandle = reply.Reply.VaultFile.FSKHandle;
        DispatchRequest(&n, &reply);
    }
    // The name searched for is stored last: the whole folder is read.
    n = Request(v, PreDirBrowsing, L"file" + std::to_wstring(files - 1) + L".txt");
    wcscpy_s(n.VaultPath, folder.c_str());
    auto start = Clock::now();
    DispatchRequest(&n, &reply);
    const double lookup = Seconds(start);
    if (!reply.Reply.Succeeded)
        printf("storebench: the lookup found nothing\n");

    start = Clock::now();
    for (int i = 0; i < files; i++) {
        wchar_t path[MAX_PATH];
        swprintf(path, MAX_PATH, L"%ls\\S%08d", folder.c_str(), i);
        char text[1032] = {};
        HANDLE h = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
        DWORD cb = 0;
        ReadFile(h, text, 1031, &cb, nullptr);
        CloseHandle(h);
        const char* b = strstr(text, "<FILENAME>") + 10;
        const char* e = strstr(b, "</FILENAME>");
        std::wstring encoded(b, e);
        wchar_t name[260];
        wcscpy_s(name, encoded.c_str());
        DWORD len = static_cast<DWORD>(encoded.size() + 1);
        GetDecodedFileName(v.record->hVaultKey, name, &len);
    }
    const double baseline = Seconds(start);
    printf("lookup in a folder of %d stored files: %.1f ms, %d meta reads and name decryptions %.1f ms, ratio %.3f\n",
           files, lookup * 1e3, files, baseline * 1e3, baseline / lookup);
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    int blocks = 400, files = 1000;
    bool hooks = true;
    for (int i = 1; i < argc; i++)
        if (!wcscmp(argv[i], L"--no-hooks"))
            hooks = false;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (!wcscmp(argv[i], L"--blocks"))
            blocks = _wtoi(argv[i + 1]);
        else if (!wcscmp(argv[i], L"--files"))
            files = _wtoi(argv[i + 1]);
    }
    Vault vault;
    if (!MakeVault(vault)) {
        printf("storebench: the vault's keys could not be made\n");
        return 1;
    }
    printf("storebench: %d blocks of 16 KiB per case, %d stored files; heap imports hooked: %d\n", blocks, files,
           hooks ? HookAllModules() : 0);
    fflush(stdout);
    BlockHandlers(vault, blocks);
    FolderLookup(vault, files);
    DropVault(vault);
    return 0;
}
