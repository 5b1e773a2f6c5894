#include "crypto/bigint.h"

#include <string.h>

#include "crypto/fault.h"

const uint32_t kOakleyGroup2Prime[33] = {
    0xFFFFFFFFu, 0xFFFFFFFFu, 0xECE65381u, 0x49286651u, 0x7C4B1FE6u, 0xAE9F2411u,
    0x5A899FA5u, 0xEE386BFBu, 0xF406B7EDu, 0x0BFF5CB6u, 0xA637ED6Bu, 0xF44C42E9u,
    0x625E7EC6u, 0xE485B576u, 0x6D51C245u, 0x4FE1356Du, 0xF25F1437u, 0x302B0A6Du,
    0xCD3A431Bu, 0xEF9519B3u, 0x8E3404DDu, 0x514A0879u, 0x3B139B22u, 0x020BBEA6u,
    0x8A67CC74u, 0x29024E08u, 0x80DC1CD1u, 0xC4C6628Bu, 0x2168C234u, 0xC90FDAA2u,
    0xFFFFFFFFu, 0xFFFFFFFFu, 0x00000000u,
};

namespace {

const uint32_t kMax = BigInt::kMaxLimbs;
const uint32_t kSignBit = 0x80000000u;

// Significant bits of a non-negative magnitude held in n limbs.
inline uint32_t magnitudeBits(const uint32_t* x, uint32_t n)
{
    while (n > 0 && x[n - 1] == 0) --n;
    return n == 0 ? 0u : 32u * n - uint32_t(__builtin_clz(x[n - 1]));
}

// Limbs a non-negative value of that many bits needs with its sign bit.
inline uint32_t neededForBits(uint32_t bits)
{
    return bits == 0 ? 0u : bits / 32u + 1u;
}

inline uint32_t minU(uint32_t a, uint32_t b) { return a < b ? a : b; }
inline uint32_t maxU(uint32_t a, uint32_t b) { return a > b ? a : b; }

// (hi:lo) / d for hi < d, so the quotient fits one limb. On i686 the divide
// instruction does it directly; a 64-bit C division would call into the
// compiler's runtime library there.
inline uint32_t divideWide(uint32_t hi, uint32_t lo, uint32_t d, uint32_t& rem)
{
#if defined(__i386__)
    uint32_t q, r;
    __asm__("divl %4" : "=a"(q), "=d"(r) : "a"(lo), "d"(hi), "rm"(d) : "cc");
    rem = r;
    return q;
#else
    const uint64_t n = (uint64_t(hi) << 32) | lo;
    rem = uint32_t(n % d);
    return uint32_t(n / d);
#endif
}

// ---------------------------------------------------------------------------
// Karatsuba on bare limb arrays. The recursion splits exactly as the BigInt
// algorithm does (on needed limbs, the longer operand first, the high half of
// the shorter one empty when it is below the split point, one-limb factors at
// the bottom); working on arrays only saves the copies and bookkeeping of
// full-size temporaries at every node.

// Scratch for the recursion: each node takes its five buffers from the front
// and hands the rest to its children. Products that fit the capacity peak
// at about 830 limbs; the whole stays below a page of stack.
const uint32_t kScratchLimbs = 960;

struct Scratch {
    uint32_t* next;
    uint32_t* end;
    uint32_t* take(uint32_t n)
    {
        if (uint32_t(end - next) < n) BigIntOverflowFault();
        uint32_t* p = next;
        next += n;
        return p;
    }
};

// The two needed-limb counts that size the top-level product (see multiply).
struct ProductShape {
    uint32_t highNeeded;  // the product less its low partial product
    uint32_t lowNeeded;   // the low partial product
};

// out[0..n) = a[0..an) + b[0..bn) with n = max(an, bn) + 1; returns n.
uint32_t addArrays(uint32_t* out, const uint32_t* a, uint32_t an, const uint32_t* b, uint32_t bn)
{
    if (an < bn) {
        const uint32_t* t = a; a = b; b = t;
        uint32_t tn = an; an = bn; bn = tn;
    }
    uint64_t carry = 0;
    uint32_t i = 0;
    for (; i < bn; ++i) {
        carry += uint64_t(a[i]) + b[i];
        out[i] = uint32_t(carry);
        carry >>= 32;
    }
    for (; i < an; ++i) {
        carry += a[i];
        out[i] = uint32_t(carry);
        carry >>= 32;
    }
    out[an] = uint32_t(carry);
    return an + 1;
}

// a[0..an) -= b[0..bn), for b <= a and bn <= an.
void subtractInPlace(uint32_t* a, uint32_t an, const uint32_t* b, uint32_t bn)
{
    uint32_t borrow = 0;
    uint32_t i = 0;
    for (; i < bn; ++i) {
        const uint64_t d = uint64_t(a[i]) - b[i] - borrow;
        a[i] = uint32_t(d);
        borrow = uint32_t(d >> 63);
    }
    for (; borrow && i < an; ++i) borrow = (a[i]-- == 0);
}

// a[0..an) += b[0..bn), for a sum that fits an limbs.
void addInPlace(uint32_t* a, uint32_t an, const uint32_t* b, uint32_t bn)
{
    uint64_t carry = 0;
    uint32_t i = 0;
    for (; i < bn; ++i) {
        carry += uint64_t(a[i]) + b[i];
        a[i] = uint32_t(carry);
        carry >>= 32;
    }
    for (; carry && i < an; ++i) carry = (++a[i] == 0);
}

inline uint32_t trimmed(const uint32_t* x, uint32_t n)
{
    while (n > 0 && x[n - 1] == 0) --n;
    return n;
}

// out[0..L] = g * s, L = needed limbs of g; returns L + 1.
uint32_t multiplyOneLimb(uint32_t* out, uint32_t s, const uint32_t* g, uint32_t gn, uint32_t L)
{
    uint32_t carry = 0;
    for (uint32_t i = 0; i < L; ++i) {
        const uint64_t p = uint64_t(i < gn ? g[i] : 0u) * s + carry;
        out[i] = uint32_t(p);
        carry = uint32_t(p >> 32);
    }
    out[L] = carry;
    return L + 1;
}

// Product of the non-negative magnitudes x[0..xn) and y[0..yn) into out, which
// holds at least as many limbs as the two need together. Returns the number
// of limbs written (0 for a zero product). shape, when given, receives the
// sizes of the final sum.
uint32_t multiplyArrays(uint32_t* out, const uint32_t* x, uint32_t xn, const uint32_t* y, uint32_t yn,
                        Scratch& scratch, ProductShape* shape)
{
    const uint32_t xBits = magnitudeBits(x, xn);
    const uint32_t yBits = magnitudeBits(y, yn);
    if (xBits == 0 || yBits == 0) return 0;
    xn = (xBits + 31) / 32;
    yn = (yBits + 31) / 32;
    if (xBits <= 32) return multiplyOneLimb(out, x[0], y, yn, neededForBits(yBits));
    if (yBits <= 32) return multiplyOneLimb(out, y[0], x, xn, neededForBits(xBits));

    // X is the operand with more needed limbs, the second one on a tie.
    const uint32_t* X = y;
    const uint32_t* Y = x;
    uint32_t Xn = yn, Yn = xn;
    uint32_t d = neededForBits(yBits), f = neededForBits(xBits);
    if (neededForBits(xBits) > neededForBits(yBits)) {
        X = x; Xn = xn; Y = y; Yn = yn;
        d = neededForBits(xBits); f = neededForBits(yBits);
    }
    const uint32_t h = d / 2;

    const uint32_t* x1 = X + h;
    const uint32_t x1n = Xn > h ? Xn - h : 0;
    const uint32_t x0n = minU(h, Xn);
    const uint32_t* y1 = Y + h;
    uint32_t y1n, y0n;
    if (f < h) {
        y1n = 0;
        y0n = Yn;
    } else {
        y1n = Yn > h ? Yn - h : 0;
        y0n = minU(h, Yn);
    }

    const uint32_t sn = maxU(x1n, x0n) + 1;
    const uint32_t tn = maxU(y1n, y0n) + 1;
    uint32_t* S = scratch.take(sn);
    uint32_t* T = scratch.take(tn);
    uint32_t* P2 = scratch.take(sn + tn + 2);
    uint32_t* P1 = scratch.take(x1n + y1n + 2);
    uint32_t* P0 = scratch.take(x0n + y0n + 2);
    uint32_t* const mark = scratch.next;

    addArrays(S, x1, x1n, X, x0n);
    addArrays(T, y1, y1n, Y, y0n);
    uint32_t p2n = multiplyArrays(P2, S, sn, T, tn, scratch, nullptr);
    uint32_t p1n = multiplyArrays(P1, x1, x1n, y1, y1n, scratch, nullptr);
    uint32_t p0n = multiplyArrays(P0, X, x0n, Y, y0n, scratch, nullptr);
    scratch.next = mark;

    // M = P2 - P1 - P0, the middle term, left in P2.
    p2n = trimmed(P2, p2n);
    p1n = trimmed(P1, p1n);
    p0n = trimmed(P0, p0n);
    subtractInPlace(P2, p2n, P1, p1n);
    subtractInPlace(P2, p2n, P0, p0n);
    p2n = trimmed(P2, p2n);

    // out = P1 * B^2h + M * B^h + P0, every partial sum within the product.
    const uint32_t n = d + f;
    memset(out, 0, n * sizeof(uint32_t));
    if (p1n) memcpy(out + 2 * h, P1, p1n * sizeof(uint32_t));
    addInPlace(out + h, n - h, P2, p2n);
    if (shape) {
        shape->highNeeded = neededForBits(magnitudeBits(out, n));
        shape->lowNeeded = neededForBits(magnitudeBits(P0, p0n));
    }
    addInPlace(out, n, P0, p0n);
    return n;
}

// Karatsuba product of two magnitudes above 32 bits into product. The final
// sum (P1 B^2h + M B^h) + P0 has one limb more than the larger of its two
// terms' needed limbs, and that is the product's limbCount.
__attribute__((noinline)) void multiplyLarge(const BigInt& x, const BigInt& y, BigInt& product)
{
    // A product of at least 2,144 bits cannot fit, however it is summed.
    if (uint32_t(x.bitLength) + uint32_t(y.bitLength) - 1 >= 32 * kMax) BigIntOverflowFault();
    uint32_t work[kScratchLimbs];
    Scratch scratch = {work, work + kScratchLimbs};
    uint32_t* full = scratch.take(x.neededLimbs() + y.neededLimbs());
    ProductShape shape = {0, 0};
    const uint32_t written = multiplyArrays(full, x.limbs, x.limbCount, y.limbs, y.limbCount,
                                            scratch, &shape);
    const uint32_t n = maxU(shape.highNeeded, shape.lowNeeded) + 1;
    if (n > kMax) BigIntOverflowFault();
    const uint32_t copied = minU(written, n);
    memcpy(product.limbs, full, copied * sizeof(uint32_t));
    if (n > copied) memset(product.limbs + copied, 0, (n - copied) * sizeof(uint32_t));
    product.limbCount = n;
}

// ---------------------------------------------------------------------------
// Restoring binary long division, one dividend bit per step: r is doubled,
// the bit comes in, and d is subtracted when r >= d. The loop runs on the
// widest native word (two limbs per word on 64-bit hosts) and tracks r's bit
// length, so that doubling touches only r's significant words, most
// comparisons are settled by length alone, and when r is to be reduced the
// doubling and the subtraction share one pass.

// QM_BIGINT_WORD32 forces one limb per word, as on i686, so that 64-bit
// hosts can test that path too.
#if UINTPTR_MAX > 0xFFFFFFFFu && !defined(QM_BIGINT_WORD32)
typedef uint64_t Word;
#else
typedef uint32_t Word;
#endif
const uint32_t kWordBits = sizeof(Word) * 8;
const uint32_t kLimbsPerWord = sizeof(Word) / sizeof(uint32_t);
const uint32_t kMaxWords = (kMax + 1 + kLimbsPerWord - 1) / kLimbsPerWord;

inline uint32_t wordBits(Word w)
{
    return sizeof(Word) == 8 ? 64u - uint32_t(__builtin_clzll(uint64_t(w)))
                             : 32u - uint32_t(__builtin_clz(uint32_t(w)));
}

void limbsToWords(Word* w, const uint32_t* limbs, uint32_t n)
{
    const uint32_t words = (n + kLimbsPerWord - 1) / kLimbsPerWord;
    for (uint32_t i = 0; i < words; ++i) {
        Word v = 0;
        for (uint32_t k = 0; k < kLimbsPerWord; ++k) {
            const uint32_t index = i * kLimbsPerWord + k;
            if (index < n) v |= Word(limbs[index]) << (32 * k % kWordBits);
        }
        w[i] = v;
    }
}

void wordsToLimbs(uint32_t* limbs, uint32_t n, const Word* w)
{
    for (uint32_t i = 0; i < n; ++i)
        limbs[i] = uint32_t(w[i / kLimbsPerWord] >> (32 * (i % kLimbsPerWord) % kWordBits));
}

// a (aBits > 0 bits) divided by d (above 32 bits, d <= a). q receives qn
// limbs, r the remainder in rCount limbs: the needed limbs of d, or one more
// when the last subtraction started from an r that filled bit 31 of its top
// limb (possible only when d's top bit is bit 30 of its top limb) - the
// count the subtraction r - d sizes its result to.
void divideBitSerial(const uint32_t* a, uint32_t aBits, const BigInt& d, uint32_t* q, uint32_t qn,
                     uint32_t* r, uint32_t& rCount, uint32_t& rBits)
{
    const uint32_t n = d.neededLimbs();
    const uint32_t dBits = uint32_t(d.bitLength);
    Word D[kMaxWords];
    Word R[kMaxWords];
    Word Q[kMaxWords];
    uint32_t dLimbs[kMax + 1];
    for (uint32_t i = 0; i < n; ++i) dLimbs[i] = d.limbAt(i);
    limbsToWords(D, dLimbs, n);
    memset(R, 0, sizeof(R));
    memset(Q, 0, sizeof(Q));
    rCount = n;
    uint32_t bits = 0;  // of r
    const Word high = Word(kWordBits - 1);

    for (uint32_t j = aBits; j-- > 0;) {
        const Word bit = (a[j >> 5] >> (j & 31)) & 1u;
        if (bits == 0) {
            // d has more than 32 bits: a one-bit r is below it.
            R[0] = bit;
            bits = uint32_t(bit);
            continue;
        }
        const uint32_t newBits = bits + 1;
        const uint32_t top = bits / kWordBits;  // the word that takes r's new top bit
        bool reduce = newBits > dBits;
        if (newBits == dBits) {
            reduce = true;  // equal unless a word differs
            for (uint32_t i = top + 1; i-- > 0;) {
                const Word doubled = (R[i] << 1) | (i > 0 ? R[i - 1] >> high : bit);
                if (doubled != D[i]) {
                    reduce = doubled > D[i];
                    break;
                }
            }
        }
        if (!reduce) {
            Word carry = bit;
            for (uint32_t i = 0; i <= top; ++i) {
                const Word v = R[i];
                R[i] = (v << 1) | carry;
                carry = v >> high;
            }
            bits = newBits;
            continue;
        }
        // r - d sizes its result from r's needed limbs, plus one of headroom.
        const uint32_t rNeeded = newBits / 32 + 1;
        if (rNeeded + 1 > kMax) BigIntOverflowFault();
        Word carry = bit;
        Word borrow = 0;
        for (uint32_t i = 0; i <= top; ++i) {
            const Word v = R[i];
            Word x = (v << 1) | carry;
            carry = v >> high;
            const bool b1 = __builtin_sub_overflow(x, D[i], &x);
            const bool b2 = __builtin_sub_overflow(x, borrow, &x);
            R[i] = x;
            borrow = Word(b1 | b2);
        }
        uint32_t i = top + 1;
        while (i > 0 && R[i - 1] == 0) --i;
        bits = i == 0 ? 0u : (i - 1) * kWordBits + wordBits(R[i - 1]);
        rCount = rNeeded;
        Q[j / kWordBits] |= Word(1) << (j % kWordBits);
    }
    wordsToLimbs(q, qn, Q);
    wordsToLimbs(r, rCount, R);
    rBits = bits;
}

}  // namespace

