// SHA-1 and HMAC-SHA1 against published vectors, piecewise feeding, the final
// wipe and the HMAC key handling.
#include <gtest/gtest.h>
#include <string.h>

#include <string>
#include <vector>

#include "crypto/sha1.h"

namespace {

std::string Hex(const uint8_t* bytes, size_t length)
{
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (size_t i = 0; i < length; ++i) {
        out += digits[bytes[i] >> 4];
        out += digits[bytes[i] & 15];
    }
    return out;
}

std::string Sha1Hex(const std::vector<uint8_t>& message, size_t piece)
{
    Sha1Context context;
    Sha1Init(&context);
    for (size_t at = 0; at < message.size(); at += piece) {
        const size_t n = std::min(piece, message.size() - at);
        Sha1Update(&context, message.data() + at, uint32_t(n));
    }
    Sha1Final(&context);
    uint8_t digest[20];
    Sha1GetDigest(&context, digest);
    return Hex(digest, 20);
}

std::vector<uint8_t> Bytes(const std::string& s) { return {s.begin(), s.end()}; }
std::vector<uint8_t> Repeat(uint8_t byte, size_t count) { return std::vector<uint8_t>(count, byte); }

struct DigestCase {
    std::vector<uint8_t> message;
    const char* digest;
};

std::vector<DigestCase> DigestCases()
{
    std::vector<uint8_t> pattern(1000);
    for (size_t i = 0; i < pattern.size(); ++i)
        pattern[i] = uint8_t(i * 7 + 3);
    return {
        // FIPS 180 examples.
        {Bytes("abc"), "a9993e364706816aba3e25717850c26c9cd0d89d"},
        {Bytes(""), "da39a3ee5e6b4b0d3255bfef95601890afd80709"},
        {Bytes("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
         "84983e441c3bd26ebaae4aa1f95129e5e54670f1"},
        {Bytes("abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnop"
               "qrlmnopqrsmnopqrstnopqrstu"),
         "a49b2446a02c645bf419f995b67091253a04a259"},
        {Repeat('a', 1000000), "34aa973cd4c4daa4f61eeb2bdbad27316534016f"},
        // Lengths around the padding boundaries.
        {Repeat('a', 55), "c1c8bbdc22796e28c0e15163d20899b65621d65a"},
        {Repeat('a', 56), "c2db330f6083854c99d4b5bfb6e8f29f201be699"},
        {Repeat('a', 63), "03f09f5b158a7a8cdad920bddc29b81c18a551f5"},
        {Repeat('a', 64), "0098ba824b5c16427bd7a1122a5a442a25ec644d"},
        {Repeat('a', 119), "ee971065aaa017e0632a8ca6c77bb3bf8b1dfc56"},
        {Repeat('a', 120), "f34c1488385346a55709ba056ddd08280dd4c6d6"},
        {pattern, "4231a8a50a10fa9758db8ec71fdef855b751048a"},
    };
}

TEST(Sha1, VectorsWholeAndInPieces)
{
    for (const DigestCase& c : DigestCases()) {
        for (size_t piece : {size_t(1), size_t(63), size_t(64), size_t(65), size_t(1000000)}) {
            if (piece == 1 && c.message.size() > 10000)
                continue;  // a million single-byte updates add nothing but time
            SCOPED_TRACE(testing::Message() << "length " << c.message.size() << " piece " << piece);
            EXPECT_EQ(c.digest, Sha1Hex(c.message, piece));
        }
    }
}

TEST(Sha1, FinalKeepsOnlyTheDigest)
{
    Sha1Context context;
    memset(&context, 0xEE, sizeof context);
    Sha1Init(&context);
    const std::vector<uint8_t> message = Repeat('a', 100);
    Sha1Update(&context, message.data(), uint32_t(message.size()));
    Sha1Final(&context);

    static const uint8_t zeros[64] = {};
    EXPECT_EQ(0, memcmp(context.buffer, zeros, 64));
    EXPECT_EQ(0, memcmp(context.workBlock, zeros, 64));
    EXPECT_EQ(0u, context.count[0]);
    EXPECT_EQ(0u, context.count[1]);

    // The digest stays readable, any number of times.
    uint8_t first[20], second[20];
    EXPECT_EQ(&context, Sha1GetDigest(&context, first));
    EXPECT_EQ(&context, Sha1GetDigest(&context, second));
    EXPECT_EQ("7f9000257a4918d7072655ea468540cdcbd42e0c", Hex(first, 20));
    EXPECT_EQ(0, memcmp(first, second, 20));
}

TEST(Sha1, BitCountCarriesIntoHighWord)
{
    Sha1Context context;
    Sha1Init(&context);
    context.count[0] = 0xFFFFFE00;  // 2^32 - 512 bits: buffer empty
    const std::vector<uint8_t> block = Repeat(0x5A, 65);
    Sha1Update(&context, block.data(), 65);
    EXPECT_EQ(0x00000008u, context.count[0]);
    EXPECT_EQ(1u, context.count[1]);
}

TEST(Sha1, NullArgumentsDoNothing)
{
    uint8_t out[20];
    memset(out, 0x77, sizeof out);
    EXPECT_EQ(nullptr, Sha1Init(nullptr));
    Sha1Update(nullptr, out, 20);
    Sha1Final(nullptr);
    EXPECT_EQ(nullptr, Sha1GetDigest(nullptr, out));
    EXPECT_EQ(std::string(40, '7'), Hex(out, 20));

    // A null data pointer is not read, whatever the length says.
    Sha1Context context;
    Sha1Init(&context);
    Sha1Update(&context, nullptr, 100);
    Sha1Final(&context);
    Sha1GetDigest(&context, out);
    EXPECT_EQ("da39a3ee5e6b4b0d3255bfef95601890afd80709", Hex(out, 20));
}

struct HmacCase {
    std::vector<uint8_t> key;
    std::vector<uint8_t> message;
    const char* mac;
};

std::vector<uint8_t> Sequence(uint8_t first, size_t count)
{
    std::vector<uint8_t> out(count);
    for (size_t i = 0; i < count; ++i)
        out[i] = uint8_t(first + i);
    return out;
}

TEST(HmacSha1, Rfc2202AndKeyLengths)
{
    const std::string keyMessage = "Sixty-four byte keys are used as they stand";
    const HmacCase cases[] = {
        {Repeat(0x0b, 20), Bytes("Hi There"), "b617318655057264e28bc0b6fb378c8ef146be00"},
        {Bytes("Jefe"), Bytes("what do ya want for nothing?"), "effcdf6ae5eb2fa2d27416d5f184df9c259a7c79"},
        {Repeat(0xaa, 20), Repeat(0xdd, 50), "125d7342b9ac11cd91a39af48aa17b4f63f175d3"},
        {Sequence(1, 25), Repeat(0xcd, 50), "4c9007f4026250c6bc8414f9bf50c86c2d7235da"},
        {Repeat(0x0c, 20), Bytes("Test With Truncation"), "4c1a03424b55e07fe7f27be1d58bb9324a9a5a04"},
        {Repeat(0xaa, 80), Bytes("Test Using Larger Than Block-Size Key - Hash Key First"),
         "aa4ae5e15272d00e95705637ce8a3b55ed402112"},
        {Repeat(0xaa, 80),
         Bytes("Test Using Larger Than Block-Size Key and Larger Than One Block-Size Data"),
         "e8e99d0f45237d786d6bbaa7965c7808bbff1a91"},
        // Exactly 64 bytes: used as is (hashing it would give 63dd8985...).
        {Sequence(0, 64), Bytes(keyMessage), "8df6d0d8aa242070b37acb9faa77db2adeb7a81b"},
        {Sequence(0, 65), Bytes(keyMessage), "2ce17dfbf12b800098dc59e19a6a935ffeabd539"},
    };
    for (const HmacCase& c : cases) {
        SCOPED_TRACE(testing::Message() << "key length " << c.key.size() << ", mac " << c.mac);
        Sha1Context context;
        memset(&context, 0xEE, sizeof context);
        uint8_t out[20];
        HmacSha1(&context, c.key.data(), uint32_t(c.key.size()), c.message.data(),
                 uint32_t(c.message.size()), out);
        EXPECT_EQ(c.mac, Hex(out, 20));

        // The scratch context is left freshly initialised: it hashes "abc" right away.
        Sha1Update(&context, reinterpret_cast<const uint8_t*>("abc"), 3);
        Sha1Final(&context);
        Sha1GetDigest(&context, out);
        EXPECT_EQ("a9993e364706816aba3e25717850c26c9cd0d89d", Hex(out, 20));
    }
}

TEST(HmacSha1, NullArgumentsWriteNothing)
{
    Sha1Context context;
    const uint8_t key[4] = {1, 2, 3, 4};
    const uint8_t message[4] = {5, 6, 7, 8};
    uint8_t out[20];
    memset(out, 0x77, sizeof out);
    HmacSha1(nullptr, key, 4, message, 4, out);
    HmacSha1(&context, nullptr, 4, message, 4, out);
    HmacSha1(&context, key, 4, nullptr, 4, out);
    HmacSha1(&context, key, 4, message, 4, nullptr);
    EXPECT_EQ(std::string(40, '7'), Hex(out, 20));
}

}  // namespace
