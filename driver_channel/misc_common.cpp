#include "driver_channel/misc_common.h"

#include <setupapi.h>
#include <stdarg.h>
#include <stddef.h>
#include <string.h>
#include <wchar.h>

#include "crypto/bigint.h"
#include "crypto/blowfish.h"
#include "crypto/hdrand.h"
#include "crypto/sha1.h"
#include "driver_channel/capsule.h"
#include "driver_channel/misc_protocol.h"

namespace MiscCommon {

namespace {

namespace P = MiscProtocol;

const GUID kGuidDevinterfaceMisc = {
    P::kMiscInterfaceGuidData1,
    P::kMiscInterfaceGuidData2,
    P::kMiscInterfaceGuidData3,
    {P::kMiscInterfaceGuidData4[0], P::kMiscInterfaceGuidData4[1], P::kMiscInterfaceGuidData4[2],
     P::kMiscInterfaceGuidData4[3], P::kMiscInterfaceGuidData4[4], P::kMiscInterfaceGuidData4[5],
     P::kMiscInterfaceGuidData4[6], P::kMiscInterfaceGuidData4[7]}};

constexpr DWORD kErrorTextChars = 256;
constexpr DWORD kVersionChars = 256;
constexpr DWORD kVersionReadBytes = 256;  // at most 128 characters are read
constexpr DWORD kBlowfishContextSize = sizeof(BlowfishContext);
constexpr DWORD kRetryDelayMs = 100;
constexpr BYTE kStatusRetry = P::kMiscStatusRetry;

static_assert(sizeof(BlowfishContext) == 4168, "the session cipher context is 4168 bytes");

bool IsOpenHandle(HANDLE h) { return h != NULL && h != INVALID_HANDLE_VALUE; }

// Overwrites a buffer byte by byte; the volatile access keeps the compiler
// from dropping the stores before the buffer is freed.
void ZeroBytes(void* p, size_t n) {
    volatile BYTE* b = static_cast<volatile BYTE*>(p);
    for (size_t i = 0; i < n; ++i) b[i] = 0;
}

LPVOID HeapAllocZeroed(SIZE_T n) { return HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, n); }
void HeapRelease(LPVOID p) {
    if (p) HeapFree(GetProcessHeap(), 0, p);
}

WORD ReadLe16(const BYTE* p) { return static_cast<WORD>(p[0] | (p[1] << 8)); }
void WriteLe16(BYTE* p, WORD v) {
    p[0] = static_cast<BYTE>(v);
    p[1] = static_cast<BYTE>(v >> 8);
}

bool EncipherBlock(void* context, uint32_t* left, uint32_t* right) {
    return BlowfishEncipher(static_cast<const BlowfishContext*>(context), left, right);
}
bool DecipherBlock(void* context, uint32_t* left, uint32_t* right) {
    return BlowfishDecipher(static_cast<const BlowfishContext*>(context), left, right);
}

// Clears the handshake's stack copies of key material on every way out.
struct ScrubOnExit {
    struct Range {
        void* p;
        size_t n;
    };
    Range ranges[10];
    int count = 0;
    void Add(void* p, size_t n) { ranges[count++] = Range{p, n}; }
    ~ScrubOnExit() {
        for (int i = 0; i < count; ++i) ZeroBytes(ranges[i].p, ranges[i].n);
    }
};

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
        ZeroBytes(_pBlowfishContext, kBlowfishContextSize);
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
        return 2;
    }

    SP_DEVICE_INTERFACE_DATA interfaceData;
    ZeroMemory(&interfaceData, sizeof(interfaceData));
    interfaceData.cbSize = sizeof(SP_DEVICE_INTERFACE_DATA);
    if (!SetupDiEnumDeviceInterfaces(set, NULL, &kGuidDevinterfaceMisc, 0, &interfaceData)) {
        DWORD error = GetLastError();
        _SetErrorText(L"MiscCommon::CMiscCommon::OpenDriver: SetupDiEnumDeviceInterfaces failed.");
        SetupDiDestroyDeviceInfoList(set);
        SetLastError(error);
        return 6;
    }

    DWORD required = 0;
    SetupDiGetDeviceInterfaceDetailW(set, &interfaceData, NULL, 0, &required, NULL);
    DWORD error = GetLastError();
    if (error != ERROR_INSUFFICIENT_BUFFER) {
        _SetErrorText(L"MiscCommon::CMiscCommon::OpenDriver: SetupDiGetDeviceInterfaceDetail (First time) failed.");
        SetupDiDestroyDeviceInfoList(set);
        SetLastError(error);
        return 2;
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
        return 5;
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
        return 2;
    }

    if (_szVersion == NULL) {
        HKEY key = SetupDiOpenDevRegKey(set, &devInfo, DICS_FLAG_GLOBAL, 0, DIREG_DRV, KEY_READ);
        if (key == INVALID_HANDLE_VALUE) {
            error = GetLastError();
            _SetErrorText(L"MiscCommon::CMiscCommon::OpenDriver: SetupDiOpenDevRegKey failed.");
            SetupDiDestroyDeviceInfoList(set);
            HeapRelease(detail);
            SetLastError(error);
            return 2;
        }

        // Zero-filled, and only the first half is ever read into: a value
        // stored without a terminator still ends inside the buffer.
        _szVersion = static_cast<LPWSTR>(HeapAllocZeroed(kVersionChars * sizeof(WCHAR)));
        if (!_szVersion) {
            _SetErrorText(L"MiscCommon::CMiscCommon::OpenDriver: _szVersion array initialize failed.");
            SetupDiDestroyDeviceInfoList(set);
            HeapRelease(detail);
            RegCloseKey(key);
            return 2;
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
            return 2;
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
        return 11;
    }
    _hDevice = device;

    HeapRelease(detail);
    if (_szLastError) _szLastError[0] = L'\0';
    return 0;
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
    if (!IsDriverSupported()) return 10;
    if (!IsOpenHandle(_hDevice)) return 8;
    if (size == NULL || (buffer == NULL && *size != 0)) return 3;

    BYTE record[P::kModelRecordSize];
    ZeroMemory(record, sizeof(record));
    DWORD returned = 0;
    if (!DeviceIoControl(_hDevice, IOCTL_MISC_GET_MODEL_NUMBER, NULL, 0, record, sizeof(record),
                         &returned, NULL) ||
        returned != P::kModelRecordSize) {
        _SetErrorText(L"MiscCommon::CMiscCommon::GetModelNumber: DeviceIoControl failed.");
        return 2;
    }

    const DWORD capacity = *size;
    const DWORD longLength = record[P::kModelLongLengthOffset];
    DWORD n;
    bool longForm = false;
    if (longLength == 0) {
        n = P::kModelShortSize;
    } else if (longLength < P::kModelLongMin || longLength > P::kModelLongMax) {
        return 2;
    } else if (capacity >= P::kModelLongBufferMin) {
        n = longLength;
        longForm = true;
    } else {
        n = P::kModelShortSize;
    }

    if (capacity < n) {
        *size = n;
        return 5;
    }
    if (longForm) {
        memcpy(buffer, record + P::kModelShortOffset, P::kModelLongHeadSize);
        memcpy(buffer + P::kModelLongHeadSize, record + P::kModelLongTailOffset,
               n - P::kModelLongHeadSize);
    } else {
        memcpy(buffer, record + P::kModelShortOffset, n);
    }
    *size = n;
    return 0;
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
    ZeroBytes(_pBlowfishContext, kBlowfishContextSize);
    HeapRelease(_pBlowfishContext);
    _pBlowfishContext = NULL;
}

