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

struct Bn {
    BIGNUM* p;
    Bn() : p(BN_new()) {}
    explicit Bn(const std::string& hex) : p(nullptr) { BN_hex2bn(&p, hex.c_str()); }
    ~Bn() { BN_free(p); }
    Bn(const Bn&) = delete;
    Bn& operator=(const Bn&) = delete;
};

struct Ctx {
    BN_CTX* p = BN_CTX_new();
    ~Ctx() { BN_CTX_free(p); }
};

std::string canonical(const BIGNUM* b)
{
    char* text = BN_bn2hex(b);
    std::string s = toHex(parseHex(text));
    OPENSSL_free(text);
    return s;
}

// A non-negative value of exactly `bits` bits; some follow patterns that
// stress carries and borrows (all ones, a lone top bit, 0x80000000 limbs).
std::string randomHex(std::mt19937_64& rng, uint32_t bits)
{
    if (bits == 0) return "0";
    Value v;
    v.magnitude.resize((bits + 31) / 32);
    const int pattern = int(rng() % 8);
    for (uint32_t& limb : v.magnitude) {
        switch (pattern) {
        case 0: limb = 0xFFFFFFFFu; break;
        case 1: limb = 0; break;
        case 2: limb = 0x80000000u; break;
        default: limb = uint32_t(rng()); break;
        }
    }
    const uint32_t topBits = bits - 32 * (uint32_t(v.magnitude.size()) - 1);
    uint32_t& top = v.magnitude.back();
    if (topBits < 32) top &= (1u << topBits) - 1;
    top |= 1u << (topBits - 1);
    return toHex(v);
}

uint32_t randomIn(std::mt19937_64& rng, uint32_t lo, uint32_t hi) { return lo + uint32_t(rng() % (hi - lo + 1)); }

// Bits of a value that takes `limbs` limbs with its sign bit.
uint32_t bitsForLimbs(std::mt19937_64& rng, uint32_t limbs) { return randomIn(rng, 32 * (limbs - 1), 32 * limbs - 1); }

std::string maybeNegative(std::mt19937_64& rng, const std::string& hex)
{
    return (rng() & 1) && hex != "0" ? "-" + hex : hex;
}

// Every result must also be a well-formed number.
void expectWellFormed(const BigInt& x)
{
    EXPECT_GE(x.limbCount, 1u);
    EXPECT_LE(x.limbCount, BigInt::kMaxLimbs);
    EXPECT_EQ(x.bitLength, expectedBitLength(valueOf(x))) << hexOf(x);
}

std::string bnMul(const std::string& x, const std::string& y)
{
    Bn a(x), b(y), r;
    Ctx ctx;
    BN_mul(r.p, a.p, b.p, ctx.p);
    return canonical(r.p);
}

void bnDiv(const std::string& x, const std::string& y, std::string& q, std::string& r)
{
    Bn a(x), b(y), bq, br;
    Ctx ctx;
    BN_div(bq.p, br.p, a.p, b.p, ctx.p);
    q = canonical(bq.p);
    r = canonical(br.p);
}

std::string bnModExp(const std::string& x, const std::string& y, const std::string& m)
{
    Bn a(x), b(y), c(m), r;
    Ctx ctx;
    BN_mod_exp(r.p, a.p, b.p, c.p, ctx.p);
    return canonical(r.p);
}

std::string primeHex()
{
    Value v;
    v.magnitude.assign(kOakleyGroup2Prime, kOakleyGroup2Prime + 33);
    trim(v.magnitude);
    return toHex(v);
}

// ---------------------------------------------------------------------------

TEST(BigIntOpenSsl, PrimeIsTheSecondOakleyGroupPrime)
{
    // RFC 2409, 6.2, as printed there.
    const char* rfc =
        "FFFFFFFFFFFFFFFFC90FDAA22168C234C4C6628B80DC1CD1"
        "29024E088A67CC74020BBEA63B139B22514A08798E3404DD"
        "EF9519B3CD3A431B302B0A6DF25F14374FE1356D6D51C245"
        "E485B576625E7EC6F44C42E9A637ED6B0BFF5CB6F406B7ED"
        "EE386BFB5A899FA5AE9F24117C4B1FE649286651ECE65381"
        "FFFFFFFFFFFFFFFF";
    EXPECT_EQ(kOakleyGroup2Prime[32], 0u);
    EXPECT_EQ(primeHex(), rfc);
    Bn builtIn;
    BN_get_rfc2409_prime_1024(builtIn.p);
    EXPECT_EQ(primeHex(), canonical(builtIn.p));

    // A safe prime: p and (p - 1) / 2 are both prime.
    Bn p(primeHex()), half;
    Ctx ctx;
    BN_rshift1(half.p, p.p);
    EXPECT_EQ(BN_check_prime(p.p, ctx.p, nullptr), 1);
    EXPECT_EQ(BN_check_prime(half.p, ctx.p, nullptr), 1);
}

