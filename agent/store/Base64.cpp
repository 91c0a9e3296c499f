// The base64 coder. Its quirks are part of stored texts' meaning and stay as
// they are: "=" decodes as 61 wherever it stands, and a stray character is
// skipped rather than refused.
#include "store/Base64.h"

#define BASE64_LINE_GROUPS 19

static const char g_szAlphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Indexed by character code: each alphabet character's index, 61 for "=",
// 0 for everything else.
static const BYTE g_abDecode[128] = {
    0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,
    0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,
    0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  62, 0,  0,  0,  63,
    52, 53, 54, 55, 56, 57, 58, 59, 60, 61, 0,  0,  0,  61, 0,  0,
    0,  0,  1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 11, 12, 13, 14,
    15, 16, 17, 18, 19, 20, 21, 22, 23, 24, 25, 0,  0,  0,  0,  0,
    0,  26, 27, 28, 29, 30, 31, 32, 33, 34, 35, 36, 37, 38, 39, 40,
    41, 42, 43, 44, 45, 46, 47, 48, 49, 50, 51, 0,  0,  0,  0,  0,
};

void Base64Encode(const BYTE* pbData, DWORD cbData, char* pszOut)
{
    SIZE_T cGroups = cbData / 3;
    SIZE_T cbRest = cbData % 3;
    SIZE_T iGroup;
    DWORD dwBits;
    char* pch = pszOut;

    // Only the whole groups and their line breaks are cleared; the final
    // group and the terminator are written below anyway.
    ZeroMemory(pszOut, 4 * cGroups + 2 * (4 * cGroups / 76) + 1);

    for (iGroup = 0; iGroup < cGroups; iGroup++, pbData += 3) {
        dwBits = ((DWORD)pbData[0] << 16) | ((DWORD)pbData[1] << 8) | pbData[2];
        *pch++ = g_szAlphabet[(dwBits >> 18) & 0x3F];
        *pch++ = g_szAlphabet[(dwBits >> 12) & 0x3F];
        *pch++ = g_szAlphabet[(dwBits >> 6) & 0x3F];
        *pch++ = g_szAlphabet[dwBits & 0x3F];
        if ((iGroup + 1) % BASE64_LINE_GROUPS == 0) {
            *pch++ = '\r';
            *pch++ = '\n';
        }
    }
    if (cbRest != 0) {
        dwBits = (DWORD)pbData[0] << 16;
        if (cbRest == 2)
            dwBits |= (DWORD)pbData[1] << 8;
        *pch++ = g_szAlphabet[(dwBits >> 18) & 0x3F];
        *pch++ = g_szAlphabet[(dwBits >> 12) & 0x3F];
        *pch++ = cbRest == 2 ? g_szAlphabet[(dwBits >> 6) & 0x3F] : '=';
        *pch++ = '=';
    }
    *pch = '\0';
}

// Bytes of 0x80 and above are outside the table and outside the alphabet.
static BOOL IsBase64Char(BYTE ch)
{
    return (ch >= 'A' && ch <= 'Z') || (ch >= 'a' && ch <= 'z') || (ch >= '0' && ch <= '9') ||
           ch == '+' || ch == '/' || ch == '=';
}

DWORD Base64Decode(const char* pszText, BYTE* pbOut)
{
    const BYTE* pch = (const BYTE*)pszText;
    BYTE abGroup[4];
    DWORD cbOut = 0;
    int cGathered = 0;
    DWORD dwBits;

    for (; *pch != '\0'; pch++) {
        if (!IsBase64Char(*pch))
            continue;
        abGroup[cGathered++] = *pch;
        if (cGathered < 4)
            continue;
        cGathered = 0;
        dwBits = ((DWORD)g_abDecode[abGroup[0]] << 18) | ((DWORD)g_abDecode[abGroup[1]] << 12) |
                 ((DWORD)g_abDecode[abGroup[2]] << 6) | g_abDecode[abGroup[3]];
        pbOut[cbOut++] = (BYTE)(dwBits >> 16);
        if (abGroup[3] == '=' && abGroup[2] == '=')
            continue;
        pbOut[cbOut++] = (BYTE)(dwBits >> 8);
        if (abGroup[3] == '=')
            continue;
        pbOut[cbOut++] = (BYTE)dwBits;
    }
    return cbOut;
}
