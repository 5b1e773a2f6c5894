// Helpers shared by the BigInt tests: values as canonical hex text, read from
// BigInt fields without using the arithmetic under test.
#pragma once
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "crypto/bigint.h"

namespace bigint_test {

// One case of bigint_vectors.inc (results from OpenSSL) or of a hand-written table.
struct BigIntVector {
    char op;  // '*': x*y = r0; '/': x/y = r0, x%y = r1; '^': x^y mod m = r0; more at check()
    const char *x, *y, *m, *r0, *r1;
};

// A signed value: a magnitude, least significant limb first, without top zero limbs.
struct Value {
    bool negative = false;
    std::vector<uint32_t> magnitude;
};

inline void trim(Value& v)
{
    while (!v.magnitude.empty() && v.magnitude.back() == 0) v.magnitude.pop_back();
    if (v.magnitude.empty()) v.negative = false;
}

inline void negateLimbs(std::vector<uint32_t>& limbs)
{
    uint64_t carry = 1;
    for (uint32_t& limb : limbs) {
        carry += uint32_t(~limb);
        limb = uint32_t(carry);
        carry >>= 32;
    }
}

// Hex as OpenSSL's BN_bn2hex writes it: optional '-', most significant digit first.
inline Value parseHex(const std::string& text)
{
    Value v;
    v.negative = !text.empty() && text[0] == '-';
    const std::string digits = text.substr(v.negative ? 1 : 0);
    for (size_t end = digits.size(); end > 0;) {
        const size_t begin = end >= 8 ? end - 8 : 0;
        v.magnitude.push_back(uint32_t(std::stoul(digits.substr(begin, end - begin), nullptr, 16)));
        end = begin;
    }
    trim(v);
    return v;
}

inline std::string toHex(Value v)
{
    trim(v);
    if (v.magnitude.empty()) return "0";
    static const char kDigits[] = "0123456789ABCDEF";
    std::string out;
    for (size_t i = v.magnitude.size(); i-- > 0;)
        for (int shift = 28; shift >= 0; shift -= 4) out += kDigits[(v.magnitude[i] >> shift) & 15];
    return (v.negative ? "-" : "") + out.substr(out.find_first_not_of('0'));
}

// Hex of an unsigned little-endian limb array.
inline std::string unsignedHex(const uint32_t* limbs, size_t count)
{
    Value v;
    v.magnitude.assign(limbs, limbs + count);
    return toHex(v);
}

// The value a BigInt holds: its used limbs in two's complement, with the sign
// taken from bitLength as the arithmetic does.
inline std::string hexOf(const BigInt& x)
{
    Value v;
    v.negative = x.bitLength < 0;
    v.magnitude.assign(x.limbs, x.limbs + x.limbCount);
    if (v.negative) negateLimbs(v.magnitude);
    return toHex(v);
}

inline uint32_t bitsOf(std::vector<uint32_t> m)
{
    while (!m.empty() && m.back() == 0) m.pop_back();
    if (m.empty()) return 0;
    uint32_t bits = 32 * uint32_t(m.size() - 1);
    for (uint32_t top = m.back(); top; top >>= 1) ++bits;
    return bits;
}

// bitLength as the representation defines it, from the value alone.
inline int32_t expectedBitLength(const Value& v)
{
    if (!v.negative) return int32_t(bitsOf(v.magnitude));
    // -(bits of NOT x) - 1, and NOT x = |x| - 1 for negative x.
    std::vector<uint32_t> m = v.magnitude;
    for (uint32_t& limb : m)
        if (limb-- != 0) break;
    return -int32_t(bitsOf(m)) - 1;
}

// v in two's complement, in the fewest limbs that keep its sign bit.
inline std::vector<uint32_t> limbsOf(const Value& v)
{
    const int32_t bl = expectedBitLength(v);
    std::vector<uint32_t> limbs = v.magnitude;
    limbs.resize(bl >= 0 ? uint32_t(bl) / 32 + 1 : uint32_t(-1 - bl) / 32 + 1, 0);
    if (v.negative) negateLimbs(limbs);
    return limbs;
}

inline BigInt bigIntFromHex(const std::string& text)
{
    const std::vector<uint32_t> limbs = limbsOf(parseHex(text));
    BigInt x;
    x.fromLimbs(limbs.data(), uint32_t(limbs.size()));
    return x;
}

inline std::string primeHex() { return unsignedHex(kOakleyGroup2Prime, 33); }

// Every result must also be a well-formed number.
inline void expectWellFormed(const BigInt& x)
{
    EXPECT_GE(x.limbCount, 1u);
    EXPECT_LE(x.limbCount, BigInt::kMaxLimbs);
    EXPECT_EQ(x.bitLength, expectedBitLength(parseHex(hexOf(x)))) << hexOf(x);
}

inline int sign(int v) { return (v > 0) - (v < 0); }

// One case in the vectors' format, with three operations of its own:
// '+': x+y = r0, x-y = r1; '<': compare(x, y) has the sign r0;
// '2': 2x = r0 (shiftLeftBit), x*2^64 = r1 (shiftLeftLimbs).
// Outputs may alias an input: checked for '+', '*' and '/'.
inline void check(const BigIntVector& v)
{
    SCOPED_TRACE(testing::Message() << v.op << " x=" << v.x << " y=" << v.y << " m=" << v.m);
    const BigInt x = bigIntFromHex(v.x), y = bigIntFromHex(v.y);
    BigInt r0, r1, a = x, b = y;
    switch (v.op) {
    case '<':
        EXPECT_EQ(sign(BigInt::compare(x, y)), atoi(v.r0));
        EXPECT_EQ(sign(BigInt::compare(y, x)), -atoi(v.r0));
        return;
    case '+':
        BigInt::add(x, y, r0);
        BigInt::subtract(x, y, r1);
        BigInt::add(a, y, a);
        BigInt::subtract(x, b, b);
        EXPECT_EQ(hexOf(a) + " " + hexOf(b), std::string(v.r0) + " " + v.r1);
        break;
    case '2':
        r0 = x;
        r0.shiftLeftBit();
        r1 = x;
        r1.shiftLeftLimbs(2);
        break;
    case '*':
        BigInt::multiply(x, y, r0);
        BigInt::multiply(x, b, b);
        if (strcmp(v.x, v.y) == 0) BigInt::multiply(a, a, a);  // a square from one object
        else a = b;
        EXPECT_EQ(hexOf(a) + " " + hexOf(b), std::string(v.r0) + " " + v.r0);
        break;
    case '/':
        ASSERT_TRUE(BigInt::divMod(x, y, r0, r1));
        ASSERT_TRUE(BigInt::divMod(a, y, b, a));  // the remainder over the dividend
        EXPECT_EQ(hexOf(b) + " " + hexOf(a), std::string(v.r0) + " " + v.r1);
        if (BigInt::compare(y, x) <= 0 && y.bitLength > 32) {
            // The bit-serial remainder is held in the divisor's limbs (one
            // more only after a subtraction from a value filling bit 31).
            EXPECT_GE(r1.limbCount, y.neededLimbs());
            EXPECT_LE(r1.limbCount, y.neededLimbs() + (y.bitLength % 32 == 31 ? 1u : 0u));
        }
        break;
    case '^':
        ASSERT_TRUE(BigInt::modPow(x, y, bigIntFromHex(v.m), r0));
        break;
    default:
        FAIL() << "unknown operation";
    }
    EXPECT_EQ(hexOf(r0), v.r0);
    expectWellFormed(r0);
    if (*v.r1) {
        EXPECT_EQ(hexOf(r1), v.r1);
        expectWellFormed(r1);
    }
}

}  // namespace bigint_test