void CMiscCommon::CloseDriver() {
    if (_hDevice == INVALID_HANDLE_VALUE) return;
    if (_hDevNotify) {
        UnregisterDeviceNotification(_hDevNotify);
        _hDevNotify = NULL;
    }
    _DropSession();
    CloseHandle(_hDevice);
    _hDevice = INVALID_HANDLE_VALUE;
}

// ---------------------------------------------------------------------------
// Session handshake.

DWORD CMiscCommon::_Initialize() {
    if (!IsDriverSupported()) return 10;

    // A session this object still holds is ended at the driver first: a new
    // handshake must not leave the old session open there, nor its context
    // here. The object is then Open again, sessions presumed until the probe
    // says otherwise.
    _DropSession();
    _bSessionRequired = TRUE;

    // Probe: a driver without sessions fails it with ERROR_NOT_SUPPORTED.
    // The last error is cleared first so that a stale value cannot pass for
    // the driver's answer.
    DWORD returned = 0;
    SetLastError(ERROR_SUCCESS);
    DeviceIoControl(_hDevice, IOCTL_MISC_HANDSHAKE, NULL, 0, NULL, 0, &returned, NULL);
    if (GetLastError() == ERROR_NOT_SUPPORTED) {
        _bSessionRequired = FALSE;
        return 0;
    }

    if (!hdrand_init()) {
        _SetErrorText(L"MiscCommon::CMiscCommon::_Initialize: hdrand_init failed");
        return 2;
    }
    int attempts = 0;
    while (hdrand_test() == -1) {
        if (++attempts == 16) {
            _SetErrorText(L"MiscCommon::CMiscCommon::_Initialize: hdrand_test failed 16 times");
            return 2;
        }
    }

    // Working storage. Word arrays keep the big numbers aligned; the
    // messages are little-endian byte images of them.
    uint32_t x[P::kPrivateExponentLimbs] = {0, 0, 0, 0};
    uint32_t nonce[P::kPhase1RequestNonceSize / 4];
    uint32_t request1[P::kPhase1RequestSize / 4];
    uint32_t answer1[P::kPhase1AnswerSize / 4];
    BYTE request2[P::kPhase2RequestSize];
    BYTE answer2[P::kPhase2AnswerSize];
    uint32_t request3[P::kPhase3RequestSize / 4];
    uint32_t answer3[P::kPhase3AnswerSize / 4];
    BYTE keyBlock[P::kHandshakeKeyBlockSize];
    BYTE authKey[P::kProofSize];
    BYTE expectedProof[P::kProofSize];
    uint32_t secret[P::kBigNumberLimbs];
    BYTE kek[20];
    uint32_t sessionKey[P::kSessionKeySize / 4];
    Sha1Context sha;

    ScrubOnExit scrub;
    scrub.Add(x, sizeof(x));
    scrub.Add(nonce, sizeof(nonce));
    scrub.Add(keyBlock, sizeof(keyBlock));
    scrub.Add(authKey, sizeof(authKey));
    scrub.Add(expectedProof, sizeof(expectedProof));
    scrub.Add(secret, sizeof(secret));
    scrub.Add(kek, sizeof(kek));
    scrub.Add(sessionKey, sizeof(sessionKey));
    scrub.Add(&sha, sizeof(sha));
    scrub.Add(request3, sizeof(request3));

    ZeroMemory(request1, sizeof(request1));
    ZeroMemory(answer1, sizeof(answer1));
    BYTE* const req1 = reinterpret_cast<BYTE*>(request1);
    BYTE* const ans1 = reinterpret_cast<BYTE*>(answer1);

    for (int i = 0; i < 3; ++i) x[i] = hdrand();
    for (uint32_t& w : nonce) w = hdrand();
    if (!pow2mod(request1 + P::kPhase1RequestPublicOffset / 4, P::kBigNumberLimbs, x,
                 P::kPrivateExponentLimbs, kOakleyGroup2Prime, P::kBigNumberLimbs)) {
        _SetErrorText(L"MiscCommon::CMiscCommon::_Initialize: pow2mod failed.");
        return 2;
    }

    // Phase 1.
    memcpy(req1 + P::kPhase1RequestTagOffset, P::kTagIni1, P::kTagSize);
    memcpy(req1 + P::kPhase1RequestNonceOffset, nonce, P::kPhase1RequestNonceSize);
    returned = 0;
    if (!DeviceIoControl(_hDevice, IOCTL_MISC_HANDSHAKE, req1, P::kPhase1RequestSize, ans1,
                         P::kPhase1AnswerSize, &returned, NULL) ||
        returned != P::kPhase1AnswerSize) {
        DWORD error = GetLastError();
        _SetErrorText(L"MiscCommon::CMiscCommon::_Initialize: DeviceIoControl failed.");
        SetLastError(error);
        return 2;
    }
    DWORD sessionId;
    memcpy(&sessionId, ans1 + P::kPhase1AnswerSessionOffset, sizeof(sessionId));
    const BYTE* const publicA = req1 + P::kPhase1RequestPublicOffset;
    const BYTE* const publicB = ans1 + P::kPhase1AnswerPublicOffset;

    BYTE* work = static_cast<BYTE*>(HeapAllocZeroed(P::kProofMessageSize));
    if (!work) {
        DWORD error = GetLastError();
        _SetErrorText(L"MiscCommon::CMiscCommon::_Initialize: HeapAlloc (phase2) failed.");
        _EndSession(sessionId);
        SetLastError(error);
        return 5;
    }

    // Authentication key: HMAC under the handshake key over both nonce fields.
    memcpy(keyBlock, P::kHandshakeKeyBlock, sizeof(keyBlock));
    memcpy(work, req1 + P::kNonceFieldOffset, P::kNonceFieldSize);
    memcpy(work + P::kNonceFieldSize, ans1 + P::kNonceFieldOffset, P::kNonceFieldSize);
    HmacSha1(&sha, keyBlock + P::kHandshakeKeyOffset, P::kHandshakeKeySize, work,
             P::kAuthKeyMessageSize, authKey);

    // Proofs: the driver's over B then A, ours over A then B.
    ZeroMemory(work, P::kProofMessageSize);
    memcpy(work, publicB, P::kBigNumberBytes);
    memcpy(work + P::kBigNumberBytes, publicA, P::kBigNumberBytes);
    HmacSha1(&sha, authKey, sizeof(authKey), work, P::kProofMessageSize, expectedProof);
    ZeroMemory(work, P::kProofMessageSize);
    memcpy(work, publicA, P::kBigNumberBytes);
    memcpy(work + P::kBigNumberBytes, publicB, P::kBigNumberBytes);
    ZeroMemory(request2, sizeof(request2));
    HmacSha1(&sha, authKey, sizeof(authKey), work, P::kProofMessageSize,
             request2 + P::kPhase2RequestProofOffset);
    ZeroBytes(work, P::kProofMessageSize);
    HeapRelease(work);

    // Phase 2.
    memcpy(request2 + P::kPhase2RequestTagOffset, P::kTagIni2, P::kTagSize);
    memcpy(request2 + P::kPhase2RequestSessionOffset, &sessionId, sizeof(sessionId));
    ZeroMemory(answer2, sizeof(answer2));
    returned = 0;
    if (!DeviceIoControl(_hDevice, IOCTL_MISC_HANDSHAKE, request2, sizeof(request2), answer2,
                         sizeof(answer2), &returned, NULL) ||
        returned != P::kPhase2AnswerSize) {
        DWORD error = GetLastError();
        _SetErrorText(L"MiscCommon::CMiscCommon::_Initialize: DeviceIoControl (phase2) failed.");
        _EndSession(sessionId);
        SetLastError(error);
        return 2;
    }

    if (memcmp(answer2, expectedProof, P::kProofSize) != 0) {
        _SetErrorText(L"MiscCommon::CMiscCommon::_Initialize: Driver Authentication Failed.");
        _EndSession(sessionId);
        return 6;
    }

    // Key-encryption key: the first 16 bytes of SHA-1 over Z = B^x mod P.
    ZeroMemory(secret, sizeof(secret));
    if (!powmod(secret, P::kBigNumberLimbs, answer1 + P::kPhase1AnswerPublicOffset / 4,
                P::kBigNumberLimbs, x, P::kPrivateExponentLimbs, kOakleyGroup2Prime,
                P::kBigNumberLimbs)) {
        _SetErrorText(L"MiscCommon::CMiscCommon::_Initialize: Key Encryption Key calculation failed.");
        _EndSession(sessionId);
        return 6;
    }
    Sha1Init(&sha);
    Sha1Update(&sha, reinterpret_cast<const uint8_t*>(secret), P::kBigNumberBytes);
    Sha1Final(&sha);
    Sha1GetDigest(&sha, kek);

    BlowfishContext* context = static_cast<BlowfishContext*>(HeapAllocZeroed(kBlowfishContextSize));
    if (!context) {
        DWORD error = GetLastError();
        _SetErrorText(L"MiscCommon::CMiscCommon::_Initialize: HeapAlloc (phase3) failed.");
        _EndSession(sessionId);
        SetLastError(error);
        return 5;
    }
    if (!BlowfishInitialize(context, kek, P::kKeyEncryptionKeySize)) {
        _SetErrorText(L"MiscCommon::CMiscCommon::_Initialize: BlowfishInitialize (1st time) failed.");
        _EndSession(sessionId);
        ZeroBytes(context, kBlowfishContextSize);
        HeapRelease(context);
        return 2;
    }

    // Session key K, sent enciphered under the key-encryption key.
    for (uint32_t& w : sessionKey) w = hdrand();
    ZeroMemory(request3, sizeof(request3));
    memcpy(reinterpret_cast<BYTE*>(request3) + P::kPhase3RequestKeyOffset, sessionKey,
           P::kSessionKeySize);
    uint32_t* const keyWords = request3 + P::kPhase3RequestKeyOffset / 4;
    bool enciphered = BlowfishEncipher(context, &keyWords[0], &keyWords[1]) &&
                      BlowfishEncipher(context, &keyWords[2], &keyWords[3]);
    ZeroBytes(context, kBlowfishContextSize);
    if (!enciphered) {
        _SetErrorText(L"MiscCommon::CMiscCommon::_Initialize: BlowfishEncipher failed.");
        _EndSession(sessionId);
        HeapRelease(context);
        return 2;
    }

    // Phase 3.
    BYTE* const req3 = reinterpret_cast<BYTE*>(request3);
    memcpy(req3 + P::kPhase3RequestTagOffset, P::kTagIni3, P::kTagSize);
    memcpy(req3 + P::kPhase3RequestSessionOffset, &sessionId, sizeof(sessionId));
    ZeroMemory(answer3, sizeof(answer3));
    returned = 0;
    if (!DeviceIoControl(_hDevice, IOCTL_MISC_HANDSHAKE, req3, P::kPhase3RequestSize, answer3,
                         P::kPhase3AnswerSize, &returned, NULL) ||
        returned != P::kPhase3AnswerSize) {
        DWORD error = GetLastError();
        _SetErrorText(L"MiscCommon::CMiscCommon::_Initialize: DeviceIoControl (phase3) failed.");
        _EndSession(sessionId);
        HeapRelease(context);
        SetLastError(error);
        return 2;
    }

    if (!BlowfishInitialize(context, reinterpret_cast<const uint8_t*>(sessionKey), P::kSessionKeySize)) {
        _SetErrorText(L"MiscCommon::CMiscCommon::_Initialize: BlowfishInitialize (2nd time) failed.");
        _EndSession(sessionId);
        ZeroBytes(context, kBlowfishContextSize);
        HeapRelease(context);
        return 2;
    }

    if (!BlowfishDecipher(context, &answer3[0], &answer3[1]) ||
        answer3[0] != P::kConfirmationLeft || answer3[1] != P::kConfirmationRight) {
        _SetErrorText(L"MiscCommon::CMiscCommon::_Initialize: BlowfishDecipher failed.");
        _EndSession(sessionId);
        ZeroBytes(context, kBlowfishContextSize);
        HeapRelease(context);
        return 2;
    }

    _dwSessionId = sessionId;
    _pBlowfishContext = context;
    _dwSequence = 0;
    return 0;
}

