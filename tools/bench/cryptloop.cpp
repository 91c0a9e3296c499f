// The bare provider loop under the block path: what EncryptBlock costs
// without the port, the agent or the file store. Per 16 KiB block, as the
// agent does it: CryptDuplicateKey, KP_MODE = ECB on the duplicate,
// CryptEncrypt without padding, CryptDestroyKey; with one thread and with
// one per processor. Prints MB/s (10^6 bytes) per line, for scripts/mountbench.
//
//   cryptloop [--mib N]        N MiB per case (default 64)
#include <windows.h>
#include <wincrypt.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cwchar>
#include <thread>
#include <vector>

namespace {

constexpr DWORD kBlock = 16384;

// Encrypts `blocks` blocks; false on the first failed call.
bool Loop(HCRYPTKEY hKey, size_t blocks)
{
    std::vector<BYTE> data(kBlock, 0x5A);
    for (size_t i = 0; i < blocks; i++) {
        HCRYPTKEY hDup = 0;
        DWORD mode = CRYPT_MODE_ECB, cb = kBlock;
        bool ok = CryptDuplicateKey(hKey, NULL, 0, &hDup) &&
                  CryptSetKeyParam(hDup, KP_MODE, reinterpret_cast<BYTE*>(&mode), 0) &&
                  CryptEncrypt(hDup, 0, FALSE, 0, data.data(), &cb, kBlock);
        if (hDup != 0)
            CryptDestroyKey(hDup);
        if (!ok)
            return false;
    }
    return true;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    size_t mib = 64;
    if (argc == 3 && wcscmp(argv[1], L"--mib") == 0 && _wtoi(argv[2]) > 0)
        mib = (size_t)_wtoi(argv[2]);
    else if (argc != 1) {
        fprintf(stderr, "usage: cryptloop [--mib N]\n");
        return 2;
    }
    HCRYPTPROV hProv = 0;
    HCRYPTKEY hKey = 0;
    if (!CryptAcquireContextW(&hProv, NULL, MS_STRONG_PROV_W, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT) ||
        !CryptGenKey(hProv, CALG_3DES, 0, &hKey)) {
        fprintf(stderr, "cryptloop: no 3DES key from the provider (error %lu)\n", GetLastError());
        return 1;
    }
    SYSTEM_INFO si;
    GetSystemInfo(&si);
    const size_t blocks = mib * 1048576 / kBlock;
    for (unsigned threads : {1u, (unsigned)si.dwNumberOfProcessors}) {
        std::atomic<bool> ok{true};
        auto start = std::chrono::steady_clock::now();
        std::vector<std::thread> loops;
        for (unsigned t = 0; t < threads; t++)
            loops.emplace_back([&] { ok = Loop(hKey, blocks / threads) && ok; });
        for (std::thread& l : loops)
            l.join();
        double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (!ok) {
            fprintf(stderr, "cryptloop: a provider call failed (error %lu)\n", GetLastError());
            return 1;
        }
        printf("provider loop, %u thread%s: %.1f MB/s\n", threads, threads == 1 ? "" : "s",
               (double)(blocks / threads * threads) * kBlock / seconds / 1e6);
        if (si.dwNumberOfProcessors == 1)
            break;
    }
    CryptDestroyKey(hKey);
    CryptReleaseContext(hProv, 0);
    return 0;
}
