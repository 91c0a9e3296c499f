// New, removed and logged-out vaults, as companion programs announce them
// in the "RezodService" section.
#include <windows.h>
#include <shlobj.h>
#include <strsafe.h>

#include "Companion.h"
#include "companion/Sections.h"
#include "diag/Diag.h"
#include "drives/DriveIcons.h"
#include "drives/DriveMapping.h"
#include "keys/Crypt.h"
#include "keys/VaultKeys.h"
#include "vaults/ControlMessages.h"
#include "vaults/Registration.h"

#define NEW_VAULT_KEY_BYTES 512
#define MUTEX_NAME_CHARS    260

// The section as the companion filled it, copied out and terminated, so
// nothing the companion does meanwhile can change what this command sees.
static void CopyDescription(const VAULT_DESCRIPTION_SECTION* pView, VAULT_DESCRIPTION_SECTION* pCopy)
{
    CopyMemory(pCopy, pView, sizeof(*pCopy));
    pCopy->wszLabel[COMPANION_PATH_CHARS - 1] = L'\0';
    pCopy->wszPath[COMPANION_PATH_CHARS - 1] = L'\0';
    pCopy->wszContainer[COMPANION_PATH_CHARS - 1] = L'\0';
    pCopy->wszMapName[COMPANION_PATH_CHARS - 1] = L'\0';
    pCopy->wszDrive[ARRAYSIZE(pCopy->wszDrive) - 1] = L'\0';
}

static BOOL IsDriveLetter(WCHAR wc)
{
    return (wc >= L'A' && wc <= L'Z') || (wc >= L'a' && wc <= L'z');
}

// The SID fields of a message, with the lines of the command that sends it.
static BOOL PutSid(VaultControlMessage* pMessage, const char* pszSidLine, const char* pszBlankTrace,
                   const char* pszConvertTrace, const char* pszConvertLog)
{
    LPWSTR pwszSid = NULL;
    DWORD dwChars;

    dwChars = GetSidTextForMessage(&pwszSid, TRUE);
    WriteLog("After calling ConvertSidToStringSid: %d\n", (int)GetLastError());
    WriteLog(pszSidLine, pwszSid != NULL ? pwszSid : L"");
    WriteLog("StringSid size: %d\n", (int)dwChars);
    if (dwChars == 0) {
        if (pwszSid != NULL)
            LocalFree(pwszSid);
        WriteTrace("%s", pszBlankTrace);
        return FALSE;
    }
    if (!PutSidIntoMessage(pwszSid, dwChars, pMessage)) {
        WriteTrace("%s", pszConvertTrace);
        if (pszConvertLog != NULL)
            WriteLog(pszConvertLog, (int)GetLastError());
        return FALSE;
    }
    return TRUE;
}

// The keys, the cache, the drive and the driver. FALSE when the SID could
// not be formed: the vault is cached and mapped, but the driver is not told
// and the companion gets no answer.
static BOOL RegisterNewVault(const VAULT_DESCRIPTION_SECTION* pDescription, VaultCacheEntry* pRecord,
                             const BYTE* pbKey, DWORD cbKey)
{
    VaultControlMessage message;
    WCHAR wszRoot[4] = { pDescription->wszDrive[0], L':', L'\\', L'\0' };
    LPCWSTR pwszTarget;

    StringCchCopyW(pRecord->wszLabel, VAULT_STRING_CHARS, pDescription->wszLabel);
    StringCchCopyW(pRecord->wszPath, VAULT_STRING_CHARS, pDescription->wszPath);
    StringCchCopyW(pRecord->wszContainer, VAULT_STRING_CHARS, pDescription->wszContainer);
    StringCchCopyW(pRecord->wszMapName, VAULT_STRING_CHARS, pDescription->wszMapName);
    StringCchPrintfW(pRecord->wszDrive, VAULT_DRIVE_CHARS, L"%wc:", pDescription->wszDrive[0]);
    CopyMemory(pRecord->abKey, pbKey, VAULT_KEY_BYTES);
    pRecord->dwSettings = pDescription->dwSettings;
    pRecord->dwKeySize = cbKey;
    pRecord->pNext = NULL;
    pRecord->bLoggedIn = 1;

    SetVaultAvailableFlag(pRecord, 1);
    GetPhysicalDeviceName(pRecord->wszPath, pRecord->wszPhysicalDevice);
    AddVaultinCache(pRecord);

    pwszTarget = (pDescription->dwSettings & VAULT_SETTING_NETWORK) ? pDescription->wszMapName
                                                                   : pDescription->wszPath;
    if (DefineDosDeviceW(0, pRecord->wszDrive, pwszTarget))
        SHChangeNotify(SHCNE_DRIVEADD, SHCNF_PATHW, wszRoot, NULL);
    RefreshVaultIcon(pRecord, TRUE);

    ZeroMemory(&message, sizeof(message));
    if (!PutSid(&message, "SID: %ws", "SendNewVaultToFilter() - ConvertSidToStringSid() failed - Failed!",
                "SendNewVaultToFilter() - WideCharToMultiByte() wcSidString and cSidString failed - Failed!",
                "WideCharToMultiByte failed inside SendNewVaultToFilter:%d\n"))
        return FALSE;
    message.dwCommand = ADD_VAULTS;
    message.dwCount = 1;
    GetDeviceName(pDescription->wszPath, message.wszDevicePath[0]);
    StringCchCopyW(message.wszMapName[0], MAX_PATH_CHARS, pDescription->wszMapName);
    message.dwSettings[0] = pDescription->dwSettings;
    message.bNewVault = 1;
    WriteLog("Sending to Filter path %ws", message.wszDevicePath[0]);
    SendControlMessage(&message, VAULT_CONTROL_REPLY_SIZE);
    return TRUE;
}

