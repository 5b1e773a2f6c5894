// SHA-1 (FIPS 180-4) with an incremental interface that keeps the digest in
// the context, and HMAC-SHA1 (RFC 2104).
#pragma once
#include <stdint.h>

struct Sha1Context {
    uint32_t state[5];      // H0..H4
    uint32_t count[2];      // message bits absorbed, low word first
    uint8_t buffer[64];     // bytes not yet compressed
    uint8_t digest[20];     // result of the last Sha1Final
    uint8_t workBlock[64];  // copy of the block being compressed
};

Sha1Context* Sha1Init(Sha1Context* context);
void Sha1Update(Sha1Context* context, const uint8_t* data, uint32_t length);
// Pads, stores the digest in the context and wipes everything else.
void Sha1Final(Sha1Context* context);
Sha1Context* Sha1GetDigest(Sha1Context* context, uint8_t out[20]);

// out = HMAC-SHA1(key, message), using context as scratch; the context is left
// freshly initialised. Nothing is written when any pointer is null.
void HmacSha1(Sha1Context* context, const uint8_t* key, uint32_t keyLength,
              const uint8_t* message, uint32_t messageLength, uint8_t out[20]);
