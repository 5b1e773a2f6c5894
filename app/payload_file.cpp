// One embedded resource of type "FILE".
#include "app/app.h"

static const WCHAR kPayloadType[] = L"FILE";

PayloadFile::PayloadFile(HMODULE hModule, WORD wId)
    : _hModule(hModule), _dwId(wId), _dwSize(0), _hResource(NULL), _pData(NULL)
{
    lstrcpynW(_szType, kPayloadType, ARRAYSIZE(_szType));
}

const BYTE* PayloadFile::GetData(DWORD* pSize)
{
    if (_pData == NULL) {
        if (_hResource == NULL) {
            if (_hModule == NULL || _szType[0] == L'\0') {
                return NULL;
            }
            HRSRC hFound = FindResourceW(_hModule, MAKEINTRESOURCEW(_dwId), _szType);
            if (hFound == NULL) {
                return NULL;
            }
            const DWORD dwSize = SizeofResource(_hModule, hFound);
            if (dwSize == 0) {
                return NULL;
            }
            HGLOBAL hLoaded = LoadResource(_hModule, hFound);
            if (hLoaded == NULL) {
                return NULL;
            }
            _dwSize = dwSize;
            _hResource = hLoaded;
        }
        const BYTE* pLocked = static_cast<const BYTE*>(LockResource(_hResource));
        if (pLocked == NULL) {
            return NULL;
        }
        _pData = pLocked;
    }
    if (pSize != NULL) {
        *pSize = _dwSize;
    }
    return _pData;
}

bool PayloadFile::WriteToFile(LPCWSTR pszPath)
{
    DWORD dwSize = 0;
    const BYTE* pData = GetData(&dwSize);
    if (pData == NULL) {
        return false;
    }
    HANDLE hFile = CreateFileW(pszPath, GENERIC_WRITE, FILE_SHARE_READ, NULL, CREATE_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL, NULL);
    if (hFile == INVALID_HANDLE_VALUE) {
        return false;
    }
    // A write that reports success but wrote less than the whole resource
    // leaves a truncated tool or image behind: that is a failure too.
    DWORD dwWritten = 0;
    const bool bWritten = WriteFile(hFile, pData, dwSize, &dwWritten, NULL) && dwWritten == dwSize;
    CloseHandle(hFile);
    return bWritten;
}

void PayloadFile::Unload()
{
    if (_hResource != NULL) {
        FreeResource(_hResource);
    }
    _hResource = NULL;
    _pData = NULL;
    _szType[0] = L'\0';
}