// ---------------------------------------------------------------------------

BigInt::BigInt(const BigInt& other) : limbCount(other.limbCount), bitLength(other.bitLength)
{
    memcpy(limbs, other.limbs, other.limbCount * sizeof(uint32_t));
}

BigInt& BigInt::operator=(const BigInt& other)
{
    if (this != &other) {
        limbCount = other.limbCount;
        bitLength = other.bitLength;
        memcpy(limbs, other.limbs, other.limbCount * sizeof(uint32_t));
    }
    return *this;
}

void BigInt::fromLimbs(const uint32_t* p, uint32_t count)
{
    if (p == nullptr || count == 0) {
        clearTo(1);
        return;
    }
    if (count > kMax) BigIntOverflowFault();
    memcpy(limbs, p, count * sizeof(uint32_t));
    limbCount = count;
    normalize();
}

bool BigInt::toLimbs(uint32_t* p, uint32_t capacity) const
{
    if (p == nullptr || limbCount > capacity) return false;
    memcpy(p, limbs, limbCount * sizeof(uint32_t));
    return true;
}

void BigInt::setSmall(uint32_t v)
{
    limbs[0] = v;
    limbCount = 1;
    if (v & kSignBit) {
        limbs[1] = 0;
        limbCount = 2;
    }
    bitLength = v == 0 ? 0 : 32 - __builtin_clz(v);
}

