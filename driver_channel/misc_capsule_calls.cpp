// CMiscCommon's message capsules and misc-function calls: building the
// request capsule, enciphering it under the session cipher, sending it,
// deciphering the reply as far as it can be and handing its payload on, and
// the two queries built on it.
#include <string.h>

#include "crypto/blowfish.h"
#include "crypto/bytes.h"
#include "driver_channel/capsule.h"
#include "driver_channel/misc_common.h"
#include "driver_channel/misc_common_internal.h"
#include "driver_channel/misc_protocol.h"

namespace MiscCommon {

namespace P = MiscProtocol;
using namespace Internal;

namespace {

constexpr DWORD kRetryDelayMs = 100;

// The session cipher on one block; it cannot fail with a context and both
// halves present.
void EncipherBlock(void* context, uint32_t* left, uint32_t* right) {
    BlowfishEncipher(static_cast<const BlowfishContext*>(context), left, right);
}
void DecipherBlock(void* context, uint32_t* left, uint32_t* right) {
    BlowfishDecipher(static_cast<const BlowfishContext*>(context), left, right);
}

}  // namespace

LPBYTE CMiscCommon::_InitializeMessageCapsule(LPCVOID payload, DWORD n) {
    const DWORD size = Capsule::SizeFor(n);
    LPBYTE capsule = size ? static_cast<LPBYTE>(HeapAllocZeroed(size)) : NULL;
    if (!capsule) {
        _SetErrorText(L"MiscCommon::CMiscCommon::_InitializeMessageCapsule: HeapAlloc failed.");
        return NULL;
    }
    Capsule::WriteHeader(capsule, n, 0);
    if (payload && n) memcpy(capsule + P::kCapsulePayloadOffset, payload, n);
    return capsule;
}

// The error texts of the two directions: [0] deciphering, [1] enciphering.
struct CipherTexts {
    LPCWSTR nullCapsule, noContext;
};
const CipherTexts kCipherTexts[2] = {
    {L"MiscCommon::CMiscCommon::_Decrypt: capsule is NULL",
     L"MiscCommon::CMiscCommon::_Decrypt: BlowFish Context is not initialized."},
    {L"MiscCommon::CMiscCommon::_Encrypt: capsule is NULL",
     L"MiscCommon::CMiscCommon::_Encrypt: BlowFish Context is not initialized."},
};

// The first `blocks` blocks of the capsule's payload under the session
// cipher, which the caller has made sure is there.
void CMiscCommon::_CipherBlocks(LPBYTE capsule, DWORD blocks, bool encipher) {
    Capsule::ForEachBlock(capsule, blocks, encipher ? EncipherBlock : DecipherBlock, _pBlowfishContext);
}

// The blocks its own size field names, in one direction.
DWORD CMiscCommon::_CipherCapsule(LPBYTE capsule, bool encipher) {
    if (!capsule) {
        _SetErrorText(kCipherTexts[encipher].nullCapsule);
        return kResultInvalidArgument;
    }
    if (!_pBlowfishContext) {
        _SetErrorText(kCipherTexts[encipher].noContext);
        return kResultNotReady;
    }
    _CipherBlocks(capsule, Capsule::BlockCountFor(Bytes::ReadLe32(capsule + P::kCapsuleSizeOffset)), encipher);
    return kResultSuccess;
}

DWORD CMiscCommon::_Encrypt(LPBYTE capsule) { return _CipherCapsule(capsule, true); }

DWORD CMiscCommon::_Decrypt(LPBYTE capsule) { return _CipherCapsule(capsule, false); }

// What EncapsuledDeviceIoControl holds while it makes one call, and why it
// stopped. The way out releases the three heap blocks.
struct CMiscCommon::CapsuleCall : Failure {
    LPVOID inBuffer;
    DWORD inSize;
    LPVOID outBuffer;
    DWORD outSize;
    LPDWORD bytesReturned;

