// BigInt and pow2mod/powmod in every build (native, i386 and x86_64 under
// Wine): the differential cases recorded from OpenSSL, and the representation's
// corner cases, where sign, carries and limb counts go wrong first. Random
// operands of every size are the fuzzers' (tests/fuzz/bigint_fuzz.cpp, also
// with the 32-bit division), checked against OpenSSL.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "crypto/bigint.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace {

// One case of bigint_vectors.inc (results from OpenSSL) or of the hand-written table.
struct BigIntVector {
    char op;  // '*': x*y = r0; '/': x/y = r0, x%y = r1; '^': x^y mod m = r0; more at check()
    const char *x, *y, *m, *r0, *r1;
};

using Limbs = std::vector<uint32_t>;

void negateLimbs(Limbs& limbs)
{
    uint64_t carry = 1;
    for (uint32_t& limb : limbs) {
        carry += uint32_t(~limb);
        limb = uint32_t(carry);
        carry >>= 32;
    }
}

BigInt fromLimbs(Limbs limbs)
{
    BigInt x;
    x.fromLimbs(limbs.data(), uint32_t(limbs.size()));
    return x;
}

// Hex as OpenSSL's BN_bn2hex writes it (optional '-', most significant digit
// first), in two's complement in the fewest limbs that keep its sign bit.
BigInt H(const std::string& text)
{
    static const char kDigits[] = "0123456789ABCDEF";
    const std::string digits = text.substr(text[0] == '-');
    Limbs limbs(digits.size() / 8 + 1, 0);
    for (size_t i = 0; i < digits.size(); ++i)
        limbs[i / 8] |= uint32_t(strchr(kDigits, digits[digits.size() - 1 - i]) - kDigits) << (4 * (i % 8));
    if (text[0] == '-') negateLimbs(limbs);
    while (limbs.size() > 1 && limbs.back() == (limbs[limbs.size() - 2] >> 31 ? 0xFFFFFFFFu : 0u)) limbs.pop_back();
    return fromLimbs(limbs);
}

// The value a BigInt holds as canonical hex, read from its fields without the
// arithmetic under test: its used limbs in two's complement, with the sign
// taken from bitLength as the arithmetic does.
std::string hexOf(const BigInt& x)
{
    Limbs magnitude(x.limbs, x.limbs + x.limbCount);
    if (x.bitLength < 0) negateLimbs(magnitude);
    std::string hex;
    char digits[9];
    for (size_t i = magnitude.size(); i-- > 0;) {
        snprintf(digits, sizeof digits, hex.empty() ? "%X" : "%08X", unsigned(magnitude[i]));
        if (!hex.empty() || magnitude[i]) hex += digits;
    }
    return hex.empty() ? "0" : (x.bitLength < 0 ? "-" : "") + hex;
}

// Every result must also be a well-formed number: bitLength as the
// representation defines it, from the limbs and the sign alone (one more than
// the highest bit that differs from the sign fill, negated less one for a
// negative value).
void expectWellFormed(const BigInt& x)
{
    ASSERT_GE(x.limbCount, 1u);
    ASSERT_LE(x.limbCount, BigInt::kMaxLimbs);
    const bool negative = x.bitLength < 0;
    int32_t bits = 0;
    for (uint32_t i = 0; i < 32 * x.limbCount; ++i)
        if (((x.limbs[i / 32] >> (i % 32)) & 1u) != uint32_t(negative)) bits = int32_t(i) + 1;
    EXPECT_EQ(x.bitLength, negative ? -bits - 1 : bits) << hexOf(x);
}

int sign(int v) { return (v > 0) - (v < 0); }

