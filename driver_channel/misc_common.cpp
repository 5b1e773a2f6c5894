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

DWORD CMiscCommon::OpenDriver() {
    HDEVINFO set = SetupDiGetClassDevsW(&kGuidDevinterfaceMisc, NULL, NULL,
                                        DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE) {
        _SetErrorText(L"MiscCommon::CMiscCommon::OpenDriver: SetupDiGetClassDevs failed.");
        return kResultFailed;
    }

    SP_DEVICE_INTERFACE_DATA interfaceData;
    ZeroMemory(&interfaceData, sizeof(interfaceData));
    interfaceData.cbSize = sizeof(SP_DEVICE_INTERFACE_DATA);
    if (!SetupDiEnumDeviceInterfaces(set, NULL, &kGuidDevinterfaceMisc, 0, &interfaceData)) {
        DWORD error = GetLastError();
        _SetErrorText(L"MiscCommon::CMiscCommon::OpenDriver: SetupDiEnumDeviceInterfaces failed.");
        SetupDiDestroyDeviceInfoList(set);
        SetLastError(error);
        return kResultNoGenuineDriver;
    }

    DWORD required = 0;
    SetupDiGetDeviceInterfaceDetailW(set, &interfaceData, NULL, 0, &required, NULL);
    DWORD error = GetLastError();
    if (error != ERROR_INSUFFICIENT_BUFFER) {
        _SetErrorText(L"MiscCommon::CMiscCommon::OpenDriver: SetupDiGetDeviceInterfaceDetail (First time) failed.");
        SetupDiDestroyDeviceInfoList(set);
        SetLastError(error);
        return kResultFailed;
    }

    // The buffer always holds at least the fixed part, whatever size was
    // reported, so that setting cbSize cannot write past it.
    DWORD allocated = required;
    if (allocated < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)) allocated = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
    PSP_DEVICE_INTERFACE_DETAIL_DATA_W detail =
        static_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_W>(HeapAlloc(GetProcessHeap(), 0, allocated));
    if (!detail) {
        error = GetLastError();
        _SetErrorText(L"MiscCommon::CMiscCommon::OpenDriver: HeapAlloc failed.");
        SetupDiDestroyDeviceInfoList(set);
        SetLastError(error);
        return kResultNoRoom;
    }

    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
    SP_DEVINFO_DATA devInfo;
    ZeroMemory(&devInfo, sizeof(devInfo));
    devInfo.cbSize = sizeof(SP_DEVINFO_DATA);
    if (!SetupDiGetDeviceInterfaceDetailW(set, &interfaceData, detail, allocated, &required, &devInfo)) {
        error = GetLastError();
        _SetErrorText(L"MiscCommon::CMiscCommon::OpenDriver: SetupDiGetDeviceInterfaceDetail (Second time) failed.");
        SetupDiDestroyDeviceInfoList(set);
        HeapRelease(detail);
        SetLastError(error);
        return kResultFailed;
    }

    if (_szVersion == NULL) {
        HKEY key = SetupDiOpenDevRegKey(set, &devInfo, DICS_FLAG_GLOBAL, 0, DIREG_DRV, KEY_READ);
        if (key == INVALID_HANDLE_VALUE) {
            error = GetLastError();
            _SetErrorText(L"MiscCommon::CMiscCommon::OpenDriver: SetupDiOpenDevRegKey failed.");
            SetupDiDestroyDeviceInfoList(set);
            HeapRelease(detail);
            SetLastError(error);
            return kResultFailed;
        }

        // Zero-filled, and only the first half is ever read into: a value
        // stored without a terminator still ends inside the buffer.
        _szVersion = static_cast<LPWSTR>(HeapAllocZeroed(kVersionChars * sizeof(WCHAR)));
        if (!_szVersion) {
            _SetErrorText(L"MiscCommon::CMiscCommon::OpenDriver: _szVersion array initialize failed.");
            SetupDiDestroyDeviceInfoList(set);
            HeapRelease(detail);
            RegCloseKey(key);
            return kResultFailed;
        }

        DWORD type = 0;
        DWORD bytes = kVersionReadBytes;
        LONG status = RegQueryValueExW(key, MISC_DRIVER_VERSION_VALUE_NAME, NULL, &type,
                                       reinterpret_cast<LPBYTE>(_szVersion), &bytes);
        if (status != ERROR_SUCCESS) {
            // The registry reports its failure as the return value; that is
            // the error kept for the caller.
            _SetErrorText(L"MiscCommon::CMiscCommon::OpenDriver: RegQueryValueEx failed.");
            SetupDiDestroyDeviceInfoList(set);
            HeapRelease(detail);
            RegCloseKey(key);
            HeapRelease(_szVersion);
            _szVersion = NULL;
            SetLastError(static_cast<DWORD>(status));
            return kResultFailed;
        }

        ParseDriverVersion();
        RegCloseKey(key);
    }

    SetupDiDestroyDeviceInfoList(set);
    HANDLE device = CreateFileW(detail->DevicePath, GENERIC_READ | GENERIC_WRITE, 0, NULL,
                                OPEN_EXISTING, 0, NULL);
    if (device == INVALID_HANDLE_VALUE) {
        error = GetLastError();
        _SetErrorText(L"MiscCommon::CMiscCommon::OpenDriver: CreateFile failed.");
        HeapRelease(detail);
        SetLastError(error);
        return kResultCannotOpen;
    }
    _hDevice = device;

    HeapRelease(detail);
    if (_szLastError) _szLastError[0] = L'\0';
    return kResultSuccess;
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
