// The base64 coder shared by file names and key texts: standard alphabet
// with "=" padding, a line break after every 76 characters.
#pragma once

#include <windows.h>

// Bytes that Base64Encode writes for cb input bytes, terminator included:
// four characters per group of three (a short final group padded to four),
// a carriage return and line feed after every 19th whole group.
#define BASE64_ENCODED_CB(cb) \
    (4 * (((SIZE_T)(cb) + 2) / 3) + 2 * (((SIZE_T)(cb) / 3) / 19) + 1)

// Most bytes that Base64Decode writes for a text of cch characters; an output
// buffer as large as the text always suffices.
#define BASE64_DECODED_MAX_CB(cch) (((SIZE_T)(cch) / 4) * 3)

// Writes the text of cbData bytes and its terminating zero into pszOut, which
// must hold BASE64_ENCODED_CB(cbData) bytes.
void Base64Encode(const BYTE* pbData, DWORD cbData, char* pszOut);

// Decodes the zero-terminated pszText into pbOut (no terminator written) and
// returns the byte count. Characters outside the alphabet are skipped, a
// final group of fewer than four characters is dropped.
DWORD Base64Decode(const char* pszText, BYTE* pbOut);
