// wincheck: can a program in this prefix create a window? Exit 0 when it
// can; 1 (with the error) when it cannot. setup runs it on every prefix it
// prepares, so a session that cannot make windows fails loudly there instead
// of as agents that never connect.
#include <windows.h>

#include <cstdio>

int wmain()
{
    WNDCLASSEXW wcex{};
    wcex.cbSize = sizeof(wcex);
    wcex.lpfnWndProc = DefWindowProcW;
    wcex.hInstance = GetModuleHandleW(nullptr);
    wcex.lpszClassName = L"VuzWindowCheck";
    RegisterClassExW(&wcex);
    HWND hWnd = CreateWindowExW(0, wcex.lpszClassName, L"wincheck", WS_OVERLAPPEDWINDOW,
                                CW_USEDEFAULT, 0, CW_USEDEFAULT, 0, nullptr, nullptr,
                                wcex.hInstance, nullptr);
    if (!hWnd) {
        fwprintf(stderr, L"wincheck: CreateWindowExW failed, error %lu\n", GetLastError());
        return 1;
    }
    DestroyWindow(hWnd);
    wprintf(L"wincheck: a window was created\n");
    return 0;
}
