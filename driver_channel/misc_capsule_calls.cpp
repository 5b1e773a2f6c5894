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

bool EncipherBlock(void* context, uint32_t* left, uint32_t* right) {
    return BlowfishEncipher(static_cast<const BlowfishContext*>(context), left, right);
}
bool DecipherBlock(void* context, uint32_t* left, uint32_t* right) {
    return BlowfishDecipher(static_cast<const BlowfishContext*>(context), left, right);
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
    LPCWSTR nullCapsule, noContext, failed;
};
const CipherTexts kCipherTexts[2] = {
    {L"MiscCommon::CMiscCommon::_Decrypt: capsule is NULL",
     L"MiscCommon::CMiscCommon::_Decrypt: BlowFish Context is not initialized.",
     L"MiscCommon::CMiscCommon::_Decrypt: BlowFish Decipher failed. i = %d"},
    {L"MiscCommon::CMiscCommon::_Encrypt: capsule is NULL",
     L"MiscCommon::CMiscCommon::_Encrypt: BlowFish Context is not initialized.",
     L"MiscCommon::CMiscCommon::_Encrypt: BlowFish Encipher failed. i = %d"},
};

DWORD CMiscCommon::_CipherBlocks(LPBYTE capsule, DWORD blocks, bool encipher) {
    uint32_t failed = 0;
    if (Capsule::ForEachBlock(capsule, blocks, encipher ? EncipherBlock : DecipherBlock,
                              _pBlowfishContext, &failed))
        return kResultSuccess;
    _SetErrorText(kCipherTexts[encipher].failed, static_cast<int>(failed));
    return kResultFailed;
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
    return _CipherBlocks(capsule, Capsule::BlockCountFor(Bytes::ReadLe32(capsule + P::kCapsuleSizeOffset)),
                         encipher);
}

DWORD CMiscCommon::_Encrypt(LPBYTE capsule) { return _CipherCapsule(capsule, true); }

DWORD CMiscCommon::_Decrypt(LPBYTE capsule) { return _CipherCapsule(capsule, false); }

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
    Bytes::WriteLe32(request + P::kRequestSequenceOffset, _dwSequence);
    Bytes::WriteLe32(request + P::kRequestSizeOffset, requestSize);
    Bytes::WriteLe32(request + P::kRequestCodeOffset, IOCTL_MISC_FUNCTION);
    Bytes::WriteLe32(request + P::kRequestInputLengthOffset, inSize);
    Bytes::WriteLe32(request + P::kRequestOutputLengthOffset, outSize);
    if (inBuffer) memcpy(request + P::kRequestDataOffset, inBuffer, inSize);

    LPBYTE requestCapsule = _InitializeMessageCapsule(request, requestSize);
    if (!requestCapsule) {
        HeapRelease(request);
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    Bytes::WriteLe32(requestCapsule + P::kCapsuleSessionOffset, _dwSessionId);

    if (_bSessionRequired && _Encrypt(requestCapsule) != kResultSuccess) {
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
        if (_CipherBlocks(reply, plan.blocks, false) != kResultSuccess) {
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
