#include "driver_channel/capsule.h"

#include <string.h>

#include "crypto/bytes.h"

namespace MiscCommon {
namespace Capsule {

using Bytes::ReadLe32;
using Bytes::WriteLe32;
using namespace MiscProtocol;

namespace {

// The longest payload whose capsule size still fits in 32 bits.
constexpr uint32_t kMaxPayloadLength = 0xFFFFFFFFu - kCapsuleOverhead - (kCapsuleBlockSize - 1);

}  // namespace

uint32_t SizeFor(uint32_t payloadLength) {
    return payloadLength > kMaxPayloadLength ? 0 : CapsuleSizeFor(payloadLength);
}

uint32_t BlockCountFor(uint32_t capsuleSize) {
    return capsuleSize < kCapsuleOverhead ? 0 : (capsuleSize - kCapsuleOverhead) / kCapsuleBlockSize;
}

void WriteHeader(uint8_t* capsule, uint32_t payloadLength, uint32_t sessionId) {
    WriteLe32(capsule + kCapsulePayloadLengthOffset, payloadLength);
    WriteLe32(capsule + kCapsuleSizeOffset, SizeFor(payloadLength));
    WriteLe32(capsule + kCapsuleSessionOffset, sessionId);
}

void ForEachBlock(uint8_t* capsule, uint32_t blocks, BlockFunction fn, void* context) {
    for (uint32_t i = 0; i < blocks; ++i) {
        uint8_t* block = capsule + kCapsulePayloadOffset + static_cast<size_t>(i) * kCapsuleBlockSize;
        uint32_t left = ReadLe32(block);
        uint32_t right = ReadLe32(block + 4);
        fn(context, &left, &right);
        WriteLe32(block, left);
        WriteLe32(block + 4, right);
    }
}

ReplyCheck PlanReply(const uint8_t* reply, uint32_t bufferSize, uint32_t returned,
                     uint32_t outSize, bool enciphered, ReplyPlan* plan) {
    *plan = ReplyPlan{0, 0, 0, false, 0};
    if (returned < kCapsuleHeaderSize || bufferSize < kCapsuleOverhead) {
        plan->badValue = returned;
        return ReplyCheck::TooShort;
    }

    // What may be copied at most: the payload area of the buffer, and never
    // more than the caller's output holds.
    const uint32_t bufferPayload = bufferSize - kCapsuleOverhead;
    const uint32_t limit = outSize < bufferPayload ? outSize : bufferPayload;
    plan->payloadLength = ReadLe32(reply + kCapsulePayloadLengthOffset);
    plan->truncated = plan->payloadLength > outSize;
    plan->copyLength = plan->payloadLength < limit ? plan->payloadLength : limit;
    if (!enciphered) return ReplyCheck::Ok;

    const uint32_t sizeField = ReadLe32(reply + kCapsuleSizeOffset);
    if (sizeField < kCapsuleOverhead) {
        *plan = ReplyPlan{0, 0, 0, false, sizeField};
        return ReplyCheck::BadSizeField;
    }
    const uint32_t named = (sizeField - kCapsuleOverhead) / kCapsuleBlockSize;
    const uint32_t inBuffer = bufferPayload / kCapsuleBlockSize;
    plan->blocks = named < inBuffer ? named : inBuffer;
    if (plan->copyLength > plan->blocks * kCapsuleBlockSize) {
        const uint32_t payloadLength = plan->payloadLength;
        *plan = ReplyPlan{0, 0, 0, false, payloadLength};
        return ReplyCheck::BadPayloadLength;
    }
    return ReplyCheck::Ok;
}

void CopyPayload(const uint8_t* reply, const ReplyPlan& plan, void* out) {
    if (plan.copyLength != 0) memcpy(out, reply + kCapsulePayloadOffset, plan.copyLength);
}

}  // namespace Capsule
}  // namespace MiscCommon
