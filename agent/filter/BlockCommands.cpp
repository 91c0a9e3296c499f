// Block encryption and decryption with file keys, and their release.
//
// The driver names file keys by the values of the file key table; a value
// the table does not know is refused before the provider sees it. Nothing
// here allocates: the block goes once from the request into the reply and
// is transformed there in place.
#include <windows.h>

#include "diag/Diag.h"
#include "filter/BlockCommands.h"
#include "keys/Crypt.h"
#include "keys/FileKeyTable.h"

BOOL Impersonation(ULONG ulFirst, ULONG ulSecond)
{
    (void)ulFirst;
    (void)ulSecond;
    return FALSE;
}

// A revert is a call into the kernel (a server round trip under a
// compatibility layer) on the path of every block: made only when there is
// something to revert.
void RevertImpersonation(BOOL bImpersonated)
{
    if (bImpersonated)
        RevertToSelf();
}

// The block copied into the reply, cleared beyond it.
static void CopyBlock(const Notification* pNotification, REPLY_BUFFER* pBuffer)
{
    ZeroMemory(pBuffer->Data, sizeof(pBuffer->Data));
    CopyMemory(pBuffer->Data, pNotification->Data, pNotification->DataLength);
    pBuffer->Length = pNotification->DataLength;
}

void OnEncryptBlock(const Notification* pNotification, struct Reply* pReply)
{
    BOOL bImpersonated;
    DWORD dwResult;

    WriteTrace("ScannerWorker() - EncryptBlock command recieved");
    bImpersonated = Impersonation(pNotification->Requester[1], pNotification->Requester[0]);
    CopyBlock(pNotification, &pReply->Buffer);
    if (pNotification->FSKHandle == 0) {
        WriteTrace("ScannerWorker() - EncryptBlock - No FSKKey - Failed!");
    } else {
        dwResult = TransformWithFileKey(pNotification->FSKHandle, pReply->Buffer.Data, &pReply->Buffer.Length,
                                        TRUE);
        if (dwResult == KEY_RESULT_OK) {
            WriteTrace("ScannerWorker() - EncryptBlock - Encrytion succedded");
            WriteLog("Encrytion succedded \n");
            pReply->Succeeded = 1;
        } else {
            WriteTrace("ScannerWorker() - EncryptBlock - Encryption returned an error %d\n", (int)dwResult);
            WriteLog("Encryption returned an error %d\n", (int)dwResult);
        }
    }
    RevertImpersonation(bImpersonated);
    WriteTrace("ScannerWorker() - EncryptBlock processed");
}

void OnGetNormalBuffer(const Notification* pNotification, struct Reply* pReply)
{
    BOOL bImpersonated;

    WriteTrace("ScannerWorker() - GetNormalBuffer command recieved");
    bImpersonated = Impersonation(pNotification->Requester[1], pNotification->Requester[0]);
    CopyBlock(pNotification, &pReply->Buffer);
    if (pNotification->FSKHandle != 0 &&
        TransformWithFileKey(pNotification->FSKHandle, pReply->Buffer.Data, &pReply->Buffer.Length, FALSE) ==
            KEY_RESULT_OK)
        pReply->Succeeded = 1;
    RevertImpersonation(bImpersonated);
    WriteTrace("ScannerWorker() - GetNormalBuffer processed");
}

void OnReleaseFSK(const Notification* pNotification, struct Reply* pReply)
{
    BOOL bDestroyed = FALSE;

    WriteTrace("ScannerWorker() - ReleaseFSK command received");
    WriteLog("ReleaseFSK command received ---");
    if (pNotification->FSKHandle == 0) {
        WriteLog("\nFSKkey is NULL ---");
    } else if (!ReleaseFileKey(pNotification->FSKHandle, &bDestroyed)) {
        WriteTrace("ScannerWorker() - ReleaseFSK - unknown FSK handle 0x%X - Failed!",
                   (unsigned)pNotification->FSKHandle);
    } else if (bDestroyed) {
        WriteTrace("ScannerWorker() - CryptDestroyKey() succeeded");
        WriteLog("Crypt Destroy key succeeded ---");
    } else {
        WriteTrace("ScannerWorker() - CryptDestroyKey() failed - Failed!");
        WriteLog("Crypt Destroy key failed ---");
    }
    pReply->Succeeded = 1;
    WriteTrace("ScannerWorker() - ReleaseFSK processed");
}
