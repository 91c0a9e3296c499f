// The block path through the port: a large file written and read through
// the driver simulator's file operations (EncryptBlock and GetNormalBuffer
// requests of 16 KiB, five outstanding, served by a real agent), against the
// same bytes transformed in this process by the bare provider loop on two
// threads (key duplication, ECB mode, encryption), measured in the same run.
// Port and bare rounds alternate and each row keeps its best, so that other
// work on a shared machine weighs on both rows alike.
//
//   portblockbench [--mib N] [--rounds R]   file size in MiB (default 32), rounds (default 3)
#include <windows.h>
#include <wincrypt.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cwchar>
#include <string>
#include <thread>
#include <vector>

#include "DriverSim.h"
#include "QuietAgent.h"
#include "VaultFiles.h"

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

std::wstring ExeDir()
{
    wchar_t path[MAX_PATH];
    DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring dir(path, n);
    return dir.substr(0, dir.find_last_of(L'\\'));
}

// Runs a program beside this one and returns its exit code (-1 when it did not end).
long Run(const std::wstring& program, const std::wstring& arguments, PROCESS_INFORMATION* pKeep = nullptr)
{
    std::wstring cmd = L"\"" + ExeDir() + L"\\" + program + L"\" " + arguments;
    STARTUPINFOW si{sizeof(si)};
    PROCESS_INFORMATION pi{};
    if (!CreateProcessW(nullptr, cmd.data(), nullptr, nullptr, FALSE, 0, nullptr, ExeDir().c_str(), &si, &pi))
        return -1;
    if (pKeep) {
        *pKeep = pi;
        return 0;
    }
    DWORD code = (DWORD)-1;
    if (WaitForSingleObject(pi.hProcess, 120000) == WAIT_OBJECT_0)
        GetExitCodeProcess(pi.hProcess, &code);
    CloseHandle(pi.hProcess);
    CloseHandle(pi.hThread);
    return (long)code;
}

// The bare loop on two threads over `bytes` bytes in 16 KiB blocks.
double BareTwoThreads(size_t bytes, bool encrypt)
{
    HCRYPTPROV hProv = 0;
    CryptAcquireContextW(&hProv, nullptr, L"Microsoft Strong Cryptographic Provider", PROV_RSA_FULL,
                         CRYPT_VERIFYCONTEXT);
    HCRYPTKEY hKey = 0;
    CryptGenKey(hProv, CALG_3DES, CRYPT_EXPORTABLE, &hKey);
    const size_t blocks = bytes / 16384;
    auto start = Clock::now();
    std::vector<std::thread> threads;
    for (int t = 0; t < 2; t++) {
        threads.emplace_back([&, t] {
            std::vector<BYTE> data(16384, BYTE(t));
            for (size_t i = t; i < blocks; i += 2) {
                HCRYPTKEY hDup = 0;
                DWORD mode = CRYPT_MODE_ECB, cb = 16384;
                CryptDuplicateKey(hKey, nullptr, 0, &hDup);
                CryptSetKeyParam(hDup, KP_MODE, reinterpret_cast<BYTE*>(&mode), 0);
                if (encrypt)
                    CryptEncrypt(hDup, 0, FALSE, 0, data.data(), &cb, cb);
                else
                    CryptDecrypt(hDup, 0, FALSE, 0, data.data(), &cb);
                CryptDestroyKey(hDup);
            }
        });
    }
    for (auto& t : threads)
        t.join();
    const double mbps = bytes / Seconds(start) / 1e6;
    CryptDestroyKey(hKey);
    CryptReleaseContext(hProv, 0);
    return mbps;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    size_t mib = 32;
    int rounds = 3;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (!wcscmp(argv[i], L"--mib"))
            mib = _wtoi(argv[i + 1]);
        else if (!wcscmp(argv[i], L"--rounds"))
            rounds = std::max(1, _wtoi(argv[i + 1]));
    }
    const size_t bytes = mib << 20;
    const std::wstring folder = L"C:\\VuzPortBench" + std::to_wstring(GetCurrentProcessId());

    driversim::DriverSim sim;
    if (!sim.Load()) {
        printf("portblockbench: the port is hosted already (stop other simulators)\n");
        return 1;
    }
    QuietAgentLevels quiet;
    PROCESS_INFORMATION agent{};
    if (Run(L"VuvUDOVU.exe", L"", &agent) != 0 || !sim.WaitForAgent(30000)) {
        printf("portblockbench: the agent did not connect\n");
        return 1;
    }
    if (Run(L"vaultctl.exe", L"--timeout 60 create Q: --path " + folder + L" --force") != 0) {
        printf("portblockbench: the vault could not be created\n");
        return 1;
    }
    driversim::VaultFiles files(sim);
    std::unique_ptr<driversim::VaultFiles::File> file;
    std::vector<uint8_t> data(bytes);
    for (size_t i = 0; i < bytes; i++)
        data[i] = static_cast<uint8_t>(i * 131 + (i >> 12));
    const size_t chunk = 1 << 20;
    int failed = 0;

    driversim::FileResult r;
    double written = 0, read = 0, bareEncrypt = 0, bareDecrypt = 0;
    std::vector<uint8_t> back(bytes);
    for (int round = 0; round < rounds && !failed; round++) {
        auto start = Clock::now();
        r = files.Create(folder + L"\\bench.bin", &file);
        for (size_t off = 0; r && off < bytes; off += chunk)
            r = file->Write(off, data.data() + off, chunk);
        written = std::max(written, bytes / Seconds(start) / 1e6);
        failed += !r;
        start = Clock::now();
        size_t got = 0;
        for (size_t off = 0; r && off < bytes; off += chunk)
            r = file->Read(off, back.data() + off, chunk, &got);
        read = std::max(read, bytes / Seconds(start) / 1e6);
        failed += !r || back != data;
        if (file)
            file->Close();
        file.reset();
        files.Delete(folder + L"\\bench.bin");
        bareEncrypt = std::max(bareEncrypt, BareTwoThreads(bytes, true));
        bareDecrypt = std::max(bareDecrypt, BareTwoThreads(bytes, false));
    }
    printf("portblockbench: %zu MiB through the port (16 KiB blocks, up to %zu requests outstanding), best of %d "
           "rounds%s\n", mib, driversim::VaultFiles::kInFlight, rounds, failed ? " -- FAILED: " : "");
    if (failed)
        printf("  %s\n", r.text.c_str());
    printf("  write: port %.2f MB/s, bare loop on two threads %.2f MB/s, ratio %.3f\n", written, bareEncrypt,
           written / bareEncrypt);
    printf("  read:  port %.2f MB/s, bare loop on two threads %.2f MB/s, ratio %.3f\n", read, bareDecrypt,
           read / bareDecrypt);

    Run(L"vaultctl.exe", L"disconnect " + folder);
    RegDeleteKeyW(HKEY_CURRENT_USER, L"Software\\Revedi Zadoder Avir.\\Vuzaziz\\Vaults\\Q");
    Run(L"vaultctl.exe", L"quit");
    RemoveDirectoryW(folder.c_str());
    CloseHandle(agent.hProcess);
    CloseHandle(agent.hThread);
    return failed;
}
