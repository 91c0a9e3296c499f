// The client's side of the shared-memory data path. Plain Win32, like the
// rest of the stand-in: no C++ exceptions, no allocation that can throw.
//
// A request reaches the agent in one of two ways. A FilterGetMessage that
// finds one waiting in the ring takes it at once; one that finds none joins
// a queue, and the dispatcher thread (woken by the driver's event) hands
// each request that arrives to the oldest waiting call. With an OVERLAPPED,
// "handing" is a ReadFile of the slot through the backing file: the bytes
// land in the agent's buffer and the completion in the agent's completion
// port, with its key, as a pipe read's would.
#include "SharedPath.h"

#include <wchar.h>

#include <new>

#define HR(err) HRESULT_FROM_WIN32(err)

namespace {

const DWORD kSlots = 16;
const DWORD kRequestArea = 32 * 1024;   // the agent's requests are 30,480 bytes
const DWORD kReplyArea = 32 * 1024;     // and its replies 17,472
// How often the dispatcher looks whether the agent still holds its port
// handle: closing it is the agent's way to end the connection.
const DWORD kPortCheckMs = 200;

// One FilterGetMessage waiting for a request.
struct Waiter {
    PFILTER_MESSAGE_HEADER pBuffer;
    DWORD                  cbBuffer;
    LPOVERLAPPED           pOverlapped;   // NULL: a blocking call, waiting on hDone
    HANDLE                 hDone;
    HRESULT                hr;
    Waiter*                pNext;
    ULONGLONG              ullOffset;     // the read handed to it, once it is due
    DWORD                  cbRead;
};

}  // namespace

struct SharedPath {
    LONG                lRefs;         // the port entry's, and the dispatcher's while it runs
    PORT_SHARED_SETUP   geo;           // as set up; the section's copy is never read back
    HANDLE              hPort;         // the agent's port handle
    bool                bPortTaken;
    HANDLE              hFile;         // ours, on the same file object: reads, and comparisons
    HANDLE              hSection;
    BYTE*               pView;
    PORT_SHARED_HEADER* pHeader;
    HANDLE              hRequestEvent;
    HANDLE              hReplyEvents[PORT_SHARED_MAX_SLOTS];
    HANDLE              hDriver;       // the driver's process, until the setup is answered
    HANDLE              hPipe;         // the request channel, once started
    OVERLAPPED          ovPipe;        // a read on it, which ends when the driver's side does
    BYTE                bPipeByte;
    HANDLE              hStop;
    HMODULE             hModule;       // held by the dispatcher, so that the DLL stays
    SRWLOCK             lock;
    // Under lock:
    bool                bGone;         // no more requests: the driver went, or the agent closed
    bool                bClosed;       // the request channel is closed
    DWORD               dwTaken;
    Waiter*             pFirst;        // waiting calls, oldest first
    Waiter*             pLast;
    Waiter*             pSpare;        // waiter records for reuse
    Waiter*             pDueFirst;     // reads handed over and not yet issued, in that order
    Waiter*             pDueLast;
    SRWLOCK             issuing;       // held by the thread that issues the due reads
    bool                bHeld[PORT_SHARED_MAX_SLOTS];       // taken by the agent, not replied to
    ULONGLONG           ullHeld[PORT_SHARED_MAX_SLOTS];     // and the MessageId it holds
};

