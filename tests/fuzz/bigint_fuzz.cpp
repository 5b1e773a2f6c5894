// BigInt against OpenSSL's BIGNUM on fuzzer-chosen operands (multiply, divMod,
// modPow, add, subtract): any difference, or a bitLength that does not describe
// the limbs, stops the run. Input: an operation byte, three operand sizes in
// limbs, then the limbs (little-endian; missing bytes read as 0). Operands stay
// inside each operation's domain, so the capacity guards are never reached.
#include <openssl/bn.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <initializer_list>

#include "crypto/bigint.h"

namespace {

struct Reader {
    const uint8_t *data, *end;
    uint8_t byte() { return data < end ? *data++ : 0; }
};

// count limbs from the input; a clear top bit makes the value non-negative,
// and maxBits caps its magnitude (sign bits of a negative stay set).
BigInt operand(Reader& in, uint32_t count, bool allowNegative, uint32_t maxBits)
{
    uint32_t limbs[BigInt::kMaxLimbs] = {0};
    for (uint32_t i = 0; i < 4 * count; ++i) limbs[i / 4] |= uint32_t(in.byte()) << (8 * (i % 4));
    const bool negative = allowNegative && (limbs[count - 1] & 0x80000000u);
    if (!negative) limbs[count - 1] &= 0x7FFFFFFFu;
    for (uint32_t bit = maxBits; bit < 32 * count - 1; ++bit)
        limbs[bit / 32] = negative ? limbs[bit / 32] | 1u << (bit % 32) : limbs[bit / 32] & ~(1u << (bit % 32));
    BigInt x;
    x.fromLimbs(limbs, count);
    return x;
}

void fail(const char* what)
{
    fprintf(stderr, "BigInt differs from OpenSSL: %s\n", what);
    __builtin_trap();
}

// BIGNUM of a BigInt: its limbs unsigned, less 2^(32 limbCount) when bitLength says negative.
BIGNUM* toBn(const BigInt& x)
{
    uint8_t bytes[4 * BigInt::kMaxLimbs];
    for (uint32_t i = 0; i < 4 * x.limbCount; ++i) bytes[i] = uint8_t(x.limbs[i / 4] >> (8 * (i % 4)));
    BIGNUM* b = BN_lebin2bn(bytes, int(4 * x.limbCount), nullptr);
    if (x.bitLength < 0) {
        BIGNUM* wrap = BN_new();
        BN_set_bit(wrap, int(32 * x.limbCount));
        BN_sub(b, b, wrap);
        BN_free(wrap);
    }
    return b;
}

void expectEqual(const BigInt& ours, const BIGNUM* theirs, const char* what)
{
    if (ours.limbCount < 1 || ours.limbCount > BigInt::kMaxLimbs) fail("limb count");
    // A positive value may fill bit 31 of its top limb; normalize would read
    // that as negative, so recompute bitLength on one more zero limb.
    BigInt copy = ours;
    if (ours.bitLength > 0 && copy.limbCount < BigInt::kMaxLimbs) copy.extendTo(copy.limbCount + 1);
    copy.normalize();
    if (copy.bitLength != ours.bitLength) fail("bitLength");
    BIGNUM* b = toBn(ours);
    if (BN_cmp(b, theirs) != 0) fail(what);
    BN_free(b);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 4) return 0;
    Reader in{data, data + size};
    const uint8_t op = in.byte() % 5;
    const uint32_t xn = in.byte() % 66 + 1, yn = in.byte() % 66 + 1, mn = in.byte() % 33 + 1;
    static BN_CTX* ctx = BN_CTX_new();
    BIGNUM *expected = BN_new(), *second = BN_new(), *a = nullptr, *b = nullptr, *m = nullptr;
    BigInt x, y, r0, r1;

    switch (op) {
    case 0: {  // multiply, signed, and square; products of at most 2,111 bits fit
        x = operand(in, xn, true, 2110);
        const uint32_t xBits = uint32_t(x.bitLength >= 0 ? x.bitLength : -x.bitLength);
        y = operand(in, yn, true, xBits >= 2111 ? 0 : 2111 - xBits);
        BigInt::multiply(x, y, r0);
        a = toBn(x), b = toBn(y);
        BN_mul(expected, a, b, ctx);
        expectEqual(r0, expected, "multiply");
        if (2 * xBits > 2111) break;
        BigInt::multiply(x, x, r1);
        BN_sqr(second, a, ctx);
        expectEqual(r1, second, "square");
        break;
    }
    case 1:  // divMod, a >= 0, 0 < d of at most 2,111 bits
        x = operand(in, xn, false, 2143);
        y = operand(in, yn, false, 2111);
        if (y.isZero()) y.setSmall(1);
        if (!BigInt::divMod(x, y, r0, r1)) fail("divMod refused");
        a = toBn(x), b = toBn(y);
        BN_div(expected, second, a, b, ctx);
        expectEqual(r0, expected, "quotient");
        expectEqual(r1, second, "remainder");
        break;
    case 2: {  // modPow: any base, exponent up to two limbs, modulus up to 33 limbs
        x = operand(in, xn, false, 2143);
        y = operand(in, yn % 2 + 1, false, 64);
        BigInt mod = operand(in, mn, false, 32 * mn - 1);
        if (mod.isZero()) mod.setSmall(1);
        if (!BigInt::modPow(x, y, mod, r0)) fail("modPow refused");
        a = toBn(x), b = toBn(y), m = toBn(mod);
        BN_mod_exp(expected, a, b, m, ctx);
        if (y.isZero()) BN_one(expected);  // x^0 is 1 here even modulo 1
        expectEqual(r0, expected, "modPow");
        break;
    }
    default:  // add and subtract, signed, within 65 limbs
        x = operand(in, xn, true, 2079);
        y = operand(in, yn, true, 2079);
        BigInt::add(x, y, r0);
        BigInt::subtract(x, y, r1);
        a = toBn(x), b = toBn(y);
        BN_add(expected, a, b);
        BN_sub(second, a, b);
        expectEqual(r0, expected, "add");
        expectEqual(r1, second, "subtract");
        break;
    }
    for (BIGNUM* p : {expected, second, a, b, m}) BN_free(p);
    return 0;
}
