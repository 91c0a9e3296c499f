// File keys handed to the driver. The driver names a file key by a 32-bit
// value; the agent's key handles are pointer-sized, so the value is looked
// up in this table. A value the table does not know is refused without the
// provider ever seeing it.
#pragma once

#include <windows.h>
#include <wincrypt.h>

// The value under which the driver will name the key, or 0 when no memory
// was left for it (the key is then destroyed).
ULONG HandOutFileKey(HCRYPTKEY hKey);
// Encrypts (bEncrypt) or decrypts a block in place with the key the value
// names; ERROR_INVALID_HANDLE when the value is unknown. No allocation.
DWORD TransformWithFileKey(ULONG ulValue, BYTE* pbData, DWORD* pcbData, BOOL bEncrypt);
// Takes the key out of the table and destroys it. FALSE when the value is
// unknown; *pbDestroyed tells whether the provider destroyed it.
BOOL ReleaseFileKey(ULONG ulValue, BOOL* pbDestroyed);
