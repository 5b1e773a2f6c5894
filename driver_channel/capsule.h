// The client's handling of message capsules, above all of reply capsules.
//
// The layout is MiscProtocol's (misc_protocol.h, kCapsule*): payload length
// (4), capsule size (4), session id (4), the payload padded with zeros to a
// multiple of 8, and 4 zero bytes. The cipher works on the 8-byte blocks of
// the padded payload; header and trailer are never enciphered. All fields are
// little-endian.
//
// This file is portable (no OS headers): the reply checks here decide how
// much of a driver's answer may be deciphered and copied, and are fuzzed on
// their own.
#pragma once
#include <stddef.h>
#include <stdint.h>

#include "driver_channel/misc_protocol.h"

namespace MiscCommon {
namespace Capsule {

// MiscProtocol::CapsuleSizeFor(n), or 0 when that does not fit in 32 bits.
uint32_t SizeFor(uint32_t payloadLength);

// Number of cipher blocks a capsule of the given size field covers:
// (size - 16) / 8, and 0 for a size below 16.
uint32_t BlockCountFor(uint32_t capsuleSize);

// Fills the header of a zero-filled capsule buffer of SizeFor(n) bytes.
void WriteHeader(uint8_t* capsule, uint32_t payloadLength, uint32_t sessionId);

// One block operation on a block's two little-endian halves.
typedef void (*BlockFunction)(void* context, uint32_t* left, uint32_t* right);

// Runs fn over `blocks` blocks starting at the payload offset, each block's
// halves read and written little-endian. The caller guarantees that
// 12 + 8 * blocks bytes are inside the capsule.
void ForEachBlock(uint8_t* capsule, uint32_t blocks, BlockFunction fn, void* context);

enum class ReplyCheck {
    Ok,
    TooShort,         // fewer than 12 bytes came back
    BadSizeField,     // enciphered: a size field below 16 (it names no block at all)
    BadPayloadLength, // enciphered: payload to copy reaches past the deciphered blocks
};

struct ReplyPlan {
    uint32_t blocks;         // blocks to decipher (0 when not enciphered)
    uint32_t payloadLength;  // the reply's payload-length field
    uint32_t copyLength;     // bytes to copy out: min(payloadLength, outSize)
    bool truncated;          // payloadLength > outSize
    uint32_t badValue;       // the offending value for a failed check
};

// Examines the header of a reply capsule received into a zero-filled buffer
// of `bufferSize` bytes (the size offered for `outSize` output bytes, so
// outSize <= bufferSize - 16). `returned` is the count the driver reported,
// `enciphered` whether the payload is enciphered.
//
// The driver's count only decides whether a header came back (12 bytes or
// more); the payload is read from the zeroed buffer whatever the count, so a
// driver that reports fewer bytes than the whole capsule still hands back
// what it answered. Without a cipher the size field is not read at all.
// With a cipher the size field names the blocks to decipher: (size - 16) / 8
// whole blocks, cut to those that lie inside the buffer; a trailing part of
// a block is left alone since it cannot be deciphered. A size field below 16
// names nothing and is refused, and so is a payload that would reach past the
// deciphered blocks: those bytes were never deciphered and must not be handed
// on as data. The copy itself always lies inside the buffer and the output.
ReplyCheck PlanReply(const uint8_t* reply, uint32_t bufferSize, uint32_t returned,
                     uint32_t outSize, bool enciphered, ReplyPlan* plan);

// Copies plan.copyLength payload bytes of the reply to out.
void CopyPayload(const uint8_t* reply, const ReplyPlan& plan, void* out);

}  // namespace Capsule
}  // namespace MiscCommon
