// A well-behaved driver never exceeds these limits; a request that does is
// refused whole rather than clamped, so no command works on a cut string.
#include "filter/RequestCheck.h"

#include <stdio.h>
#include <string.h>

typedef struct _COMMAND_FIELDS {
    ULONG eCommandType;
    DWORD dwFields;
} COMMAND_FIELDS;

#define FIELDS_VOLUME_FILE (FIELD_VOLUME | FIELD_PARENT_DIR | FIELD_FILE_NAME | FIELD_NETWORK_VOLUME)

static const COMMAND_FIELDS g_CommandFields[] = {
    { CreateFileInVault,          FIELDS_VOLUME_FILE },
    { GetFileNameFromVault,       FIELDS_VOLUME_FILE },
    { AuthenticateUser,           FIELDS_VOLUME_FILE },
    { EncryptBlock,               0 },
    { GetNormalBuffer,            0 },
    { ParsedFileNew,              FIELD_VOLUME | FIELD_BATCH_PATH | FIELD_BATCH_SLICES },
    { PreDirBrowsing,             FIELD_VAULT_PATH | FIELD_FILE_NAME },
    { UpdateMetaFileName,         FIELD_NEW_VOLUME | FIELD_NEW_PARENT_DIR | FIELD_NEW_FILE_NAME |
                                  FIELD_NETWORK_NEW_VOLUME },
    { DeleteFolder,               FIELDS_VOLUME_FILE },
    { GetLogicalFileDetails,      FIELDS_VOLUME_FILE },
    { NetworkEditMsg,             0 },
    { UpdateMetaFileSize2,        FIELD_VOLUME | FIELD_PARENT_DIR | FIELD_NETWORK_VOLUME },
    { GetLogicalFileDetailsExCmd, FIELD_VOLUME | FIELD_PARENT_DIR | FIELD_NETWORK_VOLUME },
    { ReleaseFSK,                 0 },
    { GetOldDriveName,            FIELD_VOLUME },
    { DeviceUnpluggedNotice,      FIELD_VOLUME },
};

BOOL GetCommandFields(ULONG eCommandType, DWORD* pdwFields)
{
    for (size_t i = 0; i < sizeof(g_CommandFields) / sizeof(g_CommandFields[0]); i++) {
        if (g_CommandFields[i].eCommandType == eCommandType) {
            *pdwFields = g_CommandFields[i].dwFields;
            return TRUE;
        }
    }
    return FALSE;
}

// Characters before the terminator, or cchField when there is none.
static size_t BoundedLength(const WCHAR* pwszField, size_t cchField)
{
    size_t cch = 0;
    while (cch < cchField && pwszField[cch] != L'\0')
        cch++;
    return cch;
}

static BOOL CheckString(const WCHAR* pwszField, size_t cchField, size_t cchMax,
                        const char* pszName, char* pszFault, size_t cchFault)
{
    if (BoundedLength(pwszField, cchField) <= cchMax)
        return TRUE;
    _snprintf_s(pszFault, cchFault, _TRUNCATE, "%s longer than %u characters", pszName,
                (unsigned)cchMax);
    return FALSE;
}

#define CHECK_FIELD(flag, field, cchMax, name)                                              \
    if ((dwFields & (flag)) &&                                                              \
        !CheckString(pNotification->field, ARRAYSIZE(pNotification->field), (cchMax), name, \
                     pszFault, cchFault))                                                   \
        return FALSE;

BOOL CheckRequestFields(const Notification* pNotification, DWORD dwFields, char* pszFault,
                        size_t cchFault)
{
    const size_t cchVolume = (pNotification->IsNetwork && (dwFields & FIELD_NETWORK_VOLUME))
                                 ? MAX_REQUEST_STRING_CHARS - 1 : MAX_REQUEST_STRING_CHARS;
    const size_t cchNewVolume = (pNotification->IsNetwork && (dwFields & FIELD_NETWORK_NEW_VOLUME))
                                    ? MAX_REQUEST_STRING_CHARS - 1 : MAX_REQUEST_STRING_CHARS;

    if (pNotification->DataLength > MAX_DATA_LENGTH) {
        _snprintf_s(pszFault, cchFault, _TRUNCATE, "DataLength %u above %u",
                    (unsigned)pNotification->DataLength, (unsigned)MAX_DATA_LENGTH);
        return FALSE;
    }
    // Only the batch reads LastIndex: another command's stale value is no fault.
    if ((dwFields & FIELD_BATCH_SLICES) && pNotification->DirFileNames.LastIndex >= DIR_BATCH_ENTRIES) {
        _snprintf_s(pszFault, cchFault, _TRUNCATE, "LastIndex %u above %u",
                    (unsigned)pNotification->DirFileNames.LastIndex, DIR_BATCH_ENTRIES - 1);
        return FALSE;
    }
    CHECK_FIELD(FIELD_VOLUME, Volume, cchVolume, "Volume")
    CHECK_FIELD(FIELD_PARENT_DIR, ParentDir, MAX_REQUEST_STRING_CHARS, "ParentDir")
    CHECK_FIELD(FIELD_FILE_NAME, FileName, MAX_REQUEST_STRING_CHARS, "FileName")
    CHECK_FIELD(FIELD_VAULT_PATH, VaultPath, MAX_REQUEST_STRING_CHARS, "VaultPath")
    CHECK_FIELD(FIELD_NEW_VOLUME, NewVolume, cchNewVolume, "NewVolume")
    CHECK_FIELD(FIELD_NEW_PARENT_DIR, NewParentDir, MAX_REQUEST_STRING_CHARS, "NewParentDir")
    CHECK_FIELD(FIELD_NEW_FILE_NAME, NewFileName, MAX_REQUEST_STRING_CHARS, "NewFileName")
    CHECK_FIELD(FIELD_BATCH_PATH, DirFileNames.FileName[0], MAX_REQUEST_STRING_CHARS,
                "DirFileNames.FileName[0]")
    if (dwFields & FIELD_BATCH_SLICES) {
        for (ULONG i = 0; i <= pNotification->DirFileNames.LastIndex; i++) {
            const UCHAR* pSlice = pNotification->Data + i * DIR_SLICE_SIZE;
            if (memchr(pSlice, 0, DIR_SLICE_SIZE) == NULL) {
                _snprintf_s(pszFault, cchFault, _TRUNCATE, "meta text %u not terminated",
                            (unsigned)i);
                return FALSE;
            }
        }
    }
    return TRUE;
}
