// Limits of the request fields, checked before any command runs.
#pragma once

#include <windows.h>
#include "VaultWire.h"

// Strings are copied into 260-character buffers: at most 259 characters,
// and 258 for a network volume that gets a backslash in front.
#define MAX_REQUEST_STRING_CHARS  (MAX_PATH_CHARS - 1)

// Fields a command reads. FALSE when eCommandType is not a command.
BOOL GetCommandFields(ULONG eCommandType, DWORD* pdwFields);

// TRUE when every field in dwFields is within its limits; otherwise FALSE
// and a short description of the first fault.
BOOL CheckRequestFields(const Notification* pNotification, DWORD dwFields,
                        char* pszFault, size_t cchFault);

enum REQUEST_FIELD {
    FIELD_VOLUME          = 0x0001,
    FIELD_PARENT_DIR      = 0x0002,
    FIELD_FILE_NAME       = 0x0004,
    FIELD_VAULT_PATH      = 0x0008,
    FIELD_NEW_VOLUME      = 0x0010,
    FIELD_NEW_PARENT_DIR  = 0x0020,
    FIELD_NEW_FILE_NAME   = 0x0040,
    FIELD_BATCH_PATH      = 0x0080,   // DirFileNames.FileName[0]
    FIELD_BATCH_SLICES    = 0x0100,   // Data as meta-text slices 0..LastIndex
    FIELD_NETWORK_VOLUME  = 0x0200,   // Volume gets a backslash when IsNetwork
    FIELD_NETWORK_NEW_VOLUME = 0x0400,// NewVolume gets a backslash when IsNetwork
};
