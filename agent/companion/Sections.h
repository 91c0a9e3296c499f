// The companion side of a command: the named section that carries its
// arguments and result, and the named event that says it is answered.
#pragma once

#include <windows.h>

typedef enum _SECTION_OPEN_RESULT {
    SECTION_OPENED,
    SECTION_NOT_OPENED,    // no such section
    SECTION_NOT_MAPPED,    // the view could not be mapped (e.g. the section is smaller)
} SECTION_OPEN_RESULT;

// One command's section: opened with full access and a view of cbView bytes
// from offset 0.
typedef struct _COMPANION_SECTION {
    HANDLE hMapping;
    void*  pView;
} COMPANION_SECTION;

SECTION_OPEN_RESULT OpenCompanionSection(LPCSTR pszName, SIZE_T cbView, COMPANION_SECTION* pSection);
// The same, with a failure traced in the operation's words:
// "<operation>() - OpenFileMappingA() failed - <failed>" or "... MapViewOfFile() ...".
BOOL OpenCommandSection(LPCSTR pszName, SIZE_T cbView, COMPANION_SECTION* pSection, const char* pszOperation,
                        const char* pszFailed);
// One command served from its section: traces its Start and End lines,
// opens the section (tracing a failure in the operation's words), hands the
// view to pfnServe, and unmaps and closes it on every path. An exception is
// caught: with bReport through the exception filter and traced as
// "<operation>() - Exception occured - Failed!", else silently. The result
// is pfnServe's, or 0.
typedef DWORD (*PFN_SERVE_SECTION)(void* pView);
DWORD RunSectionCommand(LPCSTR pszName, SIZE_T cbView, const char* pszOperation, const char* pszFailed,
                        BOOL bReport, PFN_SERVE_SECTION pfnServe);
// Unmaps and closes whatever is open; safe on a section that never opened.
void CloseCompanionSection(COMPANION_SECTION* pSection);

// The companion's event, or NULL; logs whether it opened, in the words every
// command uses.
HANDLE OpenCompanionEvent(LPCSTR pszName);
// Sets and closes the event when it was opened.
void SignalCompanionEvent(HANDLE* phEvent);

// Copies a wide path of at most 259 characters out of a view, terminated.
void CopySectionPath(const WCHAR* pwszSource, WCHAR* wszPath);
