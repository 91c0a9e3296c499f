// The client's side of the shared-memory data path (standins/port/
// SharedPath.md): requests and replies move through a section whose backing
// file is the agent's port handle, so that a FilterGetMessage completes,
// through the agent's own completion port, with a read of its request's slot.
#pragma once

#include <windows.h>
#include <fltuser.h>

#include "PortPipe.h"

struct SharedPath;

// For a request channel whose driver offered the path: makes the section,
// its backing file and its events, and fills *pSetup with their handles
// duplicated into the driver's process. NULL on failure: the connection
// then stays on the pipes.
SharedPath* SharedPathCreate(HANDLE hRequestPipe, PORT_SHARED_SETUP* pSetup);
// The driver refused the setup: closes the duplicates it was given, and the
// path goes.
void SharedPathAbandon(SharedPath* pPath);
// The connection is made: the path takes the request channel (watched for
// the driver's end) and starts serving. False when it cannot.
bool SharedPathStart(SharedPath* pPath, HANDLE hRequestPipe);
// The port handle for the agent, an overlapped handle to the backing file;
// the agent owns it from then on.
HANDLE SharedPathTakePort(SharedPath* pPath);
// Whether hPort still is that handle (the agent may have closed it).
bool SharedPathIsPort(const SharedPath* pPath, HANDLE hPort);

HRESULT SharedPathGetMessage(SharedPath* pPath, PFILTER_MESSAGE_HEADER pBuffer, DWORD cbBuffer,
                             LPOVERLAPPED pOverlapped, HANDLE hWaitEvent);
HRESULT SharedPathReply(SharedPath* pPath, PFILTER_REPLY_HEADER pReply, DWORD cbReply);

// Ends the connection as closing a pipe port does: reads still pending fail
// and the request channel closes, which the driver takes for the agent's end.
void SharedPathClose(SharedPath* pPath);
void SharedPathRelease(SharedPath* pPath);
