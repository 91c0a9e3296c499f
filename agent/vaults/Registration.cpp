// Registering every vault of the user with the driver at start-up.
#include <windows.h>
#include <shlobj.h>
#include <stdio.h>
#include <stdlib.h>
#include <strsafe.h>

#include "diag/Diag.h"
#include "drives/DriveMapping.h"
#include "res/resource.h"
#include "vaults/ControlMessages.h"
#include "vaults/Registration.h"
#include "vaults/VaultRecords.h"

#define BATCH_FILE_NAME L"\\DirIZorEduzo.bat"
#define SUBKEY_NAME_CHARS 260
#define BOX_TEXT_CHARS 512

// The vaults of one batch leave together; each batch starts from a clean
// message, so no entry of an earlier batch lingers beyond dwCount. The SID
// stays for every batch.
static void StartBatch(VaultControlMessage* pMessage)
{
    pMessage->dwCommand = 0;
    pMessage->dwCount = 0;
    ZeroMemory(pMessage->wszDevicePath, sizeof(pMessage->wszDevicePath));
    ZeroMemory(pMessage->dwSettings, sizeof(pMessage->dwSettings));
    ZeroMemory(pMessage->wszMapName, sizeof(pMessage->wszMapName));
}

static void SendBatch(VaultControlMessage* pMessage, DWORD dwCount, const char* pszSendingLine)
{
    pMessage->dwCommand = ADD_VAULTS;
    pMessage->dwCount = dwCount;
    pMessage->bNewVault = 0;
    WriteLog("%s", pszSendingLine);
    SendControlMessage(pMessage, VAULT_CONTROL_REPLY_SIZE);
    WriteLog("objVaultList Returned from filter");
}

static FILE* OpenBatchFile(WCHAR* wszPath)
{
    if (FAILED(SHGetFolderPathW(NULL, CSIDL_LOCAL_APPDATA | CSIDL_FLAG_CREATE, NULL,
                                SHGFP_TYPE_CURRENT, wszPath)) ||
        FAILED(StringCchCatW(wszPath, MAX_PATH, BATCH_FILE_NAME)))
        return NULL;
    return _wfopen(wszPath, L"w");
}

static BOOL PutUserSid(VaultControlMessage* pMessage)
{
    LPWSTR pwszSid = NULL;
    DWORD dwChars = GetSidTextForMessage(&pwszSid, FALSE);

    WriteLog("After calling ConvertSidToStringSid: %d\n", (int)GetLastError());
    WriteLog("SID: %ws\n", pwszSid != NULL ? pwszSid : L"");
    WriteLog("\nStringSid size: %d\n", (int)dwChars);
    if (dwChars == 0) {
        if (pwszSid != NULL)
            LocalFree(pwszSid);
        WriteTrace("SendDocVaultsToFilter() - ConvertSidToStringSid() failed - Failed!");
        return FALSE;
    }
    if (!PutSidIntoMessage(pwszSid, dwChars, pMessage)) {
        DWORD dwError = GetLastError();
        WriteTrace("SendDocVaultsToFilter() - WideCharToMultiByte() failed with Error %d - Failed!", (int)dwError);
        WriteLog("WideCharToMultiByte failed inside  SendDocVaultsToFilter :%d\n", (int)dwError);
        return FALSE;
    }
    WriteLog("Suceefully added stringSid into cache\n");
    return TRUE;
}

static void ShowBlankPath(LPCWSTR pwszDrive)
{
    WCHAR wszFormat[BOX_TEXT_CHARS];
    WCHAR wszCaption[BOX_TEXT_CHARS];
    WCHAR wszText[BOX_TEXT_CHARS];
    HMODULE hModule = GetModuleHandleW(NULL);

    if (LoadStringW(hModule, IDS_VAULT_PATH_BLANK, wszFormat, BOX_TEXT_CHARS) == 0)
        StringCchCopyW(wszFormat, BOX_TEXT_CHARS, L" Path for vault (%ws) found blank, Vault could not be mapped");
    if (LoadStringW(hModule, IDS_PRODUCT_NAME, wszCaption, BOX_TEXT_CHARS) == 0)
        StringCchCopyW(wszCaption, BOX_TEXT_CHARS, L"Vuzaziz");
    StringCchPrintfW(wszText, BOX_TEXT_CHARS, wszFormat, pwszDrive);
    MessageBoxW(NULL, wszText, wszCaption, MB_OK);
}

