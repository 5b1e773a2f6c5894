// BigInt and pow2mod/powmod in every build (native, i686 and x86_64 under
// Wine): the differential cases recorded from OpenSSL, and the representation's
// corner cases, where sign, carries and limb counts go wrong first.
#include <stdint.h>
#include <string.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "crypto/bigint.h"
#include "tests/crypto/bigint_test_util.h"

#ifdef _WIN32
#include <windows.h>
#endif

using namespace bigint_test;

namespace {

const BigIntVector kVectors[] = {
#include "tests/crypto/bigint_vectors.inc"
};

BigInt H(const char* hex) { return bigIntFromHex(hex); }

BigInt fromLimbs(std::vector<uint32_t> limbs)
{
    BigInt x;
    x.fromLimbs(limbs.data(), uint32_t(limbs.size()));
    return x;
}

std::string primeHex()
{
    Value v;
    v.magnitude.assign(kOakleyGroup2Prime, kOakleyGroup2Prime + 33);
    trim(v.magnitude);
    return toHex(v);
}

// Product by the schoolbook method, for comparison with Karatsuba.
std::string schoolbook(const std::string& x, const std::string& y)
{
    const Value a = parseHex(x), b = parseHex(y);
    Value p;
    p.negative = a.negative != b.negative;
    p.magnitude.assign(a.magnitude.size() + b.magnitude.size() + 1, 0);
    for (size_t i = 0; i < a.magnitude.size(); ++i) {
        uint64_t carry = 0;
        for (size_t j = 0; j < b.magnitude.size(); ++j) {
            carry += uint64_t(a.magnitude[i]) * b.magnitude[j] + p.magnitude[i + j];
            p.magnitude[i + j] = uint32_t(carry);
            carry >>= 32;
        }
        for (size_t k = i + b.magnitude.size(); carry; ++k) {
            carry += p.magnitude[k];
            p.magnitude[k] = uint32_t(carry);
            carry >>= 32;
        }
    }
    trim(p.magnitude);
    if (p.magnitude.empty()) p.negative = false;
    return toHex(p);
}

// Deterministic operands of a given size and shape.
std::string operand(uint32_t limbs, uint32_t seed, int shape)
{
    Value v;
    uint32_t s = seed * 2654435761u + 12345u;
    for (uint32_t i = 0; i < limbs; ++i) {
        s = s * 1664525u + 1013904223u;
        uint32_t limb = s ^ (s >> 13);
        if (shape == 1) limb = 0xFFFFFFFFu;
        v.magnitude.push_back(limb);
    }
    v.magnitude.back() &= 0x7FFFFFFFu;  // the value needs exactly `limbs` limbs
    v.magnitude.back() |= 0x40000000u;
    if (shape == 2)  // low half zero
        for (uint32_t i = 0; i < limbs / 2; ++i) v.magnitude[i] = 0;
    return toHex(v);
}

void expectWellFormed(const BigInt& x)
{
    EXPECT_GE(x.limbCount, 1u);
    EXPECT_LE(x.limbCount, BigInt::kMaxLimbs);
    EXPECT_EQ(x.bitLength, expectedBitLength(valueOf(x))) << hexOf(x);
}

// ---------------------------------------------------------------------------

TEST(BigIntVectors, MatchRecordedOpenSslResults)
{
    size_t count = 0;
    for (const BigIntVector& v : kVectors) {
        SCOPED_TRACE(testing::Message() << v.op << " x=" << v.x << " y=" << v.y << " m=" << v.m);
        BigInt r0, r1;
        switch (v.op) {
        case '*':
            BigInt::multiply(H(v.x), H(v.y), r0);
            EXPECT_EQ(hexOf(r0), v.r0);
            break;
        case '/':
            ASSERT_TRUE(BigInt::divMod(H(v.x), H(v.y), r0, r1));
            EXPECT_EQ(hexOf(r0), v.r0);
            EXPECT_EQ(hexOf(r1), v.r1);
            expectWellFormed(r1);
            break;
        case '^':
            ASSERT_TRUE(BigInt::modPow(H(v.x), H(v.y), H(v.m), r0));
            EXPECT_EQ(hexOf(r0), v.r0);
            break;
        }
        expectWellFormed(r0);
        ++count;
    }
    EXPECT_GT(count, 150u);
}

// The handshake's calls: 2^x with a 4-limb exponent whose last limb is 0, and
// B^x, both modulo the prime, into 33-limb buffers.
TEST(BigIntVectors, HandshakeCallsMatchRecordedResults)
{
    const std::string p = primeHex();
    int checked = 0;
    for (const BigIntVector& v : kVectors) {
        if (v.op != '^' || v.m != p) continue;
        const std::vector<uint32_t> x = limbsOf(parseHex(v.y));
        uint32_t exp[4] = {0, 0, 0, 0};
        ASSERT_LE(x.size(), 4u);
        memcpy(exp, x.data(), x.size() * 4);
        uint32_t out[33];
        memset(out, 0, sizeof(out));
        if (std::string(v.x) == "2") {
            ASSERT_TRUE(pow2mod(out, 33, exp, 4, kOakleyGroup2Prime, 33));
        } else {
            std::vector<uint32_t> b = limbsOf(parseHex(v.x));
            b.resize(33, 0);
            ASSERT_TRUE(powmod(out, 33, b.data(), 33, exp, 4, kOakleyGroup2Prime, 33));
        }
        Value got;
        got.magnitude.assign(out, out + 33);
        trim(got.magnitude);
        EXPECT_EQ(toHex(got), v.r0);
        EXPECT_EQ(out[32], 0u);
        ++checked;
    }
    EXPECT_EQ(checked, 6);
}

// ---------------------------------------------------------------------------
// Representation

struct LoadCase {
    std::vector<uint32_t> limbs;
    int32_t bitLength;
    const char* hex;
};

class BigIntLoad : public ::testing::TestWithParam<LoadCase> {};

TEST_P(BigIntLoad, ReadsTwosComplement)
{
    const LoadCase& c = GetParam();
    const BigInt x = fromLimbs(c.limbs);
    EXPECT_EQ(x.limbCount, c.limbs.size());
    EXPECT_EQ(x.bitLength, c.bitLength);
    EXPECT_EQ(hexOf(x), c.hex);
    std::vector<uint32_t> back(c.limbs.size() + 1, 0xA5A5A5A5u);
    ASSERT_TRUE(x.toLimbs(back.data(), uint32_t(c.limbs.size())));
    EXPECT_EQ(std::vector<uint32_t>(back.begin(), back.end() - 1), c.limbs);
    EXPECT_EQ(back.back(), 0xA5A5A5A5u);
    EXPECT_FALSE(x.toLimbs(back.data(), uint32_t(c.limbs.size()) - 1));
}

INSTANTIATE_TEST_SUITE_P(Cases, BigIntLoad, ::testing::Values(
    LoadCase{{0x80000000u}, -32, "-80000000"},
    LoadCase{{0xFFFFFFFFu}, -1, "-1"},
    LoadCase{{0xFFFFFFFEu}, -2, "-2"},
    LoadCase{{0x00000000u, 0xFFFFFFFFu}, -33, "-100000000"},
    LoadCase{{0x00000005u, 0x80000000u}, -64, "-7FFFFFFFFFFFFFFB"},
    LoadCase{{0x80000000u, 0x00000000u}, 32, "80000000"},
    LoadCase{{0xFFFFFFFFu, 0x7FFFFFFFu}, 63, "7FFFFFFFFFFFFFFF"},
    LoadCase{{0x00000000u, 0x00000000u, 0x00000000u}, 0, "0"},
    LoadCase{{0x00000001u, 0xFFFFFFFFu, 0xFFFFFFFFu}, -33, "-FFFFFFFF"}));

TEST(BigIntLoad, NullOrEmptyIsZero)
{
    const uint32_t one = 1;
    BigInt x = H("1234567890");
    x.fromLimbs(nullptr, 3);
    EXPECT_EQ(x.limbCount, 1u);
    EXPECT_EQ(x.bitLength, 0);
    x = H("1234567890");
    x.fromLimbs(&one, 0);
    EXPECT_EQ(x.limbCount, 1u);
    EXPECT_EQ(x.bitLength, 0);
}

struct CompareCase {
    const char* a;
    const char* b;
    int sign;  // of compare(a, b)
};

class BigIntCompare : public ::testing::TestWithParam<CompareCase> {};

TEST_P(BigIntCompare, OrdersValues)
{
    const CompareCase& c = GetParam();
    const int ab = BigInt::compare(H(c.a), H(c.b));
    const int ba = BigInt::compare(H(c.b), H(c.a));
    EXPECT_EQ((ab > 0) - (ab < 0), c.sign);
    EXPECT_EQ((ba > 0) - (ba < 0), -c.sign);
}

INSTANTIATE_TEST_SUITE_P(Cases, BigIntCompare, ::testing::Values(
    CompareCase{"100000000", "FFFFFFFF", 1},
    CompareCase{"100000001", "100000002", -1},
    CompareCase{"-1", "-1", 0},
    CompareCase{"-1", "0", -1},
    CompareCase{"1", "-1", 1},
    CompareCase{"-100000000", "-FFFFFFFB", -1},
    CompareCase{"-80000000", "-7FFFFFFF", -1},
    CompareCase{"-80000000", "80000000", -1},
    CompareCase{"123456789ABCDEF0123456789", "123456789ABCDEF0123456789", 0}));

struct NegateCase {
    std::vector<uint32_t> in;
    std::vector<uint32_t> out;
    int32_t bitLength;
};

class BigIntNegate : public ::testing::TestWithParam<NegateCase> {};

TEST_P(BigIntNegate, GrowsOnlyWhenNeeded)
{
    const NegateCase& c = GetParam();
    BigInt x = fromLimbs(c.in);
    x.negate();
    EXPECT_EQ(std::vector<uint32_t>(x.limbs, x.limbs + x.limbCount), c.out);
    EXPECT_EQ(x.bitLength, c.bitLength);
}

INSTANTIATE_TEST_SUITE_P(Cases, BigIntNegate, ::testing::Values(
    NegateCase{{0x80000000u}, {0x80000000u, 0u}, 32},                     // -2^31 -> 2^31
    NegateCase{{0x80000000u, 0u}, {0x80000000u, 0xFFFFFFFFu}, -32},       // and back
    NegateCase{{0u, 0x80000000u}, {0u, 0x80000000u, 0u}, 64},             // -2^63
    NegateCase{{0xFFFFFFFFu}, {1u}, 1},
    NegateCase{{5u, 0u}, {0xFFFFFFFBu, 0xFFFFFFFFu}, -4},
    NegateCase{{0u, 0u}, {0u, 0u}, 0}));

// Doubling 0x40000000 fills bit 31 of the same limb; the value stays
// positive for everything that reads the sign from bitLength.
TEST(BigIntDoubling, IntoBit31StaysPositive)
{
    BigInt x;
    x.setSmall(0x40000000u);
    x.shiftLeftBit();
    ASSERT_EQ(x.limbCount, 1u);
    EXPECT_EQ(x.limbs[0], 0x80000000u);
    EXPECT_EQ(x.bitLength, 32);
    EXPECT_FALSE(x.isNegative());
    EXPECT_EQ(x.neededLimbs(), 2u);
    EXPECT_EQ(x.limbAt(1), 0u);
    EXPECT_EQ(BigInt::compare(x, H("80000000")), 0);
    EXPECT_GT(BigInt::compare(x, H("7FFFFFFF")), 0);

    BigInt sum, product, q, r, negated = x;
    BigInt::add(x, H("1"), sum);
    EXPECT_EQ(hexOf(sum), "80000001");
    BigInt::subtract(x, H("80000001"), sum);
    EXPECT_EQ(hexOf(sum), "-1");
    BigInt::multiply(x, H("3"), product);
    EXPECT_EQ(hexOf(product), "180000000");
    BigInt::multiply(x, H("300000000"), product);
    EXPECT_EQ(hexOf(product), "18000000000000000");
    ASSERT_TRUE(BigInt::divMod(x, H("3"), q, r));
    EXPECT_EQ(hexOf(q), "2AAAAAAA");
    EXPECT_EQ(hexOf(r), "2");
    ASSERT_TRUE(BigInt::divMod(x, H("100000003"), q, r));
    EXPECT_EQ(hexOf(r), "80000000");
    negated.negate();
    EXPECT_EQ(hexOf(negated), "-80000000");

    // One more doubling carries out of the limb.
    x.shiftLeftBit();
    EXPECT_EQ(std::vector<uint32_t>(x.limbs, x.limbs + x.limbCount), (std::vector<uint32_t>{0u, 1u}));
    EXPECT_EQ(x.bitLength, 33);
}

TEST(BigIntDoubling, NegativeValuesAndZero)
{
    BigInt x = H("-1");
    x.shiftLeftBit();
    EXPECT_EQ(hexOf(x), "-2");
    EXPECT_EQ(x.bitLength, -2);
    x = H("-80000000");
    x.shiftLeftBit();
    EXPECT_EQ(hexOf(x), "-100000000");
    EXPECT_EQ(x.bitLength, -33);
    BigInt zero;
    zero.shiftLeftBit();
    EXPECT_EQ(zero.bitLength, 0);
    EXPECT_EQ(zero.limbCount, 1u);
}

TEST(BigIntShift, LimbShiftMultipliesByWordPowers)
{
    const char* cases[][3] = {{"-5", "2", "-50000000000000000"}, {"80000001", "1", "8000000100000000"}, {"0", "3", "0"}};
    for (const auto& c : cases) {
        BigInt x = H(c[0]);
        x.shiftLeftLimbs(uint32_t(c[1][0] - '0'));
        EXPECT_EQ(hexOf(x), c[2]);
        expectWellFormed(x);
    }
}

struct AddCase {
    const char* a;
    const char* b;
    const char* sum;
    const char* difference;
};

class BigIntAdd : public ::testing::TestWithParam<AddCase> {};

TEST_P(BigIntAdd, AddsAndSubtracts)
{
    const AddCase& c = GetParam();
    BigInt a = H(c.a), b = H(c.b), out;
    BigInt::add(a, b, out);
    EXPECT_EQ(hexOf(out), c.sum);
    expectWellFormed(out);
    BigInt::subtract(a, b, out);
    EXPECT_EQ(hexOf(out), c.difference);
    expectWellFormed(out);
    BigInt::add(a, b, a);  // output aliasing the first input
    EXPECT_EQ(hexOf(a), c.sum);
    BigInt::subtract(H(c.a), b, b);
    EXPECT_EQ(hexOf(b), c.difference);
}

INSTANTIATE_TEST_SUITE_P(Cases, BigIntAdd, ::testing::Values(
    AddCase{"FFFFFFFF", "1", "100000000", "FFFFFFFE"},
    AddCase{"FFFFFFFFFFFFFFFF", "FFFFFFFFFFFFFFFF", "1FFFFFFFFFFFFFFFE", "0"},
    AddCase{"-1", "1", "0", "-2"},
    AddCase{"-100000000", "FFFFFFFF", "-1", "-1FFFFFFFF"},
    AddCase{"80000000", "-80000000", "0", "100000000"},
    AddCase{"-80000000", "-80000000", "-100000000", "0"},
    AddCase{"0", "-7", "-7", "7"},
    AddCase{"123456789ABCDEF", "-FEDCBA987654321", "-ECA8641FDB97532", "1111111111111110"}));

// ---------------------------------------------------------------------------
// Multiplication: Karatsuba against the schoolbook product, including unequal
// lengths, a short operand below the split (empty high half), zero halves
// and one-limb factors.

struct MultiplyCase {
    uint32_t xLimbs;
    uint32_t yLimbs;
    int shape;  // 0 random, 1 all ones, 2 low half zero
};

class BigIntMultiply : public ::testing::TestWithParam<MultiplyCase> {};

TEST_P(BigIntMultiply, KaratsubaEqualsSchoolbook)
{
    const MultiplyCase& c = GetParam();
    for (uint32_t seed = 1; seed <= 3; ++seed) {
        const std::string x = operand(c.xLimbs, seed, c.shape);
        const std::string y = operand(c.yLimbs, seed + 100, seed == 3 ? 0 : c.shape);
        for (const char* sign : {"", "-"}) {
            BigInt p;
            BigInt::multiply(H((sign + x).c_str()), H(y.c_str()), p);
            EXPECT_EQ(hexOf(p), schoolbook(sign + x, y)) << x << " * " << y;
            expectWellFormed(p);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, BigIntMultiply, ::testing::Values(
    MultiplyCase{33, 33, 0}, MultiplyCase{33, 33, 1}, MultiplyCase{33, 33, 2},
    MultiplyCase{33, 20, 0}, MultiplyCase{20, 33, 0}, MultiplyCase{33, 20, 2},
    MultiplyCase{33, 2, 0}, MultiplyCase{2, 33, 1},   // f < h: high half of Y empty
    MultiplyCase{33, 16, 0}, MultiplyCase{32, 16, 1}, // f == h
    MultiplyCase{33, 1, 1}, MultiplyCase{1, 33, 0},   // one-limb factor
    MultiplyCase{3, 3, 1}, MultiplyCase{2, 2, 1}, MultiplyCase{17, 16, 0},
    MultiplyCase{40, 25, 0}, MultiplyCase{64, 2, 1}));

TEST(BigIntMultiply, SignsAndSmallFactors)
{
    const char* cases[][3] = {
        {"-80000000", "-80000000", "4000000000000000"},
        {"-80000000", "80000000", "-4000000000000000"},
        {"FFFFFFFF", "FFFFFFFF", "FFFFFFFE00000001"},
        {"-1", "FFFFFFFFFFFFFFFFFFFF", "-FFFFFFFFFFFFFFFFFFFF"},
        {"0", "-123456789ABCDEF", "0"},
        {"1FFFFFFFF", "1FFFFFFFF", "3FFFFFFFC00000001"},
    };
    for (const auto& c : cases) {
        BigInt p;
        BigInt::multiply(H(c[0]), H(c[1]), p);
        EXPECT_EQ(hexOf(p), c[2]) << c[0] << " * " << c[1];
        expectWellFormed(p);
    }
    BigInt square = H("-123456789ABCDEF0123456789");
    BigInt::multiply(square, square, square);
    EXPECT_EQ(hexOf(square), schoolbook("123456789ABCDEF0123456789", "123456789ABCDEF0123456789"));
}

// ---------------------------------------------------------------------------
// Division

struct DivCase {
    std::vector<uint32_t> a;
    const char* d;
    const char* q;
    const char* r;
    uint32_t rLimbs;
};

class BigIntDivide : public ::testing::TestWithParam<DivCase> {};

TEST_P(BigIntDivide, QuotientRemainderAndRemainderSize)
{
    const DivCase& c = GetParam();
    BigInt q, r;
    ASSERT_TRUE(BigInt::divMod(fromLimbs(c.a), H(c.d), q, r));
    EXPECT_EQ(hexOf(q), c.q);
    EXPECT_EQ(hexOf(r), c.r);
    EXPECT_EQ(r.limbCount, c.rLimbs);
    expectWellFormed(q);
    expectWellFormed(r);
}

INSTANTIATE_TEST_SUITE_P(Cases, BigIntDivide, ::testing::Values(
    // 2^32 + 2^31 by 2^32 - 1: one-limb path, remainder with bit 31 set in two limbs.
    DivCase{{0x80000000u, 1u}, "FFFFFFFF", "1", "80000001", 2},
    DivCase{{0x00000007u, 0u, 0u}, "7", "1", "0", 1},
    DivCase{{0x00000005u, 0u, 0u}, "7", "0", "5", 3},         // d > a: a copy of a
    DivCase{{0u}, "7", "0", "0", 1},
    DivCase{{0xFFFFFFFFu, 0xFFFFFFFFu, 0x7FFFFFFFu}, "100000000", "7FFFFFFFFFFFFFFF", "FFFFFFFF", 2},
    DivCase{{0u, 0u, 0u, 1u}, "100000001", "FFFFFFFF00000000", "100000000", 2},
    DivCase{{0u, 0u, 0u, 0u, 1u}, "FFFFFFFFFFFFFFFF", "10000000000000001", "1", 3}));

TEST(BigIntDivide, RemainderModuloThePrimeTakes33Limbs)
{
    const BigInt p = fromLimbs(std::vector<uint32_t>(kOakleyGroup2Prime, kOakleyGroup2Prime + 33));
    BigInt a, q, r;
    a.setSmall(1);
    a.shiftLeftLimbs(40);  // 2^1280
    ASSERT_TRUE(BigInt::divMod(a, p, q, r));
    EXPECT_EQ(r.limbCount, 33u);
    EXPECT_EQ(r.limbs[32], 0u);
    // q * p + r == a
    BigInt back;
    BigInt::multiply(q, p, back);
    BigInt::add(back, r, back);
    EXPECT_EQ(BigInt::compare(back, a), 0);
    // Outputs may alias the dividend.
    ASSERT_TRUE(BigInt::divMod(a, p, q, a));
    EXPECT_EQ(hexOf(a), hexOf(r));
}

TEST(BigIntDivide, RefusesNegativeOperandsAndSharedOutputs)
{
    BigInt q = H("5"), r = H("6");
    EXPECT_FALSE(BigInt::divMod(H("-100000000000"), H("7"), q, r));
    EXPECT_EQ(hexOf(q), "0");
    EXPECT_EQ(hexOf(r), "0");
    EXPECT_FALSE(BigInt::divMod(H("100000000000"), H("-7"), q, r));
    EXPECT_FALSE(BigInt::divMod(H("100000000000"), H("7"), q, q));
}

// ---------------------------------------------------------------------------
// Exponentiation and the limb-array interface

TEST(BigIntModPow, SpecialExponentsAndBases)
{
    BigInt out;
    ASSERT_TRUE(BigInt::modPow(H("0"), H("0"), H("0"), out));  // exp 0 wins, no division
    EXPECT_EQ(hexOf(out), "1");
    ASSERT_TRUE(BigInt::modPow(H("5"), H("0"), H("1"), out));
    EXPECT_EQ(hexOf(out), "1");
    ASSERT_TRUE(BigInt::modPow(H("5"), H("-3"), H("7"), out));
    EXPECT_EQ(hexOf(out), "0");
    ASSERT_TRUE(BigInt::modPow(H("0"), H("3"), H("7"), out));
    EXPECT_EQ(hexOf(out), "0");
    ASSERT_TRUE(BigInt::modPow(H("5"), H("3"), H("1"), out));
    EXPECT_EQ(hexOf(out), "0");
    ASSERT_TRUE(BigInt::modPow(H("123456789"), H("1"), H("1000"), out));  // base reduced first
    EXPECT_EQ(hexOf(out), "789");
    EXPECT_FALSE(BigInt::modPow(H("-2"), H("3"), H("7"), out));
    EXPECT_FALSE(BigInt::modPow(H("2"), H("3"), H("-7"), out));
    BigInt base = H("3");
    EXPECT_FALSE(BigInt::modPow(base, H("3"), H("7"), base));
    EXPECT_EQ(hexOf(base), "3");
}

TEST(BigIntPowMod, ZeroExponentGivesOneEvenModuloOne)
{
    const uint32_t zero4[4] = {0, 0, 0, 0}, one = 1;
    uint32_t out[2] = {7, 7};
    ASSERT_TRUE(pow2mod(out, 2, zero4, 4, &one, 1));
    EXPECT_EQ(out[0], 1u);
    EXPECT_EQ(out[1], 7u);  // limbs beyond the result's are not written
    out[0] = 7;
    ASSERT_TRUE(pow2mod(out, 1, zero4, 0, kOakleyGroup2Prime, 33));
    EXPECT_EQ(out[0], 1u);
}

TEST(BigIntPowMod, HandshakeResultNeeds33Limbs)
{
    const uint32_t x[4] = {0x89ABCDEFu, 0x01234567u, 0xFEDCBA98u, 0};
    uint32_t out[33];
    memset(out, 0, sizeof(out));
    ASSERT_TRUE(pow2mod(out, 33, x, 4, kOakleyGroup2Prime, 33));
    EXPECT_EQ(out[32], 0u);
    uint32_t shortOut[33];
    memset(shortOut, 0xA5, sizeof(shortOut));
    EXPECT_FALSE(pow2mod(shortOut, 32, x, 4, kOakleyGroup2Prime, 33));
    for (uint32_t limb : shortOut) EXPECT_EQ(limb, 0xA5A5A5A5u);

    // (2^x)^x' == (2^x')^x: both sides of the key agreement meet.
    const uint32_t y[4] = {0x13579BDFu, 0x2468ACE0u, 0x0F1E2D3Cu, 0};
    uint32_t A[33] = {0}, B[33] = {0}, Za[33] = {0}, Zb[33] = {0};
    ASSERT_TRUE(pow2mod(A, 33, x, 4, kOakleyGroup2Prime, 33));
    ASSERT_TRUE(pow2mod(B, 33, y, 4, kOakleyGroup2Prime, 33));
    ASSERT_TRUE(powmod(Za, 33, B, 33, x, 4, kOakleyGroup2Prime, 33));
    ASSERT_TRUE(powmod(Zb, 33, A, 33, y, 4, kOakleyGroup2Prime, 33));
    EXPECT_EQ(memcmp(Za, Zb, sizeof(Za)), 0);
}

TEST(BigIntPowMod, RefusesBadArguments)
{
    const uint32_t two = 2, three = 3, seven = 7, negative = 0xFFFFFFF9u;
    uint32_t out[70] = {0};
    EXPECT_FALSE(powmod(nullptr, 1, &two, 1, &three, 1, &seven, 1));
    EXPECT_FALSE(powmod(out, 1, nullptr, 1, &three, 1, &seven, 1));
    EXPECT_FALSE(powmod(out, 1, &two, 1, nullptr, 1, &seven, 1));
    EXPECT_FALSE(powmod(out, 1, &two, 1, &three, 1, nullptr, 1));
    EXPECT_FALSE(pow2mod(out, 1, &three, 1, nullptr, 1));
    // Last limb with bit 31 set: a negative base or modulus is refused.
    EXPECT_FALSE(powmod(out, 1, &negative, 1, &three, 1, &seven, 1));
    EXPECT_FALSE(powmod(out, 1, &two, 1, &three, 1, &negative, 1));
    // A negative exponent gives 0.
    out[0] = 5;
    ASSERT_TRUE(powmod(out, 1, &two, 1, &negative, 1, &seven, 1));
    EXPECT_EQ(out[0], 0u);
    // More limbs than a number holds.
    uint32_t big[68] = {0};
    big[0] = 3;
    EXPECT_FALSE(powmod(out, 70, big, 68, &three, 1, &seven, 1));
    EXPECT_FALSE(pow2mod(out, 70, big, 68, &seven, 1));
    ASSERT_TRUE(powmod(out, 1, &two, 1, &three, 1, &seven, 1));
    EXPECT_EQ(out[0], 1u);  // 8 mod 7
}

// ---------------------------------------------------------------------------
// The fatal guards. On Windows they raise structured exceptions that nothing
// handles; the child of the death test turns the exception into its exit
// code (flipping the low bit when the continuable flag is not as expected).

#ifdef _WIN32
LONG WINAPI exitWithExceptionCode(EXCEPTION_POINTERS* info)
{
    const EXCEPTION_RECORD* record = info->ExceptionRecord;
    DWORD code = record->ExceptionCode;
    // The x86_64 mingw runtime resumes integer-overflow exceptions; resuming
    // a non-continuable one raises STATUS_NONCONTINUABLE_EXCEPTION instead,
    // which only the overflow guard's exception can lead to here.
    if (code == 0xC0000025ul) {
        code = EXCEPTION_INT_OVERFLOW;
    } else {
        const bool noncontinuable = (record->ExceptionFlags & EXCEPTION_NONCONTINUABLE) != 0;
        if (noncontinuable != (code == EXCEPTION_INT_OVERFLOW)) code ^= 1;
    }
    ExitProcess(code);
}
#define EXPECT_FAULT(code, statement)                                                        \
    EXPECT_EXIT(                                                                             \
        {                                                                                    \
            SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);                    \
            SetUnhandledExceptionFilter(exitWithExceptionCode);                              \
            statement;                                                                       \
        },                                                                                   \
        ::testing::ExitedWithCode(int(code)), "")
#else
#define EXPECT_FAULT(code, statement) EXPECT_DEATH(statement, "")
#endif

const unsigned long kOverflow = 0xC0000095ul;
const unsigned long kDivideByZero = 0xC0000094ul;

class BigIntGuards : public ::testing::Test {
protected:
    void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

TEST_F(BigIntGuards, GrowingBeyondCapacityEndsTheProcess)
{
    std::vector<uint32_t> limbs(BigInt::kMaxLimbs, 0);
    limbs.back() = 0x40000000u;
    BigInt full = fromLimbs(limbs);
    full.shiftLeftBit();  // fills bit 31 of the top limb: still fits
    EXPECT_EQ(full.limbCount, BigInt::kMaxLimbs);
    EXPECT_FAULT(kOverflow, full.shiftLeftBit());
    EXPECT_FAULT(kOverflow, BigInt().extendTo(BigInt::kMaxLimbs + 1));
    EXPECT_FAULT(kOverflow, BigInt().clearTo(BigInt::kMaxLimbs + 1));
    std::vector<uint32_t> tooMany(BigInt::kMaxLimbs + 1, 1);
    EXPECT_FAULT(kOverflow, BigInt().fromLimbs(tooMany.data(), uint32_t(tooMany.size())));
    const BigInt half = H(operand(34, 1, 0).c_str());
    auto square = [&half] {
        BigInt p;
        BigInt::multiply(half, half, p);
    };
    EXPECT_FAULT(kOverflow, square());
}

TEST_F(BigIntGuards, DivisionByZeroEndsTheProcess)
{
    auto divide = [] {
        BigInt q, r;
        BigInt::divMod(H("5"), BigInt(), q, r);
    };
    auto power = [] {
        BigInt out;
        BigInt::modPow(H("5"), H("3"), BigInt(), out);
    };
    EXPECT_FAULT(kDivideByZero, divide());
    EXPECT_FAULT(kDivideByZero, power());
}

#ifdef _WIN32
LONG g_divideFaults = 0;

LONG WINAPI resumeDivideByZero(EXCEPTION_POINTERS* info)
{
    if (info->ExceptionRecord->ExceptionCode != EXCEPTION_INT_DIVIDE_BY_ZERO) return EXCEPTION_CONTINUE_SEARCH;
    ++g_divideFaults;
    return EXCEPTION_CONTINUE_EXECUTION;
}

// The divide-by-zero exception is continuable; resumed, the division yields zero.
TEST(BigIntGuardsWindows, ResumedDivisionByZeroGivesZero)
{
    void* handler = AddVectoredExceptionHandler(1, resumeDivideByZero);
    ASSERT_NE(handler, nullptr);
    BigInt q = H("5"), r = H("6");
    EXPECT_FALSE(BigInt::divMod(H("12345"), BigInt(), q, r));
    RemoveVectoredExceptionHandler(handler);
    EXPECT_EQ(g_divideFaults, 1);
    EXPECT_EQ(hexOf(q), "0");
    EXPECT_EQ(hexOf(r), "0");
}
#endif

}  // namespace
