// Stand-in for the vault explorer: a hidden top-level window of the class
// that the agent looks for, which writes down every drive-unplugged message
// it receives (ExplorerRecord.h says where and how). The agent starts it and
// never waits for it.
#include <windows.h>

#include <cstdio>
#include <cwchar>

#include "ExplorerRecord.h"
#include "VaultExplorer.h"

namespace {

const wchar_t kHelp[] =
    L"VododizEveru: stand-in for the vault explorer.\n"
    L"usage: VododizEveru.exe [--help]\n"
    L"Opens a hidden window of class \"" VAULT_EXPLORER_CLASS L"\" and appends one line\n"
    L"per event to " EXPLORER_RECORD_FILE L" beside the program:\n"
    L"  start pid=<pid> window=0x<handle>               the window exists\n"
    L"  0x598 pid=<pid> wparam=0x<hex> lparam=0x<hex>   message 0x598 received\n"
    L"  end pid=<pid>                                   ended (WM_CLOSE or WM_QUIT)\n"
    L"Lines end in CR LF; hex digits are upper case, without leading zeros.\n"
    L"Exit code 0; 1 when the window cannot be created.\n";

wchar_t g_wszRecord[MAX_PATH];

void Record(const char* szFormat, ...)
{
    char line[160];
    va_list args;
    va_start(args, szFormat);
    int cch = vsnprintf(line, sizeof(line), szFormat, args);
    va_end(args);
    HANDLE h = CreateFileW(g_wszRecord, FILE_APPEND_DATA,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE || cch <= 0)
        return;
    DWORD cb;
    WriteFile(h, line, (DWORD)cch, &cb, nullptr);
    CloseHandle(h);
}

LRESULT CALLBACK WindowProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam)
{
    switch (uMsg) {
    case WM_VAULT_DRIVE_UNPLUGGED:
        Record(EXPLORER_RECORD_MESSAGE, GetCurrentProcessId(), (unsigned long long)wParam,
               (unsigned long long)lParam);
        return 0;
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcW(hWnd, uMsg, wParam, lParam);
}

// A GUI program has no console of its own: print into the caller's.
void PrintHelp()
{
    if (!GetStdHandle(STD_OUTPUT_HANDLE) && AttachConsole(ATTACH_PARENT_PROCESS))
        _wfreopen(L"CONOUT$", L"w", stdout);
    fputws(kHelp, stdout);
    fflush(stdout);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE hInstance, HINSTANCE, LPWSTR wszCmdLine, int)
{
    if (wcsstr(wszCmdLine, L"--help") || wcsstr(wszCmdLine, L"/?")) {
        PrintHelp();
        return 0;
    }
    DWORD cch = GetModuleFileNameW(nullptr, g_wszRecord, MAX_PATH);
    wchar_t* pSlash = wcsrchr(g_wszRecord, L'\\');
    if (cch == 0 || cch >= MAX_PATH || !pSlash ||
        (size_t)(pSlash + 1 - g_wszRecord) + wcslen(EXPLORER_RECORD_FILE) >= MAX_PATH)
        return 1;
    wcscpy(pSlash + 1, EXPLORER_RECORD_FILE);

    WNDCLASSEXW wcex = {sizeof(wcex)};
    wcex.lpfnWndProc = WindowProc;
    wcex.hInstance = hInstance;
    wcex.lpszClassName = VAULT_EXPLORER_CLASS;
    // Not WS_VISIBLE: the window exists only to be found and told.
    HWND hWnd = RegisterClassExW(&wcex)
                    ? CreateWindowExW(0, VAULT_EXPLORER_CLASS, L"VododizEveru", WS_OVERLAPPEDWINDOW,
                                      CW_USEDEFAULT, 0, CW_USEDEFAULT, 0, nullptr, nullptr,
                                      hInstance, nullptr)
                    : nullptr;
    if (!hWnd)
        return 1;
    Record(EXPLORER_RECORD_START, GetCurrentProcessId(), (unsigned long long)(ULONG_PTR)hWnd);

    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    Record(EXPLORER_RECORD_END, GetCurrentProcessId());
    return 0;
}
