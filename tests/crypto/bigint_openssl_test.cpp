// BigInt against OpenSSL's BIGNUM: multiplication, division and modular
// exponentiation on random operands of every size up to the capacity.
//
// Also keeps the recorded vectors of bigint_vectors.inc honest (every one is
// recomputed here), and rewrites them when BIGINT_VECTORS_OUT names a file:
//   BIGINT_VECTORS_OUT=$PWD/tests/crypto/bigint_vectors.inc
//     build/asan/tests/crypto/crypto_bigint_openssl_test --gtest_filter='BigIntVectors.Record'
#include <openssl/bn.h>
#include <stdio.h>
#include <stdlib.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "crypto/bigint.h"
#include "tests/crypto/bigint_test_util.h"

using namespace bigint_test;

namespace {

const BigIntVector kVectors[] = {
#include "tests/crypto/bigint_vectors.inc"
};

// OpenSSL's result for x op y (mod m), as canonical hex; '/' also gives the remainder.
std::string bn(char op, const std::string& x, const std::string& y, const std::string& m = "1",
               std::string* remainder = nullptr)
{
    BIGNUM *a = nullptr, *b = nullptr, *c = nullptr, *r = BN_new(), *s = BN_new();
    BN_CTX* ctx = BN_CTX_new();
    BN_hex2bn(&a, x.c_str());
    BN_hex2bn(&b, y.c_str());
    BN_hex2bn(&c, m.c_str());
    if (op == '*') BN_mul(r, a, b, ctx);
    if (op == '/') BN_div(r, s, a, b, ctx);
    if (op == '^') BN_mod_exp(r, a, b, c, ctx);
    std::string out[2];
    for (int i = 0; i < 2; ++i) {
        char* text = BN_bn2hex(i ? s : r);
        out[i] = toHex(parseHex(text));
        OPENSSL_free(text);
    }
    if (remainder) *remainder = out[1];
    for (BIGNUM* p : {a, b, c, r, s}) BN_free(p);
    BN_CTX_free(ctx);
    return out[0];
}

// A non-negative value of exactly `bits` bits; some follow patterns that
// stress carries and borrows (all ones, a lone top bit, 0x80000000 limbs).
std::string randomHex(std::mt19937_64& rng, uint32_t bits)
{
    if (bits == 0) return "0";
    Value v;
    v.magnitude.resize((bits + 31) / 32);
    const int pattern = int(rng() % 8);
    for (uint32_t& limb : v.magnitude)
        limb = pattern == 0 ? 0xFFFFFFFFu : pattern == 1 ? 0 : pattern == 2 ? 0x80000000u : uint32_t(rng());
    const uint32_t topBits = bits - 32 * (uint32_t(v.magnitude.size()) - 1);
    uint32_t& top = v.magnitude.back();
    if (topBits < 32) top &= (1u << topBits) - 1;
    top |= 1u << (topBits - 1);
    return toHex(v);
}

// A value of exactly `limbs` limbs (top limb 01...): random limbs (shape 0),
// all ones (1), or random with the low half zero (2).
std::string shaped(std::mt19937_64& rng, uint32_t limbs, int shape)
{
    Value v;
    for (uint32_t i = 0; i < limbs; ++i)
        v.magnitude.push_back(shape == 1 ? 0xFFFFFFFFu : shape == 2 && i < limbs / 2 ? 0 : uint32_t(rng()));
    v.magnitude.back() = (v.magnitude.back() & 0x7FFFFFFFu) | 0x40000000u;
    return toHex(v);
}

uint32_t randomIn(std::mt19937_64& rng, uint32_t lo, uint32_t hi) { return lo + uint32_t(rng() % (hi - lo + 1)); }

// Bits of a value that takes `limbs` limbs with its sign bit.
uint32_t bitsForLimbs(std::mt19937_64& rng, uint32_t limbs) { return randomIn(rng, 32 * (limbs - 1), 32 * limbs - 1); }

std::string maybeNegative(std::mt19937_64& rng, const std::string& hex)
{
    return (rng() & 1) && hex != "0" ? "-" + hex : hex;
}

TEST(BigIntOpenSsl, PrimeIsTheSecondOakleyGroupPrime)
{
    // RFC 2409, 6.2, as printed there.
    EXPECT_EQ(primeHex(),
              "FFFFFFFFFFFFFFFFC90FDAA22168C234C4C6628B80DC1CD1"
              "29024E088A67CC74020BBEA63B139B22514A08798E3404DD"
              "EF9519B3CD3A431B302B0A6DF25F14374FE1356D6D51C245"
              "E485B576625E7EC6F44C42E9A637ED6B0BFF5CB6F406B7ED"
              "EE386BFB5A899FA5AE9F24117C4B1FE649286651ECE65381"
              "FFFFFFFFFFFFFFFF");
    EXPECT_EQ(kOakleyGroup2Prime[32], 0u);
    // A safe prime: p and (p - 1) / 2 are both prime.
    BIGNUM *p = nullptr, *half = BN_new();
    BN_CTX* ctx = BN_CTX_new();
    BN_hex2bn(&p, primeHex().c_str());
    BN_rshift1(half, p);
    EXPECT_EQ(BN_check_prime(p, ctx, nullptr), 1);
    EXPECT_EQ(BN_check_prime(half, ctx, nullptr), 1);
    BN_free(p);
    BN_free(half);
    BN_CTX_free(ctx);
}

struct Case {
    char op;
    std::string x, y, m;
};

// Operands for op with x of `limbs` limbs (the modulus, for '^'). Products are
// kept to 2,111 bits: beyond that the result's limb count (one above the larger
// summand) leaves the capacity; so are divisors, as those needing all 67 limbs
// are beyond the subtraction's headroom. Moduli stay within 33 limbs, so that
// the square of a residue fits. `wide` also draws a zero factor and divisors
// above the dividend.
Case generate(std::mt19937_64& rng, char op, uint32_t limbs, bool wide)
{
    Case c{op, "", "", ""};
    if (op == '*') {
        const uint32_t xBits = std::min(bitsForLimbs(rng, limbs), 2110u);
        c.x = maybeNegative(rng, randomHex(rng, xBits));
        c.y = maybeNegative(rng, randomHex(rng, randomIn(rng, wide ? 0 : 1, 2111 - xBits)));
    } else if (op == '/') {
        const uint32_t aBits = bitsForLimbs(rng, limbs);
        c.x = randomHex(rng, aBits);
        c.y = randomHex(rng, randomIn(rng, 1, std::min(aBits + (wide ? 40 : 0), 2111u)));
    } else {
        c.x = randomHex(rng, bitsForLimbs(rng, randomIn(rng, 1, 67)));
        c.y = randomHex(rng, randomIn(rng, 1, 96));
        c.m = randomHex(rng, std::max(1u, bitsForLimbs(rng, limbs)));
    }
    return c;
}

// OpenSSL's results for the case, checked as the recorded vectors are.
void checkAgainstOpenSsl(const Case& c)
{
    std::string r1;
    const std::string r0 = bn(c.op, c.x, c.y, c.m.empty() ? "1" : c.m, &r1);
    check({c.op, c.x.c_str(), c.y.c_str(), c.m.c_str(), r0.c_str(), c.op == '/' ? r1.c_str() : ""});
}

class BigIntOpenSslBySize : public ::testing::TestWithParam<uint32_t> {};

// Then a long exponent of this size against a small modulus.
TEST_P(BigIntOpenSslBySize, MultiplyDivModModPowMatch)
{
    const uint32_t limbs = GetParam();
    std::mt19937_64 rng(0x5eed0000u + limbs);
    for (int round = 0; round < 12; ++round) {
        checkAgainstOpenSsl(generate(rng, '*', limbs, true));
        checkAgainstOpenSsl(generate(rng, '/', limbs, true));
        if (round < 3) checkAgainstOpenSsl(generate(rng, '^', (limbs - 1) % 33 + 1, true));
    }
    checkAgainstOpenSsl({'^', randomHex(rng, 60), randomHex(rng, bitsForLimbs(rng, limbs)), randomHex(rng, 50)});
}

INSTANTIATE_TEST_SUITE_P(Limbs, BigIntOpenSslBySize, ::testing::Range(1u, BigInt::kMaxLimbs + 1));

TEST(BigIntVectors, RecordedResultsAreOpenSslResults)
{
    ASSERT_GT(sizeof(kVectors) / sizeof(kVectors[0]), 150u);
    for (const BigIntVector& v : kVectors) {
        std::string r;
        EXPECT_EQ(v.r0, bn(v.op, v.x, v.y, *v.m ? v.m : "1", &r)) << v.op << v.x << " " << v.y;
        if (v.op == '/') { EXPECT_EQ(v.r1, r); }
    }
}

// Writes a fresh set of vectors when BIGINT_VECTORS_OUT is set.
TEST(BigIntVectors, Record)
{
    const char* path = getenv("BIGINT_VECTORS_OUT");
    if (path == nullptr) GTEST_SKIP() << "BIGINT_VECTORS_OUT not set";
    FILE* f = fopen(path, "w");
    ASSERT_NE(f, nullptr);
    fprintf(f, "// BigInt cases with results computed by OpenSSL (BN_mul, BN_div, BN_mod_exp).\n"
               "// Written by crypto_bigint_openssl_test with BIGINT_VECTORS_OUT set; do not edit.\n"
               "// {op, x, y, m, r0, r1}: '*' x*y = r0; '/' x/y = r0, x%%y = r1; '^' x^y mod m = r0.\n");
    auto emit = [f](const Case& c) {
        std::string r1;
        const std::string r0 = bn(c.op, c.x, c.y, c.m.empty() ? "1" : c.m, &r1);
        fprintf(f, "{'%c', \"%s\", \"%s\", \"%s\",\n \"%s\", \"%s\"},\n", c.op, c.x.c_str(), c.y.c_str(),
                c.m.c_str(), r0.c_str(), c.op == '/' ? r1.c_str() : "");
    };
    std::mt19937_64 rng(20160204);
    for (char op : {'*', '/', '^'})
        for (uint32_t limbs = 1; limbs <= (op == '^' ? 33 : BigInt::kMaxLimbs); ++limbs)
            emit(generate(rng, op, limbs, false));
    // As the handshake uses them: 2^x and B^x modulo the prime, x below 2^96.
    for (int round = 0; round < 3; ++round) {
        const std::string x = randomHex(rng, randomIn(rng, 90, 96));
        const std::string b = randomHex(rng, randomIn(rng, 1000, 1023));
        emit({'^', "2", x, primeHex()});
        emit({'^', b, x, primeHex()});
    }
    // Karatsuba's shapes: equal and unequal lengths, a short operand below the
    // split (f < h: empty high half), f == h, one-limb factors; random limbs (0),
    // all ones (1), zero low halves (2), each also against a random operand.
    const uint32_t shapes[][3] = {{33, 33, 0}, {33, 33, 1}, {33, 33, 2}, {33, 20, 0}, {20, 33, 0}, {33, 20, 2},
                                  {33, 2, 0}, {2, 33, 1}, {33, 16, 0}, {32, 16, 1}, {33, 1, 1}, {1, 33, 0},
                                  {3, 3, 1}, {2, 2, 1}, {17, 16, 0}, {40, 25, 0}, {64, 2, 1}};
    for (const auto& s : shapes) {
        for (int random = 0; random < 2; ++random) {
            const std::string x = shaped(rng, s[0], int(s[2])), y = shaped(rng, s[1], random ? 0 : int(s[2]));
            emit({'*', x, y, ""});
            emit({'*', "-" + x, y, ""});
        }
    }
    fclose(f);
}

}  // namespace
