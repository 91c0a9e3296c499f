// The vault cache.
//
// Workers look records up while the main thread inserts and removes them:
// a slim reader-writer lock guards the list (lookups and walks shared,
// structural changes exclusive). Removed records are unlinked but never
// freed, so a record pointer that a lookup returned stays valid whatever
// happens to the list afterwards; a user has at most 26 vaults, so only a
// few dozen records can ever exist.
#include <windows.h>
#include <wincrypt.h>
#include <strsafe.h>

#include "diag/Diag.h"
#include "keys/Crypt.h"
#include "vaults/VaultCache.h"

// Room for a thousand records at once; the heap grows beyond that if it must.
#define VAULT_HEAP_INITIAL_BYTES 2908000
#define MATCH_CHARS (VAULT_STRING_CHARS + 1)

static SRWLOCK          g_srwVaultCache = SRWLOCK_INIT;
static VaultCacheEntry* g_pVaultHead;
static VaultCacheEntry* g_pVaultTail;
static HANDLE           g_hVaultHeap;

// s1 = vault folder + "\", s2 = path + "\"; a match when s2 begins with s1,
// case ignored. The backslash keeps C:\Vault1 from matching C:\Vault10.
static BOOL MatchVaultPath(LPCWSTR pwszVaultPath, LPCWSTR pwszPath, BOOL bLog)
{
    WCHAR wszS1[MATCH_CHARS];
    WCHAR wszS2[MATCH_CHARS];

    if (FAILED(StringCchPrintfW(wszS1, MATCH_CHARS, L"%ws\\", pwszVaultPath)) ||
        FAILED(StringCchPrintfW(wszS2, MATCH_CHARS, L"%ws\\", pwszPath)))
        return FALSE;
    if (bLog) {
        WriteLog("Path in cache %ws ", pwszVaultPath);
        WriteLog("s1 %ws", wszS1);
        WriteLog("s2 %ws", wszS2);
    }
    return _wcsnicmp(wszS1, wszS2, wcslen(wszS1)) == 0;
}

BOOL VaultPathMatches(LPCWSTR pwszVaultPath, LPCWSTR pwszPath)
{
    return MatchVaultPath(pwszVaultPath, pwszPath, FALSE);
}

// The first match, under the shared lock; the lock is given back on every path.
GUARDED_BODY static VaultCacheEntry* FindFirstMatch(LPCWSTR pwszPath, BOOL bLog)
{
    VaultCacheEntry* pFound = NULL;

    AcquireSRWLockShared(&g_srwVaultCache);
    __try {
        for (VaultCacheEntry* p = g_pVaultHead; p != NULL; p = p->pNext) {
            if (MatchVaultPath(p->wszPath, pwszPath, bLog)) {
                pFound = p;
                break;
            }
        }
    } __finally {
        ReleaseSRWLockShared(&g_srwVaultCache);
    }
    return pFound;
}

VaultCacheEntry* GetVaultInCache2(LPCWSTR pwszPath)
{
    VaultCacheEntry* pFound = NULL;
    DWORD dwCode = 0;

    WriteTrace("GetVaultInCache2() - Start");
    __try {
        WriteLog("Retriving vault from cache GetVaultInCache2 %ws\n", pwszPath);
        pFound = FindFirstMatch(pwszPath, TRUE);
        if (pFound != NULL && !pFound->bLoggedIn)
            pFound = NULL;
    } __except (dwCode = GetExceptionCode(), EXCEPTION_EXECUTE_HANDLER) {
        WriteTrace("GetVaultInCache2() - Exception occured");
        WriteLog("GetVaultInCache failed with exception %ld", (long)dwCode);
        pFound = NULL;
    }
    WriteTrace("GetVaultInCache2() - End");
    return pFound;
}

VaultCacheEntry* GetVaultInCacheEx(LPCWSTR pwszPath)
{
    VaultCacheEntry* pFound = NULL;
    DWORD dwCode = 0;

    WriteTrace("GetVaultInCacheEx() - Start");
    __try {
        WriteLog("Retriving vault from cache\n");
        pFound = FindFirstMatch(pwszPath, FALSE);
    } __except (dwCode = GetExceptionCode(), EXCEPTION_EXECUTE_HANDLER) {
        WriteTrace("GetVaultInCacheEx() - Exception Occured");
        WriteLog("GetVaultInCache failed with exception %ld", (long)dwCode);
        pFound = NULL;
    }
    WriteTrace("GetVaultInCacheEx() - End");
    return pFound;
}

static VaultCacheEntry* AllocateRecord(void)
{
    if (g_hVaultHeap == NULL)
        g_hVaultHeap = HeapCreate(0, VAULT_HEAP_INITIAL_BYTES, 0);
    if (g_hVaultHeap == NULL)
        return NULL;
    return (VaultCacheEntry*)HeapAlloc(g_hVaultHeap, HEAP_ZERO_MEMORY, sizeof(VaultCacheEntry));
}

