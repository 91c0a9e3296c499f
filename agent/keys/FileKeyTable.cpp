// The table of file keys handed to the driver.
//
// Values come from a 32-bit sequence that starts at a random point in each
// process, so a value that a driver kept from an earlier agent names no key
// of this one (short of 2^32 hand-outs), and a value the driver released
// long ago does not name a key handed out since: every lookup compares the
// whole value. The table is an open-addressing hash on the value, doubled
// when half full; it has no fixed cap, because a driver that never hands
// back the keys of replies it lost would otherwise stop all new files in a
// long session. What bounds it is memory: 16 bytes an entry beside the
// provider's own key object, so the provider runs out first.
//
// Block requests hold the table shared while they use a key; handing out
// and releasing hold it exclusive, so a key is never destroyed while a
// block request is using it.
#include <windows.h>
#include <wincrypt.h>

#include "diag/Diag.h"
#include "keys/Crypt.h"
#include "keys/FileKeyTable.h"

#define FIRST_CAPACITY 1024

// RtlGenRandom, exported by advapi32 under this name.
extern "C" BOOLEAN WINAPI SystemFunction036(PVOID pvBuffer, ULONG cbBuffer);

typedef struct _FILE_KEY_ENTRY {
    ULONG     ulValue;   // 0: empty
    HCRYPTKEY hKey;
} FILE_KEY_ENTRY;

static SRWLOCK         g_srwFileKeys = SRWLOCK_INIT;
static FILE_KEY_ENTRY* g_pEntries;
static DWORD           g_dwCapacity;   // a power of two
static DWORD           g_dwCount;
static ULONG           g_ulNextValue;
static BOOL            g_bSeeded;

static DWORD HomeOf(ULONG ulValue, DWORD dwCapacity)
{
    // The values are consecutive, so their low bits spread them already.
    return ulValue & (dwCapacity - 1);
}

static FILE_KEY_ENTRY* EntryOf(ULONG ulValue)
{
    if (ulValue == 0 || g_pEntries == NULL)
        return NULL;
    for (DWORD i = HomeOf(ulValue, g_dwCapacity);; i = (i + 1) & (g_dwCapacity - 1)) {
        if (g_pEntries[i].ulValue == ulValue)
            return &g_pEntries[i];
        if (g_pEntries[i].ulValue == 0)
            return NULL;
    }
}

static void Place(FILE_KEY_ENTRY* pEntries, DWORD dwCapacity, ULONG ulValue, HCRYPTKEY hKey)
{
    DWORD i = HomeOf(ulValue, dwCapacity);

    while (pEntries[i].ulValue != 0)
        i = (i + 1) & (dwCapacity - 1);
    pEntries[i].ulValue = ulValue;
    pEntries[i].hKey = hKey;
}

// Room for one more entry with the table at most half full.
static BOOL MakeRoom(void)
{
    DWORD dwCapacity;
    FILE_KEY_ENTRY* pEntries;

    if (g_pEntries != NULL && (g_dwCount + 1) * 2 <= g_dwCapacity)
        return TRUE;
    dwCapacity = g_pEntries == NULL ? FIRST_CAPACITY : g_dwCapacity * 2;
    if (dwCapacity == 0)
        return FALSE;
    pEntries = (FILE_KEY_ENTRY*)HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(FILE_KEY_ENTRY) * (SIZE_T)dwCapacity);
    if (pEntries == NULL)
        return FALSE;
    for (DWORD i = 0; i < g_dwCapacity; i++)
        if (g_pEntries[i].ulValue != 0)
            Place(pEntries, dwCapacity, g_pEntries[i].ulValue, g_pEntries[i].hKey);
    if (g_pEntries != NULL)
        HeapFree(GetProcessHeap(), 0, g_pEntries);
    g_pEntries = pEntries;
    g_dwCapacity = dwCapacity;
    return TRUE;
}

