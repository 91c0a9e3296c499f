// File keys and name encoding.
//
// Names are encrypted on a duplicate of the vault key: every request gets a
// zero initialisation vector and a fresh chain of its own, and the shared
// handle is never modified, however many workers use it at once.
#include <windows.h>
#include <wincrypt.h>

#include "keys/Crypt.h"
#include "store/Base64.h"
#include "store/FileKeys.h"

#define CODER_BUFFER_BYTES 4096
#define NAME_CHARS         260
#define WRAPPED_KEY_BYTES  256
#define IV_BYTES           16

static DWORD Smaller(SIZE_T a, SIZE_T b)
{
    return (DWORD)(a < b ? a : b);
}

BOOL GetCipherBlockBytes(HCRYPTKEY hVaultKey, ULONG* pulBytes)
{
    DWORD dwBits = 0;
    DWORD cbBits = sizeof(dwBits);

    if (!CryptGetKeyParam(hVaultKey, KP_BLOCKLEN, (BYTE*)&dwBits, &cbBits, 0))
        return FALSE;
    *pulBytes = dwBits / 8;
    return TRUE;
}

DWORD CreateFileSymmetricKey(HCRYPTPROV hProv, HCRYPTKEY hVaultKey, WCHAR* wszKeyTextOut,
                             DWORD* pdwKeyLength, HCRYPTKEY* phFileKeyOut)
{
    BYTE abBlob[WRAPPED_KEY_BYTES];
    char szText[BASE64_ENCODED_CB(WRAPPED_KEY_BYTES)];
    ALG_ID algId = 0;
    DWORD cbAlgId = sizeof(algId);
    DWORD cbBlob = 0;
    DWORD cchCapacity;

    if (!IsCryptInitialised())
        return KEY_RESULT_NOT_INITIALISED;
    if (hProv == 0 || hVaultKey == 0 || wszKeyTextOut == NULL || pdwKeyLength == NULL ||
        phFileKeyOut == NULL)
        return KEY_RESULT_MISSING_ARG;
    cchCapacity = *pdwKeyLength;
    if (!CryptGetKeyParam(hVaultKey, KP_ALGID, (BYTE*)&algId, &cbAlgId, 0))
        return LastErrorOr(NTE_BAD_KEY);
    if (MyCryptGenKey(hProv, algId, CRYPT_EXPORTABLE, phFileKeyOut) != TRUE)
        return FILE_KEY_NOT_GENERATED;
    if (!ExportKeyChecked(*phFileKeyOut, hVaultKey, SYMMETRICWRAPKEYBLOB, 0, NULL, &cbBlob))
        return LastErrorOr(NTE_BAD_KEY);
    if (cbBlob > sizeof(abBlob))
        return NTE_BAD_LEN;
    if (!ExportKeyChecked(*phFileKeyOut, hVaultKey, SYMMETRICWRAPKEYBLOB, 0, abBlob, &cbBlob))
        return LastErrorOr(NTE_BAD_KEY);
    *pdwKeyLength = cbBlob;
    Base64Encode(abBlob, cbBlob, szText);
    if (MultiByteToWideChar(CP_ACP, 0, szText, -1, wszKeyTextOut, (int)cchCapacity) == 0)
        return LastErrorOr(ERROR_INSUFFICIENT_BUFFER);
    return KEY_RESULT_OK;
}

DWORD ImportFileSymmetricKey(HCRYPTPROV hProv, HCRYPTKEY hVaultKey, LPCWSTR pwszKeyText,
                             HCRYPTKEY* phFileKeyOut)
{
    char szText[CODER_BUFFER_BYTES];
    BYTE abBlob[CODER_BUFFER_BYTES];
    DWORD cbBlob;
    int cbText;

    if (!IsCryptInitialised())
        return KEY_RESULT_NOT_INITIALISED;
    if (hProv == 0 || hVaultKey == 0 || pwszKeyText == NULL || phFileKeyOut == NULL)
        return KEY_RESULT_MISSING_ARG;
    ZeroMemory(szText, sizeof(szText));
    cbText = (int)Smaller(wcslen(pwszKeyText) + 1, sizeof(szText) - 1);
    if (WideCharToMultiByte(CP_UTF8, 0, pwszKeyText, -1, szText, cbText, NULL, NULL) == 0)
        return LastErrorOr(ERROR_INSUFFICIENT_BUFFER);
    cbBlob = Base64Decode(szText, abBlob);
    if (!ImportKeyChecked(hProv, abBlob, cbBlob, hVaultKey, 0, phFileKeyOut))
        return LastErrorOr(NTE_BAD_DATA);
    return KEY_RESULT_OK;
}

