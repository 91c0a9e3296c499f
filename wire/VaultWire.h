// Records exchanged between the agent and the Vault Filter driver.
//
// These are wire formats: the driver was built against exactly these
// offsets and sizes, so nothing here may be reordered or resized. Every
// field's offset is pinned below; a change that moves one fails the build.
#pragma once

#include <windows.h>
#include <fltuserstructures.h>
#include <stddef.h>

#define VAULT_PORT_NAME L"\\ScannerPort"

#define MAX_DATA_LENGTH        16384
#define DIR_BATCH_ENTRIES      10
#define DIR_SLICE_SIZE         1024
#define MAX_PATH_CHARS         260
#define FSK_BLOB_CHARS         256

// Command codes of Notification.eCommandType. 0, 8 and everything above
// DeviceUnpluggedNotice are not commands.
enum COMMAND_TYPE : ULONG {
    CreateFileInVault          = 1,
    GetFileNameFromVault       = 2,
    AuthenticateUser           = 3,
    EncryptBlock               = 4,
    GetNormalBuffer            = 5,
    ParsedFileNew              = 6,
    PreDirBrowsing             = 7,
    UpdateMetaFileName         = 9,
    DeleteFolder               = 10,
    GetLogicalFileDetails      = 11,
    NetworkEditMsg             = 12,
    UpdateMetaFileSize2        = 13,
    GetLogicalFileDetailsExCmd = 14,
    ReleaseFSK                 = 15,
    GetOldDriveName            = 16,
    DeviceUnpluggedNotice      = 17,
};

// A batch of stored files: read from the request, and the same layout again
// as the reply member of ParsedFileNew.
typedef struct _DIR_FILE_NAMES {
    ULONG         LastIndex;
    LARGE_INTEGER FileSize[DIR_BATCH_ENTRIES];
    WCHAR         FileName[DIR_BATCH_ENTRIES][MAX_PATH_CHARS];
} DIR_FILE_NAMES;

struct Notification {
    ULONG          eCommandType;
    ULONG          Requester[2];
    ULONG          Reserved1;
    ULONG          DataLength;
    UCHAR          Data[MAX_DATA_LENGTH];
    DIR_FILE_NAMES DirFileNames;
    WCHAR          ParentDir[512];
    WCHAR          Volume[1024];
    WCHAR          FileName[1024];
    WCHAR          VaultPath[272];
    LARGE_INTEGER  FileSize;
    BOOLEAN        IsNetwork;
    WCHAR          NewVolume[512];
    WCHAR          NewParentDir[512];
    WCHAR          NewFileName[517];
    ULONG          FSKHandle;
    ULONGLONG      Reserved2;
};

struct RequestMessage {
    FILTER_MESSAGE_HEADER MessageHeader;
    struct Notification   Notification;
};

// Reply members, one per kind of command; they share Reply offset 0x0008.
typedef struct _VAULT_FILE {
    BOOLEAN       FileFound;
    WCHAR         FileName[MAX_PATH_CHARS];
    ULONG         FSKHandle;
    LARGE_INTEGER FileSize;
    WCHAR         FSKBlob[FSK_BLOB_CHARS];
    ULONG         CipherBlockSize;
    ULONG         DataLength;
    UCHAR         Data[MAX_DATA_LENGTH];
} VAULT_FILE;

typedef struct _LOGICAL_FILE {
    WCHAR         FileName[MAX_PATH_CHARS];
    ULONG         FSKHandle;
    LARGE_INTEGER FileSize;
    ULONG         CipherBlockSize;
} LOGICAL_FILE;

typedef struct _REPLY_BUFFER {
    ULONG Length;
    UCHAR Data[MAX_DATA_LENGTH];
} REPLY_BUFFER;

typedef struct _DATA_FILE {
    WCHAR FileName[MAX_PATH_CHARS];
} DATA_FILE;

typedef struct _OLD_DRIVE {
    BOOLEAN Found;
    WCHAR   OldVolume[MAX_PATH_CHARS];
} OLD_DRIVE;

typedef struct _LOGIN_STATUS {
    BOOLEAN LoggedIn;
} LOGIN_STATUS;

