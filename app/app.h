// Chief header of the update-control part of Quillmere: resource ids, the
// globals shared with the main window and the update worker, the child
// process runner, the payload files and the work folder, the touchpad probe
// and the start-up sequence.
//
// The definitions live in the static library qm_app_core (app/), except
// UpdateSession, which lives in the program itself.
#pragma once

#include <windows.h>

#include "app/resource_ids.h"

// ---------------------------------------------------------------------------
// Shared globals. Paths are 260-character buffers; an empty string means
// "not set". They are written before the main window exists and emptied only
// after its message loop has ended, so no lock guards them.
extern HINSTANCE g_hInstance;
extern WCHAR g_szTitle[MAX_PATH];
extern WCHAR g_szWorkFolder[MAX_PATH];
extern WCHAR g_szImagePath[MAX_PATH];
extern WCHAR g_szInfoToolPath[MAX_PATH];
extern WCHAR g_szReflashToolPath[MAX_PATH];
extern WCHAR g_szLogPath[MAX_PATH];
// Set (to TRUE) by the main window when the user accepts the restart.
extern BOOL g_bRestart;

// ---------------------------------------------------------------------------
// Libraries and programs from the system folder only.

// The program's first act, before anything else loads a library: from then
// on a library loaded by its plain name comes from the system folder only
// (SetDefaultDllDirectories, where Windows has it). Where it does not, the
// current directory leaves the search (SetDllDirectoryW(L"")) and
// LoadSystemLibrary names the system folder itself.
void RestrictLibrarySearch();

// A library of the system folder: by its plain name where the search is
// restricted, by its full path there otherwise. NULL when it cannot be
// loaded; a file of that name anywhere else is never taken.
HMODULE LoadSystemLibrary(LPCWSTR pszName);

// The system folder's pszName by its full path, whatever the search order.
HMODULE LoadLibraryFromSystemFolder(LPCWSTR pszName);

// The system folder (GetSystemDirectoryW; a 32-bit program on 64-bit Windows
// reaches SysWOW64 through it), followed by "\pszName" when pszName is not
// NULL, in a buffer of MAX_PATH characters. False (and an empty string) when
// it does not fit.
bool GetSystemFolderPath(LPCWSTR pszName, WCHAR* pszPath);

// ---------------------------------------------------------------------------
// Child process runner.

// Result codes of RunChildProcess (0 means the program ended and its exit
// code was read).
#define RUN_ERROR 0xF000u
#define RUN_TIMEOUT 0xF001u

// Starts pszProgramPath with pszCommandArgs, hidden, with g_szWorkFolder as
// the working directory, and waits up to dwTimeoutMs for it to end or for
// hCancelEvent (may be NULL) to be signalled. *pdwExitCode is 0xFFFFFFFF unless
// an exit code was read. On time-out the program is terminated only when
// bTerminateOnTimeout is set; after a cancel it is left running.
// Returns 0, RUN_ERROR or RUN_TIMEOUT.
DWORD RunChildProcess(LPCWSTR pszProgramPath, LPCWSTR pszCommandArgs, HANDLE hCancelEvent,
                      DWORD* pdwExitCode, DWORD dwTimeoutMs, BOOL bTerminateOnTimeout);

// RunChildProcess with pszDirectory as the working directory instead of the
// work folder.
DWORD RunChildProcessIn(LPCWSTR pszDirectory, LPCWSTR pszProgramPath, LPCWSTR pszCommandArgs,
                        HANDLE hCancelEvent, DWORD* pdwExitCode, DWORD dwTimeoutMs,
                        BOOL bTerminateOnTimeout);

// ---------------------------------------------------------------------------
// Payload files and the work folder.

// One embedded resource of type "FILE", loaded lazily and written to a file.
class PayloadFile {
public:
    PayloadFile(HMODULE hModule, WORD wId);
    ~PayloadFile() = default;
    PayloadFile(const PayloadFile&) = delete;
    PayloadFile& operator=(const PayloadFile&) = delete;

