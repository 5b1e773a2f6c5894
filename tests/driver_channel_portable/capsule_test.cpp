// Reply-capsule handling: which replies are accepted, how many blocks are
// deciphered and how many payload bytes are handed on. Staying inside the
// buffers is the fuzzer's (tests/fuzz/capsule_fuzz.cpp); the block halves'
// byte order and the copy are met by the Wine tests against the substitute.
#include "driver_channel/capsule.h"

#include "crypto/bytes.h"

#include <gtest/gtest.h>

#include <vector>

using namespace MiscCommon::Capsule;

namespace {

std::vector<uint8_t> Reply(uint32_t bufferSize, uint32_t payloadLength, uint32_t sizeField) {
    std::vector<uint8_t> r(bufferSize, 0);
    if (bufferSize >= 8) {
        Bytes::WriteLe32(r.data(), payloadLength);
        Bytes::WriteLe32(r.data() + 4, sizeField);
    }
    return r;
}

TEST(CapsuleSize, RoundsPayloadUpToBlocks) {
    const uint32_t cases[][2] = {{0, 16}, {1, 24}, {8, 24}, {9, 32}, {22, 40}, {46, 64}, {34, 56}, {14, 32}};
    for (const auto& c : cases) EXPECT_EQ(SizeFor(c[0]), c[1]) << "n = " << c[0];
    EXPECT_EQ(SizeFor(0xFFFFFFF0u), 0u);  // would not fit in 32 bits
    EXPECT_EQ(BlockCountFor(64), 6u);
    EXPECT_EQ(BlockCountFor(15), 0u);  // no wrap-around below the minimum
}

// Flat-pad sized replies (outSize 22, a 40-byte buffer of 3 blocks) and
// battery sized ones (outSize 14, a 32-byte buffer of 2 blocks).
TEST(PlanReply, Decides) {
    const struct {
        const char* name;
        uint32_t bufferSize, returned, outSize, payloadLength, sizeField;
        bool enciphered;
        ReplyCheck check;
        uint32_t blocks, copy;
        bool truncated;
        uint32_t badValue;  // checked for a refused reply
    } cases[] = {
        {"Full", 40, 40, 22, 22, 40, true, ReplyCheck::Ok, 3, 22, false, 0},
        {"EmptyPayload", 40, 16, 22, 0, 16, true, ReplyCheck::Ok, 0, 0, false, 0},
        {"ElevenBytes", 40, 11, 22, 22, 40, true, ReplyCheck::TooShort, 0, 0, false, 11},
        {"ReturnedBeyondBuffer", 40, 4096, 22, 22, 40, true, ReplyCheck::Ok, 3, 22, false, 0},
        {"MoreThanOffered", 40, 40, 22, 24, 40, true, ReplyCheck::Ok, 3, 22, true, 0},
        // A driver that counts only what it answered: header and payload
        // (26 for the battery query), or header and padded payload. The
        // payload comes from the zeroed buffer whatever the count.
        {"BatteryHeaderAndPayload", 32, 26, 14, 14, 32, true, ReplyCheck::Ok, 2, 14, false, 0},
        {"BatteryHeaderAndPadded", 32, 28, 14, 14, 32, true, ReplyCheck::Ok, 2, 14, false, 0},
        // Enciphered: the size field names whole blocks, cut to the buffer.
        {"SizeFieldZero", 40, 40, 22, 22, 0, true, ReplyCheck::BadSizeField, 0, 0, false, 0},
        {"SizeBelow16", 40, 40, 22, 0, 8, true, ReplyCheck::BadSizeField, 0, 0, false, 8},
        {"SizeFourPastTheBlocks", 40, 40, 22, 22, 44, true, ReplyCheck::Ok, 3, 22, false, 0},
        {"SizeWrapsAround", 40, 40, 22, 22, 0xFFFFFFF8u, true, ReplyCheck::Ok, 3, 22, false, 0},
        {"SizeNotBlockMultipleShort", 40, 40, 22, 22, 36, true, ReplyCheck::BadPayloadLength, 0, 0, false, 22},
        {"PayloadBeyondSizeField", 40, 40, 22, 22, 32, true, ReplyCheck::BadPayloadLength, 0, 0, false, 22},
        {"SizeSixteenWithPayload", 40, 40, 22, 1, 16, true, ReplyCheck::BadPayloadLength, 0, 0, false, 1},
        {"SizeShortButPayloadFits", 40, 40, 22, 10, 32, true, ReplyCheck::Ok, 2, 10, false, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto r = Reply(c.bufferSize, c.payloadLength, c.sizeField);
        ReplyPlan plan;
        EXPECT_EQ(PlanReply(r.data(), c.bufferSize, c.returned, c.outSize, c.enciphered, &plan), c.check);
        EXPECT_EQ(plan.blocks, c.blocks);
        EXPECT_EQ(plan.copyLength, c.copy);
        EXPECT_EQ(plan.truncated, c.truncated);
        EXPECT_EQ(plan.badValue, c.check == ReplyCheck::Ok ? plan.badValue : c.badValue);
    }
}

}  // namespace
