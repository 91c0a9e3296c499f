// Who may reach what the driver makes: only the user it runs as.
#pragma once

#include <windows.h>

namespace driversim {

// A security descriptor that admits only the current user and SYSTEM, with
// the given rights in SDDL (L"GA" for a pipe, L"FRFW" for a file: no one
// else may read it, whatever the creating process's defaults). NULL when it
// cannot be made; LocalFree it.
PSECURITY_DESCRIPTOR OwnerOnlyDescriptor(const wchar_t* pwszRights);

}  // namespace driversim