// A duplicate of the vault key with a zero initialisation vector.
static DWORD DuplicateForNames(HCRYPTKEY hVaultKey, HCRYPTKEY* phDuplicate)
{
    static const BYTE abZeroIv[IV_BYTES] = { 0 };

    if (!CryptDuplicateKey(hVaultKey, NULL, 0, phDuplicate))
        return LastErrorOr(NTE_BAD_KEY);
    if (MyCryptSetKeyParam(*phDuplicate, KP_IV, abZeroIv, 0) != TRUE) {
        DWORD dwError = LastErrorOr(NTE_BAD_KEY);
        CryptDestroyKey(*phDuplicate);
        return dwError;
    }
    return KEY_RESULT_OK;
}

DWORD GetEncodedFileName(HCRYPTKEY hVaultKey, WCHAR* wszName, DWORD dwNameLength)
{
    BYTE abData[CODER_BUFFER_BYTES];
    char szText[CODER_BUFFER_BYTES];
    HCRYPTKEY hNameKey = 0;
    DWORD cbData;
    DWORD dwResult;
    int cbName;

    (void)dwNameLength;
    if (!IsCryptInitialised())
        return KEY_RESULT_NOT_INITIALISED;
    if (hVaultKey == 0 || wszName == NULL)
        return KEY_RESULT_MISSING_ARG;
    dwResult = DuplicateForNames(hVaultKey, &hNameKey);
    if (dwResult != KEY_RESULT_OK)
        return dwResult;
    ZeroMemory(abData, sizeof(abData));
    // The name's UTF-8 form with its terminator, leaving room for a block of padding.
    cbName = WideCharToMultiByte(CP_UTF8, 0, wszName, -1, (char*)abData, NAME_CHARS * 4, NULL, NULL);
    if (cbName == 0) {
        dwResult = LastErrorOr(ERROR_INSUFFICIENT_BUFFER);
    } else {
        cbData = (DWORD)cbName;
        if (MyCryptEncrypt(hNameKey, 0, TRUE, 0, abData, &cbData, sizeof(abData)) != TRUE)
            dwResult = LastErrorOr(NTE_BAD_DATA);
    }
    CryptDestroyKey(hNameKey);
    if (dwResult != KEY_RESULT_OK)
        return dwResult;
    if (BASE64_ENCODED_CB(cbData) > sizeof(szText))
        return ERROR_INSUFFICIENT_BUFFER;
    Base64Encode(abData, cbData, szText);
    if (MultiByteToWideChar(CP_UTF8, 0, szText, -1, wszName, NAME_CHARS) == 0)
        return LastErrorOr(ERROR_INSUFFICIENT_BUFFER);
    return KEY_RESULT_OK;
}

DWORD GetDecodedFileName(HCRYPTKEY hVaultKey, WCHAR* wszText, DWORD* pdwTextLength)
{
    char szText[CODER_BUFFER_BYTES];
    BYTE abData[CODER_BUFFER_BYTES];
    HCRYPTKEY hNameKey = 0;
    DWORD cbData;
    DWORD dwResult;
    int cbText;

    if (!IsCryptInitialised())
        return KEY_RESULT_NOT_INITIALISED;
    if (hVaultKey == 0 || wszText == NULL || pdwTextLength == NULL || *pdwTextLength == 0)
        return KEY_RESULT_MISSING_ARG;
    ZeroMemory(szText, sizeof(szText));
    cbText = (int)Smaller(*pdwTextLength, sizeof(szText) - 1);
    if (WideCharToMultiByte(CP_UTF8, 0, wszText, -1, szText, cbText, NULL, NULL) == 0)
        return LastErrorOr(ERROR_INSUFFICIENT_BUFFER);
    ZeroMemory(abData, sizeof(abData));
    cbData = Base64Decode(szText, abData);
    *pdwTextLength = cbData;
    if (cbData == 0)
        return NTE_BAD_DATA;   // nothing to decrypt
    dwResult = DuplicateForNames(hVaultKey, &hNameKey);
    if (dwResult != KEY_RESULT_OK)
        return dwResult;
    if (MyCryptDecrypt(hNameKey, 0, TRUE, 0, abData, &cbData) != TRUE)
        dwResult = LastErrorOr(NTE_BAD_DATA);
    CryptDestroyKey(hNameKey);
    if (dwResult != KEY_RESULT_OK)
        return dwResult;
    // The plain name ends at its own zero byte; a text that decrypted to
    // bytes without one is cut at the decrypted length.
    abData[Smaller(cbData, sizeof(abData) - 1)] = 0;
    if (MultiByteToWideChar(CP_UTF8, 0, (const char*)abData, -1, wszText, NAME_CHARS) == 0)
        return LastErrorOr(ERROR_INSUFFICIENT_BUFFER);
    return KEY_RESULT_OK;
}
