// The meta text of a stored file: a short XML text with the file's encoded
// logical name, its key text and its plain size. Building and parsing only;
// the name's encryption lives with the file keys and is plugged in here.
#pragma once

#include <windows.h>
#include <wincrypt.h>

#include "VaultWire.h"

#define META_TEXT_CB       1032  // the formatted text and its terminator
#define META_NAME_UTF8_CB  260   // the encoded name in UTF-8, terminator included
#define META_KEY_UTF8_CB   256   // the key text in UTF-8, terminator included
#define META_NAME_CHARS    MAX_PATH_CHARS

// A built meta text: cbText bytes, followed by a terminating zero.
typedef struct _META_TEXT {
    DWORD cbText;
    char  szText[META_TEXT_CB];
} META_TEXT;

// Turns the encoded name in pwszText into the logical name in place and
// returns 0, or a non-zero result code. On entry *pdwTextLength is the most
// bytes the text's narrow form may take; on success the decoded byte count.
// GetDecodedFileName of the file keys has this shape.
typedef DWORD (*PFN_DECODE_FILE_NAME)(HCRYPTKEY hVaultKey, WCHAR* pwszText, DWORD* pdwTextLength);

// The decoder that GetFileDetailsFromXML uses: GetDecodedFileName unless a
// test puts another in its place.
void SetFileNameDecoder(PFN_DECODE_FILE_NAME pfnDecodeFileName);

// Converts the encoded name and the key text to UTF-8 and formats the meta
// text with the size (high half, then low half, each as a signed decimal).
// FALSE when either conversion fails (a name over 259 or a key text over 255
// bytes in UTF-8). Writes no diagnostics: its callers report the failure.
BOOL BuildMetaXml(LPCWSTR pwszEncodedName, LPCWSTR pwszKeyText, LARGE_INTEGER liSize,
                  META_TEXT* pMetaText);

// Reads the FILENAME, Filekey and size elements, in that order, from a
// zero-terminated meta text and writes the decoded name (META_NAME_CHARS
// characters), the size and the key text (cchKeyTextOut characters), in that
// order: a later failure leaves earlier outputs written. The text is cut in
// place (zero bytes written into it); nothing at or beyond byte
// MAX_DATA_LENGTH is read or written, whether or not a terminator came first.
BOOL GetFileDetailsFromXML(HCRYPTKEY hVaultKey, char* pszMetaText, WCHAR* wszNameOut,
                           LARGE_INTEGER* pliSizeOut, WCHAR* wszKeyTextOut, DWORD cchKeyTextOut);
