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
