// The filter port carried over named pipes, where no filter manager exists.
// Shared by the stand-in fltlib.dll and every driver stand-in; the records
// below are the whole contract between the two sides besides the agent's
// own messages (wire/VaultWire.h), which travel inside them unchanged.
#pragma once

#include <windows.h>
#include <stddef.h>

#define PORT_PIPE_PREFIX      L"\\\\.\\pipe\\"
#define PORT_HELLO_MAGIC      0x43504656u   // "VFPC"
#define PORT_HELLO_VERSION    1u
#define PORT_CHANNEL_REQUEST  1u
#define PORT_CHANNEL_CONTROL  2u
#define PORT_MAX_CONTEXT      65535u
#define PORT_PIPE_BUFFER      (64 * 1024)
#define PORT_BUSY_WAIT_MS     5000
// How long the client waits for the answer to its hello: a driver stand-in
// that accepted the pipe but never answers must not hang the caller.
#define PORT_ANSWER_WAIT_MS   30000

// First message on each channel; the connection context follows it.
typedef struct _PORT_HELLO {
    DWORD dwMagic;
    DWORD dwVersion;
    DWORD dwChannel;
    DWORD dwConnectionId;
    DWORD dwOptions;
    DWORD dwContextSize;
} PORT_HELLO;

// The driver side's answer to a hello.
typedef struct _PORT_ANSWER {
    HRESULT hr;
    DWORD   dwConnectionId;
} PORT_ANSWER;

// The driver side's answer to a control message; the output bytes follow it.
typedef struct _PORT_CONTROL_ANSWER {
    HRESULT hr;
    DWORD   cbOutput;
} PORT_CONTROL_ANSWER;

static_assert(sizeof(PORT_HELLO) == 24, "PORT_HELLO size");
static_assert(offsetof(PORT_HELLO, dwMagic) == 0, "PORT_HELLO.dwMagic moved");
static_assert(offsetof(PORT_HELLO, dwVersion) == 4, "PORT_HELLO.dwVersion moved");
static_assert(offsetof(PORT_HELLO, dwChannel) == 8, "PORT_HELLO.dwChannel moved");
static_assert(offsetof(PORT_HELLO, dwConnectionId) == 12, "PORT_HELLO.dwConnectionId moved");
static_assert(offsetof(PORT_HELLO, dwOptions) == 16, "PORT_HELLO.dwOptions moved");
static_assert(offsetof(PORT_HELLO, dwContextSize) == 20, "PORT_HELLO.dwContextSize moved");
static_assert(sizeof(PORT_ANSWER) == 8, "PORT_ANSWER size");
static_assert(offsetof(PORT_ANSWER, hr) == 0, "PORT_ANSWER.hr moved");
static_assert(offsetof(PORT_ANSWER, dwConnectionId) == 4, "PORT_ANSWER.dwConnectionId moved");
static_assert(sizeof(PORT_CONTROL_ANSWER) == 8, "PORT_CONTROL_ANSWER size");
static_assert(offsetof(PORT_CONTROL_ANSWER, hr) == 0, "PORT_CONTROL_ANSWER.hr moved");
static_assert(offsetof(PORT_CONTROL_ANSWER, cbOutput) == 4, "PORT_CONTROL_ANSWER.cbOutput moved");

// ---------------------------------------------------------------------------
// The shared-memory data path (SharedPath.md tells it whole). A driver
// stand-in that offers it answers the request channel's hello with
// PORT_S_SHARED instead of S_OK (a success code, so a client that does not
// know it goes on as on S_OK). A client that takes the offer sends, as its
// next message on the request channel and before it opens the control
// channel, one PORT_SHARED_SETUP, and reads one PORT_ANSWER: on S_OK every
// request and reply of the connection moves through the section named
// there; on a failure the connection goes on over the pipes. The pipes stay
// for the hellos, the control messages and for noticing that a side is gone.

