#include "host/Host.h"

const wchar_t* const g_wszRegisteredMessageNames[REGISTERED_MESSAGE_COUNT] = {
    L"INITIALIZE_VAULTS", L"VAULT_BACKUP",    L"VAULT_SHARE",          L"RESTOREVAULT",
    L"LOGOUT_VAULTS",     L"LOGGEDINVAULTS",  L"LOGIN_VAULTS",         L"DISCONNECT_VAULT",
    L"LAUNCH_EXPLORE_VAULT", L"VAULT_CONNECT", L"CHECK_SHARED_STATUS", L"UNSHARE_VAULT",
    L"RARI_DUMP_FILES",   L"REM_REST_FILE",
};

HANDLE        g_hFilterPort = NULL;
HANDLE        g_hCompletionPort = NULL;
DWORD         g_dwWorkerThreadCount = 0;
HANDLE        g_hWorkerThreads[MAX_WORKER_THREADS];
volatile LONG g_lWorkerRunFlag = 0;
UINT          g_uiRegisteredMessages[REGISTERED_MESSAGE_COUNT];
HWND          g_hControlWindow = NULL;
HINSTANCE     g_hInstance = NULL;
