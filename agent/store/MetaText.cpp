// Building and parsing meta texts.
//
// The parser reads texts that come from the driver or from disk, so it
// trusts nothing in them: every search and every cut stays inside the text,
// and the text ends at its first zero byte or after MAX_DATA_LENGTH bytes,
// whichever comes first.
#include <windows.h>
#include <string.h>
#include <strsafe.h>

#include "diag/Diag.h"
#include "store/FileKeys.h"
#include "store/MetaText.h"

static const char g_szMetaFormat[] =
    "<?xml version=%c1.0%c encoding=%cUTF-8%c?>\n<File>\n<Version>4.0</Version>\n<Type/>\n"
    "<FILENAME>%s</FILENAME>\n<Filekey>%s</Filekey>\n<size>%ld,%ld</size>\n<Checksum/>\n</File>";

// The vault key's decoder; in-process tests put one of their own here.
static PFN_DECODE_FILE_NAME g_pfnDecodeFileName = GetDecodedFileName;

void SetFileNameDecoder(PFN_DECODE_FILE_NAME pfnDecodeFileName)
{
    g_pfnDecodeFileName = pfnDecodeFileName;
}

BOOL BuildMetaXml(LPCWSTR pwszEncodedName, LPCWSTR pwszKeyText, LARGE_INTEGER liSize,
                  META_TEXT* pMetaText)
{
    char szName[META_NAME_UTF8_CB];
    char szKey[META_KEY_UTF8_CB];
    size_t cbText;

    if (pwszEncodedName == NULL || pwszKeyText == NULL || pMetaText == NULL)
        return FALSE;
    if (WideCharToMultiByte(CP_UTF8, 0, pwszEncodedName, -1, szName, sizeof(szName), NULL, NULL) == 0 ||
        WideCharToMultiByte(CP_UTF8, 0, pwszKeyText, -1, szKey, sizeof(szKey), NULL, NULL) == 0)
        return FALSE;
    // Each half is written signed: a low half of 2^31 or more comes out
    // negative, and reads back as the same 32 bits.
    if (FAILED(StringCchPrintfA(pMetaText->szText, META_TEXT_CB, g_szMetaFormat, '"', '"', '"', '"',
                                szName, szKey, (long)liSize.HighPart, (long)liSize.LowPart)) ||
        FAILED(StringCchLengthA(pMetaText->szText, META_TEXT_CB, &cbText)))
        return FALSE;
    pMetaText->cbText = (DWORD)cbText;
    return TRUE;
}

typedef enum _META_PARSE {
    META_PARSED,
    META_FAILED,     // a missing element or an undecodable part, reported where found
    META_MALFORMED,  // reported like an exception
} META_PARSE;

// One element's content, cut out of the text, and where the next search starts.
typedef struct _META_CUT {
    SIZE_T iContent;
    SIZE_T cbContent;
    SIZE_T iNext;
} META_CUT;

static SIZE_T BoundedTextLength(const char* pszText)
{
    SIZE_T cb = 0;

    while (cb < MAX_DATA_LENGTH && pszText[cb] != '\0')
        cb++;
    return cb;
}

// Finds the first pszTag at or after iFrom and cuts its content: it runs to
// the next "<", which becomes a zero byte, or to the end of the text. The
// byte after the tag's "<" is zeroed too, as the tokenizer that this cut
// stands for always did; later searches start after the cut and never see it.
static BOOL CutElement(char* pszText, SIZE_T cbText, SIZE_T iFrom, const char* pszTag, META_CUT* pCut)
{
    SIZE_T cbTag = strlen(pszTag);
    SIZE_T iTag = iFrom;
    SIZE_T iEnd;

    while (iTag + cbTag <= cbText && memcmp(pszText + iTag, pszTag, cbTag) != 0)
        iTag++;
    if (iTag + cbTag > cbText)
        return FALSE;
    pszText[iTag + 1] = '\0';

    pCut->iContent = iTag + cbTag;
    for (iEnd = pCut->iContent; iEnd < cbText && pszText[iEnd] != '<'; iEnd++)
        ;
    pCut->cbContent = iEnd - pCut->iContent;
    if (iEnd < cbText) {
        pszText[iEnd] = '\0';
        pCut->iNext = iEnd + 1;
    } else {
        pCut->iNext = cbText;  // never past the end, even without a terminator
    }
    return TRUE;
}

// The content as a terminated wide string of at most cchOut characters,
// terminator included. An empty content gives an empty string.
static BOOL ConvertContent(UINT uCodePage, const char* pchContent, SIZE_T cbContent, WCHAR* pwszOut,
                           DWORD cchOut)
{
    // A content has at most MAX_DATA_LENGTH bytes, so no more room is needed.
    DWORD cchRoom = cchOut > MAX_DATA_LENGTH ? MAX_DATA_LENGTH : (cchOut == 0 ? 0 : cchOut - 1);
    int cch = 0;

    if (pwszOut == NULL || cchOut == 0)
        return FALSE;
    if (cbContent > 0) {
        // With no room the call would report the size it needs instead of
        // converting.
        if (cchRoom > 0)
            cch = MultiByteToWideChar(uCodePage, 0, pchContent, (int)cbContent, pwszOut, (int)cchRoom);
        if (cch == 0) {
            pwszOut[0] = L'\0';
            return FALSE;
        }
    }
    pwszOut[cch] = L'\0';
    return TRUE;
}

