// The filter manager's user library, carried over named pipes: where no
// filter manager exists, this fltlib.dll stands beside the agent and speaks
// to a driver stand-in that hosts the port's pipe (standins/port/PortPipe.h
// holds the records). Plain Win32: no C++ exceptions, no allocation that
// can throw.
#include <windows.h>
#include <fltuser.h>

#include <new>

#include "PortPipe.h"
#include "SharedPath.h"

#define HR(err) HRESULT_FROM_WIN32(err)

// An event handle with its low-order bit set: the I/O that uses it queues no
// packet to a completion port bound to the handle.
static HANDLE NoPacket(HANDLE hEvent) { return (HANDLE)((ULONG_PTR)hEvent | 1); }

// The driver side has gone: the real library reports such a port with
// ERROR_INVALID_HANDLE.
static bool IsBrokenChannel(DWORD dwError)
{
    return dwError == ERROR_BROKEN_PIPE || dwError == ERROR_PIPE_NOT_CONNECTED ||
           dwError == ERROR_NO_DATA || dwError == ERROR_INVALID_HANDLE;
}

static HRESULT HrFromIo(DWORD dwError)
{
    return HR(IsBrokenChannel(dwError) ? ERROR_INVALID_HANDLE : dwError);
}

// One read or write through an OVERLAPPED whose event carries the low bit,
// waited for at most dwTimeoutMs. Returns the Win32 error, 0 on success;
// ERROR_MORE_DATA for a read that got only the front of a message.
static DWORD TransferWait(HANDLE h, bool bWrite, void* pBuffer, DWORD cb, DWORD* pcbDone,
                          HANDLE hEvent, DWORD dwTimeoutMs)
{
    OVERLAPPED ov = {};
    ov.hEvent = NoPacket(hEvent);
    *pcbDone = 0;
    // ReadFile and WriteFile reset the event themselves.
    BOOL bOk = bWrite ? WriteFile(h, pBuffer, cb, NULL, &ov) : ReadFile(h, pBuffer, cb, NULL, &ov);
    DWORD dwError = bOk ? 0 : GetLastError();
    if (dwError != 0 && dwError != ERROR_IO_PENDING && dwError != ERROR_MORE_DATA)
        return dwError;
    // Done at once (the usual case for a write): nothing to wait for.
    if (dwError == 0)
        return GetOverlappedResult(h, &ov, pcbDone, FALSE) ? 0 : GetLastError();
    if (WaitForSingleObject(hEvent, dwTimeoutMs) != WAIT_OBJECT_0) {
        CancelIoEx(h, &ov);
        GetOverlappedResult(h, &ov, pcbDone, TRUE);
        return ERROR_TIMEOUT;
    }
    return GetOverlappedResult(h, &ov, pcbDone, FALSE) ? 0 : GetLastError();
}

// Each thread keeps one event for its own transfers: the reply path runs
// once per request, and creating an event for every call costs as much as
// the write itself.
static DWORD g_dwEventSlot = TLS_OUT_OF_INDEXES;

static HANDLE ThreadEvent(void)
{
    HANDLE hEvent = g_dwEventSlot != TLS_OUT_OF_INDEXES ? TlsGetValue(g_dwEventSlot) : NULL;
    if (hEvent == NULL) {
        hEvent = CreateEventW(NULL, TRUE, FALSE, NULL);
        if (hEvent != NULL && g_dwEventSlot != TLS_OUT_OF_INDEXES)
            TlsSetValue(g_dwEventSlot, hEvent);
    }
    return hEvent;
}

static void ReleaseThreadEvent(HANDLE hEvent)
{
    if (g_dwEventSlot == TLS_OUT_OF_INDEXES || TlsGetValue(g_dwEventSlot) != hEvent)
        CloseHandle(hEvent);
}

// Same, with the thread's event.
static DWORD Transfer(HANDLE h, bool bWrite, void* pBuffer, DWORD cb, DWORD* pcbDone,
                      DWORD dwTimeoutMs = INFINITE)
{
    HANDLE hEvent = ThreadEvent();
    if (hEvent == NULL)
        return GetLastError();
    DWORD dwError = TransferWait(h, bWrite, pBuffer, cb, pcbDone, hEvent, dwTimeoutMs);
    ReleaseThreadEvent(hEvent);
    return dwError;
}