    // The resource's bytes, or NULL on failure; *pSize (optional) receives
    // the size on success. The result is cached.
    const BYTE* GetData(DWORD* pSize);
    // Writes the whole resource to pszPath (replacing any file) in one write.
    // True only when every byte was written.
    bool WriteToFile(LPCWSTR pszPath);
    // Releases the loaded resource and empties the type.
    void Unload();

private:
    HMODULE _hModule;
    DWORD _dwId;
    WCHAR _szType[8];
    DWORD _dwSize;
    HGLOBAL _hResource;
    const BYTE* _pData;
};

// Creates a fresh folder in the temporary directory ("FWU????.tmp") and
// stores it in g_szWorkFolder. False (and g_szWorkFolder empty) on failure.
bool CreateWorkFolder();

// The three payloads written by ExtractPayloads, owned by the caller, which
// keeps them loaded until the message loop has ended.
struct SessionPayloads {
    PayloadFile* pImage = nullptr;
    PayloadFile* pInfoTool = nullptr;
    PayloadFile* pReflashTool = nullptr;
};

// The information and reflash tools for a native processor architecture
// (GetNativeSystemInfo): the 64-bit ones for PROCESSOR_ARCHITECTURE_AMD64,
// the 32-bit ones for anything else.
struct ToolPayloads {
    int nInfoId;
    const WCHAR* pszInfoName;
    int nReflashId;
    const WCHAR* pszReflashName;
};
ToolPayloads SelectToolPayloads(WORD wProcessorArchitecture);

// Writes the firmware image and the information and reflash tools for the
// machine's native architecture into g_szWorkFolder, sets the four file
// paths and registers every file and then the folder for deletion at the
// next reboot. The objects built so far are left in *pPayloads even after a
// failure; the caller unloads and deletes them (ReleasePayloads).
bool ExtractPayloads(SessionPayloads* pPayloads);

// Unloads and deletes the payload objects: reflash tool, information tool,
// then image.
void ReleasePayloads(SessionPayloads* pPayloads);

// Deletes the files the paths name and then the work folder; empties every
// path.
void DeleteSessionFiles();

// Removes g_szWorkFolder with everything in it, silently and for good.
void RemoveWorkFolder();

// ---------------------------------------------------------------------------
// Checks made at start-up.

// Asks the touchpad vendor's library KvCom.dll about the touchpad. Returns 0
// (go on), IDS_TOUCHPAD_NOT_FOUND, IDS_TOUCHPAD_DISABLED or
// IDS_SMBUS_DRIVER_DISABLED; *pbNoDevice becomes TRUE when the library
// answers but finds no touchpad.
UINT ProbeTouchpadApi(BOOL* pbNoDevice);

// True on Windows 7 (6.1, service pack 0) or later.
bool IsSupportedOs();

// What GetSystemPowerStatus says: the AC adapter offline (ACLineStatus 0),
// no system battery (BatteryFlag exactly 128). Both false when the status
// cannot be read. Each caller decides which of them ends its run.
struct PowerStatus {
    bool bAcOffline;
    bool bNoBattery;
};
PowerStatus ReadPowerStatus();

// Before the window: the execution state that keeps the system and display
// awake, and the highest shutdown level of the application range.
void KeepAwakeAndAskFirstAtShutdown();

// ---------------------------------------------------------------------------
// The message loop of the main window hWnd: every message goes through
// IsDialogMessageW for it first. Returns the quit code (WM_QUIT's wParam),
// or 0. When a message cannot be retrieved, the window is destroyed first,
// so a running attempt is cancelled and waited for before the caller
// deletes the work files; its quit message is then taken from the queue.
UINT RunMessageLoop(HWND hWnd);

// The message box of message id (string id, 256 characters at most, with
// g_szTitle as its caption, OK and no icon, top-most); nothing for 0 or a
// string that cannot be loaded.
void ShowOutcome(UINT id);

// ---------------------------------------------------------------------------
// The whole update run on the user-interface thread. Returns the message id
// that ended it (0 for none); the process itself always exits with 0.
UINT UpdateSession(HINSTANCE hInstance);
