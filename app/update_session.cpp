// The whole update run: locks, the driver channel, the precondition checks,
// the payloads, the information tool, the main window and its message loop,
// and the closing steps.
#include <windows.h>

#include <commctrl.h>
#include <objbase.h>

#include "app/app.h"
#include "app/vendor_tools.h"
#include "driver_channel/misc_common.h"
#include "ui/main_window.h"

static_assert(sizeof(INITCOMMONCONTROLSEX) == 8, "INITCOMMONCONTROLSEX is 8 bytes");

namespace {

const WCHAR kSessionLockName[] = L"Velmorant_Quillmere_20160204_Mutex";
const WCHAR kGlobalLockName[] = L"Global\\Velmorant_Quillmere_20160204_Mutex";
const char* const kSupportedModelPrefixes[] = {"VKRA", "VKRB", "VKRC"};
const WCHAR kRestartProgram[] = L"cmd.exe";
const WCHAR kRestartArgs[] = L"/C shutdown /r /f /t 0";

const DWORD kModelBufferSize = 20;
const WORD kBatteryPackCount = 2;

// What the opening steps acquired, released by the closing steps.
struct SessionLocks {
    bool bComStarted = false;
    HANDLE hSessionLock = NULL;
    HANDLE hGlobalLock = NULL;
};

// Steps 2 to 5. Returns false when the run ends here; *pId is then the
// message to show (0 for a second start in the same logon session).
bool StartUp(SessionLocks* pLocks, UINT* pId)
{
    if (FAILED(CoInitializeEx(NULL, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE))) {
        *pId = IDS_START_FAILED;
        return false;
    }
    pLocks->bComStarted = true;

    INITCOMMONCONTROLSEX icc;
    icc.dwSize = sizeof(icc);
    icc.dwICC = ICC_WIN95_CLASSES;
    if (!InitCommonControlsEx(&icc)) {
        *pId = IDS_START_FAILED;
        return false;
    }

    pLocks->hSessionLock = CreateMutexW(NULL, FALSE, kSessionLockName);
    if (pLocks->hSessionLock == NULL || GetLastError() == ERROR_ALREADY_EXISTS) {
        *pId = 0;
        return false;
    }

    pLocks->hGlobalLock = CreateMutexW(NULL, FALSE, kGlobalLockName);
    if (pLocks->hGlobalLock == NULL || GetLastError() == ERROR_ALREADY_EXISTS) {
        *pId = IDS_OTHER_USER_RUNNING;
        return false;
    }
    return true;
}

bool IsSupportedModel(const BYTE* pModel)
{
    for (const char* pszPrefix : kSupportedModelPrefixes) {
        if (pModel[0] == static_cast<BYTE>(pszPrefix[0]) &&
            pModel[1] == static_cast<BYTE>(pszPrefix[1]) &&
            pModel[2] == static_cast<BYTE>(pszPrefix[2]) &&
            pModel[3] == static_cast<BYTE>(pszPrefix[3])) {
            return true;
        }
    }
    return false;
}

// Step 10: only a fully elevated token ("run as administrator") is refused.
bool IsFullyElevated()
{
    HANDLE hToken = NULL;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &hToken)) {
        return false;
    }
    TOKEN_ELEVATION_TYPE type = TokenElevationTypeDefault;
    DWORD cbReturned = 0;
    const BOOL bOk = GetTokenInformation(hToken, TokenElevationType, &type, sizeof(type), &cbReturned);
    CloseHandle(hToken);
    return bOk && type == TokenElevationTypeFull;
}

// Step 11: 138 only when the query succeeds and both low bits of value1
// are clear.
bool IsFlatPadDisabled(MiscCommon::CMiscCommon* pDriver)
{
    BYTE status = 0;
    WORD value1 = 0, value2 = 0, value3 = 0, value4 = 0, extraLength = 0;
    const DWORD dwResult =
        pDriver->GetFlatPadSetting(&status, &value1, &value2, &value3, &value4, &extraLength);
    return dwResult == 0 && status == 0 && (value1 & 3) == 0;
}

bool IsBatteryPackAttached(MiscCommon::CMiscCommon* pDriver)
{
    for (WORD index = 0; index < kBatteryPackCount; ++index) {
        BYTE status = 0;
        SYSTEMTIME date;
        ZeroMemory(&date, sizeof(date));
        if (pDriver->GetBatteryPackDate(&status, index, &date) == 0 && status == 0) {
            return true;
        }
    }
    return false;
}

