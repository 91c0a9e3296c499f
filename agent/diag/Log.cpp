#include "diag/Diag.h"
void OpenLogFile(void) {}
void OpenTraceFile(void) {}
void WriteTrace(const char*, ...) {}
void WriteLog(const char*, ...) {}
void WriteLogW(const wchar_t*, ...) {}
void LogError(const char*, const char*, int) {}
LONG ExceptionFilter(EXCEPTION_POINTERS*) { return EXCEPTION_EXECUTE_HANDLER; }
