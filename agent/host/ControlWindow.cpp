// The hidden control window: companion programs reach the agent through it.
#include "host/Host.h"
#include "diag/Diag.h"

void RegisterControlMessages(void)
{
    for (int i = 0; i < REGISTERED_MESSAGE_COUNT; i++)
        g_uiRegisteredMessages[i] = RegisterWindowMessageW(g_wszRegisteredMessageNames[i]);
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

// The registered messages, timers and device notices are dispatched here
// once their commands exist; until then the window behaves as a plain one.
LRESULT CALLBACK WndProc(HWND hWnd, UINT uMessage, WPARAM wParam, LPARAM lParam)
{
    return DefWindowProcW(hWnd, uMessage, wParam, lParam);
}