// Steps 6 to 13. Returns the message id, 0 when every check passed.
UINT CheckMachine(MiscCommon::CMiscCommon* pDriver, BOOL* pbNoDevice)
{
    if (pDriver->OpenDriver() != 0) {
        return IDS_DRIVER_ACCESS_FAILED;
    }
    if (pDriver->IsDriverSupported() && pDriver->_Initialize() != 0) {
        return IDS_DRIVER_ACCESS_FAILED;
    }

    BYTE model[kModelBufferSize];
    ZeroMemory(model, sizeof(model));
    DWORD dwModelSize = kModelBufferSize;
    if (pDriver->GetModelNumber(model, &dwModelSize) != 0 || !IsSupportedModel(model)) {
        return IDS_MODEL_NOT_SUPPORTED;
    }

    if (!IsSupportedOs()) {
        return IDS_OS_NOT_SUPPORTED;
    }
    if (IsFullyElevated()) {
        return IDS_DONT_RUN_AS_ADMIN;
    }
    if (IsFlatPadDisabled(pDriver)) {
        return IDS_FLATPAD_DISABLED;
    }

    const UINT idProbe = ProbeTouchpadApi(pbNoDevice);
    if (idProbe != 0) {
        return idProbe;
    }

    if (!IsBatteryPackAttached(pDriver)) {
        return IDS_ATTACH_BATTERY;
    }
    // Only the adapter counts here: the battery was asked of the driver.
    if (ReadPowerStatus().bAcOffline) {
        return IDS_CONNECT_AC_ADAPTER;
    }
    return 0;
}

// Steps 14 to 16. Returns the message id, 0 when the update is needed.
UINT PrepareUpdate(SessionPayloads* pPayloads, BOOL bNoDevice)
{
    if (!CreateWorkFolder()) {
        return IDS_START_FAILED;
    }
    if (!ExtractPayloads(pPayloads)) {
        return IDS_START_FAILED;
    }

    DWORD dwExitCode = 0xFFFFFFFFu;
    const DWORD dwTimeoutMs = bNoDevice ? INFO_CHECK_NO_DEVICE_TIMEOUT_MS : INFO_CHECK_TIMEOUT_MS;
    const DWORD dwRun =
        RunChildProcess(g_szInfoToolPath, INFO_CHECK_ARGS, NULL, &dwExitCode, dwTimeoutMs, TRUE);
    if (bNoDevice && dwRun == RUN_TIMEOUT) {
        // No touchpad through the vendor API and a tool that does not
        // answer in time: go ahead as if it had asked for the update.
        dwExitCode = INFO_CHECK_EXIT_GO_AHEAD;
    } else if (dwRun != 0) {
        return IDS_START_FAILED;
    }
    if (dwExitCode != 0 && dwExitCode != INFO_CHECK_EXIT_GO_AHEAD) {
        return IDS_UPDATE_NOT_NEEDED;
    }
    return 0;
}

// Steps 17 to 21. Returns the quit code of the main window as the message
// id.
UINT RunMainWindow()
{
    KeepAwakeAndAskFirstAtShutdown();
    const MainWindowClass windowClass = RegisterMainWindowClass();
    HWND hWnd = CreateMainWindow();
    const UINT id = hWnd == NULL ? IDS_START_FAILED : RunMessageLoop(hWnd);
    UnregisterMainWindowClass(windowClass);
    return id;
}

// Steps 6 to 22, from the driver channel to its release.
UINT RunWithDriver()
{
    WCHAR szDriverError[MiscCommon::kErrorTextChars];
    szDriverError[0] = L'\0';
    MiscCommon::CMiscCommon driver(szDriverError);
    SessionPayloads payloads;
    BOOL bNoDevice = FALSE;

    UINT id = CheckMachine(&driver, &bNoDevice);
    if (id == 0) {
        id = PrepareUpdate(&payloads, bNoDevice);
    }
    if (id == 0) {
        id = RunMainWindow();
    }

    ReleasePayloads(&payloads);
    driver.CloseDriver();
    return id;
}

// The restart: the system's own cmd.exe, started in the system folder, where
// it finds the system's shutdown command. A cmd.exe, or a shutdown program or
// script, lying in the folder the program was started from never runs.
void RunRestartCommand()
{
    WCHAR szFolder[MAX_PATH];
    WCHAR szProgram[MAX_PATH];
    if (!GetSystemFolderPath(NULL, szFolder) || !GetSystemFolderPath(kRestartProgram, szProgram)) {
        return;
    }
    DWORD dwExitCode = 0;
    RunChildProcessIn(szFolder, szProgram, kRestartArgs, NULL, &dwExitCode, 0, FALSE);
}

}  // namespace

UINT UpdateSession(HINSTANCE hInstance)
{
    g_hInstance = hInstance;
    LoadStringW(hInstance, IDS_APP_TITLE, g_szTitle, MAX_PATH);

    SessionLocks locks;
    UINT id = 0;
    if (StartUp(&locks, &id)) {
        id = RunWithDriver();
    }

    DeleteSessionFiles();
    if (locks.bComStarted) {
        CoUninitialize();
    }

    if (g_bRestart) {
        RunRestartCommand();
    } else {
        ShowOutcome(id);
    }

    if (locks.hGlobalLock != NULL) {
        CloseHandle(locks.hGlobalLock);
    }
    if (locks.hSessionLock != NULL) {
        CloseHandle(locks.hSessionLock);
    }
    return id;
}