void BigInt::moveTo(BigInt& dst)
{
    if (&dst == this) return;
    dst = *this;
    clearTo(1);
}

void BigInt::extendTo(uint32_t count)
{
    if (count == 0) count = 1;
    if (count > kMax) BigIntOverflowFault();
    if (count > limbCount)
        memset(limbs + limbCount, bitLength < 0 ? 0xFF : 0x00, (count - limbCount) * sizeof(uint32_t));
    limbCount = count;
}

void BigInt::clearTo(uint32_t count)
{
    if (count == 0) count = 1;
    if (count > kMax) BigIntOverflowFault();
    limbCount = count;
    bitLength = 0;
    limbs[0] = 0;
}

void BigInt::normalize()
{
    uint32_t i = limbCount;
    if (limbs[i - 1] & kSignBit) {
        while (i > 0 && limbs[i - 1] == 0xFFFFFFFFu) --i;
        if (i == 0) {
            bitLength = -1;
            return;
        }
        const int32_t leadingOnes = __builtin_clz(~limbs[i - 1]);
        bitLength = -33 - 32 * int32_t(i - 1) + leadingOnes;
    } else {
        while (i > 0 && limbs[i - 1] == 0) --i;
        bitLength = i == 0 ? 0 : int32_t(32 * i - __builtin_clz(limbs[i - 1]));
    }
}