    DWORD requestSize;      // the EncapsuledRequest's: the input and 24 bytes
    LPBYTE request;         // the EncapsuledRequest
    LPBYTE requestCapsule;  // the capsule carrying it, enciphered with sessions
    DWORD requestCapsuleSize;
    LPBYTE reply;           // the reply capsule as received into a zero-filled buffer
    DWORD replySize;
    BOOL answered;          // what DeviceIoControl returned
    DWORD callError;        // and the last error it left
    Capsule::ReplyPlan plan;
};

#define MC_CAPSULE_TEXT(s) L"MiscCommon::CMiscCommon::EncapsuledDeviceIoControl: " s

// Nothing is sent for an old driver (no text, no last error), for
// inconsistent arguments, or without the session the driver requires.
bool CMiscCommon::_CheckCapsuleCall(CapsuleCall& c) {
    if (!IsDriverSupported()) return c.Fail(FALSE, NULL, false);
    if ((c.inBuffer == NULL && c.inSize != 0) || (c.outBuffer == NULL && c.outSize != 0) ||
        (c.inBuffer != NULL && c.inSize == 0) || (c.outBuffer != NULL && c.outSize == 0) || c.bytesReturned == NULL)
        return c.FailWithError(FALSE, MC_CAPSULE_TEXT(L"Invalid Argument(s)."), ERROR_INVALID_PARAMETER);
    if (_bSessionRequired && !_pBlowfishContext)
        return c.FailWithError(FALSE, MC_CAPSULE_TEXT(L"Session Not Initialized."), ERROR_ACCESS_DENIED);
    *c.bytesReturned = 0;
    return true;
}

// The EncapsuledRequest (sequence, size, code, both lengths, the input, 4
// zero bytes) in its capsule, enciphered with sessions.
bool CMiscCommon::_BuildRequestCapsule(CapsuleCall& c) {
    // Sizes whose capsule would not fit in 32 bits count as out of memory.
    c.requestSize = c.inSize + P::kRequestOverhead;
    if (c.requestSize >= c.inSize && Capsule::SizeFor(c.requestSize) != 0)
        c.request = static_cast<LPBYTE>(HeapAllocZeroed(c.requestSize));
    if (!c.request) return c.FailWithError(FALSE, MC_CAPSULE_TEXT(L"HeapAlloc failed."), ERROR_NOT_ENOUGH_MEMORY);
    Bytes::WriteLe32(c.request + P::kRequestSequenceOffset, _dwSequence);
    Bytes::WriteLe32(c.request + P::kRequestSizeOffset, c.requestSize);
    Bytes::WriteLe32(c.request + P::kRequestCodeOffset, IOCTL_MISC_FUNCTION);
    Bytes::WriteLe32(c.request + P::kRequestInputLengthOffset, c.inSize);
    Bytes::WriteLe32(c.request + P::kRequestOutputLengthOffset, c.outSize);
    if (c.inBuffer) memcpy(c.request + P::kRequestDataOffset, c.inBuffer, c.inSize);

    // The helpers write their own texts.
    c.requestCapsule = _InitializeMessageCapsule(c.request, c.requestSize);
    if (!c.requestCapsule) return c.FailWithError(FALSE, NULL, ERROR_NOT_ENOUGH_MEMORY);
    c.requestCapsuleSize = Capsule::SizeFor(c.requestSize);
    Bytes::WriteLe32(c.requestCapsule + P::kCapsuleSessionOffset, _dwSessionId);
    // The session's context was checked above.
    if (_bSessionRequired) _CipherBlocks(c.requestCapsule, Capsule::BlockCountFor(c.requestCapsuleSize), true);
    return true;
}

// The call itself, into a zero-filled reply buffer for outSize bytes. Any
// call the driver answered with bytes, or that succeeded, used up its
// sequence number.
bool CMiscCommon::_SendRequestCapsule(CapsuleCall& c) {
    c.reply = _InitializeMessageCapsule(NULL, c.outSize);
    if (!c.reply) return c.Fail(FALSE, NULL, true);
    c.replySize = Capsule::SizeFor(c.outSize);
    ZeroMemory(c.reply, c.replySize);  // the header too: what the driver does not write reads as 0

    DWORD returned = 0;
    c.answered = DeviceIoControl(_hDevice, IOCTL_MISC_CAPSULE, c.requestCapsule, c.requestCapsuleSize, c.reply,
                                 c.replySize, &returned, NULL);
    c.callError = GetLastError();
    if (c.answered || returned != 0) ++_dwSequence;

    const Capsule::ReplyCheck check =
        Capsule::PlanReply(c.reply, c.replySize, returned, c.outSize, _bSessionRequired != FALSE, &c.plan);
    if (check == Capsule::ReplyCheck::Ok) return true;
    // Too short: the count returned; a malformed header: the offending field
    // (capsule size or payload length). A well-formed call that brought a
    // malformed header leaves ERROR_INVALID_DATA, any other its own error.
    _SetErrorText(MC_CAPSULE_TEXT(L"Invalid structure returned. size = %d"), static_cast<int>(c.plan.badValue));
    const bool header = check != Capsule::ReplyCheck::TooShort;
    return c.FailWithError(FALSE, NULL, header && c.answered ? static_cast<DWORD>(ERROR_INVALID_DATA) : c.callError);
}

// The blocks the size field names and the buffer holds are deciphered, and
// the payload, which lies inside them, goes to the caller: all of it, or
// what fits with ERROR_MORE_DATA.
bool CMiscCommon::_TakeReplyPayload(CapsuleCall& c) {
    if (_bSessionRequired) _CipherBlocks(c.reply, c.plan.blocks, false);
    if (c.plan.payloadLength == 0) return true;
    Capsule::CopyPayload(c.reply, c.plan, c.outBuffer);
    *c.bytesReturned = c.plan.copyLength;
    if (c.plan.truncated) return c.FailWithError(FALSE, NULL, ERROR_MORE_DATA);
    return true;
}

BOOL CMiscCommon::EncapsuledDeviceIoControl(LPVOID inBuffer, DWORD inSize, LPVOID outBuffer,
                                            DWORD outSize, LPDWORD bytesReturned) {
    CapsuleCall c;
    ZeroMemory(&c, sizeof(c));
    c.inBuffer = inBuffer;
    c.inSize = inSize;
    c.outBuffer = outBuffer;
    c.outSize = outSize;
    c.bytesReturned = bytesReturned;
    const bool through = _CheckCapsuleCall(c) && _BuildRequestCapsule(c) && _SendRequestCapsule(c) &&
                         _TakeReplyPayload(c);

    // The one way out. A call that went through returns the driver's own
    // answer and the last error it left.
    if (c.text) _SetErrorText(c.text);
    HeapRelease(c.request);
    HeapRelease(c.requestCapsule);
    HeapRelease(c.reply);
    if (through) SetLastError(c.callError);
    else if (c.keepError) SetLastError(c.error);
    return through ? c.answered : FALSE;
}

DWORD CMiscCommon::CallMiscFunction(LPBYTE pPacket, DWORD sizePacket) {
    if (!IsDriverSupported()) return kResultUnsupportedDriver;
    if (!IsOpenHandle(_hDevice)) {
        _SetErrorText(L"MiscCommon::CMiscCommon::CallMiscFunction: _hDevice is NULL");
        return kResultNotReady;
    }
    if (!pPacket) {
        _SetErrorText(L"MiscCommon::CMiscCommon::CallMiscFunction: pPacket is NULL");
        return kResultInvalidArgument;
    }
    if (sizePacket == 0) {
        _SetErrorText(L"MiscCommon::CMiscCommon::CallMiscFunction: sizePacket is '0'");
        return kResultInvalidArgument;
    }
    // The header's lengths decide what is sent and what the driver may write
    // back into the packet; they must lie inside the packet buffer.
    if (sizePacket < P::kPacketHeaderSize ||
        Bytes::ReadLe16(pPacket + P::kPacketInputLengthOffset) > sizePacket ||
        Bytes::ReadLe16(pPacket + P::kPacketOutputLengthOffset) > sizePacket) {
        _SetErrorText(L"MiscCommon::CMiscCommon::CallMiscFunction: packet lengths exceed sizePacket");
        return kResultInvalidArgument;
    }

    LPBYTE saved = static_cast<LPBYTE>(HeapAllocZeroed(sizePacket));
    if (!saved) {
        DWORD error = GetLastError();
        _SetErrorText(L"MiscCommon::CMiscCommon::CallMiscFunction: HeapAlloc failed.");
        SetLastError(error);
        return kResultNoRoom;
    }
    memcpy(saved, pPacket, sizePacket);

    for (int attempt = 0;; ++attempt) {
        const WORD inputLength = Bytes::ReadLe16(pPacket + P::kPacketInputLengthOffset);
        const WORD outputLength = Bytes::ReadLe16(pPacket + P::kPacketOutputLengthOffset);
        DWORD returned = 0;
        if (!EncapsuledDeviceIoControl(pPacket, inputLength, pPacket, outputLength, &returned)) {
            DWORD error = GetLastError();
            _SetErrorText(L"MiscCommon::CMiscCommon::CallMiscFunction: DeviceIoControl failed.");
            HeapRelease(saved);
            SetLastError(error);
            return kResultFailed;
        }
        if (attempt == 0 && pPacket[P::kPacketStatusOffset] == P::kMiscStatusRetry) {
            Sleep(kRetryDelayMs);
            memcpy(pPacket, saved, sizePacket);
            continue;
        }
        break;
    }

    HeapRelease(saved);
    if (_szLastError) _szLastError[0] = L'\0';
    return kResultSuccess;
}

DWORD CMiscCommon::GetFlatPadSetting(LPBYTE status, LPWORD value1, LPWORD value2, LPWORD value3,
                                     LPWORD value4, LPWORD extraLength) {
    if (!extraLength || *extraLength != 0 || !status || !value1 || !value2 || !value3 || !value4)
        return kResultInvalidArgument;

    LPBYTE packet = static_cast<LPBYTE>(HeapAllocZeroed(P::kFlatPadPacketSize));
    if (!packet) return kResultNoRoom;
    packet[P::kPacketFunctionOffset] = P::kFlatPadFunction;
    packet[P::kPacketSubFunctionOffset] = P::kFlatPadSubFunction;
    Bytes::WriteLe16(packet + P::kPacketInputLengthOffset, P::kFlatPadInputLength);
    Bytes::WriteLe16(packet + P::kPacketOutputLengthOffset, P::kFlatPadOutputLength);
    Bytes::WriteLe16(packet + P::kFlatPadItemOffset, P::kFlatPadSetupItem);

    if (!IsDriverSupported()) {
        HeapRelease(packet);
        return kResultUnsupportedDriver;
    }
    DWORD result = CallMiscFunction(packet, P::kFlatPadPacketSize);
    if (result != kResultSuccess) {
        HeapRelease(packet);
        return result;
    }

    *status = packet[P::kPacketStatusOffset];
    if (*status == P::kMiscStatusSuccess) {
        *value1 = Bytes::ReadLe16(packet + P::kFlatPadValue1Offset);
        *value2 = Bytes::ReadLe16(packet + P::kFlatPadValue2Offset);
        *value3 = Bytes::ReadLe16(packet + P::kFlatPadValue3Offset);
        *value4 = Bytes::ReadLe16(packet + P::kFlatPadValue4Offset);
    } else if (*status == P::kMiscStatusExtraData) {
        *extraLength = Bytes::ReadLe16(packet + P::kFlatPadExtraLengthOffset);
    }
    HeapRelease(packet);
    return kResultSuccess;
}

DWORD CMiscCommon::GetBatteryPackDate(LPBYTE status, WORD index, LPSYSTEMTIME date) {
    BYTE packet[P::kBatteryPacketSize];
    ZeroMemory(packet, sizeof(packet));
    packet[P::kPacketFunctionOffset] = P::kBatteryFunction;
    packet[P::kPacketSubFunctionOffset] = P::kBatterySubFunction;
    Bytes::WriteLe16(packet + P::kPacketInputLengthOffset, P::kBatteryInputLength);
    Bytes::WriteLe16(packet + P::kPacketOutputLengthOffset, P::kBatteryOutputLength);
    Bytes::WriteLe16(packet + P::kBatteryIndexOffset, index);

    if (!IsDriverSupported()) return kResultUnsupportedDriver;
    if (!status || !date) return kResultInvalidArgument;
    DWORD result = CallMiscFunction(packet, sizeof(packet));
    if (result != kResultSuccess) return result;

    *status = packet[P::kPacketStatusOffset];
    if (*status != P::kMiscStatusSuccess) return kResultSuccess;
    const WORD d = Bytes::ReadLe16(packet + P::kBatteryDateOffset);
    ZeroMemory(date, sizeof(*date));
    date->wYear = static_cast<WORD>((d >> 9) + 1980);
    date->wMonth = static_cast<WORD>((d >> 5) & 15);
    date->wDay = static_cast<WORD>(d & 31);
    return kResultSuccess;
}

}  // namespace MiscCommon