// One case in the vectors' format, with three operations of its own:
// '+': x+y = r0, x-y = r1; '<': compare(x, y) has the sign r0;
// '2': 2x = r0 (shiftLeftBit), x*2^64 = r1 (shiftLeftLimbs).
// Outputs may alias an input: checked for '+', '*' and '/'.
void check(const BigIntVector& v)
{
    SCOPED_TRACE(testing::Message() << v.op << " x=" << v.x << " y=" << v.y << " m=" << v.m);
    const BigInt x = H(v.x), y = H(v.y);
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
        // The doubled value in arithmetic: 2x - x, 4x - 2x (doubling again carries
        // out of a filled limb) and 2x / x.
        BigInt::subtract(r0, x, a);
        EXPECT_EQ(hexOf(a), v.x);
        b = r0;
        b.shiftLeftBit();
        BigInt::subtract(b, r0, b);
        EXPECT_EQ(hexOf(b), v.r0);
        if (x.bitLength > 0) {
            ASSERT_TRUE(BigInt::divMod(r0, x, a, b));
            EXPECT_EQ(hexOf(a) + " " + hexOf(b), "2 0");
        }
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
        break;
    case '^':
        ASSERT_TRUE(BigInt::modPow(x, y, H(v.m), r0));
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

const BigIntVector kVectors[] = {
#include "tests/crypto/bigint_vectors.inc"
};

// Signs, carries across limbs, and the -2^31 / 2^31 boundary, for what the
// vectors and the fuzzers do not reach: compare, add and subtract into their
// own operands, the shifts, and modPow's exponents 0 and below.
const BigIntVector kEdges[] = {
    {'<', "100000000", "FFFFFFFF", "", "1", ""},
    {'<', "-1", "0", "", "-1", ""},
    {'<', "-80000000", "-7FFFFFFF", "", "-1", ""},
    {'<', "123456789ABCDEF0123456789", "123456789ABCDEF0123456789", "", "0", ""},
    {'+', "FFFFFFFF", "1", "", "100000000", "FFFFFFFE"},
    {'+', "-100000000", "FFFFFFFF", "", "-1", "-1FFFFFFFF"},
    {'+', "80000000", "-80000000", "", "0", "100000000"},
    {'2', "-80000000", "0", "", "-100000000", "-800000000000000000000000"},
    {'2', "80000001", "0", "", "100000002", "800000010000000000000000"},
    // Doubling 0x40000000 fills bit 31 of the same limb; the value stays
    // positive for everything that reads the sign from bitLength.
    {'2', "40000000", "0", "", "80000000", "400000000000000000000000"},
    // exp 0 wins even modulo 0 (no division); a negative exponent and base 0 give 0;
    // the base is reduced first.
    {'^', "0", "0", "0", "1", ""},
    {'^', "5", "-3", "7", "0", ""},
    {'^', "0", "3", "7", "0", ""},
    {'^', "5", "3", "1", "0", ""},
    {'^', "123456789", "1", "1000", "789", ""},
};

TEST(BigIntVectors, RecordedOpenSslResultsAndEdges)
{
    for (const BigIntVector& v : kVectors) check(v);
    for (const BigIntVector& v : kEdges) check(v);
}

// ---------------------------------------------------------------------------
// Representation

TEST(BigIntLoad, TwosComplementInOutAndNegated)
{
    const struct {
        Limbs limbs;
        int32_t bitLength;
        const char* hex;
        Limbs negated;  // limbs after negate(), growing only when needed
        int32_t negatedBitLength;
    } cases[] = {
        {{0x80000000u}, -32, "-80000000", {0x80000000u, 0u}, 32},
        {{0x80000000u, 0u}, 32, "80000000", {0x80000000u, 0xFFFFFFFFu}, -32},
        {{0u, 0x80000000u}, -64, "-8000000000000000", {0u, 0x80000000u, 0u}, 64},
        {{0xFFFFFFFFu}, -1, "-1", {1u}, 1},
        {{5u, 0u}, 3, "5", {0xFFFFFFFBu, 0xFFFFFFFFu}, -4},
        {{0u, 0u, 0u}, 0, "0", {0u, 0u, 0u}, 0},
        {{1u, 0xFFFFFFFFu, 0xFFFFFFFFu}, -33, "-FFFFFFFF", {0xFFFFFFFFu, 0u, 0u}, 32},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.hex);
        BigInt x = fromLimbs(c.limbs);
        EXPECT_EQ(x.limbCount, c.limbs.size());
        EXPECT_EQ(x.bitLength, c.bitLength);
        EXPECT_EQ(hexOf(x), c.hex);
        Limbs back(c.limbs.size() + 1, 0xA5A5A5A5u);
        ASSERT_TRUE(x.toLimbs(back.data(), uint32_t(c.limbs.size())));
        EXPECT_EQ(Limbs(back.begin(), back.end() - 1), c.limbs);
        EXPECT_EQ(back.back(), 0xA5A5A5A5u);
        EXPECT_FALSE(x.toLimbs(back.data(), uint32_t(c.limbs.size()) - 1));  // capacity too small
        x.negate();
        EXPECT_EQ(Limbs(x.limbs, x.limbs + x.limbCount), c.negated);
        EXPECT_EQ(x.bitLength, c.negatedBitLength);
    }
}