typedef enum _NEW_VAULT_OUTCOME { NEW_VAULT_FAILED, NEW_VAULT_DONE, NEW_VAULT_UNANSWERED } NEW_VAULT_OUTCOME;

// Under the letter's login mutex: the keys first; a vault whose keys cannot
// be made is not registered at all.
static NEW_VAULT_OUTCOME CreateNewVault(const VAULT_DESCRIPTION_SECTION* pDescription)
{
    VaultCacheEntry record;
    BYTE abKey[NEW_VAULT_KEY_BYTES];
    DWORD cbKey = NEW_VAULT_KEY_BYTES;
    DWORD dwResult;

    ZeroMemory(&record, sizeof(record));
    ZeroMemory(abKey, sizeof(abKey));
    InitCrypt();
    if (!pDescription->bGenerate) {
        if (pDescription->dwKeyLength > sizeof(pDescription->abKey)) {
            WriteTrace("SendNewVaultToFilter() - key blob longer than its slot - Failed!");
            return NEW_VAULT_FAILED;
        }
        CopyMemory(abKey, pDescription->abKey, pDescription->dwKeyLength);
        cbKey = pDescription->dwKeyLength;
    }
    dwResult = CreateVaultKeys(pDescription->wszDrive, pDescription->wszContainer, &record.hUserProv,
                               &record.hIpcProv, &record.hUserXKey, &record.hIpcXKey,
                               &record.hVaultKey, abKey, &cbKey, pDescription->bGenerate != 0);
    if (dwResult != KEY_RESULT_OK) {
        WriteLog("CreateVaultKeys failed :%d", (int)GetLastError());
        DiscardNewVaultKeys(&record);
        return NEW_VAULT_FAILED;
    }
    return RegisterNewVault(pDescription, &record, abKey, cbKey) ? NEW_VAULT_DONE : NEW_VAULT_UNANSWERED;
}

// The answer: the whole section cleared, then 1 for success, and the event set.
static void AnswerNewVault(COMPANION_SECTION* pSection, HANDLE* phEvent, BOOL bDone)
{
    ZeroMemory(pSection->pView, sizeof(VAULT_DESCRIPTION_SECTION));
    if (bDone)
        *(DWORD*)pSection->pView = 1;
    SignalCompanionEvent(phEvent);
    if (bDone)
        WriteLog("___________All Well in create______ \n ");
}