struct Reply {
    UCHAR Reserved[8];
    union {
        VAULT_FILE     VaultFile;
        LOGICAL_FILE   LogicalFile;
        REPLY_BUFFER   Buffer;
        DIR_FILE_NAMES DirFileNames;
        DATA_FILE      DataFile;
        OLD_DRIVE      OldDrive;
        LOGIN_STATUS   Login;
    };
    BOOLEAN Succeeded;
};

// user32 has a function of this name: write the type as struct ReplyMessage.
struct ReplyMessage {
    FILTER_REPLY_HEADER ReplyHeader;
    struct Reply        Reply;
};

#define REQUEST_MESSAGE_SIZE  ((DWORD)sizeof(RequestMessage))
#define REPLY_MESSAGE_SIZE    ((DWORD)sizeof(struct ReplyMessage))

// Reply bytes that are cleared before every command: the members' common
// front, up to the end of the largest member that a command builds piecewise.
#define REPLY_CLEAR_FIRST     0x0008
#define REPLY_CLEAR_END       0x400C

// ---------------------------------------------------------------------------
// Control messages that the agent sends to the driver with FilterSendMessage.

enum VAULT_CONTROL_COMMAND : DWORD {
    ADD_VAULTS       = 1,
    REMOVE_VAULT     = 3,
    VAULT_LOGGED_IN  = 7,
    VAULT_LOGGED_OUT = 8,
    VAULT_PATH_PAIR  = 9,
    DUMP_OPEN_FILES  = 10,
};

#define VAULT_CONTROL_ENTRIES     10
#define VAULT_CONTROL_REPLY_SIZE  40
#define VAULT_CONTROL_SHORT_REPLY 4

struct VaultControlMessage {
    DWORD dwCommand;
    DWORD dwCount;
    char  szSid[520];
    DWORD dwSidLength;
    WCHAR wszDevicePath[VAULT_CONTROL_ENTRIES][MAX_PATH_CHARS];
    DWORD dwSettings[VAULT_CONTROL_ENTRIES];
    WCHAR wszMapName[VAULT_CONTROL_ENTRIES][MAX_PATH_CHARS];
    BYTE  bNewVault;
    BYTE  bUnused1;
    WCHAR wszDevice1[40];
    WCHAR wszDir1[200];
    WCHAR wszName1[200];
    WCHAR wszExt1[10];
    WCHAR wszDevice2[40];
    WCHAR wszDir2[200];
    WCHAR wszName2[200];
    WCHAR wszExt2[10];
    BYTE  bUnused2[2];
};

// ---------------------------------------------------------------------------
// The layouts, pinned.

