// The worker loop: keep one request pending on the port, serve what
// arrives, answer it, and post the next read.
#include <windows.h>
#include <fltuser.h>

#include "diag/Diag.h"
#include "filter/ScannerWorker.h"
#include "host/Host.h"

#define HR_IO_PENDING      HRESULT_FROM_WIN32(ERROR_IO_PENDING)
#define HR_PORT_GONE       HRESULT_FROM_WIN32(ERROR_INVALID_HANDLE)
#define EXIT_NO_MEMORY     8

static HRESULT PostRequestRead(HANDLE hPort, SCANNER_MESSAGE* pMessage)
{
    // No earlier request's id survives into a reply.
    pMessage->Request.MessageHeader.MessageId = 0;
    ZeroMemory(&pMessage->Ovlp, sizeof(pMessage->Ovlp));
    return FilterGetMessage(hPort, &pMessage->Request.MessageHeader,
                            SCANNER_OVERLAPPED_OFFSET, &pMessage->Ovlp);
}

// Fills the reply for the request in pMessage.
static void ServeRequest(SCANNER_MESSAGE* pMessage, DWORD cbReceived,
                         struct ReplyMessage* pReplyMessage)
{
    RequestMessage* pRequest = &pMessage->Request;

    pReplyMessage->ReplyHeader.Status = 0;
    pReplyMessage->ReplyHeader.MessageId = pRequest->MessageHeader.MessageId;
    pReplyMessage->Reply.Succeeded = 0;
    // The driver waits for one reply to every request, this one too.
    if (pRequest->MessageHeader.MessageId == 0) {
        WriteTrace("ScannerWorker() - Message without a message id refused - Failed!");
        NullInitializeReply(&pReplyMessage->Reply);
        return;
    }
    // A short message leaves the rest of the buffer from an earlier request:
    // clear it so that every field the command reads is the sender's or zero.
    if (cbReceived >= sizeof(pRequest->MessageHeader) && cbReceived < sizeof(*pRequest))
        ZeroMemory((BYTE*)pRequest + cbReceived, sizeof(*pRequest) - cbReceived);

    __try {
        NullInitializeReply(&pReplyMessage->Reply);
        DispatchRequest(&pRequest->Notification, pReplyMessage);
    } __except (EXCEPTION_EXECUTE_HANDLER) {
        WriteTrace("ScannerWorker() - Irrecoverable Exception occurred while processing command - Failed");
        WriteLog("Irrecoverable Exception occurred while processing request!!!!\n");
        pReplyMessage->Reply.Succeeded = 0;
    }
}

static void SendReply(HANDLE hPort, struct ReplyMessage* pReplyMessage)
{
    HRESULT hr;

    WriteLog("Replying back to filter");
    WriteTrace("ScannerWorker() - Replying back to filter");
    hr = FilterReplyMessage(hPort, &pReplyMessage->ReplyHeader, sizeof(struct ReplyMessage));
    if (FAILED(hr)) {
        WriteTrace("ScannerWorker() - Message could not be send back to filter - Failed!");
        WriteLog("--------Message could not be send back to filter----------- \n");
    }
}

DWORD WINAPI ScannerWorker(LPVOID lpParameter)
{
    WorkerContext* pContext = (WorkerContext*)lpParameter;
    SCANNER_MESSAGE* pMessage;
    struct ReplyMessage replyMessage;
    BOOL bReadPending;
    HRESULT hr;

    WriteTrace("ScannerWorker() - Start");
    pMessage = (SCANNER_MESSAGE*)HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(*pMessage));
    if (pMessage == NULL) {
        WriteTrace("ScannerWorker() - Memmory Allocation Error - Failed!");
        return EXIT_NO_MEMORY;
    }
    // Bytes that no command sets go out as zeros, never as stale stack.
    ZeroMemory(&replyMessage, sizeof(replyMessage));

    hr = PostRequestRead(pContext->hPort, pMessage);
    if (hr != HR_IO_PENDING) {
        WriteTrace("ScannerWorker() - FilterGetMessage() failed - Failed!");
        HeapFree(GetProcessHeap(), 0, pMessage);
        return (DWORD)hr;
    }

    bReadPending = TRUE;
    while (g_lWorkerRunFlag) {
        DWORD cbReceived = 0;
        ULONG_PTR ulKey = 0;
        LPOVERLAPPED pOvlp = NULL;
        BOOL bCompleted = GetQueuedCompletionStatus(pContext->hCompletion, &cbReceived, &ulKey,
                                                    &pOvlp, INFINITE);
        if (!bCompleted)
            WriteTrace("ScannerWorker() - GetQueuedCompletionStatus() failed Error code = %d - Failed!",
                       (int)GetLastError());
        if (pOvlp == NULL) {
            // No buffer came back: the completion port itself failed, and
            // the read on this worker's buffer may still land in it.
            hr = HRESULT_FROM_WIN32(GetLastError());
            break;
        }
        bReadPending = FALSE;
        // The completion port is shared, so this may be another worker's
        // buffer; from now on it is this worker's.
        pMessage = CONTAINING_RECORD(pOvlp, SCANNER_MESSAGE, Ovlp);
        if (bCompleted) {
            ServeRequest(pMessage, cbReceived, &replyMessage);
            SendReply(pContext->hPort, &replyMessage);
        }

        hr = PostRequestRead(pContext->hPort, pMessage);
        if (hr != HR_IO_PENDING) {
            WriteTrace("ScannerWorker() - FilterGetMessage() failed - Failed!");
            break;
        }
        bReadPending = TRUE;
    }

    if (hr == HR_PORT_GONE) {
        WriteTrace("ScannerWorker() - Port is disconnected, probably due to vuvudovu filter unloading. - Failed!");
        WriteLog("Port is disconnected, probably due to vuvudovu filter unloading.");
    } else {
        WriteTrace("ScannerWorker() - Unknown error occured. Error = 0x%X\n - Failed!", (unsigned)hr);
        WriteLog("Unknown error occured. Error = 0x%X\n", (unsigned)hr);
    }
    if (!bReadPending)
        HeapFree(GetProcessHeap(), 0, pMessage);
    WriteTrace("ScannerWorker() - End");
    return (DWORD)hr;
}