GUARDED_BODY static BOOL ServeNewVault(COMPANION_SECTION* pSection, HANDLE* phEvent, HANDLE* phMutex)
{
    VAULT_DESCRIPTION_SECTION description;
    WCHAR wszMutexName[MUTEX_NAME_CHARS];
    NEW_VAULT_OUTCOME outcome;

    CopyDescription((const VAULT_DESCRIPTION_SECTION*)pSection->pView, &description);
    *phEvent = OpenCompanionEvent(EVENT_NEW_VAULT);
    if (*phEvent == NULL)
        WriteTrace("SendNewVaultToFilter() - OpenEventA() failed for ESerExp - Failed");
    if (!IsDriveLetter(description.wszDrive[0])) {
        WriteTrace("SendNewVaultToFilter() - drive letter not valid - Failed!");
        AnswerNewVault(pSection, phEvent, FALSE);
        return TRUE;
    }
    // An empty name opens the user's default container, which the removal
    // of this vault would then delete.
    if (description.wszContainer[0] == L'\0') {
        WriteTrace("SendNewVaultToFilter() - container name empty - Failed!");
        AnswerNewVault(pSection, phEvent, FALSE);
        return TRUE;
    }
    *phMutex = OpenLoginMutex(description.wszDrive[0], wszMutexName, MUTEX_NAME_CHARS);
    if (*phMutex == NULL) {
        WriteTrace("SendNewVaultToFilter() - CreateMutexW() failed - Failed");
        return TRUE;
    }
    if (!WaitForLoginMutex(*phMutex)) {
        CloseHandle(*phMutex);
        *phMutex = NULL;
        WriteTrace("SendNewVaultToFilter() - Time out for hMutex - Failed!");
        AnswerNewVault(pSection, phEvent, FALSE);
        return TRUE;
    }
    outcome = CreateNewVault(&description);
    if (outcome == NEW_VAULT_UNANSWERED)
        return FALSE;
    AnswerNewVault(pSection, phEvent, outcome == NEW_VAULT_DONE);
    return TRUE;
}

BOOL SendNewVaultToFilter(void)
{
    COMPANION_SECTION section = { NULL, NULL };
    HANDLE hEvent = NULL;
    HANDLE hMutex = NULL;
    BOOL bResult = FALSE;

    WriteTrace("SendNewVaultToFilter() - Start");
    __try {
        if (OpenCommandSection(SECTION_VAULT_DESCRIPTION, sizeof(VAULT_DESCRIPTION_SECTION), &section,
                               "SendNewVaultToFilter", "Failed"))
            bResult = ServeNewVault(&section, &hEvent, &hMutex);
    } __except (ExceptionFilter(GetExceptionInformation())) {
        WriteTrace("SendNewVaultToFilter() - Exception occured - Failed!");
        bResult = FALSE;
    }
    CloseCompanionSection(&section);
    if (hEvent != NULL)
        CloseHandle(hEvent);
    if (hMutex != NULL) {
        ReleaseMutex(hMutex);
        CloseHandle(hMutex);
    }
    WriteTrace("SendNewVaultToFilter() - End");
    return bResult;
}

GUARDED_BODY static DWORD ServeRemoval(void* pView)
{
    VAULT_DESCRIPTION_SECTION description;
    VaultControlMessage message;

    CopyDescription((const VAULT_DESCRIPTION_SECTION*)pView, &description);
    ZeroMemory(&message, sizeof(message));
    if (!PutSid(&message, "SID %ws", "RemoveVaultFromFilter() - ConvertSidToStringSid() failed - Failed!",
                "RemoveVaultFromFilter() - WideCharToMultiByte() failed for wcSidString and cSidString - Failed!",
                NULL))
        return FALSE;
    message.dwCommand = REMOVE_VAULT;
    message.dwCount = 1;
    GetDeviceName(description.wszPath, message.wszDevicePath[0]);
    SendControlMessage(&message, VAULT_CONTROL_REPLY_SIZE);
    RemoveVaultFromCache(description.wszPath);
    return TRUE;
}

BOOL RemoveVaultFromFilter(void)
{
    return RunSectionCommand(SECTION_VAULT_DESCRIPTION, sizeof(VAULT_DESCRIPTION_SECTION), "RemoveVaultFromFilter",
                             "Failed!", TRUE, ServeRemoval) != 0;
}

GUARDED_BODY static DWORD ServeLogout(void* pView)
{
    VAULT_DESCRIPTION_SECTION description;
    VaultCacheEntry* pVault;

    CopyDescription((const VAULT_DESCRIPTION_SECTION*)pView, &description);
    pVault = GetVaultInCacheEx(description.wszPath);
    if (pVault == NULL)
        return TRUE;
    ReleaseVaultKeys(pVault);
    SendLoginStatusToFilter(pVault, FALSE);
    RefreshVaultIcon(pVault, FALSE);
    return TRUE;
}

BOOL LogoutVaultFromFilter(void)
{
    return RunSectionCommand(SECTION_VAULT_DESCRIPTION, sizeof(VAULT_DESCRIPTION_SECTION), "LogoutVaultFromFilter",
                             "Failed!", TRUE, ServeLogout) != 0;
}