namespace {

PORT_SHARED_SLOT* SlotOf(SharedPath* p, DWORD i) { return &p->pHeader->slots[i]; }

void CloseIfSet(HANDLE* ph)
{
    if (*ph != NULL && *ph != INVALID_HANDLE_VALUE)
        CloseHandle(*ph);
    *ph = NULL;
}

void Destroy(SharedPath* p)
{
    if (p->pView != NULL)
        UnmapViewOfFile(p->pView);
    CloseIfSet(&p->hSection);
    CloseIfSet(&p->hFile);
    if (!p->bPortTaken)
        CloseIfSet(&p->hPort);
    CloseIfSet(&p->hRequestEvent);
    for (DWORD i = 0; i < PORT_SHARED_MAX_SLOTS; i++)
        CloseIfSet(&p->hReplyEvents[i]);
    CloseIfSet(&p->hDriver);
    if (!p->bClosed)   // the driver's side ended it: its read is over
        CloseIfSet(&p->hPipe);
    CloseIfSet(&p->ovPipe.hEvent);
    CloseIfSet(&p->hStop);
    Waiter* lists[2] = {p->pSpare, p->pDueFirst};
    for (Waiter* pList : lists) {
        while (pList != NULL) {
            Waiter* w = pList;
            pList = w->pNext;
            delete w;
        }
    }
    delete p;
}

// Closes, in the driver's process, the duplicates a setup carried.
void CloseDuplicates(SharedPath* p)
{
    ULONGLONG* values[2 + PORT_SHARED_MAX_SLOTS] = {&p->geo.hSection, &p->geo.hRequestEvent};
    for (DWORD i = 0; i < PORT_SHARED_MAX_SLOTS; i++)
        values[2 + i] = &p->geo.hReplyEvents[i];
    for (ULONGLONG* pv : values) {
        if (*pv != 0)
            DuplicateHandle(p->hDriver, (HANDLE)(ULONG_PTR)*pv, NULL, NULL, 0, FALSE, DUPLICATE_CLOSE_SOURCE);
        *pv = 0;
    }
}

bool GiveToDriver(SharedPath* p, HANDLE h, DWORD dwAccess, ULONGLONG* pValue)
{
    HANDLE hRemote = NULL;
    if (!DuplicateHandle(GetCurrentProcess(), h, p->hDriver, &hRemote, dwAccess, FALSE, 0))
        return false;
    *pValue = (ULONGLONG)(ULONG_PTR)hRemote;
    return true;
}

// A new backing file in the temporary folder: nobody else can open it (no
// sharing), and it goes with its last handle.
HANDLE CreateBackingFile(void)
{
    static LONG s_lSerial = 0;
    wchar_t wszDir[MAX_PATH], wszPath[MAX_PATH + 64];
    DWORD cch = GetTempPathW(MAX_PATH, wszDir);
    if (cch == 0 || cch >= MAX_PATH)
        return INVALID_HANDLE_VALUE;
    HANDLE h = INVALID_HANDLE_VALUE;
    for (int i = 0; i < 8 && h == INVALID_HANDLE_VALUE; i++) {
        swprintf(wszPath, MAX_PATH + 64, L"%lsvfport-%lx-%lx-%lx.tmp", wszDir, GetCurrentProcessId(),
                 (unsigned long)InterlockedIncrement(&s_lSerial), GetTickCount());
        h = CreateFileW(wszPath, GENERIC_READ | GENERIC_WRITE, 0, NULL, CREATE_NEW,
                        FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE | FILE_FLAG_OVERLAPPED, NULL);
        if (h == INVALID_HANDLE_VALUE && GetLastError() != ERROR_FILE_EXISTS)
            break;
    }
    return h;
}

// Under lock: the next request of the ring, as its slot number, or -1.
int Take(SharedPath* p)
{
    PORT_SHARED_HEADER* pHeader = p->pHeader;
    for (;;) {
        DWORD dwPosted = (DWORD)InterlockedCompareExchange(&pHeader->lPosted, 0, 0);
        if (dwPosted == p->dwTaken)
            return -1;
        DWORD i = pHeader->dwRing[p->dwTaken & (p->geo.dwSlots - 1)];
        p->dwTaken++;
        InterlockedExchange(&pHeader->lTaken, (LONG)p->dwTaken);
        // A slot that the driver did not post is its fault: skipped.
        if (i < p->geo.dwSlots &&
            InterlockedCompareExchange(&SlotOf(p, i)->lState, PORT_SLOT_TAKEN, PORT_SLOT_POSTED) == PORT_SLOT_POSTED)
            return (int)i;
    }
}

// Under lock: completes a waiting call. A blocking one gets hr and, when
// it succeeded, cb bytes of the view from ullOffset; an overlapped one is
// due to read cb bytes at ullOffset of the backing file (IssueDue), so that
// it completes through the agent's port (a read past the file's end fails
// with ERROR_HANDLE_EOF).
void Complete(SharedPath* p, Waiter* w, ULONGLONG ullOffset, DWORD cb, HRESULT hr)
{
    if (w->pOverlapped == NULL) {
        if (SUCCEEDED(hr))
            CopyMemory(w->pBuffer, p->pView + ullOffset, cb);
        w->hr = hr;
        SetEvent(w->hDone);
        return;
    }
    w->ullOffset = ullOffset;
    w->cbRead = cb;
    w->pNext = NULL;
    if (p->pDueLast != NULL)
        p->pDueLast->pNext = w;
    else
        p->pDueFirst = w;
    p->pDueLast = w;
}

// Not under lock: issues the due reads in the order they were handed over.
// A read is a call into the compatibility layer's server, and a worker that
// waited for the lock meanwhile would be one more thread to wake; so reads
// go out after the lock is let go, by one thread at a time, and a thread
// that finds another issuing leaves its reads to that one, which looks
// again after it stops.
void IssueDue(SharedPath* p)
{
    while (TryAcquireSRWLockExclusive(&p->issuing)) {
        Waiter* pIssued = NULL;
        for (;;) {
            AcquireSRWLockExclusive(&p->lock);
            while (pIssued != NULL) {
                Waiter* w = pIssued;
                pIssued = w->pNext;
                w->pNext = p->pSpare;
                p->pSpare = w;
            }
            Waiter* pDue = p->pDueFirst;
            p->pDueFirst = p->pDueLast = NULL;
            ReleaseSRWLockExclusive(&p->lock);
            if (pDue == NULL)
                break;
            for (Waiter* w = pDue; w != NULL; w = w->pNext) {
                w->pOverlapped->Offset = (DWORD)w->ullOffset;
                w->pOverlapped->OffsetHigh = (DWORD)(w->ullOffset >> 32);
                ReadFile(p->hFile, w->pBuffer, w->cbRead, NULL, w->pOverlapped);
            }
            pIssued = pDue;
        }
        ReleaseSRWLockExclusive(&p->issuing);
        AcquireSRWLockShared(&p->lock);
        const bool bMore = p->pDueFirst != NULL;
        ReleaseSRWLockShared(&p->lock);
        if (!bMore)
            return;
    }
}

// Under lock: hands request slot i to a waiting call.
void Deliver(SharedPath* p, Waiter* w, DWORD i)
{
    const ULONGLONG ullOffset = PortSharedRequestOffset(&p->geo, i);
    const BYTE* pRequest = p->pView + ullOffset;
    DWORD cbRequest = SlotOf(p, i)->cbRequest;
    if (cbRequest > p->geo.cbRequestArea)
        cbRequest = p->geo.cbRequestArea;
    ULONGLONG ullId = 0;
    if (cbRequest >= sizeof(FILTER_MESSAGE_HEADER))
        CopyMemory(&ullId, pRequest + offsetof(FILTER_MESSAGE_HEADER, MessageId), sizeof(ullId));
    p->bHeld[i] = true;
    p->ullHeld[i] = ullId;
    Complete(p, w, ullOffset, cbRequest < w->cbBuffer ? cbRequest : w->cbBuffer, S_OK);
}

// Under lock: serves the waiting calls from the ring while both last. With
// calls left waiting, the driver is asked to signal the next request.
void Pump(SharedPath* p)
{
    while (p->pFirst != NULL) {
        int i = Take(p);
        if (i < 0) {
            InterlockedExchange(&p->pHeader->lAgentWaiting, 1);
            if ((i = Take(p)) < 0)
                return;
        }
        Waiter* w = p->pFirst;
        if ((p->pFirst = w->pNext) == NULL)
            p->pLast = NULL;
        Deliver(p, w, (DWORD)i);
    }
    InterlockedExchange(&p->pHeader->lAgentWaiting, 0);
}

// Under lock: no more requests. Each waiting read completes with an error
// through the completion port: a read past the backing file's end, which
// ends with ERROR_HANDLE_EOF. A blocking call gets the port's end.
void FailWaiters(SharedPath* p)
{
    p->bGone = true;
    while (p->pFirst != NULL) {
        Waiter* w = p->pFirst;
        p->pFirst = w->pNext;
        Complete(p, w, p->geo.cbSection, 1, HR(ERROR_INVALID_HANDLE));
    }
    p->pLast = NULL;
}

DWORD WINAPI Dispatch(void* pContext)
{
    SharedPath* p = static_cast<SharedPath*>(pContext);
    // A read of the request channel, which only ends when the driver's side
    // closes: the driver sends nothing on it once the section carries.
    AcquireSRWLockExclusive(&p->lock);
    if (!p->bClosed && !ReadFile(p->hPipe, &p->bPipeByte, 1, NULL, &p->ovPipe) &&
        GetLastError() != ERROR_IO_PENDING && GetLastError() != ERROR_MORE_DATA)
        SetEvent(p->ovPipe.hEvent);
    ReleaseSRWLockExclusive(&p->lock);
    HANDLE waits[3] = {p->hRequestEvent, p->ovPipe.hEvent, p->hStop};
    for (;;) {
        DWORD dwWait = WaitForMultipleObjects(3, waits, FALSE, kPortCheckMs);
        if (dwWait == WAIT_TIMEOUT && !SharedPathIsPort(p, p->hPort)) {
            SharedPathClose(p);
            break;
        }
        AcquireSRWLockExclusive(&p->lock);
        // The request channel's read ended: the driver's side closed (or
        // spoke where it must not); or we closed it.
        if (dwWait != WAIT_OBJECT_0 && dwWait != WAIT_TIMEOUT)
            FailWaiters(p);
        else
            Pump(p);
        bool bGone = p->bGone;
        ReleaseSRWLockExclusive(&p->lock);
        IssueDue(p);
        if (bGone)
            break;
    }
    HMODULE hModule = p->hModule;
    SharedPathRelease(p);
    FreeLibraryAndExitThread(hModule, 0);
    return 0;
}

typedef BOOL(WINAPI* COMPARE_OBJECT_HANDLES)(HANDLE, HANDLE);

}  // namespace

