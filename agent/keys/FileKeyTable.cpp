// The table of file keys handed to the driver.
//
// A value is the slot index plus one in its low 16 bits and the slot's
// generation in its high 16 bits, so a value the driver released long ago
// does not name the key that reuses its slot. Block requests hold the table
// shared while they use a key; handing out and releasing hold it exclusive,
// so a key is never destroyed while a block request is using it.
#include <windows.h>
#include <wincrypt.h>

#include "keys/Crypt.h"
#include "keys/FileKeyTable.h"

typedef struct _FILE_KEY_SLOT {
    HCRYPTKEY hKey;
    WORD      wGeneration;
} FILE_KEY_SLOT;

static SRWLOCK       g_srwFileKeys = SRWLOCK_INIT;
static FILE_KEY_SLOT g_Slots[FILE_KEY_SLOTS];
static WORD          g_awFree[FILE_KEY_SLOTS];
static DWORD         g_dwFreeCount;
static DWORD         g_dwNeverUsed;   // slots below this index have been used before

static HCRYPTKEY* SlotOf(ULONG ulValue)
{
    DWORD dwIndex = (ulValue & 0xFFFF) - 1;

    if ((ulValue & 0xFFFF) == 0 || dwIndex >= FILE_KEY_SLOTS)
        return NULL;
    if (g_Slots[dwIndex].hKey == 0 || g_Slots[dwIndex].wGeneration != (WORD)(ulValue >> 16))
        return NULL;
    return &g_Slots[dwIndex].hKey;
}

ULONG HandOutFileKey(HCRYPTKEY hKey)
{
    DWORD dwIndex;
    ULONG ulValue = 0;

    AcquireSRWLockExclusive(&g_srwFileKeys);
    if (g_dwFreeCount > 0)
        dwIndex = g_awFree[--g_dwFreeCount];
    else if (g_dwNeverUsed < FILE_KEY_SLOTS)
        dwIndex = g_dwNeverUsed++;
    else
        dwIndex = FILE_KEY_SLOTS;
    if (dwIndex < FILE_KEY_SLOTS) {
        if (++g_Slots[dwIndex].wGeneration == 0)
            g_Slots[dwIndex].wGeneration = 1;
        g_Slots[dwIndex].hKey = hKey;
        ulValue = ((ULONG)g_Slots[dwIndex].wGeneration << 16) | (dwIndex + 1);
    }
    ReleaseSRWLockExclusive(&g_srwFileKeys);
    if (ulValue == 0)
        CryptDestroyKey(hKey);
    return ulValue;
}

DWORD TransformWithFileKey(ULONG ulValue, BYTE* pbData, DWORD* pcbData, BOOL bEncrypt)
{
    HCRYPTKEY* phKey;
    DWORD dwResult;

    AcquireSRWLockShared(&g_srwFileKeys);
    phKey = SlotOf(ulValue);
    if (phKey == NULL)
        dwResult = ERROR_INVALID_HANDLE;
    else if (bEncrypt)
        dwResult = EncryptBuffer(*phKey, pbData, *pcbData);
    else
        dwResult = DecryptBuffer(*phKey, pbData, pcbData);
    ReleaseSRWLockShared(&g_srwFileKeys);
    return dwResult;
}

BOOL ReleaseFileKey(ULONG ulValue, BOOL* pbDestroyed)
{
    HCRYPTKEY* phKey;
    HCRYPTKEY hKey = 0;

    *pbDestroyed = FALSE;
    AcquireSRWLockExclusive(&g_srwFileKeys);
    phKey = SlotOf(ulValue);
    if (phKey != NULL) {
        hKey = *phKey;
        *phKey = 0;
        g_awFree[g_dwFreeCount++] = (WORD)((ulValue & 0xFFFF) - 1);
    }
    ReleaseSRWLockExclusive(&g_srwFileKeys);
    if (hKey == 0)
        return FALSE;
    *pbDestroyed = CryptDestroyKey(hKey);
    return TRUE;
}
