// The vault explorer, as the agent meets it: a program beside the agent that
// the agent starts, and a hidden top-level window that the agent tells about
// drives that went away.
#pragma once

#define VAULT_EXPLORER_PROGRAM  L"VododizEveru.exe"
#define VAULT_EXPLORER_CLASS    L"VoVizazuvAzevo"

// Posted to the explorer's window when a removable volume is gone:
// wParam = the drive letter's character code (upper case), lParam = 0.
#define WM_VAULT_DRIVE_UNPLUGGED (WM_USER + 408)
static_assert(WM_VAULT_DRIVE_UNPLUGGED == 0x598, "the explorer listens for 0x598");