#define PORT_S_SHARED          ((HRESULT)0x00045653L)   // success, FACILITY_ITF, "VS"
#define PORT_SHARED_MAGIC      0x53504656u              // "VFPS"
#define PORT_SHARED_VERSION    1u
#define PORT_SHARED_MAX_SLOTS  32u                      // a power of two
#define PORT_SHARED_HEADER_SIZE 4096u                   // the header page; the slots' bytes follow
#define PORT_SHARED_MAX_AREA   (1u << 20)               // largest request or reply area of a slot

// A slot's state; each side moves it only along its own arrows:
// driver FREE -> POSTED, agent POSTED -> TAKEN -> REPLIED, driver REPLIED -> FREE.
#define PORT_SLOT_FREE     0
#define PORT_SLOT_POSTED   1
#define PORT_SLOT_TAKEN    2
#define PORT_SLOT_REPLIED  3

// The client's offer of what it made, with handle values already
// duplicated into the driver's process (which owns them from then on).
typedef struct _PORT_SHARED_SETUP {
    DWORD     dwMagic;
    DWORD     dwVersion;
    DWORD     dwSlots;            // a power of two, 1 to PORT_SHARED_MAX_SLOTS
    DWORD     cbRequestArea;      // per slot, a multiple of 8, 16 to PORT_SHARED_MAX_AREA
    DWORD     cbReplyArea;        // the same
    DWORD     dwReserved;         // 0
    ULONGLONG cbSection;          // PORT_SHARED_HEADER_SIZE + dwSlots * (cbRequestArea + cbReplyArea)
    ULONGLONG hSection;           // the file mapping, read and write
    ULONGLONG hRequestEvent;      // auto-reset: requests were posted and the agent waits
    ULONGLONG hReplyEvents[PORT_SHARED_MAX_SLOTS];   // auto-reset, per slot: replied and the driver waits
} PORT_SHARED_SETUP;

// One slot's state words, in the header page.
typedef struct _PORT_SHARED_SLOT {
    volatile LONG lState;          // PORT_SLOT_*
    volatile LONG lDriverWaiting;  // 1: the driver waits for the reply; the agent sets the slot's event
    DWORD         cbRequest;       // bytes of the request, header included
    DWORD         cbReply;         // bytes of the reply as given; only cbReplyArea of them are kept
} PORT_SHARED_SLOT;

// The header page at the start of the section. The client writes the
// geometry; each side keeps its own copy of it and never reads it back.
typedef struct _PORT_SHARED_HEADER {
    DWORD            dwMagic;
    DWORD            dwVersion;
    DWORD            dwSlots;
    DWORD            cbRequestArea;
    DWORD            cbReplyArea;
    DWORD            dwReserved;
    volatile LONG    lPosted;         // requests the driver has put in the ring
    volatile LONG    lTaken;          // requests the agent has taken from it
    volatile LONG    lAgentWaiting;   // 1: the agent waits; the driver clears it and sets hRequestEvent
    DWORD            dwPad[7];
    DWORD            dwRing[PORT_SHARED_MAX_SLOTS];   // slot numbers in the order sent; entry n & (dwSlots - 1)
    PORT_SHARED_SLOT slots[PORT_SHARED_MAX_SLOTS];
} PORT_SHARED_HEADER;

// Where slot i's request and reply areas begin in the section.
static inline ULONGLONG PortSharedRequestOffset(const PORT_SHARED_SETUP* p, DWORD i)
{
    return PORT_SHARED_HEADER_SIZE + (ULONGLONG)i * (p->cbRequestArea + p->cbReplyArea);
}
static inline ULONGLONG PortSharedReplyOffset(const PORT_SHARED_SETUP* p, DWORD i)
{
    return PortSharedRequestOffset(p, i) + p->cbRequestArea;
}