VaultCacheEntry* AddVaultinCache(VaultCacheEntry* pRecord)
{
    VaultCacheEntry* pCached;

    WriteTrace("AddVaultinCache - Start");
    if (pRecord->dwSettings & VAULT_SETTING_NETWORK)
        CopyMemory(pRecord->wszPath, pRecord->wszMapName, sizeof(pRecord->wszPath));
    AcquireSRWLockExclusive(&g_srwVaultCache);
    pCached = AllocateRecord();
    if (pCached != NULL) {
        CopyMemory(pCached, pRecord, sizeof(*pCached));
        pCached->pNext = NULL;
        if (g_pVaultTail == NULL)
            g_pVaultHead = pCached;
        else
            g_pVaultTail->pNext = pCached;
        g_pVaultTail = pCached;
    }
    ReleaseSRWLockExclusive(&g_srwVaultCache);
    WriteTrace("AddVaultinCache - End");
    return pCached;
}

// Whether any record still names a container that begins with pwszContainer.
static BOOL ContainerStillUsed(LPCWSTR pwszContainer)
{
    size_t cchContainer = wcslen(pwszContainer);

    for (VaultCacheEntry* p = g_pVaultHead; p != NULL; p = p->pNext)
        if (_wcsnicmp(p->wszContainer, pwszContainer, cchContainer) == 0)
            return TRUE;
    return FALSE;
}

static void DeleteContainer(LPCWSTR pwszContainer)
{
    HCRYPTPROV hProv = 0;

    if (!CryptAcquireContextW(&hProv, pwszContainer, ChooseVaultProviderName(), PROV_RSA_FULL,
                              CRYPT_DELETEKEYSET))
        OutputDebugStringA("QX ----- CryptAcquireContext() failed.");
}

// Unlinks the first match; the record when its container is used by no
// other record, else NULL. The caller holds the lock exclusively.
GUARDED_BODY static VaultCacheEntry* UnlinkFirstMatchHeld(LPCWSTR pwszPath)
{
    VaultCacheEntry* pPrevious = NULL;
    VaultCacheEntry* pRemoved = NULL;

    for (VaultCacheEntry* p = g_pVaultHead; p != NULL; pPrevious = p, p = p->pNext) {
        if (MatchVaultPath(p->wszPath, pwszPath, FALSE)) {
            pRemoved = p;
            break;
        }
    }
    if (pRemoved == NULL)
        return NULL;
    if (pPrevious == NULL)
        g_pVaultHead = pRemoved->pNext;
    else
        pPrevious->pNext = pRemoved->pNext;
    if (g_pVaultTail == pRemoved)
        g_pVaultTail = pPrevious;
    // The record keeps its own link: a walker standing on it still reaches
    // the rest of the list.
    return ContainerStillUsed(pRemoved->wszContainer) ? NULL : pRemoved;
}

// The same under the exclusive lock, given back on every path.
GUARDED_BODY static VaultCacheEntry* UnlinkFirstMatch(LPCWSTR pwszPath)
{
    VaultCacheEntry* pOrphan = NULL;

    AcquireSRWLockExclusive(&g_srwVaultCache);
    __try {
        pOrphan = UnlinkFirstMatchHeld(pwszPath);
    } __finally {
        ReleaseSRWLockExclusive(&g_srwVaultCache);
    }
    return pOrphan;
}

BOOL RemoveVaultFromCache(LPCWSTR pwszPath)
{
    VaultCacheEntry* pOrphan;
    DWORD dwCode = 0;

    WriteTrace("RemoveVaultFromCache() - Start");
    __try {
        WriteLog("Retriving vault from cache\n");
        pOrphan = UnlinkFirstMatch(pwszPath);
        // Only the main thread inserts and removes, so no vault can take the
        // container up between the check and the deletion.
        if (pOrphan != NULL)
            DeleteContainer(pOrphan->wszContainer);
    } __except (dwCode = GetExceptionCode(), EXCEPTION_EXECUTE_HANDLER) {
        WriteTrace("RemoveVaultFromCache() - Exception occured");
        WriteLog("GetVaultInCache failed with exception %ld", (long)dwCode);
    }
    WriteTrace("RemoveVaultFromCache() - End");
    return TRUE;
}

void WalkVaultCache(PFN_VAULT_VISIT pfnVisit, void* pContext)
{
    AcquireSRWLockShared(&g_srwVaultCache);
    __try {
        for (VaultCacheEntry* p = g_pVaultHead; p != NULL; p = p->pNext)
            if (!pfnVisit(p, pContext))
                break;
    } __finally {
        ReleaseSRWLockShared(&g_srwVaultCache);
    }
}

void WalkVaultCacheForUpdate(PFN_VAULT_VISIT pfnVisit, void* pContext)
{
    AcquireSRWLockExclusive(&g_srwVaultCache);
    __try {
        for (VaultCacheEntry* p = g_pVaultHead; p != NULL; p = p->pNext)
            if (!pfnVisit(p, pContext))
                break;
    } __finally {
        ReleaseSRWLockExclusive(&g_srwVaultCache);
    }
}

void ResetVaultCache(void)
{
    AcquireSRWLockExclusive(&g_srwVaultCache);
    g_pVaultHead = NULL;
    g_pVaultTail = NULL;
    ReleaseSRWLockExclusive(&g_srwVaultCache);
}