// Reads and drops the rest of a message whose front was read.
static void DrainMessage(HANDLE h, HANDLE hEvent)
{
    BYTE scratch[512];
    DWORD cb;
    while (TransferWait(h, false, scratch, sizeof(scratch), &cb, hEvent, INFINITE) == ERROR_MORE_DATA) {
    }
}

// ---------------------------------------------------------------------------
// The process-wide table: port handle -> control channel, and the shared
// path of a connection that uses one (its port handle is then the section's
// backing file; otherwise the request channel).

struct PortEntry {
    HANDLE      hPort;
    HANDLE      hControl;
    HANDLE      hEvent;      // for the control channel's I/O, used under lock
    SRWLOCK     lock;        // one control message and its answer at a time
    LONG        lRefs;       // the table's reference and one per caller
    SharedPath* pShared;     // NULL on the pipes
    PortEntry*  pNext;
};

static SRWLOCK    g_tableLock = SRWLOCK_INIT;
static PortEntry* g_pPorts = NULL;

static void ReleaseEntry(PortEntry* pEntry)
{
    if (InterlockedDecrement(&pEntry->lRefs) == 0) {
        if (pEntry->pShared != NULL)   // closed when the table let it go (DropEntry)
            SharedPathRelease(pEntry->pShared);
        CloseHandle(pEntry->hControl);
        CloseHandle(pEntry->hEvent);
        delete pEntry;
    }
}

// Drops the table's reference to an unlinked entry. A shared path's
// connection ends now, as a closed pipe port's does, not when the last
// caller lets go: the driver must hear of it before anyone reconnects.
static void DropEntry(PortEntry* pEntry)
{
    if (pEntry->pShared != NULL)
        SharedPathClose(pEntry->pShared);
    ReleaseEntry(pEntry);
}

// Unlinks the entry (when still linked) and drops the table's reference.
static void RemoveEntry(PortEntry* pEntry)
{
    bool bFound = false;
    AcquireSRWLockExclusive(&g_tableLock);
    for (PortEntry** pp = &g_pPorts; *pp != NULL; pp = &(*pp)->pNext) {
        if (*pp == pEntry) {
            *pp = pEntry->pNext;
            bFound = true;
            break;
        }
    }
    ReleaseSRWLockExclusive(&g_tableLock);
    if (bFound)
        DropEntry(pEntry);
}

// Whether the entry's port handle is still the agent's port. The agent may
// have closed it; its value may since belong to something else.
static bool IsPortOpen(const PortEntry* pEntry)
{
    if (pEntry->pShared != NULL)
        return SharedPathIsPort(pEntry->pShared, pEntry->hPort);
    DWORD dwFlags = 0;
    return GetNamedPipeInfo(pEntry->hPort, &dwFlags, NULL, NULL, NULL) &&
           !(dwFlags & PIPE_SERVER_END) && (dwFlags & PIPE_TYPE_MESSAGE);
}

// Drops the stale entries: those whose port handle is no longer the port,
// and, when a connection is added, any with its handle value (that handle
// was closed and the value reused). Then adds pEntry, when given.
static void SweepAndInsert(PortEntry* pEntry)
{
    PortEntry* pStale = NULL;
    AcquireSRWLockExclusive(&g_tableLock);
    for (PortEntry** pp = &g_pPorts; *pp != NULL;) {
        PortEntry* p = *pp;
        if ((pEntry != NULL && p->hPort == pEntry->hPort) || !IsPortOpen(p)) {
            *pp = p->pNext;
            p->pNext = pStale;
            pStale = p;
        } else {
            pp = &p->pNext;
        }
    }
    if (pEntry != NULL) {
        pEntry->pNext = g_pPorts;
        g_pPorts = pEntry;
    }
    ReleaseSRWLockExclusive(&g_tableLock);
    while (pStale != NULL) {
        PortEntry* pNext = pStale->pNext;
        DropEntry(pStale);
        pStale = pNext;
    }
}

