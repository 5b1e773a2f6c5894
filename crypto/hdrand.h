// Hash-chained random source for the session handshake: a 20-byte pool seeded
// from SHA-1(performance counter || UTC calendar time) and re-hashed at every draw.
#pragma once
#include <stdint.h>

// Seeds the pool from the clocks. Always returns true.
bool hdrand_init(void);

// Self-test hook of the handshake; always 1.
int32_t hdrand_test(void);

// The next 32-bit word of the pool.
uint32_t hdrand(void);

// Seeds the pool from given clock readings: the 64-bit counter and the 16-byte
// calendar time (eight little-endian 16-bit fields: year, month, day of week,
// day, hour, minute, second, milliseconds). hdrand_init reads the clocks and
// calls this; tests call it to get a known sequence.
void hdrand_seed(uint64_t counter, const uint8_t calendarTime[16]);