SharedPath* SharedPathCreate(HANDLE hRequestPipe, PORT_SHARED_SETUP* pSetup)
{
    SharedPath* p = new (std::nothrow) SharedPath();
    if (p == NULL)
        return NULL;
    p->lRefs = 1;
    InitializeSRWLock(&p->lock);
    InitializeSRWLock(&p->issuing);
    PORT_SHARED_SETUP& g = p->geo;
    g.dwMagic = PORT_SHARED_MAGIC;
    g.dwVersion = PORT_SHARED_VERSION;
    g.dwSlots = kSlots;
    g.cbRequestArea = kRequestArea;
    g.cbReplyArea = kReplyArea;
    g.cbSection = PortSharedRequestOffset(&g, kSlots);

    bool bOk = (p->hPort = CreateBackingFile()) != INVALID_HANDLE_VALUE &&
               DuplicateHandle(GetCurrentProcess(), p->hPort, GetCurrentProcess(), &p->hFile, 0, FALSE,
                               DUPLICATE_SAME_ACCESS) &&
               (p->hSection = CreateFileMappingW(p->hPort, NULL, PAGE_READWRITE, (DWORD)(g.cbSection >> 32),
                                                 (DWORD)g.cbSection, NULL)) != NULL &&
               (p->pView = (BYTE*)MapViewOfFile(p->hSection, FILE_MAP_ALL_ACCESS, 0, 0, 0)) != NULL &&
               (p->hRequestEvent = CreateEventW(NULL, FALSE, FALSE, NULL)) != NULL &&
               (p->hStop = CreateEventW(NULL, TRUE, FALSE, NULL)) != NULL &&
               (p->ovPipe.hEvent = CreateEventW(NULL, TRUE, FALSE, NULL)) != NULL;
    for (DWORD i = 0; bOk && i < kSlots; i++)
        bOk = (p->hReplyEvents[i] = CreateEventW(NULL, FALSE, FALSE, NULL)) != NULL;
    if (bOk) {
        p->pHeader = (PORT_SHARED_HEADER*)p->pView;
        p->pHeader->dwMagic = g.dwMagic;
        p->pHeader->dwVersion = g.dwVersion;
        p->pHeader->dwSlots = g.dwSlots;
        p->pHeader->cbRequestArea = g.cbRequestArea;
        p->pHeader->cbReplyArea = g.cbReplyArea;
        ULONG ulDriver = 0;
        bOk = GetNamedPipeServerProcessId(hRequestPipe, &ulDriver) &&
              (p->hDriver = OpenProcess(PROCESS_DUP_HANDLE, FALSE, ulDriver)) != NULL;
    }
    const DWORD dwEventAccess = SYNCHRONIZE | EVENT_MODIFY_STATE;
    bOk = bOk && GiveToDriver(p, p->hSection, SECTION_QUERY | SECTION_MAP_READ | SECTION_MAP_WRITE, &g.hSection) &&
          GiveToDriver(p, p->hRequestEvent, dwEventAccess, &g.hRequestEvent);
    for (DWORD i = 0; bOk && i < kSlots; i++)
        bOk = GiveToDriver(p, p->hReplyEvents[i], dwEventAccess, &g.hReplyEvents[i]);
    if (!bOk) {
        if (p->hDriver != NULL)
            CloseDuplicates(p);
        Destroy(p);
        return NULL;
    }
    *pSetup = g;
    return p;
}