int BigInt::compare(const BigInt& a, const BigInt& b)
{
    if (a.bitLength != b.bitLength) return a.bitLength - b.bitLength;
    const int32_t bits = a.bitLength;
    if (bits == 0) return 0;
    int32_t i = bits > 0 ? (bits - 1) / 32 : (-2 - bits) / 32;
    for (; i >= 0; --i) {
        const uint32_t x = a.limbAt(uint32_t(i)), y = b.limbAt(uint32_t(i));
        if (x != y) return x < y ? -1 : 1;
    }
    return 0;
}

void BigInt::complement()
{
    for (uint32_t i = 0; i < limbCount; ++i) limbs[i] = ~limbs[i];
    bitLength = -1 - bitLength;
}

void BigInt::negate()
{
    if (bitLength == 0) return;
    // One more limb when the negation does not fit: the most negative value
    // of limbCount limbs, or a positive value that fills bit 31 of its top limb
    // (as doubling leaves it).
    const uint32_t top = limbs[limbCount - 1];
    bool grow;
    if (bitLength > 0) {
        grow = (top & kSignBit) != 0;
    } else {
        grow = top == kSignBit;
        for (uint32_t i = 0; grow && i + 1 < limbCount; ++i) grow = limbs[i] == 0;
    }
    if (grow) extendTo(limbCount + 1);
    complement();
    for (uint32_t i = 0; i < limbCount; ++i)
        if (++limbs[i] != 0) break;
    normalize();
}