class BigIntOpenSslBySize : public ::testing::TestWithParam<uint32_t> {
protected:
    std::mt19937_64 rng{0x5eed0000u + GetParam()};
};

// Products are kept to 2,111 bits: beyond that the result's limb count
// (one above the larger summand) leaves the capacity.
TEST_P(BigIntOpenSslBySize, MultiplyMatches)
{
    const uint32_t limbs = GetParam();
    for (int round = 0; round < 12; ++round) {
        const uint32_t xBits = std::min(bitsForLimbs(rng, limbs), 2110u);
        const uint32_t yBits = randomIn(rng, 0, 2111 - xBits);
        const std::string x = maybeNegative(rng, randomHex(rng, xBits));
        const std::string y = maybeNegative(rng, randomHex(rng, yBits));
        const BigInt a = bigIntFromHex(x), b = bigIntFromHex(y);
        BigInt p;
        BigInt::multiply(a, b, p);
        EXPECT_EQ(hexOf(p), bnMul(x, y)) << x << " * " << y;
        expectWellFormed(p);
        // Both operand orders, and the output aliasing an input.
        BigInt swapped = b;
        BigInt::multiply(a, swapped, swapped);
        EXPECT_EQ(hexOf(swapped), hexOf(p));
    }
}

TEST_P(BigIntOpenSslBySize, DivModMatches)
{
    const uint32_t limbs = GetParam();
    for (int round = 0; round < 12; ++round) {
        const uint32_t aBits = bitsForLimbs(rng, limbs);
        // Divisors that need all 67 limbs are beyond the subtraction's headroom.
        const uint32_t dBits = randomIn(rng, 1, std::min(aBits + 40, 2111u));
        const std::string x = randomHex(rng, aBits), y = randomHex(rng, dBits);
        const BigInt a = bigIntFromHex(x), d = bigIntFromHex(y);
        BigInt q, r;
        ASSERT_TRUE(BigInt::divMod(a, d, q, r));
        std::string eq, er;
        bnDiv(x, y, eq, er);
        EXPECT_EQ(hexOf(q), eq) << x << " / " << y;
        EXPECT_EQ(hexOf(r), er) << x << " % " << y;
        expectWellFormed(q);
        expectWellFormed(r);
        if (BigInt::compare(d, a) <= 0 && d.bitLength > 32) {
            // The bit-serial remainder is held in the divisor's limbs (one
            // more only after a subtraction from a value filling bit 31).
            EXPECT_GE(r.limbCount, d.neededLimbs());
            EXPECT_LE(r.limbCount, d.neededLimbs() + (d.bitLength % 32 == 31 ? 1u : 0u));
        }
    }
}

// Moduli up to 33 limbs: the square of a residue must fit the capacity.
TEST_P(BigIntOpenSslBySize, ModPowMatches)
{
    const uint32_t limbs = GetParam();
    const uint32_t modLimbs = (limbs - 1) % 33 + 1;
    for (int round = 0; round < 2; ++round) {
        const std::string base = randomHex(rng, bitsForLimbs(rng, limbs));
        const std::string exp = randomHex(rng, randomIn(rng, 1, 128));
        std::string mod = randomHex(rng, bitsForLimbs(rng, modLimbs));
        if (mod == "0") mod = "1";
        BigInt out;
        ASSERT_TRUE(BigInt::modPow(bigIntFromHex(base), bigIntFromHex(exp), bigIntFromHex(mod), out));
        EXPECT_EQ(hexOf(out), bnModExp(base, exp, mod)) << base << " ^ " << exp << " mod " << mod;
        expectWellFormed(out);
    }
    // A long exponent of this size against a small modulus.
    const std::string base = randomHex(rng, 60), exp = randomHex(rng, bitsForLimbs(rng, limbs));
    const std::string mod = randomHex(rng, 50);
    BigInt out;
    ASSERT_TRUE(BigInt::modPow(bigIntFromHex(base), bigIntFromHex(exp), bigIntFromHex(mod), out));
    EXPECT_EQ(hexOf(out), bnModExp(base, exp, mod));
}

INSTANTIATE_TEST_SUITE_P(Limbs, BigIntOpenSslBySize, ::testing::Range(1u, BigInt::kMaxLimbs + 1));

