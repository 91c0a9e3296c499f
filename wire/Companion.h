// What companion programs and the agent exchange: registered window
// messages sent to the agent's control window, and named shared sections
// (with, for some commands, a named event) that carry the arguments and the
// results. The companion creates each section and event; the agent only
// opens them. Every layout below is a contract: offsets and sizes pinned.
#pragma once

#include <windows.h>
#include <stddef.h>

// Registered message names, in the order the agent registers them.
#define MSG_NAME_INITIALIZE_VAULTS    L"INITIALIZE_VAULTS"
#define MSG_NAME_VAULT_BACKUP         L"VAULT_BACKUP"
#define MSG_NAME_VAULT_SHARE          L"VAULT_SHARE"
#define MSG_NAME_RESTOREVAULT         L"RESTOREVAULT"
#define MSG_NAME_LOGOUT_VAULTS        L"LOGOUT_VAULTS"
#define MSG_NAME_LOGGEDINVAULTS       L"LOGGEDINVAULTS"
#define MSG_NAME_LOGIN_VAULTS         L"LOGIN_VAULTS"
#define MSG_NAME_DISCONNECT_VAULT     L"DISCONNECT_VAULT"
#define MSG_NAME_LAUNCH_EXPLORE_VAULT L"LAUNCH_EXPLORE_VAULT"
#define MSG_NAME_VAULT_CONNECT        L"VAULT_CONNECT"
#define MSG_NAME_CHECK_SHARED_STATUS  L"CHECK_SHARED_STATUS"
#define MSG_NAME_UNSHARE_VAULT        L"UNSHARE_VAULT"
#define MSG_NAME_RARI_DUMP_FILES      L"RARI_DUMP_FILES"
#define MSG_NAME_REM_REST_FILE        L"REM_REST_FILE"

// Section and event names: narrow, no namespace prefix (the logon
// session's local namespace).
#define SECTION_VAULT_DESCRIPTION "RezodService"
#define SECTION_LOGIN_STATUS      "LogInStatus"
#define SECTION_VAULT_SHARE       "VaultShare"
#define SECTION_SHARE_CHECK       "RariShareMap"
#define SECTION_UNSHARE           "UnShareMap"
#define SECTION_BACKUP            "ServiceBackup"
#define SECTION_RESTORE           "VaultRestore"
#define SECTION_CONNECT           "ServiceConnect"
#define SECTION_REMOVE_FILES      "RariMapRemRestFile"

#define EVENT_NEW_VAULT    "ESerExp"
#define EVENT_LOGIN        "LoginEvent"
#define EVENT_LOGIN_STATUS "LogEvent"
#define EVENT_RESTORE      "RestoreEvent"

#define COMPANION_PATH_CHARS 260
#define COMPANION_PATH_BYTES 260

// "RezodService" as new-vault registration, removal and logout read it.
// After a new-vault request the whole section is cleared and its first
// 32-bit value holds the result (1 success, 0 failure).
typedef struct _VAULT_DESCRIPTION_SECTION {
    WCHAR wszLabel[COMPANION_PATH_CHARS];
    WCHAR wszPath[COMPANION_PATH_CHARS];
    WCHAR wszContainer[COMPANION_PATH_CHARS];
    WCHAR wszMapName[COMPANION_PATH_CHARS];
    WCHAR wszDrive[524];          // the vault's registry subkey name
    DWORD dwSettings;
    BYTE  abUnused1[8];
    BYTE  abKey[260];             // an existing wrapped key, when not generating
    DWORD dwKeyLength;
    BYTE  bGenerate;
    BYTE  abUnused2[3];
} VAULT_DESCRIPTION_SECTION;

// The first 520 bytes of "RezodService" as the login reads them, and the
// "LogInStatus" section: a path in, a 32-bit result out (the rest zero).
typedef struct _VAULT_PATH_SECTION {
    union {
        WCHAR wszPath[COMPANION_PATH_CHARS];
        DWORD dwResult;
    };
} VAULT_PATH_SECTION;

// "VaultShare": the two configuration files move from source to destination.
typedef struct _VAULT_SHARE_SECTION {
    WCHAR wszSource[COMPANION_PATH_CHARS];
    WCHAR wszDestination[COMPANION_PATH_CHARS];
} VAULT_SHARE_SECTION;

// "RariShareMap" and "RariMapRemRestFile": two narrow paths. For the share
// check the result byte overwrites the first path's first character.
typedef struct _TWO_FILES_SECTION {
    union {
        char szFirst[COMPANION_PATH_BYTES];
        BYTE bResult;
    };
    char szSecond[COMPANION_PATH_BYTES];
} TWO_FILES_SECTION;

