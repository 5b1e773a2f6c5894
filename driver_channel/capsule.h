// Message capsule layout and the handling of reply capsules.
//
// A capsule is: payload length (4), capsule size (4), session id (4), the
// payload padded with zeros to a multiple of 8, and 4 zero bytes. The cipher
// works on the 8-byte blocks of the padded payload; header and trailer are
// never enciphered. All fields are little-endian.
//
// This file is portable (no OS headers): the reply checks here decide how
// much of a driver's answer may be deciphered and copied, and are fuzzed on
// their own.
#pragma once
#include <stddef.h>
#include <stdint.h>

namespace MiscCommon {
namespace Capsule {

constexpr uint32_t kHeaderSize = 12;       // payload length, capsule size, session id
constexpr uint32_t kTrailerSize = 4;
constexpr uint32_t kMinimumSize = kHeaderSize + kTrailerSize;
constexpr uint32_t kBlockSize = 8;

constexpr uint32_t kOffsetPayloadLength = 0;
constexpr uint32_t kOffsetCapsuleSize = 4;
constexpr uint32_t kOffsetSessionId = 8;
constexpr uint32_t kOffsetPayload = 12;

// Size of the capsule that carries n payload bytes: 16 + n rounded up to a
// multiple of 8. 0 when that does not fit in 32 bits.
uint32_t SizeFor(uint32_t payloadLength);

// Number of cipher blocks a capsule of the given size field covers:
// (size - 16) / 8, and 0 for a size below 16.
uint32_t BlockCountFor(uint32_t capsuleSize);

uint32_t ReadLe32(const uint8_t* p);
void WriteLe32(uint8_t* p, uint32_t value);

// Fills the header of a zero-filled capsule buffer of SizeFor(n) bytes.
void WriteHeader(uint8_t* capsule, uint32_t payloadLength, uint32_t sessionId);

// One block operation on a block's two little-endian halves.
typedef bool (*BlockFunction)(void* context, uint32_t* left, uint32_t* right);

// Runs fn over `blocks` blocks starting at the payload offset, each block's
// halves read and written little-endian. Stops at the first block fn fails
// on, stores its index in *failedIndex (when given) and returns false. The
// caller guarantees that 12 + 8 * blocks bytes are inside the capsule.
bool ForEachBlock(uint8_t* capsule, uint32_t blocks, BlockFunction fn, void* context,
                  uint32_t* failedIndex);

enum class ReplyCheck {
    Ok,
    TooShort,         // fewer than 12 bytes came back
    BadSizeField,     // size field below 16, not 16 + 8k, or beyond the buffer
    BadPayloadLength, // the payload to copy is not inside the usable part
};

struct ReplyPlan {
    uint32_t blocks;         // blocks to decipher (0 when not enciphered)
    uint32_t payloadLength;  // the reply's payload-length field
    uint32_t copyLength;     // bytes to copy out: min(payloadLength, outSize)
    bool truncated;          // payloadLength > outSize
    uint32_t badValue;       // the offending value for a failed check
};

// Examines the header of a reply capsule. `bufferSize` is the size of the
// buffer the reply was received into, `returned` the count the driver
// reported (values beyond the buffer are clamped to it), `outSize` the
// caller's output capacity, and `enciphered` whether the payload is
// enciphered.
//
// Blocks are deciphered only where they lie inside the buffer, inside the
// size field and inside what was returned; the bytes copied out must lie
// inside the deciphered blocks (enciphered) or inside the payload area and
// the returned bytes (plain). Anything else is rejected, so no byte outside
// the buffers is read or written and no byte the driver did not send is
// handed on as data.
ReplyCheck PlanReply(const uint8_t* reply, uint32_t bufferSize, uint32_t returned,
                     uint32_t outSize, bool enciphered, ReplyPlan* plan);

// Copies plan.copyLength payload bytes of the reply to out.
void CopyPayload(const uint8_t* reply, const ReplyPlan& plan, void* out);

}  // namespace Capsule
}  // namespace MiscCommon
