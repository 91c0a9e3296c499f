// Per-file keys and name encoding: the file key made and wrapped by the
// vault key into key text, unwrapped again, and logical names encrypted
// with the vault key and written as base64.
#pragma once

#include <windows.h>
#include <wincrypt.h>

// Result of CreateFileSymmetricKey when the key cannot be generated.
#define FILE_KEY_NOT_GENERATED 5
#define KEY_TEXT_CHARS 256

// A new file key of the vault key's algorithm, wrapped into key text.
// *pdwKeyLength: on entry the capacity of wszKeyTextOut in characters, on
// success the wrapped blob's length in bytes.
DWORD CreateFileSymmetricKey(HCRYPTPROV hProv, HCRYPTKEY hVaultKey, WCHAR* wszKeyTextOut,
                             DWORD* pdwKeyLength, HCRYPTKEY* phFileKeyOut);
// The file key of a key text, not exportable.
DWORD ImportFileSymmetricKey(HCRYPTPROV hProv, HCRYPTKEY hVaultKey, LPCWSTR pwszKeyText,
                             HCRYPTKEY* phFileKeyOut);
// The logical name in wszName (260 characters) replaced by its encoded form.
DWORD GetEncodedFileName(HCRYPTKEY hVaultKey, WCHAR* wszName, DWORD dwNameLength);
// The encoded name in wszText replaced by the logical name; *pdwTextLength:
// on entry the most bytes the narrow text may take, on success the bytes
// that base64 decoding produced.
DWORD GetDecodedFileName(HCRYPTKEY hVaultKey, WCHAR* wszText, DWORD* pdwTextLength);

// The vault key's cipher block length in bytes; FALSE when it cannot be read.
BOOL GetCipherBlockBytes(HCRYPTKEY hVaultKey, ULONG* pulBytes);