// ---------------------------------------------------------------------------
// Refusals and the limb-array interface

TEST(BigIntRefusals, NegativeOperandsAndSharedOutputs)
{
    BigInt q = H("5"), r = H("6"), out, base = H("3");
    EXPECT_FALSE(BigInt::divMod(H("-100000000000"), H("7"), q, r));
    EXPECT_EQ(hexOf(q) + " " + hexOf(r), "0 0");
    EXPECT_FALSE(BigInt::divMod(H("100000000000"), H("-7"), q, r));
    EXPECT_FALSE(BigInt::divMod(H("100000000000"), H("7"), q, q));
    EXPECT_FALSE(BigInt::modPow(H("-2"), H("3"), H("7"), out));
    EXPECT_FALSE(BigInt::modPow(H("2"), H("3"), H("-7"), out));
    EXPECT_FALSE(BigInt::modPow(base, H("3"), H("7"), base));
    EXPECT_EQ(hexOf(base), "3");
}

// The limb-array interface: refusals leave the output untouched; an exponent
// of 0 gives 1 even modulo 1, writing only the result's limbs.
TEST(BigIntPowMod, LimbInterface)
{
    const uint32_t x[4] = {0x89ABCDEFu, 0x01234567u, 0xFEDCBA98u, 0}, zero4[4] = {0, 0, 0, 0};
    const uint32_t two = 2, three = 3, seven = 7, one = 1, negative = 0xFFFFFFF9u, big[68] = {3};
    uint32_t out[70];
    memset(out, 0xA5, sizeof(out));
    EXPECT_FALSE(pow2mod(out, 32, x, 4, kOakleyGroup2Prime, 33));  // the result needs 33
    EXPECT_FALSE(powmod(nullptr, 1, &two, 1, &three, 1, &seven, 1));
    EXPECT_FALSE(powmod(out, 1, nullptr, 1, &three, 1, &seven, 1));
    EXPECT_FALSE(powmod(out, 1, &two, 1, nullptr, 1, &seven, 1));
    EXPECT_FALSE(powmod(out, 1, &two, 1, &three, 1, nullptr, 1));
    EXPECT_FALSE(pow2mod(out, 1, &three, 1, nullptr, 1));
    EXPECT_FALSE(powmod(out, 1, &negative, 1, &three, 1, &seven, 1));  // bit 31 of the last limb
    EXPECT_FALSE(powmod(out, 1, &two, 1, &three, 1, &negative, 1));
    EXPECT_FALSE(powmod(out, 70, big, 68, &three, 1, &seven, 1));  // more limbs than a number holds
    EXPECT_FALSE(pow2mod(out, 70, big, 68, &seven, 1));
    for (uint32_t limb : out) EXPECT_EQ(limb, 0xA5A5A5A5u);
    ASSERT_TRUE(pow2mod(out, 2, zero4, 4, &one, 1));
    EXPECT_EQ(out[0], 1u);
    EXPECT_EQ(out[1], 0xA5A5A5A5u);
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
#define EXPECT_FAULT(code, statement)                                                         \
    EXPECT_EXIT({ SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);                \
                  SetUnhandledExceptionFilter(exitWithExceptionCode);                          \
                  statement; }, ::testing::ExitedWithCode(int(code)), "")
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
    const BigInt half = fromLimbs(std::vector<uint32_t>(34, 0x12345678u));
    BigInt square;
    EXPECT_FAULT(kOverflow, BigInt::multiply(half, half, square));
}

TEST_F(BigIntGuards, DivisionByZeroEndsTheProcess)
{
    BigInt q, r;
    EXPECT_FAULT(kDivideByZero, BigInt::divMod(H("5"), BigInt(), q, r));
    EXPECT_FAULT(kDivideByZero, BigInt::modPow(H("5"), H("3"), BigInt(), q));
}

}  // namespace
