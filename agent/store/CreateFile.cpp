// A new vault file: its key, its encoded name and its meta text.
#include <windows.h>
#include <strsafe.h>

#include "diag/Diag.h"
#include "keys/FileKeyTable.h"
#include "keys/Crypt.h"
#include "keys/VaultKeys.h"
#include "store/FileKeys.h"
#include "store/MetaText.h"
#include "store/Store.h"

// The file key is made before the name is encoded; it reaches the driver
// only when the whole meta text is ready, and is destroyed otherwise.
GUARDED_BODY static BOOL MakeVaultFile(Notification* pNotification, LARGE_INTEGER liSize, ULONG* pulFSKHandle,
                                       ULONG* pulCipherBlockBytes, WCHAR* wszKeyText, DWORD* pdwKeyLength,
                                       HCRYPTKEY* phFileKey)
{
    WCHAR wszPath[STORE_PATH_CHARS];
    WCHAR wszName[STORE_PATH_CHARS];
    META_TEXT metaText;
    HCRYPTKEY hVaultKey = 0;
    HCRYPTPROV hProv = 0;

    static const FOLDER_PATH_FAILURE failure = {
        "CreateVaultFile() - Call to FilterGetDosName() Failed - Failed!",
        "VUVUDOVU SRV ERROR!!! --- FilterGetDosName failed", 208,
        "FilterGetDosName failed in GetVaultFileName for %ws\n", NULL};

    if (!FormFolderPathOrReport(pNotification->Volume, pNotification->IsNetwork, pNotification->ParentDir, wszPath,
                                "CreateVaultFile", &failure))
        return FALSE;
    StringCchCopyW(wszName, STORE_PATH_CHARS, pNotification->FileName);
    WriteLog("FilePath %ws\n", wszPath);
    WriteLog("logicalFile %ws\n", wszName);
    if (!GetKeysForVault(wszPath, &hVaultKey, &hProv)) {
        WriteTrace("CreateVaultFile() - Call to GetKeysForVault() Failed - Failed!");
        WriteLog("GetKeysForVault failed returning from CreateVaultFile\n");
        return FALSE;
    }
    if (!GetCipherBlockBytes(hVaultKey, pulCipherBlockBytes)) {
        WriteTrace("CreateVaultFile() - Call to CryptGetKeyParam() Failed - Failed!");
        WriteLog("Cipher size could not be retrieved\n");
        return FALSE;
    }
    WriteLog("Cipher length retrieved %d\n", (int)*pulCipherBlockBytes);
    WriteLog("Vault keys successfully retrieved --- CreateVaultFile\n");
    if (CreateFileSymmetricKey(hProv, hVaultKey, wszKeyText, pdwKeyLength, phFileKey) != KEY_RESULT_OK) {
        WriteTrace("CreateVaultFile() - Call to CreateFileSymmetricKey() Failed - Failed!");
        WriteLog("File symmetric key could not be created\n");
        return FALSE;
    }
    WriteLog("File symmetric key successfully generated\n");
    WriteLog("non-encoded file name %ws", wszName);
    if (GetEncodedFileName(hVaultKey, wszName, (DWORD)wcslen(wszName) + 1) != KEY_RESULT_OK) {
        WriteTrace("CreateVaultFile() - Call to GetEncodedFilename() Failed - Failed!");
        WriteLog("GetEncoded filename failed\n");
        return FALSE;
    }
    WriteLog("File name after encoding %ws", wszName);
    if (!BuildMetaXml(wszName, wszKeyText, liSize, &metaText))
        return FALSE;
    *pulFSKHandle = HandOutFileKey(*phFileKey);
    *phFileKey = 0;
    if (*pulFSKHandle == 0) {
        WriteTrace("CreateVaultFile() - too many file keys handed out - Failed!");
        return FALSE;
    }
    pNotification->DataLength = metaText.cbText;
    WriteLog("size set in notification %d\n", (int)metaText.cbText);
    CopyMemory(pNotification->Data, metaText.szText, metaText.cbText);
    return TRUE;
}

BOOL CreateVaultFile(Notification* pNotification, LARGE_INTEGER liSize, ULONG* pulFSKHandle,
                     ULONG* pulCipherBlockBytes, WCHAR* wszKeyText, DWORD* pdwKeyLength)
{
    HCRYPTKEY hFileKey = 0;
    BOOL bCreated = FALSE;
    DWORD dwCode = 0;

    WriteTrace("CreateVaultFile() - Start");
    WriteLog("CreateVaultFile - entered.....\n");
    __try {
        bCreated = MakeVaultFile(pNotification, liSize, pulFSKHandle, pulCipherBlockBytes, wszKeyText,
                                 pdwKeyLength, &hFileKey);
    } __except (dwCode = GetExceptionCode(), EXCEPTION_EXECUTE_HANDLER) {
        WriteTrace("CreateVaultFile() - Exception occurred - Failed!");
        WriteLog("Exception occurred in CreateVaultFile %ld", (long)dwCode);
        bCreated = FALSE;
    }
    if (hFileKey != 0)
        CryptDestroyKey(hFileKey);
    WriteTrace("CreateVaultFile() - End");
    return bCreated;
}
