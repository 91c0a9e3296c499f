// Sections and events of the companion commands.
#include <windows.h>

#include "companion/Sections.h"
#include "diag/Diag.h"

#define SECTION_PATH_CHARS 260

SECTION_OPEN_RESULT OpenCompanionSection(LPCSTR pszName, SIZE_T cbView, COMPANION_SECTION* pSection)
{
    pSection->hMapping = OpenFileMappingA(FILE_MAP_ALL_ACCESS, FALSE, pszName);
    pSection->pView = NULL;
    if (pSection->hMapping == NULL)
        return SECTION_NOT_OPENED;
    pSection->pView = MapViewOfFile(pSection->hMapping, FILE_MAP_ALL_ACCESS, 0, 0, cbView);
    if (pSection->pView == NULL) {
        CloseHandle(pSection->hMapping);
        pSection->hMapping = NULL;
        return SECTION_NOT_MAPPED;
    }
    return SECTION_OPENED;
}

BOOL OpenCommandSection(LPCSTR pszName, SIZE_T cbView, COMPANION_SECTION* pSection, const char* pszOperation,
                        const char* pszFailed)
{
    switch (OpenCompanionSection(pszName, cbView, pSection)) {
    case SECTION_OPENED:
        return TRUE;
    case SECTION_NOT_OPENED:
        WriteTrace("%s() - OpenFileMappingA() failed - %s", pszOperation, pszFailed);
        break;
    case SECTION_NOT_MAPPED:
        WriteTrace("%s() - MapViewOfFile() failed - %s", pszOperation, pszFailed);
        break;
    }
    return FALSE;
}

DWORD RunSectionCommand(LPCSTR pszName, SIZE_T cbView, const char* pszOperation, const char* pszFailed,
                        BOOL bReport, PFN_SERVE_SECTION pfnServe)
{
    COMPANION_SECTION section = { NULL, NULL };
    DWORD dwResult = 0;

    WriteTrace("%s() - Start", pszOperation);
    __try {
        if (OpenCommandSection(pszName, cbView, &section, pszOperation, pszFailed))
            dwResult = pfnServe(section.pView);
    } __except (bReport ? ExceptionFilter(GetExceptionInformation()) : EXCEPTION_EXECUTE_HANDLER) {
        if (bReport)
            WriteTrace("%s() - Exception occured - Failed!", pszOperation);
    }
    CloseCompanionSection(&section);
    WriteTrace("%s() - End", pszOperation);
    return dwResult;
}

void CloseCompanionSection(COMPANION_SECTION* pSection)
{
    if (pSection->pView != NULL)
        UnmapViewOfFile(pSection->pView);
    if (pSection->hMapping != NULL)
        CloseHandle(pSection->hMapping);
    pSection->pView = NULL;
    pSection->hMapping = NULL;
}

HANDLE OpenCompanionEvent(LPCSTR pszName)
{
    HANDLE hEvent = OpenEventA(EVENT_MODIFY_STATE, FALSE, pszName);

    if (hEvent != NULL)
        WriteLog("_______________Yeah Open The Event________________");
    else
        WriteLog("_______________can't Open The Event________________");
    return hEvent;
}

void SignalCompanionEvent(HANDLE* phEvent)
{
    if (*phEvent == NULL)
        return;
    SetEvent(*phEvent);
    CloseHandle(*phEvent);
    *phEvent = NULL;
}

void CopySectionPath(const WCHAR* pwszSource, WCHAR* wszPath)
{
    CopyMemory(wszPath, pwszSource, SECTION_PATH_CHARS * sizeof(WCHAR));
    wszPath[SECTION_PATH_CHARS - 1] = L'\0';
}
