// Who may reach what the driver makes (only the user it runs as), and one
// waited transfer on the pipes it makes.
#pragma once

#include <windows.h>

namespace driversim {

// A security descriptor that admits only the current user and SYSTEM, with
// the given rights in SDDL (L"GA" for a pipe, L"FRFW" for a file: no one
// else may read it, whatever the creating process's defaults). NULL when it
// cannot be made; LocalFree it.
PSECURITY_DESCRIPTOR OwnerOnlyDescriptor(const wchar_t* pwszRights);

// One overlapped read or write on h, waited for until done, until hStop is
// set or for timeoutMs; a cancelled transfer is waited for before its
// OVERLAPPED goes. hEvent (manual reset) is the caller's, reused; ReadFile and
// WriteFile reset it. ERROR_TIMEOUT or ERROR_OPERATION_ABORTED when it did
// not finish.
DWORD WaitedTransfer(HANDLE h, bool bWrite, void* p, DWORD cb, DWORD* pcbDone, HANDLE hEvent, HANDLE hStop,
                     DWORD timeoutMs);

}  // namespace driversim
