// The work folder in the temporary directory and the payloads written into
// it.
#include <windows.h>

#include <new>
#include <shellapi.h>
#include <shlwapi.h>

#include "app/app.h"
#include "app/vendor_tools.h"

namespace {

// Pause after each step that creates or deletes something on disk.
const DWORD kSettleMs = 200;

// Sets pszPath to the work folder joined with pszName, then writes the
// payload there and registers the file for deletion at the next reboot.
// The path is set before the write, so that a half-written file is still
// deleted at the end of the run.
bool ExtractOne(PayloadFile* pPayload, WCHAR* pszPath, LPCWSTR pszName)
{
    if (pPayload == nullptr) {
        return false;
    }
    lstrcpynW(pszPath, g_szWorkFolder, MAX_PATH);
    PathAppendW(pszPath, pszName);
    if (!pPayload->WriteToFile(pszPath)) {
        return false;
    }
    MoveFileExW(pszPath, NULL, MOVEFILE_DELAY_UNTIL_REBOOT);
    Sleep(kSettleMs);
    return true;
}

void DeleteAndClear(WCHAR* pszPath)
{
    if (pszPath[0] != L'\0') {
        DeleteFileW(pszPath);
        pszPath[0] = L'\0';
    }
}

}  // namespace

bool CreateWorkFolder()
{
    WCHAR szTemp[MAX_PATH];
    ZeroMemory(szTemp, sizeof(szTemp));
    if (GetTempPathW(MAX_PATH, szTemp) == 0) {
        return false;
    }
    // With 0 as the unique number this creates an empty file of a new name;
    // the file is replaced by a folder of the same name.
    if (GetTempFileNameW(szTemp, L"FWUP", 0, g_szWorkFolder) == 0) {
        g_szWorkFolder[0] = L'\0';
        return false;
    }
    DeleteFileW(g_szWorkFolder);
    Sleep(kSettleMs);
    if (!CreateDirectoryW(g_szWorkFolder, NULL)) {
        g_szWorkFolder[0] = L'\0';
        return false;
    }
    Sleep(kSettleMs);
    return true;
}

ToolPayloads SelectToolPayloads(WORD wProcessorArchitecture)
{
    if (wProcessorArchitecture == PROCESSOR_ARCHITECTURE_AMD64) {
        return {IDR_INFO_X64, VENDOR_INFO_NAME_X64, IDR_REFLASH_X64, VENDOR_REFLASH_NAME_X64};
    }
    return {IDR_INFO_X86, VENDOR_INFO_NAME_X86, IDR_REFLASH_X86, VENDOR_REFLASH_NAME_X86};
}

bool ExtractPayloads(SessionPayloads* pPayloads)
{
    pPayloads->pImage = new (std::nothrow) PayloadFile(g_hInstance, IDR_FIRMWARE_IMAGE);
    if (!ExtractOne(pPayloads->pImage, g_szImagePath, VENDOR_IMAGE_NAME)) {
        return false;
    }

    // The native architecture, so a 32-bit process on 64-bit Windows takes the 64-bit tools.
    SYSTEM_INFO si;
    ZeroMemory(&si, sizeof(si));
    GetNativeSystemInfo(&si);
    const ToolPayloads tools = SelectToolPayloads(si.wProcessorArchitecture);

    pPayloads->pInfoTool = new (std::nothrow) PayloadFile(g_hInstance, tools.nInfoId);
    if (!ExtractOne(pPayloads->pInfoTool, g_szInfoToolPath, tools.pszInfoName)) {
        return false;
    }

    pPayloads->pReflashTool = new (std::nothrow) PayloadFile(g_hInstance, tools.nReflashId);
    if (!ExtractOne(pPayloads->pReflashTool, g_szReflashToolPath, tools.pszReflashName)) {
        return false;
    }

    // The tools may leave a log in their working directory. The folder is
    // registered last, after everything in it.
    lstrcpynW(g_szLogPath, g_szWorkFolder, MAX_PATH);
    PathAppendW(g_szLogPath, VENDOR_LOG_NAME);
    MoveFileExW(g_szLogPath, NULL, MOVEFILE_DELAY_UNTIL_REBOOT);
    MoveFileExW(g_szWorkFolder, NULL, MOVEFILE_DELAY_UNTIL_REBOOT);
    return true;
}

void ReleasePayloads(SessionPayloads* pPayloads)
{
    PayloadFile** order[3] = {&pPayloads->pReflashTool, &pPayloads->pInfoTool,
                              &pPayloads->pImage};
    for (PayloadFile** ppPayload : order) {
        if (*ppPayload != nullptr) {
            (*ppPayload)->Unload();
            delete *ppPayload;
            *ppPayload = nullptr;
        }
    }
}

void DeleteSessionFiles()
{
    DeleteAndClear(g_szImagePath);
    DeleteAndClear(g_szInfoToolPath);
    DeleteAndClear(g_szReflashToolPath);
    DeleteAndClear(g_szLogPath);
    if (g_szWorkFolder[0] != L'\0') {
        RemoveWorkFolder();
        g_szWorkFolder[0] = L'\0';
    }
}

void RemoveWorkFolder()
{
    // A list of one name, ended by a double NUL.
    WCHAR szFrom[MAX_PATH + 1];
    ZeroMemory(szFrom, sizeof(szFrom));
    lstrcpynW(szFrom, g_szWorkFolder, MAX_PATH);
    PathRemoveBackslashW(szFrom);
    szFrom[lstrlenW(szFrom) + 1] = L'\0';

    SHFILEOPSTRUCTW op;
    ZeroMemory(&op, sizeof(op));
    op.hwnd = NULL;
    op.wFunc = FO_DELETE;
    op.pFrom = szFrom;
    op.pTo = NULL;
    op.fFlags = FOF_SILENT | FOF_NOCONFIRMATION | FOF_NOCONFIRMMKDIR | FOF_NOERRORUI;
    SHFileOperationW(&op);
}