// "UnShareMap": one narrow path; the result byte overwrites its first character.
typedef struct _UNSHARE_SECTION {
    union {
        char szPath[COMPANION_PATH_BYTES];
        BYTE bResult;
    };
} UNSHARE_SECTION;

// "ServiceBackup": the three backup arguments and the failure mark, which
// the agent sets to 1 on failure and leaves alone otherwise.
typedef struct _BACKUP_SECTION {
    char  szFirst[COMPANION_PATH_BYTES];
    char  szSecond[COMPANION_PATH_BYTES];
    DWORD dwValue;
    DWORD dwFailed;
} BACKUP_SECTION;

// "VaultRestore": the restore's path and its target (0 the current vault,
// anything else a new one).
typedef struct _RESTORE_SECTION {
    char  szPath[256];
    DWORD dwTarget;
} RESTORE_SECTION;

// "ServiceConnect": the folder of the vault's configuration in; the user's
// application-data folder out.
typedef struct _CONNECT_SECTION {
    WCHAR wszAppData[COMPANION_PATH_CHARS];
    WCHAR wszFolder[COMPANION_PATH_CHARS];
} CONNECT_SECTION;

#define COMPANION_AT(type, field, offset) \
    static_assert(offsetof(type, field) == (offset), #type "." #field " moved")

static_assert(sizeof(VAULT_DESCRIPTION_SECTION) == 3408, "RezodService size");
COMPANION_AT(VAULT_DESCRIPTION_SECTION, wszLabel, 0);
COMPANION_AT(VAULT_DESCRIPTION_SECTION, wszPath, 520);
COMPANION_AT(VAULT_DESCRIPTION_SECTION, wszContainer, 1040);
COMPANION_AT(VAULT_DESCRIPTION_SECTION, wszMapName, 1560);
COMPANION_AT(VAULT_DESCRIPTION_SECTION, wszDrive, 2080);
COMPANION_AT(VAULT_DESCRIPTION_SECTION, dwSettings, 3128);
COMPANION_AT(VAULT_DESCRIPTION_SECTION, abUnused1, 3132);
COMPANION_AT(VAULT_DESCRIPTION_SECTION, abKey, 3140);
COMPANION_AT(VAULT_DESCRIPTION_SECTION, dwKeyLength, 3400);
COMPANION_AT(VAULT_DESCRIPTION_SECTION, bGenerate, 3404);
COMPANION_AT(VAULT_DESCRIPTION_SECTION, abUnused2, 3405);

static_assert(sizeof(VAULT_PATH_SECTION) == 520, "login and status section size");
COMPANION_AT(VAULT_PATH_SECTION, wszPath, 0);
COMPANION_AT(VAULT_PATH_SECTION, dwResult, 0);

static_assert(sizeof(VAULT_SHARE_SECTION) == 1040, "VaultShare size");
COMPANION_AT(VAULT_SHARE_SECTION, wszSource, 0);
COMPANION_AT(VAULT_SHARE_SECTION, wszDestination, 520);

static_assert(sizeof(TWO_FILES_SECTION) == 520, "RariShareMap size");
COMPANION_AT(TWO_FILES_SECTION, szFirst, 0);
COMPANION_AT(TWO_FILES_SECTION, bResult, 0);
COMPANION_AT(TWO_FILES_SECTION, szSecond, 260);

static_assert(sizeof(UNSHARE_SECTION) == 260, "UnShareMap size");
COMPANION_AT(UNSHARE_SECTION, szPath, 0);
COMPANION_AT(UNSHARE_SECTION, bResult, 0);

static_assert(sizeof(BACKUP_SECTION) == 528, "ServiceBackup size");
COMPANION_AT(BACKUP_SECTION, szFirst, 0);
COMPANION_AT(BACKUP_SECTION, szSecond, 260);
COMPANION_AT(BACKUP_SECTION, dwValue, 520);
COMPANION_AT(BACKUP_SECTION, dwFailed, 524);

static_assert(sizeof(RESTORE_SECTION) == 260, "VaultRestore size");
COMPANION_AT(RESTORE_SECTION, szPath, 0);
COMPANION_AT(RESTORE_SECTION, dwTarget, 256);

static_assert(sizeof(CONNECT_SECTION) == 1040, "ServiceConnect size");
COMPANION_AT(CONNECT_SECTION, wszAppData, 0);
COMPANION_AT(CONNECT_SECTION, wszFolder, 520);

#undef COMPANION_AT
