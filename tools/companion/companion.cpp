// Command-line companion: commands the running agent the way the product's
// companion programs do, through its hidden control window.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>

#include "ControlWindow.h"

namespace {

int Usage()
{
    fwprintf(stderr,
             L"usage: companion quit [--wait-seconds N]\n"
             L"  quit  post WM_QUIT to the agent of this session and wait for it to end\n"
             L"exit codes: 0 done, 1 no agent running, 2 the agent did not end in time\n");
    return 64;
}

int Quit(DWORD dwWaitMs)
{
    HWND hWnd = FindWindowW(CONTROL_WINDOW_CLASS, CONTROL_WINDOW_TITLE);
    if (!hWnd) {
        fwprintf(stderr, L"companion: no agent is running\n");
        return 1;
    }
    DWORD pid = 0;
    GetWindowThreadProcessId(hWnd, &pid);
    HANDLE hProcess = OpenProcess(SYNCHRONIZE, FALSE, pid);
    PostMessageW(hWnd, WM_QUIT, 0, 0);
    DWORD wait = hProcess ? WaitForSingleObject(hProcess, dwWaitMs) : WAIT_FAILED;
    if (hProcess)
        CloseHandle(hProcess);
    if (wait != WAIT_OBJECT_0) {
        fwprintf(stderr, L"companion: the agent (pid %lu) did not end\n", pid);
        return 2;
    }
    wprintf(L"companion: agent (pid %lu) ended\n", pid);
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc < 2)
        return Usage();
    DWORD waitMs = 10000;
    for (int i = 2; i + 1 < argc; i += 2) {
        if (wcscmp(argv[i], L"--wait-seconds") == 0)
            waitMs = static_cast<DWORD>(wcstoul(argv[i + 1], nullptr, 10)) * 1000;
        else
            return Usage();
    }
    if (wcscmp(argv[1], L"quit") == 0)
        return Quit(waitMs);
    return Usage();
}