void SharedPathAbandon(SharedPath* pPath)
{
    CloseDuplicates(pPath);
    SharedPathRelease(pPath);
}

bool SharedPathStart(SharedPath* p, HANDLE hRequestPipe)
{
    CloseIfSet(&p->hDriver);   // the duplicates are the driver's now
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, (LPCWSTR)(void*)&Dispatch, &p->hModule))
        return false;
    p->hPipe = hRequestPipe;
    InterlockedIncrement(&p->lRefs);
    HANDLE hThread = CreateThread(NULL, 0, Dispatch, p, 0, NULL);
    if (hThread == NULL) {
        p->hPipe = NULL;   // still the caller's
        InterlockedDecrement(&p->lRefs);
        FreeLibrary(p->hModule);
        return false;
    }
    CloseHandle(hThread);
    return true;
}

HANDLE SharedPathTakePort(SharedPath* p)
{
    p->bPortTaken = true;
    return p->hPort;
}

bool SharedPathIsPort(const SharedPath* p, HANDLE hPort)
{
    static COMPARE_OBJECT_HANDLES s_pfnCompare = (COMPARE_OBJECT_HANDLES)(void*)GetProcAddress(
        GetModuleHandleW(L"kernelbase.dll"), "CompareObjectHandles");
    if (hPort == NULL || hPort == INVALID_HANDLE_VALUE)
        return false;
    if (s_pfnCompare != NULL)
        return s_pfnCompare(hPort, p->hFile) != FALSE;
    BY_HANDLE_FILE_INFORMATION a, b;
    return GetFileInformationByHandle(hPort, &a) && GetFileInformationByHandle(p->hFile, &b) &&
           a.dwVolumeSerialNumber == b.dwVolumeSerialNumber && a.nFileIndexHigh == b.nFileIndexHigh &&
           a.nFileIndexLow == b.nFileIndexLow;
}