#define WIRE_AT(type, field, offset) \
    static_assert(offsetof(type, field) == (offset), #type "." #field " moved")

static_assert(sizeof(FILTER_MESSAGE_HEADER) == 16, "FILTER_MESSAGE_HEADER size");
WIRE_AT(FILTER_MESSAGE_HEADER, ReplyLength, 0);
WIRE_AT(FILTER_MESSAGE_HEADER, MessageId, 8);
static_assert(sizeof(FILTER_REPLY_HEADER) == 16, "FILTER_REPLY_HEADER size");
WIRE_AT(FILTER_REPLY_HEADER, Status, 0);
WIRE_AT(FILTER_REPLY_HEADER, MessageId, 8);

static_assert(sizeof(DIR_FILE_NAMES) == 5288, "DIR_FILE_NAMES size");
WIRE_AT(DIR_FILE_NAMES, LastIndex, 0x00);
WIRE_AT(DIR_FILE_NAMES, FileSize, 0x08);
WIRE_AT(DIR_FILE_NAMES, FileName, 0x58);

static_assert(sizeof(Notification) == 0x7700, "Notification size");
WIRE_AT(Notification, eCommandType, 0x0000);
WIRE_AT(Notification, Requester[0], 0x0004);
WIRE_AT(Notification, Requester[1], 0x0008);
WIRE_AT(Notification, Reserved1, 0x000C);
WIRE_AT(Notification, DataLength, 0x0010);
WIRE_AT(Notification, Data, 0x0014);
WIRE_AT(Notification, DirFileNames.LastIndex, 0x4018);
WIRE_AT(Notification, DirFileNames.FileSize, 0x4020);
WIRE_AT(Notification, DirFileNames.FileName, 0x4070);
WIRE_AT(Notification, ParentDir, 0x54C0);
WIRE_AT(Notification, Volume, 0x58C0);
WIRE_AT(Notification, FileName, 0x60C0);
WIRE_AT(Notification, VaultPath, 0x68C0);
WIRE_AT(Notification, FileSize, 0x6AE0);
WIRE_AT(Notification, IsNetwork, 0x6AE8);
WIRE_AT(Notification, NewVolume, 0x6AEA);
WIRE_AT(Notification, NewParentDir, 0x6EEA);
WIRE_AT(Notification, NewFileName, 0x72EA);
WIRE_AT(Notification, FSKHandle, 0x76F4);
WIRE_AT(Notification, Reserved2, 0x76F8);

static_assert(sizeof(RequestMessage) == 30480, "RequestMessage size");
WIRE_AT(RequestMessage, MessageHeader, 0x0000);
WIRE_AT(RequestMessage, Notification, 0x0010);

static_assert(sizeof(VAULT_FILE) == 17440, "VAULT_FILE size");
static_assert(sizeof(Reply) == 0x4430, "Reply size");
WIRE_AT(Reply, Reserved, 0x0000);
WIRE_AT(Reply, VaultFile.FileFound, 0x0008);
WIRE_AT(Reply, VaultFile.FileName, 0x000A);
WIRE_AT(Reply, VaultFile.FSKHandle, 0x0214);
WIRE_AT(Reply, VaultFile.FileSize, 0x0218);
WIRE_AT(Reply, VaultFile.FSKBlob, 0x0220);
WIRE_AT(Reply, VaultFile.CipherBlockSize, 0x0420);
WIRE_AT(Reply, VaultFile.DataLength, 0x0424);
WIRE_AT(Reply, VaultFile.Data, 0x0428);
WIRE_AT(Reply, LogicalFile.FileName, 0x0008);
WIRE_AT(Reply, LogicalFile.FSKHandle, 0x0210);
WIRE_AT(Reply, LogicalFile.FileSize, 0x0218);
WIRE_AT(Reply, LogicalFile.CipherBlockSize, 0x0220);
WIRE_AT(Reply, Buffer.Length, 0x0008);
WIRE_AT(Reply, Buffer.Data, 0x000C);
WIRE_AT(Reply, DirFileNames.LastIndex, 0x0008);
WIRE_AT(Reply, DirFileNames.FileSize, 0x0010);
WIRE_AT(Reply, DirFileNames.FileName, 0x0060);
WIRE_AT(Reply, DataFile.FileName, 0x0008);
WIRE_AT(Reply, OldDrive.Found, 0x0008);
WIRE_AT(Reply, OldDrive.OldVolume, 0x000A);
WIRE_AT(Reply, Login.LoggedIn, 0x0008);
WIRE_AT(Reply, Succeeded, 0x4428);

static_assert(sizeof(struct ReplyMessage) == 17472, "ReplyMessage size");
WIRE_AT(struct ReplyMessage, ReplyHeader, 0x0000);
WIRE_AT(struct ReplyMessage, Reply, 0x0010);

static_assert(sizeof(VaultControlMessage) == 12776, "VaultControlMessage size");
WIRE_AT(VaultControlMessage, dwCommand, 0);
WIRE_AT(VaultControlMessage, dwCount, 4);
WIRE_AT(VaultControlMessage, szSid, 8);
WIRE_AT(VaultControlMessage, dwSidLength, 528);
WIRE_AT(VaultControlMessage, wszDevicePath, 532);
WIRE_AT(VaultControlMessage, dwSettings, 5732);
WIRE_AT(VaultControlMessage, wszMapName, 5772);
WIRE_AT(VaultControlMessage, bNewVault, 10972);
WIRE_AT(VaultControlMessage, bUnused1, 10973);
WIRE_AT(VaultControlMessage, wszDevice1, 10974);
WIRE_AT(VaultControlMessage, wszDir1, 11054);
WIRE_AT(VaultControlMessage, wszName1, 11454);
WIRE_AT(VaultControlMessage, wszExt1, 11854);
WIRE_AT(VaultControlMessage, wszDevice2, 11874);
WIRE_AT(VaultControlMessage, wszDir2, 11954);
WIRE_AT(VaultControlMessage, wszName2, 12354);
WIRE_AT(VaultControlMessage, wszExt2, 12754);
WIRE_AT(VaultControlMessage, bUnused2, 12774);

#undef WIRE_AT
