// Helpers shared by the BigInt tests: values as canonical hex text, read from
// BigInt fields without using the arithmetic under test.
#pragma once
#include <stdint.h>

#include <string>
#include <vector>

#include "crypto/bigint.h"

namespace bigint_test {

// One recorded case of bigint_vectors.inc, results from OpenSSL.
struct BigIntVector {
    char op;  // '*': x*y = r0; '/': x/y = r0, x%y = r1; '^': x^y mod m = r0
    const char* x;
    const char* y;
    const char* m;
    const char* r0;
    const char* r1;
};

// A signed value: a magnitude, least significant limb first, without top zero limbs.
struct Value {
    bool negative = false;
    std::vector<uint32_t> magnitude;
};

inline void trim(std::vector<uint32_t>& m)
{
    while (!m.empty() && m.back() == 0) m.pop_back();
}

// Hex as OpenSSL's BN_bn2hex writes it: optional '-', most significant digit first.
inline Value parseHex(const std::string& text)
{
    Value v;
    size_t i = 0;
    if (i < text.size() && text[i] == '-') {
        v.negative = true;
        ++i;
    }
    std::string digits = text.substr(i);
    for (size_t end = digits.size(); end > 0;) {
        const size_t begin = end >= 8 ? end - 8 : 0;
        v.magnitude.push_back(uint32_t(std::stoul(digits.substr(begin, end - begin), nullptr, 16)));
        end = begin;
    }
    trim(v.magnitude);
    if (v.magnitude.empty()) v.negative = false;
    return v;
}

inline std::string toHex(const Value& v)
{
    if (v.magnitude.empty()) return "0";
    static const char kDigits[] = "0123456789ABCDEF";
    std::string out;
    for (size_t i = v.magnitude.size(); i-- > 0;)
        for (int shift = 28; shift >= 0; shift -= 4) out += kDigits[(v.magnitude[i] >> shift) & 15];
    const size_t first = out.find_first_not_of('0');
    return (v.negative ? "-" : "") + out.substr(first);
}

// The value a BigInt holds: its used limbs in two's complement, with the sign
// taken from bitLength as the arithmetic does.
inline Value valueOf(const BigInt& x)
{
    Value v;
    v.negative = x.bitLength < 0;
    v.magnitude.assign(x.limbs, x.limbs + x.limbCount);
    if (v.negative) {
        uint64_t carry = 1;
        for (uint32_t& limb : v.magnitude) {
            carry += uint32_t(~limb);
            limb = uint32_t(carry);
            carry >>= 32;
        }
    }
    trim(v.magnitude);
    if (v.magnitude.empty()) v.negative = false;
    return v;
}

inline std::string hexOf(const BigInt& x) { return toHex(valueOf(x)); }

inline uint32_t bitsOf(std::vector<uint32_t> m);
inline int32_t expectedBitLength(const Value& v);

// v in two's complement, in the fewest limbs that keep its sign bit.
inline std::vector<uint32_t> limbsOf(const Value& v)
{
    const int32_t bl = expectedBitLength(v);
    const uint32_t count = bl >= 0 ? uint32_t(bl) / 32 + 1 : uint32_t(-1 - bl) / 32 + 1;
    std::vector<uint32_t> limbs = v.magnitude;
    limbs.resize(count, 0);
    if (v.negative) {
        uint64_t carry = 1;
        for (uint32_t& limb : limbs) {
            carry += uint32_t(~limb);
            limb = uint32_t(carry);
            carry >>= 32;
        }
    }
    return limbs;
}

inline BigInt bigIntFromHex(const std::string& text)
{
    const std::vector<uint32_t> limbs = limbsOf(parseHex(text));
    BigInt x;
    x.fromLimbs(limbs.data(), uint32_t(limbs.size()));
    return x;
}

inline uint32_t bitsOf(std::vector<uint32_t> m)
{
    trim(m);
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

}  // namespace bigint_test
