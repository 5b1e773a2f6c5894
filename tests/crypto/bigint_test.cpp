// BigInt and pow2mod/powmod in every build (native, i386 and x86_64 under
// Wine): the differential cases recorded from OpenSSL, and the representation's
// corner cases, where sign, carries and limb counts go wrong first.
#include <stdint.h>
#include <stdlib.h>
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

// Signs, carries across limbs, and the -2^31 / 2^31 boundary.
const BigIntVector kEdges[] = {
    {'<', "100000000", "FFFFFFFF", "", "1", ""},
    {'<', "-1", "0", "", "-1", ""},
    {'<', "-100000000", "-FFFFFFFB", "", "-1", ""},
    {'<', "-80000000", "-7FFFFFFF", "", "-1", ""},
    {'<', "-80000000", "80000000", "", "-1", ""},
    {'<', "123456789ABCDEF0123456789", "123456789ABCDEF0123456789", "", "0", ""},
    {'+', "FFFFFFFF", "1", "", "100000000", "FFFFFFFE"},
    {'+', "FFFFFFFFFFFFFFFF", "FFFFFFFFFFFFFFFF", "", "1FFFFFFFFFFFFFFFE", "0"},
    {'+', "-1", "1", "", "0", "-2"},
    {'+', "-100000000", "FFFFFFFF", "", "-1", "-1FFFFFFFF"},
    {'+', "80000000", "-80000000", "", "0", "100000000"},
    {'+', "-80000000", "-80000000", "", "-100000000", "0"},
    {'+', "123456789ABCDEF", "-FEDCBA987654321", "", "-ECA8641FDB97532", "1111111111111110"},
    {'2', "-1", "0", "", "-2", "-10000000000000000"},
    {'2', "-80000000", "0", "", "-100000000", "-800000000000000000000000"},
    {'2', "80000001", "0", "", "100000002", "800000010000000000000000"},
    {'2', "0", "0", "", "0", "0"},
    {'*', "-80000000", "-80000000", "", "4000000000000000", ""},
    {'*', "-80000000", "80000000", "", "-4000000000000000", ""},
    {'*', "FFFFFFFF", "FFFFFFFF", "", "FFFFFFFE00000001", ""},
    {'*', "-1", "FFFFFFFFFFFFFFFFFFFF", "", "-FFFFFFFFFFFFFFFFFFFF", ""},
    {'*', "0", "-123456789ABCDEF", "", "0", ""},
    {'*', "1FFFFFFFF", "1FFFFFFFF", "", "3FFFFFFFC00000001", ""},
    {'/', "5", "7", "", "0", "5"},
    {'/', "7FFFFFFFFFFFFFFFFFFFFFFF", "100000000", "", "7FFFFFFFFFFFFFFF", "FFFFFFFF"},
    {'/', "1000000000000000000000000", "100000001", "", "FFFFFFFF00000000", "100000000"},
    {'/', "100000000000000000000000000000000", "FFFFFFFFFFFFFFFF", "", "10000000000000001", "1"},
    // exp 0 wins even modulo 0 (no division); a negative exponent and base 0 give 0;
    // the base is reduced first.
    {'^', "0", "0", "0", "1", ""},
    {'^', "5", "0", "1", "1", ""},
    {'^', "5", "-3", "7", "0", ""},
    {'^', "0", "3", "7", "0", ""},
    {'^', "5", "3", "1", "0", ""},
    {'^', "123456789", "1", "1000", "789", ""},
};

TEST(BigIntVectors, RecordedOpenSslResultsAndEdges)
{
    for (const BigIntVector& v : kVectors) check(v);
    for (const BigIntVector& v : kEdges) check(v);
    EXPECT_GT(sizeof kVectors / sizeof kVectors[0], 150u);
}