void BigInt::shiftLeftBit()
{
    if (bitLength == 0) return;
    bitLength += bitLength > 0 ? 1 : -1;
    const uint32_t n = limbCount;
    const uint32_t out = limbs[n - 1] >> 31;
    for (uint32_t i = n - 1; i > 0; --i) limbs[i] = (limbs[i] << 1) | (limbs[i - 1] >> 31);
    limbs[0] <<= 1;
    if (out) {
        if (n + 1 > kMax) BigIntOverflowFault();
        limbs[n] = bitLength < 0 ? 0xFFFFFFFFu : 1u;
        limbCount = n + 1;
    }
}

void BigInt::shiftLeftLimbs(uint32_t k)
{
    if (k == 0) return;
    if (k > kMax) BigIntOverflowFault();
    const uint32_t need = neededLimbs() + k;
    if (limbCount < need) extendTo(need);
    for (uint32_t i = limbCount; i-- > k;) limbs[i] = limbs[i - k];
    memset(limbs, 0, k * sizeof(uint32_t));
    if (bitLength > 0) bitLength += int32_t(32 * k);
    else if (bitLength < 0) bitLength -= int32_t(32 * k);
}

void BigInt::add(const BigInt& a, const BigInt& b, BigInt& out)
{
    const uint32_t m = maxU(a.neededLimbs(), b.neededLimbs());
    BigInt sum;
    sum.clearTo(m + 1);
    uint64_t carry = 0;
    for (uint32_t i = 0; i < m; ++i) {
        carry += uint64_t(a.limbAt(i)) + b.limbAt(i);
        sum.limbs[i] = uint32_t(carry);
        carry >>= 32;
    }
    const bool aNegative = a.bitLength < 0, bNegative = b.bitLength < 0;
    if (!aNegative && !bNegative) {
        sum.limbs[m] = uint32_t(carry);
    } else if (aNegative && bNegative) {
        // Both sign fills plus the carry: the sum of two negatives keeps its
        // extra limb, where dropping the carry would lose the value.
        sum.limbs[m] = 0xFFFFFFFEu + uint32_t(carry);
    } else {
        // Opposite signs: the result fits m limbs; the carry is wrap-around.
        sum.limbCount = m;
    }
    sum.normalize();
    out = sum;
}