// The sequence's starting point: random, or as unlike another process's as
// the clock and the process id make it when no random bytes can be had.
static void Seed(void)
{
    LARGE_INTEGER liNow;

    if (!SystemFunction036(&g_ulNextValue, sizeof(g_ulNextValue))) {
        QueryPerformanceCounter(&liNow);
        g_ulNextValue = (ULONG)(liNow.QuadPart * 2654435761u) ^ (GetCurrentProcessId() << 16);
    }
    g_bSeeded = TRUE;
}

static ULONG NextFreeValue(void)
{
    ULONG ulValue;

    do {
        ulValue = g_ulNextValue++;
    } while (ulValue == 0 || EntryOf(ulValue) != NULL);
    return ulValue;
}

// Backward-shift removal: the entries after the hole that belong before it
// move up, so every lookup still meets its entry before an empty one.
static void RemoveEntry(FILE_KEY_ENTRY* pEntry)
{
    DWORD dwMask = g_dwCapacity - 1;
    DWORD dwHole = (DWORD)(pEntry - g_pEntries);
    DWORD j = dwHole;

    for (;;) {
        DWORD dwHome;
        j = (j + 1) & dwMask;
        if (g_pEntries[j].ulValue == 0)
            break;
        dwHome = HomeOf(g_pEntries[j].ulValue, g_dwCapacity);
        // Moves when its home does not lie cyclically in (hole, j].
        if (((j - dwHome) & dwMask) >= ((j - dwHole) & dwMask)) {
            g_pEntries[dwHole] = g_pEntries[j];
            dwHole = j;
        }
    }
    g_pEntries[dwHole].ulValue = 0;
    g_pEntries[dwHole].hKey = 0;
    g_dwCount--;
}

ULONG HandOutFileKey(HCRYPTKEY hKey)
{
    ULONG ulValue = 0;

    AcquireSRWLockExclusive(&g_srwFileKeys);
    if (!g_bSeeded)
        Seed();
    if (MakeRoom()) {
        ulValue = NextFreeValue();
        Place(g_pEntries, g_dwCapacity, ulValue, hKey);
        g_dwCount++;
    }
    ReleaseSRWLockExclusive(&g_srwFileKeys);
    if (ulValue == 0)
        CryptDestroyKey(hKey);
    return ulValue;
}

GUARDED_BODY static DWORD TransformHeld(ULONG ulValue, BYTE* pbData, DWORD* pcbData, BOOL bEncrypt)
{
    FILE_KEY_ENTRY* pEntry = EntryOf(ulValue);

    if (pEntry == NULL)
        return ERROR_INVALID_HANDLE;
    if (bEncrypt)
        return EncryptBuffer(pEntry->hKey, pbData, *pcbData);
    return DecryptBuffer(pEntry->hKey, pbData, pcbData);
}

DWORD TransformWithFileKey(ULONG ulValue, BYTE* pbData, DWORD* pcbData, BOOL bEncrypt)
{
    DWORD dwResult = ERROR_INVALID_HANDLE;

    AcquireSRWLockShared(&g_srwFileKeys);
    // A fault while a key is in use still gives the table back: every later
    // hand-out and release would wait for it otherwise.
    __try {
        dwResult = TransformHeld(ulValue, pbData, pcbData, bEncrypt);
    } __finally {
        ReleaseSRWLockShared(&g_srwFileKeys);
    }
    return dwResult;
}

BOOL ReleaseFileKey(ULONG ulValue, BOOL* pbDestroyed)
{
    FILE_KEY_ENTRY* pEntry;
    HCRYPTKEY hKey = 0;

    *pbDestroyed = FALSE;
    AcquireSRWLockExclusive(&g_srwFileKeys);
    pEntry = EntryOf(ulValue);
    if (pEntry != NULL) {
        hKey = pEntry->hKey;
        RemoveEntry(pEntry);
    }
    ReleaseSRWLockExclusive(&g_srwFileKeys);
    if (hKey == 0)
        return FALSE;
    *pbDestroyed = CryptDestroyKey(hKey);
    return TRUE;
}