// The entry of a port handle with a reference for the caller, or NULL;
// with bSharedOnly, only an entry with a shared path, and unchecked: this
// is the request path, and the shared path itself notices soon enough
// that the agent closed its port handle.
static PortEntry* FindEntry(HANDLE hPort, bool bSharedOnly)
{
    PortEntry* pEntry = NULL;
    AcquireSRWLockShared(&g_tableLock);
    for (PortEntry* p = g_pPorts; p != NULL; p = p->pNext) {
        if (p->hPort == hPort && (p->pShared != NULL || !bSharedOnly)) {
            pEntry = p;
            InterlockedIncrement(&p->lRefs);
            break;
        }
    }
    ReleaseSRWLockShared(&g_tableLock);
    return pEntry;
}

// The entry of a port handle that is still the port, with a reference for
// the caller, or NULL.
static PortEntry* AcquireEntry(HANDLE hPort)
{
    PortEntry* pEntry = FindEntry(hPort, false);
    if (pEntry != NULL && !IsPortOpen(pEntry)) {
        RemoveEntry(pEntry);
        ReleaseEntry(pEntry);
        pEntry = NULL;
    }
    return pEntry;
}

// ---------------------------------------------------------------------------
// Connecting.

// Opens one channel: the pipe in message read mode, after one wait when
// every instance is busy.
static HRESULT OpenChannel(const wchar_t* pwszPipe, LPSECURITY_ATTRIBUTES pSa, HANDLE* phChannel)
{
    *phChannel = INVALID_HANDLE_VALUE;
    HANDLE h = CreateFileW(pwszPipe, GENERIC_READ | GENERIC_WRITE, 0, pSa, OPEN_EXISTING,
                           FILE_FLAG_OVERLAPPED, NULL);
    if (h == INVALID_HANDLE_VALUE && GetLastError() == ERROR_PIPE_BUSY) {
        WaitNamedPipeW(pwszPipe, PORT_BUSY_WAIT_MS);
        h = CreateFileW(pwszPipe, GENERIC_READ | GENERIC_WRITE, 0, pSa, OPEN_EXISTING,
                        FILE_FLAG_OVERLAPPED, NULL);
    }
    if (h == INVALID_HANDLE_VALUE) {
        DWORD dwError = GetLastError();
        if (dwError == ERROR_PATH_NOT_FOUND)
            dwError = ERROR_FILE_NOT_FOUND;
        return HR(dwError);
    }
    DWORD dwMode = PIPE_READMODE_MESSAGE;
    if (!SetNamedPipeHandleState(h, &dwMode, NULL, NULL)) {
        DWORD dwError = GetLastError();
        CloseHandle(h);
        return HR(dwError);
    }
    *phChannel = h;
    return S_OK;
}

// Writes one message on a channel and reads the driver's PORT_ANSWER to it.
// Returns the transfer's failure, or the answer's HRESULT (a success code
// may say more than S_OK).
static HRESULT Exchange(HANDLE h, const void* pMessage, DWORD cbMessage, PORT_ANSWER* pAnswer)
{
    DWORD cb = 0;
    *pAnswer = PORT_ANSWER{};
    DWORD dwError = Transfer(h, true, const_cast<void*>(pMessage), cbMessage, &cb, PORT_ANSWER_WAIT_MS);
    if (dwError != 0)
        return HR(dwError);
    dwError = Transfer(h, false, pAnswer, sizeof(*pAnswer), &cb, PORT_ANSWER_WAIT_MS);
    if (dwError != 0)
        return HR(dwError == ERROR_MORE_DATA ? ERROR_INVALID_DATA : dwError);
    if (cb != sizeof(*pAnswer))
        return HR(ERROR_INVALID_DATA);
    return pAnswer->hr;
}

