// CMiscCommon's discovery of the driver and its plain calls: the device
// interface, the version and its gate, the model record, the end of a
// session and closing. The handshake is in misc_handshake.cpp, capsules and
// misc calls in misc_capsule_calls.cpp.
#include "driver_channel/misc_common.h"

#include <setupapi.h>
#include <stdarg.h>
#include <stddef.h>
#include <string.h>
#include <wchar.h>

#include "crypto/bytes.h"
#include "driver_channel/misc_common_internal.h"
#include "driver_channel/misc_protocol.h"

namespace MiscCommon {

namespace P = MiscProtocol;
using namespace Internal;

namespace {

const GUID kGuidDevinterfaceMisc = {
    P::kMiscInterfaceGuidData1,
    P::kMiscInterfaceGuidData2,
    P::kMiscInterfaceGuidData3,
    {P::kMiscInterfaceGuidData4[0], P::kMiscInterfaceGuidData4[1], P::kMiscInterfaceGuidData4[2],
     P::kMiscInterfaceGuidData4[3], P::kMiscInterfaceGuidData4[4], P::kMiscInterfaceGuidData4[5],
     P::kMiscInterfaceGuidData4[6], P::kMiscInterfaceGuidData4[7]}};

constexpr DWORD kVersionChars = 256;
constexpr DWORD kVersionReadBytes = 256;  // at most 128 characters are read

}  // namespace

CMiscCommon::CMiscCommon(LPWSTR szLastError)
    : _hDevice(INVALID_HANDLE_VALUE),
      _szVersion(NULL),
      _dwSessionId(0),
      _dwSequence(0),
      _pBlowfishContext(NULL),
      _bSessionRequired(TRUE),
      _hDevNotify(NULL),
      _szLastError(szLastError),
      _dwMajor(0),
      _dwMinor(0),
      _dwBuild(0),
      _dwRevision(0) {}

CMiscCommon::~CMiscCommon() {
    // The owner calls CloseDriver first; this only returns what would
    // otherwise leak when it did not.
    if (_pBlowfishContext) {
        Bytes::Wipe(_pBlowfishContext, kBlowfishContextSize);
        HeapRelease(_pBlowfishContext);
        _pBlowfishContext = NULL;
    }
    HeapRelease(_szVersion);
    _szVersion = NULL;
}

void CMiscCommon::_SetErrorText(LPCWSTR format, ...) {
    if (!_szLastError) return;
    va_list args;
    va_start(args, format);
    _vsnwprintf(_szLastError, kErrorTextChars - 1, format, args);
    va_end(args);
    _szLastError[kErrorTextChars - 1] = L'\0';
}

// ---------------------------------------------------------------------------
// Discovery and plain calls.

// What OpenDriver holds while it finds the driver, and why it stopped. The
// way out releases whatever is still held, in the order the set, the
// interface detail, the registry key, the version text.
struct CMiscCommon::Discovery : Failure {
    HDEVINFO set;  // INVALID_HANDLE_VALUE once released
    SP_DEVICE_INTERFACE_DATA interfaceData;
    SP_DEVINFO_DATA devInfo;
    PSP_DEVICE_INTERFACE_DETAIL_DATA_W detail;
    HKEY key;
    LPWSTR version;  // the version text, until it is handed to the object

