// The commands on the path of every read and write of a vault file, the
// release of file keys, and the directory commands.
#pragma once

#include <windows.h>

#include "VaultWire.h"

// The step that the block and directory commands run first. No
// impersonation is done and no token changes: it returns FALSE, meaning
// there is nothing to revert.
BOOL Impersonation(ULONG ulFirst, ULONG ulSecond);
// Gives the thread its own token back when the step changed it.
void RevertImpersonation(BOOL bImpersonated);

void OnEncryptBlock(const Notification* pNotification, struct Reply* pReply);
void OnGetNormalBuffer(const Notification* pNotification, struct Reply* pReply);
void OnReleaseFSK(const Notification* pNotification, struct Reply* pReply);
void OnParsedFileNew(Notification* pNotification, struct Reply* pReply);
void OnPreDirBrowsing(const Notification* pNotification, struct Reply* pReply);