// Sends the hello of one channel and reads the driver's answer: S_OK, or
// PORT_S_SHARED from a driver that offers the shared path.
static HRESULT Hello(HANDLE h, DWORD dwChannel, DWORD dwConnectionId, DWORD dwOptions,
                     LPCVOID pContext, WORD cbContext, DWORD* pdwConnectionId)
{
    DWORD cbHello = sizeof(PORT_HELLO) + cbContext;
    BYTE* pHello = (BYTE*)HeapAlloc(GetProcessHeap(), 0, cbHello);
    if (pHello == NULL)
        return E_OUTOFMEMORY;
    PORT_HELLO hello = {PORT_HELLO_MAGIC, PORT_HELLO_VERSION, dwChannel, dwConnectionId,
                        dwOptions, cbContext};
    CopyMemory(pHello, &hello, sizeof(hello));
    if (cbContext != 0)
        CopyMemory(pHello + sizeof(hello), pContext, cbContext);
    PORT_ANSWER answer;
    HRESULT hr = Exchange(h, pHello, cbHello, &answer);
    HeapFree(GetProcessHeap(), 0, pHello);
    if (FAILED(hr))
        return hr;
    if (answer.dwConnectionId == 0)
        return HR(ERROR_INVALID_DATA);
    *pdwConnectionId = answer.dwConnectionId;
    return hr == PORT_S_SHARED ? hr : S_OK;
}

// Takes a driver's offer of the shared path on the request channel: the
// setup and its answer. S_OK with the path made; S_FALSE when the driver
// refused it (the connection goes on over the pipes, as it does when the
// path cannot be made here); a failure when the channel failed.
static HRESULT TakeSharedOffer(HANDLE hRequest, SharedPath** ppShared)
{
    PORT_SHARED_SETUP setup;
    SharedPath* pShared = SharedPathCreate(hRequest, &setup);
    if (pShared == NULL)
        return S_FALSE;
    PORT_ANSWER answer;
    HRESULT hr = Exchange(hRequest, &setup, sizeof(setup), &answer);
    if (hr == S_OK) {
        *ppShared = pShared;
        return S_OK;
    }
    SharedPathAbandon(pShared);
    return FAILED(hr) && answer.dwConnectionId == 0 ? hr : S_FALSE;
}

// Connects to the port: the request channel and the control channel, each
// introduced by its hello, with the shared path between the two when the
// driver offers it. The port handle is the request channel, or on the
// shared path the section's backing file.
extern "C" HRESULT WINAPI FilterConnectCommunicationPort(LPCWSTR lpPortName, DWORD dwOptions,
                                                         LPCVOID lpContext, WORD wSizeOfContext,
                                                         LPSECURITY_ATTRIBUTES lpSecurityAttributes,
                                                         HANDLE* hPort)
{
    if (hPort == NULL)
        return E_INVALIDARG;
    *hPort = INVALID_HANDLE_VALUE;
    if (lpPortName == NULL || (lpContext == NULL && wSizeOfContext != 0))
        return E_INVALIDARG;
    if (*lpPortName == L'\\')
        lpPortName++;
    size_t cchName = lstrlenW(lpPortName);
    if (cchName == 0 || cchName > 256)
        return E_INVALIDARG;
    wchar_t wszPipe[300] = PORT_PIPE_PREFIX;
    lstrcatW(wszPipe, lpPortName);
    SweepAndInsert(NULL);   // connections whose port was closed end first

    PortEntry* pEntry = new (std::nothrow) PortEntry();
    if (pEntry == NULL)
        return E_OUTOFMEMORY;
    pEntry->hPort = pEntry->hControl = INVALID_HANDLE_VALUE;
    pEntry->hEvent = CreateEventW(NULL, TRUE, FALSE, NULL);
    InitializeSRWLock(&pEntry->lock);
    pEntry->lRefs = 1;

    DWORD dwConnectionId = 0, dwControlId = 0;
    HRESULT hr = pEntry->hEvent != NULL ? S_OK : HR(GetLastError());
    if (SUCCEEDED(hr))
        hr = OpenChannel(wszPipe, lpSecurityAttributes, &pEntry->hPort);
    if (SUCCEEDED(hr))
        hr = Hello(pEntry->hPort, PORT_CHANNEL_REQUEST, 0, dwOptions, lpContext, wSizeOfContext,
                   &dwConnectionId);
    if (hr == PORT_S_SHARED)
        hr = TakeSharedOffer(pEntry->hPort, &pEntry->pShared);
    if (SUCCEEDED(hr))
        hr = OpenChannel(wszPipe, NULL, &pEntry->hControl);
    if (SUCCEEDED(hr))
        hr = Hello(pEntry->hControl, PORT_CHANNEL_CONTROL, dwConnectionId, dwOptions, lpContext,
                   wSizeOfContext, &dwControlId);
    if (SUCCEEDED(hr) && pEntry->pShared != NULL) {
        if (SharedPathStart(pEntry->pShared, pEntry->hPort))
            pEntry->hPort = SharedPathTakePort(pEntry->pShared);   // the path has the channel now
        else
            hr = E_OUTOFMEMORY;
    }
    if (FAILED(hr)) {
        if (pEntry->pShared != NULL)
            SharedPathRelease(pEntry->pShared);
        if (pEntry->hPort != INVALID_HANDLE_VALUE)
            CloseHandle(pEntry->hPort);
        if (pEntry->hControl != INVALID_HANDLE_VALUE)
            CloseHandle(pEntry->hControl);
        if (pEntry->hEvent != NULL)
            CloseHandle(pEntry->hEvent);
        delete pEntry;
        return hr;
    }
    SweepAndInsert(pEntry);
    *hPort = pEntry->hPort;
    return S_OK;
}

