#include "Companion.h"
#include "host/Host.h"

const wchar_t* const g_wszRegisteredMessageNames[REGISTERED_MESSAGE_COUNT] = {
    MSG_NAME_INITIALIZE_VAULTS, MSG_NAME_VAULT_BACKUP,    MSG_NAME_VAULT_SHARE,
    MSG_NAME_RESTOREVAULT,      MSG_NAME_LOGOUT_VAULTS,   MSG_NAME_LOGGEDINVAULTS,
    MSG_NAME_LOGIN_VAULTS,      MSG_NAME_DISCONNECT_VAULT, MSG_NAME_LAUNCH_EXPLORE_VAULT,
    MSG_NAME_VAULT_CONNECT,     MSG_NAME_CHECK_SHARED_STATUS, MSG_NAME_UNSHARE_VAULT,
    MSG_NAME_RARI_DUMP_FILES,   MSG_NAME_REM_REST_FILE,
};

HANDLE        g_hFilterPort = NULL;
HANDLE        g_hCompletionPort = NULL;
DWORD         g_dwWorkerThreadCount = 0;
HANDLE        g_hWorkerThreads[MAX_WORKER_THREADS];
volatile LONG g_lWorkerRunFlag = 0;
UINT          g_uiRegisteredMessages[REGISTERED_MESSAGE_COUNT];
HWND          g_hControlWindow = NULL;
HINSTANCE     g_hInstance = NULL;
