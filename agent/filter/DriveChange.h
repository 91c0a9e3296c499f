// Vault drives that go away and volumes that come back under another name.
#pragma once

#include <windows.h>

// WM_DEVICECHANGE of the control window: a removed volume is checked and
// the vault explorer is told.
void Handler_OnDeviceChange(HWND hWnd, WPARAM wParam, LPARAM lParam);
// The letter of the lowest bit of a unit mask ('A' + 26 when none is set).
WCHAR FirstDriveFromMask(DWORD dwUnitMask);
BOOL DriveUnpluggedHandler(LPCWSTR pwszDrive);
BOOL DoUnpluggedDriveMap(LPCWSTR pwszDrive);

// Moves the vaults of the drive that wszNewVolume now names to that volume;
// wszOldVolume (260 characters, empty on entry) receives the first one's
// old volume name. TRUE when a vault matched.
BOOL UpdateDriveList(LPCWSTR wszNewVolume, WCHAR* wszOldVolume);
