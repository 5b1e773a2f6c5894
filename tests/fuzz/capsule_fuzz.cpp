// The driver's reply capsule, whatever the reply buffer holds and whatever byte
// count the driver reports: nothing read or written outside the reply buffer or
// the caller's output buffer. Input: outSize (2 bytes), returned (4), flags (1),
// then the reply buffer's contents, in heap blocks of their exact size for ASan.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "driver_channel/capsule.h"

using namespace MiscCommon::Capsule;

namespace {

// The layout as described: a 12-byte header, 16 bytes of header and trailer
// around the payload, 8-byte cipher blocks.
constexpr uint32_t kHeader = 12, kOverhead = 16, kBlock = 8;

void ScrambleBlock(void*, uint32_t* left, uint32_t* right) {
    uint32_t t = *left ^ 0x9E3779B9u;
    *left = *right + 0x7F4A7C15u;
    *right = t;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 7) return 0;
    const uint32_t outSize = data[0] | (data[1] << 8);
    uint32_t returned;
    memcpy(&returned, data + 2, 4);
    const bool enciphered = data[6] & 1;
    data += 7;
    size -= 7;
    const uint32_t bufferSize = SizeFor(outSize);
    uint8_t* reply = static_cast<uint8_t*>(malloc(bufferSize));
    memset(reply, 0, bufferSize);
    memcpy(reply, data, size < bufferSize ? size : bufferSize);
    uint8_t* out = static_cast<uint8_t*>(malloc(outSize ? outSize : 1));

    ReplyPlan plan;
    if (PlanReply(reply, bufferSize, returned, outSize, enciphered, &plan) == ReplyCheck::Ok) {
        if (returned < kHeader || kOverhead + plan.blocks * kBlock > bufferSize ||
            plan.copyLength > outSize || (!enciphered && plan.blocks != 0) ||
            (enciphered && plan.copyLength > plan.blocks * kBlock) ||
            plan.truncated != (plan.payloadLength > outSize))
            abort();
        ForEachBlock(reply, plan.blocks, ScrambleBlock, nullptr);
        CopyPayload(reply, plan, out);
    }
    free(out);
    free(reply);
    return 0;
}
