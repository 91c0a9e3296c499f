// The hidden control window: companion programs reach the agent through it.
#include <windows.h>
#include <strsafe.h>

#include "companion/Commands.h"
#include "diag/Diag.h"
#include "filter/DriveChange.h"
#include "host/Host.h"
#include "vaults/ControlMessages.h"
#include "vaults/Registration.h"

#ifdef VUZ_TEST_FAULTS
// Test builds only: a command that faults inside the dispatch, to show what
// the window procedure's guard does with a handler's access violation.
static UINT g_uiFaultMessage;
#endif

void RegisterControlMessages(void)
{
    for (int i = 0; i < REGISTERED_MESSAGE_COUNT; i++)
        g_uiRegisteredMessages[i] = RegisterWindowMessageW(g_wszRegisteredMessageNames[i]);
#ifdef VUZ_TEST_FAULTS
    g_uiFaultMessage = RegisterWindowMessageW(L"VUZ_TEST_ACCESS_VIOLATION");
#endif
}

ATOM MyRegisterClass(HINSTANCE hInstance)
{
    WNDCLASSEXW wcex;
    ATOM atom;

    WriteTrace("MyRegisterClass() - Start");
    ZeroMemory(&wcex, sizeof(wcex));
    wcex.cbSize        = sizeof(wcex);
    wcex.style         = CS_HREDRAW | CS_VREDRAW;
    wcex.lpfnWndProc   = WndProc;
    wcex.hInstance     = hInstance;
    wcex.hbrBackground = (HBRUSH)(COLOR_WINDOW + 1);
    wcex.lpszClassName = CONTROL_WINDOW_CLASS;
    atom = RegisterClassExW(&wcex);
    WriteTrace("MyRegisterClass() - End");
    return atom;
}

BOOL InitInstance(HINSTANCE hInstance, int nCmdShow)
{
    HWND hWnd;

    (void)nCmdShow;   // the window is never shown, whatever the start-up asked
    WriteTrace("InitInstance() - Start");
    g_hInstance = hInstance;
    hWnd = CreateWindowExW(0, CONTROL_WINDOW_CLASS, CONTROL_WINDOW_TITLE, WS_OVERLAPPEDWINDOW,
                           CW_USEDEFAULT, 0, CW_USEDEFAULT, 0, NULL, NULL, hInstance, NULL);
    if (hWnd == NULL) {
        WriteTrace("InitInstance() - CreateWindow() failed - Failed");
        return FALSE;
    }
    ShowWindow(hWnd, SW_HIDE);
    UpdateWindow(hWnd);
    g_hControlWindow = hWnd;
    WriteTrace("InitInstance() - End");
    return TRUE;
}

// ---------------------------------------------------------------------------
// Timers: three commands do their work one second after their message. The
// three share one identifier, so arming one replaces whichever is pending.

#define COMMAND_TIMER_ID 2426
#define COMMAND_TIMER_MS 1000
#define EXCEPTION_TEXT_CHARS 200

typedef BOOL (*PFN_COMMAND)(void);

typedef struct _COMMAND_TIMER {
    UINT_PTR     uTimer;
    volatile LONG lNesting;
} COMMAND_TIMER;

static COMMAND_TIMER g_InitVaultsTimer;
static COMMAND_TIMER g_LoginTimer;
static COMMAND_TIMER g_RestoreTimer;

static void ArmTimer(COMMAND_TIMER* pTimer, TIMERPROC pfnTimerProc)
{
    pTimer->uTimer = SetTimer(g_hControlWindow, COMMAND_TIMER_ID, COMMAND_TIMER_MS, pfnTimerProc);
}

// Fires once. An operation that shows a message box runs a modal loop in
// which timers fire: the nesting count keeps an operation from running
// inside itself.
static void RunTimedCommand(COMMAND_TIMER* pTimer, PFN_COMMAND pfnCommand)
{
    if (g_hControlWindow != NULL)
        KillTimer(g_hControlWindow, pTimer->uTimer);
    if (InterlockedIncrement(&pTimer->lNesting) == 1)
        pfnCommand();
    InterlockedDecrement(&pTimer->lNesting);
}

VOID CALLBACK InitVaultsTimerProc(HWND hWnd, UINT uMessage, UINT_PTR uTimer, DWORD dwTime)
{
    (void)hWnd; (void)uMessage; (void)uTimer; (void)dwTime;
    RunTimedCommand(&g_InitVaultsTimer, SendNewVaultToFilter);
}

VOID CALLBACK LoginTimerProc(HWND hWnd, UINT uMessage, UINT_PTR uTimer, DWORD dwTime)
{
    (void)hWnd; (void)uMessage; (void)uTimer; (void)dwTime;
    RunTimedCommand(&g_LoginTimer, SetLoggedInStatus);
}

static BOOL RestoreVault(void)
{
    VaultMgrService();
    return TRUE;
}

VOID CALLBACK RestoreTimerProc(HWND hWnd, UINT uMessage, UINT_PTR uTimer, DWORD dwTime)
{
    (void)hWnd; (void)uMessage; (void)uTimer; (void)dwTime;
    RunTimedCommand(&g_RestoreTimer, RestoreVault);
}

// ---------------------------------------------------------------------------
// The window procedure.

static BOOL TellLoggedOut(VaultCacheEntry* pRecord, void* pContext)
{
    (void)pContext;
    if (pRecord->bLoggedIn == 1)
        SendLoginStatusToFilter(pRecord, FALSE);
    return TRUE;
}

