// SHA-1 (FIPS 180-4) and HMAC-SHA1 (RFC 2104).
//
// Kernel-fit: no heap, no exceptions, no static constructors, and nothing from
// the C runtime beyond memcpy/memset.
#include "crypto/sha1.h"

#include <string.h>

#include "crypto/bytes.h"

namespace {

void WipeWords(uint32_t* words, size_t count)
{
    Bytes::Wipe(words, count * sizeof *words);
}

inline uint32_t Rol(uint32_t value, unsigned bits)
{
    return (value << bits) | (value >> (32 - bits));
}

// Compresses one 64-byte block into the state. The block is first copied into
// the context's work block, so the caller's data is only ever read. The
// message schedule is kept as a rolling window of sixteen words.
void Sha1Transform(Sha1Context* context, const uint8_t* block)
{
    memcpy(context->workBlock, block, 64);

    uint32_t w[16];
    for (int t = 0; t < 16; ++t) {
        const uint8_t* p = context->workBlock + 4 * t;
        w[t] = (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
    }

    uint32_t a = context->state[0];
    uint32_t b = context->state[1];
    uint32_t c = context->state[2];
    uint32_t d = context->state[3];
    uint32_t e = context->state[4];

    // W[t] for t >= 16, computed in place over W[t - 16].
    auto next = [&w](int t) -> uint32_t {
        uint32_t& slot = w[t & 15];
        slot = Rol(w[(t - 3) & 15] ^ w[(t - 8) & 15] ^ w[(t - 14) & 15] ^ slot, 1);
        return slot;
    };
    auto step = [&](uint32_t f, uint32_t k, uint32_t word) {
        const uint32_t temp = Rol(a, 5) + f + e + k + word;
        e = d;
        d = c;
        c = Rol(b, 30);
        b = a;
        a = temp;
    };
    for (int t = 0; t < 16; ++t)
        step((b & c) | (~b & d), 0x5A827999, w[t]);
    for (int t = 16; t < 20; ++t)
        step((b & c) | (~b & d), 0x5A827999, next(t));
    for (int t = 20; t < 40; ++t)
        step(b ^ c ^ d, 0x6ED9EBA1, next(t));
    for (int t = 40; t < 60; ++t)
        step((b & c) | (b & d) | (c & d), 0x8F1BBCDC, next(t));
    for (int t = 60; t < 80; ++t)
        step(b ^ c ^ d, 0xCA62C1D6, next(t));

    context->state[0] += a;
    context->state[1] += b;
    context->state[2] += c;
    context->state[3] += d;
    context->state[4] += e;

    // The schedule is derived from the block; do not leave it on the stack.
    WipeWords(w, 16);
}

}  // namespace

Sha1Context* Sha1Init(Sha1Context* context)
{
    if (!context)
        return nullptr;
    context->state[0] = 0x67452301;
    context->state[1] = 0xEFCDAB89;
    context->state[2] = 0x98BADCFE;
    context->state[3] = 0x10325476;
    context->state[4] = 0xC3D2E1F0;
    context->count[0] = 0;
    context->count[1] = 0;
    return context;
}

void Sha1Update(Sha1Context* context, const uint8_t* data, uint32_t length)
{
    // A null data pointer with a non-zero length would be read from; treat it
    // like a null context and absorb nothing.
    if (!context || (!data && length != 0))
        return;

    uint32_t j = (context->count[0] >> 3) & 63;
    const uint32_t addBits = length << 3;
    context->count[0] += addBits;
    if (context->count[0] < addBits)
        ++context->count[1];
    context->count[1] += length >> 29;

    uint32_t i = 0;
    // Written as a subtraction so that a length near 2^32 cannot wrap the sum.
    if (length >= 64 - j) {
        i = 64 - j;
        memcpy(context->buffer + j, data, i);
        Sha1Transform(context, context->buffer);
        for (; length - i >= 64; i += 64)
            Sha1Transform(context, data + i);
        j = 0;
    }
    if (length > i)
        memcpy(context->buffer + j, data + i, length - i);
}

void Sha1Final(Sha1Context* context)
{
    if (!context)
        return;

    uint8_t finalCount[8];
    for (int i = 0; i < 8; ++i)
        finalCount[i] = uint8_t(context->count[i < 4 ? 1 : 0] >> ((3 - (i & 3)) * 8));

    static const uint8_t kPadStart = 0x80;
    static const uint8_t kZero = 0;
    Sha1Update(context, &kPadStart, 1);
    while ((context->count[0] & 504) != 448)
        Sha1Update(context, &kZero, 1);
    Sha1Update(context, finalCount, 8);

    for (int i = 0; i < 20; ++i)
        context->digest[i] = uint8_t(context->state[i >> 2] >> ((3 - (i & 3)) * 8));

    // Wipe: after zeroing, one compression over the zeroed buffer overwrites
    // the work block, which still held the last message block.
    memset(context->buffer, 0, sizeof context->buffer);
    memset(context->state, 0, sizeof context->state);
    memset(context->count, 0, sizeof context->count);
    Sha1Transform(context, context->buffer);
}

Sha1Context* Sha1GetDigest(Sha1Context* context, uint8_t out[20])
{
    if (!context)
        return nullptr;
    if (out)
        memcpy(out, context->digest, 20);
    return context;
}

void HmacSha1(Sha1Context* context, const uint8_t* key, uint32_t keyLength,
              const uint8_t* message, uint32_t messageLength, uint8_t out[20])
{
    if (!context || !key || !message || !out)
        return;

    uint8_t innerPad[64];
    uint8_t outerPad[64];
    memset(innerPad, 0, sizeof innerPad);
    memset(outerPad, 0, sizeof outerPad);

    if (keyLength > 64) {
        uint8_t keyDigest[20];
        Sha1Init(context);
        Sha1Update(context, key, keyLength);
        Sha1Final(context);
        Sha1GetDigest(context, keyDigest);
        memcpy(innerPad, keyDigest, 20);
        memcpy(outerPad, keyDigest, 20);
        Bytes::Wipe(keyDigest, sizeof keyDigest);
    } else {
        memcpy(innerPad, key, keyLength);
        memcpy(outerPad, key, keyLength);
    }
    for (int i = 0; i < 64; ++i) {
        innerPad[i] ^= 0x36;
        outerPad[i] ^= 0x5c;
    }

    uint8_t inner[20];
    Sha1Init(context);
    Sha1Update(context, innerPad, 64);
    Sha1Update(context, message, messageLength);
    Sha1Final(context);
    Sha1GetDigest(context, inner);

    Sha1Init(context);
    Sha1Update(context, outerPad, 64);
    Sha1Update(context, inner, 20);
    Sha1Final(context);
    Sha1GetDigest(context, out);

    // The pads and the inner digest are key material.
    Bytes::Wipe(innerPad, sizeof innerPad);
    Bytes::Wipe(outerPad, sizeof outerPad);
    Bytes::Wipe(inner, sizeof inner);
    Sha1Init(context);
}
