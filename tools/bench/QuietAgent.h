// The agent's diagnostics off while a benchmark runs: the log files would
// be timed rather than the port. Restores the levels found.
#pragma once

#include <windows.h>

// Both channels off, as where no levels are set.
struct QuietAgentLevels {
    HKEY hKey = nullptr;
    DWORD saved[2] = {};
    bool had[2] = {};
    const wchar_t* names[2] = {L"LogLevel", L"TraceLevel"};
    QuietAgentLevels()
    {
        RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\Revedi Zadoder Avir.\\Vuzaziz", 0, nullptr, 0,
                        KEY_QUERY_VALUE | KEY_SET_VALUE, nullptr, &hKey, nullptr);
        for (int i = 0; i < 2; i++) {
            DWORD size = sizeof(DWORD);
            had[i] = RegQueryValueExW(hKey, names[i], nullptr, nullptr, (BYTE*)&saved[i], &size) == ERROR_SUCCESS;
            DWORD zero = 0;
            RegSetValueExW(hKey, names[i], 0, REG_DWORD, (const BYTE*)&zero, sizeof(zero));
        }
    }
    ~QuietAgentLevels()
    {
        for (int i = 0; i < 2; i++) {
            if (had[i])
                RegSetValueExW(hKey, names[i], 0, REG_DWORD, (const BYTE*)&saved[i], sizeof(DWORD));
            else
                RegDeleteValueW(hKey, names[i]);
        }
        RegCloseKey(hKey);
    }
};
