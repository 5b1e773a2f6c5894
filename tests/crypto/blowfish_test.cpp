// Blowfish with sign-extended key bytes and little-endian block halves.
//
// The cipher works on the two block halves as words. A published vector with
// block bytes b0..b7 has left = b0b1b2b3 read big-endian; in this system's
// byte order the same words travel as the buffer b3 b2 b1 b0 b7 b6 b5 b4, so
// the vectors below are given as words.
#include <gtest/gtest.h>
#include <string.h>

#include <string>
#include <vector>

#include "crypto/blowfish.h"

namespace {

struct Vector {
    const char* key;  // hex
    uint32_t plainLeft, plainRight, cipherLeft, cipherRight;
};

const Vector kVectors[] = {
    // Keys with every byte below 0x80: published standard vectors (Eric Young's ecb table).
    {"0000000000000000", 0x00000000, 0x00000000, 0x4EF99745, 0x6198DD78},
    {"3000000000000000", 0x10000000, 0x00000001, 0x7D856F9A, 0x613063F2},
    {"1111111111111111", 0x11111111, 0x11111111, 0x2466DD87, 0x8B963C9D},
    {"1111111111111111", 0x01234567, 0x89ABCDEF, 0x7D0CC630, 0xAFDA1EC7},
    {"0101010101010101", 0x01234567, 0x89ABCDEF, 0xFA34EC48, 0x47B268B2},
    {"1F1F1F1F0E0E0E0E", 0x01234567, 0x89ABCDEF, 0xA7907951, 0x08EA3CAE},
    {"0000000000000000", 0xFFFFFFFF, 0xFFFFFFFF, 0x014933E0, 0xCDAFF6E4},
    // Key lengths that do not divide the 72 subkey bytes, from the transcript
    // checker's model (tests/driver_channel/check_transcript.py, class Blowfish).
    {"7F", 0x01234567, 0x89ABCDEF, 0x0AF10216, 0x605EDCD2},
    {"0102030405", 0x01234567, 0x89ABCDEF, 0xC27C55D0, 0xB4796E71},
    {"3A0B7C1D5E2F10", 0xFEDCBA98, 0x76543210, 0x7F1FEB49, 0x8B804573},
    {"0F1E2D3C4B5A69780F1E2D3C4B", 0x00000000, 0x00000000, 0x22325C6E, 0xC4D6D2A9},

    // Keys with bytes of 0x80 and above, from the same independent model. Most
    // differ from standard Blowfish; those marked "standard" have their high
    // bytes only where sign extension is shifted out. Random keys of this kind
    // are met in every Wine test, whose transcripts that model checks.
    {"FFFFFFFFFFFFFFFF", 0xFFFFFFFF, 0xFFFFFFFF, 0x51866FD5, 0xB85ECB8A},  // standard
    {"0123456789ABCDEF", 0x11111111, 0x11111111, 0x90D55016, 0x8D9725AC},
    {"808182838485868788898A8B8C8D8E8F", 0x01234567, 0x89ABCDEF, 0x29F9AAE8, 0xA0210EE1},
    // Both keys give the subkey word FFFFFF80 throughout.
    {"7F807F807F807F807F807F807F807F80", 0x00000000, 0x00000000, 0xF610DD98, 0x673A7387},
    {"80", 0x00000000, 0x00000000, 0xF610DD98, 0x673A7387},
    {"FF", 0x00000000, 0x00000000, 0xF21E9A77, 0xB71C49BC},  // standard
};

std::vector<uint8_t> FromHex(const char* hex)
{
    std::vector<uint8_t> out;
    for (size_t i = 0; hex[i] && hex[i + 1]; i += 2)
        out.push_back(uint8_t(std::stoul(std::string(hex + i, 2), nullptr, 16)));
    return out;
}

BlowfishContext g_context, g_other;  // 4 KiB each: kept off the stack

TEST(Blowfish, VectorsBothWays)
{
    for (const Vector& v : kVectors) {
        SCOPED_TRACE(testing::Message() << "key " << v.key << " plain " << std::hex << v.plainLeft);
        const std::vector<uint8_t> key = FromHex(v.key);
        ASSERT_TRUE(BlowfishInitialize(&g_context, key.data(), uint32_t(key.size())));
        uint32_t l = v.plainLeft, r = v.plainRight;
        ASSERT_TRUE(BlowfishEncipher(&g_context, &l, &r));
        EXPECT_EQ(v.cipherLeft, l);
        EXPECT_EQ(v.cipherRight, r);
        ASSERT_TRUE(BlowfishDecipher(&g_context, &l, &r));
        EXPECT_EQ(v.plainLeft, l);
        EXPECT_EQ(v.plainRight, r);
    }
}

TEST(Blowfish, NullArgumentsAreRefusedAndChangeNothing)
{
    const uint8_t key[4] = {1, 2, 3, 4};
    ASSERT_TRUE(BlowfishInitialize(&g_context, key, 4));
    memcpy(&g_other, &g_context, sizeof g_context);
    using Op = bool (*)(const BlowfishContext*, uint32_t*, uint32_t*);
    for (Op op : {Op(BlowfishEncipher), Op(BlowfishDecipher)}) {
        uint32_t l = 1, r = 2;
        EXPECT_FALSE(op(&g_context, nullptr, &r));
        EXPECT_FALSE(op(&g_context, &l, nullptr));
        EXPECT_FALSE(op(nullptr, &l, &r));
        EXPECT_EQ(l * 10 + r, 12u);
    }
    EXPECT_FALSE(BlowfishInitialize(nullptr, key, 4));
    // A null or empty key cannot be cycled over the subkeys: refused, context kept.
    EXPECT_FALSE(BlowfishInitialize(&g_context, nullptr, 4));
    EXPECT_FALSE(BlowfishInitialize(&g_context, key, 0));
    EXPECT_EQ(0, memcmp(&g_other, &g_context, sizeof g_context));
}

}  // namespace