// ---------------------------------------------------------------------------
// Message capsules.

LPBYTE CMiscCommon::_InitializeMessageCapsule(LPCVOID payload, DWORD n) {
    const DWORD size = Capsule::SizeFor(n);
    LPBYTE capsule = size ? static_cast<LPBYTE>(HeapAllocZeroed(size)) : NULL;
    if (!capsule) {
        _SetErrorText(L"MiscCommon::CMiscCommon::_InitializeMessageCapsule: HeapAlloc failed.");
        return NULL;
    }
    Capsule::WriteHeader(capsule, n, 0);
    if (payload && n) memcpy(capsule + Capsule::kOffsetPayload, payload, n);
    return capsule;
}

DWORD CMiscCommon::_CipherBlocks(LPBYTE capsule, DWORD blocks, bool encipher) {
    uint32_t failed = 0;
    if (Capsule::ForEachBlock(capsule, blocks, encipher ? EncipherBlock : DecipherBlock,
                              _pBlowfishContext, &failed))
        return 0;
    if (encipher)
        _SetErrorText(L"MiscCommon::CMiscCommon::_Encrypt: BlowFish Encipher failed. i = %d", static_cast<int>(failed));
    else
        _SetErrorText(L"MiscCommon::CMiscCommon::_Decrypt: BlowFish Decipher failed. i = %d", static_cast<int>(failed));
    return 2;
}

