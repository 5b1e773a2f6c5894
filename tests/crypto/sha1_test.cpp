// SHA-1 and HMAC-SHA1 against published vectors (FIPS 180, RFC 2202), fed
// whole and in pieces, the final wipe and the HMAC key handling.
#include <gtest/gtest.h>
#include <string.h>

#include <string>
#include <vector>

#include "crypto/sha1.h"

namespace {

using Bytes = std::vector<uint8_t>;

std::string Hex(const uint8_t* bytes, size_t length = 20)
{
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (size_t i = 0; i < length; ++i) out += std::string{digits[bytes[i] >> 4], digits[bytes[i] & 15]};
    return out;
}

std::string DigestHex(Sha1Context& context)
{
    Sha1Final(&context);
    uint8_t digest[20];
    Sha1GetDigest(&context, digest);
    return Hex(digest);
}

std::string Sha1Hex(const Bytes& message, size_t piece)
{
    Sha1Context context;
    Sha1Init(&context);
    for (size_t at = 0; at < message.size(); at += piece)
        Sha1Update(&context, message.data() + at, uint32_t(std::min(piece, message.size() - at)));
    return DigestHex(context);
}

Bytes B(const std::string& s) { return {s.begin(), s.end()}; }
Bytes Repeat(uint8_t byte, size_t count) { return Bytes(count, byte); }
Bytes Series(uint8_t first, size_t count, uint8_t step = 1)
{
    Bytes out(count);
    for (size_t i = 0; i < count; ++i) out[i] = uint8_t(first + i * step);
    return out;
}

TEST(Sha1, VectorsWholeAndInPieces)
{
    const struct {
        Bytes message;
        const char* digest;
    } cases[] = {
        {B("abc"), "a9993e364706816aba3e25717850c26c9cd0d89d"},
        {B(""), "da39a3ee5e6b4b0d3255bfef95601890afd80709"},
        {B("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"), "84983e441c3bd26ebaae4aa1f95129e5e54670f1"},
        {B("abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnop"
           "qrlmnopqrsmnopqrstnopqrstu"),
         "a49b2446a02c645bf419f995b67091253a04a259"},
        {Repeat('a', 1000000), "34aa973cd4c4daa4f61eeb2bdbad27316534016f"},
        // Lengths around the padding boundaries.
        {Repeat('a', 55), "c1c8bbdc22796e28c0e15163d20899b65621d65a"},
        {Repeat('a', 56), "c2db330f6083854c99d4b5bfb6e8f29f201be699"},
        {Repeat('a', 64), "0098ba824b5c16427bd7a1122a5a442a25ec644d"},
    };
    for (const auto& c : cases) {
        for (size_t piece : {size_t(1), size_t(63), size_t(64), size_t(65), size_t(1000000)}) {
            if (piece == 1 && c.message.size() > 10000) continue;  // a million updates add only time
            EXPECT_EQ(c.digest, Sha1Hex(c.message, piece)) << "length " << c.message.size() << " piece " << piece;
        }
    }
}

TEST(Sha1, FinalWipesAllButTheDigest)
{
    Sha1Context context;
    memset(&context, 0xEE, sizeof context);
    Sha1Init(&context);
    Sha1Update(&context, Repeat('a', 100).data(), 100);
    EXPECT_EQ("7f9000257a4918d7072655ea468540cdcbd42e0c", DigestHex(context));
    static const uint8_t zeros[64] = {};
    EXPECT_EQ(0, memcmp(context.buffer, zeros, 64));
    EXPECT_EQ(0, memcmp(context.workBlock, zeros, 64));
    EXPECT_EQ(0u, context.count[0] | context.count[1]);
}

TEST(HmacSha1, Rfc2202AndKeyLengths)
{
    const std::string keyMessage = "Sixty-four byte keys are used as they stand";
    const struct {
        Bytes key, message;
        const char* mac;
    } cases[] = {
        {Repeat(0x0b, 20), B("Hi There"), "b617318655057264e28bc0b6fb378c8ef146be00"},
        {B("Jefe"), B("what do ya want for nothing?"), "effcdf6ae5eb2fa2d27416d5f184df9c259a7c79"},
        {Repeat(0xaa, 20), Repeat(0xdd, 50), "125d7342b9ac11cd91a39af48aa17b4f63f175d3"},
        {Series(1, 25), Repeat(0xcd, 50), "4c9007f4026250c6bc8414f9bf50c86c2d7235da"},
        {Repeat(0x0c, 20), B("Test With Truncation"), "4c1a03424b55e07fe7f27be1d58bb9324a9a5a04"},
        {Repeat(0xaa, 80), B("Test Using Larger Than Block-Size Key - Hash Key First"),
         "aa4ae5e15272d00e95705637ce8a3b55ed402112"},
        {Repeat(0xaa, 80), B("Test Using Larger Than Block-Size Key and Larger Than One Block-Size Data"),
         "e8e99d0f45237d786d6bbaa7965c7808bbff1a91"},
        // Exactly 64 bytes: used as is (hashing it would give 63dd8985...).
        {Series(0, 64), B(keyMessage), "8df6d0d8aa242070b37acb9faa77db2adeb7a81b"},
        {Series(0, 65), B(keyMessage), "2ce17dfbf12b800098dc59e19a6a935ffeabd539"},
    };
    for (const auto& c : cases) {
        Sha1Context context;
        memset(&context, 0xEE, sizeof context);
        uint8_t out[20];
        HmacSha1(&context, c.key.data(), uint32_t(c.key.size()), c.message.data(), uint32_t(c.message.size()), out);
        EXPECT_EQ(c.mac, Hex(out)) << "key length " << c.key.size();
    }
}

TEST(Sha1, NullArgumentsWriteNothing)
{
    Sha1Context context;
    const uint8_t key[4] = {1, 2, 3, 4};
    uint8_t out[20];
    memset(out, 0x77, sizeof out);
    EXPECT_EQ(nullptr, Sha1Init(nullptr));
    Sha1Update(nullptr, out, 20);
    Sha1Final(nullptr);
    EXPECT_EQ(nullptr, Sha1GetDigest(nullptr, out));
    HmacSha1(nullptr, key, 4, key, 4, out);
    HmacSha1(&context, nullptr, 4, key, 4, out);
    HmacSha1(&context, key, 4, nullptr, 4, out);
    HmacSha1(&context, key, 4, key, 4, nullptr);
    EXPECT_EQ(std::string(40, '7'), Hex(out));
    // A null data pointer is not read, whatever the length says.
    Sha1Init(&context);
    Sha1Update(&context, nullptr, 100);
    EXPECT_EQ("da39a3ee5e6b4b0d3255bfef95601890afd80709", DigestHex(context));
}

}  // namespace