// ---------------------------------------------------------------------------
// Requests and replies: on the pipes the request channel, which is the port
// handle itself; otherwise the shared path.

// Receives one request. With an OVERLAPPED the result always arrives through
// the completion port bound to the port handle, also when the read completed
// at once; without one the call blocks.
extern "C" HRESULT WINAPI FilterGetMessage(HANDLE hPort, PFILTER_MESSAGE_HEADER lpMessageBuffer,
                                           DWORD dwMessageBufferSize, LPOVERLAPPED lpOverlapped)
{
    if (lpMessageBuffer == NULL || dwMessageBufferSize < sizeof(FILTER_MESSAGE_HEADER))
        return E_INVALIDARG;
    if (PortEntry* pEntry = FindEntry(hPort, true)) {
        HANDLE hEvent = lpOverlapped == NULL ? ThreadEvent() : NULL;
        HRESULT hr = lpOverlapped == NULL && hEvent == NULL
                         ? HR(GetLastError())
                         : SharedPathGetMessage(pEntry->pShared, lpMessageBuffer, dwMessageBufferSize,
                                                lpOverlapped, hEvent);
        if (hEvent != NULL)
            ReleaseThreadEvent(hEvent);
        ReleaseEntry(pEntry);
        return hr;
    }
    if (lpOverlapped != NULL) {
        if (ReadFile(hPort, lpMessageBuffer, dwMessageBufferSize, NULL, lpOverlapped))
            return HR(ERROR_IO_PENDING);
        DWORD dwError = GetLastError();
        // A message longer than the buffer completes too, with its error,
        // through the completion port.
        if (dwError == ERROR_IO_PENDING || dwError == ERROR_MORE_DATA)
            return HR(ERROR_IO_PENDING);
        return HrFromIo(dwError);
    }
    HANDLE hEvent = ThreadEvent();
    if (hEvent == NULL)
        return HR(GetLastError());
    DWORD cb = 0;
    DWORD dwError = TransferWait(hPort, false, lpMessageBuffer, dwMessageBufferSize, &cb, hEvent,
                                 INFINITE);
    if (dwError == ERROR_MORE_DATA)
        DrainMessage(hPort, hEvent);   // keeps the next read on a message boundary
    ReleaseThreadEvent(hEvent);
    return dwError == 0 ? S_OK : HrFromIo(dwError);
}

