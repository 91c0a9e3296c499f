// Process-wide state of the agent host, written by the main thread during
// start-up before any worker exists and only read afterwards.
#pragma once

#include <windows.h>

#include "ControlWindow.h"

#define MAX_WORKER_THREADS      64
#define WORKER_THREAD_COUNT     5
#define REGISTERED_MESSAGE_COUNT 14


// Indexes into g_uiRegisteredMessages, in registration order.
enum REGISTERED_MESSAGE_INDEX {
    MSG_INITIALIZE_VAULTS, MSG_VAULT_BACKUP, MSG_VAULT_SHARE, MSG_RESTOREVAULT,
    MSG_LOGOUT_VAULTS, MSG_LOGGEDINVAULTS, MSG_LOGIN_VAULTS, MSG_DISCONNECT_VAULT,
    MSG_LAUNCH_EXPLORE_VAULT, MSG_VAULT_CONNECT, MSG_CHECK_SHARED_STATUS,
    MSG_UNSHARE_VAULT, MSG_RARI_DUMP_FILES, MSG_REM_REST_FILE,
};

extern const wchar_t* const g_wszRegisteredMessageNames[REGISTERED_MESSAGE_COUNT];

extern HANDLE        g_hFilterPort;
extern HANDLE        g_hCompletionPort;
extern DWORD         g_dwWorkerThreadCount;
extern HANDLE        g_hWorkerThreads[MAX_WORKER_THREADS];
extern volatile LONG g_lWorkerRunFlag;
extern UINT          g_uiRegisteredMessages[REGISTERED_MESSAGE_COUNT];
extern HWND          g_hControlWindow;
extern HINSTANCE     g_hInstance;

void RegisterControlMessages(void);
ATOM MyRegisterClass(HINSTANCE hInstance);
BOOL InitInstance(HINSTANCE hInstance, int nCmdShow);
LRESULT CALLBACK WndProc(HWND hWnd, UINT uMessage, WPARAM wParam, LPARAM lParam);