static_assert(sizeof(PORT_SHARED_SETUP) == 48 + 8 * PORT_SHARED_MAX_SLOTS, "PORT_SHARED_SETUP size");
static_assert(offsetof(PORT_SHARED_SETUP, dwMagic) == 0, "PORT_SHARED_SETUP.dwMagic moved");
static_assert(offsetof(PORT_SHARED_SETUP, dwVersion) == 4, "PORT_SHARED_SETUP.dwVersion moved");
static_assert(offsetof(PORT_SHARED_SETUP, dwSlots) == 8, "PORT_SHARED_SETUP.dwSlots moved");
static_assert(offsetof(PORT_SHARED_SETUP, cbRequestArea) == 12, "PORT_SHARED_SETUP.cbRequestArea moved");
static_assert(offsetof(PORT_SHARED_SETUP, cbReplyArea) == 16, "PORT_SHARED_SETUP.cbReplyArea moved");
static_assert(offsetof(PORT_SHARED_SETUP, dwReserved) == 20, "PORT_SHARED_SETUP.dwReserved moved");
static_assert(offsetof(PORT_SHARED_SETUP, cbSection) == 24, "PORT_SHARED_SETUP.cbSection moved");
static_assert(offsetof(PORT_SHARED_SETUP, hSection) == 32, "PORT_SHARED_SETUP.hSection moved");
static_assert(offsetof(PORT_SHARED_SETUP, hRequestEvent) == 40, "PORT_SHARED_SETUP.hRequestEvent moved");
static_assert(offsetof(PORT_SHARED_SETUP, hReplyEvents) == 48, "PORT_SHARED_SETUP.hReplyEvents moved");
static_assert(sizeof(PORT_SHARED_SLOT) == 16, "PORT_SHARED_SLOT size");
static_assert(offsetof(PORT_SHARED_SLOT, lState) == 0, "PORT_SHARED_SLOT.lState moved");
static_assert(offsetof(PORT_SHARED_SLOT, lDriverWaiting) == 4, "PORT_SHARED_SLOT.lDriverWaiting moved");
static_assert(offsetof(PORT_SHARED_SLOT, cbRequest) == 8, "PORT_SHARED_SLOT.cbRequest moved");
static_assert(offsetof(PORT_SHARED_SLOT, cbReply) == 12, "PORT_SHARED_SLOT.cbReply moved");
static_assert(offsetof(PORT_SHARED_HEADER, dwMagic) == 0, "PORT_SHARED_HEADER.dwMagic moved");
static_assert(offsetof(PORT_SHARED_HEADER, dwVersion) == 4, "PORT_SHARED_HEADER.dwVersion moved");
static_assert(offsetof(PORT_SHARED_HEADER, dwSlots) == 8, "PORT_SHARED_HEADER.dwSlots moved");
static_assert(offsetof(PORT_SHARED_HEADER, cbRequestArea) == 12, "PORT_SHARED_HEADER.cbRequestArea moved");
static_assert(offsetof(PORT_SHARED_HEADER, cbReplyArea) == 16, "PORT_SHARED_HEADER.cbReplyArea moved");
static_assert(offsetof(PORT_SHARED_HEADER, dwReserved) == 20, "PORT_SHARED_HEADER.dwReserved moved");
static_assert(offsetof(PORT_SHARED_HEADER, lPosted) == 24, "PORT_SHARED_HEADER.lPosted moved");
static_assert(offsetof(PORT_SHARED_HEADER, lTaken) == 28, "PORT_SHARED_HEADER.lTaken moved");
static_assert(offsetof(PORT_SHARED_HEADER, lAgentWaiting) == 32, "PORT_SHARED_HEADER.lAgentWaiting moved");
static_assert(offsetof(PORT_SHARED_HEADER, dwPad) == 36, "PORT_SHARED_HEADER.dwPad moved");
static_assert(offsetof(PORT_SHARED_HEADER, dwRing) == 64, "PORT_SHARED_HEADER.dwRing moved");
static_assert(offsetof(PORT_SHARED_HEADER, slots) == 192, "PORT_SHARED_HEADER.slots moved");
static_assert(sizeof(PORT_SHARED_HEADER) == 704, "PORT_SHARED_HEADER size");
static_assert(sizeof(PORT_SHARED_HEADER) <= PORT_SHARED_HEADER_SIZE, "the header fits its page");
