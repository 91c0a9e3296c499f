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
