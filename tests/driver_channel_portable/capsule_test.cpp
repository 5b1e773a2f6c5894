// Reply-capsule handling: which replies are accepted, how many blocks are
// deciphered and how many payload bytes are handed on.
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

struct PlanCase {
    const char* name;
    uint32_t bufferSize, returned, outSize, payloadLength, sizeField;
    bool enciphered;
    ReplyCheck check;
    uint32_t blocks, copy;
    bool truncated;
    uint32_t badValue;  // checked for a refused reply
};

class PlanReplyTest : public ::testing::TestWithParam<PlanCase> {};

TEST_P(PlanReplyTest, Decides) {
    const PlanCase& c = GetParam();
    auto r = Reply(c.bufferSize, c.payloadLength, c.sizeField);
    ReplyPlan plan;
    EXPECT_EQ(PlanReply(r.data(), c.bufferSize, c.returned, c.outSize, c.enciphered, &plan), c.check);
    EXPECT_EQ(plan.blocks, c.blocks);
    EXPECT_EQ(plan.copyLength, c.copy);
    EXPECT_EQ(plan.truncated, c.truncated);
    EXPECT_EQ(plan.badValue, c.check == ReplyCheck::Ok ? plan.badValue : c.badValue);
}

// Flat-pad sized replies (outSize 22, a 40-byte buffer of 3 blocks) and
// battery sized ones (outSize 14, a 32-byte buffer of 2 blocks).
INSTANTIATE_TEST_SUITE_P(
    Replies, PlanReplyTest,
    ::testing::Values(
        PlanCase{"Full", 40, 40, 22, 22, 40, true, ReplyCheck::Ok, 3, 22, false, 0},
        PlanCase{"Plain", 40, 40, 22, 22, 40, false, ReplyCheck::Ok, 0, 22, false, 0},
        PlanCase{"EmptyPayload", 40, 16, 22, 0, 16, true, ReplyCheck::Ok, 0, 0, false, 0},
        PlanCase{"NothingReturned", 40, 0, 22, 0, 0, true, ReplyCheck::TooShort, 0, 0, false, 0},
        PlanCase{"ElevenBytes", 40, 11, 22, 22, 40, true, ReplyCheck::TooShort, 0, 0, false, 11},
        PlanCase{"ElevenBytesPlain", 40, 11, 22, 22, 40, false, ReplyCheck::TooShort, 0, 0, false, 11},
        PlanCase{"HeaderOnly", 40, 12, 22, 0, 16, true, ReplyCheck::Ok, 0, 0, false, 0},
        PlanCase{"ReturnedBeyondBuffer", 40, 4096, 22, 22, 40, true, ReplyCheck::Ok, 3, 22, false, 0},
        PlanCase{"MoreThanOffered", 40, 40, 22, 24, 40, true, ReplyCheck::Ok, 3, 22, true, 0},
        PlanCase{"MoreThanOfferedHuge", 40, 40, 22, 0xFFFFFFFF, 40, true, ReplyCheck::Ok, 3, 22, true, 0},
        // A driver that counts only what it answered: header and payload
        // (26 for the battery query), or header and padded payload. The
        // payload comes from the zeroed buffer whatever the count.
        PlanCase{"BatteryHeaderAndPayload", 32, 26, 14, 14, 32, true, ReplyCheck::Ok, 2, 14, false, 0},
        PlanCase{"BatteryHeaderAndPadded", 32, 28, 14, 14, 32, true, ReplyCheck::Ok, 2, 14, false, 0},
        PlanCase{"BatteryHeaderAndPayloadPlain", 32, 26, 14, 14, 32, false, ReplyCheck::Ok, 0, 14, false, 0},
        PlanCase{"FlatPadHeaderAndPayload", 40, 34, 22, 22, 40, true, ReplyCheck::Ok, 3, 22, false, 0},
        // Without a cipher the size field is never read.
        PlanCase{"PlainSizeFieldZero", 40, 40, 22, 22, 0, false, ReplyCheck::Ok, 0, 22, false, 0},
        PlanCase{"PlainSizeFieldHuge", 40, 40, 22, 22, 0xFFFFFFF8u, false, ReplyCheck::Ok, 0, 22, false, 0},
        // Enciphered: the size field names whole blocks, cut to the buffer.
        PlanCase{"SizeFieldZero", 40, 40, 22, 22, 0, true, ReplyCheck::BadSizeField, 0, 0, false, 0},
        PlanCase{"SizeBelow16", 40, 40, 22, 0, 8, true, ReplyCheck::BadSizeField, 0, 0, false, 8},
        PlanCase{"SizeFourPastTheBlocks", 40, 40, 22, 22, 44, true, ReplyCheck::Ok, 3, 22, false, 0},
        PlanCase{"SizeBeyondBuffer", 40, 40, 22, 22, 48, true, ReplyCheck::Ok, 3, 22, false, 0},
        PlanCase{"SizeWrapsAround", 40, 40, 22, 22, 0xFFFFFFF8u, true, ReplyCheck::Ok, 3, 22, false, 0},
        PlanCase{"SizeNotBlockMultipleShort", 40, 40, 22, 22, 36, true, ReplyCheck::BadPayloadLength, 0, 0, false, 22},
        PlanCase{"PayloadBeyondSizeField", 40, 40, 22, 22, 32, true, ReplyCheck::BadPayloadLength, 0, 0, false, 22},
        PlanCase{"SizeSixteenWithPayload", 40, 40, 22, 1, 16, true, ReplyCheck::BadPayloadLength, 0, 0, false, 1},
        PlanCase{"SizeShortButPayloadFits", 40, 40, 22, 10, 32, true, ReplyCheck::Ok, 2, 10, false, 0}),
    [](const ::testing::TestParamInfo<PlanCase>& info) { return std::string(info.param.name); });

bool XorBlock(void* context, uint32_t* left, uint32_t* right) {
    int* calls = static_cast<int*>(context);
    if (*calls == 2) return false;
    ++*calls;
    *left ^= 0x01020304u;
    *right ^= 0xA0B0C0D0u;
    return true;
}

TEST(ForEachBlock, HalvesAreLittleEndianAndStopAtFirstFailure) {
    std::vector<uint8_t> c(16 + 24, 0);
    int calls = 0;
    uint32_t failed = 99;
    EXPECT_FALSE(ForEachBlock(c.data(), 3, XorBlock, &calls, &failed));
    EXPECT_EQ(failed, 2u);
    const uint8_t block[8] = {0x04, 0x03, 0x02, 0x01, 0xD0, 0xC0, 0xB0, 0xA0};
    for (size_t i = 0; i < c.size(); ++i)  // header, third block and trailer untouched
        EXPECT_EQ(c[i], i >= 12 && i < 28 ? block[(i - 12) % 8] : 0) << i;
}

TEST(CopyPayload, CopiesOnlyThePlannedBytes) {
    auto r = Reply(40, 24, 40);
    for (int i = 0; i < 28; ++i) r[12 + i] = static_cast<uint8_t>(i + 1);
    ReplyPlan plan;
    ASSERT_EQ(PlanReply(r.data(), 40, 40, 22, true, &plan), ReplyCheck::Ok);
    std::vector<uint8_t> out(24, 0xEE);
    CopyPayload(r.data(), plan, out.data());
    for (int i = 0; i < 24; ++i) EXPECT_EQ(out[i], i < 22 ? i + 1 : 0xEE) << i;
}

}  // namespace