DWORD CMiscCommon::_Encrypt(LPBYTE capsule) {
    if (!capsule) {
        _SetErrorText(L"MiscCommon::CMiscCommon::_Encrypt: capsule is NULL");
        return 3;
    }
    if (!_pBlowfishContext) {
        _SetErrorText(L"MiscCommon::CMiscCommon::_Encrypt: BlowFish Context is not initialized.");
        return 8;
    }
    return _CipherBlocks(capsule, Capsule::BlockCountFor(Capsule::ReadLe32(capsule + Capsule::kOffsetCapsuleSize)), true);
}

DWORD CMiscCommon::_Decrypt(LPBYTE capsule) {
    if (!capsule) {
        _SetErrorText(L"MiscCommon::CMiscCommon::_Decrypt: capsule is NULL");
        return 3;
    }
    if (!_pBlowfishContext) {
        _SetErrorText(L"MiscCommon::CMiscCommon::_Decrypt: BlowFish Context is not initialized.");
        return 8;
    }
    return _CipherBlocks(capsule, Capsule::BlockCountFor(Capsule::ReadLe32(capsule + Capsule::kOffsetCapsuleSize)), false);
}

BOOL CMiscCommon::EncapsuledDeviceIoControl(LPVOID inBuffer, DWORD inSize, LPVOID outBuffer,
                                            DWORD outSize, LPDWORD bytesReturned) {
    if (!IsDriverSupported()) return FALSE;

    if ((inBuffer == NULL && inSize != 0) || (outBuffer == NULL && outSize != 0) ||
        (inBuffer != NULL && inSize == 0) || (outBuffer != NULL && outSize == 0) ||
        bytesReturned == NULL) {
        _SetErrorText(L"MiscCommon::CMiscCommon::EncapsuledDeviceIoControl: Invalid Argument(s).");
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (_bSessionRequired && !_pBlowfishContext) {
        _SetErrorText(L"MiscCommon::CMiscCommon::EncapsuledDeviceIoControl: Session Not Initialized.");
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    *bytesReturned = 0;

    // Sizes whose capsule would not fit in 32 bits count as out of memory.
    const DWORD requestSize = inSize + P::kRequestOverhead;
    LPBYTE request = (requestSize < inSize || Capsule::SizeFor(requestSize) == 0)
                         ? NULL
                         : static_cast<LPBYTE>(HeapAllocZeroed(requestSize));
    if (!request) {
        _SetErrorText(L"MiscCommon::CMiscCommon::EncapsuledDeviceIoControl: HeapAlloc failed.");
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    Capsule::WriteLe32(request + P::kRequestSequenceOffset, _dwSequence);
    Capsule::WriteLe32(request + P::kRequestSizeOffset, requestSize);
    Capsule::WriteLe32(request + P::kRequestCodeOffset, IOCTL_MISC_FUNCTION);
    Capsule::WriteLe32(request + P::kRequestInputLengthOffset, inSize);
    Capsule::WriteLe32(request + P::kRequestOutputLengthOffset, outSize);
    if (inBuffer) memcpy(request + P::kRequestDataOffset, inBuffer, inSize);

    LPBYTE requestCapsule = _InitializeMessageCapsule(request, requestSize);
    if (!requestCapsule) {
        HeapRelease(request);
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    Capsule::WriteLe32(requestCapsule + Capsule::kOffsetSessionId, _dwSessionId);

    if (_bSessionRequired && _Encrypt(requestCapsule) != 0) {
        HeapRelease(request);
        HeapRelease(requestCapsule);
        SetLastError(ERROR_INTERNAL_ERROR);
        return FALSE;
    }

    LPBYTE reply = _InitializeMessageCapsule(NULL, outSize);
    if (!reply) {
        DWORD error = GetLastError();
        HeapRelease(request);
        HeapRelease(requestCapsule);
        SetLastError(error);
        return FALSE;
    }
    const DWORD replySize = Capsule::SizeFor(outSize);
    ZeroMemory(reply, replySize);

    DWORD returned = 0;
    const BOOL result = DeviceIoControl(_hDevice, IOCTL_MISC_CAPSULE, requestCapsule,
                                        Capsule::SizeFor(requestSize), reply, replySize, &returned, NULL);
    const DWORD callError = GetLastError();
    if (result || returned != 0) ++_dwSequence;

    Capsule::ReplyPlan plan;
    const Capsule::ReplyCheck check =
        Capsule::PlanReply(reply, replySize, returned, outSize, _bSessionRequired != FALSE, &plan);
    if (check != Capsule::ReplyCheck::Ok) {
        // Too short: the count returned; a malformed header: the offending
        // field (capsule size or payload length).
        _SetErrorText(L"MiscCommon::CMiscCommon::EncapsuledDeviceIoControl: Invalid structure returned. size = %d",
                      static_cast<int>(plan.badValue));
        HeapRelease(request);
        HeapRelease(requestCapsule);
        HeapRelease(reply);
        if (check != Capsule::ReplyCheck::TooShort)
            SetLastError(result ? static_cast<DWORD>(ERROR_INVALID_DATA) : callError);
        return FALSE;
    }

    // Only the blocks the size field names and the buffer holds are
    // deciphered; the copy below stays inside them.
    if (_bSessionRequired) {
        if (_CipherBlocks(reply, plan.blocks, false) != 0) {
            HeapRelease(request);
            HeapRelease(requestCapsule);
            HeapRelease(reply);
            SetLastError(ERROR_INTERNAL_ERROR);
            return FALSE;
        }
    }

    if (plan.payloadLength != 0) {
        Capsule::CopyPayload(reply, plan, outBuffer);
        *bytesReturned = plan.copyLength;
        if (plan.truncated) {
            HeapRelease(request);
            HeapRelease(requestCapsule);
            HeapRelease(reply);
            SetLastError(ERROR_MORE_DATA);
            return FALSE;
        }
    }

    HeapRelease(request);
    HeapRelease(requestCapsule);
    HeapRelease(reply);
    SetLastError(callError);
    return result;
}

DWORD CMiscCommon::CallMiscFunction(LPBYTE pPacket, DWORD sizePacket) {
    if (!IsDriverSupported()) return 10;
    if (!IsOpenHandle(_hDevice)) {
        _SetErrorText(L"MiscCommon::CMiscCommon::CallMiscFunction: _hDevice is NULL");
        return 8;
    }
    if (!pPacket) {
        _SetErrorText(L"MiscCommon::CMiscCommon::CallMiscFunction: pPacket is NULL");
        return 3;
    }
    if (sizePacket == 0) {
        _SetErrorText(L"MiscCommon::CMiscCommon::CallMiscFunction: sizePacket is '0'");
        return 3;
    }
    // The header's lengths decide what is sent and what the driver may write
    // back into the packet; they must lie inside the packet buffer.
    if (sizePacket < P::kPacketHeaderSize ||
        ReadLe16(pPacket + P::kPacketInputLengthOffset) > sizePacket ||
        ReadLe16(pPacket + P::kPacketOutputLengthOffset) > sizePacket) {
        _SetErrorText(L"MiscCommon::CMiscCommon::CallMiscFunction: packet lengths exceed sizePacket");
        return 3;
    }

    LPBYTE saved = static_cast<LPBYTE>(HeapAllocZeroed(sizePacket));
    if (!saved) {
        DWORD error = GetLastError();
        _SetErrorText(L"MiscCommon::CMiscCommon::CallMiscFunction: HeapAlloc failed.");
        SetLastError(error);
        return 5;
    }
    memcpy(saved, pPacket, sizePacket);

    for (int attempt = 0;; ++attempt) {
        const WORD inputLength = ReadLe16(pPacket + P::kPacketInputLengthOffset);
        const WORD outputLength = ReadLe16(pPacket + P::kPacketOutputLengthOffset);
        DWORD returned = 0;
        if (!EncapsuledDeviceIoControl(pPacket, inputLength, pPacket, outputLength, &returned)) {
            DWORD error = GetLastError();
            _SetErrorText(L"MiscCommon::CMiscCommon::CallMiscFunction: DeviceIoControl failed.");
            HeapRelease(saved);
            SetLastError(error);
            return 2;
        }
        if (attempt == 0 && pPacket[P::kPacketStatusOffset] == kStatusRetry) {
            Sleep(kRetryDelayMs);
            memcpy(pPacket, saved, sizePacket);
            continue;
        }
        break;
    }

    HeapRelease(saved);
    if (_szLastError) _szLastError[0] = L'\0';
    return 0;
}

DWORD CMiscCommon::GetFlatPadSetting(LPBYTE status, LPWORD value1, LPWORD value2, LPWORD value3,
                                     LPWORD value4, LPWORD extraLength) {
    if (!extraLength || *extraLength != 0 || !status || !value1 || !value2 || !value3 || !value4)
        return 3;

    LPBYTE packet = static_cast<LPBYTE>(HeapAllocZeroed(P::kFlatPadPacketSize));
    if (!packet) return 5;
    packet[P::kPacketFunctionOffset] = P::kFlatPadFunction;
    packet[P::kPacketSubFunctionOffset] = P::kFlatPadSubFunction;
    WriteLe16(packet + P::kPacketInputLengthOffset, P::kFlatPadInputLength);
    WriteLe16(packet + P::kPacketOutputLengthOffset, P::kFlatPadOutputLength);
    WriteLe16(packet + P::kFlatPadItemOffset, P::kFlatPadSetupItem);

    if (!IsDriverSupported()) {
        HeapRelease(packet);
        return 10;
    }
    DWORD result = CallMiscFunction(packet, P::kFlatPadPacketSize);
    if (result != 0) {
        HeapRelease(packet);
        return result;
    }

    *status = packet[P::kPacketStatusOffset];
    if (*status == P::kMiscStatusSuccess) {
        *value1 = ReadLe16(packet + P::kFlatPadValue1Offset);
        *value2 = ReadLe16(packet + P::kFlatPadValue2Offset);
        *value3 = ReadLe16(packet + P::kFlatPadValue3Offset);
        *value4 = ReadLe16(packet + P::kFlatPadValue4Offset);
    } else if (*status == P::kMiscStatusExtraData) {
        *extraLength = ReadLe16(packet + P::kFlatPadExtraLengthOffset);
    }
    HeapRelease(packet);
    return 0;
}

DWORD CMiscCommon::GetBatteryPackDate(LPBYTE status, WORD index, LPSYSTEMTIME date) {
    BYTE packet[P::kBatteryPacketSize];
    ZeroMemory(packet, sizeof(packet));
    packet[P::kPacketFunctionOffset] = P::kBatteryFunction;
    packet[P::kPacketSubFunctionOffset] = P::kBatterySubFunction;
    WriteLe16(packet + P::kPacketInputLengthOffset, P::kBatteryInputLength);
    WriteLe16(packet + P::kPacketOutputLengthOffset, P::kBatteryOutputLength);
    WriteLe16(packet + P::kBatteryIndexOffset, index);

    if (!IsDriverSupported()) return 10;
    if (!status || !date) return 3;
    DWORD result = CallMiscFunction(packet, sizeof(packet));
    if (result != 0) return result;

    *status = packet[P::kPacketStatusOffset];
    if (*status != P::kMiscStatusSuccess) return 0;
    const WORD d = ReadLe16(packet + P::kBatteryDateOffset);
    ZeroMemory(date, sizeof(*date));
    date->wYear = static_cast<WORD>((d >> 9) + 1980);
    date->wMonth = static_cast<WORD>((d >> 5) & 15);
    date->wDay = static_cast<WORD>(d & 31);
    return 0;
}

#if defined(_WIN32) && !defined(_WIN64)
// The fields in their order, each 32 bits wide, in the 32-bit product.
static_assert(sizeof(CMiscCommon) == 48, "twelve 32-bit fields");
#endif

}  // namespace MiscCommon
