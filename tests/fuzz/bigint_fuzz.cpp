// Cross-checks BigInt arithmetic against OpenSSL's BIGNUM on fuzzer-chosen
// operands: multiplication, division, modular exponentiation, addition and
// subtraction. Any difference, or a result whose bitLength does not describe
// its limbs, stops the run.
//
// Input: one byte choosing the operation, three bytes of operand sizes (in
// limbs), then the operands' limbs, little-endian; missing bytes read as 0.
// Operands are kept inside the domain each operation serves, so the capacity
// guards are never reached.
#include <openssl/bn.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include "crypto/bigint.h"

namespace {

struct Reader {
    const uint8_t* data;
    size_t size;
    uint8_t byte()
    {
        if (size == 0) return 0;
        --size;
        return *data++;
    }
    uint32_t limb()
    {
        uint32_t v = 0;
        for (int k = 0; k < 4; ++k) v |= uint32_t(byte()) << (8 * k);
        return v;
    }
};

// count limbs from the input; a clear top bit makes the value non-negative,
// and maxBits caps its magnitude.
BigInt operand(Reader& in, uint32_t count, bool allowNegative, uint32_t maxBits)
{
    uint32_t limbs[BigInt::kMaxLimbs];
    for (uint32_t i = 0; i < count; ++i) limbs[i] = in.limb();
    const bool negative = allowNegative && (limbs[count - 1] & 0x80000000u);
    if (!negative) limbs[count - 1] &= 0x7FFFFFFFu;
    // Clear magnitude bits from maxBits up (sign bits of a negative stay set).
    for (uint32_t bit = maxBits; bit < 32 * count - 1; ++bit) {
        uint32_t& limb = limbs[bit / 32];
        const uint32_t mask = 1u << (bit % 32);
        limb = negative ? (limb | mask) : (limb & ~mask);
    }
    BigInt x;
    x.fromLimbs(limbs, count);
    return x;
}

void fail(const char* what)
{
    fprintf(stderr, "BigInt differs from OpenSSL: %s\n", what);
    __builtin_trap();
}

// BIGNUM of a BigInt, reading its limbs in two's complement with the sign of bitLength.
BIGNUM* toBn(const BigInt& x)
{
    uint32_t limbs[BigInt::kMaxLimbs];
    memcpy(limbs, x.limbs, x.limbCount * sizeof(uint32_t));
    const bool negative = x.bitLength < 0;
    if (negative) {
        uint64_t carry = 1;
        for (uint32_t i = 0; i < x.limbCount; ++i) {
            carry += uint32_t(~limbs[i]);
            limbs[i] = uint32_t(carry);
            carry >>= 32;
        }
    }
    uint8_t bytes[4 * BigInt::kMaxLimbs];
    for (uint32_t i = 0; i < x.limbCount; ++i)
        for (int k = 0; k < 4; ++k) bytes[4 * i + k] = uint8_t(limbs[i] >> (8 * k));
    BIGNUM* b = BN_lebin2bn(bytes, int(4 * x.limbCount), nullptr);
    BN_set_negative(b, negative);
    return b;
}

void checkWellFormed(const BigInt& x)
{
    if (x.limbCount < 1 || x.limbCount > BigInt::kMaxLimbs) fail("limb count");
    BigInt copy = x;
    // A positive value may fill bit 31 of its top limb; normalize would read
    // that as negative, so compare on one more zero limb.
    if (x.bitLength > 0 && copy.limbCount < BigInt::kMaxLimbs) {
        copy.extendTo(copy.limbCount + 1);
    }
    copy.normalize();
    if (copy.bitLength != x.bitLength) fail("bitLength");
}

void expectEqual(const BigInt& ours, const BIGNUM* theirs, const char* what)
{
    checkWellFormed(ours);
    BIGNUM* b = toBn(ours);
    const bool same = BN_cmp(b, theirs) == 0;
    BN_free(b);
    if (!same) fail(what);
}

uint32_t magnitudeBits(const BigInt& x)
{
    return uint32_t(x.bitLength >= 0 ? x.bitLength : -x.bitLength);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 4) return 0;
    Reader in{data, size};
    const uint8_t op = in.byte() % 5;
    const uint32_t xn = in.byte() % 66 + 1;
    const uint32_t yn = in.byte() % 66 + 1;
    const uint32_t mn = in.byte() % 33 + 1;

    static BN_CTX* ctx = BN_CTX_new();
    BIGNUM* expected = BN_new();
    BIGNUM* second = BN_new();

    switch (op) {
    case 0: {  // multiply, signed; products of at most 2,111 bits fit
        const BigInt x = operand(in, xn, true, 2110);
        const uint32_t xBits = magnitudeBits(x);  // |bitLength| bounds the magnitude's bits
        const BigInt y = operand(in, yn, true, xBits >= 2111 ? 0 : 2111 - xBits);
        BigInt p;
        BigInt::multiply(x, y, p);
        BIGNUM *a = toBn(x), *b = toBn(y);
        BN_mul(expected, a, b, ctx);
        expectEqual(p, expected, "multiply");
        if (2 * xBits <= 2111) {
            BigInt::multiply(x, x, p);
            BN_sqr(expected, a, ctx);
            expectEqual(p, expected, "square");
        }
        BN_free(a);
        BN_free(b);
        break;
    }
    case 1: {  // divMod, a >= 0, 0 < d of at most 2,111 bits
        const BigInt a = operand(in, xn, false, 2143);
        BigInt d = operand(in, yn, false, 2111);
        if (d.isZero()) d.setSmall(1);
        BigInt q, r;
        if (!BigInt::divMod(a, d, q, r)) fail("divMod refused");
        BIGNUM *ba = toBn(a), *bd = toBn(d);
        BN_div(expected, second, ba, bd, ctx);
        expectEqual(q, expected, "quotient");
        expectEqual(r, second, "remainder");
        BN_free(ba);
        BN_free(bd);
        break;
    }
    case 2: {  // modPow: any base, exponent up to two limbs, modulus up to 33 limbs
        const BigInt base = operand(in, xn, false, 2143);
        const BigInt exp = operand(in, yn % 2 + 1, false, 64);
        BigInt mod = operand(in, mn, false, 32 * mn - 1);
        if (mod.isZero()) mod.setSmall(1);
        BigInt out;
        if (!BigInt::modPow(base, exp, mod, out)) fail("modPow refused");
        BIGNUM *b = toBn(base), *e = toBn(exp), *m = toBn(mod);
        BN_mod_exp(expected, b, e, m, ctx);
        if (exp.isZero()) BN_one(expected);  // x^0 is 1 here even modulo 1
        expectEqual(out, expected, "modPow");
        BN_free(b);
        BN_free(e);
        BN_free(m);
        break;
    }
    default: {  // add and subtract, signed, within 65 limbs
        const BigInt x = operand(in, xn, true, 2079);
        const BigInt y = operand(in, yn, true, 2079);
        BigInt sum, difference;
        BigInt::add(x, y, sum);
        BigInt::subtract(x, y, difference);
        BIGNUM *a = toBn(x), *b = toBn(y);
        BN_add(expected, a, b);
        BN_sub(second, a, b);
        expectEqual(sum, expected, "add");
        expectEqual(difference, second, "subtract");
        BN_free(a);
        BN_free(b);
        break;
    }
    }
    BN_free(expected);
    BN_free(second);
    return 0;
}
