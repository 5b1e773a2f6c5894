// Blowfish block cipher (64-bit blocks, 16 rounds) as the system-interface
// driver uses it: key bytes enter the key schedule sign-extended, and a block
// is two little-endian 32-bit halves (bytes 0-3 left, bytes 4-7 right).
#pragma once
#include <stdint.h>

struct BlowfishContext {
    uint32_t P[18];
    uint32_t S[4][256];
};

// Keys the context. Keys longer than 16 bytes are cut to 16; keyLength must
// be at least 1. False only for a null context.
bool BlowfishInitialize(BlowfishContext* context, const uint8_t* key, uint32_t keyLength);

// Enciphers / deciphers one block in place. False, with nothing changed, when
// any pointer is null.
bool BlowfishEncipher(const BlowfishContext* context, uint32_t* left, uint32_t* right);
bool BlowfishDecipher(const BlowfishContext* context, uint32_t* left, uint32_t* right);