    void ReleaseSet() {
        if (set != INVALID_HANDLE_VALUE) SetupDiDestroyDeviceInfoList(set);
        set = INVALID_HANDLE_VALUE;
    }
    void CloseKey() {
        if (key) RegCloseKey(key);
        key = NULL;
    }
    void Release() {
        ReleaseSet();
        HeapRelease(detail);
        detail = NULL;
        CloseKey();
        HeapRelease(version);
        version = NULL;
    }
};

#define MC_OPEN_TEXT(s) L"MiscCommon::CMiscCommon::OpenDriver: " s

// The device information set of present interfaces of the class, and its
// first interface.
bool CMiscCommon::_FindInterface(Discovery& d) {
    HDEVINFO set = SetupDiGetClassDevsW(&kGuidDevinterfaceMisc, NULL, NULL, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE) return d.Fail(kResultFailed, MC_OPEN_TEXT(L"SetupDiGetClassDevs failed."), false);
    d.set = set;
    d.interfaceData.cbSize = sizeof(SP_DEVICE_INTERFACE_DATA);
    if (!SetupDiEnumDeviceInterfaces(d.set, NULL, &kGuidDevinterfaceMisc, 0, &d.interfaceData))
        return d.Fail(kResultNoGenuineDriver, MC_OPEN_TEXT(L"SetupDiEnumDeviceInterfaces failed."), true);
    return true;
}

// The interface's detail (its device path) and its device, asked for twice:
// once for the size, once for the data.
bool CMiscCommon::_ReadInterfaceDetail(Discovery& d) {
    DWORD required = 0;
    SetupDiGetDeviceInterfaceDetailW(d.set, &d.interfaceData, NULL, 0, &required, NULL);
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER)
        return d.Fail(kResultFailed, MC_OPEN_TEXT(L"SetupDiGetDeviceInterfaceDetail (First time) failed."), true);

    // The buffer always holds at least the fixed part, whatever size was
    // reported, so that setting cbSize cannot write past it.
    DWORD allocated = required;
    if (allocated < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)) allocated = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
    d.detail = static_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_W>(HeapAlloc(GetProcessHeap(), 0, allocated));
    if (!d.detail) return d.Fail(kResultNoRoom, MC_OPEN_TEXT(L"HeapAlloc failed."), true);

    d.detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
    d.devInfo.cbSize = sizeof(SP_DEVINFO_DATA);
    if (!SetupDiGetDeviceInterfaceDetailW(d.set, &d.interfaceData, d.detail, allocated, &required, &d.devInfo))
        return d.Fail(kResultFailed, MC_OPEN_TEXT(L"SetupDiGetDeviceInterfaceDetail (Second time) failed."), true);
    return true;
}

// The version text from the device's driver key, read once per object, and
// its numbers.
bool CMiscCommon::_ReadVersion(Discovery& d) {
    if (_szVersion != NULL) return true;
    HKEY key = SetupDiOpenDevRegKey(d.set, &d.devInfo, DICS_FLAG_GLOBAL, 0, DIREG_DRV, KEY_READ);
    if (key == INVALID_HANDLE_VALUE) return d.Fail(kResultFailed, MC_OPEN_TEXT(L"SetupDiOpenDevRegKey failed."), true);
    d.key = key;

    // Zero-filled, and only the first half is ever read into: a value stored
    // without a terminator still ends inside the buffer.
    d.version = static_cast<LPWSTR>(HeapAllocZeroed(kVersionChars * sizeof(WCHAR)));
    if (!d.version) return d.Fail(kResultFailed, MC_OPEN_TEXT(L"_szVersion array initialize failed."), false);

    DWORD type = 0;
    DWORD bytes = kVersionReadBytes;
    const LONG status = RegQueryValueExW(d.key, MISC_DRIVER_VERSION_VALUE_NAME, NULL, &type,
                                         reinterpret_cast<LPBYTE>(d.version), &bytes);
    // The registry reports its failure as the return value; that is the
    // error kept for the caller.
    if (status != ERROR_SUCCESS)
        return d.FailWithError(kResultFailed, MC_OPEN_TEXT(L"RegQueryValueEx failed."), static_cast<DWORD>(status));

    _szVersion = d.version;
    d.version = NULL;
    ParseDriverVersion();
    d.CloseKey();
    return true;
}