HRESULT SharedPathGetMessage(SharedPath* p, PFILTER_MESSAGE_HEADER pBuffer, DWORD cbBuffer,
                             LPOVERLAPPED pOverlapped, HANDLE hWaitEvent)
{
    Waiter mine = {pBuffer, cbBuffer, pOverlapped, hWaitEvent, S_OK, NULL};
    if (pOverlapped == NULL)
        ResetEvent(hWaitEvent);
    AcquireSRWLockExclusive(&p->lock);
    Waiter* w = &mine;
    if (!p->bGone && pOverlapped != NULL) {
        if ((w = p->pSpare) != NULL)
            p->pSpare = w->pNext;
        else
            w = new (std::nothrow) Waiter();
        if (w != NULL)
            *w = mine;
    }
    HRESULT hr = p->bGone ? HR(ERROR_INVALID_HANDLE) : w == NULL ? E_OUTOFMEMORY : S_OK;
    if (SUCCEEDED(hr)) {
        if (p->pLast != NULL)
            p->pLast->pNext = w;
        else
            p->pFirst = w;
        p->pLast = w;
        Pump(p);
    }
    ReleaseSRWLockExclusive(&p->lock);
    IssueDue(p);
    if (FAILED(hr))
        return hr;
    if (pOverlapped != NULL)
        return HR(ERROR_IO_PENDING);
    // Delivered by Pump, here or in the dispatcher, or failed when the
    // driver's side ended.
    WaitForSingleObject(hWaitEvent, INFINITE);
    return mine.hr;
}

