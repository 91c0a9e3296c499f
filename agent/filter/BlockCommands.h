// The commands on the path of every read and write of a vault file, the
// release of file keys, and the directory commands.
#pragma once

#include <windows.h>

#include "VaultWire.h"

// The step that the block and directory commands run first: no
// impersonation is done and no token changes.
BOOL Impersonation(ULONG ulFirst, ULONG ulSecond);

void OnEncryptBlock(const Notification* pNotification, struct Reply* pReply);
void OnGetNormalBuffer(const Notification* pNotification, struct Reply* pReply);
void OnReleaseFSK(const Notification* pNotification, struct Reply* pReply);
void OnParsedFileNew(Notification* pNotification, struct Reply* pReply);
void OnPreDirBrowsing(const Notification* pNotification, struct Reply* pReply);
