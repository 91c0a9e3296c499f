// The vault-manager library ZedIDurOvaZiz.dll: backup and restore of vaults.
// The agent imports it at load time (link the import library of the target
// `vaultmgr`); the DLL stands beside the agent.
//
// Calling convention: every function and the callback use the one calling
// convention of 64-bit Windows (arguments in RCX, RDX, R8, R9, 32 bytes of
// shadow space reserved by the caller, which also removes the arguments).
// WINAPI names it; on x64 it is the same as __cdecl, and a 32-bit build gets
// __stdcall, where the callee removes its arguments. No record crosses this
// boundary: only zero-terminated strings, a 32-bit value and a code address.
//
// Results are Win32 error codes: ERROR_SUCCESS (0) on success.
#pragma once

#include <windows.h>

#ifdef VAULTMGR_BUILD
#define VAULTMGR_API extern "C" __declspec(dllexport)
#else
#define VAULTMGR_API extern "C" __declspec(dllimport)
#endif

// Told after a restore has put a vault back: wszBackupFolder is the backup
// the vault came from, wszVaultFolder the folder it now lives in. Both are
// full paths of at most 259 characters, zero-terminated; they are valid only
// during the call. Called on the thread that called the restore, before the
// restore returns.
typedef void (WINAPI* VSERVICE_CALLBACK)(LPCWSTR wszBackupFolder, LPCWSTR wszVaultFolder);

// dwFlags of VaultBackup.
#define VAULT_BACKUP_REPLACE 0x00000001u  // a backup already in the folder is replaced

// Copies the vault folder szVaultFolder (every file and folder under it, its
// configuration files among them) into the backup folder szBackupFolder,
// which is created if missing and must be empty or hold a backup (replaced
// only with VAULT_BACKUP_REPLACE). The backup counts as made only when the
// call succeeds; a failed one leaves a folder that restores refuse.
VAULTMGR_API DWORD WINAPI VaultBackup(LPCSTR szVaultFolder, LPCSTR szBackupFolder, DWORD dwFlags);

// Registers the callback for later restores (NULL unregisters). Returns
// ERROR_SUCCESS.
VAULTMGR_API DWORD WINAPI SetVServiceCalBak(VSERVICE_CALLBACK pfnCallback);

// Copies the backup in szBackupFolder back over the vault folder it was made
// from (recreated if missing). Files that the backup holds are replaced;
// files that it does not know stay. After a complete copy, and only then,
// calls the callback. A backup that is incomplete or no longer matches its
// record is refused before anything is copied.
VAULTMGR_API DWORD WINAPI VaultRestoreToCurrentVault(LPCSTR szBackupFolder);

// Copies the backup in szBackupFolder into a new vault folder beside the
// backup folder, named after the vault it was made from ("Work", else
// "Work (2)", "Work (3)", ...). After a complete copy calls the callback
// with that folder.
VAULTMGR_API DWORD WINAPI VaultRestoreToNewVault(LPCSTR szBackupFolder);
