// Protocol of the laptop maker's system-interface driver: the device-interface
// class, the control codes, the message layouts and the two fixed blocks that
// the handshake shares with the driver.
//
// This one header is included by the driver channel (the client) and by the
// substitute driver (sim/device), so both sides always agree. It is portable:
// no Windows headers, only <stdint.h>. All multi-byte fields on the wire are
// little-endian. The 1024-bit group prime is kOakleyGroup2Prime in
// crypto/bigint.h.
#pragma once
#include <stdint.h>

namespace MiscProtocol {

// ---------------------------------------------------------------------------
// Device-interface class GUID_DEVINTERFACE_MISC,
// {80DCC0C5-BD3E-4BC0-8A06-11EAE4AE7224}, as the four fields of a GUID.
constexpr uint32_t kMiscInterfaceGuidData1 = 0x80DCC0C5u;
constexpr uint16_t kMiscInterfaceGuidData2 = 0xBD3Eu;
constexpr uint16_t kMiscInterfaceGuidData3 = 0x4BC0u;
constexpr uint8_t kMiscInterfaceGuidData4[8] = {0x8A, 0x06, 0x11, 0xEA, 0xE4, 0xAE, 0x72, 0x24};

// Registry value of the device's driver key that holds the version text.
// (Wide text: the client passes it to RegQueryValueExW.)
#define MISC_DRIVER_VERSION_VALUE_NAME L"DriverVersion"

// ---------------------------------------------------------------------------
// Control codes: device type 0x22, METHOD_BUFFERED, FILE_ANY_ACCESS. Macros,
// as control codes are in the platform's own headers.
#define IOCTL_MISC_HANDSHAKE 0x222000u         // function 0x800
#define IOCTL_MISC_END_SESSION 0x222004u       // function 0x801
#define IOCTL_MISC_CAPSULE 0x222008u           // function 0x802
#define IOCTL_MISC_GET_MODEL_NUMBER 0x222940u  // function 0xA50
// Never sent as a control code: it is the code inside every EncapsuledRequest.
#define IOCTL_MISC_FUNCTION 0x222944u          // function 0xA51

// ---------------------------------------------------------------------------
// Handshake.

// Big numbers: 33 little-endian 32-bit limbs, least significant first.
constexpr uint32_t kBigNumberLimbs = 33;
constexpr uint32_t kBigNumberBytes = kBigNumberLimbs * 4;  // 132
constexpr uint32_t kPrivateExponentLimbs = 4;              // three random words and a 0

// Tags: four ASCII bytes in text order; as a little-endian word as well.
constexpr uint32_t kTagSize = 4;
constexpr uint8_t kTagIni1[4] = {'I', 'n', 'i', '1'};
constexpr uint8_t kTagIni2[4] = {'I', 'n', 'i', '2'};
constexpr uint8_t kTagIni3[4] = {'I', 'n', 'i', '3'};
constexpr uint32_t kTagIni1Word = 0x31696E49u;  // "Ini1"
constexpr uint32_t kTagIni2Word = 0x32696E49u;  // "Ini2"
constexpr uint32_t kTagIni3Word = 0x33696E49u;  // "Ini3"

// Phase 1 request (160 bytes, zero before it is filled).
constexpr uint32_t kPhase1RequestSize = 160;
constexpr uint32_t kPhase1RequestTagOffset = 0;
constexpr uint32_t kPhase1RequestPublicOffset = 4;    // A, 132 bytes
constexpr uint32_t kPhase1RequestNonceOffset = 136;   // Nc, 20 bytes
constexpr uint32_t kPhase1RequestNonceSize = 20;
constexpr uint32_t kPhase1RequestZeroOffset = 156;    // 4 zero bytes
// Phase 1 answer (160 bytes).
constexpr uint32_t kPhase1AnswerSize = 160;
constexpr uint32_t kPhase1AnswerSessionOffset = 0;    // S, 4 bytes
constexpr uint32_t kPhase1AnswerPublicOffset = 4;     // B, 132 bytes
constexpr uint32_t kPhase1AnswerNonceOffset = 136;    // driver nonce field, 24 bytes
constexpr uint32_t kPhase1AnswerNonceSize = 24;
// Both nonce fields (bytes 136..159 of request and answer) enter the
// authentication key: 24 + 24 bytes.
constexpr uint32_t kNonceFieldOffset = 136;
constexpr uint32_t kNonceFieldSize = 24;
constexpr uint32_t kAuthKeyMessageSize = 2 * kNonceFieldSize;  // 48
// The proofs are HMAC-SHA1 over two public values back to back.
constexpr uint32_t kProofMessageSize = 2 * kBigNumberBytes;    // 264
constexpr uint32_t kProofSize = 20;

// Phase 2 request (28 bytes) and answer (20 bytes: the driver proof).
constexpr uint32_t kPhase2RequestSize = 28;
constexpr uint32_t kPhase2RequestTagOffset = 0;
constexpr uint32_t kPhase2RequestSessionOffset = 4;
constexpr uint32_t kPhase2RequestProofOffset = 8;     // client proof, 20 bytes
constexpr uint32_t kPhase2AnswerSize = 20;

// Phase 3 request (24 bytes) and answer (8 bytes: the confirmation block
// enciphered under the session key).
constexpr uint32_t kPhase3RequestSize = 24;
constexpr uint32_t kPhase3RequestTagOffset = 0;
constexpr uint32_t kPhase3RequestSessionOffset = 4;
constexpr uint32_t kPhase3RequestKeyOffset = 8;       // K as two enciphered blocks
constexpr uint32_t kSessionKeySize = 16;
constexpr uint32_t kKeyEncryptionKeySize = 16;
constexpr uint32_t kPhase3AnswerSize = 8;

// End of session: the 4-byte session id, no output.
constexpr uint32_t kEndSessionRequestSize = 4;

// The handshake key is the 16 bytes at offset 7 of this fixed 112-byte block;
// the other bytes are filler.
constexpr uint32_t kHandshakeKeyBlockSize = 112;
constexpr uint32_t kHandshakeKeyOffset = 7;
constexpr uint32_t kHandshakeKeySize = 16;
constexpr uint8_t kHandshakeKeyBlock[kHandshakeKeyBlockSize] = {
    0x2A, 0xC6, 0xFF, 0xB2, 0x9E, 0xD7, 0x78, 0x40, 0x74, 0x6F, 0x29, 0x8A,
    0x11, 0xE5, 0x3B, 0xF4, 0xBB, 0x23, 0x56, 0x82, 0xA2, 0xD8, 0x67, 0x23,
    0xA9, 0x70, 0x27, 0xA7, 0xEA, 0x0C, 0xB8, 0xEE, 0xE6, 0x6A, 0x1C, 0x69,
    0x9C, 0x03, 0xA7, 0xEA, 0x09, 0x1F, 0x38, 0x71, 0x9E, 0x21, 0x33, 0x98,
    0x42, 0xDC, 0xAC, 0xE8, 0x73, 0x03, 0x09, 0x1F, 0xE5, 0x38, 0xB1, 0x7B,
    0xD2, 0x7F, 0x01, 0xF9, 0xA2, 0x53, 0xCB, 0x53, 0x4C, 0x16, 0x69, 0x99,
    0xC2, 0xCA, 0xA0, 0xCB, 0xCB, 0xA1, 0xDE, 0x6B, 0x6A, 0x6B, 0xC6, 0x32,
    0x3E, 0x30, 0xEC, 0x2B, 0x27, 0x9D, 0x4B, 0x19, 0x48, 0x86, 0x4C, 0x2E,
    0x2B, 0x53, 0x1B, 0xBE, 0x1D, 0x3A, 0x8E, 0x34, 0xBD, 0x20, 0xE1, 0xB4,
    0x50, 0x18, 0xFC, 0x6B,
};

// The confirmation block: the eight ASCII letters "VmrtConf", as the two
// little-endian words of one Blowfish block (bytes 0-3 left, 4-7 right).
constexpr uint32_t kConfirmationLeft = 0x74726D56u;   // "Vmrt"
constexpr uint32_t kConfirmationRight = 0x666E6F43u;  // "Conf"

// ---------------------------------------------------------------------------
// MessageCapsule: 12-byte header, payload padded to a multiple of 8, 4 zero
// bytes. The cipher covers the (size - 16) / 8 blocks from offset 12.
constexpr uint32_t kCapsulePayloadLengthOffset = 0;
constexpr uint32_t kCapsuleSizeOffset = 4;
constexpr uint32_t kCapsuleSessionOffset = 8;
constexpr uint32_t kCapsulePayloadOffset = 12;
constexpr uint32_t kCapsuleHeaderSize = 12;
constexpr uint32_t kCapsuleTrailerSize = 4;
constexpr uint32_t kCapsuleOverhead = kCapsuleHeaderSize + kCapsuleTrailerSize;  // 16
constexpr uint32_t kCapsuleBlockSize = 8;

// Size of a capsule that carries n payload bytes: 16 + n rounded up to 8.
// (No overflow guard: the substitute passes lengths far below 2^32; the
// client's Capsule::SizeFor, capsule.h, refuses lengths whose size would not
// fit.)
constexpr uint32_t CapsuleSizeFor(uint32_t n) {
    return kCapsuleOverhead + ((n + (kCapsuleBlockSize - 1)) & ~(kCapsuleBlockSize - 1));
}

// EncapsuledRequest, the payload of every request capsule: 20-byte header,
// the input data, 4 zero bytes.
constexpr uint32_t kRequestSequenceOffset = 0;
constexpr uint32_t kRequestSizeOffset = 4;
constexpr uint32_t kRequestCodeOffset = 8;
constexpr uint32_t kRequestInputLengthOffset = 12;
constexpr uint32_t kRequestOutputLengthOffset = 16;
constexpr uint32_t kRequestDataOffset = 20;
constexpr uint32_t kRequestOverhead = 24;  // request size = input length + 24

// ---------------------------------------------------------------------------
// MiscPacket: answered in place.
constexpr uint32_t kPacketFunctionOffset = 0;   // function code in, status out
constexpr uint32_t kPacketStatusOffset = 0;
constexpr uint32_t kPacketSubFunctionOffset = 1;
constexpr uint32_t kPacketInputLengthOffset = 2;   // 16 bits
constexpr uint32_t kPacketOutputLengthOffset = 4;  // 16 bits
constexpr uint32_t kPacketReservedOffset = 6;      // 16 bits, 0
constexpr uint32_t kPacketHeaderSize = 8;

constexpr uint8_t kMiscStatusSuccess = 0;
constexpr uint8_t kMiscStatusRetry = 4;      // the caller repeats once after 100 ms
constexpr uint8_t kMiscStatusExtraData = 5;  // flat-pad query: length at offset 20

// Flat-pad setup item query.
constexpr uint8_t kFlatPadFunction = 0x11;
constexpr uint8_t kFlatPadSubFunction = 1;
constexpr uint32_t kFlatPadPacketSize = 22;
constexpr uint16_t kFlatPadInputLength = 22;
constexpr uint16_t kFlatPadOutputLength = 22;
constexpr uint32_t kFlatPadItemOffset = 8;
constexpr uint16_t kFlatPadSetupItem = 0x8002;
constexpr uint32_t kFlatPadValue1Offset = 12;
constexpr uint32_t kFlatPadValue2Offset = 14;
constexpr uint32_t kFlatPadValue3Offset = 16;
constexpr uint32_t kFlatPadValue4Offset = 18;
constexpr uint32_t kFlatPadExtraLengthOffset = 20;

// Battery pack date query.
constexpr uint8_t kBatteryFunction = 0x42;
constexpr uint8_t kBatterySubFunction = 2;
constexpr uint32_t kBatteryPacketSize = 14;
constexpr uint16_t kBatteryInputLength = 10;
constexpr uint16_t kBatteryOutputLength = 14;
constexpr uint32_t kBatteryIndexOffset = 8;
constexpr uint32_t kBatteryDateOffset = 10;  // MS-DOS date

// ---------------------------------------------------------------------------
// Model record, the 128-byte answer to IOCTL_MISC_GET_MODEL_NUMBER.
constexpr uint32_t kModelRecordSize = 128;
constexpr uint32_t kModelShortOffset = 40;
constexpr uint32_t kModelShortSize = 12;
constexpr uint32_t kModelLongLengthOffset = 95;  // L: 0 = none, else 12..19
constexpr uint32_t kModelLongTailOffset = 96;    // characters 12..L
constexpr uint32_t kModelLongHeadSize = 11;      // long form = 11 bytes at 40 + L-11 at 96
constexpr uint32_t kModelLongMin = 12;
constexpr uint32_t kModelLongMax = 19;
constexpr uint32_t kModelLongBufferMin = 20;     // capacity that selects the long form

// Driver version gate: 1.0.8 and later.
constexpr uint32_t kMinMajor = 1;
constexpr uint32_t kMinMinor = 0;
constexpr uint32_t kMinBuild = 8;

}  // namespace MiscProtocol