// Sends one reply, whole, and waits until it is written.
extern "C" HRESULT WINAPI FilterReplyMessage(HANDLE hPort, PFILTER_REPLY_HEADER lpReplyBuffer,
                                             DWORD dwReplyBufferSize)
{
    if (lpReplyBuffer == NULL || dwReplyBufferSize < sizeof(FILTER_REPLY_HEADER))
        return E_INVALIDARG;
    if (PortEntry* pEntry = FindEntry(hPort, true)) {
        HRESULT hr = SharedPathReply(pEntry->pShared, lpReplyBuffer, dwReplyBufferSize);
        ReleaseEntry(pEntry);
        return hr;
    }
    DWORD cb = 0;
    DWORD dwError = Transfer(hPort, true, lpReplyBuffer, dwReplyBufferSize, &cb);
    if (dwError == 0 && cb != dwReplyBufferSize)
        dwError = ERROR_WRITE_FAULT;
    return dwError == 0 ? S_OK : HrFromIo(dwError);
}

// ---------------------------------------------------------------------------
// Control messages: the control channel, one message and its answer at a time.

// Reads the answer to a control message into out; returns the Win32 error.
static DWORD ReadControlAnswer(PortEntry* pEntry, HRESULT* phr, LPVOID lpOut, DWORD cbOut,
                               DWORD* pcbOut)
{
    PORT_CONTROL_ANSWER answer = {};
    DWORD cb = 0;
    DWORD dwError = TransferWait(pEntry->hControl, false, &answer, sizeof(answer), &cb,
                                 pEntry->hEvent, INFINITE);
    if (dwError != 0 && dwError != ERROR_MORE_DATA)
        return dwError;
    if (cb != sizeof(answer)) {
        if (dwError == ERROR_MORE_DATA)
            DrainMessage(pEntry->hControl, pEntry->hEvent);
        return ERROR_INVALID_DATA;
    }
    DWORD cbOutput = 0;
    if (dwError == ERROR_MORE_DATA) {   // output bytes follow
        if (cbOut == 0) {
            DrainMessage(pEntry->hControl, pEntry->hEvent);
            return ERROR_MORE_DATA;
        }
        dwError = TransferWait(pEntry->hControl, false, lpOut, cbOut, &cbOutput, pEntry->hEvent,
                               INFINITE);
        if (dwError == ERROR_MORE_DATA)   // more than the caller can take
            DrainMessage(pEntry->hControl, pEntry->hEvent);
        if (dwError != 0 && dwError != ERROR_MORE_DATA)
            return dwError;
    }
    *pcbOut = cbOutput;
    if (dwError == 0 && cbOutput != answer.cbOutput)
        return ERROR_INVALID_DATA;
    *phr = answer.hr;
    return dwError;
}

// Sends one control message and returns the driver's answer.
extern "C" HRESULT WINAPI FilterSendMessage(HANDLE hPort, LPVOID lpInBuffer, DWORD dwInBufferSize,
                                            LPVOID lpOutBuffer, DWORD dwOutBufferSize,
                                            LPDWORD lpBytesReturned)
{
    if (lpBytesReturned != NULL)
        *lpBytesReturned = 0;
    if ((lpInBuffer == NULL && dwInBufferSize != 0) || (lpOutBuffer == NULL && dwOutBufferSize != 0))
        return E_INVALIDARG;
    PortEntry* pEntry = AcquireEntry(hPort);
    if (pEntry == NULL)
        return HR(ERROR_INVALID_HANDLE);

    HRESULT hrDriver = S_OK;
    DWORD cb = 0, cbOut = 0;
    AcquireSRWLockExclusive(&pEntry->lock);
    DWORD dwError = TransferWait(pEntry->hControl, true, lpInBuffer, dwInBufferSize, &cb,
                                 pEntry->hEvent, INFINITE);
    if (dwError == 0 && cb != dwInBufferSize)
        dwError = ERROR_WRITE_FAULT;
    if (dwError == 0)
        dwError = ReadControlAnswer(pEntry, &hrDriver, lpOutBuffer, dwOutBufferSize, &cbOut);
    ReleaseSRWLockExclusive(&pEntry->lock);

    if (IsBrokenChannel(dwError))
        RemoveEntry(pEntry);   // the driver has gone: this port is over
    ReleaseEntry(pEntry);
    if (lpBytesReturned != NULL)
        *lpBytesReturned = cbOut;
    return dwError == 0 ? hrDriver : HrFromIo(dwError);
}

