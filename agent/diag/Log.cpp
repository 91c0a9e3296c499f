// Log and trace channels, error records and the exception filter.
//
// Formats follow the Microsoft C runtime's printf rules (%s is a wide string
// in a wide format, %ws a wide string in a narrow one): every message is
// formatted by strsafe, which calls the runtime's _vsnprintf/_vsnwprintf.
#include <windows.h>
#include <shlobj.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <strsafe.h>

#include "diag/Diag.h"
#include "diag/UserSid.h"

#define DIAG_LINE_CCH 1056
#define DIAG_SID_CB 260

static const WCHAR wszSettingsKey[] = L"Software\\Revedi Zadoder Avir.\\Vuzaziz";
static const char szTraceBanner[] =
    "\n\n\t\t=====================Service Started=====================\n\n";

// Written by the main thread only (start-up and InitCrypt); writers read each
// stream pointer once, and a replaced stream is never closed, so a writer that
// still holds it finishes its line safely.
static DWORD dwLogLevel;
static DWORD dwTraceLevel;
static FILE* pLogFile;
static FILE* pTraceFile;

static BOOL IsDebuggerLevel(DWORD dwLevel) { return dwLevel == 1 || dwLevel == 3; }
static BOOL IsFileLevel(DWORD dwLevel) { return dwLevel == 2 || dwLevel == 3; }

// The value as 4 raw bytes whatever its registry type; 0 when it, or the key,
// cannot be read.
static DWORD ReadLevel(LPCWSTR pwszValueName)
{
    HKEY hKey = NULL;
    DWORD dwLevel = 0;
    DWORD cbLevel = sizeof(dwLevel);

    if (RegOpenKeyExW(HKEY_CURRENT_USER, wszSettingsKey, 0, KEY_READ, &hKey) != ERROR_SUCCESS)
        return 0;
    if (RegQueryValueExW(hKey, pwszValueName, NULL, NULL, (LPBYTE)&dwLevel, &cbLevel) != ERROR_SUCCESS)
        dwLevel = 0;
    RegCloseKey(hKey);
    return dwLevel;
}

// <local application data>\VuvUDovu\<name of today's UTC date>; makes the
// folders on the way, so only call it when a file is to be opened.
static BOOL MakeDatedFilePath(LPCWSTR pwszNameFormat, LPWSTR pwszPath, size_t cchPath)
{
    WCHAR wszName[MAX_PATH];
    SYSTEMTIME stNow;

    if (FAILED(SHGetFolderPathW(NULL, CSIDL_LOCAL_APPDATA | CSIDL_FLAG_CREATE, NULL,
                                SHGFP_TYPE_CURRENT, pwszPath)))
        return FALSE;
    if (FAILED(StringCchCatW(pwszPath, cchPath, L"\\VuvUDovu")))
        return FALSE;
    CreateDirectoryW(pwszPath, NULL);

    GetSystemTime(&stNow);
    if (FAILED(StringCchPrintfW(wszName, MAX_PATH, pwszNameFormat,
                                (int)stNow.wDay, (int)stNow.wMonth, (int)stNow.wYear)))
        return FALSE;
    return SUCCEEDED(StringCchCatW(pwszPath, cchPath, L"\\"))
        && SUCCEEDED(StringCchCatW(pwszPath, cchPath, wszName));
}

void OpenLogFile(void)
{
    WCHAR wszPath[MAX_PATH];
    FILE* pFile = NULL;

    dwLogLevel = ReadLevel(L"LogLevel");
    if (dwLogLevel >= 2 && MakeDatedFilePath(L"RavOZor(%d-%d-%d).txt", wszPath, MAX_PATH))
        pFile = _wfopen(wszPath, L"w");
    pLogFile = pFile;
}

void OpenTraceFile(void)
{
    WCHAR wszPath[MAX_PATH];
    FILE* pFile = NULL;

    dwTraceLevel = ReadLevel(L"TraceLevel");
    if (dwTraceLevel >= 2 && MakeDatedFilePath(L"VodORuz(%d-%d-%d).txt", wszPath, MAX_PATH)) {
        pFile = _wfopen(wszPath, L"a");
        if (pFile && IsFileLevel(dwTraceLevel)) {
            fprintf(pFile, "%s\n", szTraceBanner);
            fflush(pFile);
        }
    }
    pTraceFile = pFile;
}

void ResetDiagnostics(void)
{
    dwLogLevel = 0;
    dwTraceLevel = 0;
    pLogFile = NULL;
    pTraceFile = NULL;
}

