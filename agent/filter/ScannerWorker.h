// The worker threads that serve the driver's requests.
#pragma once

#include <windows.h>
#include <stddef.h>

#include "VaultWire.h"

// Shared read-only by every worker for the life of the process.
typedef struct _WorkerContext {
    HANDLE hPort;
    HANDLE hCompletion;
} WorkerContext;

// One request buffer: what FilterGetMessage fills, then the OVERLAPPED of the
// pending read, found again from the completion by its fixed offset.
typedef struct _SCANNER_MESSAGE {
    RequestMessage Request;
    OVERLAPPED     Ovlp;
} SCANNER_MESSAGE;

#define SCANNER_OVERLAPPED_OFFSET 0x7710
static_assert(offsetof(SCANNER_MESSAGE, Ovlp) == SCANNER_OVERLAPPED_OFFSET,
              "the OVERLAPPED follows the request");
static_assert(sizeof(SCANNER_MESSAGE) == 0x7730, "request allocation size");

// Thread routine; lpParameter is the WorkerContext.
DWORD WINAPI ScannerWorker(LPVOID lpParameter);

// Serves one request into a prepared reply (header set, Succeeded 0).
void DispatchRequest(Notification* pNotification, struct ReplyMessage* pReplyMessage);
void NullInitializeReply(struct Reply* pReply);
