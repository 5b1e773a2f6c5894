// The channel to the laptop maker's system-interface driver: discovery and
// plain calls, the authenticated session handshake, and misc-function calls
// carried in (enciphered) message capsules.
//
// One object is used by one thread only; nothing here is locked. Every heap
// block comes from the process heap. Failures are reported by result codes
// (ResultCode below) and, where a failure has a message, by a text written
// into the owner's error buffer.
#pragma once
#include <windows.h>

struct BlowfishContext;

namespace MiscCommon {

// What the calls that return a DWORD answer. The values are fixed: owners
// compare them with 0 and may log them as numbers.
enum ResultCode : DWORD {
    kResultSuccess = 0,
    kResultFailed = 2,            // a platform call, the driver's answer or a primitive failed
    kResultInvalidArgument = 3,   // an argument the call cannot work with; nothing is sent
    kResultNoRoom = 5,            // a heap block could not be had, or (GetModelNumber) the
                                  // caller's buffer is too small: *size says what is needed
    kResultNoGenuineDriver = 6,   // no driver interface is present, or the driver failed to
                                  // prove the handshake key or gave an unusable public value
    kResultNotReady = 8,          // the device is not open, or (ciphers) no session is set up
    kResultUnsupportedDriver = 10,  // the driver's version is below 1.0.8
    kResultCannotOpen = 11,       // the driver's device could not be opened
};

// Characters of the owner's error buffer, the terminating 0 included.
constexpr DWORD kErrorTextChars = 256;

class CMiscCommon {
public:
    // szLastError: the owner's buffer of kErrorTextChars UTF-16 characters
    // for the text of the last failure, or null for no text. The owner keeps
    // it alive for the life of the object and sets its first character to 0.
    explicit CMiscCommon(LPWSTR szLastError);
    // Releases the version text; the owner calls CloseDriver before.
    ~CMiscCommon();

    CMiscCommon(const CMiscCommon&) = delete;
    CMiscCommon& operator=(const CMiscCommon&) = delete;

    // Discovery and plain calls.
    DWORD OpenDriver();
    void ParseDriverVersion();
    bool IsDriverSupported() const;
    DWORD GetModelNumber(LPBYTE buffer, LPDWORD size);
    void CloseDriver();

    // Session handshake.
    DWORD _Initialize();

    // Message capsules.
    LPBYTE _InitializeMessageCapsule(LPCVOID payload, DWORD n);
    DWORD _Encrypt(LPBYTE capsule);
    DWORD _Decrypt(LPBYTE capsule);
    BOOL EncapsuledDeviceIoControl(LPVOID inBuffer, DWORD inSize, LPVOID outBuffer,
                                   DWORD outSize, LPDWORD bytesReturned);
    DWORD CallMiscFunction(LPBYTE pPacket, DWORD sizePacket);
    DWORD GetFlatPadSetting(LPBYTE status, LPWORD value1, LPWORD value2, LPWORD value3,
                            LPWORD value4, LPWORD extraLength);
    DWORD GetBatteryPackDate(LPBYTE status, WORD index, LPSYSTEMTIME date);

private:
    friend struct CMiscCommonInspector;  // white-box tests

    // OpenDriver's phases (misc_common.cpp); each returns false after
    // recording why in the discovery's working storage.
    struct Discovery;
    bool _FindInterface(Discovery& d);
    bool _ReadInterfaceDetail(Discovery& d);
    bool _ReadVersion(Discovery& d);
    bool _OpenDevice(Discovery& d);

    // The handshake's phases (misc_handshake.cpp); each that can fail returns
    // false after recording why in the handshake's working storage.
    struct Handshake;
    bool _ProbeSessions();
    void _OwnValues(Handshake& h);
    bool _Phase1(Handshake& h);
    bool _Phase2(Handshake& h);
    bool _Phase3(Handshake& h);
    bool _Confirm(Handshake& h);

    // EncapsuledDeviceIoControl's phases (misc_capsule_calls.cpp), in the
    // same way.
    struct CapsuleCall;
    bool _CheckCapsuleCall(CapsuleCall& c);
    bool _BuildRequestCapsule(CapsuleCall& c);
    bool _SendRequestCapsule(CapsuleCall& c);
    bool _TakeReplyPayload(CapsuleCall& c);

    void _SetErrorText(LPCWSTR format, ...);
    void _CipherBlocks(LPBYTE capsule, DWORD blocks, bool encipher);
    DWORD _CipherCapsule(LPBYTE capsule, bool encipher);
    void _EndSession(DWORD sessionId);
    // Ends the session this object holds, if any, and wipes its context.
    void _DropSession();

    // Field order and widths are fixed: each field is 32 bits in the 32-bit
    // product.
    HANDLE _hDevice;
    LPWSTR _szVersion;
    DWORD _dwSessionId;
    DWORD _dwSequence;
    BlowfishContext* _pBlowfishContext;
    BOOL _bSessionRequired;
    HDEVNOTIFY _hDevNotify;  // always NULL: this channel registers no device notification
    LPWSTR _szLastError;
    DWORD _dwMajor;
    DWORD _dwMinor;
    DWORD _dwBuild;
    DWORD _dwRevision;
};

}  // namespace MiscCommon
