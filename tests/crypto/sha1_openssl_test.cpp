// Differential check of SHA-1 and HMAC-SHA1 against OpenSSL on pseudo-random
// messages fed in pseudo-random pieces, and keys of every length up to 200
// (native build only).
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/sha.h>
#include <string.h>

#include <random>
#include <vector>

#include "crypto/sha1.h"

namespace {

TEST(Sha1OpenSsl, RandomMessagesPiecesAndKeys)
{
    std::mt19937 rng(20261207);
    for (int round = 0; round < 300; ++round) {
        std::vector<uint8_t> message(rng() % 2000), key(rng() % 200);
        for (auto& b : message) b = uint8_t(rng());
        for (auto& b : key) b = uint8_t(rng());
        key.reserve(1);  // data() must not be null for an empty key
        message.reserve(1);

        Sha1Context context;
        Sha1Init(&context);
        for (size_t at = 0, n; at < message.size(); at += n) {
            n = std::min<size_t>(rng() % 150, message.size() - at);
            Sha1Update(&context, message.data() + at, uint32_t(n));
        }
        Sha1Final(&context);
        uint8_t ours[20], theirs[20];
        Sha1GetDigest(&context, ours);
        SHA1(message.data(), message.size(), theirs);
        ASSERT_EQ(0, memcmp(ours, theirs, 20)) << "length " << message.size();

        const size_t macLength = rng() % 300;  // a prefix of the message
        unsigned theirLength = 0;
        HmacSha1(&context, key.data(), uint32_t(key.size()), message.data(), uint32_t(std::min(macLength, message.size())), ours);
        HMAC(EVP_sha1(), key.data(), int(key.size()), message.data(), std::min(macLength, message.size()), theirs, &theirLength);
        ASSERT_EQ(20u, theirLength);
        ASSERT_EQ(0, memcmp(ours, theirs, 20)) << "key length " << key.size() << ", message length " << macLength;
    }
}

}  // namespace