// The device itself, by the interface's path. The set is done with before.
bool CMiscCommon::_OpenDevice(Discovery& d) {
    d.ReleaseSet();
    HANDLE device = CreateFileW(d.detail->DevicePath, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
    if (device == INVALID_HANDLE_VALUE) return d.Fail(kResultCannotOpen, MC_OPEN_TEXT(L"CreateFile failed."), true);
    _hDevice = device;
    return true;
}

DWORD CMiscCommon::OpenDriver() {
    Discovery d;
    ZeroMemory(&d, sizeof(d));
    d.set = INVALID_HANDLE_VALUE;
    DWORD result = kResultSuccess;
    if (_FindInterface(d) && _ReadInterfaceDetail(d) && _ReadVersion(d) && _OpenDevice(d)) {
        if (_szLastError) _szLastError[0] = L'\0';
    } else {
        _SetErrorText(d.text);
        result = d.result;
    }
    // The one way out.
    d.Release();
    if (d.keepError) SetLastError(d.error);
    return result;
}

void CMiscCommon::ParseDriverVersion() {
    if (!_szVersion) return;
    // The scanned text always ends inside the buffer.
    _szVersion[kVersionChars - 1] = L'\0';
    int major = static_cast<int>(_dwMajor);
    int minor = static_cast<int>(_dwMinor);
    int build = static_cast<int>(_dwBuild);
    int revision = static_cast<int>(_dwRevision);
    swscanf_s(_szVersion, L"%d.%d.%d.%d", &major, &minor, &build, &revision);
    _dwMajor = static_cast<DWORD>(major);
    _dwMinor = static_cast<DWORD>(minor);
    _dwBuild = static_cast<DWORD>(build);
    _dwRevision = static_cast<DWORD>(revision);
}

bool CMiscCommon::IsDriverSupported() const {
    if (_dwMajor > P::kMinMajor) return true;
    return _dwMajor == P::kMinMajor && (_dwMinor > P::kMinMinor || _dwBuild >= P::kMinBuild);
}

DWORD CMiscCommon::GetModelNumber(LPBYTE buffer, LPDWORD size) {
    if (!IsDriverSupported()) return kResultUnsupportedDriver;
    if (!IsOpenHandle(_hDevice)) return kResultNotReady;
    if (size == NULL || (buffer == NULL && *size != 0)) return kResultInvalidArgument;

    BYTE record[P::kModelRecordSize];
    ZeroMemory(record, sizeof(record));
    DWORD returned = 0;
    if (!DeviceIoControl(_hDevice, IOCTL_MISC_GET_MODEL_NUMBER, NULL, 0, record, sizeof(record),
                         &returned, NULL) ||
        returned != P::kModelRecordSize) {
        _SetErrorText(L"MiscCommon::CMiscCommon::GetModelNumber: DeviceIoControl failed.");
        return kResultFailed;
    }

    const DWORD capacity = *size;
    const DWORD longLength = record[P::kModelLongLengthOffset];
    DWORD n;
    bool longForm = false;
    if (longLength == 0) {
        n = P::kModelShortSize;
    } else if (longLength < P::kModelLongMin || longLength > P::kModelLongMax) {
        return kResultFailed;
    } else if (capacity >= P::kModelLongBufferMin) {
        n = longLength;
        longForm = true;
    } else {
        n = P::kModelShortSize;
    }

    if (capacity < n) {
        *size = n;
        return kResultNoRoom;
    }
    if (longForm) {
        memcpy(buffer, record + P::kModelShortOffset, P::kModelLongHeadSize);
        memcpy(buffer + P::kModelLongHeadSize, record + P::kModelLongTailOffset,
               n - P::kModelLongHeadSize);
    } else {
        memcpy(buffer, record + P::kModelShortOffset, n);
    }
    *size = n;
    return kResultSuccess;
}

void CMiscCommon::_EndSession(DWORD sessionId) {
    DWORD returned = 0;
    DeviceIoControl(_hDevice, IOCTL_MISC_END_SESSION, &sessionId, sizeof(sessionId), NULL, 0,
                    &returned, NULL);
}

void CMiscCommon::_DropSession() {
    if (!_pBlowfishContext) return;
    _EndSession(_dwSessionId);
    _dwSessionId = 0;
    _dwSequence = 0;
    Bytes::Wipe(_pBlowfishContext, kBlowfishContextSize);
    HeapRelease(_pBlowfishContext);
    _pBlowfishContext = NULL;
}

void CMiscCommon::CloseDriver() {
    if (_hDevice == INVALID_HANDLE_VALUE) return;
    _DropSession();
    CloseHandle(_hDevice);
    _hDevice = INVALID_HANDLE_VALUE;
}

#if defined(_WIN32) && !defined(_WIN64)
// The fields in their order, each 32 bits wide, in the 32-bit product.
static_assert(sizeof(CMiscCommon) == 48, "twelve 32-bit fields");
#endif

}  // namespace MiscCommon