void BigInt::subtract(const BigInt& a, const BigInt& b, BigInt& out)
{
    BigInt negated(b);
    negated.negate();
    add(a, negated, out);
}

void BigInt::multiply(const BigInt& a, const BigInt& b, BigInt& out)
{
    if (a.bitLength == 0 || b.bitLength == 0) {
        out.clearTo(1);
        return;
    }
    BigInt aMagnitude, bMagnitude;
    const BigInt* x = &a;
    const BigInt* y = &b;
    if (a.bitLength < 0) {
        aMagnitude = a;
        aMagnitude.negate();
        x = &aMagnitude;
    }
    if (b.bitLength < 0) {
        bMagnitude = b;
        bMagnitude.negate();
        y = &bMagnitude;
    }

    BigInt product;
    if (x->bitLength <= 32 || y->bitLength <= 32) {
        // One limb times many: the first operand is the one-limb factor when
        // both qualify. L + 1 limbs, one more when the top carry sets bit 31.
        const BigInt& s = x->bitLength <= 32 ? *x : *y;
        const BigInt& g = x->bitLength <= 32 ? *y : *x;
        const uint32_t L = g.neededLimbs();
        if (L + 1 > kMax) BigIntOverflowFault();
        uint32_t n = multiplyOneLimb(product.limbs, s.limbs[0], g.limbs, minU(g.limbCount, L), L);
        if (product.limbs[L] & kSignBit) {
            if (n + 1 > kMax) BigIntOverflowFault();
            product.limbs[n++] = 0;
        }
        product.limbCount = n;
    } else {
        multiplyLarge(*x, *y, product);
    }
    product.normalize();
    if ((a.bitLength < 0) != (b.bitLength < 0)) product.negate();
    out = product;
}