// The registered messages served, each by a command that gives the window
// procedure's result. A message not listed goes to DefWindowProcW.
static LRESULT ArmInitVaultsTimer(void)
{
    ArmTimer(&g_InitVaultsTimer, InitVaultsTimerProc);
    return 0;
}

static LRESULT ArmLoginTimer(void)
{
    ArmTimer(&g_LoginTimer, LoginTimerProc);
    return 0;
}

static LRESULT DumpOpenFiles(void)
{
    SendDumpMessageToFilter();
    return 0;
}

static LRESULT LogOutVault(void)
{
    LogoutVaultFromFilter();
    return 0;
}

static LRESULT AnswerLoggedIn(void)
{
    GetLoggedInStatus();
    return 0;
}

static LRESULT DisconnectVault(void)
{
    RemoveVaultFromFilter();
    return 0;
}

static LRESULT ShareVault(void)
{
    VaultShare();
    return 0;
}

static LRESULT BackUpVault(void)
{
    ServiceVaultBackup();
    return 0;
}

static LRESULT ArmRestoreTimer(void)
{
    ArmTimer(&g_RestoreTimer, RestoreTimerProc);
    return 0;
}

static LRESULT LaunchExplorer(void)
{
    LaunchVododizEveru();
    return 0;
}

static LRESULT ConnectVault(void)
{
    return MoveVaultFiles();
}

static LRESULT AnswerSharedStatus(void)
{
    CheckSharedStatus();
    return 1;
}

static LRESULT Unshare(void)
{
    UnshareVault();
    return 1;
}

static LRESULT RemoveFiles(void)
{
    RemoveRestFiles();
    return 1;
}

typedef struct _CONTROL_COMMAND {
    REGISTERED_MESSAGE_INDEX index;
    LRESULT (*pfnCommand)(void);
} CONTROL_COMMAND;

static const CONTROL_COMMAND g_CommandTable[] = {
    { MSG_INITIALIZE_VAULTS, ArmInitVaultsTimer },
    { MSG_RARI_DUMP_FILES,   DumpOpenFiles },
    { MSG_LOGOUT_VAULTS,     LogOutVault },
    { MSG_LOGGEDINVAULTS,    AnswerLoggedIn },
    { MSG_LOGIN_VAULTS,      ArmLoginTimer },
    { MSG_DISCONNECT_VAULT,  DisconnectVault },
    { MSG_VAULT_SHARE,       ShareVault },
    { MSG_VAULT_BACKUP,      BackUpVault },
    { MSG_RESTOREVAULT,      ArmRestoreTimer },
    { MSG_LAUNCH_EXPLORE_VAULT, LaunchExplorer },
    { MSG_VAULT_CONNECT,     ConnectVault },
    { MSG_CHECK_SHARED_STATUS, AnswerSharedStatus },
    { MSG_UNSHARE_VAULT,     Unshare },
    { MSG_REM_REST_FILE,     RemoveFiles },
};

static BOOL IsRegistered(UINT uMessage, REGISTERED_MESSAGE_INDEX index)
{
    return g_uiRegisteredMessages[index] != 0 && uMessage == g_uiRegisteredMessages[index];
}

#ifdef VUZ_TEST_FAULTS
GUARDED_BODY static void FaultingCommand(void)
{
    volatile int* piNowhere = NULL;
    *piNowhere = 0;
}
#endif

GUARDED_BODY static LRESULT DispatchControlMessage(HWND hWnd, UINT uMessage, WPARAM wParam, LPARAM lParam)
{
    PAINTSTRUCT ps;

    switch (uMessage) {
    case WM_DESTROY:
        // The agent ends only on a WM_QUIT from outside.
        return 0;
    case WM_PAINT:
        BeginPaint(hWnd, &ps);
        EndPaint(hWnd, &ps);
        return 0;
    case WM_CLOSE:
        // The driver hears that every logged-in vault is logged out; the
        // records keep their flags and the window stays.
        WalkVaultCache(TellLoggedOut, NULL);
        return 0;
    case WM_DEVICECHANGE:
        Handler_OnDeviceChange(hWnd, wParam, lParam);
        return 0;
    }
    for (int i = 0; i < (int)ARRAYSIZE(g_CommandTable); i++)
        if (IsRegistered(uMessage, g_CommandTable[i].index))
            return g_CommandTable[i].pfnCommand();
#ifdef VUZ_TEST_FAULTS
    if (g_uiFaultMessage != 0 && uMessage == g_uiFaultMessage) {
        FaultingCommand();
        return 0;
    }
#endif
    return DefWindowProcW(hWnd, uMessage, wParam, lParam);
}

LRESULT CALLBACK WndProc(HWND hWnd, UINT uMessage, WPARAM wParam, LPARAM lParam)
{
    WCHAR wszText[EXCEPTION_TEXT_CHARS];
    LRESULT lResult = 0;
    DWORD dwCode = 0;

    __try {
        lResult = DispatchControlMessage(hWnd, uMessage, wParam, lParam);
    } __except (dwCode = GetExceptionCode(), EXCEPTION_EXECUTE_HANDLER) {
        WriteTrace("WndProc() - Exception occured - code 0x%X - Failed", (unsigned)dwCode);
        StringCchPrintfW(wszText, EXCEPTION_TEXT_CHARS, L"Exception occured - code 0x%X", (unsigned)dwCode);
        MessageBoxW(NULL, wszText, L"VuvuDovu", MB_OK);
        lResult = 0;
    }
    return lResult;
}
