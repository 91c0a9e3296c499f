// The companion's side of the agent's commands, for tests: the named
// sections and events a companion creates, the registered messages it
// sends, the vault records it writes, and a second process that holds a
// named mutex.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "AgentHarness.h"
#include "Companion.h"

namespace harness {

// A section as a companion creates it (paging-file backed, zero-filled);
// it stays open until the object goes.
class Section {
public:
    Section(const char* pszName, size_t cbSize);
    ~Section();
    Section(const Section&) = delete;
    Section& operator=(const Section&) = delete;
    BYTE* Bytes() const { return static_cast<BYTE*>(m_pView); }
    template <typename T> T* As() const { return static_cast<T*>(m_pView); }
    size_t Size() const { return m_cbSize; }
    bool AllZero(size_t from = 0) const;

private:
    HANDLE m_hMapping = nullptr;
    void*  m_pView = nullptr;
    size_t m_cbSize = 0;
};

// A companion's event: manual reset, not set.
class Event {
public:
    explicit Event(const char* pszName);
    ~Event() { if (m_h) CloseHandle(m_h); }
    Event(const Event&) = delete;
    Event& operator=(const Event&) = delete;
    bool Wait(DWORD dwTimeoutMs) const { return WaitForSingleObject(m_h, dwTimeoutMs) == WAIT_OBJECT_0; }

private:
    HANDLE m_h = nullptr;
};

// Sends a registered message to the agent's control window and returns
// what the window procedure returned; *pbAnswered false on time-out.
LRESULT SendToAgent(const wchar_t* pwszMessage, DWORD dwTimeoutMs = 10000, bool* pbAnswered = nullptr);

// A vault record in the registry. Settings negative: no "Settings" value.
struct VaultRecordValues {
    std::wstring subkey, path, label, container, mapName;
    long settings = 0;
};
void WriteVaultRecord(const VaultRecordValues& record);
// Every vault record of the user gone, as on a machine without vaults.
void DeleteVaultRecords();

// A companion's new-vault request: section filled, INITIALIZE_VAULTS sent,
// ESerExp awaited. The section's first 32-bit value afterwards (1 success),
// or -1 when the event did not come.
long CreateVault(const VaultRecordValues& record, bool generate, const std::vector<BYTE>& key = {});
// LOGIN_VAULTS (awaits LoginEvent) and LOGGEDINVAULTS (awaits LogEvent):
// the section's result, -1 without an answer. The section's 520 bytes
// afterwards go to *pAfter when given.
long LoginVault(const std::wstring& path, std::vector<BYTE>* pAfter = nullptr);
long LoggedIn(const std::wstring& path);
// LOGOUT_VAULTS and DISCONNECT_VAULT with the path at its place in "RezodService".
void LogoutVault(const std::wstring& path);
void DisconnectVault(const std::wstring& path);

// Another process that owns a named mutex for ms milliseconds; back once it
// owns it. The test program must pass its arguments to RunTestRole.
bool StartMutexHolder(AgentProcess& holder, const std::wstring& mutexName, DWORD ms);
// The roles this program can be started in; -1 when the arguments name none.
int RunTestRole(int argc, wchar_t** argv);

}  // namespace harness
