// The by-hand soak (not part of the test command): a real agent served by
// the driver simulator for a set time while five workers write, read back,
// rename and delete files on two vaults, and a companion logs the vaults
// out and in, removes and re-adds one, and a drive goes away and comes
// back. It prints the agent's handle count and private bytes each minute
// and, at the end, reads back every file written while its vault was
// logged in. Exit 0 when every file read back intact and both figures
// ended within their bounds of the first minute's.
//
//   scripts/winerun build/bin/soak.exe [--minutes 10]
#include <windows.h>
#include <dbt.h>
#include <wincrypt.h>
#include <winternl.h>

#include <atomic>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <shared_mutex>
#include <string>
#include <thread>
#include <vector>

#include "AgentHarness.h"
#include "CompanionSession.h"
#include "DriverSim.h"
#include "VaultFiles.h"

using namespace harness;
using driversim::FileError;
using driversim::FileResult;
using driversim::VaultFiles;

namespace {

const std::wstring kRoot = L"C:\\VuzSoak";
const DWORD kWorkers = 5;
const size_t kFilesPerWorker = 40;            // no new file beyond this; the oldest are deleted
const DWORD kHandleBound = 16;                // handles other than registry keys, more than after minute one
// Wine's provider keeps a registry key open for every context acquired on a
// named container, released or not (measured at the start): a login
// acquires one context, a re-added vault two. Registry keys may grow by
// that and this much.
const DWORD kKeyHandleSlack = 16;
const unsigned long long kPrivateBoundKiB = 24 * 1024;   // private KiB more than after the first minute

struct Vault {
    VaultRecordValues record;
    std::shared_mutex inUse;                  // workers shared; logout and removal exclusive
};

struct Written {
    std::wstring path;
    unsigned seed;
    size_t size;
};

std::atomic<bool> g_stop{false};
DWORD g_agentPid;
bool g_stepFigures;   // --steps: the agent's handle count after each companion step
std::atomic<long> g_operations{0}, g_refusedWhileOut{0}, g_mismatches{0};
std::mutex g_errorsLock;
std::map<std::string, long> g_errors;

void CountError(const std::string& what)
{
    std::lock_guard<std::mutex> lock(g_errorsLock);
    g_errors[what]++;
}

// The whole content back, compared with what was written.
bool ReadsBack(VaultFiles& files, const Written& w, std::string* pWhy)
{
    std::unique_ptr<VaultFiles::File> file;
    FileResult r = files.Open(w.path, &file);
    if (!r) {
        *pWhy = std::string("open: ") + driversim::FileErrorName(r.error);
        return false;
    }
    std::vector<uint8_t> got(w.size + 1);
    size_t cb = 0;
    r = file->Read(0, got.data(), got.size(), &cb);
    file->Close();
    got.resize(cb);
    if (!r || got != Pattern(w.size, w.seed)) {
        *pWhy = r ? "content differs" : std::string("read: ") + driversim::FileErrorName(r.error);
        return false;
    }
    return true;
}

void Worker(driversim::DriverSim& sim, Vault* vaults, DWORD id, std::vector<Written>* pWritten)
{
    VaultFiles files(sim);
    std::mt19937 random(id * 7919u + 1);
    unsigned serial = 0;
    while (!g_stop) {
        Vault& vault = vaults[random() % 2];
        std::shared_lock<std::shared_mutex> held(vault.inUse, std::try_to_lock);
        if (!held.owns_lock()) {
            // Out or being removed: a new file must be refused, not half made.
            std::unique_ptr<VaultFiles::File> file;
            if (!files.Create(vault.record.path + L"\\refused.bin", &file))
                g_refusedWhileOut++;
            Sleep(5);
            continue;
        }
        const unsigned action = random() % 10;
        std::string why;
        if ((action < 5 && pWritten->size() < kFilesPerWorker) || pWritten->empty()) {
            Written w{vault.record.path + L"\\w" + std::to_wstring(id) + L"-" + std::to_wstring(serial++) + L".bin",
                      static_cast<unsigned>(random()), static_cast<size_t>(random() % (160 * 1024))};
            std::unique_ptr<VaultFiles::File> file;
            FileResult r = files.Create(w.path, &file);
            const std::vector<uint8_t> bytes = Pattern(w.size, w.seed);
            if (r)
                r = file->Write(0, bytes.data(), bytes.size());
            if (r)
                r = file->Close();
            if (r)
                pWritten->push_back(w);
            else
                CountError(std::string("write: ") + driversim::FileErrorName(r.error) + " " + r.text);
        } else if (action < 8) {
            const Written& w = (*pWritten)[random() % pWritten->size()];
            if (w.path.rfind(vault.record.path + L"\\", 0) == 0 && !ReadsBack(files, w, &why)) {
                g_mismatches++;
                CountError("read back: " + why);
            }
        } else if (action < 9) {
            Written& w = (*pWritten)[random() % pWritten->size()];
            if (w.path.rfind(vault.record.path + L"\\", 0) == 0) {
                const std::wstring to = w.path + L"r";
                FileResult r = files.Rename(w.path, to);
                if (r)
                    w.path = to;
                else
                    CountError(std::string("rename: ") + driversim::FileErrorName(r.error));
            }
        }
        if (pWritten->size() >= kFilesPerWorker) {
            const Written& oldest = pWritten->front();
            if (oldest.path.rfind(vault.record.path + L"\\", 0) == 0) {
                FileResult r = files.Delete(oldest.path);
                if (!r)
                    CountError(std::string("delete: ") + driversim::FileErrorName(r.error) + " " + r.text);
                pWritten->erase(pWritten->begin());
            }
        }
        g_operations++;
    }
}

struct Figures {
    ULONG handles = 0;
    ULONG keyHandles = 0;                // of those, registry keys
    unsigned long long privateKiB = 0;   // anonymous resident memory of the process
    unsigned long long dataKiB = 0;      // its private writable mappings
};

// The handles of a process, as the system's handle list counts them, by type.
std::map<int, ULONG> HandleTypes(DWORD pid)
{
    struct Entry { ULONG pid; BYTE type, flags; USHORT handle; PVOID object; ACCESS_MASK access; };
    std::vector<BYTE> buffer(1 << 20);
    ULONG cb = 0;
    NTSTATUS status;
    std::map<int, ULONG> types;
    while ((status = NtQuerySystemInformation(static_cast<SYSTEM_INFORMATION_CLASS>(16), buffer.data(),
                                              static_cast<ULONG>(buffer.size()), &cb)) == (NTSTATUS)0xC0000004)
        buffer.resize(buffer.size() * 2);
    if (status != 0)
        return types;
    const ULONG count = *reinterpret_cast<ULONG*>(buffer.data());
    const Entry* entries = reinterpret_cast<const Entry*>(buffer.data() + sizeof(ULONG_PTR));
    for (ULONG i = 0; i < count; i++)
        if (entries[i].pid == pid)
            types[entries[i].type]++;
    return types;
}

// The type number of registry keys: the one that grows when this process opens one.
int KeyHandleType()
{
    std::map<int, ULONG> before = HandleTypes(GetCurrentProcessId());
    HKEY hKey = nullptr;
    RegOpenKeyExW(HKEY_CURRENT_USER, L"Software", 0, KEY_READ, &hKey);
    std::map<int, ULONG> after = HandleTypes(GetCurrentProcessId());
    RegCloseKey(hKey);
    for (const auto& [type, n] : after)
        if (n > before[type])
            return type;
    return -1;
}

// The Linux process that runs the agent: Wine shows no private bytes of
// another process, so its memory is read where Linux keeps it. Only an
// agent of this prefix: another checkout's may run at the same time.
std::wstring AgentProcFolder()
{
    WIN32_FIND_DATAW entry;
    char szPrefix[MAX_PATH] = "";
    GetEnvironmentVariableA("WINEPREFIX", szPrefix, MAX_PATH);
    const std::string prefix = std::string("WINEPREFIX=") + szPrefix + '\0';
    HANDLE hFind = FindFirstFileW(L"Z:\\proc\\*", &entry);
    std::wstring found;
    if (hFind == INVALID_HANDLE_VALUE)
        return found;
    do {
        if (entry.cFileName[0] < L'0' || entry.cFileName[0] > L'9')
            continue;
        const std::wstring folder = std::wstring(L"Z:\\proc\\") + entry.cFileName;
        if (ReadFileText(folder + L"\\cmdline").find("VuvUDOVU.exe") != std::string::npos &&
            ReadFileText(folder + L"\\environ").find(prefix) != std::string::npos) {
            found = folder;
            break;
        }
    } while (FindNextFileW(hFind, &entry));
    FindClose(hFind);
    return found;
}

unsigned long long StatusKiB(const std::string& status, const char* field)
{
    const size_t at = status.find(field);
    return at == std::string::npos ? 0 : strtoull(status.c_str() + at + strlen(field), nullptr, 10);
}

int g_keyType = -1;

// Registry keys that a context on a named container leaves open here once
// acquired and released: the provider's own, outside the agent.
long KeysLeftByAContext()
{
    const DWORD self = GetCurrentProcessId();
    const ULONG before = HandleTypes(self)[g_keyType];
    for (int i = 0; i < 4; i++) {
        HCRYPTPROV hProv = 0;
        if (CryptAcquireContextW(&hProv, L"VuzSoak", nullptr, PROV_RSA_FULL, 0))
            CryptReleaseContext(hProv, 0);
    }
    return (static_cast<long>(HandleTypes(self)[g_keyType]) - static_cast<long>(before)) / 4;
}

Figures Measure(DWORD pid, const std::wstring& procFolder)
{
    Figures f;
    for (const auto& [type, n] : HandleTypes(pid)) {
        f.handles += n;
        if (type == g_keyType)
            f.keyHandles += n;
    }
    const std::string status = ReadFileText(procFolder + L"\\status");
    f.privateKiB = StatusKiB(status, "RssAnon:");
    f.dataKiB = StatusKiB(status, "VmData:");
    return f;
}

std::vector<BYTE> StoredKey(const std::wstring& subkey)
{
    std::vector<BYTE> key(600);
    DWORD cb = static_cast<DWORD>(key.size());
    const std::wstring path = L"Software\\Revedi Zadoder Avir.\\Vuzaziz\\Vaults\\" + subkey;
    if (RegGetValueW(HKEY_CURRENT_USER, path.c_str(), L"Key", RRF_RT_REG_BINARY, nullptr, key.data(), &cb) !=
        ERROR_SUCCESS)
        return {};
    key.resize(cb);
    return key;
}

void UnplugAndReplug(driversim::DriverSim& sim, wchar_t letter)
{
    DEV_BROADCAST_VOLUME volume{sizeof(volume), DBT_DEVTYP_VOLUME, 0, 1u << (letter - L'A'), 0};
    DWORD_PTR ignored;
    SendMessageTimeoutW(FindControlWindow(5000), WM_DEVICECHANGE, DBT_DEVICEREMOVECOMPLETE,
                        reinterpret_cast<LPARAM>(&volume), SMTO_NORMAL, 10000, &ignored);
    wchar_t target[MAX_PATH] = {};
    QueryDosDeviceW(L"C:", target, MAX_PATH);
    Notification n = MakeNotification(GetOldDriveName);
    wcscpy_s(n.Volume, target);
    std::vector<uint8_t> reply;
    if (!sim.Request(n, &reply, 10000))
        CountError("replug: no reply");
}

// A person at the screen: every box the agent shows is read and closed.
void BoxWatcher()
{
    while (!g_stop) {
        HWND hBox = FindWindowW(L"#32770", nullptr);
        if (hBox != nullptr) {
            std::wstring text = WindowTitle(hBox) + L": " + MessageBoxText(hBox);
            CountError("box " + Narrow(text));
            DismissMessageBox(hBox);
        }
        Sleep(100);
    }
}

void StepDone(const char* pszStep)
{
    if (g_stepFigures) {
        const Figures f = Measure(g_agentPid, L"");
        printf("  after %-8s %lu handles, %lu of them registry keys\n", pszStep, f.handles, f.keyHandles);
    }
}

// Logs one vault out and in, removes and re-adds the other, and unplugs and
// replugs a drive, until the time is up.
void Companion(driversim::DriverSim& sim, Vault* vaults, std::atomic<long>* pCycles)
{
    while (!g_stop) {
        {
            std::unique_lock<std::shared_mutex> out(vaults[0].inUse);
            LogoutVault(vaults[0].record.path);
            StepDone("logout");
            Sleep(1500);
            const long login = LoginVault(vaults[0].record.path);
            if (login != 1)
                CountError("login answered " + std::to_string(login));
        }
        StepDone("login");
        Sleep(3000);
        {
            std::unique_lock<std::shared_mutex> out(vaults[1].inUse);
            const std::vector<BYTE> key = StoredKey(vaults[1].record.subkey);
            DisconnectVault(vaults[1].record.path);
            Sleep(1500);
            StepDone("removal");
            if (CreateVault(vaults[1].record, false, key) != 1)
                CountError("re-add refused");
        }
        StepDone("re-add");
        UnplugAndReplug(sim, vaults[1].record.subkey[0]);
        StepDone("replug");
        (*pCycles)++;
        for (int i = 0; i < 30 && !g_stop; i++)
            Sleep(100);
    }
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    double minutes = 10;
    DWORD workers = kWorkers;
    for (int i = 1; i < argc; i++) {
        if (wcscmp(argv[i], L"--minutes") == 0 && i + 1 < argc)
            minutes = _wtof(argv[i + 1]);
        if (wcscmp(argv[i], L"--steps") == 0)
            g_stepFigures = true, workers = 0;
    }

    SetLevels(0, 0);
    DeleteVaultRecords();
    CreateDirectoryW(kRoot.c_str(), nullptr);
    Vault vaults[2];
    const wchar_t* names[2] = {L"S", L"T"};
    for (int i = 0; i < 2; i++) {
        const std::wstring folder = kRoot + L"\\" + names[i];
        CreateDirectoryW(folder.c_str(), nullptr);
        // One container: removing one vault keeps the other's, so the
        // removed vault comes back with its stored key.
        vaults[i].record = {names[i], folder, std::wstring(L"Soak ") + names[i], L"VuzSoak", L"", 0};
    }

    driversim::DriverSim sim;
    AgentProcess agent;
    if (!sim.Load() || !agent.Start() || !sim.WaitForAgent(20000)) {
        fprintf(stderr, "soak: no agent served the simulator\n");
        return 2;
    }
    std::vector<uint8_t> reply;
    sim.Request(MakeNotification(DeviceUnpluggedNotice), &reply, 20000);
    // As a companion makes a vault: the record first, then the agent is told.
    for (Vault& v : vaults)
        if (WriteVaultRecord(v.record), CreateVault(v.record, true) != 1) {
            fprintf(stderr, "soak: vault %ls not created\n", v.record.subkey.c_str());
            return 2;
        }
    const std::wstring procFolder = AgentProcFolder();

    std::vector<std::vector<Written>> written(kWorkers);
    std::vector<std::thread> threads;
    std::atomic<long> cycles{0};
    g_agentPid = agent.Pid();
    g_keyType = KeyHandleType();
    const long keysPerContext = KeysLeftByAContext();
    printf("the provider leaves %ld registry key(s) open for each context acquired and released\n", keysPerContext);
    for (DWORD i = 0; i < workers; i++)
        threads.emplace_back(Worker, std::ref(sim), vaults, i, &written[i]);
    threads.emplace_back(Companion, std::ref(sim), vaults, &cycles);
    threads.emplace_back(BoxWatcher);

    const ULONGLONG start = GetTickCount64();
    const ULONGLONG total = static_cast<ULONGLONG>(minutes * 60000);
    Figures first, last;
    long firstCycles = 0;
    printf("minute  operations  cycles  handles  (registry keys)  private KiB  data KiB\n");
    for (int minute = 1; GetTickCount64() - start < total; minute++) {
        const ULONGLONG until = start + std::min<ULONGLONG>(total, minute * 60000ull);
        while (GetTickCount64() < until && agent.Running())
            Sleep(200);
        last = Measure(agent.Pid(), procFolder);
        if (minute == 1) {
            first = last;
            firstCycles = cycles.load();
        }
        printf("%6d  %10ld  %6ld  %7lu  %15lu  %11llu  %8llu\n", minute, g_operations.load(), cycles.load(),
               last.handles, last.keyHandles, last.privateKiB, last.dataKiB);
        fflush(stdout);
        if (!agent.Running())
            break;
    }
    g_stop = true;
    for (auto& t : threads)
        t.join();
    last = Measure(agent.Pid(), procFolder);

    // Every file kept, read back with both vaults logged in.
    VaultFiles files(sim);
    long verified = 0;
    for (const auto& list : written)
        for (const Written& w : list) {
            std::string why;
            if (ReadsBack(files, w, &why))
                verified++;
            else {
                g_mismatches++;
                CountError("final read back: " + why);
            }
        }

    const bool alive = agent.Running();
    const long long handleDelta = (static_cast<long long>(last.handles) - last.keyHandles) -
                                  (static_cast<long long>(first.handles) - first.keyHandles);
    const long long keyDelta = static_cast<long long>(last.keyHandles) - first.keyHandles;
    // Contexts acquired since minute one: a login each cycle, two per re-add.
    const long long keyBound = 3 * keysPerContext * (cycles.load() - firstCycles) + kKeyHandleSlack;
    const long long privateDelta = static_cast<long long>(last.privateKiB) - static_cast<long long>(first.privateKiB);
    printf("\nagent running at the end: %s\n", alive ? "yes" : "NO");
    printf("operations %ld, companion cycles %ld, refusals while out %ld\n", g_operations.load(), cycles.load(),
           g_refusedWhileOut.load());
    printf("files read back intact at the end: %ld, mismatches during and after: %ld\n", verified,
           g_mismatches.load());
    printf("handles other than registry keys: %lu after the first minute, %lu at the end (%+lld, bound %lu)\n",
           first.handles - first.keyHandles, last.handles - last.keyHandles, handleDelta, kHandleBound);
    printf("registry key handles: %lu after the first minute, %lu at the end (%+lld, bound %lld for the provider's "
           "contexts since)\n", first.keyHandles, last.keyHandles, keyDelta, keyBound);
    printf("private bytes: %llu KiB after the first minute, %llu KiB at the end (%+lld KiB, bound %llu KiB)\n",
           first.privateKiB, last.privateKiB, privateDelta, kPrivateBoundKiB);
    printf("private writable mappings: %llu KiB after the first minute, %llu KiB at the end\n", first.dataKiB,
           last.dataKiB);
    for (const auto& [what, count] : g_errors)
        printf("  %ld x %s\n", count, what.c_str());

    StopAgent(agent);
    DeleteVaultRecords();
    for (const wchar_t* letter : {L"S:", L"T:"})
        DefineDosDeviceW(DDD_REMOVE_DEFINITION, letter, nullptr);
    const bool ok = alive && g_mismatches == 0 && first.handles > 0 && first.privateKiB > 0 &&
                    handleDelta <= kHandleBound && keyDelta <= keyBound &&
                    privateDelta <= static_cast<long long>(kPrivateBoundKiB);
    printf("%s\n", ok ? "soak passed" : "soak FAILED");
    return ok ? 0 : 1;
}
