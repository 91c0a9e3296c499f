#include "CompanionSession.h"

#include <algorithm>

#include "ControlWindow.h"

namespace harness {

namespace {
const wchar_t kVaultsKey[] = L"Software\\Revedi Zadoder Avir.\\Vuzaziz\\Vaults";
const wchar_t kHolding[] = L"VuzTestHoldingMutex";
const DWORD kTimerCommandMs = 10000;
}  // namespace

Section::Section(const char* pszName, size_t cbSize) : m_cbSize(cbSize)
{
    m_hMapping = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                    static_cast<DWORD>(cbSize), pszName);
    if (m_hMapping)
        m_pView = MapViewOfFile(m_hMapping, FILE_MAP_ALL_ACCESS, 0, 0, cbSize);
    if (m_pView)
        ZeroMemory(m_pView, cbSize);
}

Section::~Section()
{
    if (m_pView)
        UnmapViewOfFile(m_pView);
    if (m_hMapping)
        CloseHandle(m_hMapping);
}

bool Section::AllZero(size_t from) const
{
    return std::all_of(Bytes() + from, Bytes() + m_cbSize, [](BYTE b) { return b == 0; });
}

Event::Event(const char* pszName)
{
    m_h = CreateEventA(nullptr, TRUE, FALSE, pszName);
    ResetEvent(m_h);
}

LRESULT SendToAgent(const wchar_t* pwszMessage, DWORD dwTimeoutMs, bool* pbAnswered)
{
    HWND hWnd = FindWindowW(CONTROL_WINDOW_CLASS, CONTROL_WINDOW_TITLE);
    DWORD_PTR result = 0;
    bool answered = hWnd && SendMessageTimeoutW(hWnd, RegisterWindowMessageW(pwszMessage), 0, 0,
                                                SMTO_NORMAL, dwTimeoutMs, &result) != 0;
    if (pbAnswered)
        *pbAnswered = answered;
    return static_cast<LRESULT>(result);
}

void WriteVaultRecord(const VaultRecordValues& record)
{
    const std::wstring key = std::wstring(kVaultsKey) + L"\\" + record.subkey;
    auto put = [&](const wchar_t* name, const std::wstring& value) {
        RegSetKeyValueW(HKEY_CURRENT_USER, key.c_str(), name, REG_SZ, value.c_str(),
                        static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
    };
    put(L"Path", record.path);
    put(L"Label", record.label);
    put(L"Container", record.container);
    put(L"MapName", record.mapName);
    if (record.settings >= 0) {
        DWORD settings = static_cast<DWORD>(record.settings);
        RegSetKeyValueW(HKEY_CURRENT_USER, key.c_str(), L"Settings", REG_DWORD, &settings, 4);
    }
}

void DeleteVaultRecords()
{
    RegDeleteTreeW(HKEY_CURRENT_USER, kVaultsKey);
    HKEY hKey;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, kVaultsKey, 0, nullptr, 0, KEY_READ, nullptr, &hKey, nullptr) ==
        ERROR_SUCCESS)
        RegCloseKey(hKey);
}

namespace {

// A timer command: the section stays open until its event says it is
// answered; its first 32-bit value is the result.
long AwaitTimerCommand(const wchar_t* pwszMessage, const char* pszEvent, const Section& section)
{
    Event done(pszEvent);
    SendToAgent(pwszMessage);
    if (!done.Wait(kTimerCommandMs))
        return -1;
    return static_cast<long>(*section.As<DWORD>());
}

void CopyPath(WCHAR* slot, const std::wstring& path)
{
    wcsncpy_s(slot, COMPANION_PATH_CHARS, path.c_str(), _TRUNCATE);
}

void SendPathCommand(const wchar_t* pwszMessage, const std::wstring& path)
{
    Section section(SECTION_VAULT_DESCRIPTION, sizeof(VAULT_DESCRIPTION_SECTION));
    CopyPath(section.As<VAULT_DESCRIPTION_SECTION>()->wszPath, path);
    SendToAgent(pwszMessage);
}

}  // namespace

long CreateVault(const VaultRecordValues& record, bool generate, const std::vector<BYTE>& key)
{
    Section section(SECTION_VAULT_DESCRIPTION, sizeof(VAULT_DESCRIPTION_SECTION));
    auto* d = section.As<VAULT_DESCRIPTION_SECTION>();
    CopyPath(d->wszLabel, record.label);
    CopyPath(d->wszPath, record.path);
    CopyPath(d->wszContainer, record.container);
    CopyPath(d->wszMapName, record.mapName);
    wcsncpy_s(d->wszDrive, record.subkey.c_str(), _TRUNCATE);
    d->dwSettings = static_cast<DWORD>(record.settings);
    std::copy_n(key.begin(), std::min<size_t>(key.size(), sizeof(d->abKey)), d->abKey);
    d->dwKeyLength = static_cast<DWORD>(key.size());
    d->bGenerate = generate ? 1 : 0;
    return AwaitTimerCommand(MSG_NAME_INITIALIZE_VAULTS, EVENT_NEW_VAULT, section);
}

long LoginVault(const std::wstring& path, std::vector<BYTE>* pAfter)
{
    Section section(SECTION_VAULT_DESCRIPTION, sizeof(VAULT_DESCRIPTION_SECTION));
    CopyPath(section.As<VAULT_PATH_SECTION>()->wszPath, path);
    long result = AwaitTimerCommand(MSG_NAME_LOGIN_VAULTS, EVENT_LOGIN, section);
    if (pAfter)
        pAfter->assign(section.Bytes(), section.Bytes() + sizeof(VAULT_PATH_SECTION));
    return result;
}

long LoggedIn(const std::wstring& path)
{
    Section section(SECTION_LOGIN_STATUS, sizeof(VAULT_PATH_SECTION));
    CopyPath(section.As<VAULT_PATH_SECTION>()->wszPath, path);
    return AwaitTimerCommand(MSG_NAME_LOGGEDINVAULTS, EVENT_LOGIN_STATUS, section);
}

void LogoutVault(const std::wstring& path) { SendPathCommand(MSG_NAME_LOGOUT_VAULTS, path); }
void DisconnectVault(const std::wstring& path) { SendPathCommand(MSG_NAME_DISCONNECT_VAULT, path); }

bool StartMutexHolder(AgentProcess& holder, const std::wstring& mutexName, DWORD ms)
{
    HANDLE hHolding = CreateEventW(nullptr, TRUE, FALSE, kHolding);
    ResetEvent(hHolding);
    bool started = holder.Start(SelfPath(), L"--hold-mutex " + mutexName + L" " + std::to_wstring(ms)) &&
                   WaitForSingleObject(hHolding, 10000) == WAIT_OBJECT_0;
    CloseHandle(hHolding);
    return started;
}

int RunTestRole(int argc, wchar_t** argv)
{
    if (argc == 4 && wcscmp(argv[1], L"--hold-mutex") == 0) {
        HANDLE hMutex = CreateMutexW(nullptr, TRUE, argv[2]);
        HANDLE hHolding = OpenEventW(EVENT_MODIFY_STATE, FALSE, kHolding);
        if (hHolding)
            SetEvent(hHolding);
        Sleep(wcstoul(argv[3], nullptr, 10));
        ReleaseMutex(hMutex);
        return 0;
    }
    return -1;
}

}  // namespace harness