HRESULT SharedPathReply(SharedPath* p, PFILTER_REPLY_HEADER pReply, DWORD cbReply)
{
    int iSlot = -1;
    AcquireSRWLockExclusive(&p->lock);
    bool bGone = p->bGone;
    for (DWORD i = 0; !bGone && i < p->geo.dwSlots && iSlot < 0; i++) {
        if (p->bHeld[i] && p->ullHeld[i] == pReply->MessageId) {
            p->bHeld[i] = false;
            iSlot = (int)i;
        }
    }
    ReleaseSRWLockExclusive(&p->lock);
    if (bGone)
        return HR(ERROR_INVALID_HANDLE);
    if (iSlot < 0)
        return ERROR_FLT_NO_WAITER_FOR_REPLY;
    PORT_SHARED_SLOT* pSlot = SlotOf(p, (DWORD)iSlot);
    CopyMemory(p->pView + PortSharedReplyOffset(&p->geo, (DWORD)iSlot), pReply,
               cbReply < p->geo.cbReplyArea ? cbReply : p->geo.cbReplyArea);
    pSlot->cbReply = cbReply;
    InterlockedExchange(&pSlot->lState, PORT_SLOT_REPLIED);
    if (InterlockedExchange(&pSlot->lDriverWaiting, 0) != 0)
        SetEvent(p->hReplyEvents[iSlot]);
    return S_OK;
}

void SharedPathClose(SharedPath* p)
{
    AcquireSRWLockExclusive(&p->lock);
    FailWaiters(p);
    HANDLE hPipe = p->bClosed ? NULL : p->hPipe;
    p->bClosed = true;
    ReleaseSRWLockExclusive(&p->lock);
    IssueDue(p);
    if (hPipe != NULL) {
        // The read must be over before its OVERLAPPED can go.
        CancelIoEx(hPipe, &p->ovPipe);
        DWORD cb;
        GetOverlappedResult(hPipe, &p->ovPipe, &cb, TRUE);
        CloseHandle(hPipe);
    }
    SetEvent(p->hStop);
}

void SharedPathRelease(SharedPath* p)
{
    if (InterlockedDecrement(&p->lRefs) == 0)
        Destroy(p);
}
