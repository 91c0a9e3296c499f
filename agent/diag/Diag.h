// Diagnostics: the log and trace channels, error records and the exception
// filter of guarded operations.
#pragma once

#include <windows.h>

// Reads "LogLevel" / "TraceLevel" and opens the dated file when the level asks
// for one. Called once each at start-up; OpenLogFile again by the crypto layer.
void OpenLogFile(void);
void OpenTraceFile(void);

// printf-style lines. A message that does not fit the line buffer is dropped.
void WriteTrace(const char* pszFormat, ...);
void WriteLog(const char* pszFormat, ...);
void WriteLogW(const wchar_t* pwszFormat, ...);

// "Error: <what> occurred in file: <module>, Line: <line>" in the log file,
// whatever the log level.
void LogError(const char* pszWhat, const char* pszModule, int nLine);

// A structured exception guard covers faults raised inside the functions
// that its body calls, not in the body's own instructions: the work a guard
// must cover goes into a function of its own that is never inlined.
#define GUARDED_BODY __declspec(noinline)

// Filter for the guards of host and companion operations.
LONG ExceptionFilter(EXCEPTION_POINTERS* pExceptionPointers);

// For in-process tests: both levels back to 0 and both streams forgotten (not
// closed; the test closes the runtime's streams itself), as before start-up.
void ResetDiagnostics(void);