bool BigInt::divMod(const BigInt& a, const BigInt& d, BigInt& q, BigInt& r)
{
    if (&q == &r) {
        q.clearTo(1);
        return false;
    }
    if (d.bitLength == 0) {
        BigIntDivideByZeroFault();
        q.clearTo(1);
        r.clearTo(1);
        return false;
    }
    if (a.bitLength < 0 || d.bitLength < 0) {
        q.clearTo(1);
        r.clearTo(1);
        return false;
    }
    if (a.bitLength == 0) {
        q.clearTo(1);
        r.clearTo(1);
        return true;
    }
    if (compare(d, a) > 0) {
        r = a;  // before q, which may be a
        q.clearTo(1);
        return true;
    }

    BigInt quotient, remainder;
    if (d.bitLength <= 32) {
        // One-limb divisor: schoolbook division, one word at a time.
        const uint32_t divisor = d.limbs[0];
        const uint32_t n = maxU(a.limbCount, a.neededLimbs());
        if (n > kMax) BigIntOverflowFault();
        uint32_t rem = 0;
        for (uint32_t i = n; i-- > 0;) quotient.limbs[i] = divideWide(rem, a.limbAt(i), divisor, rem);
        quotient.limbCount = n;
        remainder.setSmall(rem);
    } else {
        const uint32_t qn = a.neededLimbs();
        if (qn > kMax) BigIntOverflowFault();
        uint32_t rCount = 0, rBits = 0;
        divideBitSerial(a.limbs, uint32_t(a.bitLength), d, quotient.limbs, qn, remainder.limbs, rCount, rBits);
        quotient.limbCount = qn;
        remainder.limbCount = rCount;
        remainder.bitLength = int32_t(rBits);
    }
    quotient.normalize();
    q = quotient;
    r = remainder;
    return true;
}

bool BigInt::modPow(const BigInt& base, const BigInt& exp, const BigInt& mod, BigInt& out)
{
    if (&out == &base || &out == &exp || &out == &mod) return false;
    if (exp.bitLength == 0) {
        out.setSmall(1);
        return true;
    }
    if (exp.bitLength < 0 || base.bitLength == 0) {
        out.clearTo(1);
        return true;
    }
    if (base.bitLength < 0 || mod.bitLength < 0) {
        out.clearTo(1);
        return false;
    }
    BigInt t, q;
    if (!divMod(base, mod, q, t)) {
        out.clearTo(1);
        return false;
    }
    out.setSmall(1);
    const uint32_t bits = uint32_t(exp.bitLength);
    for (uint32_t i = 0; i < bits; ++i) {
        if (exp.testBit(i)) {
            multiply(out, t, out);
            divMod(out, mod, q, out);
        }
        multiply(t, t, t);
        divMod(t, mod, q, t);
    }
    return true;
}

// ---------------------------------------------------------------------------

bool powmod(uint32_t* out, uint32_t outLimbs,
            const uint32_t* base, uint32_t baseLimbs,
            const uint32_t* exp, uint32_t expLimbs,
            const uint32_t* mod, uint32_t modLimbs)
{
    if (out == nullptr || base == nullptr || exp == nullptr || mod == nullptr) return false;
    if (baseLimbs > BigInt::kMaxLimbs || expLimbs > BigInt::kMaxLimbs || modLimbs > BigInt::kMaxLimbs)
        return false;
    BigInt b, e, m, result;
    b.fromLimbs(base, baseLimbs);
    e.fromLimbs(exp, expLimbs);
    m.fromLimbs(mod, modLimbs);
    if (!BigInt::modPow(b, e, m, result)) return false;
    return result.toLimbs(out, outLimbs);
}

bool pow2mod(uint32_t* out, uint32_t outLimbs,
             const uint32_t* exp, uint32_t expLimbs,
             const uint32_t* mod, uint32_t modLimbs)
{
    const uint32_t two = 2;
    return powmod(out, outLimbs, &two, 1, exp, expLimbs, mod, modLimbs);
}
