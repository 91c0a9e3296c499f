// The agent's whole life: start-up, the message loop, and exit.
#include <winsock2.h>
#include <windows.h>
#include <fltuser.h>
#include <stdio.h>

#include "VaultWire.h"
#include "diag/Diag.h"
#include "diag/UserSid.h"
#include "filter/ScannerWorker.h"
#include "host/Host.h"
#include "VaultManager.h"
#include "companion/Commands.h"
#include "keys/Crypt.h"
#include "vaults/Registration.h"

#define SID_UTF8_BYTES   512
#define MUTEX_NAME_BYTES 600
#define ThreadHideFromDebugger 17

typedef LONG (NTAPI* PFN_NT_SET_INFORMATION_THREAD)(HANDLE, ULONG, PVOID, ULONG);

// Keeps a debugger from following the main thread.
static void HideFromDebugger(void)
{
#ifdef VUZ_HIDE_FROM_DEBUGGER
    HMODULE hNtdll = GetModuleHandleW(L"ntdll.dll");
    PFN_NT_SET_INFORMATION_THREAD pfnSetInformationThread = NULL;

    if (hNtdll != NULL)
        pfnSetInformationThread =
            (PFN_NT_SET_INFORMATION_THREAD)(void*)GetProcAddress(hNtdll, "NtSetInformationThread");
    if (pfnSetInformationThread != NULL)
        pfnSetInformationThread(GetCurrentThread(), ThreadHideFromDebugger, NULL, 0);
#endif
}

static void StartWorkers(WorkerContext* pContext)
{
    g_lWorkerRunFlag = 1;
    for (DWORD i = 0; i < g_dwWorkerThreadCount; i++) {
        g_hWorkerThreads[i] = CreateThread(NULL, 0, ScannerWorker, pContext, 0, NULL);
        if (g_hWorkerThreads[i] == NULL) {
            WriteTrace("WinMain() - CreateThread() failed - Failed!");
            WriteLog("ERROR: In CreateThread: %d", (int)i);
        }
    }
}

#ifdef VUZ_TEST_FAULTS
// Test builds only: a message that faults in the loop itself, outside every
// window procedure's guard, to show how the agent ends after it.
static void FaultInLoop(const MSG* pMsg)
{
    static UINT uiLoopFault;

    if (uiLoopFault == 0)
        uiLoopFault = RegisterWindowMessageW(L"VUZ_TEST_LOOP_FAULT");
    if (pMsg->message == uiLoopFault)
        RaiseException(EXCEPTION_ACCESS_VIOLATION, 0, 0, NULL);
}
#endif

