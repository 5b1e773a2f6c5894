// Hash-chained random source: a 20-byte pool, seeded with SHA-1 of the clock
// readings and re-hashed with SHA-1 at every draw.
//
// Kernel-fit: no heap, no exceptions, no static constructors (the pool is
// zero-initialised data), nothing from the C runtime beyond memcpy. The clocks
// are read in hdrand_clock.cpp, which a kernel build leaves out together with
// hdrand_init.
#include "crypto/hdrand.h"

#include "crypto/bytes.h"

#include <string.h>

#include "crypto/hdrand_clock.h"
#include "crypto/sha1.h"

namespace {

struct RandomPool {
    uint32_t position;  // pool offset of the next word: 0, 4, 8 or 12
    uint8_t pool[20];
    Sha1Context hash;   // scratch, used only here
};

// Process-wide and unlocked: only the session handshake draws from it.
RandomPool g_randomPool;

}  // namespace

void hdrand_seed(uint64_t counter, const uint8_t calendarTime[16])
{
    uint8_t counterBytes[8];
    for (int i = 0; i < 8; ++i)
        counterBytes[i] = uint8_t(counter >> (8 * i));

    Sha1Init(&g_randomPool.hash);
    Sha1Update(&g_randomPool.hash, counterBytes, 8);
    Sha1Update(&g_randomPool.hash, calendarTime, 16);
    Sha1Final(&g_randomPool.hash);
    Sha1GetDigest(&g_randomPool.hash, g_randomPool.pool);
    g_randomPool.position = 0;
}

bool hdrand_init(void)
{
    uint64_t counter = 0;
    uint8_t calendarTime[16];
    HdrandReadClocks(&counter, calendarTime);
    hdrand_seed(counter, calendarTime);
    return true;
}

int32_t hdrand_test(void)
{
    return 1;
}

uint32_t hdrand(void)
{
    RandomPool& rp = g_randomPool;
    if (rp.position + 4 >= 20)
        rp.position = 0;

    const uint8_t* p = rp.pool + rp.position;
    const uint32_t result = Bytes::ReadLe32(p);

    uint8_t positionBytes[4];
    for (int i = 0; i < 4; ++i)
        positionBytes[i] = uint8_t(rp.position >> (8 * i));

    // Next pool: SHA-1 of pool bytes 2..17 and the position.
    Sha1Init(&rp.hash);
    Sha1Update(&rp.hash, rp.pool + 2, 16);
    Sha1Update(&rp.hash, positionBytes, 4);
    Sha1Final(&rp.hash);
    Sha1GetDigest(&rp.hash, rp.pool);

    rp.position = (rp.position + 4) % 20;
    return result;
}
