// Fixed-capacity signed big integers and modular exponentiation for the
// session key agreement (1024-bit MODP group, generator 2).
//
// Numbers cross this interface as arrays of 32-bit limbs, least significant
// limb first, read in two's complement: the top bit of the last limb is the
// sign bit, so a 1024-bit magnitude travels as 33 limbs with the last one 0.
// Nothing here allocates; every number lives inline on the stack.
#pragma once
#include <stdint.h>

// out = 2^exp mod mod. False for a null pointer, or when the result needs more
// limbs than outLimbs (out is then left untouched).
bool pow2mod(uint32_t* out, uint32_t outLimbs,
             const uint32_t* exp, uint32_t expLimbs,
             const uint32_t* mod, uint32_t modLimbs);

// out = base^exp mod mod, with the same rules as pow2mod.
bool powmod(uint32_t* out, uint32_t outLimbs,
            const uint32_t* base, uint32_t baseLimbs,
            const uint32_t* exp, uint32_t expLimbs,
            const uint32_t* mod, uint32_t modLimbs);

// The 1024-bit prime of the Second Oakley Group (RFC 2409, 6.2), the modulus
// of the key agreement: 33 little-endian limbs, the last one 0.
extern const uint32_t kOakleyGroup2Prime[33];

// A signed integer of at most kMaxLimbs 32-bit limbs in two's complement.
//
// bitLength carries the sign and size: 0 for zero, the number of significant
// bits for a positive value, and -(significant bits of NOT x) - 1 for a
// negative x (-1 -> -1, -2^31 -> -32). Every sign test reads bitLength, so a
// positive value may briefly occupy bit 31 of its top limb (after doubling).
// Limbs at limbCount and above read as the sign fill.
//
// Growing beyond kMaxLimbs ends the process (integer-overflow fault), and so
// does a division by zero (divide-by-zero fault). Results are sized from the
// operands' neededLimbs() plus one limb of headroom, so operands that need
// all 67 limbs are beyond what add, subtract and division can hold.
class BigInt {
public:
    static constexpr uint32_t kMaxLimbs = 67;

    uint32_t limbCount;          // 1..kMaxLimbs limbs in use
    int32_t bitLength;           // sign and size, as above
    uint32_t limbs[kMaxLimbs];   // least significant first; limbCount valid

    // Zero: one limb, holding 0.
    BigInt() : limbCount(1), bitLength(0) { limbs[0] = 0; }
    BigInt(const BigInt& other);
    BigInt& operator=(const BigInt& other);

    // Takes count limbs from p and normalizes; a null p or count 0 gives zero.
    // More than kMaxLimbs limbs is the overflow fault.
    void fromLimbs(const uint32_t* p, uint32_t count);
    // Writes limbCount limbs to p. False, writing nothing, when limbCount is
    // above capacity or p is null. Limbs beyond limbCount are left alone.
    bool toLimbs(uint32_t* p, uint32_t capacity) const;
    // A small non-negative value: one limb (two if bit 31 is set).
    void setSmall(uint32_t v);
    // dst takes the value, this number becomes zero.
    void moveTo(BigInt& dst);
    // Sets limbCount (0 counts as 1), adding sign-fill limbs or dropping top
    // limbs; bitLength is kept.
    void extendTo(uint32_t count);
    // Zero with limbCount = count (0 counts as 1); only limb 0 is written.
    void clearTo(uint32_t count);
    // Recomputes bitLength from the limbs; bit 31 of the top limb is the sign.
    void normalize();

    uint32_t limbAt(uint32_t i) const {
        return i < limbCount ? limbs[i] : (bitLength < 0 ? 0xFFFFFFFFu : 0u);
    }
    uint32_t testBit(uint32_t i) const { return (limbAt(i >> 5) >> (i & 31)) & 1u; }
    // Limbs the value needs with room for its sign bit (0 for zero).
    uint32_t neededLimbs() const {
        if (bitLength >= 0) return bitLength == 0 ? 0u : uint32_t(bitLength) / 32u + 1u;
        return uint32_t(-1 - bitLength) / 32u + 1u;
    }
    bool isZero() const { return bitLength == 0; }
    bool isNegative() const { return bitLength < 0; }

    // Three-way comparison: negative, 0 or positive as a <, ==, > b.
    static int compare(const BigInt& a, const BigInt& b);

    void negate();          // two's complement negation, growing one limb if needed
    void complement();      // bitwise NOT of the used limbs
    void shiftLeftBit();    // times 2
    void shiftLeftLimbs(uint32_t k);  // times 2^(32k)

    // Outputs may be the same object as an input.
    static void add(const BigInt& a, const BigInt& b, BigInt& out);
    static void subtract(const BigInt& a, const BigInt& b, BigInt& out);
    // Karatsuba down to one-limb factors.
    static void multiply(const BigInt& a, const BigInt& b, BigInt& out);
    // q = a / d, r = a mod d by bit-serial restoring division, for a >= 0 and
    // d > 0. d = 0 raises the divide-by-zero fault. A negative operand, or q
    // and r being one object, is refused: false, with q and r zero.
    static bool divMod(const BigInt& a, const BigInt& d, BigInt& q, BigInt& r);
    // out = base^exp mod mod, right-to-left binary. exp = 0 gives 1, exp < 0 or
    // base = 0 gives 0. Refused with false: a negative base or modulus (out is
    // then zero), and out being one of the inputs (out untouched). A zero
    // modulus is the divide-by-zero fault.
    static bool modPow(const BigInt& base, const BigInt& exp, const BigInt& mod, BigInt& out);
};