static void RunMessageLoop(void)
{
    MSG msg;

    while (GetMessageW(&msg, NULL, 0, 0) > 0) {
#ifdef VUZ_TEST_FAULTS
        FaultInLoop(&msg);
#endif
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
}

// Start-up up to a serving agent. Returns FALSE when the agent must end;
// *phMutex is the single-instance mutex once it is held.
static BOOL StartAgent(HINSTANCE hInstance, int nCmdShow, WorkerContext* pContext,
                       HANDLE* phMutex)
{
    PSID pSid = NULL;
    LPWSTR pwszSid = NULL;
    char szSidUtf8[SID_UTF8_BYTES];
    char szMutexName[MUTEX_NAME_BYTES];
    WORD wSidChars;
    HANDLE hMutex;
    HRESULT hr;

    RegisterControlMessages();
    g_dwWorkerThreadCount = WORKER_THREAD_COUNT;

    MyRegisterClass(hInstance);
    if (!InitInstance(hInstance, nCmdShow)) {
        WriteTrace("WinMain() - InitInstance failed - Failed!");
        return FALSE;
    }
    SetProcessShutdownParameters(0x100, 0);
    ResetReleaseTable();

    if (!ObtainUserSid(GetCurrentThreadId(), GetCurrentProcessId(), &pSid) ||
        !SidToText(pSid, &pwszSid)) {
        if (pSid != NULL)
            HeapFree(GetProcessHeap(), 0, pSid);
        WriteTrace("ObtainUserSid() or ConvertSidToStringSid() failed.");
        return FALSE;
    }
    HeapFree(GetProcessHeap(), 0, pSid);
    WriteTrace("WinMain() - ISID returned by ConvertSidToStringSid : %ws", pwszSid);
    WriteLog("SID returned by ConvertSidToStringSid: %ws", pwszSid);

    wSidChars = (WORD)lstrlenW(pwszSid);
    WriteLog("StringSid size: %d\n", (int)wSidChars);
    ZeroMemory(szSidUtf8, sizeof(szSidUtf8));
    // One byte stays zero so the text is terminated for the mutex name.
    if (WideCharToMultiByte(CP_UTF8, 0, pwszSid, wSidChars, szSidUtf8, sizeof(szSidUtf8) - 1,
                            NULL, NULL) == 0) {
        WriteTrace("WinMain() - WideCharToMultiByte failed :%d\n", (int)GetLastError());
        WriteLog("WideCharToMultiByte failed :%d\n", (int)GetLastError());
        LocalFree(pwszSid);
        return FALSE;
    }
    if (LocalFree(pwszSid) != NULL) {
        WriteTrace("WinMain() - LocalFree failed :%d\n", (int)GetLastError());
        WriteLog("LocalFree failed :%d\n", (int)GetLastError());
    }

    _snprintf_s(szMutexName, sizeof(szMutexName), _TRUNCATE, "Local\\%s", szSidUtf8);
    SetLastError(0);
    hMutex = CreateMutexA(NULL, TRUE, szMutexName);
    if (hMutex == NULL) {
        MessageBoxA(GetActiveWindow(), "Could not create unique mutex",
                    "ERROR!!! Mutex creation failed", MB_OK | MB_ICONERROR);
        return FALSE;
    }
    if (GetLastError() == ERROR_ALREADY_EXISTS) {
        ReleaseMutex(hMutex);
        MessageBoxA(GetActiveWindow(), "An Instance of VuvUDOVU.exe is Already running",
                    "ERROR!!! Instance running", MB_OK | MB_ICONERROR);
        return FALSE;
    }
    *phMutex = hMutex;

    WriteLog("FilterConnectCommunicationPort called");
    hr = FilterConnectCommunicationPort(VAULT_PORT_NAME, 0, szSidUtf8, wSidChars, NULL,
                                        &g_hFilterPort);
    if (FAILED(hr)) {
        WriteTrace("WinMain() - Connecting to filter port failed error code = %d - Failed", (int)hr);
        WriteLog("ERROR: Connecting to filter port: 0x%08x\n", (unsigned)hr);
        MessageBoxW(GetActiveWindow(),
                    L"Vuzaziz service could not be started.\r\n"
                    L"Please verify Vault Filter is loaded and running.",
                    L"Vuzaziz Service", MB_OK | MB_ICONERROR);
        return FALSE;
    }

    g_hCompletionPort = CreateIoCompletionPort(g_hFilterPort, NULL, 0, g_dwWorkerThreadCount);
    if (g_hCompletionPort == NULL) {
        WriteTrace("WinMain() - CreateIoCompletionPort() failed error code = %d - Failed",
                   (int)GetLastError());
        WriteLog("ERROR: Creating completion port: %d\n", (int)GetLastError());
        MessageBoxA(GetActiveWindow(), "Vuzaziz Service not Started", "Vuzaziz Service",
                    MB_OK | MB_ICONERROR);
        CloseHandle(g_hFilterPort);
        return FALSE;
    }
    pContext->hPort = g_hFilterPort;
    pContext->hCompletion = g_hCompletionPort;

    InitCrypt();
    // Restores started by the vault manager's own programs reach the agent too.
    SetVServiceCalBak(CopyVaultConfigCallback);
    HideFromDebugger();

    WriteTrace("WinMain() - Before SendDocVaultsToFilter()");
    WriteLog("Before SendDocVaultsToFilter()");
    SendDocVaultsToFilter();
    WriteTrace("WinMain() - After SendDocVaultsToFilter()");
    WriteLog("After SendDocVaultsToFilter()");

    StartWorkers(pContext);
    WriteLog("All initialization is being done \n");
    return TRUE;
}

static void StopAgent(BOOL bWinsockStarted, HANDLE hMutex)
{
    ReleaseProviderTable();
    if (bWinsockStarted)
        WSACleanup();
    if (!ReleaseMutex(hMutex)) {
        WriteTrace("WinMain() - Fails to released mutex object :%d", (int)GetLastError());
        WriteLog("Fails to released mutex object :%d\n", (int)GetLastError());
    }
}

int WINAPI WinMain(HINSTANCE hInstance, HINSTANCE hPrevInstance, LPSTR lpCmdLine, int nCmdShow)
{
    WSADATA wsaData;
    BOOL bWinsockStarted;
    HANDLE hMutex = NULL;
    BOOL bServing = FALSE;
    // Shared by every worker for the life of the process.
    static WorkerContext context;

    (void)hPrevInstance;
    (void)lpCmdLine;
    bWinsockStarted = WSAStartup(0x0002, &wsaData) == 0;

    GetUserSidString();
    OpenLogFile();
    OpenTraceFile();
    WriteTrace("WinMain() - Start");

    __try {
        bServing = StartAgent(hInstance, nCmdShow, &context, &hMutex);
        if (bServing)
            RunMessageLoop();
    } __except (ExceptionFilter(GetExceptionInformation())) {
        WriteTrace("WinMain() - Exception occured - Failed!");
    }
    // An agent that served ends through the exit steps however its loop
    // ended; one that never served only gives the mutex back.
    if (bServing) {
        StopAgent(bWinsockStarted, hMutex);
        WriteTrace("WinMain() - End");
    } else if (hMutex != NULL) {
        ReleaseMutex(hMutex);
    }
    return 0;
}