// A decimal number read the way the runtime's atol reads one: white space,
// an optional sign, digits up to the first other character; digits beyond
// 32 bits wrap. So "3000000000" and "-1294967296" give the same 32 bits.
static LONG ReadLong(const char* pch, SIZE_T cb)
{
    SIZE_T i = 0;
    BOOL bNegative = FALSE;
    ULONG ulValue = 0;

    while (i < cb && (pch[i] == ' ' || (pch[i] >= '\t' && pch[i] <= '\r')))
        i++;
    if (i < cb && (pch[i] == '+' || pch[i] == '-'))
        bNegative = pch[i++] == '-';
    for (; i < cb && pch[i] >= '0' && pch[i] <= '9'; i++)
        ulValue = ulValue * 10 + (ULONG)(pch[i] - '0');
    return (LONG)(bNegative ? 0u - ulValue : ulValue);
}

static void ReportKeyTextMissing(void)
{
    WriteTrace("GetFileDetailsFromXML() - FSK Blob could not be retrieved");
    WriteLog("FSK Blob could not be retrieved\n");
}

// Not inlined: the caller's guard covers the calls made in its body.
static __declspec(noinline) META_PARSE ParseMetaText(HCRYPTKEY hVaultKey, char* pszText,
                                                     WCHAR* wszNameOut, LARGE_INTEGER* pliSizeOut,
                                                     WCHAR* wszKeyTextOut, DWORD cchKeyTextOut)
{
    PFN_DECODE_FILE_NAME pfnDecodeFileName = g_pfnDecodeFileName;
    SIZE_T cbText = BoundedTextLength(pszText);
    META_CUT cut;
    const char* pchSize;
    SIZE_T iComma;
    DWORD dwLength;

    if (!CutElement(pszText, cbText, 0, "<FILENAME>", &cut))
        return META_FAILED;
    if (!ConvertContent(CP_UTF8, pszText + cut.iContent, cut.cbContent, wszNameOut, META_NAME_CHARS) ||
        pfnDecodeFileName == NULL ||
        (dwLength = (DWORD)wcslen(wszNameOut) + 1,
         pfnDecodeFileName(hVaultKey, wszNameOut, &dwLength) != 0)) {
        WriteTrace("GetFileDetailsFromXML() - File Name could not be decoded");
        WriteLog("File Name could not be decoded\n");
        return META_FAILED;
    }
    wszNameOut[META_NAME_CHARS - 1] = L'\0';
    WriteLog("File Name successfully decoded %ws\n", wszNameOut);

    if (!CutElement(pszText, cbText, cut.iNext, "<Filekey>", &cut)) {
        ReportKeyTextMissing();
        return META_FAILED;
    }
    WriteLog("Start of FSK Blob \n");
    WriteLog("%.*s", (int)cut.cbContent, pszText + cut.iContent);
    WriteLog("End of FSK Blob\n");
    if (!ConvertContent(CP_ACP, pszText + cut.iContent, cut.cbContent, wszKeyTextOut, cchKeyTextOut)) {
        ReportKeyTextMissing();
        return META_FAILED;
    }
    WriteLog("FSK Blob successfully retrieved\n");

    if (!CutElement(pszText, cbText, cut.iNext, "<size>", &cut))
        return META_FAILED;
    pchSize = pszText + cut.iContent;
    for (iComma = 0; iComma < cut.cbContent && pchSize[iComma] != ','; iComma++)
        ;
    if (iComma == cut.cbContent)
        return META_MALFORMED;
    pliSizeOut->HighPart = ReadLong(pchSize, iComma);
    pliSizeOut->LowPart = (DWORD)ReadLong(pchSize + iComma + 1, cut.cbContent - iComma - 1);
    WriteLog("GetFileDetailsFromXML FileSize->HighPart = atol(res) %d\n", (int)pliSizeOut->HighPart);
    WriteLog("GetFileDetailsFromXML FileSize->LowPart = atol(res) %d\n", (int)pliSizeOut->LowPart);
    WriteLog("File size retrieved successfully\n");
    return META_PARSED;
}

BOOL GetFileDetailsFromXML(HCRYPTKEY hVaultKey, char* pszMetaText, WCHAR* wszNameOut,
                           LARGE_INTEGER* pliSizeOut, WCHAR* wszKeyTextOut, DWORD cchKeyTextOut)
{
    META_PARSE eParse = META_FAILED;

    WriteTrace("GetFileDetailsFromXML() - Start");
    __try {
        eParse = ParseMetaText(hVaultKey, pszMetaText, wszNameOut, pliSizeOut, wszKeyTextOut,
                               cchKeyTextOut);
    } __except (EXCEPTION_EXECUTE_HANDLER) {
        eParse = META_MALFORMED;
    }
    if (eParse == META_MALFORMED) {
        WriteTrace("GetFileDetailsFromXML() - Exception occurred");
        WriteLog("Exception occurred while parsing file\n");
    }
    WriteTrace("GetFileDetailsFromXML() - End");
    return eParse == META_PARSED;
}