// One narrow line on a channel whose level is not 0. Everything lives on the
// stack; the stream serialises the single fprintf of the line, and the flush
// keeps the file complete should the process die. The caller's last error
// survives, so a failure can be traced and then logged with GetLastError().
static void WriteNarrowLine(DWORD dwLevel, FILE* pFile, const char* pszPrefixFormat,
                            const char* pszFormat, va_list vaArgs)
{
    char szMessage[DIAG_LINE_CCH];
    char szSid[DIAG_SID_CB];
    char szLine[DIAG_LINE_CCH];
    const char* pszLine = szLine;
    LPCWSTR pwszSid;
    DWORD dwCallerError = GetLastError();

    __try {
        if (FAILED(StringCchVPrintfA(szMessage, DIAG_LINE_CCH, pszFormat, vaArgs)))
            __leave;

        szSid[0] = '\0';
        pwszSid = PeekUserSidString();
        if (pwszSid && wcstombs(szSid, pwszSid, DIAG_SID_CB) == (size_t)-1)
            szSid[0] = '\0';
        szSid[DIAG_SID_CB - 1] = '\0';

        if (FAILED(StringCchPrintfA(szLine, DIAG_LINE_CCH, pszPrefixFormat, szSid, szMessage)))
            pszLine = szMessage;

        if (IsDebuggerLevel(dwLevel))
            OutputDebugStringA(pszLine);
        if (IsFileLevel(dwLevel) && pFile) {
            fprintf(pFile, "%s\n", pszLine);
            fflush(pFile);
        }
    } __except (EXCEPTION_EXECUTE_HANDLER) {
        // A bad argument in a caller's format drops the message, nothing more.
    }
    SetLastError(dwCallerError);
}

void WriteTrace(const char* pszFormat, ...)
{
    va_list vaArgs;
    DWORD dwLevel = dwTraceLevel;

    if (dwLevel == 0)
        return;
    va_start(vaArgs, pszFormat);
    WriteNarrowLine(dwLevel, pTraceFile, "REVUZEZ-TRC(%s): %s", pszFormat, vaArgs);
    va_end(vaArgs);
}

void WriteLog(const char* pszFormat, ...)
{
    va_list vaArgs;
    DWORD dwLevel = dwLogLevel;

    if ((LONG)dwLevel <= 0)
        return;
    va_start(vaArgs, pszFormat);
    WriteNarrowLine(dwLevel, pLogFile, "REVUZEZ(%s): %s", pszFormat, vaArgs);
    va_end(vaArgs);
}

// Both buffers hold 1,056 characters, as the narrow channels' do: a message
// is dropped at the same length whichever call wrote it.
static void WriteWideLine(DWORD dwLevel, FILE* pFile, const wchar_t* pwszFormat, va_list vaArgs)
{
    WCHAR wszMessage[DIAG_LINE_CCH];
    WCHAR wszLine[DIAG_LINE_CCH];
    const WCHAR* pwszLine = wszLine;
    LPCWSTR pwszSid;
    DWORD dwCallerError = GetLastError();

    __try {
        if (FAILED(StringCbVPrintfW(wszMessage, sizeof(wszMessage), pwszFormat, vaArgs)))
            __leave;

        pwszSid = PeekUserSidString();
        if (FAILED(StringCchPrintfW(wszLine, DIAG_LINE_CCH, L"REVUZEZ(%s): %s",
                                    pwszSid ? pwszSid : L"", wszMessage)))
            pwszLine = wszMessage;

        if (IsDebuggerLevel(dwLevel))
            OutputDebugStringW(pwszLine);
        if (IsFileLevel(dwLevel) && pFile) {
            // %ls: a wide string under every printf flavour of the runtime.
            fwprintf(pFile, L"%ls\n", pwszLine);
            fflush(pFile);
        }
    } __except (EXCEPTION_EXECUTE_HANDLER) {
    }
    SetLastError(dwCallerError);
}

void WriteLogW(const wchar_t* pwszFormat, ...)
{
    va_list vaArgs;
    DWORD dwLevel = dwLogLevel;

    if ((LONG)dwLevel <= 0)
        return;
    va_start(vaArgs, pwszFormat);
    WriteWideLine(dwLevel, pLogFile, pwszFormat, vaArgs);
    va_end(vaArgs);
}

void LogError(const char* pszWhat, const char* pszModule, int nLine)
{
    FILE* pFile = pLogFile;
    DWORD dwCallerError = GetLastError();

    if (!pFile)
        return;
    __try {
        fprintf(pFile, "Error: %s occurred in file: %s, Line: %d\n", pszWhat, pszModule, nLine);
        fflush(pFile);
    } __except (EXCEPTION_EXECUTE_HANDLER) {
    }
    SetLastError(dwCallerError);
}

LONG ExceptionFilter(EXCEPTION_POINTERS* pExceptionPointers)
{
    LONG lSystemResult = UnhandledExceptionFilter(pExceptionPointers);
    FILE* pFile = fopen("C:\\scanuser.log", "a+");

    if (pFile) {
        fprintf(pFile, "Exception occurred %d\r\n", (int)lSystemResult);
        fclose(pFile);
    }
    return EXCEPTION_EXECUTE_HANDLER;
}