// One registry record into the batch slot and the cache. FALSE ends the walk.
static BOOL RegisterVault(LPCWSTR pwszSubkey, VaultCacheEntry* pRecord,
                          VaultControlMessage* pMessage, DWORD* pdwSlot, FILE* pBatch)
{
    DWORD dwSlot = *pdwSlot;

    ZeroMemory(pRecord, sizeof(*pRecord));
    if (!ReadVaultRecord(pwszSubkey, pRecord))
        return FALSE;
    GetDeviceName(pRecord->wszPath, pMessage->wszDevicePath[dwSlot]);
    GetPhysicalDeviceName(pRecord->wszPath, pRecord->wszPhysicalDevice);
    StringCchCopyW(pMessage->wszMapName[dwSlot], MAX_PATH_CHARS, pRecord->wszMapName);
    pMessage->dwSettings[dwSlot] = pRecord->dwSettings;
    WriteLog("Adding vault to the cache");

    SetVaultAvailableFlag(pRecord, Connect_Vault(pRecord, pBatch) == 0 ? 1 : 0);
    if (pMessage->wszDevicePath[dwSlot][0] == L'\0') {
        ShowBlankPath(pRecord->wszDrive);
        ZeroMemory(pMessage->wszMapName[dwSlot], sizeof(pMessage->wszMapName[dwSlot]));
        pMessage->dwSettings[dwSlot] = 0;
        return TRUE;
    }
    AddVaultinCache(pRecord);
    if (dwSlot == VAULT_CONTROL_ENTRIES - 1) {
        SendBatch(pMessage, VAULT_CONTROL_ENTRIES, "objVaultList sending to filter");
        StartBatch(pMessage);
        *pdwSlot = 0;
    } else {
        *pdwSlot = dwSlot + 1;
    }
    return TRUE;
}

// Runs the batch file of this start's subst lines; its lines are flushed
// first so the command processor sees all of them.
static void RunBatchFile(FILE* pBatch, LPCWSTR pwszPath)
{
    WCHAR wszCommand[MAX_PATH + 2];

    fflush(pBatch);
    if (SUCCEEDED(StringCchPrintfW(wszCommand, ARRAYSIZE(wszCommand), L"\"%ws\"", pwszPath)))
        _wsystem(wszCommand);
}

GUARDED_BODY static BOOL WalkVaultRecords(VaultControlMessage* pMessage)
{
    WCHAR wszBatchPath[MAX_PATH];
    WCHAR wszSubkey[SUBKEY_NAME_CHARS];
    VaultCacheEntry record;
    HKEY hVaults = NULL;
    FILE* pBatch;
    DWORD dwSlot = 0;
    DWORD cchSubkey;
    BOOL bWalked = FALSE;

    pBatch = OpenBatchFile(wszBatchPath);
    if (pBatch == NULL) {
        WriteTrace("SendDocVaultsToFilter() - Could not get drive map file - Failed!");
        WriteLog("Could not get drive map file");
        return FALSE;
    }
    __try {
        if (!PutUserSid(pMessage))
            __leave;
        if (RegOpenKeyExW(HKEY_CURRENT_USER, VAULTS_KEY_PATH, 0, KEY_READ, &hVaults) != ERROR_SUCCESS) {
            WriteTrace("SendDocVaultsToFilter() - RegOpenKeyEx() failed  - Failed!");
            WriteLog("cant open Key");
            __leave;
        }
        for (DWORD dwIndex = 0;; dwIndex++) {
            cchSubkey = SUBKEY_NAME_CHARS;
            if (RegEnumKeyExW(hVaults, dwIndex, wszSubkey, &cchSubkey, NULL, NULL, NULL, NULL) !=
                ERROR_SUCCESS)
                break;
            if (!RegisterVault(wszSubkey, &record, pMessage, &dwSlot, pBatch))
                break;
        }
        RunBatchFile(pBatch, wszBatchPath);
        if (dwSlot > 0)
            SendBatch(pMessage, dwSlot, "objVaultList sending to filetr");
        bWalked = TRUE;
    } __finally {
        if (hVaults != NULL)
            RegCloseKey(hVaults);
        fclose(pBatch);
    }
    return bWalked;
}

BOOL SendDocVaultsToFilter(void)
{
    VaultControlMessage* pMessage;
    BOOL bResult = FALSE;
    DWORD dwCode = 0;

    WriteTrace("SendDocVaultsToFilter() - Start");
    // The message is large: it lives on the heap for the walk.
    pMessage = (VaultControlMessage*)HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(*pMessage));
    if (pMessage != NULL) {
        __try {
            bResult = WalkVaultRecords(pMessage);
        } __except (dwCode = GetExceptionCode(), ExceptionFilter(GetExceptionInformation())) {
            WriteTrace("SendDocVaultsToFilter() - Exception occured - Failed!");
            WriteLog("Exception occured SendDocVaultsToFilter() exceptionCode %ld", (long)dwCode);
            bResult = FALSE;
        }
        HeapFree(GetProcessHeap(), 0, pMessage);
    }
    WriteTrace("SendDocVaultsToFilter() - End");
    return bResult;
}
