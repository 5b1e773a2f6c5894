// The single write that puts a payload into its file, apart from
// PayloadFile so that the short-write check can be exercised with a
// substitute for WriteFile.
#pragma once

#include <windows.h>

typedef BOOL(WINAPI* PFN_WRITEFILE)(HANDLE, LPCVOID, DWORD, LPDWORD, LPOVERLAPPED);

// Makes one pfnWriteFile call of dwSize bytes. True only when the call
// succeeded AND reported every byte written: a short write is a failure.
bool WritePayloadBytes(HANDLE hFile, const BYTE* pData, DWORD dwSize, PFN_WRITEFILE pfnWriteFile);