TEST(BigIntOpenSsl, HandshakeExponentiationsMatch)
{
    std::mt19937_64 rng(2409);
    const std::string p = primeHex();
    for (int round = 0; round < 4; ++round) {
        uint32_t x[4] = {uint32_t(rng()), uint32_t(rng()), uint32_t(rng()), 0};
        uint32_t a[33] = {0}, z[33] = {0};
        ASSERT_TRUE(pow2mod(a, 33, x, 4, kOakleyGroup2Prime, 33));
        Value xv;
        xv.magnitude.assign(x, x + 4);
        trim(xv.magnitude);
        const std::string xHex = toHex(xv);
        Value av;
        av.magnitude.assign(a, a + 33);
        trim(av.magnitude);
        EXPECT_EQ(toHex(av), bnModExp("2", xHex, p));

        // The peer's value B, any residue, raised to the same exponent.
        const std::string b = randomHex(rng, 1000 + uint32_t(rng() % 24));
        const std::vector<uint32_t> bl = limbsOf(parseHex(b));
        uint32_t B[33] = {0};
        std::copy(bl.begin(), bl.end(), B);
        ASSERT_TRUE(powmod(z, 33, B, 33, x, 4, kOakleyGroup2Prime, 33));
        Value zv;
        zv.magnitude.assign(z, z + 33);
        trim(zv.magnitude);
        EXPECT_EQ(toHex(zv), bnModExp(b, xHex, p));
        EXPECT_EQ(z[32], 0u);
    }
}

// ---------------------------------------------------------------------------
// Recorded vectors for the builds without OpenSSL.

TEST(BigIntVectors, RecordedResultsAreOpenSslResults)
{
    ASSERT_GT(sizeof(kVectors) / sizeof(kVectors[0]), 150u);
    for (const BigIntVector& v : kVectors) {
        switch (v.op) {
        case '*':
            EXPECT_EQ(v.r0, bnMul(v.x, v.y));
            break;
        case '/': {
            std::string q, r;
            bnDiv(v.x, v.y, q, r);
            EXPECT_EQ(v.r0, q);
            EXPECT_EQ(v.r1, r);
            break;
        }
        case '^':
            EXPECT_EQ(v.r0, bnModExp(v.x, v.y, v.m));
            break;
        default:
            ADD_FAILURE() << "unknown operation " << v.op;
        }
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
    auto emit = [f](char op, const std::string& x, const std::string& y, const std::string& m,
                    const std::string& r0, const std::string& r1) {
        fprintf(f, "{'%c', \"%s\", \"%s\", \"%s\",\n \"%s\", \"%s\"},\n", op, x.c_str(), y.c_str(),
                m.c_str(), r0.c_str(), r1.c_str());
    };
    std::mt19937_64 rng(20160204);
    for (uint32_t limbs = 1; limbs <= BigInt::kMaxLimbs; ++limbs) {
        const uint32_t xBits = std::min(bitsForLimbs(rng, limbs), 2110u);
        const std::string x = maybeNegative(rng, randomHex(rng, xBits));
        const std::string y = maybeNegative(rng, randomHex(rng, randomIn(rng, 1, 2111 - xBits)));
        emit('*', x, y, "", bnMul(x, y), "");
    }
    for (uint32_t limbs = 1; limbs <= BigInt::kMaxLimbs; ++limbs) {
        const uint32_t aBits = bitsForLimbs(rng, limbs);
        const std::string x = randomHex(rng, aBits);
        const std::string y = randomHex(rng, randomIn(rng, 1, std::min(aBits, 2111u)));
        std::string q, r;
        bnDiv(x, y, q, r);
        emit('/', x, y, "", q, r);
    }
    for (uint32_t limbs = 1; limbs <= 33; ++limbs) {
        const std::string base = randomHex(rng, bitsForLimbs(rng, randomIn(rng, 1, 67)));
        const std::string exp = randomHex(rng, randomIn(rng, 1, 96));
        const std::string mod = randomHex(rng, std::max(1u, bitsForLimbs(rng, limbs)));
        emit('^', base, exp, mod, bnModExp(base, exp, mod), "");
    }
    // As the handshake uses them: 2^x and B^x modulo the prime, x below 2^96.
    const std::string p = primeHex();
    for (int round = 0; round < 3; ++round) {
        const std::string x = randomHex(rng, randomIn(rng, 90, 96));
        const std::string b = randomHex(rng, randomIn(rng, 1000, 1023));
        emit('^', "2", x, p, bnModExp("2", x, p), "");
        emit('^', b, x, p, bnModExp(b, x, p), "");
    }
    fclose(f);
}

}  // namespace