// The handshake's calls: 2^x with a 4-limb exponent whose last limb is 0, and
// B^x, both modulo the prime, into 33-limb buffers.
TEST(BigIntVectors, HandshakeCallsMatchRecordedResults)
{
    int checked = 0;
    for (const BigIntVector& v : kVectors) {
        if (v.op != '^' || v.m != primeHex()) continue;
        std::vector<uint32_t> exp = limbsOf(parseHex(v.y)), base = limbsOf(parseHex(v.x));
        ASSERT_LE(exp.size(), 4u);
        exp.resize(4, 0);
        base.resize(33, 0);
        uint32_t out[33] = {0};
        if (std::string(v.x) == "2")
            ASSERT_TRUE(pow2mod(out, 33, exp.data(), 4, kOakleyGroup2Prime, 33));
        else
            ASSERT_TRUE(powmod(out, 33, base.data(), 33, exp.data(), 4, kOakleyGroup2Prime, 33));
        EXPECT_EQ(unsignedHex(out, 33), v.r0);
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
    std::vector<uint32_t> negated;  // limbs after negate(), growing only when needed
    int32_t negatedBitLength;
};

class BigIntLoad : public ::testing::TestWithParam<LoadCase> {};

TEST_P(BigIntLoad, TwosComplementInOutAndNegated)
{
    const LoadCase& c = GetParam();
    BigInt x = fromLimbs(c.limbs);
    EXPECT_EQ(x.limbCount, c.limbs.size());
    EXPECT_EQ(x.bitLength, c.bitLength);
    EXPECT_EQ(hexOf(x), c.hex);
    std::vector<uint32_t> back(c.limbs.size() + 1, 0xA5A5A5A5u);
    ASSERT_TRUE(x.toLimbs(back.data(), uint32_t(c.limbs.size())));
    EXPECT_EQ(std::vector<uint32_t>(back.begin(), back.end() - 1), c.limbs);
    EXPECT_EQ(back.back(), 0xA5A5A5A5u);
    EXPECT_FALSE(x.toLimbs(back.data(), uint32_t(c.limbs.size()) - 1));  // capacity too small
    x.negate();
    EXPECT_EQ(std::vector<uint32_t>(x.limbs, x.limbs + x.limbCount), c.negated);
    EXPECT_EQ(x.bitLength, c.negatedBitLength);
}

INSTANTIATE_TEST_SUITE_P(Cases, BigIntLoad, ::testing::Values(
    LoadCase{{0x80000000u}, -32, "-80000000", {0x80000000u, 0u}, 32},
    LoadCase{{0x80000000u, 0u}, 32, "80000000", {0x80000000u, 0xFFFFFFFFu}, -32},
    LoadCase{{0u, 0x80000000u}, -64, "-8000000000000000", {0u, 0x80000000u, 0u}, 64},
    LoadCase{{0xFFFFFFFFu}, -1, "-1", {1u}, 1},
    LoadCase{{0u, 0xFFFFFFFFu}, -33, "-100000000", {0u, 1u}, 33},
    LoadCase{{5u, 0x80000000u}, -64, "-7FFFFFFFFFFFFFFB", {0xFFFFFFFBu, 0x7FFFFFFFu}, 63},
    LoadCase{{0xFFFFFFFFu, 0x7FFFFFFFu}, 63, "7FFFFFFFFFFFFFFF", {1u, 0x80000000u}, -64},
    LoadCase{{5u, 0u}, 3, "5", {0xFFFFFFFBu, 0xFFFFFFFFu}, -4},
    LoadCase{{0u, 0u, 0u}, 0, "0", {0u, 0u, 0u}, 0},
    LoadCase{{1u, 0xFFFFFFFFu, 0xFFFFFFFFu}, -33, "-FFFFFFFF", {0xFFFFFFFFu, 0u, 0u}, 32}));

TEST(BigIntLoad, NullOrEmptyIsZero)
{
    BigInt x = H("1234567890"), y = H("1234567890");
    x.fromLimbs(nullptr, 3);
    y.fromLimbs(x.limbs, 0);
    EXPECT_EQ(std::vector<uint32_t>({x.limbCount, uint32_t(x.bitLength), y.limbCount, uint32_t(y.bitLength)}),
              std::vector<uint32_t>({1, 0, 1, 0}));
}

// Doubling 0x40000000 fills bit 31 of the same limb; the value stays
// positive for everything that reads the sign from bitLength.
TEST(BigIntDoubling, IntoBit31StaysPositive)
{
    BigInt x, a, b;
    x.setSmall(0x40000000u);
    x.shiftLeftBit();
    ASSERT_EQ(x.limbCount, 1u);
    EXPECT_EQ(x.limbs[0], 0x80000000u);
    EXPECT_EQ(x.bitLength, 32);
    EXPECT_EQ(x.neededLimbs(), 2u);
    EXPECT_EQ(x.limbAt(1), 0u);
    EXPECT_GT(BigInt::compare(x, H("7FFFFFFF")), 0);
    BigInt::subtract(x, H("80000001"), a);
    EXPECT_EQ(hexOf(a), "-1");
    BigInt::multiply(x, H("300000000"), a);
    EXPECT_EQ(hexOf(a), "18000000000000000");
    ASSERT_TRUE(BigInt::divMod(x, H("3"), a, b));
    EXPECT_EQ(hexOf(a) + " " + hexOf(b), "2AAAAAAA 2");
    ASSERT_TRUE(BigInt::divMod(x, H("100000003"), a, b));
    EXPECT_EQ(hexOf(b), "80000000");
    a = x;
    a.negate();
    EXPECT_EQ(hexOf(a), "-80000000");
    x.shiftLeftBit();  // one more doubling carries out of the limb
    EXPECT_EQ(std::vector<uint32_t>(x.limbs, x.limbs + x.limbCount), (std::vector<uint32_t>{0u, 1u}));
    EXPECT_EQ(x.bitLength, 33);
}

// 2^32 + 2^31 by 2^32 - 1 on the one-limb path: the remainder has bit 31 set
// and needs its second limb.
TEST(BigIntDivide, OneLimbDivisorTwoLimbRemainder)
{
    BigInt q, r;
    ASSERT_TRUE(BigInt::divMod(fromLimbs({0x80000000u, 1u}), H("FFFFFFFF"), q, r));
    EXPECT_EQ(hexOf(q) + " " + hexOf(r), "1 80000001");
    EXPECT_EQ(r.limbCount, 2u);
    EXPECT_EQ(r.bitLength, 32);
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
    ASSERT_TRUE(powmod(out, 1, &two, 1, &negative, 1, &seven, 1));  // a negative exponent gives 0
    EXPECT_EQ(out[0], 0u);
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
    EXPECT_EQ(hexOf(q) + " " + hexOf(r), "0 0");
}
#endif

}  // namespace