// ---------------------------------------------------------------------------

// Whether a drive letter's DOS device target is the volume.
static bool LetterIsVolume(WCHAR wcLetter, LPCWSTR lpVolumeName, WCHAR* pwszTarget, DWORD cchTarget)
{
    WCHAR wszDrive[3] = {wcLetter, L':', 0};
    return QueryDosDeviceW(wszDrive, pwszTarget, cchTarget) != 0 &&
           CompareStringOrdinal(pwszTarget, -1, lpVolumeName, -1, TRUE) == CSTR_EQUAL;
}

// The letter found last, with its volume: asked first next time, and still
// checked (a letter moved since is searched for again). Each query of a
// letter costs the compatibility layer's server three calls, and the agent
// asks for every request that names a folder.
static SRWLOCK g_dosLock = SRWLOCK_INIT;
static WCHAR   g_wszDosVolume[MAX_PATH];
static WCHAR   g_wcDosLetter;

// The DOS name ("X:") of a volume device name, from the drive letters'
// DOS device targets.
extern "C" HRESULT WINAPI FilterGetDosName(LPCWSTR lpVolumeName, LPWSTR lpDosName,
                                           DWORD dwDosNameBufferSize)
{
    if (lpVolumeName == NULL || lpDosName == NULL)
        return E_INVALIDARG;
    if (dwDosNameBufferSize < 3)
        return HR(ERROR_INSUFFICIENT_BUFFER);
    const DWORD cchTarget = 32768;
    WCHAR* pwszTarget = (WCHAR*)HeapAlloc(GetProcessHeap(), 0, cchTarget * sizeof(WCHAR));
    if (pwszTarget == NULL)
        return E_OUTOFMEMORY;
    AcquireSRWLockShared(&g_dosLock);
    WCHAR wcFound = g_wcDosLetter != 0 && CompareStringOrdinal(g_wszDosVolume, -1, lpVolumeName, -1, TRUE) == CSTR_EQUAL
                        ? g_wcDosLetter
                        : 0;
    ReleaseSRWLockShared(&g_dosLock);
    if (wcFound != 0 && !LetterIsVolume(wcFound, lpVolumeName, pwszTarget, cchTarget))
        wcFound = 0;
    for (WCHAR wcLetter = L'A'; wcFound == 0 && wcLetter <= L'Z'; wcLetter++) {
        if (!LetterIsVolume(wcLetter, lpVolumeName, pwszTarget, cchTarget))
            continue;
        wcFound = wcLetter;
        if (lstrlenW(lpVolumeName) < MAX_PATH) {
            AcquireSRWLockExclusive(&g_dosLock);
            lstrcpyW(g_wszDosVolume, lpVolumeName);
            g_wcDosLetter = wcFound;
            ReleaseSRWLockExclusive(&g_dosLock);
        }
    }
    HeapFree(GetProcessHeap(), 0, pwszTarget);
    if (wcFound == 0)
        return HR(ERROR_FILE_NOT_FOUND);
    lpDosName[0] = wcFound;
    lpDosName[1] = L':';
    lpDosName[2] = 0;
    return S_OK;
}

// On FreeLibrary (not at process exit) the control channels are closed.
extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD dwReason, LPVOID lpReserved)
{
    switch (dwReason) {
    case DLL_PROCESS_ATTACH:
        g_dwEventSlot = TlsAlloc();
        break;
    case DLL_THREAD_DETACH:
        if (g_dwEventSlot != TLS_OUT_OF_INDEXES && TlsGetValue(g_dwEventSlot) != NULL)
            CloseHandle(TlsGetValue(g_dwEventSlot));
        break;
    case DLL_PROCESS_DETACH:
        if (lpReserved != NULL)
            break;
        while (g_pPorts != NULL) {
            PortEntry* p = g_pPorts;
            g_pPorts = p->pNext;
            DropEntry(p);
        }
        if (g_dwEventSlot != TLS_OUT_OF_INDEXES)
            TlsFree(g_dwEventSlot);
        break;
    }
    return TRUE;
}
